#include "serve/WorkerPool.h"

WorkerPool::WorkerPool(std::vector<std::unique_ptr<PhotoWorker>> workers, std::size_t queueLength)
    : workers_(std::move(workers)), queueLength_(queueLength) {
    for (auto& worker : workers_) {
        threads_.emplace_back([this, w = worker.get()] { Run(*w); });
    }
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::TrySubmit(Job job, const std::string& client) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || queued_ >= queueLength_) {
            return false;
        }
        std::deque<Job>& mine = queues_[client];
        if (mine.empty()) {
            turns_.push_back(client);
        }
        mine.push_back(std::move(job));
        ++queued_;
    }
    changed_.notify_one();
    return true;
}

std::size_t WorkerPool::Queued() const {
    std::lock_guard lock(mutex_);
    return queued_;
}

std::size_t WorkerPool::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void WorkerPool::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void WorkerPool::Run(PhotoWorker& worker) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || queued_ > 0; });
        if (queued_ == 0) {
            return;  // stopping, and nothing left to do
        }
        const std::string client = std::move(turns_.front());
        turns_.pop_front();
        const auto mine = queues_.find(client);
        Job job = std::move(mine->second.front());
        mine->second.pop_front();
        --queued_;
        if (mine->second.empty()) {
            queues_.erase(mine);
        } else {
            turns_.push_back(client);
        }
        ++running_;
        lock.unlock();
        job(worker);
        lock.lock();
        --running_;
    }
}
