// vetrix-serve against hostile clients, each attack made of real bytes over real sockets on
// 127.0.0.1, against a server started with small limits. Attackers connect from other loopback
// addresses (127.0.0.2, ...) than the healthy client (127.0.0.1), as they would from other
// hosts.

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <sodium.h>

#include "serve_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kPhoto = "pass_red_test2_295x413.jpg";  // Passed, saved at scale 1.0

std::string PhotoBytes(const std::string& name = kPhoto) { return ReadText(TestData(name)); }

// The audit's JSON for the photo, from a server without limits worth the name.
std::string ReferenceAudit(const std::string& bytes) {
    ServeProcess serve({"--workers", "1"});
    return Request(serve.port(), "POST", "/v1/audit", bytes).body;
}

// Whether the server closed `fd` (or answered on it) within `ms`.
bool AnsweredOrClosed(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Holds `count` connections from `from`, each with a request head begun and never ended.
std::vector<int> HoldSlowHeads(int port, const char* from, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = Connect(port, from);
        if (fd >= 0) {
            SendAll(fd, "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: a");
            fds.push_back(fd);
        }
    }
    return fds;
}

void CloseAll(std::vector<int>& fds) {
    for (const int fd : fds) {
        close(fd);
    }
    fds.clear();
}

// Waits (bounded) until the server counts `open` connections, the asking one included.
bool WaitForConnections(int port, long open) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (MetricValue(port, "vetrix_connections_open") == open) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ServeAttack, OneAddressHoldsNoMoreThanItsShareOfConnections) {
    ServeProcess serve(
        {"--workers", "1", "--max-connections", "16", "--max-client-connections", "4"});
    const int port = serve.port();
    std::vector<int> held = HoldSlowHeads(port, "127.0.0.2", 12);
    ASSERT_EQ(held.size(), 12u);
    // The first four wait for their heads; the eight beyond the share are turned away at once
    // with a 503, and the attacker's reconnections fare no better.
    int turnedAway = 0;
    for (std::size_t i = 4; i < held.size(); ++i) {
        if (AnsweredOrClosed(held[i], 2000)) {
            const HttpReply reply = ReadReply(held[i]);
            EXPECT_EQ(reply.status, 503);
            EXPECT_EQ(reply.Header("Retry-After"), "1");
            ++turnedAway;
        }
    }
    EXPECT_EQ(turnedAway, 8);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(AnsweredOrClosed(held[static_cast<std::size_t>(i)], 0)) << i;
    }
    // Everyone else is served while the share is held.
    const std::string photo = PhotoBytes();
    const HttpReply audit = Request(port, "POST", "/v1/audit", photo);
    EXPECT_EQ(audit.status, 200);
    EXPECT_NE(audit.body.find("\"state\": \"Passed\""), std::string::npos) << audit.body;
    EXPECT_EQ(Request(port, "GET", "/healthz").status, 200);
    EXPECT_EQ(Request(port, "GET", "/healthz", {}, {}, "127.0.0.3").status, 200);
    EXPECT_GE(MetricValue(port, "vetrix_rejected_total{reason=\"client_connections\"}"), 8);
    CloseAll(held);
}

TEST(ServeAttack, ManyAddressesHoldingEveryConnectionLockNoOneOut) {
    ServeProcess serve(
        {"--workers", "1", "--max-connections", "8", "--max-client-connections", "4"});
    const int port = serve.port();
    const std::string photo = PhotoBytes();

    // Slow heads on every connection: a newcomer takes the place of the longest waiting. (The
    // server accepts connections in the order they were made, so the eight are open when the
    // newcomer comes; asking /metrics first would itself make room.)
    std::vector<int> held = HoldSlowHeads(port, "127.0.0.2", 4);
    std::vector<int> more = HoldSlowHeads(port, "127.0.0.3", 4);
    held.insert(held.end(), more.begin(), more.end());
    const HttpReply audit = Request(port, "POST", "/v1/audit", photo, {}, "127.0.0.4");
    EXPECT_EQ(audit.status, 200);
    EXPECT_NE(audit.body.find("\"state\": \"Passed\""), std::string::npos) << audit.body;
    EXPECT_EQ(Request(port, "GET", "/healthz", {}, {}, "127.0.0.4").status, 200);
    EXPECT_GE(MetricValue(port, "vetrix_rejected_total{reason=\"evicted\"}"), 1);
    EXPECT_TRUE(AnsweredOrClosed(held[0], 0)) << "the longest waiting made room";
    CloseAll(held);
    ASSERT_TRUE(WaitForConnections(port, 1));

    // Bodies begun on every connection, which no one may take: a probe is still answered on a
    // reserved connection, a photo refused at once.
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (int i = 0; i < 4; ++i) {
            const int fd = Connect(port, from);
            SendAll(fd, "POST /v1/audit HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\nab");
            held.push_back(fd);
        }
    }
    ASSERT_TRUE(WaitForConnections(port, 9));
    const HttpReply health = Request(port, "GET", "/healthz", {}, {}, "127.0.0.4");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "{\"status\": \"ok\"}");
    EXPECT_EQ(Request(port, "HEAD", "/healthz", {}, {}, "127.0.0.4").status, 200);
    const HttpReply busy = Request(port, "POST", "/v1/audit", photo, {}, "127.0.0.4");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.Header("Retry-After"), "1");
    CloseAll(held);
    ASSERT_TRUE(WaitForConnections(port, 1));
    EXPECT_EQ(Request(port, "POST", "/v1/audit", photo, {}, "127.0.0.4").status, 200);
}

// A request whose whole body but its last byte has been sent.
struct HeldBody {
    int fd = -1;
    std::string last;
};

HeldBody HoldBody(int port, const char* from, const std::string& body) {
    HeldBody held{Connect(port, from), body.substr(body.size() - 1)};
    SendAll(held.fd, "POST /v1/audit HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" +
                         body.substr(0, body.size() - 1));
    return held;
}

TEST(ServeAttack, BodiesHeldAreBoundedAndANewOneIsRefusedBeforeItIsRead) {
    const std::string photo = PhotoBytes();
    const std::string expected = ReferenceAudit(photo);
    const std::string size = std::to_string(photo.size());
    // Room for three bodies in all, two of them from one address.
    ServeProcess serve({"--workers", "1", "--max-bytes", size, "--body-budget",
                        std::to_string(3 * photo.size()), "--client-body-budget",
                        std::to_string(2 * photo.size())});
    const int port = serve.port();
    std::vector<HeldBody> held{HoldBody(port, "127.0.0.2", photo),
                               HoldBody(port, "127.0.0.2", photo),
                               HoldBody(port, "127.0.0.3", photo)};
    for (int attempt = 0; attempt < 200 && MetricValue(port, "vetrix_body_bytes_held") <
                                               static_cast<long>(3 * photo.size());
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(MetricValue(port, "vetrix_body_bytes_held"), static_cast<long>(3 * photo.size()));

    // Only the head is sent: the refusal comes before any of the body.
    for (const char* from : {"127.0.0.2", "127.0.0.4"}) {
        const int fd = Connect(port, from);
        SendAll(fd, "POST /v1/audit HTTP/1.1\r\nHost: x\r\nContent-Length: " + size + "\r\n\r\n");
        ASSERT_TRUE(AnsweredOrClosed(fd, 5000)) << from;
        const HttpReply refused = ReadReply(fd);
        close(fd);
        EXPECT_EQ(refused.status, 503) << from;
        EXPECT_EQ(refused.Header("Retry-After"), "1") << from;
        EXPECT_NE(refused.body.find("\"error\""), std::string::npos) << refused.body;
    }
    // What was accepted is answered in full.
    for (HeldBody& body : held) {
        SendAll(body.fd, body.last);
        const HttpReply reply = ReadReply(body.fd);
        close(body.fd);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, expected);
    }
    // Answered bodies are given back.
    for (int attempt = 0; attempt < 200 && MetricValue(port, "vetrix_body_bytes_held") != 0;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Request(port, "POST", "/v1/audit", photo, {}, "127.0.0.4").body, expected);
    EXPECT_EQ(MetricValue(port, "vetrix_rejected_total{reason=\"client_body_budget\"}"), 1);
    EXPECT_EQ(MetricValue(port, "vetrix_rejected_total{reason=\"body_budget\"}"), 1);
}

TEST(ServeAttack, AChunkedBodyTakesTheLargestShare) {
    ServeProcess serve({"--workers", "1", "--max-bytes", "1000", "--body-budget", "1500"});
    const int port = serve.port();
    const int chunked = Connect(port, "127.0.0.2");
    SendAll(chunked,
            "POST /v1/audit HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
            "10\r\n0123456789abcdef\r\n");
    for (int attempt = 0; attempt < 200 && MetricValue(port, "vetrix_body_bytes_held") != 1000;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(MetricValue(port, "vetrix_body_bytes_held"), 1000);
    EXPECT_EQ(Request(port, "POST", "/v1/audit", std::string(600, 'x'), {}, "127.0.0.3").status,
              503);
    close(chunked);
}

TEST(ServeAttack, OneAddressCannotFillTheQueue) {
    const std::string big =
        ReadText(std::string(VETRIX_SOURCE_DIR) + "/bench/data/pass_blue_test4_1200x1680.jpg");
    ServeProcess serve({"--workers", "1", "--queue", "8", "--max-client-photos", "2"});
    const int port = serve.port();
    constexpr int kFlood = 5;
    std::vector<HttpReply> flood(kFlood);
    std::vector<std::thread> clients;
    for (int i = 0; i < kFlood; ++i) {
        clients.emplace_back(
            [&, i] { flood[i] = Request(port, "POST", "/v1/audit", big, {}, "127.0.0.2"); });
    }
    for (int attempt = 0;
         attempt < 500 && MetricValue(port, "vetrix_rejected_total{reason=\"client_photos\"}") < 3;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Two of the five are in, and another client's photo is worked on next in turn.
    const HttpReply healthy = Request(port, "POST", "/v1/audit", PhotoBytes());
    EXPECT_EQ(healthy.status, 200);
    EXPECT_NE(healthy.body.find("\"state\": \"Passed\""), std::string::npos) << healthy.body;
    for (auto& client : clients) {
        client.join();
    }
    int refused = 0;
    for (const HttpReply& reply : flood) {
        if (reply.status == 503) {
            ++refused;
            EXPECT_EQ(reply.Header("Retry-After"), "1");
        } else {
            EXPECT_EQ(reply.status, 200) << reply.body;
        }
    }
    EXPECT_EQ(refused, kFlood - 2);
    EXPECT_EQ(MetricValue(port, "vetrix_rejected_total{reason=\"queue_full\"}"), -1);
}

TEST(ServeAttack, EveryAuditHasADeadline) {
    // A 12-megapixel photo takes seconds to audit; the deadline is half a second.
    const std::string large = ReadText(std::string(VETRIX_SOURCE_DIR) +
                                       "/bench/data/large_phone_3000x4000_blue_test4.jpg");
    ServeProcess serve({"--workers", "1", "--queue", "8", "--audit-deadline", "0.5"});
    const int port = serve.port();
    constexpr int kClients = 3;
    std::vector<HttpReply> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] { replies[i] = Request(port, "POST", "/v1/audit", large); });
    }
    for (auto& client : clients) {
        client.join();
    }
    // One photo was being worked on (504), the others waited for the worker (503).
    int running = 0, queued = 0;
    for (const HttpReply& reply : replies) {
        running += reply.status == 504;
        queued += reply.status == 503;
        EXPECT_EQ(reply.Header("Retry-After"), "1") << reply.status;
        EXPECT_NE(reply.body.find("deadline"), std::string::npos) << reply.body;
    }
    EXPECT_EQ(running, 1);
    EXPECT_EQ(queued, kClients - 1);
    EXPECT_EQ(Request(port, "GET", "/healthz").status, 200);
    // The photos dropped from the queue are never worked on: once the first is done, one
    // verdict in all.
    for (int attempt = 0; attempt < 3000 && MetricValue(port, "vetrix_requests_in_flight") != 0;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string metrics = Request(port, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("vetrix_rejected_total{reason=\"deadline_running\"} 1"),
              std::string::npos);
    EXPECT_NE(metrics.find("vetrix_rejected_total{reason=\"deadline_queued\"} 2"),
              std::string::npos);
    long verdicts = 0;
    const std::regex verdictLine("\nvetrix_audit_verdicts_total\\{[^}]*\\} ([0-9]+)");
    for (std::sregex_iterator it(metrics.begin(), metrics.end(), verdictLine), end; it != end;
         ++it) {
        verdicts += std::stol((*it)[1]);
    }
    EXPECT_EQ(verdicts, 1) << metrics;
}

TEST(ServeAttack, ASiteServesNoHiddenFileAndNoLinkOutOfItsFolder) {
    TempDir site, outside;
    const std::string page = "<p>the page";
    std::ofstream(site.file("index.html")) << page;
    std::ofstream(site.file(".env")) << "SECRET=1";
    fs::create_directories(site.path() / ".git");
    std::ofstream(site.file(".git/config")) << "[core]";
    fs::create_directories(site.path() / "sub");
    std::ofstream(site.file("sub/.hidden")) << "hidden";
    std::ofstream(outside.file("secret.txt")) << "outside";
    fs::create_symlink(site.file("index.html"), site.file("alias.html"));
    fs::create_symlink(outside.file("secret.txt"), site.file("out.txt"));
    fs::create_symlink(outside.path(), site.file("outdir"));
    fs::create_symlink(site.file(".env"), site.file("env.txt"));

    ServeProcess serve({"--workers", "1", "--site", site.path().string()});
    const int port = serve.port();
    for (const char* hidden : {"/.env", "/.git/config", "/sub/.hidden", "/%2eenv", "/sub/%2Ehidden",
                               "/out.txt", "/outdir/secret.txt", "/env.txt", "/sub/../.env"}) {
        const HttpReply reply = Request(port, "GET", hidden);
        EXPECT_EQ(reply.status, 404) << hidden;
        EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << hidden;
        EXPECT_EQ(reply.body.find("outside"), std::string::npos) << hidden;
    }
    // A link within the folder is served under its own name.
    const HttpReply alias = Request(port, "GET", "/alias.html");
    EXPECT_EQ(alias.status, 200);
    EXPECT_EQ(alias.body, page);
    EXPECT_EQ(alias.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(Request(port, "GET", "/").body, page);
}

TEST(ServeSite, NamesWithAContentHashAreKeptLongAndThePageIsCheckedAgain) {
    TempDir site;
    std::ofstream(site.file("index.html")) << "<p>hi";
    std::ofstream(site.file("sw.js")) << "//";
    std::ofstream(site.file("vetrix.1b89194bb2.js")) << "//";
    std::ofstream(site.file("manifest.1e4d2ee075.webmanifest")) << "{}";
    std::ofstream(site.file("notes.v2.js")) << "//";
    ServeProcess serve({"--workers", "1", "--site", site.path().string()});
    const std::pair<const char*, const char*> expected[] = {
        {"/", "no-cache"},
        {"/sw.js", "no-cache"},
        {"/notes.v2.js", "no-cache"},
        {"/vetrix.1b89194bb2.js", "public, max-age=31536000, immutable"},
        {"/manifest.1e4d2ee075.webmanifest", "public, max-age=31536000, immutable"},
    };
    for (const auto& [path, cache] : expected) {
        EXPECT_EQ(Request(serve.port(), "GET", path).Header("Cache-Control"), cache) << path;
    }
    EXPECT_EQ(Request(serve.port(), "GET", "/manifest.1e4d2ee075.webmanifest").Header("Content-Type"),
              "application/manifest+json");
}

TEST(ServeAttack, AHugeSparseFileInTheSiteIsRefusedWithoutBeingRead) {
    TempDir site;
    std::ofstream(site.file("index.html")) << "<p>hi";
    { std::ofstream(site.file("huge.bin")).close(); }
    fs::resize_file(site.file("huge.bin"), std::uintmax_t{1} << 30);  // 1 GiB, no block written
    const ServeRun run = RunServe({"--listen", "127.0.0.1:0", "--site", site.path().string()});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("more than 268435456 bytes"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("huge.bin"), std::string::npos) << run.err;
    // Refused on its size: nothing near the file's size was ever held.
    EXPECT_LT(run.maxRssKiB, 200 * 1024);
}

TEST(ServeAttack, HeadAndAbsoluteFormTargetsAreAnsweredAsHttp11Requires) {
    TempDir site;
    const std::string page = "<p>the page";
    std::ofstream(site.file("index.html")) << page;
    ServeProcess serve({"--workers", "1", "--site", site.path().string()});
    const int port = serve.port();

    for (const char* target : {"/healthz", "/metrics", "/index.html", "/"}) {
        const HttpReply get = Request(port, "GET", target);
        const HttpReply head = Request(port, "HEAD", target);
        EXPECT_EQ(head.status, 200) << target;
        EXPECT_EQ(head.body, "") << target;
        EXPECT_EQ(head.Header("Content-Type"), get.Header("Content-Type")) << target;
        if (std::string(target) != "/metrics") {  // the counters move between the two
            EXPECT_EQ(head.Header("Content-Length"), std::to_string(get.body.size())) << target;
        }
    }
    const HttpReply headPhoto = Request(port, "HEAD", "/v1/audit");
    EXPECT_EQ(headPhoto.status, 405);
    EXPECT_EQ(headPhoto.Header("Allow"), "POST");
    EXPECT_EQ(Request(port, "POST", "/healthz").Header("Allow"), "GET, HEAD");

    const HttpReply absolute = Request(port, "GET", "http://127.0.0.1/healthz");
    EXPECT_EQ(absolute.status, 200);
    EXPECT_EQ(absolute.body, "{\"status\": \"ok\"}");
    EXPECT_EQ(Request(port, "GET", "HTTP://127.0.0.1:8080").body, page);
    EXPECT_EQ(Request(port, "GET", "http://127.0.0.1/index.html?x=1").body, page);
    EXPECT_EQ(Request(port, "POST", "http://127.0.0.1/v1/audit", PhotoBytes()).status, 200);
}

std::string Form(const std::string& boundary,
                 const std::vector<std::pair<std::string, std::string>>& parts) {
    std::string body = "preamble to ignore\r\n";
    for (const auto& [disposition, content] : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition +
                "\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

TEST(ServeAttack, AFormWithOnePhotoIsAuditedAsItsBytes) {
    const std::string photo = PhotoBytes();
    const std::string expected = ReferenceAudit(photo);
    ServeProcess serve({"--workers", "1"});
    const int port = serve.port();
    const std::string boundary = "------------------------d74496d66958873e";
    const auto post = [&](const std::string& type, const std::string& body) {
        return Request(port, "POST", "/v1/audit", body, "Content-Type: " + type + "\r\n");
    };
    // As curl -F photo=@a.jpg sends it; with a text field and an empty file input beside it,
    // and a quoted boundary.
    const HttpReply form = post("multipart/form-data; boundary=" + boundary,
                                Form(boundary, {{"name=\"photo\"; filename=\"a.jpg\"", photo}}));
    EXPECT_EQ(form.status, 200);
    EXPECT_EQ(form.body, expected);
    EXPECT_EQ(post("multipart/form-data; charset=utf-8; boundary=\"a b\"",
                   Form("a b", {{"name=\"note\"", "--a b is not here"},
                                {"name=\"photo\"; filename=\"a;b.jpg\"", photo},
                                {"name=\"other\"; filename=\"\"", ""}}))
                  .body,
              expected);

    const HttpReply two = post("multipart/form-data; boundary=" + boundary,
                               Form(boundary, {{"name=\"a\"; filename=\"a.jpg\"", photo},
                                               {"name=\"b\"; filename=\"b.jpg\"", photo}}));
    EXPECT_EQ(two.status, 400);
    EXPECT_NE(two.body.find("2 files"), std::string::npos) << two.body;
    const HttpReply none =
        post("multipart/form-data; boundary=" + boundary, Form(boundary, {{"name=\"a\"", photo}}));
    EXPECT_EQ(none.status, 400);
    EXPECT_NE(none.body.find("--data-binary"), std::string::npos) << none.body;
    std::string cut = Form(boundary, {{"name=\"photo\"; filename=\"a.jpg\"", photo}});
    cut.resize(cut.size() - boundary.size() - 10);
    EXPECT_EQ(post("multipart/form-data; boundary=" + boundary, cut).status, 400);
    const HttpReply mixed = post("multipart/mixed; boundary=" + boundary,
                                 Form(boundary, {{"filename=\"a.jpg\"", photo}}));
    EXPECT_EQ(mixed.status, 415);
    EXPECT_NE(mixed.body.find("--data-binary"), std::string::npos) << mixed.body;
    // curl --data-binary says x-www-form-urlencoded; the body is the photo all the same.
    EXPECT_EQ(post("application/x-www-form-urlencoded", photo).body, expected);
}

std::string PublicKeyOf(const std::string& pubFile) {
    std::string hex = ReadText(pubFile);
    while (!hex.empty() && std::isspace(static_cast<unsigned char>(hex.back()))) hex.pop_back();
    return hex;
}

// The signature of a Vetrix-Signature value, checked here with libsodium alone.
bool SignatureHolds(const std::string& header, const std::string& bytes,
                    const std::string& pubHex) {
    const std::smatch m = [&] {
        std::smatch match;
        std::regex_search(header, match, std::regex("ed25519=([A-Za-z0-9+/=]+)"));
        return match;
    }();
    unsigned char signature[crypto_sign_BYTES], pub[crypto_sign_PUBLICKEYBYTES];
    std::size_t sigLength = 0, pubLength = 0;
    const std::string base64 = m.size() > 1 ? m[1].str() : "";
    return sodium_base642bin(signature, sizeof signature, base64.data(), base64.size(), nullptr,
                             &sigLength, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
           sodium_hex2bin(pub, sizeof pub, pubHex.data(), pubHex.size(), nullptr, &pubLength,
                          nullptr) == 0 &&
           sigLength == sizeof signature && pubLength == sizeof pub &&
           crypto_sign_verify_detached(signature,
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), pub) == 0;
}

std::string SignatureOf(const HttpReply& reply) {
    const auto at = reply.body.find("\"signature\": \"");
    return at == std::string::npos
               ? reply.body
               : reply.body.substr(at + 14, reply.body.find('"', at + 14) - at - 14);
}

TEST(ServeAttack, NormaliseIsSignedAndVerifyTellsASignedPhotoFromAnAlteredOne) {
    ASSERT_GE(sodium_init(), 0);
    TempDir keys;
    const std::string key = keys.file("office.key"), next = keys.file("next.key");
    const ServeRun made = RunServe({"--generate-key", key});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string secret = ReadText(key);
    const ServeRun again = RunServe({"--generate-key", key});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("not replaced"), std::string::npos) << again.err;
    EXPECT_EQ(ReadText(key), secret) << "never overwritten";
    ASSERT_EQ(RunServe({"--generate-key", next}).status, 0);

    const std::string photo = PhotoBytes();
    const std::string saved = ReadText(TestData("expected-saved/pass_red_test2_295x413.jpg"));
    HttpReply normalised;
    {
        ServeProcess serve({"--workers", "1", "--signing-key", key});
        normalised = Request(serve.port(), "POST", "/v1/normalise", photo);
        ASSERT_EQ(normalised.status, 200);
        EXPECT_TRUE(normalised.body == saved) << "the saved bytes do not change";
        const std::string header = normalised.Header("Vetrix-Signature");
        EXPECT_TRUE(
            std::regex_match(header, std::regex("ed25519=[A-Za-z0-9+/]{86}==; keyid=[0-9a-f]{16}")))
            << header;
        EXPECT_TRUE(SignatureHolds(header, saved, PublicKeyOf(key + ".pub")));
        EXPECT_FALSE(SignatureHolds(header, saved, PublicKeyOf(next + ".pub")));

        const std::string signedWith = "Vetrix-Signature: " + header + "\r\n";
        const auto verify = [&](const std::string& bytes, const std::string& headers) {
            return Request(serve.port(), "POST", "/v1/verify", bytes, headers);
        };
        const HttpReply valid = verify(saved, signedWith);
        EXPECT_EQ(valid.status, 200);
        EXPECT_EQ(SignatureOf(valid), "valid") << valid.body;
        EXPECT_NE(valid.body.find("\"outcome\": \"Verified\""), std::string::npos) << valid.body;
        EXPECT_EQ(SignatureOf(verify(saved, "")), "absent");
        std::string altered = saved;
        altered[altered.size() / 2] = static_cast<char>(altered[altered.size() / 2] ^ 0x01);
        EXPECT_EQ(SignatureOf(verify(altered, signedWith)), "invalid");
        EXPECT_EQ(SignatureOf(verify(saved + "x", signedWith)), "invalid");
        EXPECT_EQ(SignatureOf(verify(saved, "Vetrix-Signature: ed25519=AAAA\r\n")), "invalid");
        EXPECT_EQ(SignatureOf(verify(saved, "Vetrix-Signature: keyid=0123456789abcdef; " +
                                                header.substr(0, header.find(';')) + "\r\n")),
                  "invalid")
            << "named another key";
    }
    // Rotation: the next key signs, the office key still verifies; without keys, nothing is
    // checked.
    const std::string signedWith =
        "Vetrix-Signature: " + normalised.Header("Vetrix-Signature") + "\r\n";
    {
        ServeProcess serve({"--workers", "1", "--signing-key", next, "--verify-key", key + ".pub"});
        EXPECT_EQ(SignatureOf(Request(serve.port(), "POST", "/v1/verify", saved, signedWith)),
                  "valid");
        const HttpReply fresh = Request(serve.port(), "POST", "/v1/normalise", photo);
        EXPECT_TRUE(
            SignatureHolds(fresh.Header("Vetrix-Signature"), saved, PublicKeyOf(next + ".pub")));
    }
    {
        ServeProcess serve({"--workers", "1", "--verify-key", next + ".pub"});
        EXPECT_EQ(SignatureOf(Request(serve.port(), "POST", "/v1/verify", saved, signedWith)),
                  "invalid");
        EXPECT_EQ(Request(serve.port(), "POST", "/v1/normalise", photo).Header("Vetrix-Signature"),
                  "");
    }
    {
        ServeProcess serve({"--workers", "1"});
        EXPECT_EQ(SignatureOf(Request(serve.port(), "POST", "/v1/verify", saved, signedWith)),
                  "unchecked");
    }
}

TEST(ServeAttack, AKeyFileOthersMayReadOrOfTheWrongLengthIsRefused) {
    TempDir keys;
    const std::string key = keys.file("office.key");
    ASSERT_EQ(RunServe({"--generate-key", key}).status, 0);
    fs::permissions(key, fs::perms::group_read, fs::perm_options::add);
    const ServeRun open = RunServe({"--listen", "127.0.0.1:0", "--signing-key", key});
    EXPECT_EQ(open.status, 2);
    EXPECT_NE(open.err.find("chmod 600"), std::string::npos) << open.err;

    const std::string shortKey = keys.file("short.key");
    WriteBytes(shortKey, std::vector<std::uint8_t>(31, 7));
    fs::permissions(shortKey, fs::perms::owner_read | fs::perms::owner_write);
    const ServeRun wrong = RunServe({"--listen", "127.0.0.1:0", "--signing-key", shortKey});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("31 bytes"), std::string::npos) << wrong.err;
    const ServeRun notPublic = RunServe({"--listen", "127.0.0.1:0", "--verify-key", shortKey});
    EXPECT_EQ(notPublic.status, 2);
    EXPECT_NE(notPublic.err.find("not an Ed25519 public key"), std::string::npos) << notPublic.err;

    // A raw 64-byte libsodium secret key is taken as it is.
    unsigned char pub[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES];
    ASSERT_GE(sodium_init(), 0);
    crypto_sign_keypair(pub, secret);
    const std::string raw = keys.file("raw.key");
    WriteBytes(raw, std::vector<std::uint8_t>(secret, secret + sizeof secret));
    fs::permissions(raw, fs::perms::owner_read);
    ServeProcess serve({"--workers", "1", "--signing-key", raw});
    const HttpReply normalised = Request(serve.port(), "POST", "/v1/normalise", PhotoBytes());
    char hex[2 * sizeof pub + 1];
    sodium_bin2hex(hex, sizeof hex, pub, sizeof pub);
    EXPECT_TRUE(SignatureHolds(normalised.Header("Vetrix-Signature"), normalised.body, hex));
}

// How an orchestrator hands an unprivileged service its secret: owned by root, readable by the
// service's group.
TEST(ServeAttack, AKeyReadableByTheServicesOwnGroupIsTaken) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving the key to another group needs root";
    }
    TempDir keys;
    OpenToOthers(keys.path());
    const std::string key = keys.file("office.key");
    ASSERT_EQ(RunServe({"--generate-key", key}).status, 0);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(key.c_str(), 0, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(key.c_str(), 0640), 0);
    const bool started = RunUnprivileged([&] {
        try {
            ServeProcess serve({"--workers", "1", "--signing-key", key});
            return !Request(serve.port(), "POST", "/v1/normalise", PhotoBytes())
                        .Header("Vetrix-Signature")
                        .empty();
        } catch (const std::exception&) {
            return false;
        }
    });
    EXPECT_TRUE(started);
    // Root's group is not the service's own: refused for root as for anyone.
    ASSERT_EQ(chown(key.c_str(), 0, 0), 0);
    EXPECT_EQ(RunServe({"--listen", "127.0.0.1:0", "--signing-key", key}).status, 2);
}

TEST(ServeAttack, HelpAndVersionAreAnswered) {
    for (const char* help : {"-h", "--help"}) {
        const ServeRun run = RunServe({help});
        EXPECT_EQ(run.status, 0) << help;
        EXPECT_EQ(run.out.rfind("Usage: vetrix-serve", 0), 0u) << help;
        EXPECT_NE(run.out.find("--max-client-connections"), std::string::npos);
    }
    const ServeRun version = RunServe({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("vetrix-serve [0-9]+\\.[0-9]+\n")))
        << version.out;
}

}  // namespace
