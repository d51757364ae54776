#pragma once
// Turns the lattice's level records into what the peak meters show: per
// channel the highest peak since the interface last looked, and a clip lamp.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "playback/PlaybackLattice.h"

namespace al::playback {

struct MeterSnapshot {
    std::uint64_t sequence = 0;
    std::vector<float> peaks;  // one per channel, 0..4
    std::uint8_t clip = 0;
    std::uint64_t skippedRecords = 0;
};

// Threads: a polling thread of its own reads the attached lattice every
// period; the user-interface thread attaches, detaches, resets and takes
// snapshots. The render thread is never involved beyond writing the
// lattice's lock-free ring. takeSnapshot never waits for a poll in progress.
//
// The lattice must stay alive while attached: detach (or destroy the feed)
// before destroying it.
class LevelMeterFeed {
public:
    // How long a clip lamp stays lit after the poll that saw a full-scale peak.
    static constexpr std::int64_t kClipHoldNs = 225'000'000;

    explicit LevelMeterFeed(std::int64_t periodUs = 4000);
    ~LevelMeterFeed();
    LevelMeterFeed(const LevelMeterFeed&) = delete;
    LevelMeterFeed& operator=(const LevelMeterFeed&) = delete;

    // First call starts the polling thread; throws std::system_error when it
    // cannot be made.
    void start();
    void stop() noexcept;

    void attach(PlaybackLattice* lattice);
    void detach();
    void reset();

    // The snapshot as last published; its peaks are delivered once (the
    // stored ones are zeroed).
    MeterSnapshot takeSnapshot();

    std::int64_t periodUs() const noexcept { return periodUs_; }

    // One poll at the given monotonic time (nanoseconds), as the thread runs
    // it. For tests and for callers that drive the feed themselves.
    void pollNow(std::int64_t nowNs);

private:
    void reinitialise(std::size_t channels) noexcept;  // state mutex held
    void poll(std::int64_t nowNs);                     // state mutex held
    void publish(const std::vector<float>& display);   // state mutex held
    void run() noexcept;

    const std::int64_t periodUs_;

    std::mutex stateMutex_;
    PlaybackLattice* lattice_ = nullptr;
    LevelCursor cursor_;
    std::vector<float> recordPeaks_;
    std::vector<float> recordRms_;
    std::vector<float> latest_;
    std::vector<float> pollMax_;
    std::vector<float> display_;
    std::int64_t clipUntilNs_ = 0;
    std::uint8_t clip_ = 0;
    std::uint64_t sequence_ = 0;

    std::mutex snapshotMutex_;
    MeterSnapshot snapshot_;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> stop_{false};
};

}  // namespace al::playback
