#include "serve/WorkerPool.h"

WorkerPool::WorkerPool(std::vector<std::unique_ptr<PhotoWorker>> workers, std::size_t queueLength)
    : workers_(std::move(workers)), queueLength_(queueLength) {
    for (auto& worker : workers_) {
        threads_.emplace_back([this, w = worker.get()] { Run(*w); });
    }
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::TrySubmit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || queue_.size() >= queueLength_) {
            return false;
        }
        queue_.push_back(std::move(job));
    }
    changed_.notify_one();
    return true;
}

std::size_t WorkerPool::Queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
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
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping, and nothing left to do
        }
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        job(worker);
        lock.lock();
        --running_;
    }
}
