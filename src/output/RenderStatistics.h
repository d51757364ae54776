#pragma once
// Timing of the PCM render thread: how long each render pass takes and how
// much of its deadline (the endpoint buffer) it used, as the statistics view
// and the adaptive buffering read them while the thread renders.

#include <atomic>
#include <cstdint>

namespace al::audio {

// The counters. The render thread updates them with single atomic operations
// (fetch-add for sums and counts, compare-and-swap for maxima), so any thread
// may read them at any time, without a lock. Times are nanoseconds of a
// monotonic clock.
class RenderStatistics {
public:
    // A plain copy of the counters, read one by one (not one consistent
    // instant: a pass may land between two reads).
    struct Snapshot {
        std::uint32_t bufferFrames = 0;       // endpoint buffer as granted
        std::uint64_t bufferDurationNs = 0;   // llround(bufferFrames * 1e9 / rate)
        std::uint64_t lastPassNs = 0;
        std::uint64_t maxPassNs = 0;
        std::uint64_t totalPassNs = 0;
        std::uint64_t lastDeadlineUseNs = 0;  // lateness of the event plus pass duration
        std::uint64_t maxDeadlineUseNs = 0;
        std::uint64_t passCount = 0;
        std::uint64_t lastThroughputBytesPerSecond = 0;
        std::uint64_t totalBytes = 0;
        std::uint64_t nearMissCount = 0;      // passes whose deadline use reached the threshold
    };

    Snapshot snapshot() const noexcept;

    // Clears the nine counters from lastPassNs to nearMissCount; the buffer
    // size and duration stay.
    void reset() noexcept;
    // Clears everything, the buffer size and duration too.
    void clear() noexcept;

    void publishBuffer(std::uint32_t frames, std::uint64_t durationNs) noexcept;
    // One render pass of `bytes` bytes that took durationNs.
    void recordPass(std::uint64_t durationNs, std::uint64_t bytes) noexcept;
    // The deadline use of the latest pass (prefill: its duration alone).
    void recordDeadlineUse(std::uint64_t useNs) noexcept;
    void countNearMiss() noexcept;

private:
    static void raise(std::atomic<std::uint64_t>& maximum, std::uint64_t value) noexcept;

    std::atomic<std::uint32_t> bufferFrames_{0};
    std::atomic<std::uint64_t> bufferDurationNs_{0};
    std::atomic<std::uint64_t> lastPassNs_{0};
    std::atomic<std::uint64_t> maxPassNs_{0};
    std::atomic<std::uint64_t> totalPassNs_{0};
    std::atomic<std::uint64_t> lastDeadlineUseNs_{0};
    std::atomic<std::uint64_t> maxDeadlineUseNs_{0};
    std::atomic<std::uint64_t> passCount_{0};
    std::atomic<std::uint64_t> lastThroughputBytesPerSecond_{0};
    std::atomic<std::uint64_t> totalBytes_{0};
    std::atomic<std::uint64_t> nearMissCount_{0};
};

}  // namespace al::audio
