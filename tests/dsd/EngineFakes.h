#pragma once
// Stand-ins around the DSD engine: a DSD source with a known word per frame
// and hooks into its reads, and a DSD output that hands out device events
// only when a test releases them and captures every byte submitted.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dsd/AudioOutput.h"
#include "dsd/DsdEngine.h"
#include "dsd/DsdSource.h"
#include "playback/PlaybackSource.h"
#include "playback/StepSource.h"

namespace al::test {

constexpr std::uint32_t kDsd64Rate = 64 * 44'100;

// The word the fake source gives for frame i: channel 0 low, channel 1 high.
inline std::uint32_t fakeTrackWord(std::uint64_t i) {
    const auto lo = static_cast<std::uint16_t>(i * 0x9E37u + 0x1234u);
    const auto hi = static_cast<std::uint16_t>(i * 0x7F4Bu + 0xBEEFu);
    return std::uint32_t{lo} | (std::uint32_t{hi} << 16);
}

struct FakeDsdSourceState {
    morrow::dsd::DsdInfo info;
    std::function<std::uint32_t(std::uint64_t)> word = fakeTrackWord;
    std::function<void(std::uint64_t)> beforeRead;  // may block or throw
    std::atomic<std::uint64_t> reads{0};
    std::atomic<int> made{0};
};

class FakeDsdSource final : public morrow::dsd::IDsdSource {
public:
    explicit FakeDsdSource(std::shared_ptr<FakeDsdSourceState> state) : state_(std::move(state)) {}
    morrow::dsd::DsdInfo info() const override { return state_->info; }
    morrow::dsd::DsdFrame readFrame(std::uint64_t index) override {
        if (index >= state_->info.frameCount) {
            throw std::out_of_range("fake frame outside track");
        }
        if (state_->beforeRead) {
            state_->beforeRead(index);
        }
        state_->reads.fetch_add(1);
        const std::uint32_t word = state_->word(index);
        return {static_cast<std::uint16_t>(word), static_cast<std::uint16_t>(word >> 16)};
    }

private:
    std::shared_ptr<FakeDsdSourceState> state_;
};

inline std::shared_ptr<FakeDsdSourceState> fakeSource(std::uint64_t frames, std::uint32_t rate = kDsd64Rate,
                                                      std::uint32_t channels = 2) {
    auto state = std::make_shared<FakeDsdSourceState>();
    state->info = {channels, rate, frames * 16, frames};
    return state;
}

// Device events are counted out by the test (release); wait() honours its
// time-out when none is due, as a device that stops signalling does.
struct FakeOutputState {
    std::mutex mutex;
    std::condition_variable changed;
    // frameRate 0: answer the rate asked for.
    audio::DsdOutputFormat format{0, 64, 3, "24-bit in 24 bits"};
    std::uint32_t depth = 2;
    std::uint64_t eventsReleased = 0;
    std::uint64_t eventsTaken = 0;
    // Instead of released events: one event every period of real time.
    std::chrono::milliseconds period{0};
    std::chrono::steady_clock::time_point lastPeriodic{};
    std::uint64_t failWaitAfterEvents = UINT64_MAX;  // throws from wait once this many were taken
    bool capture = true;  // keep every submitted byte
    std::vector<std::uint8_t> captured;
    std::uint64_t submits = 0;
    int made = 0;
    bool opened = false;
    bool started = false;
    int stops = 0;
    std::uint32_t requestedRate = 0;
    std::u16string requestedId;
    std::uint64_t sourceReadsAtOpen = UINT64_MAX;
    std::shared_ptr<FakeDsdSourceState> source;  // to note its reads at open

    void release(std::uint64_t events) {
        std::lock_guard guard(mutex);
        eventsReleased += events;
        changed.notify_all();
    }
    // Waits until at least n buffers were submitted in all.
    bool awaitSubmits(std::uint64_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, limit, [&] { return submits >= n; });
    }
    std::uint64_t submitted() {
        std::lock_guard guard(mutex);
        return submits;
    }
    std::vector<std::uint8_t> bytes() {
        std::lock_guard guard(mutex);
        return captured;
    }
};

class FakeOutput final : public audio::IAudioOutput {
public:
    explicit FakeOutput(std::shared_ptr<FakeOutputState> state) : state_(std::move(state)) {}
    ~FakeOutput() override = default;

    audio::DsdOutputFormat open(const std::u16string& endpointId, std::uint32_t frameRate) override {
        std::lock_guard guard(state_->mutex);
        state_->opened = true;
        state_->requestedId = endpointId;
        state_->requestedRate = frameRate;
        if (state_->source) {
            state_->sourceReadsAtOpen = state_->source->reads.load();
        }
        audio::DsdOutputFormat format = state_->format;
        if (format.frameRate == 0) {
            format.frameRate = frameRate;
        }
        return format;
    }
    bool wait(std::uint32_t timeoutMs) override {
        std::unique_lock guard(state_->mutex);
        if (state_->eventsTaken >= state_->failWaitAfterEvents) {
            throw std::runtime_error("Audio event/device failure");
        }
        if (state_->period.count() > 0) {
            const auto due = state_->lastPeriodic + state_->period;
            guard.unlock();
            const auto now = std::chrono::steady_clock::now();
            if (now < due) {
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - now, std::chrono::milliseconds(timeoutMs)));
            }
            guard.lock();
            if (std::chrono::steady_clock::now() < due) {
                return false;
            }
            state_->lastPeriodic = due;  // on the device's own clock: no drift
            ++state_->eventsTaken;
            return true;
        }
        const bool due = state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                                  [&] { return state_->eventsReleased > state_->eventsTaken; });
        if (due) {
            ++state_->eventsTaken;
        }
        return due;
    }
    void submit(std::span<const std::uint8_t> buffer) override {
        std::lock_guard guard(state_->mutex);
        if (buffer.size() != state_->format.bufferBytes()) {
            throw std::runtime_error("fake output: buffer size");
        }
        if (state_->capture) {
            state_->captured.insert(state_->captured.end(), buffer.begin(), buffer.end());
        }
        ++state_->submits;
        state_->changed.notify_all();
    }
    std::uint32_t queueDepth() const override { return state_->depth; }
    void start() override {
        std::lock_guard guard(state_->mutex);
        state_->started = true;
        state_->lastPeriodic = std::chrono::steady_clock::now();
    }
    void stop() override {
        std::lock_guard guard(state_->mutex);
        ++state_->stops;
    }

private:
    std::shared_ptr<FakeOutputState> state_;
};

// A playback source standing for a file: the step source's curves under a
// path of the caller's choosing.
class NamedSource final : public playback::PlaybackSource {
public:
    NamedSource(std::shared_ptr<const playback::PlaybackSource> inner, std::filesystem::path path)
        : inner_(std::move(inner)), metadata_(inner_->metadata()) {
        metadata_.path = std::move(path);
    }
    const playback::SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return inner_->chunkCount(); }
    std::uint64_t chunkIndexAt(double t) const noexcept override { return inner_->chunkIndexAt(t); }
    std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(std::uint64_t index) const override {
        return inner_->prepareChunk(index);
    }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;

private:
    std::shared_ptr<const playback::PlaybackSource> inner_;
    playback::SourceMetadata metadata_;
};

// Polls until the condition holds or the limit passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One DoP frame as the wire carries it, built from the layout by hand:
// per channel the later 8 bits, the earlier 8 bits, the marker (after a zero
// byte in 4-byte carriers); markers 0x05 on even frames, 0xFA on odd ones.
inline void appendDopFrame(std::vector<std::uint8_t>& out, std::uint32_t word, std::uint64_t frame,
                           std::uint32_t carrierBytes) {
    const std::uint8_t marker = frame % 2 == 0 ? 0x05 : 0xFA;
    for (int channel = 0; channel < 2; ++channel) {
        const std::uint32_t half = (word >> (16 * channel)) & 0xFFFFu;
        if (carrierBytes == 4) {
            out.push_back(0x00);
        }
        out.push_back(static_cast<std::uint8_t>(half & 0xFF));
        out.push_back(static_cast<std::uint8_t>(half >> 8));
        out.push_back(marker);
    }
}

// The frame words back out of captured DoP bytes (markers not checked).
inline std::vector<std::uint32_t> wordsOf(const std::vector<std::uint8_t>& bytes, std::uint32_t carrierBytes) {
    std::vector<std::uint32_t> words;
    const std::size_t frameBytes = 2u * carrierBytes;
    const std::size_t skip = carrierBytes == 4 ? 1 : 0;
    for (std::size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes) {
        const std::uint8_t* c0 = &bytes[at + skip];
        const std::uint8_t* c1 = &bytes[at + carrierBytes + skip];
        const std::uint32_t lo = c0[0] | (std::uint32_t{c0[1]} << 8);
        const std::uint32_t hi = c1[0] | (std::uint32_t{c1[1]} << 8);
        words.push_back(lo | (hi << 16));
    }
    return words;
}

}  // namespace al::test
