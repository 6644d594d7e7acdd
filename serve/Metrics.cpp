#include "serve/Metrics.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace {

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

}  // namespace

void Metrics::CountRequest(const std::string& route, int status, double seconds) {
    std::lock_guard lock(mutex_);
    ++requests_[{route, status}];
    Histogram& h = latency_[route];
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++h.buckets[i];
        }
    }
    ++h.count;
    h.sum += seconds;
}

void Metrics::CountVerdict(const std::string& verdict) {
    std::lock_guard lock(mutex_);
    ++verdicts_[verdict];
}

void Metrics::CountOutcome(const std::string& outcome) {
    std::lock_guard lock(mutex_);
    ++outcomes_[outcome];
}

void Metrics::CountRejected(const std::string& reason) {
    std::lock_guard lock(mutex_);
    ++rejected_[reason];
}

std::string Metrics::Render(const Gauges& gauges) const {
    std::lock_guard lock(mutex_);
    std::string out;
    out += "# HELP vetrix_requests_total HTTP requests answered, by route and status code.\n"
           "# TYPE vetrix_requests_total counter\n";
    for (const auto& [key, n] : requests_) {
        out += "vetrix_requests_total{route=\"" + key.first + "\",code=\"" +
               std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
    }
    out += "# HELP vetrix_audit_verdicts_total Audit verdicts given, by verdict.\n"
           "# TYPE vetrix_audit_verdicts_total counter\n";
    for (const auto& [verdict, n] : verdicts_) {
        out += "vetrix_audit_verdicts_total{verdict=\"" + verdict + "\"} " + std::to_string(n) +
               "\n";
    }
    out += "# HELP vetrix_verify_outcomes_total Verification outcomes, by outcome.\n"
           "# TYPE vetrix_verify_outcomes_total counter\n";
    for (const auto& [outcome, n] : outcomes_) {
        out += "vetrix_verify_outcomes_total{outcome=\"" + outcome + "\"} " + std::to_string(n) +
               "\n";
    }
    out += "# HELP vetrix_rejected_total Requests refused before reaching a worker, by reason.\n"
           "# TYPE vetrix_rejected_total counter\n";
    for (const auto& [reason, n] : rejected_) {
        out += "vetrix_rejected_total{reason=\"" + reason + "\"} " + std::to_string(n) + "\n";
    }
    out += "# HELP vetrix_request_duration_seconds Time from the request's headers to the end of "
           "its answer.\n"
           "# TYPE vetrix_request_duration_seconds histogram\n";
    for (const auto& [route, h] : latency_) {
        for (std::size_t i = 0; i < kBuckets.size(); ++i) {
            out += "vetrix_request_duration_seconds_bucket{route=\"" + route + "\",le=\"" +
                   Number(kBuckets[i]) + "\"} " + std::to_string(h.buckets[i]) + "\n";
        }
        out += "vetrix_request_duration_seconds_bucket{route=\"" + route + "\",le=\"+Inf\"} " +
               std::to_string(h.count) + "\n";
        out += "vetrix_request_duration_seconds_sum{route=\"" + route + "\"} " + Number(h.sum) +
               "\n";
        out += "vetrix_request_duration_seconds_count{route=\"" + route + "\"} " +
               std::to_string(h.count) + "\n";
    }
    const std::pair<const char*, const char*> gaugeHelp[] = {
        {"vetrix_requests_in_flight", "Photo requests being worked on or waiting."},
        {"vetrix_queue_length", "Photo requests waiting for a worker."},
        {"vetrix_body_bytes_held", "Bytes of request bodies held or reserved."},
        {"vetrix_connections_open", "Client connections open."},
    };
    const std::size_t gaugeValues[] = {gauges.inFlight, gauges.queued, gauges.bodyBytes,
                                       gauges.connections};
    for (std::size_t i = 0; i < std::size(gaugeHelp); ++i) {
        const auto& [name, help] = gaugeHelp[i];
        out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name +
               ' ' + std::to_string(gaugeValues[i]) + "\n";
    }
    return out;
}
