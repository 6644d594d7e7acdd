#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/PhotoWorker.h"

/// A fixed number of threads, each with a PhotoWorker of its own, fed from a queue of bounded
/// length. A job that finds the queue full is refused at once rather than kept waiting, so the
/// backlog, and with it memory and latency, stays bounded whatever the load. Jobs are queued by
/// client, and a free worker takes the clients in turn: a client with many jobs waiting delays
/// another's by at most one job.
class WorkerPool {
public:
    using Job = std::function<void(PhotoWorker&)>;

    /// Takes ownership of `workers` (one thread each); at most `queueLength` jobs wait.
    WorkerPool(std::vector<std::unique_ptr<PhotoWorker>> workers, std::size_t queueLength);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// Queues `job` for `client`; false, without running it, when the queue is full or the pool
    /// is stopping. The job runs on a worker thread and must not throw.
    bool TrySubmit(Job job, const std::string& client = {});

    /// Jobs waiting, and jobs being run.
    std::size_t Queued() const;
    std::size_t Running() const;

    /// Runs what is queued, then ends the threads. Further submissions are refused.
    void Stop();

private:
    void Run(PhotoWorker& worker);

    std::vector<std::unique_ptr<PhotoWorker>> workers_;
    const std::size_t queueLength_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::deque<Job>> queues_;  // by client, none empty
    std::deque<std::string> turns_;                  // the clients with jobs, in turn
    std::size_t queued_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
