#pragma once
// A fixed set of worker threads running queued jobs in FIFO order; the DSD
// record source evaluates its curves on one.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace morrow::dsd {

// Jobs queued before stop() still run; submit() after it throws. The
// destructor stops and joins. submit() and stop() may be called from any
// thread; the start hook runs on each new worker with its index (it pins the
// worker, say) and its failures are ignored.
class WorkerPool {
public:
    using StartHook = std::function<void(std::size_t)>;

    // Throws std::invalid_argument("Empty worker pool") for count 0. If a
    // worker thread cannot be created, the workers made so far are stopped
    // and joined and the failure propagates.
    WorkerPool(std::size_t count, StartHook onStart);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a job; its result or exception arrives through the future.
    // Throws std::runtime_error("Worker pool stopped") after stop().
    template <typename Job>
    auto submit(Job job) -> std::future<std::invoke_result_t<Job&>> {
        using Result = std::invoke_result_t<Job&>;
        auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
        std::future<Result> result = task->get_future();
        enqueue([task] { (*task)(); });
        return result;
    }

    // Sets the stop flag, wakes every worker and joins them. Idempotent.
    void stop() noexcept;

    std::size_t size() const noexcept { return threads_.size(); }

private:
    void enqueue(std::function<void()> job);
    void run(std::size_t index);

    StartHook onStart_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace morrow::dsd
