#include "serve/Server.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "engine/AuditJson.h"
#include "engine/ResultState.h"
#include "serve/Multipart.h"
#include "serve/OpenApi.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr std::size_t kHeaderLimit = 16 * 1024;
// Connections taken beyond maxConnections, for /healthz and /metrics only, each with a short
// deadline for its head: an orchestrator's probe is answered while clients hold every
// ordinary connection.
constexpr std::size_t kReserveConnections = 16;
constexpr std::chrono::seconds kReserveHeaderTimeout{2};
// After refusing a request whose body is still on its way, read and drop at most this long
// before closing, so that the client sees the answer rather than a reset.
constexpr std::chrono::seconds kLingerTime{2};

enum class PhotoKind { Audit, Normalise, Verify };

// Said, without reading anything, to a connection turned away at accept.
constexpr char kTurnedAway[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
    "Connection: close\r\nContent-Length: 44\r\n\r\n"
    "{\"error\": \"too many connections; try again\"}";

bool StartsWithNoCase(beast::string_view text, beast::string_view prefix) {
    return text.size() >= prefix.size() && beast::iequals(text.substr(0, prefix.size()), prefix);
}

// The origin-form of a request target: an absolute-form target (http://host/path?query), which
// HTTP/1.1 servers must accept, loses its scheme and authority.
std::string OriginForm(beast::string_view target) {
    for (const beast::string_view scheme : {"http://", "https://"}) {
        if (StartsWithNoCase(target, scheme)) {
            const std::size_t start = target.find_first_of("/?", scheme.size());
            if (start == beast::string_view::npos) {
                return "/";
            }
            const std::string rest(target.substr(start));
            return rest[0] == '/' ? rest : "/" + rest;
        }
    }
    return std::string(target);
}

// Connections and bodies are counted per address; an IPv6 client usually holds a whole /64,
// so that is what counts as one client there.
std::string ClientKey(const asio::ip::address& address) {
    if (address.is_v6()) {
        const asio::ip::address_v6 v6 = address.to_v6();
        if (v6.is_v4_mapped()) {
            return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
        }
        asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
        std::fill(bytes.begin() + 8, bytes.end(), static_cast<unsigned char>(0));
        return asio::ip::address_v6(bytes).to_string() + "/64";
    }
    return address.to_string();
}

// The bytes of request bodies held at once, in all and per client address. Taken when a
// request's head announces its body, before any of it is read; given back when the body is
// freed, which for a photo is on a worker thread.
class BodyBudget {
public:
    enum class Result { Ok, Full, ClientFull };

    BodyBudget(std::size_t total, std::size_t perClient) : total_(total), perClient_(perClient) {}

    Result Take(const std::string& client, std::size_t bytes) {
        std::lock_guard lock(mutex_);
        std::size_t& mine = held_[client];
        Result result = Result::Ok;
        if (mine + bytes > perClient_) {
            result = Result::ClientFull;
        } else if (all_ + bytes > total_) {
            result = Result::Full;
        } else {
            mine += bytes;
            all_ += bytes;
        }
        if (mine == 0) {
            held_.erase(client);
        }
        return result;
    }

    void Give(const std::string& client, std::size_t bytes) {
        std::lock_guard lock(mutex_);
        const auto it = held_.find(client);
        if (it == held_.end()) {
            return;
        }
        it->second -= bytes;
        all_ -= bytes;
        if (it->second == 0) {
            held_.erase(it);
        }
    }

    std::size_t Held() const {
        std::lock_guard lock(mutex_);
        return all_;
    }

private:
    const std::size_t total_;
    const std::size_t perClient_;
    mutable std::mutex mutex_;
    std::size_t all_ = 0;
    std::map<std::string, std::size_t> held_;
};

// A share of the body budget, given back when it goes.
class BodyLease {
public:
    BodyLease() = default;
    BodyLease(BodyBudget& budget, std::string client, std::size_t bytes)
        : budget_(&budget), client_(std::move(client)), bytes_(bytes) {}
    BodyLease(BodyLease&& other) noexcept { *this = std::move(other); }
    BodyLease& operator=(BodyLease&& other) noexcept {
        if (this != &other) {
            Release();
            budget_ = std::exchange(other.budget_, nullptr);
            client_ = std::move(other.client_);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    ~BodyLease() { Release(); }

    void Release() {
        if (budget_ != nullptr) {
            budget_->Give(client_, bytes_);
            budget_ = nullptr;
        }
    }

private:
    BodyBudget* budget_ = nullptr;
    std::string client_;
    std::size_t bytes_ = 0;
};

// One photo request from the moment its body is complete. The worker and the deadline race for
// it: whoever moves it out of Queued first decides whether it is worked on.
struct PhotoJob {
    enum Phase : int { Queued, Running, Abandoned };

    PhotoKind kind = PhotoKind::Audit;
    BodyLease lease;  // declared before the body, so given back after the body is freed
    std::string body;
    std::string_view photo;  // within body: all of it, or the form's file part
    std::optional<std::string> signature;
    Clock::time_point deadline;
    std::atomic<int> phase{Queued};
};

std::string ErrorJson(const std::string& message) {
    return "{\"error\": " + JsonString(message) + "}";
}

Response JsonResponse(http::status status, std::string body) {
    Response res{status, 11};
    res.set(http::field::content_type, "application/json");
    res.body() = std::move(body);
    return res;
}

// Printable ASCII as it is, anything else as \xHH, so that a request cannot forge or split a
// log line; cut at 256 bytes.
std::string Loggable(beast::string_view text) {
    std::string out;
    for (const char ch : text.substr(0, 256)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return text.size() > 256 ? out + "..." : out;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

class Session;

struct ServerCore {
    ServerCore(ServerOptions o, WorkerPool& p, Metrics& m)
        : options(std::move(o)),
          pool(p),
          metrics(m),
          budget(options.bodyBudget, options.clientBodyBudget) {}
    ~ServerCore() { shuttingDown = true; }

    void Accept();
    void TurnAway(tcp::socket& socket, const char* reason);
    bool EvictLongestWaiting();
    // A photo of `client` answered or refused: no longer in flight.
    void PhotoDone(const std::string& client) {
        --inFlight;
        const auto photos = clientPhotos.find(client);
        if (photos != clientPhotos.end() && --photos->second == 0) {
            clientPhotos.erase(photos);
        }
    }
    void OnSignal(const beast::error_code& ec, int signal);
    void CheckDrained();
    Metrics::Gauges Sample() const {
        return {inFlight.load(), pool.Queued(), budget.Held(), sessions.size()};
    }

    ServerOptions options;
    WorkerPool& pool;
    Metrics& metrics;
    BodyBudget budget;
    bool shuttingDown = false;
    bool draining = false;
    bool forced = false;
    std::set<Session*> sessions;
    std::size_t reserveOpen = 0;
    std::size_t closing = 0;  // evicted sessions not yet gone
    std::map<std::string, std::size_t> clientConnections;
    std::map<std::string, std::size_t> clientPhotos;  // queued or being worked on
    std::atomic<std::size_t> inFlight{0};
    // Declared last: destroyed first, while the sessions' bookkeeping above still exists.
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::signal_set signals{ioc, SIGTERM, SIGINT};
    asio::steady_timer acceptRetry{ioc};
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, ServerCore& core, std::string client, bool reserve)
        : stream_(std::move(socket)),
          core_(core),
          client_(std::move(client)),
          reserve_(reserve),
          deadline_(stream_.get_executor()) {
        beast::error_code ec;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
        peer_ = ec ? "-" : peer.address().to_string() + ":" + std::to_string(peer.port());
    }

    ~Session() {
        if (!core_.shuttingDown) {
            core_.sessions.erase(this);
            core_.reserveOpen -= reserve_ ? 1 : 0;
            core_.closing -= closing_ ? 1 : 0;
            const auto it = core_.clientConnections.find(client_);
            if (it != core_.clientConnections.end() && --it->second == 0) {
                core_.clientConnections.erase(it);
            }
            core_.CheckDrained();
        }
    }

    void Start() {
        core_.sessions.insert(this);
        core_.reserveOpen += reserve_ ? 1 : 0;
        ++core_.clientConnections[client_];
        ReadHead();
    }

    // Waiting for a request that has not begun to arrive: safe to close when draining.
    bool Idle() const { return waitingForHead_ && buffer_.size() == 0; }

    // Waiting for a request head (or idle), not yet closed: who may make room for a newcomer,
    // the longest waiting first.
    bool Evictable() const { return waitingForHead_ && !reserve_ && !closed_; }
    Clock::time_point HeadSince() const { return headSince_; }
    void MarkClosing() { closing_ = true; }

    void Close() {
        closed_ = true;
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.socket().close(ec);
    }

private:
    void ReadHead() {
        if (core_.draining && buffer_.size() == 0) {
            Close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(core_.options.maxBytes);
        route_ = "other";
        requestLine_ = "-";
        closeAfter_ = false;
        headOnly_ = false;
        answered_ = false;
        waitingForHead_ = true;
        headSince_ = Clock::now();
        // One deadline for the whole head, however the client paces its bytes; it also ends an
        // idle kept-alive connection.
        stream_.expires_after(reserve_ ? std::min<std::chrono::seconds>(core_.options.headerTimeout,
                                                                        kReserveHeaderTimeout)
                                       : core_.options.headerTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->OnHead(ec);
                                });
    }

    void OnHead(beast::error_code ec) {
        waitingForHead_ = false;
        started_ = Clock::now();
        if (ec == beast::error::timeout) {
            // The stream is closed by now; a head begun but not finished is logged.
            if (buffer_.size() > 0) {
                TimedOut();
            }
            return;
        }
        if (ec == http::error::end_of_stream || ec == asio::error::eof ||
            ec == asio::error::operation_aborted || ec == asio::error::connection_reset) {
            Close();
            return;
        }
        if (ec == http::error::body_limit) {
            TooLarge();
            return;
        }
        if (ec == http::error::header_limit) {
            Refuse(http::status::request_header_fields_too_large, "the request head is too large",
                   "bad_request");
            return;
        }
        if (ec) {
            Refuse(http::status::bad_request, "malformed request: " + ec.message(), "bad_request");
            return;
        }
        const Request& req = parser_->get();
        requestLine_ = Loggable(req.method_string()) + " " + Loggable(req.target()) + " HTTP/" +
                       std::to_string(req.version() / 10) + "." + std::to_string(req.version() % 10);
        const auto length = parser_->content_length();
        if (length && *length > core_.options.maxBytes) {
            TooLarge();
            return;
        }
        if (reserve_) {
            const std::string target = OriginForm(req.target());
            const std::string path = target.substr(0, target.find('?'));
            if (path != "/healthz" && path != "/metrics") {
                Busy("the service has too many connections; try again shortly", "connections");
                return;
            }
        }
        // The body's share of memory is taken before any of it is read: a chunked body, whose
        // length is unknown, takes the most a body may be.
        const std::size_t announced =
            length ? static_cast<std::size_t>(*length)
                   : (parser_->chunked() ? core_.options.maxBytes : std::size_t{0});
        if (announced > 0) {
            switch (core_.budget.Take(client_, announced)) {
                case BodyBudget::Result::Ok:
                    lease_ = BodyLease(core_.budget, client_, announced);
                    break;
                case BodyBudget::Result::ClientFull:
                    Busy("this client has too many bodies on their way; try again shortly",
                         "client_body_budget");
                    return;
                case BodyBudget::Result::Full:
                    Busy("the service holds too many bodies; try again shortly", "body_budget");
                    return;
            }
        }
        if (beast::iequals(req[http::field::expect], "100-continue")) {
            auto go = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
            stream_.expires_after(core_.options.writeTimeout);
            http::async_write(stream_, *go,
                              [self = shared_from_this(), go](beast::error_code wec, std::size_t) {
                                  if (wec) {
                                      self->Close();
                                  } else {
                                      self->ReadBody();
                                  }
                              });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        if (parser_->is_done()) {
            Dispatch();
            return;
        }
        stream_.expires_after(core_.options.bodyTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->OnBody(ec);
                         });
    }

    void OnBody(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            TooLarge();
            return;
        }
        if (ec == beast::error::timeout) {
            TimedOut();
            return;
        }
        if (ec == http::error::partial_message || ec == asio::error::eof ||
            ec == asio::error::connection_reset) {
            Close();  // the client went away in the middle of its body
            return;
        }
        if (ec) {
            Refuse(http::status::bad_request, "malformed request: " + ec.message(), "bad_request");
            return;
        }
        Dispatch();
    }

    void Dispatch() {
        Request& req = parser_->get();
        const std::string target = OriginForm(req.target());
        const std::string path = target.substr(0, target.find('?'));
        keepAlive_ = req.keep_alive();
        headOnly_ = req.method() == http::verb::head;
        const bool get = req.method() == http::verb::get || headOnly_;

        const std::pair<const char*, PhotoKind> photoRoutes[] = {
            {"/v1/audit", PhotoKind::Audit},
            {"/v1/normalise", PhotoKind::Normalise},
            {"/v1/verify", PhotoKind::Verify}};
        for (const auto& [name, kind] : photoRoutes) {
            if (path == name) {
                route_ = name;
                if (req.method() != http::verb::post) {
                    NotAllowed("POST");
                } else if (req.body().empty()) {
                    Refuse(http::status::bad_request, "the body must hold the photo's bytes",
                           "bad_request");
                } else {
                    SubmitPhoto(kind);
                }
                return;
            }
        }
        if (path == "/healthz") {
            route_ = "/healthz";
            if (!get) {
                NotAllowed("GET, HEAD");
            } else if (core_.draining) {
                Send(JsonResponse(http::status::service_unavailable, "{\"status\": \"draining\"}"));
            } else {
                Send(JsonResponse(http::status::ok, "{\"status\": \"ok\"}"));
            }
            return;
        }
        if (path == "/metrics") {
            route_ = "/metrics";
            if (!get) {
                NotAllowed("GET, HEAD");
                return;
            }
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            res.body() = core_.metrics.Render(core_.Sample());
            Send(std::move(res));
            return;
        }
        if (path == "/openapi.json") {
            route_ = "/openapi.json";
            if (get) {
                Send(JsonResponse(http::status::ok, std::string(OpenApiDocument())));
            } else {
                NotAllowed("GET, HEAD");
            }
            return;
        }
        if (core_.options.site != nullptr && get) {
            if (const Site::File* file = core_.options.site->Find(target)) {
                route_ = "site";
                Response res{http::status::ok, 11};
                res.set(http::field::content_type, file->contentType);
                res.set(http::field::cache_control, file->cacheControl);
                res.set("X-Content-Type-Options", "nosniff");
                // Cross-origin isolation: the page's threads engine shares memory between
                // threads, which browsers allow only to an isolated page. The site loads
                // nothing from another origin.
                res.set("Cross-Origin-Opener-Policy", "same-origin");
                res.set("Cross-Origin-Embedder-Policy", "require-corp");
                res.body() = file->bytes;
                Send(std::move(res));
                return;
            }
        }
        Send(JsonResponse(http::status::not_found, ErrorJson("no such resource")));
    }

    void SubmitPhoto(PhotoKind kind) {
        Request& req = parser_->get();
        auto job = std::make_shared<PhotoJob>();
        job->kind = kind;
        job->lease = std::move(lease_);
        job->body = std::move(req.body());
        job->photo = job->body;
        const beast::string_view contentType = req[http::field::content_type];
        if (StartsWithNoCase(contentType, "multipart/")) {
            const std::string boundary =
                FormBoundary(std::string_view(contentType.data(), contentType.size()));
            std::string error;
            if (boundary.empty()) {
                Refuse(http::status::unsupported_media_type,
                       "a form must be multipart/form-data with a boundary; or send the photo's "
                       "bytes as the body (curl --data-binary @photo.jpg)",
                       "unsupported_type");
                return;
            }
            if (!FindFormFile(job->body, boundary, job->photo, error)) {
                Refuse(http::status::bad_request,
                       error +
                           "; send one file part (curl -F photo=@photo.jpg) or the photo's "
                           "bytes as the body (curl --data-binary @photo.jpg)",
                       "bad_request");
                return;
            }
            if (job->photo.empty()) {
                Refuse(http::status::bad_request, "the form's file is empty", "bad_request");
                return;
            }
        }
        if (kind == PhotoKind::Verify) {
            const auto header = req.find("Vetrix-Signature");
            if (header != req.end()) {
                job->signature = std::string(header->value());
            }
        }
        const auto mine = core_.clientPhotos.find(client_);
        if (mine != core_.clientPhotos.end() && mine->second >= core_.options.maxClientPhotos) {
            Busy("this client has too many photos waiting; try again shortly", "client_photos",
                 false);
            return;
        }
        job->deadline = Clock::now() + core_.options.auditDeadline;
        job_ = job;

        auto guard = std::make_shared<asio::executor_work_guard<asio::io_context::executor_type>>(
            core_.ioc.get_executor());
        ++core_.inFlight;
        ++core_.clientPhotos[client_];
        ServerCore& core = core_;
        const bool queued = core_.pool.TrySubmit(
            [self = shared_from_this(), job, guard, &core](PhotoWorker& worker) {
                std::shared_ptr<Response> res;
                int queuedPhase = PhotoJob::Queued;
                if (job->phase.compare_exchange_strong(queuedPhase, PhotoJob::Running) &&
                    Clock::now() < job->deadline) {
                    res = std::make_shared<Response>(Work(worker, *job, core));
                }
                // The body's memory goes back to the budget now, not when the answer is sent.
                job->photo = {};
                std::string().swap(job->body);
                job->lease.Release();
                asio::post(core.ioc, [self, res, guard] {
                    self->core_.PhotoDone(self->client_);
                    self->OnPhotoDone(res);
                });
            },
            client_);
        if (!queued) {
            core_.PhotoDone(client_);
            job_.reset();
            Busy("all workers are busy; try again shortly", "queue_full", false);
            return;
        }
        deadline_.expires_at(job->deadline);
        deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->OnDeadline();
            }
        });
    }

    // The deadline passed before the worker answered: the client is told now. A photo still
    // waiting is never worked on; one being worked on runs to its end, and its answer is
    // dropped.
    void OnDeadline() {
        if (answered_ || !job_) {
            return;
        }
        int queuedPhase = PhotoJob::Queued;
        if (job_->phase.compare_exchange_strong(queuedPhase, PhotoJob::Abandoned)) {
            Busy("no worker was free within the deadline; try again shortly", "deadline_queued");
        } else {
            core_.metrics.CountRejected("deadline_running");
            closeAfter_ = true;
            Response res = JsonResponse(http::status::gateway_timeout,
                                        ErrorJson("the photo was not worked through within the "
                                                  "deadline; try again shortly"));
            res.set(http::field::retry_after, std::to_string(core_.options.retryAfter.count()));
            Send(std::move(res));
        }
    }

    void OnPhotoDone(const std::shared_ptr<Response>& res) {
        deadline_.cancel();
        job_.reset();
        if (answered_) {
            return;  // the deadline answered already
        }
        if (!res) {
            // Picked up by a worker after its deadline, before the timer fired.
            Busy("no worker was free within the deadline; try again shortly", "deadline_queued");
            return;
        }
        Send(std::move(*res));
    }

    // Runs on a worker thread.
    static Response Work(PhotoWorker& worker, const PhotoJob& job, ServerCore& core) {
        const SigningKeys* keys = core.options.keys;
        try {
            if (job.kind == PhotoKind::Verify) {
                const VerifyResult result = worker.Verify(job.photo);
                core.metrics.CountOutcome(VerifyOutcomeName(result.outcome));
                std::string json = VerifyJson(std::nullopt, result);
                const std::string signature =
                    keys == nullptr ? "unchecked" : keys->Check(job.signature, job.photo);
                json.insert(json.size() - 1, ", \"signature\": \"" + signature + "\"");
                return JsonResponse(http::status::ok, std::move(json));
            }
            AuditReply reply =
                worker.Audit(job.photo, core.options.maxPixels, job.kind == PhotoKind::Normalise);
            core.metrics.CountVerdict(ResultStateName(reply.state));
            if (job.kind == PhotoKind::Audit) {
                return JsonResponse(http::status::ok, std::move(reply.json));
            }
            if (reply.state != Passed) {
                return JsonResponse(http::status::unprocessable_entity, std::move(reply.json));
            }
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "image/jpeg");
            res.body().assign(reply.saved.begin(), reply.saved.end());
            if (keys != nullptr && keys->CanSign()) {
                res.set("Vetrix-Signature", keys->Sign(res.body()));
            }
            return res;
        } catch (const std::exception& e) {
            // Out of memory, or a failure inside the image library: an error, never a verdict.
            return JsonResponse(http::status::internal_server_error,
                                ErrorJson(std::string("the photo could not be processed: ") +
                                          e.what()));
        }
    }

    void NotAllowed(const char* allow) {
        Response res = JsonResponse(http::status::method_not_allowed,
                                    ErrorJson(std::string("use ") + allow));
        res.set(http::field::allow, allow);
        Send(std::move(res));
    }

    void TooLarge() {
        Refuse(http::status::payload_too_large,
               "the body is larger than " + std::to_string(core_.options.maxBytes) + " bytes",
               "too_large");
    }

    // 503 with Retry-After. With `close`, for a request whose body was never read.
    void Busy(const std::string& message, const char* reason, bool close = true) {
        core_.metrics.CountRejected(reason);
        closeAfter_ = closeAfter_ || close;
        Response res = JsonResponse(http::status::service_unavailable, ErrorJson(message));
        res.set(http::field::retry_after, std::to_string(core_.options.retryAfter.count()));
        Send(std::move(res));
    }

    // Answers with an error and closes the connection afterwards: what follows the request in
    // the stream, if anything, cannot be trusted or was never read.
    void Refuse(http::status status, const std::string& message, const char* reason) {
        if (reason[0] != '\0') {
            core_.metrics.CountRejected(reason);
        }
        closeAfter_ = true;
        Send(JsonResponse(status, ErrorJson(message)));
    }

    void Send(Response res) {
        answered_ = true;
        // The request, and whatever of its body was read, are done with.
        lease_ = BodyLease();
        parser_.reset();
        const bool close = closeAfter_ || !keepAlive_ || core_.draining;
        res.version(11);
        res.keep_alive(!close);
        res.prepare_payload();
        if (headOnly_) {
            res.body().clear();  // Content-Length still says what a GET would get
        }
        response_ = std::make_shared<Response>(std::move(res));
        stream_.expires_after(core_.options.writeTimeout);
        http::async_write(stream_, *response_,
                          [self = shared_from_this(), close](beast::error_code ec, std::size_t) {
                              self->OnWritten(ec, close);
                          });
    }

    void OnWritten(beast::error_code ec, bool close) {
        const int status = response_->result_int();
        const std::size_t bytes = response_->body().size();
        response_.reset();
        LogRequest(status, bytes);
        if (ec) {
            Close();
        } else if (close) {
            Linger();
        } else {
            ReadHead();
        }
    }

    void LogRequest(int status, std::size_t bytes) {
        const std::chrono::duration<double> took = Clock::now() - started_;
        std::fprintf(stderr, "%s %s \"%s\" %d %zu %.3f\n", UtcNow().c_str(), peer_.c_str(),
                     requestLine_.c_str(), status, bytes, took.count());
        core_.metrics.CountRequest(route_, status, took.count());
    }

    // The deadline of a phase passed and the stream closed itself; there is no one left to
    // answer, but the log and the counters say what happened, as a 408.
    void TimedOut() {
        core_.metrics.CountRejected("timeout");
        LogRequest(static_cast<int>(http::status::request_timeout), 0);
        Close();
    }

    // Half-closes, then drops whatever the client still sends until it closes or time is up.
    void Linger() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec) {
            Close();
            return;
        }
        lingerUntil_ = Clock::now() + kLingerTime;
        stream_.expires_at(lingerUntil_);
        Discard();
    }

    void Discard() {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec || Clock::now() >= self->lingerUntil_) {
                                        self->Close();
                                    } else {
                                        self->Discard();
                                    }
                                });
    }

    beast::tcp_stream stream_;
    ServerCore& core_;
    const std::string client_;  // the address that connections and bodies are counted by
    const bool reserve_;        // taken beyond the connection limit: /healthz and /metrics only
    asio::steady_timer deadline_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    BodyLease lease_;
    std::shared_ptr<PhotoJob> job_;
    std::shared_ptr<Response> response_;
    std::string peer_;
    std::string route_ = "other";
    std::string requestLine_ = "-";
    Clock::time_point started_ = Clock::now();
    Clock::time_point lingerUntil_;
    std::array<char, 16 * 1024> scratch_{};
    bool waitingForHead_ = false;
    bool keepAlive_ = false;
    bool closeAfter_ = false;
    bool headOnly_ = false;
    bool answered_ = false;
    bool closed_ = false;
    bool closing_ = false;  // counted in the core's closing
    Clock::time_point headSince_ = Clock::now();
};

void ServerCore::Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || draining) {
            return;
        }
        if (ec) {
            // Out of descriptors, most likely: wait a little rather than spin.
            std::fprintf(stderr, "vetrix-serve: accept: %s\n", ec.message().c_str());
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](beast::error_code) {
                if (!draining) {
                    Accept();
                }
            });
            return;
        }
        beast::error_code peerError;
        const tcp::endpoint peer = socket.remote_endpoint(peerError);
        std::string client = peerError ? std::string("-") : ClientKey(peer.address());
        const auto mine = clientConnections.find(client);
        if (mine != clientConnections.end() && mine->second >= options.maxClientConnections) {
            TurnAway(socket, "client_connections");
        } else if (sessions.size() - reserveOpen - closing < options.maxConnections ||
                   EvictLongestWaiting()) {
            std::make_shared<Session>(std::move(socket), *this, std::move(client), false)->Start();
        } else if (reserveOpen < kReserveConnections) {
            std::make_shared<Session>(std::move(socket), *this, std::move(client), true)->Start();
        } else {
            TurnAway(socket, "connections");
        }
        Accept();
    });
}

// At the connection limit, a newcomer takes the place of the connection that has waited longest
// for its request head: many clients sending heads a byte at a time then only ever hold the
// newest connections, and a client that sends its request at once is served.
bool ServerCore::EvictLongestWaiting() {
    Session* longest = nullptr;
    for (Session* session : sessions) {
        if (session->Evictable() &&
            (longest == nullptr || session->HeadSince() < longest->HeadSince())) {
            longest = session;
        }
    }
    if (longest == nullptr) {
        return false;
    }
    metrics.CountRejected("evicted");
    longest->Close();
    ++closing;  // until its handler runs and it goes
    longest->MarkClosing();
    return true;
}

// Says 503 if the socket takes it at once, and closes: nothing is read and nothing waits.
void ServerCore::TurnAway(tcp::socket& socket, const char* reason) {
    metrics.CountRejected(reason);
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.send(asio::buffer(kTurnedAway, sizeof kTurnedAway - 1), 0, ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void ServerCore::OnSignal(const beast::error_code& ec, int signal) {
    if (ec) {
        return;
    }
    if (draining) {
        std::fprintf(stderr, "vetrix-serve: second signal %d, stopping at once\n", signal);
        forced = true;
        ioc.stop();
        return;
    }
    std::fprintf(stderr, "vetrix-serve: signal %d, finishing %zu request(s) in flight\n", signal,
                 inFlight.load());
    draining = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    const std::vector<Session*> open(sessions.begin(), sessions.end());
    for (Session* session : open) {
        if (session->Idle()) {
            session->Close();
        }
    }
    signals.async_wait([this](const beast::error_code& e, int s) { OnSignal(e, s); });
    CheckDrained();
}

void ServerCore::CheckDrained() {
    if (draining && sessions.empty() && inFlight.load() == 0) {
        signals.cancel();  // nothing is left for the loop to wait for, and Run returns
    }
}

}  // namespace

struct Server::Impl {
    Impl(ServerOptions options, WorkerPool& pool, Metrics& metrics)
        : core(std::move(options), pool, metrics) {}
    ServerCore core;
};

Server::Server(ServerOptions options, WorkerPool& pool, Metrics& metrics)
    : impl_(std::make_unique<Impl>(std::move(options), pool, metrics)) {}

Server::~Server() = default;

bool Server::Listen(std::string& error) {
    ServerCore& core = impl_->core;
    beast::error_code ec;
    const asio::ip::address address = asio::ip::make_address(core.options.address, ec);
    if (ec) {
        error = "not an IP address: " + core.options.address;
        return false;
    }
    const tcp::endpoint endpoint(address, core.options.port);
    core.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        core.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        core.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        core.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + core.options.address + ":" +
                std::to_string(core.options.port) + ": " + ec.message();
        return false;
    }
    return true;
}

std::string Server::LocalEndpoint() const {
    beast::error_code ec;
    const tcp::endpoint endpoint = impl_->core.acceptor.local_endpoint(ec);
    if (ec) {
        return "-";
    }
    const std::string host = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" +
           std::to_string(endpoint.port());
}

bool Server::Run() {
    ServerCore& core = impl_->core;
    core.signals.async_wait([&core](const beast::error_code& e, int s) { core.OnSignal(e, s); });
    core.Accept();
    core.ioc.run();
    return !core.forced;
}
