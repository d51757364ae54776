#include "playback/LevelMeterFeed.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>

#include "platform/CpuTopology.h"

namespace al::playback {

namespace {

constexpr float kMaxDisplay = 4.0F;

std::int64_t steadyNowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

LevelMeterFeed::LevelMeterFeed(std::int64_t periodUs) : periodUs_(std::max<std::int64_t>(periodUs, 1000)) {}

LevelMeterFeed::~LevelMeterFeed() { stop(); }

void LevelMeterFeed::start() {
    if (started_) {
        return;
    }
    stop_.store(false);
    thread_ = std::thread([this] { run(); });
    started_ = true;
}

void LevelMeterFeed::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stop_.store(true);
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    started_ = false;
}

void LevelMeterFeed::attach(PlaybackLattice* lattice) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    lattice_ = lattice;
    reinitialise(lattice ? lattice->channelCount() : 0);
}

void LevelMeterFeed::detach() { attach(nullptr); }

void LevelMeterFeed::reset() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    reinitialise(lattice_ ? lattice_->channelCount() : 0);
}

MeterSnapshot LevelMeterFeed::takeSnapshot() {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    MeterSnapshot copy = snapshot_;
    std::fill(snapshot_.peaks.begin(), snapshot_.peaks.end(), 0.0F);
    return copy;
}

void LevelMeterFeed::pollNow(std::int64_t nowNs) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (lattice_) {
        poll(nowNs);
    }
}

void LevelMeterFeed::reinitialise(std::size_t channels) noexcept {
    cursor_ = LevelCursor{};
    clipUntilNs_ = 0;
    clip_ = 0;
    try {
        for (auto* values : {&recordPeaks_, &recordRms_, &latest_, &pollMax_, &display_}) {
            values->assign(channels, 0.0F);
        }
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            snapshot_.peaks.clear();
        }
        publish(display_);
    } catch (const std::bad_alloc&) {
        for (auto* values : {&recordPeaks_, &recordRms_, &latest_, &pollMax_, &display_}) {
            values->clear();
        }
    }
}

void LevelMeterFeed::poll(std::int64_t nowNs) {
    const std::size_t channels = lattice_->channelCount();
    if (channels != display_.size()) {
        reinitialise(channels);
        if (display_.size() != channels) {
            return;  // could not size the arrays
        }
    }
    std::fill(pollMax_.begin(), pollMax_.end(), 0.0F);
    std::fill(latest_.begin(), latest_.end(), 0.0F);

    const std::uint64_t limit = std::max<std::uint64_t>(lattice_->ringSize(), 1);
    std::uint64_t read = 0;
    LevelRecord record;
    while (read < limit && lattice_->readLevels(cursor_, recordPeaks_, recordRms_, record)) {
        ++read;
        for (std::size_t j = 0; j < channels; ++j) {
            const float v = std::clamp(recordPeaks_[j], 0.0F, kMaxDisplay);
            latest_[j] = v;
            pollMax_[j] = std::max(pollMax_[j], v);
        }
    }
    for (std::size_t j = 0; j < channels; ++j) {
        display_[j] = read > 0 && std::isfinite(pollMax_[j]) ? std::clamp(pollMax_[j], 0.0F, kMaxDisplay) : 0.0F;
    }

    // Channels after the one that clipped keep their peak-hold for the next poll.
    bool clipped = false;
    for (std::size_t j = 0; j < channels && !clipped; ++j) {
        clipped = lattice_->takePeak(j) >= 1.0;
    }
    if (clipped) {
        clipUntilNs_ = nowNs + kClipHoldNs;
    }
    clip_ = clipUntilNs_ != 0 && nowNs < clipUntilNs_ ? 1 : 0;
    publish(display_);
}

void LevelMeterFeed::publish(const std::vector<float>& display) {
    ++sequence_;
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    if (snapshot_.peaks.size() == display.size()) {
        // Peaks of polls nobody read are kept until somebody does.
        for (std::size_t j = 0; j < display.size(); ++j) {
            snapshot_.peaks[j] = std::max(snapshot_.peaks[j], display[j]);
        }
    } else {
        snapshot_.peaks = display;
    }
    snapshot_.sequence = sequence_;
    snapshot_.clip = clip_;
    snapshot_.skippedRecords = cursor_.skipped;
}

void LevelMeterFeed::run() noexcept {
    platform::setCurrentThreadBelowNormalPriority();
    const std::int64_t periodNs = periodUs_ * 1000;
    std::int64_t deadline = steadyNowNs();
    while (!stop_.load()) {
        bool attached = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            attached = lattice_ != nullptr;
            if (attached) {
                try {
                    poll(steadyNowNs());
                } catch (...) {
                    // A failed poll (out of memory) shows as a quiet meter.
                }
            }
        }
        const std::int64_t now = steadyNowNs();
        std::int64_t wakeAt;
        if (attached) {
            deadline += periodNs;
            if (deadline < now - 4 * periodNs) {
                deadline = now;  // far behind: start the rhythm again
            }
            if (deadline <= now) {
                continue;
            }
            wakeAt = deadline;
        } else {
            wakeAt = now + std::max<std::int64_t>(2 * periodUs_, 8000) * 1000;
            deadline = wakeAt;
        }
        std::unique_lock<std::mutex> lock(wakeMutex_);
        wake_.wait_until(lock,
                         std::chrono::steady_clock::time_point(
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(wakeAt))),
                         [this] { return stop_.load(); });
    }
}

}  // namespace al::playback
