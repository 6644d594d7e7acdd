// vetrix-serve: the audit, the normalisation and the verification of portrait photos over
// HTTP, for a registration system to call. Holds no state between requests.

#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "platform/System.h"
#include "serve/Server.h"
#include "vetrix/Version.h"

namespace {

constexpr const char* kUsage =
    "Usage: vetrix-serve [OPTION]...\n"
    "       vetrix-serve --generate-key FILE\n"
    "\n"
    "Serves the Vetrix audit over HTTP/1.1:\n"
    "  POST /v1/audit      the photo's bytes in (the raw body, or one file of a\n"
    "                      multipart/form-data form); the audit's JSON out (the keys of\n"
    "                      vetrix-audit --json, without file)\n"
    "  POST /v1/normalise  on Passed, image/jpeg with exactly the bytes the window saves,\n"
    "                      signed in a Vetrix-Signature header with --signing-key;\n"
    "                      otherwise 422 with the audit's JSON\n"
    "  POST /v1/verify     the verification's JSON (vetrix-audit --verify --json) and the\n"
    "                      check of a Vetrix-Signature request header\n"
    "  GET  /healthz       200 while serving, 503 while draining\n"
    "  GET  /metrics       counters in Prometheus' text format\n"
    "  GET  /...           the files of --site, when given\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT    where to listen (default 127.0.0.1:8080; [::1]:PORT for IPv6)\n"
    "  --workers N           photos worked on at once (default: the number of cores)\n"
    "  --queue N             photos waiting for a worker before 503 (default: 4 x workers)\n"
    "  --max-bytes N         largest body accepted, else 413 (default 20971520, 20 MiB)\n"
    "  --max-pixels N        larger photos get BadSize undecoded (default 200000000)\n"
    "  --header-timeout S    seconds for a whole request head, and for an idle\n"
    "                        connection (default 10)\n"
    "  --body-timeout S      seconds for a whole body (default 60)\n"
    "  --audit-deadline S    seconds from a photo's arrival to its answer, else 503 or\n"
    "                        504 (default 30; fractions allowed)\n"
    "  --max-client-photos N photos queued or worked on at once for one address, else\n"
    "                        503 (default: half of workers + queue)\n"
    "  --max-connections N   connections open at once (default 1024)\n"
    "  --max-client-connections N\n"
    "                        connections open at once from one address (default 32)\n"
    "  --body-budget N       bytes of request bodies held at once, else 503\n"
    "                        (default 268435456, 256 MiB)\n"
    "  --client-body-budget N\n"
    "                        bytes of bodies held at once for one address\n"
    "                        (default: twice --max-bytes)\n"
    "  --site DIR            serve the static files of DIR, read into memory at start\n"
    "  --signing-key FILE    sign what /v1/normalise returns with this Ed25519 key\n"
    "  --verify-key FILE     also accept signatures of this public key (repeatable)\n"
    "  --generate-key FILE   write a new signing key to FILE (mode 0600) and its public\n"
    "                        key to FILE.pub, never replacing a file, and exit\n"
    "  --cascade FILE        the face cascade (default: the usual lookup)\n"
    "  --user NAME           when started as root, run as NAME after listening\n"
    "                        (default nobody)\n"
    "  -h, --help            show this text\n"
    "  --version             show the version\n"
    "\n"
    "One access-log line per request goes to standard error. SIGTERM or SIGINT stops\n"
    "accepting, answers the requests under way and exits 0.\n"
    "\n"
    "Exit status: 0 after a drain, 1 when it cannot listen, a second signal cut the drain\n"
    "short or --generate-key cannot write, 2 for a usage error, an unusable key or site,\n"
    "or when no face cascade loads.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "vetrix-serve: %s\nTry 'vetrix-serve --help'.\n", message.c_str());
    return 2;
}

bool ParseCount(const char* text, unsigned long long low, unsigned long long high,
                unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

// Seconds with an optional fraction, such as 0.5, into milliseconds.
bool ParseSeconds(const char* text, double low, double high, std::chrono::milliseconds& value) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || errno != 0 || !std::isfinite(v) || v < low || v > high) {
        return false;
    }
    value = std::chrono::milliseconds(static_cast<long long>(std::llround(v * 1000)));
    return true;
}

bool ParseListen(const std::string& text, ServerOptions& options) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    unsigned long long port = 0;
    if (host.empty() || !ParseCount(text.c_str() + colon + 1, 0, 65535, port)) {
        return false;
    }
    options.address = host;
    options.port = static_cast<unsigned short>(port);
    return true;
}

// Started as root (a plain service manager, a container), the process gives up root once the
// socket is bound and everything it reads from disk is loaded.
bool DropPrivileges(const std::string& user) {
    if (geteuid() != 0) {
        return true;
    }
    const passwd* pw = getpwnam(user.c_str());
    if (pw == nullptr || pw->pw_uid == 0) {
        std::fprintf(stderr, "vetrix-serve: no unprivileged user %s\n", user.c_str());
        return false;
    }
    if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0 ||
        setuid(0) == 0) {
        std::fprintf(stderr, "vetrix-serve: cannot switch to user %s\n", user.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed descriptor 0 to 2 would otherwise be handed to the first socket or file opened,
    // and the access log would be written into it.
    if (!OpenClosedStandardDescriptors()) {
        return 2;
    }
    ServerOptions options;
    unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    unsigned long long queue = 0;
    bool queueSet = false;
    std::string siteDir;
    std::string cascadeFile;
    std::string user = "nobody";
    std::string signingKey;
    std::vector<std::string> verifyKeys;
    bool clientBodyBudgetSet = false;
    unsigned long long clientPhotos = 0;

    enum : int {
        kListen = 256,
        kWorkers,
        kQueue,
        kMaxBytes,
        kMaxPixels,
        kHeaderTimeout,
        kBodyTimeout,
        kSite,
        kCascade,
        kUser,
        kHelp,
        kVersion,
        kAuditDeadline,
        kMaxConnections,
        kMaxClientConnections,
        kBodyBudget,
        kClientBodyBudget,
        kSigningKey,
        kVerifyKey,
        kGenerateKey,
        kMaxClientPhotos
    };
    const option longOptions[] = {
        {"audit-deadline", required_argument, nullptr, kAuditDeadline},
        {"max-connections", required_argument, nullptr, kMaxConnections},
        {"max-client-photos", required_argument, nullptr, kMaxClientPhotos},
        {"max-client-connections", required_argument, nullptr, kMaxClientConnections},
        {"body-budget", required_argument, nullptr, kBodyBudget},
        {"client-body-budget", required_argument, nullptr, kClientBodyBudget},
        {"signing-key", required_argument, nullptr, kSigningKey},
        {"verify-key", required_argument, nullptr, kVerifyKey},
        {"generate-key", required_argument, nullptr, kGenerateKey},
        {"version", no_argument, nullptr, kVersion},
        {"listen", required_argument, nullptr, kListen},
        {"workers", required_argument, nullptr, kWorkers},
        {"queue", required_argument, nullptr, kQueue},
        {"max-bytes", required_argument, nullptr, kMaxBytes},
        {"max-pixels", required_argument, nullptr, kMaxPixels},
        {"header-timeout", required_argument, nullptr, kHeaderTimeout},
        {"body-timeout", required_argument, nullptr, kBodyTimeout},
        {"site", required_argument, nullptr, kSite},
        {"cascade", required_argument, nullptr, kCascade},
        {"user", required_argument, nullptr, kUser},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        unsigned long long n = 0;
        switch (c) {
            case kListen:
                if (!ParseListen(optarg, options)) {
                    return UsageError("--listen takes ADDR:PORT, such as 127.0.0.1:8080");
                }
                break;
            case kWorkers:
                if (!ParseCount(optarg, 1, 256, n)) {
                    return UsageError("--workers takes a number from 1 to 256");
                }
                workers = static_cast<unsigned>(n);
                break;
            case kQueue:
                if (!ParseCount(optarg, 0, 100000, queue)) {
                    return UsageError("--queue takes a number from 0 to 100000");
                }
                queueSet = true;
                break;
            case kMaxBytes:
                if (!ParseCount(optarg, 1, 1ull << 32, n)) {
                    return UsageError("--max-bytes takes a number of bytes from 1 to 2^32");
                }
                options.maxBytes = static_cast<std::size_t>(n);
                break;
            case kMaxPixels:
                if (!ParseCount(optarg, 1, 1ull << 40, n)) {
                    return UsageError("--max-pixels takes a number from 1 to 2^40");
                }
                options.maxPixels = n;
                break;
            case kHeaderTimeout:
            case kBodyTimeout:
                if (!ParseCount(optarg, 1, 3600, n)) {
                    return UsageError("timeouts take a number of seconds from 1 to 3600");
                }
                (c == kHeaderTimeout ? options.headerTimeout : options.bodyTimeout) =
                    std::chrono::seconds(n);
                break;
            case kSite:
                siteDir = optarg;
                break;
            case kCascade:
                cascadeFile = optarg;
                break;
            case kUser:
                user = optarg;
                break;
            case kAuditDeadline:
                if (!ParseSeconds(optarg, 0.01, 3600, options.auditDeadline)) {
                    return UsageError("--audit-deadline takes seconds from 0.01 to 3600");
                }
                break;
            case kMaxConnections:
            case kMaxClientConnections:
                if (!ParseCount(optarg, 1, 1000000, n)) {
                    return UsageError("connection limits take a number from 1 to 1000000");
                }
                (c == kMaxConnections ? options.maxConnections : options.maxClientConnections) =
                    static_cast<std::size_t>(n);
                break;
            case kMaxClientPhotos:
                if (!ParseCount(optarg, 1, 1000000, clientPhotos)) {
                    return UsageError("--max-client-photos takes a number from 1 to 1000000");
                }
                break;
            case kBodyBudget:
            case kClientBodyBudget:
                if (!ParseCount(optarg, 1, 1ull << 40, n)) {
                    return UsageError("body budgets take a number of bytes from 1 to 2^40");
                }
                (c == kBodyBudget ? options.bodyBudget : options.clientBodyBudget) =
                    static_cast<std::size_t>(n);
                clientBodyBudgetSet = clientBodyBudgetSet || c == kClientBodyBudget;
                break;
            case kSigningKey:
                signingKey = optarg;
                break;
            case kVerifyKey:
                verifyKeys.emplace_back(optarg);
                break;
            case kGenerateKey: {
                std::string keyId, error;
                if (!SigningKeys::Generate(optarg, keyId, error)) {
                    std::fprintf(stderr, "vetrix-serve: --generate-key: %s\n", error.c_str());
                    return 1;
                }
                std::printf("wrote the signing key %s and its public key %s.pub; key id %s\n",
                            optarg, optarg, keyId.c_str());
                return 0;
            }
            case 'h':
            case kHelp:
                std::fputs(kUsage, stdout);
                return 0;
            case kVersion:
                std::printf("vetrix-serve %s\n", kVetrixVersion);
                return 0;
            default:
                return UsageError(std::string("unknown option or missing argument: ") +
                                  argv[optind - 1]);
        }
    }
    if (optind < argc) {
        return UsageError(std::string("unexpected argument: ") + argv[optind]);
    }
    if (!clientBodyBudgetSet) {
        options.clientBodyBudget = 2 * options.maxBytes;
    }

    // Read as the starting user, before the switch to an unprivileged one.
    SigningKeys keys;
    for (const std::string& file : verifyKeys) {
        std::string error;
        if (!keys.AddVerifyKey(file, error)) {
            std::fprintf(stderr, "vetrix-serve: --verify-key: %s\n", error.c_str());
            return 2;
        }
    }
    if (!signingKey.empty()) {
        std::string error;
        if (!keys.LoadSecretKey(signingKey, error)) {
            std::fprintf(stderr, "vetrix-serve: --signing-key: %s\n", error.c_str());
            return 2;
        }
    }
    if (keys.CanVerify()) {
        options.keys = &keys;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // The workers audit side by side; the detector's own threads would only compete with them.
    cv::setNumThreads(1);

    Site site;
    if (!siteDir.empty()) {
        std::string error;
        if (!site.Load(siteDir, 256u << 20, error)) {
            return UsageError("--site: " + error);
        }
        options.site = &site;
    }

    std::vector<std::unique_ptr<PhotoWorker>> photoWorkers;
    for (unsigned i = 0; i < workers; ++i) {
        auto worker = std::make_unique<PhotoWorker>();
        if (!worker->LoadFaceCascade(cascadeFile)) {
            std::fprintf(stderr, "vetrix-serve: no face cascade could be loaded\n");
            return 2;
        }
        photoWorkers.push_back(std::move(worker));
    }
    const std::size_t queueLength = queueSet ? queue : 4u * workers;
    // One address alone never fills the queue: another client always finds a place.
    options.maxClientPhotos = clientPhotos > 0
                                  ? static_cast<std::size_t>(clientPhotos)
                                  : std::max<std::size_t>(1, (workers + queueLength) / 2);

    Metrics metrics;
    WorkerPool pool(std::move(photoWorkers), queueLength);
    Server server(options, pool, metrics);
    std::string error;
    if (!server.Listen(error)) {
        std::fprintf(stderr, "vetrix-serve: %s\n", error.c_str());
        return 1;
    }
    if (!DropPrivileges(user)) {
        return 1;
    }
    std::fprintf(stderr, "vetrix-serve: listening on %s with %u worker(s), queue %zu%s%s\n",
                 server.LocalEndpoint().c_str(), workers, queueLength,
                 keys.CanSign() ? ", signing with key " : "", keys.KeyId().c_str());
    std::fflush(stderr);
    const bool drained = server.Run();
    pool.Stop();
    std::fprintf(stderr, "vetrix-serve: stopped\n");
    return drained ? 0 : 1;
}
