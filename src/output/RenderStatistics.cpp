#include "output/RenderStatistics.h"

namespace al::audio {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

RenderStatistics::Snapshot RenderStatistics::snapshot() const noexcept {
    Snapshot s;
    s.bufferFrames = bufferFrames_.load(kRelaxed);
    s.bufferDurationNs = bufferDurationNs_.load(kRelaxed);
    s.lastPassNs = lastPassNs_.load(kRelaxed);
    s.maxPassNs = maxPassNs_.load(kRelaxed);
    s.totalPassNs = totalPassNs_.load(kRelaxed);
    s.lastDeadlineUseNs = lastDeadlineUseNs_.load(kRelaxed);
    s.maxDeadlineUseNs = maxDeadlineUseNs_.load(kRelaxed);
    s.passCount = passCount_.load(kRelaxed);
    s.lastThroughputBytesPerSecond = lastThroughputBytesPerSecond_.load(kRelaxed);
    s.totalBytes = totalBytes_.load(kRelaxed);
    s.nearMissCount = nearMissCount_.load(kRelaxed);
    return s;
}

void RenderStatistics::reset() noexcept {
    lastPassNs_.store(0, kRelaxed);
    maxPassNs_.store(0, kRelaxed);
    totalPassNs_.store(0, kRelaxed);
    lastDeadlineUseNs_.store(0, kRelaxed);
    maxDeadlineUseNs_.store(0, kRelaxed);
    passCount_.store(0, kRelaxed);
    lastThroughputBytesPerSecond_.store(0, kRelaxed);
    totalBytes_.store(0, kRelaxed);
    nearMissCount_.store(0, kRelaxed);
}

void RenderStatistics::clear() noexcept {
    reset();
    bufferFrames_.store(0, kRelaxed);
    bufferDurationNs_.store(0, kRelaxed);
}

void RenderStatistics::publishBuffer(std::uint32_t frames, std::uint64_t durationNs) noexcept {
    bufferFrames_.store(frames, kRelaxed);
    bufferDurationNs_.store(durationNs, kRelaxed);
}

void RenderStatistics::recordPass(std::uint64_t durationNs, std::uint64_t bytes) noexcept {
    lastPassNs_.store(durationNs, kRelaxed);
    totalPassNs_.fetch_add(durationNs, kRelaxed);
    passCount_.fetch_add(1, kRelaxed);
    totalBytes_.fetch_add(bytes, kRelaxed);
    if (durationNs > 0) {
        // bytes * 1e9 / duration without overflowing for large passes.
        const auto rate = static_cast<long double>(bytes) * 1e9L / static_cast<long double>(durationNs);
        lastThroughputBytesPerSecond_.store(static_cast<std::uint64_t>(rate), kRelaxed);
    }
    raise(maxPassNs_, durationNs);
}

void RenderStatistics::recordDeadlineUse(std::uint64_t useNs) noexcept {
    lastDeadlineUseNs_.store(useNs, kRelaxed);
    raise(maxDeadlineUseNs_, useNs);
}

void RenderStatistics::countNearMiss() noexcept { nearMissCount_.fetch_add(1, kRelaxed); }

void RenderStatistics::raise(std::atomic<std::uint64_t>& maximum, std::uint64_t value) noexcept {
    std::uint64_t seen = maximum.load(kRelaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, kRelaxed)) {
    }
}

}  // namespace al::audio
