// The reader's fast projection (byte tables, folded symmetric stages, skipped
// zero taps, runs projected ahead) against the filter cascade written out
// plainly: every first-stage output as the 255-term sum over +1/-1 bits,
// every later stage as the full convolution with all of its taps. Random
// bits are the hardest input for it (full-scale white noise at the DSD rate).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "decoders/DsfSurrogateReader.h"
#include "dsd/DsfWriter.h"
#include "support/TempDir.h"

namespace {

using al::file::DsfSurrogateReader;
using morrow::dsd::DsdBitStream;

constexpr std::uint32_t kDsd64 = 2'822'400;
// Samples are on the -1..+1 scale, so the bound is relative to full scale
// (and to the value itself where that is larger).
constexpr double kTolerance = 1e-12;

DsdBitStream randomBits(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    DsdBitStream bits;
    bits.reserve(count);
    while (bits.size() + 8 <= count)
        bits.pushByte(static_cast<std::uint8_t>(rng()));
    while (bits.size() < count)
        bits.push((rng() & 1u) != 0);
    return bits;
}

// Frames [start, start + count) of every channel, interleaved, computed
// stage by stage over exactly the index ranges each stage needs.
std::vector<double> directProjection(const std::vector<DsdBitStream>& streams, std::uint32_t rate,
                                     std::int64_t start, std::int64_t count) {
    struct Stage {
        std::int64_t factor;
        std::vector<double> taps;
    };
    std::vector<Stage> stages{{8, DsfSurrogateReader::designLowPass(255, 0.045)}};
    for (std::uint32_t remaining = rate / 88'200 / 8; remaining >= 2; remaining /= 2) {
        stages.push_back({2, DsfSurrogateReader::designLowPass(63, 0.2)});
    }
    stages.push_back({1, DsfSurrogateReader::designLowPass(511, 0.25)});

    std::vector<std::int64_t> lo(stages.size()), hi(stages.size());
    lo.back() = start;
    hi.back() = start + count;
    for (std::size_t s = stages.size() - 1; s > 0; --s) {
        const std::int64_t g = stages[s].factor;
        const auto m = static_cast<std::int64_t>(stages[s].taps.size() / 2);
        lo[s - 1] = g * lo[s] - m;
        hi[s - 1] = g * (hi[s] - 1) + m + 1;
    }

    const std::size_t channels = streams.size();
    const auto samples = static_cast<std::int64_t>(streams.front().size());
    std::vector<double> out(static_cast<std::size_t>(count) * channels);
    for (std::size_t c = 0; c < channels; ++c) {
        const auto bit = [&](std::int64_t n) {
            return n >= 0 && n < samples ? streams[c].at(static_cast<std::uint64_t>(n))
                                         : (n & 1) != 0;
        };
        std::vector<double> level;
        const auto& h = stages[0].taps;
        for (std::int64_t m = lo[0]; m < hi[0]; ++m) {
            double sum = 0.0;
            for (std::int64_t k = 0; k < 255; ++k) {
                sum += (bit(8 * m - 127 + k) ? 1.0 : -1.0) * h[static_cast<std::size_t>(k)];
            }
            level.push_back(sum);
        }
        for (std::size_t s = 1; s < stages.size(); ++s) {
            const std::int64_t g = stages[s].factor;
            const auto& taps = stages[s].taps;
            const auto m0 = static_cast<std::int64_t>(taps.size() / 2);
            std::vector<double> next;
            for (std::int64_t m = lo[s]; m < hi[s]; ++m) {
                double sum = 0.0;
                for (std::size_t j = 0; j < taps.size(); ++j) {
                    const std::int64_t at = g * m - m0 + static_cast<std::int64_t>(j) - lo[s - 1];
                    sum += level[static_cast<std::size_t>(at)] * taps[j];
                }
                next.push_back(sum);
            }
            level.swap(next);
        }
        for (std::size_t f = 0; f < level.size(); ++f)
            out[f * channels + c] = level[f];
    }
    return out;
}

// The largest difference over full scale (or over the value, if larger).
double worstRelativeError(const std::vector<double>& fast, const std::vector<double>& direct) {
    EXPECT_EQ(fast.size(), direct.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < std::min(fast.size(), direct.size()); ++i) {
        worst =
            std::max(worst, std::fabs(fast[i] - direct[i]) / std::max(1.0, std::fabs(direct[i])));
    }
    return worst;
}

class DsfDirectFormTest : public ::testing::Test {
  protected:
    std::filesystem::path write(const std::vector<DsdBitStream>& streams, std::uint32_t rate) {
        const auto path = dir / ("f" + std::to_string(counter++) + ".dsf");
        morrow::dsd::writeDsfFile(path, streams, {rate, 1});
        return path;
    }
    al::test::TempDir dir;
    int counter = 0;
};

// Whole tracks, both edges included (pattern bits before the start and past
// an end that is not a multiple of the ratio), at the rates whose stage
// lists differ, as one request and as 1024-frame chunks.
TEST_F(DsfDirectFormTest, MatchesTheDirectCascadeOnRandomBits) {
    const struct {
        std::uint32_t multiple;
        std::uint64_t samples;
        std::size_t channels;
    } cases[] = {{1, 32 * 3'000 + 5, 2}, {2, 64 * 1'500 + 63, 1}, {8, 256 * 600 + 17, 2}};
    std::uint32_t seed = 100;
    for (const auto& c : cases) {
        const std::uint32_t rate = c.multiple * kDsd64;
        std::vector<DsdBitStream> streams;
        for (std::size_t k = 0; k < c.channels; ++k)
            streams.push_back(randomBits(c.samples, seed++));
        const DsfSurrogateReader reader(write(streams, rate));
        const std::uint64_t frames = reader.frameCount();
        const auto direct = directProjection(streams, rate, 0, static_cast<std::int64_t>(frames));

        const double whole = worstRelativeError(reader.ReadFrames(0, frames), direct);
        EXPECT_LE(whole, kTolerance) << reader.formatLabel();
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", whole);
        RecordProperty("worst_error_dsd" + std::to_string(64 * c.multiple), text);

        std::vector<double> chunked;
        for (std::uint64_t at = 0; at < frames; at += 1024) {
            const auto piece = reader.ReadFrames(at, std::min<std::uint64_t>(1024, frames - at));
            chunked.insert(chunked.end(), piece.begin(), piece.end());
        }
        EXPECT_LE(worstRelativeError(chunked, direct), kTolerance) << reader.formatLabel();
    }
}

// Two doubles per vector and four (where the processor has them) give the
// same samples, bit for bit, in whole and chunked requests.
TEST_F(DsfDirectFormTest, VectorWidthsAgreeBitForBit) {
    const std::uint64_t samples = 32 * 5'000 + 3;
    const std::vector<DsdBitStream> streams{randomBits(samples, 51), randomBits(samples, 52)};
    const auto path = write(streams, kDsd64);
    const auto project = [&] {
        const DsfSurrogateReader reader(path);
        std::vector<double> out = reader.ReadFrames(0, reader.frameCount());
        for (std::uint64_t at = 0; at < reader.frameCount(); at += 1024) {
            const auto piece =
                reader.ReadFrames(at, std::min<std::uint64_t>(1024, reader.frameCount() - at));
            out.insert(out.end(), piece.begin(), piece.end());
        }
        return out;
    };
    const bool wide = DsfSurrogateReader::wideVectorsInUse();
    RecordProperty("wide_vectors", wide ? "yes" : "no");
    const auto first = project();
    DsfSurrogateReader::allowWideVectors(false);
    EXPECT_FALSE(DsfSurrogateReader::wideVectorsInUse());
    const auto narrow = project();
    DsfSurrogateReader::allowWideVectors(true);
    EXPECT_EQ(DsfSurrogateReader::wideVectorsInUse(), wide);
    EXPECT_EQ(first, narrow);
    const auto direct =
        directProjection(streams, kDsd64, 0, static_cast<std::int64_t>(narrow.size() / 4));
    EXPECT_LE(worstRelativeError(
                  std::vector<double>(narrow.begin(),
                                      narrow.begin() + static_cast<std::ptrdiff_t>(direct.size())),
                  direct),
              kTolerance);
}

// Requests out of order and of odd lengths, so that some are served from the
// run projected ahead and some start a new run, in the middle of a track.
TEST_F(DsfDirectFormTest, OutOfOrderRequestsMatchToo) {
    const std::uint64_t samples = 32 * 30'000;
    const std::vector<DsdBitStream> streams{randomBits(samples, 7), randomBits(samples, 8)};
    const DsfSurrogateReader reader(write(streams, kDsd64));
    std::mt19937 rng(3);
    for (int trial = 0; trial < 12; ++trial) {
        const std::uint64_t count = 1 + rng() % 3000;
        const std::uint64_t start = rng() % (reader.frameCount() - count);
        const auto direct = directProjection(streams, kDsd64, static_cast<std::int64_t>(start),
                                             static_cast<std::int64_t>(count));
        EXPECT_LE(worstRelativeError(reader.ReadFrames(start, count), direct), kTolerance)
            << start << "+" << count;
    }
}

// Only taps that are rounding residues of zero are left out: the half-band
// final stage loses its even-distance taps, the 0.2 stage those at a
// multiple of 5 from the centre (where sin(0.4 pi d) is zero), both the
// window's ends; what is left out is negligible.
TEST(DsfFoldedStages, LeaveOutOnlyResiduesOfZero) {
    const DsfSurrogateReader::FilterStage finalStage{1,
                                                     DsfSurrogateReader::designLowPass(511, 0.25)};
    const auto folded = DsfSurrogateReader::foldStage(finalStage);
    EXPECT_EQ(folded.length, 511u);
    EXPECT_EQ(folded.centre, finalStage.taps[255]);
    for (const std::uint32_t t : folded.offsets)
        EXPECT_EQ((255 - t) % 2, 1u) << t;
    EXPECT_GE(folded.offsets.size(), 126u);
    EXPECT_LE(folded.offsets.size(), 128u);
    EXPECT_LT(folded.residue, 1e-14);

    const DsfSurrogateReader::FilterStage halving{2, DsfSurrogateReader::designLowPass(63, 0.2)};
    const auto halved = DsfSurrogateReader::foldStage(halving);
    EXPECT_LT(halved.residue, 1e-14);
    for (std::uint32_t t = 0; t < 31; ++t) {
        const bool designedZero = t == 0 || (31 - t) % 5 == 0;
        const bool kept =
            std::find(halved.offsets.begin(), halved.offsets.end(), t) != halved.offsets.end();
        EXPECT_NE(kept, designedZero) << t;
    }
    for (std::size_t i = 0; i < halved.offsets.size(); ++i) {
        EXPECT_EQ(halved.weights[i], halving.taps[halved.offsets[i]]);
    }

    auto lopsided = halving;
    lopsided.taps[3] += 1e-9;
    EXPECT_THROW((void)DsfSurrogateReader::foldStage(lopsided), std::invalid_argument);
}

}  // namespace
