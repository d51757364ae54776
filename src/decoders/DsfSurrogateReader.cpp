#include "decoders/DsfSurrogateReader.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "dsd/DsfReader.h"

namespace al::file {

namespace {

// Positions outside the track read as n AND 1; for a whole 16-bit word (which
// always starts at an even position) that is 0101...01.
constexpr std::uint16_t kPatternWord = 0x5555;

constexpr std::size_t kFirstStageTaps = 255;
constexpr std::size_t kHalfBandTaps = 63;
constexpr std::size_t kFinalTaps = 511;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// out[k * outStride] = sum over j of in[factor * k + j] * taps[j], k < count.
//
// Eight outputs are accumulated at once in registers with contiguous loads,
// which the compiler turns into vector code. For factor 2 the input is first
// split into its even and odd samples (in[2k + j] is even[k + j/2] for even j,
// odd[k + j/2] for odd j), so those loads are contiguous too. Every output
// still sums its products in tap order, so the result does not depend on
// where a group starts, or on how a track is cut into requests.
template <std::uint32_t factor>
void runFirStage(const double* in, std::size_t inCount, const std::vector<double>& taps, double* out,
                 std::size_t outStride, std::size_t count, double* even, double* odd) {
    constexpr std::size_t kGroup = 8;
    const std::size_t n = taps.size();
    const double* t = taps.data();
    if constexpr (factor == 2) {
        for (std::size_t i = 0; 2 * i < inCount; ++i) {
            even[i] = in[2 * i];
            if (2 * i + 1 < inCount) {
                odd[i] = in[2 * i + 1];
            }
        }
    }
    const auto source = [&](std::size_t j) {
        if constexpr (factor == 1) {
            return in + j;
        } else {
            return (j % 2 == 0 ? even : odd) + j / 2;
        }
    };
    std::size_t k0 = 0;
    for (; k0 + kGroup <= count; k0 += kGroup) {
        double acc[kGroup] = {};
        for (std::size_t j = 0; j < n; ++j) {
            const double* x = source(j) + k0;
            const double tap = t[j];
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kGroup; ++k) {
                acc[k] += x[k] * tap;
            }
        }
        for (std::size_t k = 0; k < kGroup; ++k) {
            out[(k0 + k) * outStride] = acc[k];
        }
    }
    for (; k0 < count; ++k0) {
        double acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            acc += source(j)[k0] * t[j];
        }
        out[k0 * outStride] = acc;
    }
}

void runFir(std::uint32_t factor, const double* in, std::size_t inCount, const std::vector<double>& taps,
            double* out, std::size_t outStride, std::size_t count, double* even, double* odd) {
    if (factor == 1) {
        runFirStage<1>(in, inCount, taps, out, outStride, count, even, odd);
    } else {
        runFirStage<2>(in, inCount, taps, out, outStride, count, even, odd);
    }
}

// First stage through the byte table: out[i] = sum over p of row p at bytes[i + p].
void runFirstStage(const DsfSurrogateReader::FirstStageTable& table, const std::uint8_t* bytes,
                   double* out, std::size_t count) {
    constexpr std::size_t P = DsfSurrogateReader::kTableBytes;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
        const std::uint8_t* b = bytes + i;
        for (std::size_t p = 0; p < P; ++p) {
            const double* row = table[p].data();
            a0 += row[b[p]];
            a1 += row[b[p + 1]];
            a2 += row[b[p + 2]];
            a3 += row[b[p + 3]];
        }
        out[i] = a0;
        out[i + 1] = a1;
        out[i + 2] = a2;
        out[i + 3] = a3;
    }
    for (; i < count; ++i) {
        double a = 0.0;
        for (std::size_t p = 0; p < P; ++p) {
            a += table[p][bytes[i + p]];
        }
        out[i] = a;
    }
}

}  // namespace

std::vector<double> DsfSurrogateReader::designLowPass(std::size_t taps, double cutoff) {
    if (taps < 3 || taps % 2 == 0) {
        throw std::invalid_argument("FIR length must be odd and at least 3");
    }
    std::vector<double> h(taps);
    const std::size_t m = taps / 2;
    const double span = static_cast<double>(taps - 1);
    // Compute the left half and mirror it, so the taps are exactly symmetric
    // (linear phase) rather than symmetric up to rounding.
    for (std::size_t i = 0; i <= m; ++i) {
        double s = 2.0 * cutoff;
        if (i != m) {
            const double d = static_cast<double>(i) - static_cast<double>(m);
            s = std::sin(2.0 * std::numbers::pi * cutoff * d) / (std::numbers::pi * d);
        }
        const double x = static_cast<double>(i) / span;
        const double w = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * x) +
                         0.08 * std::cos(4.0 * std::numbers::pi * x);
        h[i] = w * s;
        h[taps - 1 - i] = w * s;
    }
    double sum = 0.0;
    for (const double v : h) {
        sum += v;
    }
    for (double& v : h) {
        v /= sum;
    }
    return h;
}

DsfSurrogateReader::FirstStageTable DsfSurrogateReader::foldIntoByteTable(const std::vector<double>& taps) {
    if (taps.size() > kTableBytes * 8) {
        throw std::invalid_argument("First-stage filter longer than its byte table");
    }
    FirstStageTable table{};
    for (std::size_t p = 0; p < kTableBytes; ++p) {
        for (unsigned v = 0; v < 256; ++v) {
            double sum = 0.0;
            for (unsigned k = 0; k < 8 && 8 * p + k < taps.size(); ++k) {
                const bool one = (v >> (7 - k) & 1u) != 0;
                sum += (one ? 1.0 : -1.0) * taps[8 * p + k];
            }
            table[p][v] = sum;
        }
    }
    return table;
}

DsfSurrogateReader::DsfSurrogateReader(const std::filesystem::path& path)
    : dsf_(std::make_unique<morrow::dsd::DsfReader>(path)), dsfInfo_(dsf_->info()) {
    const std::uint32_t rate = dsfInfo_.rate;
    const std::uint32_t ratio = rate / kSurrogateRate;
    if (rate % kSurrogateRate != 0 || ratio < 8 || (ratio & (ratio - 1)) != 0) {
        throw std::runtime_error("DSF surrogate requires a 44.1 kHz-family DSD rate through DSD2048");
    }
    ratio_ = ratio;
    // Rounded up without forming sampleCount + ratio - 1, which could overflow.
    frameCount_ = dsfInfo_.sampleCount / ratio + (dsfInfo_.sampleCount % ratio != 0 ? 1 : 0);
    duration_ = static_cast<double>(dsfInfo_.sampleCount) / static_cast<double>(rate);
    label_ = "DSF / DSD" + std::to_string(rate / 44'100) + " (88.2 kHz filtered surrogate)";

    // Cutoffs are fractions of each stage's input rate: 0.045 of the DSD rate,
    // 0.2 of every intermediate rate, 22,050 Hz for the final low-pass.
    stages_.push_back({8, designLowPass(kFirstStageTaps, 0.045)});
    for (std::uint32_t remaining = ratio / 8; remaining >= 2; remaining /= 2) {
        stages_.push_back({2, designLowPass(kHalfBandTaps, 0.2)});
    }
    stages_.push_back({1, designLowPass(kFinalTaps, 0.25)});
    table_ = std::make_unique<FirstStageTable>(foldIntoByteTable(stages_.front().taps));

    // About 2^18 first-stage outputs per channel and pass at every rate.
    blockFrames_ = std::max<std::int64_t>(4096, (std::int64_t{1} << 18) / (ratio / 8));

    // Size the scratch for one full pass (range lengths do not depend on where
    // the pass starts).
    spans_.resize(stages_.size());
    spans_.back() = {0, blockFrames_};
    for (std::size_t s = stages_.size() - 1; s > 0; --s) {
        const auto g = static_cast<std::int64_t>(stages_[s].factor);
        const auto m = static_cast<std::int64_t>(stages_[s].taps.size() / 2);
        spans_[s - 1] = {g * spans_[s].lo - m, g * (spans_[s].hi - 1) + m + 1};
    }
    const std::size_t channels = dsfInfo_.channels;
    work_.assign(stages_.size() - 1, {});
    for (std::size_t s = 0; s + 1 < stages_.size(); ++s) {
        const auto length = static_cast<std::size_t>(spans_[s].hi - spans_[s].lo);
        work_[s].assign(channels, std::vector<double>(length));
    }
    // The even/odd halves of the largest factor-2 input.
    const auto firstLength = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo);
    even_.assign(firstLength / 2 + 1, 0.0);
    odd_.assign(firstLength / 2 + 1, 0.0);
    const std::size_t bytes = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo) + kTableBytes - 1;
    packed_.assign(channels, std::vector<std::uint8_t>(bytes));
    // Words covering bytes * 8 bits from any bit offset, two bytes each, and
    // one spare byte for the shifted read of the last one.
    raw_.assign(channels, std::vector<std::uint8_t>(2 * (bytes / 2 + 2) + 1));
}

DsfSurrogateReader::~DsfSurrogateReader() = default;

std::uint16_t DsfSurrogateReader::channelCount() const noexcept {
    return static_cast<std::uint16_t>(dsfInfo_.channels);
}

std::vector<double> DsfSurrogateReader::ReadFrames(std::uint64_t startFrame, std::uint64_t count) const {
    if (startFrame > frameCount_ || frameCount_ - startFrame < count) {
        throw std::out_of_range("DSF projection outside track");
    }
    if (count == 0) {
        return {};
    }
    if (count > kMaxRequestFrames) {
        throw std::length_error("DSF projection request must be chunked");
    }
    const std::size_t channels = dsfInfo_.channels;
    std::vector<double> out(static_cast<std::size_t>(count) * channels);
    const std::lock_guard guard(lock_);
    for (std::uint64_t done = 0; done < count;) {
        const auto n = std::min<std::int64_t>(blockFrames_, static_cast<std::int64_t>(count - done));
        projectBlock(static_cast<std::int64_t>(startFrame + done), n, out.data() + done * channels);
        done += static_cast<std::uint64_t>(n);
    }
    return out;
}

void DsfSurrogateReader::projectBlock(std::int64_t start, std::int64_t count, double* out) const {
    // Work out, from the last stage back, which outputs each stage must make:
    // producing [lo, hi) with factor g and N taps needs inputs
    // [g*lo - N/2, g*(hi - 1) + N/2 + 1).
    const std::size_t last = stages_.size() - 1;
    spans_[last] = {start, start + count};
    for (std::size_t s = last; s > 0; --s) {
        const auto g = static_cast<std::int64_t>(stages_[s].factor);
        const auto m = static_cast<std::int64_t>(stages_[s].taps.size() / 2);
        spans_[s - 1] = {g * spans_[s].lo - m, g * (spans_[s].hi - 1) + m + 1};
    }
    const auto firstOutputs = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo);
    const auto firstHalf = static_cast<std::int64_t>(stages_[0].taps.size() / 2);
    // Output m of the first stage reads the 256 bits from 8m - 127; those of
    // consecutive outputs start 8 bits apart, so one byte array serves all.
    const std::int64_t firstBit = 8 * spans_[0].lo - firstHalf;
    const std::size_t byteCount = firstOutputs + kTableBytes - 1;
    gatherBits(firstBit, byteCount);

    const std::size_t channels = dsfInfo_.channels;
    for (std::size_t c = 0; c < channels; ++c) {
        runFirstStage(*table_, packed_[c].data(), work_[0][c].data(), firstOutputs);
        for (std::size_t s = 1; s < stages_.size(); ++s) {
            const auto outputs = static_cast<std::size_t>(spans_[s].hi - spans_[s].lo);
            const auto& in = work_[s - 1][c];
            const auto inputs = static_cast<std::size_t>(spans_[s - 1].hi - spans_[s - 1].lo);
            double* target = s == last ? out + c : work_[s][c].data();
            runFir(stages_[s].factor, in.data(), inputs, stages_[s].taps, target, s == last ? channels : 1,
                   outputs, even_.data(), odd_.data());
        }
    }
}

void DsfSurrogateReader::gatherBits(std::int64_t firstBit, std::size_t byteCount) const {
    const std::int64_t firstWord = floorDiv(firstBit, 16);
    const std::int64_t lastWord = floorDiv(firstBit + 8 * static_cast<std::int64_t>(byteCount) - 1, 16);
    const auto trackWords = static_cast<std::int64_t>(dsfInfo_.frameCount);
    const unsigned validInLast = static_cast<unsigned>(dsfInfo_.sampleCount % 16);
    const std::size_t channels = dsfInfo_.channels;

    std::size_t at = 0;
    for (std::int64_t w = firstWord; w <= lastWord; ++w, at += 2) {
        morrow::dsd::DsdFrame frame{kPatternWord, kPatternWord};
        if (w >= 0 && w < trackWords) {
            frame = dsf_->readFrame(static_cast<std::uint64_t>(w));
            if (w == trackWords - 1 && validInLast != 0) {
                // The DSF reader ends the track in idle bits; the projection
                // continues with the zero-mean pattern instead.
                const auto tail = static_cast<std::uint16_t>((1u << (16 - validInLast)) - 1);
                for (auto& word : frame) {
                    word = static_cast<std::uint16_t>((word & ~tail) | (kPatternWord & tail));
                }
            }
        }
        for (std::size_t c = 0; c < channels; ++c) {
            raw_[c][at] = static_cast<std::uint8_t>(frame[c] >> 8);
            raw_[c][at + 1] = static_cast<std::uint8_t>(frame[c]);
        }
    }
    const auto offset = static_cast<std::size_t>(firstBit - firstWord * 16);
    const std::size_t skip = offset / 8;
    const unsigned shift = static_cast<unsigned>(offset % 8);
    for (std::size_t c = 0; c < channels; ++c) {
        raw_[c][at] = 0;  // spare byte read by the shifted view of the last one
        const std::uint8_t* r = raw_[c].data() + skip;
        std::uint8_t* p = packed_[c].data();
        for (std::size_t q = 0; q < byteCount; ++q) {
            p[q] = static_cast<std::uint8_t>((r[q] << shift | r[q + 1] >> (8 - shift)) & 0xFF);
        }
    }
}

}  // namespace al::file
