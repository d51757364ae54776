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
// (channel 0, then channel 1), bit 15 - j of the word for instant j; the
// states carry from whatever frame was read last.
class ReferenceWaveform {
public:
    ReferenceWaveform(std::shared_ptr<const al::playback::PlaybackSource> source, int multiple, bool cutoff)
        : source_(std::move(source)), rate_(multiple * 44'100.0), cutoff_(cutoff),
          filters_{morrow::dsd::HiFreqFilter(rate_), morrow::dsd::HiFreqFilter(rate_)} {
        channels_ = source_->metadata().channelCount;
        samples_ = static_cast<std::uint64_t>(std::round(rate_ * source_->metadata().duration));
    }
    std::uint64_t frameCount() const { return (samples_ + 15) / 16; }
    morrow::dsd::DsdFrame readFrame(std::uint64_t i) {
        std::uint32_t words[2] = {0, 0};
        for (unsigned j = 0; j < 16; ++j) {
            const std::uint64_t n = 16 * i + j;
            if (n >= samples_) {
                words[0] |= (0x6969u >> (15 - j) & 1u) << (15 - j);
                words[1] |= (0x6969u >> (15 - j) & 1u) << (15 - j);
                continue;
            }
            const double t = static_cast<double>(n) / rate_;
            if (!chunk_ || !(chunk_->ownershipEnd > t) || chunk_->ownershipStart > t) {
                const std::uint64_t wanted = source_->chunkIndexAt(t);
                if (!chunk_ || chunk_->index != wanted) chunk_ = source_->prepareChunk(wanted);
                for (auto& w : walkers_) w.reset();
            }
            for (std::size_t c = 0; c < channels_; ++c) {
                const double v = walkers_[c].valueAt(chunk_->channels[c].segments(), t);
                if (morrow::dsd::modulate(filters_[c].process(v, cutoff_), states_[c])) words[c] |= 1u << (15 - j);
            }
        }
        if (channels_ == 1) words[1] = words[0];
        return {static_cast<std::uint16_t>(words[0]), static_cast<std::uint16_t>(words[1])};
    }

private:
    std::shared_ptr<const al::playback::PlaybackSource> source_;
    double rate_;
    bool cutoff_;
    std::size_t channels_ = 0;
    std::uint64_t samples_ = 0;
    std::array<morrow::dsd::CurveWalker, 2> walkers_;
    std::array<morrow::dsd::HiFreqFilter, 2> filters_;
    std::array<morrow::dsd::ModulatorState, 2> states_{};
    std::shared_ptr<const al::surrogate::PlaybackChunk> chunk_;
};

std::vector<morrow::dsd::DsdFrame> referenceFrames(std::shared_ptr<const al::playback::PlaybackSource> source,
                                                   int multiple, bool cutoff) {
    ReferenceWaveform reference(std::move(source), multiple, cutoff);
    std::vector<morrow::dsd::DsdFrame> frames;
    for (std::uint64_t i = 0; i < reference.frameCount(); ++i) frames.push_back(reference.readFrame(i));
    return frames;
}

// Reads out of order, inside a batch made ahead and across batches, then on
// to the end: every frame as frame-by-frame making gives it.
TEST_F(WaveformDsdTest, OutOfOrderReadsGiveTheFrameByFrameStream) {
    const auto stereo = record(al::test::toneRecord(2, 4'000, 48'000, 0.6, 900.0), "o.aur");
    WaveformDsd source(stereo, 64, true);
    ReferenceWaveform reference(stereo, 64, true);
    std::vector<std::uint64_t> order;
    for (std::uint64_t i = 0; i < 300; ++i) order.push_back(i);       // into the second batch
    for (std::uint64_t i = 100; i < 120; ++i) order.push_back(i);     // back inside the first
    order.push_back(119);                                             // the same frame again
    for (std::uint64_t i = 5'000; i < 5'010; ++i) order.push_back(i); // a jump ahead
    for (std::uint64_t i = 2'000; i < source.info().frameCount; ++i) order.push_back(i);
    for (const std::uint64_t i : order) {
        ASSERT_EQ(source.readFrame(i), reference.readFrame(i)) << "frame " << i;
    }
}

// The source evaluates runs of instants per chunk and modulates both
// channels in one pass; the stream is the same as instant by instant, with
// and without the cutoff, stereo and mono, across chunk joints and the tail.
TEST_F(WaveformDsdTest, RunsGiveTheInstantByInstantStream) {
    const auto stereo = record(al::test::toneRecord(2, 5'001, 48'000, 0.7, 1500.0), "s.aur");
    const auto mono = record(al::test::toneRecord(1, 3'333, 44'100, 0.9, 700.0), "m.aur");
    for (const bool cutoff : {false, true}) {
        WaveformDsd a(stereo, 64, cutoff);
        ASSERT_EQ(al::test::readAll(a), referenceFrames(stereo, 64, cutoff)) << cutoff;
        WaveformDsd b(mono, 128, cutoff);
        ASSERT_EQ(al::test::readAll(b), referenceFrames(mono, 128, cutoff)) << cutoff;
    }
}

}  // namespace
