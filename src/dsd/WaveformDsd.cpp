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
    batch_.resize(kBatchFrames);
    for (std::size_t c = 0; c < 2; ++c) {
        values_[c].resize(16 * kBatchFrames);
        bits_[c].resize(2 * kBatchFrames);
    }
}

morrow::dsd::DsdFrame WaveformDsd::readFrame(std::uint64_t index) {
    if (index >= info_.frameCount) {
        throw std::out_of_range("DSD frame outside track");
    }
    const auto split = [](std::uint32_t word) {
        return morrow::dsd::DsdFrame{static_cast<std::uint16_t>(word), static_cast<std::uint16_t>(word >> 16)};
    };
    if (batchCount_ > 0 && batchServed_ < batchCount_ && index == batchFirst_ + batchServed_) {
        return split(batch_[batchServed_++]);
    }
    settleBatch();
    if (!batching_) {
        return frameByRuns(index);
    }
    const Snapshot start = snapshot();
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBatchFrames, info_.frameCount - index));
    try {
        makeFrames(index, count, batch_.data());
    } catch (...) {
        // Somewhere in the batch a chunk or the modulator failed: from the
        // state before it, frame by frame, so that the failure surfaces at
        // its own frame with the states it leaves.
        restore(start);
        batching_ = false;
        return frameByRuns(index);
    }
    batchStart_ = start;  // kept until the next batch
    batchFirst_ = index;
    batchCount_ = count;
    batchServed_ = 1;
    return split(batch_[0]);
}

WaveformDsd::Snapshot WaveformDsd::snapshot() const { return {chunk_, walkers_, filters_, states_}; }

void WaveformDsd::restore(const Snapshot& saved) {
    chunk_ = saved.chunk;
    walkers_ = saved.walkers;
    filters_ = saved.filters;
    states_ = saved.states;
}

void WaveformDsd::settleBatch() {
    if (batchCount_ == 0) {
        return;
    }
    const std::size_t served = batchServed_;
    const bool all = served == batchCount_;
    batchCount_ = 0;
    batchServed_ = 0;
    if (all) {
        return;  // the state is already the one after the batch's last frame
    }
    restore(*batchStart_);
    // The same computation over fewer frames: it leaves the state the frames
    // handed out would have left.
    try {
        makeFrames(batchFirst_, served, batch_.data());
    } catch (...) {
        batching_ = false;
        throw;
    }
}

void WaveformDsd::makeFrames(std::uint64_t first, std::size_t count, std::uint32_t* words) {
    const std::size_t channels = info_.channels;
    const std::uint64_t base = 16 * first;
    const std::size_t total = 16 * count;
    const std::size_t live =
        base >= info_.sampleCount ? 0
                                  : static_cast<std::size_t>(std::min<std::uint64_t>(total, info_.sampleCount - base));
    std::size_t j = 0;
    while (j < live) {
        const double t = static_cast<double>(base + j) / rate_;
        if (!chunk_ || !(chunk_->ownershipEnd > t) || chunk_->ownershipStart > t) {
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
            n = walkers_[0].fill(chunk_->channels[0].segments(), base + j, live - j, rate_, values_[0].data() + j,
                                 chunk_->ownershipEnd);
            if (n > 0 && channels == 2) {
                walkers_[1].fill(chunk_->channels[1].segments(), base + j, n, rate_, values_[1].data() + j);
            }
        }
        if (n == 0) {
            n = 1;
            for (std::size_t c = 0; c < channels; ++c) {
                values_[c][j] = walkers_[c].valueAt(chunk_->channels[c].segments(), t);
            }
        }
        j += n;
    }
    if (channels == 2) {
        morrow::dsd::modulateRunPair({filters_[0], states_[0], values_[0].data(), cutoff_, bits_[0].data()},
                                     {filters_[1], states_[1], values_[1].data(), cutoff_, bits_[1].data()}, live,
                                     false);
    } else {
        morrow::dsd::modulateRun(filters_[0], states_[0], values_[0].data(), live, cutoff_, false, bits_[0].data());
    }
    // Bits come least significant first, eight values a byte; a word holds
    // its sixteen instants earliest bit first.
    static const auto mirror = [] {
        std::array<std::uint8_t, 256> table{};
        for (unsigned v = 0; v < 256; ++v) {
            unsigned r = 0;
            for (unsigned b = 0; b < 8; ++b) r |= (v >> b & 1u) << (7 - b);
            table[v] = static_cast<std::uint8_t>(r);
        }
        return table;
    }();
    const std::size_t liveBytes = (live + 7) / 8;
    for (std::size_t c = 0; c < channels; ++c) {
        // Instants past the end carry the idle pattern, earliest bit first
        // (0x6969 mirrored byte by byte is 0x96, 0x96).
        std::uint8_t* bytes = bits_[c].data();
        if (live % 8 != 0) {
            bytes[live / 8] = static_cast<std::uint8_t>(bytes[live / 8] | (0x96u & (0xFFu << (live % 8))));
        }
        for (std::size_t b = liveBytes; b < 2 * count; ++b) {
            bytes[b] = 0x96;
        }
    }
    for (std::size_t f = 0; f < count; ++f) {
        const std::uint32_t w0 = std::uint32_t{mirror[bits_[0][2 * f]]} << 8 | mirror[bits_[0][2 * f + 1]];
        const std::uint32_t w1 =
            channels == 2 ? (std::uint32_t{mirror[bits_[1][2 * f]]} << 8 | mirror[bits_[1][2 * f + 1]]) : w0;
        words[f] = w0 | w1 << 16;
    }
}

morrow::dsd::DsdFrame WaveformDsd::frameByRuns(std::uint64_t index) {
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
