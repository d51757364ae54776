#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "dsd/AurSource.h"
#include "dsd/WaveformDsd.h"
#include "dsd/WorkerPool.h"
#include "playback/PlaybackSource.h"
#include "support/TempDir.h"
#include "DsdRecords.h"

namespace {

using al::test::Image;
using al::test::peek;
using al::test::poke;
using morrow::dsd::AurSource;
using morrow::dsd::HiFreqControl;

std::shared_ptr<HiFreqControl> control(bool on = false) { return std::make_shared<HiFreqControl>(on); }

class AurSourceTest : public ::testing::Test {
protected:
    std::filesystem::path save(const Image& image, const std::string& name = "t.aur") {
        const auto path = dir_ / name;
        al::test::writeImage(path, image);
        return path;
    }

    // The message of opening and reading the whole record, or "(ok)".
    std::string outcome(const Image& image, int multiple = 64) {
        try {
            AurSource source(save(image), multiple, control(), 0);
            al::test::readAll(source);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(ok)";
    }

    static Image tone(std::uint16_t channels = 1, std::uint64_t frames = 3000, std::uint32_t rate = 48'000) {
        return al::test::toneRecord(channels, frames, rate).image();
    }

    al::test::TempDir dir_;
};

TEST_F(AurSourceTest, ConstructionArguments) {
    const auto path = save(tone());
    auto message = [&](std::shared_ptr<HiFreqControl> c, int multiple, int mode) -> std::string {
        try {
            AurSource source(path, multiple, std::move(c), mode);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(ok)";
    };
    EXPECT_EQ(message(nullptr, 64, 0), "Missing filter control");
    EXPECT_EQ(message(control(), 64, 1), "PoC supports continuous modulation only");
    EXPECT_EQ(message(control(), 96, 0), "Invalid DSD multiple");
    EXPECT_EQ(message(control(), 32, 0), "Invalid DSD multiple");
    EXPECT_EQ(message(control(), 4096, 0), "Invalid DSD multiple");
    for (int multiple : {64, 128, 256, 512, 1024, 2048}) EXPECT_EQ(message(control(), multiple, 0), "(ok)");
    try {
        AurSource source(dir_ / "missing.aur", 64, control(), 0);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open AUR");
    }
}

TEST_F(AurSourceTest, InfoFollowsTheDsdRate) {
    AurSource source(save(tone(2, 3000)), 128, control(), 0);
    const auto info = source.info();
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.rate, 5'644'800u);
    // 3000 / 48000 s = 0.0625 s exactly: 352,800 samples, 22,050 frames.
    EXPECT_EQ(info.sampleCount, 352'800u);
    EXPECT_EQ(info.frameCount, 22'050u);
    EXPECT_GE(source.workerCount(), 1u);
    EXPECT_LE(source.workerCount(), 16u);
}

TEST_F(AurSourceTest, HeaderChecksInOrder) {
    const Image good = tone();
    auto patched = [&](auto&& patch) {
        Image image = good;
        patch(image);
        return outcome(image);
    };
    EXPECT_EQ(outcome(Image(good.begin(), good.begin() + 44)), "AUR too short");
    EXPECT_EQ(patched([](Image& i) { i[2] = std::byte{'X'}; }), "Expected AUR V2 revision 0");
    EXPECT_EQ(patched([](Image& i) { poke<std::uint8_t>(i, al::test::kVersionAt, 3); }), "Expected AUR V2 revision 0");
    EXPECT_EQ(patched([](Image& i) { poke<std::uint8_t>(i, al::test::kRevisionAt, 1); }), "Expected AUR V2 revision 0");
    EXPECT_EQ(outcome(tone(3)), "Playback currently supports mono/stereo AUR");
    EXPECT_EQ(patched([](Image& i) { poke<std::uint16_t>(i, al::test::kChannelsAt, 0); }),
              "Playback currently supports mono/stereo AUR");
    EXPECT_EQ(patched([](Image& i) { poke<std::uint32_t>(i, al::test::kRateAt, 0); }), "Invalid AUR header");
    EXPECT_EQ(patched([](Image& i) { poke<std::uint32_t>(i, al::test::kRateAt, 12'288'001); }), "Invalid AUR header");
    EXPECT_EQ(patched([](Image& i) { poke(i, al::test::kDurationAt, 0.0); }), "Invalid AUR header");
    EXPECT_EQ(patched([](Image& i) { poke(i, al::test::kDurationAt, std::nan("")); }), "Invalid AUR header");
    EXPECT_EQ(patched([](Image& i) { poke(i, al::test::kDurationAt, 3000.0 / 48'000 + 1e-3); }),
              "AUR duration mismatch");
    // Bit depth and peak are not this source's business.
    EXPECT_EQ(patched([](Image& i) { poke<std::uint32_t>(i, al::test::kBitsAt, 20); }), "(ok)");
    EXPECT_EQ(patched([](Image& i) { poke(i, al::test::kPeakAt, -1.0); }), "(ok)");

    // Zero frames with a duration within 1e-12 s of zero: no DSD sample at all.
    al::file::RecordWriter empty(al::file::makeRecordHeader(1, 48'000, 24, 0));
    empty.header().duration = 1e-21;
    EXPECT_EQ(outcome(empty.image()), "Empty AUR");
}

TEST_F(AurSourceTest, BlockWalkChecksInOrder) {
    const Image good = tone(1, 3000);
    const auto at = al::test::blockOffsets(good);
    ASSERT_EQ(at.size(), 3u);
    auto patched = [&](auto&& patch, bool fixCrc = true) {
        Image image = good;
        patch(image);
        if (fixCrc) {
            for (std::size_t b : at) al::test::fixCrc(image, b);
        }
        return outcome(image);
    };
    using namespace al::test;
    {
        Image junk(good.begin(), good.begin() + 39);
        junk.resize(39 + 10);
        for (char c : std::string("AUREND")) junk.push_back(std::byte(c));
        EXPECT_EQ(outcome(junk), "Truncated AUR block");
    }
    EXPECT_EQ(patched([&](Image& i) { poke<std::uint32_t>(i, at[1] + kBlockSequenceAt, 2); }), "AUR sequence mismatch");
    EXPECT_EQ(patched([&](Image& i) { poke<std::uint16_t>(i, at[0] + kBlockChannelAt, 1); }), "AUR sequence mismatch");
    EXPECT_EQ(patched([&](Image& i) { poke<std::uint16_t>(i, at[0] + kBlockSegmentsAt, 0); }), "Invalid AUR payload");
    EXPECT_EQ(patched([&](Image& i) { poke<std::uint32_t>(i, at[2] + kBlockPayloadSizeAt, 0x10000001); }, false),
              "Invalid AUR payload");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockStartAt, -1e-3); }), "Invalid AUR ownership");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockEndAt, std::nan("")); }), "Invalid AUR ownership");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockEndAt, 0.0); }), "Invalid AUR ownership");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockStartAt, 1e-3); }), "AUR ownership gap/overlap");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[1] + kBlockStartAt, peek<double>(i, at[1] + kBlockStartAt) + 1e-9); }),
              "AUR ownership gap/overlap");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[2] + kBlockEndAt, peek<double>(i, at[2] + kBlockEndAt) + 1e-9); }),
              "AUR ownership gap/overlap");
    // Within 2^-44 of the previous end is continuous in time, but 1e-15 s is
    // 2.8e-9 DSD samples, beyond the 2^-46 rounding allowance of the DSD
    // index: the block would own from sample 1.
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockStartAt, 1e-15); }), "DSD ownership discontinuity");
    EXPECT_EQ(patched([&](Image& i) { poke(i, at[0] + kBlockStartAt, 1e-21); }), "(ok)");
    EXPECT_EQ(patched([&](Image& i) { i[at[1] + 40] ^= std::byte{1}; }, false), "AUR CRC mismatch");
    EXPECT_EQ(patched([&](Image& i) { i[i.size() - 1] = std::byte{'X'}; }), "Missing AUREND");
}

TEST_F(AurSourceTest, BlocksAreCheckedInCanonicalOrderOnly) {
    auto writer = al::test::toneRecord(2, 3000, 48'000);
    EXPECT_EQ(outcome(writer.image(al::file::BlockOrder::Canonical)), "(ok)");
    EXPECT_EQ(outcome(writer.image(al::file::BlockOrder::ChannelByChannel)), "AUR sequence mismatch");
}

TEST_F(AurSourceTest, DsdOwnershipDiscontinuityAndIncompleteChannel) {
    // At 44.1 kHz a chunk boundary falls on DSD64 sample 65,536 exactly. An
    // end 1e-8 samples later is still continuous in time (2^-44) but maps
    // to the next DSD sample, while the next start maps to 65,536.
    Image image = al::test::toneRecord(1, 2048, 44'100).image();
    const auto at = al::test::blockOffsets(image);
    poke(image, at[0] + al::test::kBlockEndAt, (65'536.0 + 1e-8) / 2'822'400.0);
    for (std::size_t b : at) al::test::fixCrc(image, b);
    EXPECT_EQ(outcome(image), "DSD ownership discontinuity");

    // Channel 1 without its last block.
    auto writer = al::test::toneRecord(2, 3000, 48'000);
    writer.blocks().pop_back();
    EXPECT_EQ(outcome(writer.image()), "Incomplete AUR channel");
}

TEST_F(AurSourceTest, BlockShorterThanOneDsdPeriodIsValidatedButNotListed) {
    const double rate = 2'822'400.0;
    const double a = 1000.3 / rate, b = 1000.6 / rate, d = 3000.0 / 48'000;
    al::file::RecordWriter writer(al::file::makeRecordHeader(1, 48'000, 24, 3000));
    auto block = [&](std::uint64_t chunk, double s, double e) {
        al::file::BlockDraft rawBlock;
        rawBlock.chunk = chunk;
        rawBlock.ownershipStart = s;
        rawBlock.ownershipEnd = e;
        rawBlock.segmentCount = 1;
        al::file::appendEncodedSegment(rawBlock.payload, {al::file::SegmentKind::Linear, 0, {{s, 0.1}, {e, 0.1}}});
        writer.addRawBlock(std::move(rawBlock));
    };
    block(0, 0.0, a);
    block(1, a, b);
    block(2, b, d);
    AurSource source(save(writer.image()), 64, control(), 0);
    ASSERT_EQ(source.blocks(0).size(), 2u);
    EXPECT_EQ(source.blocks(0)[0].sampleCount, 1001u);
    EXPECT_EQ(source.blocks(0)[1].firstSample, 1001u);
    EXPECT_EQ(source.blocks(0)[1].sampleCount, source.info().sampleCount - 1001u);
    EXPECT_EQ(al::test::readAll(source).size(), source.info().frameCount);
}

TEST_F(AurSourceTest, PayloadFaultsSurfaceOnReadFrameWithTheirTexts) {
    const Image good = tone(1, 6000);
    const auto at = al::test::blockOffsets(good);
    ASSERT_EQ(at.size(), 6u);
    // Patch the first segment of block 4 (payload starts 28 bytes in).
    auto broken = [&](std::size_t offset, auto value) {
        Image image = good;
        poke(image, at[4] + 28 + offset, value);
        al::test::fixCrc(image, at[4]);
        return image;
    };
    EXPECT_EQ(outcome(broken(0, std::uint8_t{4})), "Unknown primitive");
    EXPECT_EQ(outcome(broken(0, std::uint8_t{0})), "Unknown primitive");
    EXPECT_EQ(outcome(broken(1, std::uint8_t{1})), "Unsupported segment flags");
    EXPECT_EQ(outcome(broken(2, std::uint16_t{1})), "Invalid CP count");
    EXPECT_EQ(outcome(broken(2, std::uint16_t{0xFFFF})), "Truncated CP arrays");

    // The failure is stored when the reader meets it and thrown by the next
    // readFrame (at the latest when the bad block is due); it then repeats on
    // every later call instead of ending anything.
    AurSource source(save(broken(1, std::uint8_t{1})), 64, control(), 0);
    const std::uint64_t firstBad = source.blocks(0)[4].firstSample / 16;
    std::uint64_t failedAt = 0;
    for (; failedAt <= firstBad; ++failedAt) {
        try {
            source.readFrame(failedAt);
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unsupported segment flags");
            break;
        }
    }
    ASSERT_LE(failedAt, firstBad);
    for (int repeat = 0; repeat < 3; ++repeat) {
        try {
            source.readFrame(failedAt);
            FAIL();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unsupported segment flags");
        }
    }
}

TEST_F(AurSourceTest, PayloadTrailingAndShortFields) {
    auto oneBlock = [&](std::vector<std::byte> payload, std::uint16_t segments) {
        al::file::RecordWriter writer(al::file::makeRecordHeader(1, 48'000, 24, 1000));
        al::file::BlockDraft rawBlock;
        rawBlock.ownershipEnd = writer.header().duration;
        rawBlock.segmentCount = segments;
        rawBlock.payload = std::move(payload);
        writer.addRawBlock(std::move(rawBlock));
        return outcome(writer.image());
    };
    std::vector<std::byte> payload;
    al::file::appendEncodedSegment(payload, {al::file::SegmentKind::Linear, 0, {{0.0, 0.1}, {1.0, 0.2}}});
    EXPECT_EQ(oneBlock(payload, 1), "(ok)");
    auto longer = payload;
    longer.push_back(std::byte{0});
    EXPECT_EQ(oneBlock(longer, 1), "Payload has trailing data");
    EXPECT_EQ(oneBlock(std::vector<std::byte>(payload.begin(), payload.begin() + 3), 1), "Truncated segment");
    EXPECT_EQ(oneBlock(std::vector<std::byte>(payload.begin(), payload.begin() + 12), 1), "Truncated field");
    EXPECT_EQ(oneBlock(std::vector<std::byte>(payload.begin(), payload.begin() + 27), 1), "Truncated CP arrays");
    EXPECT_EQ(oneBlock(payload, 2), "Truncated segment");
}

TEST_F(AurSourceTest, CurveValueTwoIsAcceptedAndJustAboveIsRefused) {
    EXPECT_EQ(outcome(al::test::constantRecord(2.0, 2000, 48'000).image()), "(ok)");
    EXPECT_EQ(outcome(al::test::constantRecord(-2.0, 2000, 48'000).image()), "(ok)");
    EXPECT_EQ(outcome(al::test::constantRecord(2.0000001, 2000, 48'000).image()), "Modulation input out of range");
}

TEST_F(AurSourceTest, FramesMustBeSequential) {
    AurSource source(save(tone()), 64, control(), 0);
    auto message = [&](std::uint64_t i) -> std::string {
        try {
            source.readFrame(i);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(ok)";
    };
    EXPECT_EQ(message(1), "AUR source requires sequential frames");
    EXPECT_EQ(message(0), "(ok)");
    EXPECT_EQ(message(0), "AUR source requires sequential frames");
    EXPECT_EQ(message(2), "AUR source requires sequential frames");
    EXPECT_EQ(message(1), "(ok)");
    for (std::uint64_t i = 2; i < source.info().frameCount; ++i) ASSERT_EQ(message(i), "(ok)");
    EXPECT_EQ(message(source.info().frameCount), "AUR source requires sequential frames");
}

TEST_F(AurSourceTest, ZeroRecordGives0x99AndTheTailFollowsTheIdlePattern) {
    // 1001 frames at 48 kHz: 58,858.8 DSD64 samples, so 58,859 and a last
    // frame with 11 modulated bits and 5 idle ones.
    AurSource source(save(al::test::constantRecord(0.0, 1001, 48'000).image()), 64, control(), 0);
    ASSERT_EQ(source.info().sampleCount, 58'859u);
    const auto frames = al::test::readAll(source);
    ASSERT_EQ(frames.size(), 3679u);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_EQ(frames[i][0], 0x9999) << i;
        ASSERT_EQ(frames[i][1], 0x9999) << i;  // mono copied
    }
    // Bits 58,848 .. 58,858 continue 1001 1001 100, then 0x6969's last five bits 01001.
    EXPECT_EQ(frames.back()[0], 0b1001100110001001);
    EXPECT_EQ(frames.back()[1], frames.back()[0]);
}

TEST_F(AurSourceTest, MonoCopiesAndStereoChannelsDiffer) {
    AurSource mono(save(tone(1), "m.aur"), 64, control(), 0);
    for (const auto& f : al::test::readAll(mono)) ASSERT_EQ(f[0], f[1]);
    AurSource stereo(save(tone(2), "s.aur"), 64, control(), 0);
    int differing = 0;
    for (const auto& f : al::test::readAll(stereo)) differing += f[0] != f[1] ? 1 : 0;
    EXPECT_GT(differing, 100);
}

// The same record through the record source and through the playback
// source: the same curves at the same instants through the same modulator.
// 44.1 kHz keeps every block boundary on a DSD sample (65,536 per block).
TEST_F(AurSourceTest, SameBitsAsWaveformDsdOverTheSameRecord) {
    for (bool cutoff : {false, true}) {
        const auto path = save(al::test::toneRecord(2, 5000, 44'100, 0.7, 3000.0).image(), "x.aur");
        AurSource record(path, 64, control(cutoff), 0);
        al::audio::WaveformDsd waveform(al::playback::createPlaybackSource(path), 64, cutoff);
        ASSERT_EQ(record.info().sampleCount, waveform.info().sampleCount);
        const auto a = al::test::readAll(record);
        const auto b = al::test::readAll(waveform);
        ASSERT_EQ(a.size(), b.size());
        std::size_t firstDiff = a.size();
        for (std::size_t i = 0; i < a.size() && firstDiff == a.size(); ++i) {
            if (a[i] != b[i]) firstDiff = i;
        }
        EXPECT_EQ(firstDiff, a.size()) << "cutoff " << cutoff;
    }
}

// Where the two paths part: the track length. The record path takes the
// DSD index of the duration (up to the next sample unless within 2^-46),
// the playback path rounds to the nearest; every common frame is the same.
TEST_F(AurSourceTest, WaveformDsdDiffersOnlyInTheLengthOfAnUnalignedTrack) {
    const auto path = save(al::test::toneRecord(2, 1003, 48'000, 0.7, 3000.0).image(), "u.aur");
    AurSource record(path, 64, control(), 0);
    al::audio::WaveformDsd waveform(al::playback::createPlaybackSource(path), 64, false);
    EXPECT_EQ(record.info().sampleCount, 58'977u);  // 58,976.4 rounded up
    EXPECT_EQ(waveform.info().sampleCount, 58'976u);
    const auto a = al::test::readAll(record);
    const auto b = al::test::readAll(waveform);
    ASSERT_EQ(a.size(), b.size() + 1);
    for (std::size_t i = 0; i < b.size(); ++i) ASSERT_EQ(a[i], b[i]) << i;
}

// And where they could: a block boundary a rounding after a DSD instant.
// The record path gives that instant to the later block (its index rounds
// onto it), the playback path evaluates it in the chunk that owns the time,
// the earlier one, whose curve there need not have the same bits.
TEST_F(AurSourceTest, BoundaryJustAfterAnInstantBelongsToDifferentBlocks) {
    Image image = al::test::toneRecord(1, 2048, 44'100).image();
    const auto at = al::test::blockOffsets(image);
    const double instant = 65'536.0 / 2'822'400.0;
    const double later = std::nextafter(instant, 1.0);
    poke(image, at[0] + al::test::kBlockEndAt, later);
    poke(image, at[1] + al::test::kBlockStartAt, later);
    for (std::size_t b : at) al::test::fixCrc(image, b);
    const auto path = save(image);
    AurSource record(path, 64, control(), 0);
    EXPECT_EQ(record.blocks(0)[1].firstSample, 65'536u);
    EXPECT_EQ(al::playback::createPlaybackSource(path)->chunkIndexAt(instant), 0u);
}

TEST_F(AurSourceTest, CutoffIsLatchedAndChangesTheBits) {
    const auto path = save(al::test::toneRecord(1, 3000, 48'000, 0.5, 20'000.0).image());
    AurSource off(path, 64, control(false), 0);
    AurSource on(path, 64, control(true), 0);
    EXPECT_NE(al::test::readAll(off), al::test::readAll(on));
}

TEST_F(AurSourceTest, DestructionNeverWaitsForFullConveyors) {
    // 10 s of stereo at DSD256: far more than the conveyors hold at once.
    const auto path = save(al::test::toneRecord(2, 48'000 * 10, 48'000).image());
    for (int reads : {0, 1, 5000}) {
        AurSource source(path, 256, control(), 0);
        for (int i = 0; i < reads; ++i) source.readFrame(static_cast<std::uint64_t>(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Dropped right after construction, before anything ran.
    for (int i = 0; i < 5; ++i) AurSource(path, 2048, control(), 0);
}

TEST(WorkerPoolTest, RunsJobsInOrderAndRefusesAfterStop) {
    std::vector<std::size_t> started;
    std::mutex m;
    morrow::dsd::WorkerPool pool(2, [&](std::size_t k) {
        std::lock_guard<std::mutex> lock(m);
        started.push_back(k);
    });
    std::vector<std::future<int>> results;
    for (int i = 0; i < 50; ++i) results.push_back(pool.submit([i] { return i * i; }));
    auto failing = pool.submit([]() -> int { throw std::runtime_error("job failed"); });
    for (int i = 0; i < 50; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), i * i);
    EXPECT_THROW(failing.get(), std::runtime_error);
    pool.stop();
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<std::size_t>{0, 1}));
    try {
        pool.submit([] { return 0; });
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Worker pool stopped");
    }
    EXPECT_THROW(morrow::dsd::WorkerPool(0, {}), std::invalid_argument);
}

TEST(WorkerPoolTest, JobsQueuedBeforeStopStillRun) {
    std::atomic<int> ran{0};
    {
        morrow::dsd::WorkerPool pool(1, {});
        for (int i = 0; i < 20; ++i) pool.submit([&] { ran++; });
        pool.stop();
    }
    EXPECT_EQ(ran.load(), 20);
}

}  // namespace
