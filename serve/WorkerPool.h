#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "serve/PhotoWorker.h"

/// A fixed number of threads, each with a PhotoWorker of its own, fed from a queue of bounded
/// length. A job that finds the queue full is refused at once rather than kept waiting, so the
/// backlog, and with it memory and latency, stays bounded whatever the load.
class WorkerPool {
public:
    using Job = std::function<void(PhotoWorker&)>;

    /// Takes ownership of `workers` (one thread each); at most `queueLength` jobs wait.
    WorkerPool(std::vector<std::unique_ptr<PhotoWorker>> workers, std::size_t queueLength);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// Queues `job`; false, without running it, when the queue is full or the pool is stopping.
    /// The job runs on a worker thread and must not throw.
    bool TrySubmit(Job job);

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
    std::deque<Job> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
