#pragma once
// Any playback source made into DSD on the fly, frame by frame, in the
// calling thread.

#include <array>
#include <cstdint>
#include <memory>

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

private:
    std::shared_ptr<const playback::PlaybackSource> source_;
    morrow::dsd::DsdInfo info_;
    double rate_ = 0.0;
    bool cutoff_ = false;
    std::shared_ptr<const surrogate::PlaybackChunk> chunk_;
    std::array<morrow::dsd::CurveWalker, 2> walkers_;
    std::array<morrow::dsd::HiFreqFilter, 2> filters_;
    std::array<morrow::dsd::ModulatorState, 2> states_{};
};

}  // namespace al::audio
