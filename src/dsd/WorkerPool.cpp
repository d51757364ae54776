#include "dsd/WorkerPool.h"

namespace morrow::dsd {

WorkerPool::WorkerPool(std::size_t count, StartHook onStart) : onStart_(std::move(onStart)) {
    if (count == 0) {
        throw std::invalid_argument("Empty worker pool");
    }
    threads_.reserve(count);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this, i] { run(i); });
        }
    } catch (...) {
        stop();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::enqueue(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            throw std::runtime_error("Worker pool stopped");
        }
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void WorkerPool::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void WorkerPool::run(std::size_t index) {
    if (onStart_) {
        try {
            onStart_(index);
        } catch (...) {
            // Placement is a wish: an unpinned worker works as well.
        }
    }
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;  // stopping, and nothing left that was queued before
            }
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job();  // a packaged task: its exception goes to its future
    }
}

}  // namespace morrow::dsd
