#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

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

}  // namespace
