#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

/// The service's counters, read by GET /metrics in Prometheus' text format. Thread-safe.
class Metrics {
public:
    /// One answered request: its route ("/v1/audit", ..., or "other"), status and duration.
    void CountRequest(const std::string& route, int status, double seconds);
    /// One audit verdict (ResultState name) or verification outcome.
    void CountVerdict(const std::string& verdict);
    void CountOutcome(const std::string& outcome);
    /// One request or connection refused: "queue_full", "too_large", "bad_request",
    /// "timeout", "connections", "client_connections", "evicted", "body_budget",
    /// "client_body_budget", "deadline_queued", "deadline_running", "client_photos",
    /// "unsupported_type".
    void CountRejected(const std::string& reason);

    /// What the caller samples for the gauges.
    struct Gauges {
        std::size_t inFlight = 0;     ///< photo requests being worked on or waiting
        std::size_t queued = 0;       ///< photo requests waiting for a worker
        std::size_t bodyBytes = 0;    ///< bytes of request bodies held (reserved) at the moment
        std::size_t connections = 0;  ///< connections open
    };
    /// The exposition text.
    std::string Render(const Gauges& gauges) const;

    /// Upper bounds of the latency histogram's buckets, in seconds.
    static constexpr std::array<double, 12> kBuckets{0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                     0.5,   1,    2.5,   5,    10,  30};

private:
    struct Histogram {
        std::array<std::uint64_t, kBuckets.size()> buckets{};
        std::uint64_t count = 0;
        double sum = 0;
    };
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, std::uint64_t> requests_;
    std::map<std::string, Histogram> latency_;
    std::map<std::string, std::uint64_t> verdicts_;
    std::map<std::string, std::uint64_t> outcomes_;
    std::map<std::string, std::uint64_t> rejected_;
};
