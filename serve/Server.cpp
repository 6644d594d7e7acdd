#include "serve/Server.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "engine/AuditJson.h"
#include "engine/ResultState.h"
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
constexpr std::size_t kMaxConnections = 1024;
// After refusing a request whose body is still on its way, read and drop at most this long
// before closing, so that the client sees the answer rather than a reset.
constexpr std::chrono::seconds kLingerTime{2};

enum class PhotoKind { Audit, Normalise, Verify };

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
        : options(std::move(o)), pool(p), metrics(m) {}
    ~ServerCore() { shuttingDown = true; }

    void Accept();
    void OnSignal(const beast::error_code& ec, int signal);
    void CheckDrained();

    ServerOptions options;
    WorkerPool& pool;
    Metrics& metrics;
    bool shuttingDown = false;
    bool draining = false;
    bool forced = false;
    std::set<Session*> sessions;
    std::atomic<std::size_t> inFlight{0};
    // Declared last: destroyed first, while the sessions' bookkeeping above still exists.
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::signal_set signals{ioc, SIGTERM, SIGINT};
    asio::steady_timer acceptRetry{ioc};
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, ServerCore& core) : stream_(std::move(socket)), core_(core) {
        beast::error_code ec;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
        peer_ = ec ? "-" : peer.address().to_string() + ":" + std::to_string(peer.port());
    }

    ~Session() {
        if (!core_.shuttingDown) {
            core_.sessions.erase(this);
            core_.CheckDrained();
        }
    }

    void Start() {
        core_.sessions.insert(this);
        ReadHead();
    }

    // Waiting for a request that has not begun to arrive: safe to close when draining.
    bool Idle() const { return waitingForHead_ && buffer_.size() == 0; }

    void Close() {
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
        waitingForHead_ = true;
        // One deadline for the whole head, however the client paces its bytes; it also ends an
        // idle kept-alive connection.
        stream_.expires_after(core_.options.headerTimeout);
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
            Refuse(http::status::payload_too_large,
                   "the body is larger than " + std::to_string(core_.options.maxBytes) + " bytes",
                   "too_large");
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
            Refuse(http::status::payload_too_large,
                   "the body is larger than " + std::to_string(core_.options.maxBytes) + " bytes",
                   "too_large");
            return;
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
            Refuse(http::status::payload_too_large,
                   "the body is larger than " + std::to_string(core_.options.maxBytes) + " bytes",
                   "too_large");
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
        const std::string target(req.target());
        const std::string path = target.substr(0, target.find('?'));
        keepAlive_ = req.keep_alive();
        const bool get = req.method() == http::verb::get;

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
                NotAllowed("GET");
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
                NotAllowed("GET");
                return;
            }
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            res.body() = core_.metrics.Render(core_.inFlight.load(), core_.pool.Queued());
            Send(std::move(res));
            return;
        }
        if (path == "/openapi.json") {
            route_ = "/openapi.json";
            if (get) {
                Send(JsonResponse(http::status::ok, std::string(OpenApiDocument())));
            } else {
                NotAllowed("GET");
            }
            return;
        }
        if (core_.options.site != nullptr && get) {
            if (const Site::File* file = core_.options.site->Find(target)) {
                route_ = "site";
                Response res{http::status::ok, 11};
                res.set(http::field::content_type, file->contentType);
                res.set("X-Content-Type-Options", "nosniff");
                res.body() = file->bytes;
                Send(std::move(res));
                return;
            }
        }
        Send(JsonResponse(http::status::not_found, ErrorJson("no such resource")));
    }

    void SubmitPhoto(PhotoKind kind) {
        auto body = std::make_shared<std::string>(std::move(parser_->get().body()));
        auto guard = std::make_shared<asio::executor_work_guard<asio::io_context::executor_type>>(
            core_.ioc.get_executor());
        ++core_.inFlight;
        ServerCore& core = core_;
        const bool queued = core_.pool.TrySubmit(
            [self = shared_from_this(), body, kind, guard, &core](PhotoWorker& worker) {
                auto res = std::make_shared<Response>(Work(worker, kind, *body, core));
                asio::post(core.ioc, [self, res, guard] {
                    --self->core_.inFlight;
                    self->Send(std::move(*res));
                });
            });
        if (!queued) {
            --core_.inFlight;
            core_.metrics.CountRejected("queue_full");
            Response res = JsonResponse(http::status::service_unavailable,
                                        ErrorJson("all workers are busy; try again shortly"));
            res.set(http::field::retry_after, std::to_string(core_.options.retryAfter.count()));
            Send(std::move(res));
        }
    }

    // Runs on a worker thread.
    static Response Work(PhotoWorker& worker, PhotoKind kind, const std::string& body,
                         ServerCore& core) {
        try {
            if (kind == PhotoKind::Verify) {
                const VerifyResult result = worker.Verify(body);
                core.metrics.CountOutcome(VerifyOutcomeName(result.outcome));
                return JsonResponse(http::status::ok, VerifyJson(std::nullopt, result));
            }
            AuditReply reply =
                worker.Audit(body, core.options.maxPixels, kind == PhotoKind::Normalise);
            core.metrics.CountVerdict(ResultStateName(reply.state));
            if (kind == PhotoKind::Audit) {
                return JsonResponse(http::status::ok, std::move(reply.json));
            }
            if (reply.state != Passed) {
                return JsonResponse(http::status::unprocessable_entity, std::move(reply.json));
            }
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "image/jpeg");
            res.body().assign(reply.saved.begin(), reply.saved.end());
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
        const bool close = closeAfter_ || !keepAlive_ || core_.draining;
        res.version(11);
        res.keep_alive(!close);
        res.prepare_payload();
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
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
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
        if (sessions.size() >= kMaxConnections) {
            metrics.CountRejected("connections");
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            std::make_shared<Session>(std::move(socket), *this)->Start();
        }
        Accept();
    });
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
