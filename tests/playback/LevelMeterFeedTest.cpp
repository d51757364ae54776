// The meter feed: display peaks, the clip lamp and its window, peaks carried
// over between unread snapshots, and the polling thread.
#include "playback/LevelMeterFeed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "StepSource.h"

namespace al::playback {
namespace {

constexpr std::int64_t kMs = 1'000'000;

struct Rig {
    explicit Rig(test::StepSource::Level level, std::uint16_t channels = 2)
        : lattice(test::stepSource(channels, 48000, 8 * 1024, std::move(level))), buffer(1024 * channels) {
        for (std::uint64_t c = 0; c < 8; ++c) {
            EXPECT_TRUE(lattice.surrogate().waitForChunk(c, 10'000));
        }
        feed.attach(&lattice);
    }
    ~Rig() { feed.detach(); }
    void pullChunk() { ASSERT_EQ(lattice.pull(buffer.data(), 1024), 1024u); }

    PlaybackLattice lattice;
    LevelMeterFeed feed;
    std::vector<double> buffer;
};

TEST(LevelMeterFeed, FullScaleLightsTheClipLampFor225Milliseconds) {
    // A square wave of exactly full scale: +1 and -1 in alternate chunks.
    Rig rig([](std::uint64_t c, auto) { return c % 2 == 0 ? 1.0 : -1.0; }, 1);
    rig.pullChunk();
    rig.pullChunk();
    rig.feed.pollNow(1000 * kMs);
    MeterSnapshot shot = rig.feed.takeSnapshot();
    EXPECT_EQ(shot.clip, 1);
    EXPECT_EQ(shot.peaks, (std::vector<float>{1.0F}));

    rig.feed.pollNow(1224 * kMs);
    shot = rig.feed.takeSnapshot();
    EXPECT_EQ(shot.clip, 1);
    EXPECT_EQ(shot.peaks, (std::vector<float>{0.0F}));  // nothing new was rendered
    rig.feed.pollNow(1225 * kMs);
    EXPECT_EQ(rig.feed.takeSnapshot().clip, 0);

    rig.pullChunk();
    rig.feed.pollNow(2000 * kMs);
    EXPECT_EQ(rig.feed.takeSnapshot().clip, 1);
}

TEST(LevelMeterFeed, JustBelowFullScaleNeverClips) {
    Rig rig([](auto, auto) { return 0.999; });
    for (int i = 0; i < 3; ++i) {
        rig.pullChunk();
        rig.feed.pollNow((i + 1) * 10 * kMs);
        const MeterSnapshot shot = rig.feed.takeSnapshot();
        EXPECT_EQ(shot.clip, 0);
        EXPECT_EQ(shot.peaks[0], 0.999F);
    }
}

TEST(LevelMeterFeed, OvershootDisplaysAsFour) {
    Rig rig([](auto, std::uint16_t k) { return k == 0 ? 6.0 : -0.25; });
    rig.pullChunk();
    rig.feed.pollNow(10 * kMs);
    const MeterSnapshot shot = rig.feed.takeSnapshot();
    EXPECT_EQ(shot.peaks, (std::vector<float>{4.0F, 0.25F}));
    EXPECT_EQ(shot.clip, 1);
    EXPECT_EQ(shot.sequence, 2u);  // attach published once, the poll once
}

TEST(LevelMeterFeed, UnreadPollsKeepTheirHighestPeak) {
    const double levels[] = {0.2, 0.7, 0.3, 0.1};
    Rig rig([&](std::uint64_t c, auto) { return levels[c % 4]; });
    for (int i = 0; i < 3; ++i) {
        rig.pullChunk();
        rig.feed.pollNow((i + 1) * 4 * kMs);
    }
    EXPECT_EQ(rig.feed.takeSnapshot().peaks[0], 0.7F);
    EXPECT_EQ(rig.feed.takeSnapshot().peaks[0], 0.0F);
    rig.feed.pollNow(20 * kMs);
    EXPECT_EQ(rig.feed.takeSnapshot().peaks[0], 0.0F);
    rig.pullChunk();
    rig.feed.pollNow(24 * kMs);
    EXPECT_EQ(rig.feed.takeSnapshot().peaks[0], 0.1F);
}

TEST(LevelMeterFeed, ClipStopsTakingPeakHoldsAtTheClippingChannel) {
    Rig rig([](auto, std::uint16_t k) { return k == 0 ? 1.0 : 0.5; });
    rig.pullChunk();
    rig.feed.pollNow(4 * kMs);
    // Channel 1's peak-hold is left for the next poll.
    EXPECT_EQ(rig.lattice.takePeak(1), 0.5);
    EXPECT_EQ(rig.lattice.takePeak(0), 0.0);
}

TEST(LevelMeterFeed, SeekWhileHeldShowsSilence) {
    Rig rig([](auto, auto) { return 0.5; });
    rig.pullChunk();
    rig.lattice.setHold(true);
    rig.lattice.seekToFrame(0);
    EXPECT_EQ(rig.lattice.pull(rig.buffer.data(), 1024), 0u);
    rig.feed.pollNow(4 * kMs);
    EXPECT_EQ(rig.feed.takeSnapshot().peaks, (std::vector<float>{0.0F, 0.0F}));
}

TEST(LevelMeterFeed, PollingThreadPublishesAndDetachClears) {
    Rig rig([](auto, auto) { return 0.5; });
    rig.feed.start();
    rig.feed.start();  // a second start does nothing
    rig.pullChunk();
    MeterSnapshot shot;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    float seen = 0.0F;
    while (seen == 0.0F && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        shot = rig.feed.takeSnapshot();
        seen = shot.peaks.empty() ? 0.0F : shot.peaks[0];
    }
    EXPECT_EQ(seen, 0.5F);
    rig.feed.detach();
    EXPECT_TRUE(rig.feed.takeSnapshot().peaks.empty());
    rig.feed.stop();
    EXPECT_EQ(LevelMeterFeed(10).periodUs(), 1000);
}

}  // namespace
}  // namespace al::playback
