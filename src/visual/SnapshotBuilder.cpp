#include "visual/SnapshotBuilder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

#include "platform/CpuTopology.h"

namespace al::ui {

SnapshotBuilder::SnapshotBuilder(double duration, ChunkIndexAt indexAt, ChunkLookup lookup,
                                 std::function<void(std::uint64_t)> follow)
    : duration_(duration),
      indexAt_(std::move(indexAt)),
      lookup_(std::move(lookup)),
      follow_(std::move(follow)) {}

SnapshotBuilder::~SnapshotBuilder() {
    stop();
}

bool SnapshotBuilder::request(double time, double windowLength, bool playing, bool extend) {
    const double t = std::clamp(std::isfinite(time) ? time : 0.0, 0.0, std::max(duration_, 0.0));
    const double l = std::clamp(std::isfinite(windowLength) ? windowLength : 0.05, 0.001, 1.0);
    const bool moved = std::fabs(t - time_.load()) >= 1e-9 ||
                       std::fabs(l - length_.load()) >= 1e-9 || playing != playing_.load() ||
                       extend != extend_.load();
    {
        std::lock_guard lock(mutex_);
        time_.store(t);
        length_.store(l);
        playing_.store(playing);
        extend_.store(extend);
        if (moved) {
            counter_.fetch_add(1);
        }
    }
    if (!started_.exchange(true)) {
        thread_ = std::thread([this] { run(); });
    }
    if (moved) {
        wake_.notify_all();
    }
    return moved;
}

std::shared_ptr<const PresentationGeometrySnapshot> SnapshotBuilder::latest() const {
    std::lock_guard lock(publishMutex_);
    return published_;
}

std::string SnapshotBuilder::lastError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void SnapshotBuilder::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::shared_ptr<PresentationGeometrySnapshot> SnapshotBuilder::spare() {
    // A spare whose only owner is this list cannot gain an owner meanwhile:
    // only the published reference is ever handed out, and a spare is not it.
#if !defined(__SANITIZE_THREAD__)
    for (const auto& candidate : spares_) {
        if (candidate != publishedOwn_ && candidate.use_count() == 1) {
            // The last reader's release happens before the rebuild's writes.
            std::atomic_thread_fence(std::memory_order_acquire);
            return candidate;
        }
    }
#endif
    // (ThreadSanitizer does not model fences, so its builds never reuse a
    // spare and always build into a fresh snapshot.)
    auto fresh = std::make_shared<PresentationGeometrySnapshot>();
    if (spares_.size() < kSpareSnapshots + 1) {
        spares_.push_back(fresh);
    }
    return fresh;
}

void SnapshotBuilder::run() noexcept {
    platform::setCurrentThreadBelowNormalPriority();
    std::uint64_t built = 0;
    while (!stop_.load()) {
        SnapshotRequest req;
        {
            std::lock_guard lock(mutex_);
            req.counter = counter_.load();
            req.time = time_.load();
            req.windowLength = length_.load();
            req.playing = playing_.load();
            req.extend = extend_.load();
        }
        if (req.counter != built) {
            try {
                if (follow_) {
                    follow_(indexAt_(req.time));
                }
                auto into = spare();
                if (buildPresentationSnapshotInto(*into, req, duration_, indexAt_, lookup_)) {
                    std::shared_ptr<const PresentationGeometrySnapshot> previous;
                    {
                        std::lock_guard publish(publishMutex_);
                        previous = std::exchange(published_, into);
                    }
                    publishedOwn_ = std::move(into);
                    built = req.counter;
                }
            } catch (const std::exception& e) {
                std::lock_guard lock(mutex_);
                error_ = e.what();
                built = req.counter;  // the same request would fail the same way
            }
        }
        std::unique_lock lock(mutex_);
        if (built == counter_.load()) {
            wake_.wait(lock, [&] { return stop_.load() || counter_.load() != built; });
        } else {
            wake_.wait_for(lock, std::chrono::milliseconds(8),
                           [&] { return stop_.load() || counter_.load() != req.counter; });
        }
    }
}

}  // namespace al::ui
