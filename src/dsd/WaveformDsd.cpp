#include "dsd/WaveformDsd.h"

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
    std::uint32_t words[2] = {0, 0};
    for (unsigned j = 0; j < 16; ++j) {
        const std::uint64_t n = 16 * index + j;
        const unsigned at = 15 - j;
        if (n >= info_.sampleCount) {
            const std::uint32_t idle = morrow::dsd::kDsdIdleWord >> at & 1u;
            words[0] |= idle << at;
            words[1] |= idle << at;
            continue;
        }
        const double t = static_cast<double>(n) / rate_;
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
        for (std::size_t c = 0; c < channels; ++c) {
            const double value = walkers_[c].valueAt(chunk_->channels[c].segments(), t);
            const double filtered = filters_[c].process(value, cutoff_);
            if (morrow::dsd::modulate(filtered, states_[c])) {
                words[c] |= 1u << at;
            }
        }
    }
    if (channels == 1) {
        words[1] = words[0];
    }
    return {static_cast<std::uint16_t>(words[0]), static_cast<std::uint16_t>(words[1])};
}

}  // namespace al::audio
