#pragma once
// Any playback source made into DSD on the fly, frame by frame, in the
// calling thread.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "dsd/CurveWalker.h"
#include "dsd/DsdSource.h"
#include "dsd/HiFreqFilter.h"
#include "playback/PlaybackSource.h"

namespace al::audio {

// Evaluates the source's curves at every DSD instant n / rate, passes them
// through the cutoff filter (the flag is fixed for the track) and one
// modulator per channel. Frames are meant to be read in order: the filter
// and modulator states carry from one frame to the next, so reading out of
// order gives a valid but different bit stream. One thread at a time.
class WaveformDsd final : public morrow::dsd::IDsdSource {
public:
    // Throws std::runtime_error("DSD output currently supports mono/stereo
    // sources") or ("DSD duration overflow"), std::invalid_argument for a
    // missing source or a multiple that gives no usable rate.
    WaveformDsd(std::shared_ptr<const playback::PlaybackSource> source, int dsdMultiple, bool cutoff);

    morrow::dsd::DsdInfo info() const noexcept override { return info_; }
    // Throws std::out_of_range past the track, and what chunk preparation or
    // the modulator ("DSD modulator overload; playback stopped") throws.
    morrow::dsd::DsdFrame readFrame(std::uint64_t index) override;

    // Frames made ahead in one batch on in-order reads.
    static constexpr std::size_t kBatchFrames = 256;

private:
    // Everything the stream's next bits depend on: put back to replay.
    struct Snapshot {
        std::shared_ptr<const surrogate::PlaybackChunk> chunk;
        std::array<morrow::dsd::CurveWalker, 2> walkers;
        std::array<morrow::dsd::HiFreqFilter, 2> filters;
        std::array<morrow::dsd::ModulatorState, 2> states;
    };
    Snapshot snapshot() const;
    void restore(const Snapshot& saved);
    // Frames [first, first + count) into words (channel 0 low half): all
    // instants evaluated in runs, then one modulator pass over them.
    void makeFrames(std::uint64_t first, std::size_t count, std::uint32_t* words);
    // One frame, modulated run by run as its instants are evaluated: the
    // order every failure is defined in.
    morrow::dsd::DsdFrame frameByRuns(std::uint64_t index);
    // Brings the stream state to just after the last frame handed out of the
    // batch (by replaying those frames) and drops the batch.
    void settleBatch();

    std::shared_ptr<const playback::PlaybackSource> source_;
    morrow::dsd::DsdInfo info_;
    double rate_ = 0.0;
    bool cutoff_ = false;
    std::shared_ptr<const surrogate::PlaybackChunk> chunk_;
    std::array<morrow::dsd::CurveWalker, 2> walkers_;
    std::array<morrow::dsd::HiFreqFilter, 2> filters_;
    std::array<morrow::dsd::ModulatorState, 2> states_{};

    // In-order reads are served from a batch made ahead; the state at the
    // batch's start is kept, so that a read out of order (or a failure)
    // first replays exactly the frames handed out and then goes on as if
    // frames had been made one at a time.
    bool batching_ = true;  // off for good after a batch failed
    std::uint64_t batchFirst_ = 0;
    std::size_t batchCount_ = 0;   // 0: no batch
    std::size_t batchServed_ = 0;  // frames of the batch handed out
    std::optional<Snapshot> batchStart_;
    std::vector<std::uint32_t> batch_;
    std::array<std::vector<double>, 2> values_;
    std::array<std::vector<std::uint8_t>, 2> bits_;
};

}  // namespace al::audio
