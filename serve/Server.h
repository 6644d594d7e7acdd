#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serve/Metrics.h"
#include "serve/Signing.h"
#include "serve/Site.h"
#include "serve/WorkerPool.h"

struct ServerOptions {
    std::string address = "127.0.0.1";
    unsigned short port = 8080;
    std::size_t maxBytes = 20 * 1024 * 1024;      ///< largest request body; larger gets 413
    std::uint64_t maxPixels = kDefaultMaxPixels;  ///< larger photos get BadSize undecoded
    std::chrono::seconds headerTimeout{10};  ///< for the whole request head, and idle keep-alive
    std::chrono::seconds bodyTimeout{60};    ///< for the whole body
    std::chrono::seconds writeTimeout{30};   ///< for the whole answer
    std::chrono::seconds retryAfter{1};      ///< said in a 503 when the queue is full
    std::size_t maxConnections = 1024;       ///< open connections; beyond, only a small reserve
    std::size_t maxClientConnections = 32;   ///< open connections from one client address
    std::size_t bodyBudget = 256u << 20;     ///< bytes of request bodies held at once, in all
    std::size_t clientBodyBudget = 40u << 20;  ///< bytes of bodies held at once for one address
    std::chrono::milliseconds auditDeadline{30000};  ///< from a photo's arrival to its answer
    std::size_t maxClientPhotos = 5;         ///< photos queued or worked on at once for one address
    const Site* site = nullptr;              ///< served under GET / when given
    const SigningKeys* keys = nullptr;       ///< signs /v1/normalise, checks /v1/verify
};

/// The HTTP/1.1 front of the service on Boost.Beast: one I/O thread reads and writes every
/// connection, the WorkerPool does the photo work. Each phase of a request runs against a
/// deadline for the whole phase, so a client that sends its head or body slowly, or reads the
/// answer slowly, is cut off however it paces its bytes. One client address holds at most
/// maxClientConnections connections, clientBodyBudget bytes of bodies and maxClientPhotos
/// photos in the queue or being worked on (and the workers take clients in turn); at
/// maxConnections a newcomer takes the place of the connection that waited longest for its
/// head, or else a small reserve of connections still answers /healthz and /metrics; a body
/// that would take the bodies held past bodyBudget is refused (503) before it is read; a photo
/// not answered within auditDeadline is answered 503 (still queued, and then never worked on)
/// or 504 (being worked on).
class Server {
public:
    Server(ServerOptions options, WorkerPool& pool, Metrics& metrics);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Binds and listens. False with the reason in `error`.
    bool Listen(std::string& error);
    /// The address and port listened on (the port chosen by the system for port 0).
    std::string LocalEndpoint() const;

    /// Serves until SIGTERM or SIGINT: then stops accepting, closes idle connections, answers
    /// every request already received and returns true. A second signal returns false at once.
    bool Run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
