#include "dsd/WaveformDsd.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace al::audio {

namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;

double dsdRate(int multiple) {
    const long long rate = static_cast<long long>(multiple) * 44'100;
    if (multiple < 1 || rate > 0xFFFFFFFFll) {
        throw std::invalid_argument("Invalid DSD multiple");
    }
    return static_cast<double>(rate);
}

}  // namespace

WaveformDsd::WaveformDsd(std::shared_ptr<const playback::PlaybackSource> source, int dsdMultiple, bool cutoff)
    : source_(std::move(source)),
      rate_(dsdRate(dsdMultiple)),
      cutoff_(cutoff),
      filters_{morrow::dsd::HiFreqFilter(rate_), morrow::dsd::HiFreqFilter(rate_)} {
    if (!source_) {
        throw std::invalid_argument("WaveformDsd requires a playback source");
    }
    const playback::SourceMetadata& meta = source_->metadata();
    if (meta.channelCount != 1 && meta.channelCount != 2) {
        throw std::runtime_error("DSD output currently supports mono/stereo sources");
    }
    const double x = rate_ * meta.duration;
    if (!(x > 0.0 && x < kTwoPow63)) {
        throw std::runtime_error("DSD duration overflow");
    }
    info_.channels = meta.channelCount;
    info_.rate = static_cast<std::uint32_t>(rate_);
    info_.sampleCount = static_cast<std::uint64_t>(std::round(x));  // half away from zero
    info_.frameCount = (info_.sampleCount + 15) / 16;
}

morrow::dsd::DsdFrame WaveformDsd::readFrame(std::uint64_t index) {
    if (index >= info_.frameCount) {
        throw std::out_of_range("DSD frame outside track");
    }
    const std::size_t channels = info_.channels;
    const std::uint64_t base = 16 * index;
    const std::size_t live =
        base >= info_.sampleCount ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(16, info_.sampleCount - base));
    std::uint32_t words[2] = {0, 0};
    for (std::size_t j = live; j < 16; ++j) {
        const unsigned at = 15 - static_cast<unsigned>(j);
        const std::uint32_t idle = morrow::dsd::kDsdIdleWord >> at & 1u;
        words[0] |= idle << at;
        words[1] |= idle << at;
    }
    // The instants in runs that one chunk owns: each run evaluated per
    // channel in one go, then filtered and modulated for both channels in
    // one pass (value by value this is the same arithmetic in the same
    // order: channel 0, then channel 1, for each instant).
    double values[2][16];
    std::size_t j = 0;
    while (j < live) {
        const double t = static_cast<double>(base + j) / rate_;
        // Also when reading goes back before the current chunk, so that
        // out-of-order reads never evaluate a chunk outside what it owns.
        if (!chunk_ || !(chunk_->ownershipEnd > t) || chunk_->ownershipStart > t) {
            // The chunk holding t. When that is the chunk we hold (the last
            // one, which may end a rounding before the duration), preparing
            // it again would give the same geometry: keep it.
            const std::uint64_t wanted = source_->chunkIndexAt(t);
            if (!chunk_ || chunk_->index != wanted) {
                chunk_ = source_->prepareChunk(wanted);
            }
            for (auto& walker : walkers_) {
                walker.reset();
            }
        }
        std::size_t n = 0;
        if (!(chunk_->ownershipStart > t)) {
            n = walkers_[0].fill(chunk_->channels[0].segments(), base + j, live - j, rate_, values[0] + j,
                                 chunk_->ownershipEnd);
            if (n > 0 && channels == 2) {
                walkers_[1].fill(chunk_->channels[1].segments(), base + j, n, rate_, values[1] + j);
            }
        }
        if (n == 0) {
            // An instant the chunk does not own (the held last chunk): on its
            // own, with the walkers just reset, as every such instant is.
            n = 1;
            for (std::size_t c = 0; c < channels; ++c) {
                values[c][j] = walkers_[c].valueAt(chunk_->channels[c].segments(), t);
            }
        }
        std::uint8_t bits[2][2] = {};
        if (channels == 2) {
            morrow::dsd::modulateRunPair({filters_[0], states_[0], values[0] + j, cutoff_, bits[0]},
                                         {filters_[1], states_[1], values[1] + j, cutoff_, bits[1]}, n, false);
        } else {
            morrow::dsd::modulateRun(filters_[0], states_[0], values[0] + j, n, cutoff_, false, bits[0]);
        }
        for (std::size_t c = 0; c < channels; ++c) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t bit = bits[c][i / 8] >> (i % 8) & 1u;
                words[c] |= bit << (15 - (j + i));
            }
        }
        j += n;
    }
    if (channels == 1) {
        words[1] = words[0];
    }
    return {static_cast<std::uint16_t>(words[0]), static_cast<std::uint16_t>(words[1])};
}

}  // namespace al::audio
