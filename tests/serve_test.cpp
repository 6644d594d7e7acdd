// vetrix-serve through real HTTP requests on 127.0.0.1: each test starts the program on a port
// the system chooses and talks to it over plain sockets.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "serve_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

HttpReply Post(int port, const std::string& target, const Bytes& body) {
    return Request(port, "POST", target, AsString(body));
}

// The lines of the audit reference, without the file key that a request has no name for.
std::vector<std::pair<std::string, std::string>> ExpectedAudits() {
    std::vector<std::pair<std::string, std::string>> audits;
    std::istringstream in(ReadText(TestData("EXPECTED.jsonl")));
    for (std::string line; std::getline(in, line);) {
        const auto start = line.find("\"file\": \"") + 9;
        const auto end = line.find('"', start);
        audits.emplace_back(line.substr(start, end - start), "{" + line.substr(end + 3));
    }
    return audits;
}

std::string OutcomeOf(const HttpReply& reply) {
    const auto at = reply.body.find("\"outcome\": \"");
    return at == std::string::npos ? reply.body
                                    : reply.body.substr(at + 12, reply.body.find('"', at + 12) - at - 12);
}

Bytes WithTrailer(Bytes bytes) {
    const auto trailer = MakePhotoTrailer();
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

Bytes Encode(const cv::Mat& image, const std::string& ext, std::vector<int> params = {}) {
    Bytes bytes;
    cv::imencode(ext, image, bytes, params);
    return bytes;
}

std::string BenchPhoto(const std::string& name) {
    return std::string(VETRIX_SOURCE_DIR) + "/bench/data/" + name;
}

// An audit's reply holds the command's keys, then the facts behind the verdict under "why"; the
// keys before it are compared with the reference, "why" has tests of its own.
std::string ReferenceKeys(const std::string& body) {
    const std::size_t why = body.find(", \"why\": {\"cause\": ");
    return why == std::string::npos ? body + " (no why)" : body.substr(0, why) + "}";
}

TEST(Serve, AuditAnswersAsTheCommandForEveryExamplePhoto) {
    ServeProcess serve({"--workers", "2"});
    for (const auto& [file, expected] : ExpectedAudits()) {
        const HttpReply reply = Post(serve.port(), "/v1/audit", ReadBytes(TestData(file)));
        EXPECT_EQ(reply.status, 200) << file;
        EXPECT_EQ(reply.Header("Content-Type"), "application/json") << file;
        EXPECT_EQ(ReferenceKeys(reply.body), expected) << file;
    }
}

TEST(Serve, NormaliseGivesTheWindowsBytesOrTheVerdict) {
    ServeProcess serve({"--workers", "2"});
    for (const auto& [file, expected] : ExpectedAudits()) {
        const HttpReply reply = Post(serve.port(), "/v1/normalise", ReadBytes(TestData(file)));
        if (expected.find("\"Passed\"") == std::string::npos) {
            EXPECT_EQ(reply.status, 422) << file;
            EXPECT_EQ(ReferenceKeys(reply.body), expected) << file;
            continue;
        }
        // The bytes the window saves for the same photo, as recorded in the reference.
        EXPECT_EQ(reply.status, 200) << file;
        EXPECT_EQ(reply.Header("Content-Type"), "image/jpeg") << file;
        const std::string reference =
            TestData("expected-saved/" + fs::path(file).stem().string() + ".jpg");
        ASSERT_TRUE(fs::exists(reference)) << "no saved reference for " << file;
        EXPECT_TRUE(reply.body == ReadText(reference)) << file;
    }
}

TEST(Serve, VerifyTellsEachWayOfTampering) {
    ServeProcess serve({"--workers", "2"});
    const Bytes saved = ReadBytes(TestData("expected-saved/pass_red_test2_295x413.jpg"));
    const cv::Mat photo = cv::imdecode(saved, cv::IMREAD_COLOR);
    const std::vector<int> q50{cv::IMWRITE_JPEG_QUALITY, 50};

    Bytes cut = saved;
    cut.pop_back();
    Bytes flipped = saved;
    for (std::size_t i = 2; i + 3 < flipped.size(); ++i) {
        if (flipped[i] == 0xFF && flipped[i + 1] == 0xDA) {  // invert the first byte of the scan
            flipped[i + 2 + (flipped[i + 2] << 8 | flipped[i + 3])] ^= 0xFF;
            break;
        }
    }
    cv::Mat resized;
    cv::resize(photo, resized, cv::Size(300, 420), 0, 0, cv::INTER_AREA);
    Bytes appended = saved;
    appended.push_back('x');

    const std::vector<std::tuple<const char*, Bytes, const char*>> cases{
        {"as saved", saved, "Verified"},
        {"trailer cut", cut, "NoTrailer"},
        {"byte flipped inside the JPEG", flipped, "NotJpeg"},
        {"re-encoded at quality 75",
         WithTrailer(Encode(photo, ".jpg", {cv::IMWRITE_JPEG_QUALITY, 75})), "Reencoded"},
        {"resized", WithTrailer(Encode(resized, ".jpg", q50)), "WrongSize"},
        {"cropped", WithTrailer(Encode(photo(cv::Rect(0, 5, photo.cols, photo.rows - 5)), ".jpg", q50)),
         "WrongSize"},
        {"data after the trailer", appended, "NoTrailer"},
        {"PNG with the trailer", WithTrailer(Encode(photo, ".png")), "NotJpeg"},
    };
    for (const auto& [what, bytes, outcome] : cases) {
        const HttpReply reply = Post(serve.port(), "/v1/verify", bytes);
        EXPECT_EQ(reply.status, 200) << what;
        EXPECT_EQ(OutcomeOf(reply), outcome) << what << ": " << reply.body;
    }
}

TEST(Serve, BadRequestsGetTheirStatusAndAJsonError) {
    ServeProcess serve({"--workers", "1", "--max-bytes", "100000"});
    const int port = serve.port();

    const HttpReply tooLarge = Post(port, "/v1/audit", Bytes(100001, 0xFF));
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_NE(tooLarge.body.find("\"error\""), std::string::npos) << tooLarge.body;
    EXPECT_EQ(Post(port, "/v1/audit", Bytes(100000, 0xFF)).status, 200) << "the limit itself";

    // A chunked body announces no length; it is cut off at the limit all the same.
    int fd = Connect(port);
    std::string chunked = "POST /v1/verify HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 4; ++i) {
        chunked += "8000\r\n" + std::string(0x8000, 'a') + "\r\n";
    }
    SendAll(fd, chunked + "0\r\n\r\n");
    EXPECT_EQ(ReadReply(fd).status, 413);
    close(fd);

    for (const std::string& garbage :
         {std::string("GARBAGE\r\n\r\n"), std::string("POST /v1/audit HTTP/1.1\r\nContent-Length: x\r\n\r\n"),
          std::string("GET / HTTP/9.9\r\n\r\n")}) {
        fd = Connect(port);
        SendAll(fd, garbage);
        const HttpReply reply = ReadReply(fd);
        close(fd);
        EXPECT_EQ(reply.status, 400) << garbage;
        EXPECT_EQ(reply.Header("Content-Type"), "application/json") << garbage;
        EXPECT_EQ(reply.body.rfind("{\"error\": ", 0), 0u) << garbage << reply.body;
    }
    EXPECT_EQ(Post(port, "/v1/audit", {}).status, 400) << "no photo";
    EXPECT_EQ(Request(port, "GET", "/v1/audit").status, 405);
    EXPECT_EQ(Request(port, "GET", "/v1/audit").Header("Allow"), "POST");
    EXPECT_EQ(Request(port, "GET", "/../../etc/passwd").status, 404);
    EXPECT_EQ(Request(port, "GET", "/healthz").status, 200);
}

TEST(Serve, AFullQueueIsAnswered503WithRetryAfter) {
    ServeProcess serve({"--workers", "1", "--queue", "1"});
    const Bytes big = ReadBytes(BenchPhoto("pass_blue_test4_1200x1680.jpg"));
    constexpr int kClients = 8;
    std::vector<HttpReply> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        // From addresses of their own: one address alone never fills the queue.
        clients.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(i + 1);
            replies[i] =
                Request(serve.port(), "POST", "/v1/audit", AsString(big), {}, from.c_str());
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    int busy = 0;
    for (const HttpReply& reply : replies) {
        if (reply.status == 503) {
            ++busy;
            EXPECT_EQ(reply.Header("Retry-After"), "1");
            EXPECT_NE(reply.body.find("\"error\""), std::string::npos);
        } else {
            EXPECT_EQ(reply.status, 200) << reply.head;
        }
    }
    // One 2 MP audit runs and one waits; the others, sent at the same moment, find the queue
    // full.
    EXPECT_GE(busy, 1);
    EXPECT_LE(busy, kClients - 2);
    const std::string metrics = Request(serve.port(), "GET", "/metrics").body;
    EXPECT_NE(metrics.find("vetrix_rejected_total{reason=\"queue_full\"} " + std::to_string(busy)),
              std::string::npos)
        << metrics;
}

TEST(Serve, ASlowClientIsCutOffWhateverItsPace) {
    ServeProcess serve({"--workers", "1", "--header-timeout", "1"});
    const int fd = Connect(serve.port());
    // A byte every 200 ms keeps each read well within a second; only a deadline for the whole
    // head stops it. The loop gives up after 10 s, long before a head of this pace would end.
    const std::string head = "POST /v1/audit HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    bool cutOff = false;
    for (int i = 0; i < 50 && !cutOff; ++i) {
        cutOff = !SendAll(fd, i < static_cast<int>(head.size()) ? head.substr(i, 1) : "a");
        pollfd p{fd, POLLIN, 0};
        cutOff = cutOff || poll(&p, 1, 200) > 0;
    }
    char byte;
    EXPECT_TRUE(cutOff);
    // A close with the last slow byte still unread reaches the client as a reset rather than an
    // end of stream; either way no answer was sent.
    const ssize_t got = recv(fd, &byte, 1, 0);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET))
        << "closed without an answer, got " << got << " (" << std::strerror(errno) << ")";
    close(fd);
    EXPECT_EQ(Request(serve.port(), "GET", "/healthz").status, 200) << "still serving";
    EXPECT_NE(Request(serve.port(), "GET", "/metrics").body.find(
                  "vetrix_rejected_total{reason=\"timeout\"} 1"),
              std::string::npos);
}

TEST(Serve, FiftyConcurrentClientsEachGetTheirOwnAnswer) {
    ServeProcess serve({"--workers", "2", "--queue", "64"});
    const auto audits = ExpectedAudits();
    std::vector<Bytes> photos;
    for (const auto& [file, expected] : audits) {
        photos.push_back(ReadBytes(TestData(file)));
    }
    constexpr int kClients = 50;
    std::vector<HttpReply> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        // From addresses of their own, as clients on other hosts: one address holds at most 32
        // connections.
        clients.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(i + 1);
            replies[i] = Request(serve.port(), "POST", "/v1/audit",
                                 AsString(photos[i % photos.size()]), {}, from.c_str());
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(replies[i].status, 200) << i;
        EXPECT_EQ(ReferenceKeys(replies[i].body), audits[i % audits.size()].second) << audits[i % audits.size()].first;
    }
    // One access-log line per request, complete once the server has stopped.
    kill(serve.pid(), SIGTERM);
    EXPECT_EQ(serve.Wait(), 0);
    std::istringstream log(serve.Log());
    int logged = 0;
    for (std::string line; std::getline(log, line);) {
        logged += line.find(" \"POST /v1/audit HTTP/1.1\" 200 ") != std::string::npos;
    }
    EXPECT_EQ(logged, kClients) << serve.Log();
}

TEST(Serve, SigtermAnswersTheRequestsInFlightThenExitsZero) {
    ServeProcess serve({"--workers", "1", "--queue", "8"});
    const Bytes photo = ReadBytes(BenchPhoto("pass_blue_test4_1200x1680.jpg"));
    const std::string expected = Post(serve.port(), "/v1/audit", photo).body;
    ASSERT_NE(expected.find("\"state\""), std::string::npos) << expected;

    constexpr int kClients = 4;
    std::vector<HttpReply> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] { replies[i] = Post(serve.port(), "/v1/audit", photo); });
    }
    // Wait until every request has reached the service (running or queued).
    for (int attempt = 0; attempt < 500; ++attempt) {
        const std::string metrics = Request(serve.port(), "GET", "/metrics").body;
        if (metrics.find("vetrix_requests_in_flight " + std::to_string(kClients)) !=
            std::string::npos) {
            break;
        }
    }
    ASSERT_EQ(kill(serve.pid(), SIGTERM), 0);
    for (auto& client : clients) {
        client.join();
    }
    for (const HttpReply& reply : replies) {
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, expected);
        EXPECT_EQ(reply.Header("Connection"), "close");
    }
    EXPECT_EQ(serve.Wait(), 0) << serve.Log();
}

TEST(Serve, RunsUnprivilegedAndServesTheSiteFromMemory) {
    TempDir site;
    WriteBytes(site.file("index.html"), {'<', 'p', '>', 'h', 'i'});
    ServeProcess serve({"--workers", "1", "--site", site.path().string()});
    fs::remove(site.file("index.html"));  // read at start: the request never opens a file
    const HttpReply page = Request(serve.port(), "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "<p>hi");
    EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
    // The page is cross-origin isolated, so that it may run the threads engine.
    EXPECT_EQ(page.Header("Cross-Origin-Opener-Policy"), "same-origin");
    EXPECT_EQ(page.Header("Cross-Origin-Embedder-Policy"), "require-corp");

    const std::string status = ReadText("/proc/" + std::to_string(serve.pid()) + "/status");
    const auto uid = status.find("\nUid:");
    ASSERT_NE(uid, std::string::npos);
    EXPECT_NE(std::stoi(status.substr(uid + 5)), 0) << "never root";
}

}  // namespace
