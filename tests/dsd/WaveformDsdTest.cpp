#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>
#include <stdexcept>
#include <string>

#include "dsd/CurveWalker.h"
#include "dsd/HiFreqFilter.h"
#include "dsd/WaveformDsd.h"
#include "playback/PlaybackSource.h"
#include "support/TempDir.h"
#include "DsdRecords.h"

namespace {

using al::audio::WaveformDsd;

class WaveformDsdTest : public ::testing::Test {
protected:
    std::shared_ptr<const al::playback::PlaybackSource> record(const al::file::RecordWriter& writer,
                                                                const std::string& name = "w.aur") {
        const auto path = dir_ / name;
        writer.save(path);
        return al::playback::createPlaybackSource(path);
    }
    al::test::TempDir dir_;
};

TEST_F(WaveformDsdTest, CountsRoundHalfAwayFromZero) {
    // 1001 / 48000 s at DSD64 is 58,858.8 samples: 58,859, like the record path.
    WaveformDsd a(record(al::test::constantRecord(0.0, 1001, 48'000)), 64, false);
    EXPECT_EQ(a.info().sampleCount, 58'859u);
    EXPECT_EQ(a.info().frameCount, 3679u);
    EXPECT_EQ(a.info().rate, 2'822'400u);
    EXPECT_EQ(a.info().channels, 1u);
    // 1003 frames: 58,976.4 samples, which the record path rounds up to
    // 58,977 and this source to the nearest, 58,976.
    WaveformDsd b(record(al::test::constantRecord(0.0, 1003, 48'000), "b.aur"), 64, false);
    EXPECT_EQ(b.info().sampleCount, 58'976u);
}

TEST_F(WaveformDsdTest, ZeroGives0x9999AndAnIdleTail) {
    WaveformDsd source(record(al::test::constantRecord(0.0, 1001, 48'000)), 64, true);
    const auto frames = al::test::readAll(source);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) ASSERT_EQ(frames[i], (morrow::dsd::DsdFrame{0x9999, 0x9999}));
    EXPECT_EQ(frames.back()[0], 0b1001100110001001);
    EXPECT_THROW(source.readFrame(frames.size()), std::out_of_range);
}

TEST_F(WaveformDsdTest, RefusesMoreThanTwoChannelsAndNoSource) {
    try {
        WaveformDsd source(record(al::test::toneRecord(3, 2000, 48'000)), 64, false);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DSD output currently supports mono/stereo sources");
    }
    EXPECT_THROW(WaveformDsd(nullptr, 64, false), std::invalid_argument);
}

TEST_F(WaveformDsdTest, OutOfOrderReadsUseTheChunkThatOwnsTheTime) {
    // Reading a frame again after moving on gives the same density of ones
    // for a constant, from the right chunk, not a hold of a later one.
    auto writer = al::file::RecordWriter::fromSamples(48'000, 24, {[] {
        std::vector<double> v(4096, 0.8);
        for (std::size_t i = 0; i < 1024; ++i) v[i] = -0.8;
        return v;
    }()}, al::file::SegmentKind::Polyline);
    WaveformDsd source(record(writer), 64, false);
    for (std::uint64_t i = 0; i < 8000; ++i) source.readFrame(i);  // into chunk 2
    int ones = 0;
    for (std::uint64_t i = 100; i < 1100; ++i) {
        const auto f = source.readFrame(i);  // chunk 0: -0.8
        ones += __builtin_popcount(f[0]);
    }
    EXPECT_NEAR(ones / 16000.0, (1.0 - 0.4) / 2.0, 0.02);
}

// Instant by instant, the way the stream is defined: the chunk owning each
// instant, each channel's curve value there, its filter, its modulator
// (channel 0, then channel 1), bit 15 - j of the word for instant j.
std::vector<morrow::dsd::DsdFrame> referenceFrames(const al::playback::PlaybackSource& source, int multiple,
                                                   bool cutoff) {
    const double rate = multiple * 44'100.0;
    const std::size_t channels = source.metadata().channelCount;
    const auto samples = static_cast<std::uint64_t>(std::round(rate * source.metadata().duration));
    std::array<morrow::dsd::CurveWalker, 2> walkers;
    std::array<morrow::dsd::HiFreqFilter, 2> filters{morrow::dsd::HiFreqFilter(rate), morrow::dsd::HiFreqFilter(rate)};
    std::array<morrow::dsd::ModulatorState, 2> states{};
    std::shared_ptr<const al::surrogate::PlaybackChunk> chunk;
    std::vector<morrow::dsd::DsdFrame> frames;
    for (std::uint64_t i = 0; i < (samples + 15) / 16; ++i) {
        std::uint32_t words[2] = {0, 0};
        for (unsigned j = 0; j < 16; ++j) {
            const std::uint64_t n = 16 * i + j;
            if (n >= samples) {
                words[0] |= (0x6969u >> (15 - j) & 1u) << (15 - j);
                words[1] |= (0x6969u >> (15 - j) & 1u) << (15 - j);
                continue;
            }
            const double t = static_cast<double>(n) / rate;
            if (!chunk || !(chunk->ownershipEnd > t) || chunk->ownershipStart > t) {
                const std::uint64_t wanted = source.chunkIndexAt(t);
                if (!chunk || chunk->index != wanted) chunk = source.prepareChunk(wanted);
                for (auto& w : walkers) w.reset();
            }
            for (std::size_t c = 0; c < channels; ++c) {
                const double v = walkers[c].valueAt(chunk->channels[c].segments(), t);
                if (morrow::dsd::modulate(filters[c].process(v, cutoff), states[c])) words[c] |= 1u << (15 - j);
            }
        }
        if (channels == 1) words[1] = words[0];
        frames.push_back({static_cast<std::uint16_t>(words[0]), static_cast<std::uint16_t>(words[1])});
    }
    return frames;
}

// The source evaluates runs of instants per chunk and modulates both
// channels in one pass; the stream is the same as instant by instant, with
// and without the cutoff, stereo and mono, across chunk joints and the tail.
TEST_F(WaveformDsdTest, RunsGiveTheInstantByInstantStream) {
    const auto stereo = record(al::test::toneRecord(2, 5'001, 48'000, 0.7, 1500.0), "s.aur");
    const auto mono = record(al::test::toneRecord(1, 3'333, 44'100, 0.9, 700.0), "m.aur");
    for (const bool cutoff : {false, true}) {
        WaveformDsd a(stereo, 64, cutoff);
        ASSERT_EQ(al::test::readAll(a), referenceFrames(*stereo, 64, cutoff)) << cutoff;
        WaveformDsd b(mono, 128, cutoff);
        ASSERT_EQ(al::test::readAll(b), referenceFrames(*mono, 128, cutoff)) << cutoff;
    }
}

}  // namespace
