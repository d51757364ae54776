// Adaptive buffering: growth after underruns and near-miss windows, the
// cool-down, the ceiling, suspension when the endpoint does not grant more
// or refuses the request, and the statistics text.

#include <gtest/gtest.h>

#include <fstream>

#include "PlayerFakes.h"

namespace al::app {
namespace {

using test::PlayerHarness;

class BufferingTest : public ::testing::Test {
  protected:
    PlayerWindow& playing() {
        PlayerWindow& window = h.makeWithSource();
        window.TogglePlay();
        h.view.takeStatuses();
        return window;
    }
    // Near misses as the render thread counts them.
    void nearMisses(std::uint64_t count) { h.output->stats.nearMissCount = count; }
    // A tick, then the posted growth request handled as the window would.
    void tickAndGrow() {
        h.advanceMs(16);
        h.window->Tick();
        if (h.view.growthPosts > handled_) {
            handled_ = h.view.growthPosts;
            h.window->GrowEndpointBuffer();
        }
    }
    PlayerHarness h;
    int handled_ = 0;
};

TEST_F(BufferingTest, TwoNearMissesInAWindowGrowByOneStepAtTheSameFormatAndPosition) {
    PlayerWindow& window = playing();
    window.lattice()->seekToFrame(2400);
    nearMisses(1);
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 0);
    h.advanceMs(1500);
    nearMisses(2);
    tickAndGrow();
    ASSERT_EQ(h.view.growthPosts, 1);
    EXPECT_EQ(window.currentBufferMs(), 6.0);
    EXPECT_EQ(h.output->requestedBufferMs.back(), 6.0);
    EXPECT_EQ(h.output->initializedRates.back(), 96000u);  // same exact format
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_TRUE(h.output->running);
    EXPECT_EQ(h.view.takeStatuses(),
              (std::vector<std::string>{"Increasing the endpoint buffer from 5.0 ms to 6.0 ms: "
                                        "deadline margin below safety target.",
                                        "Adaptive buffer increased to 6.0 ms actual (deadline "
                                        "margin below safety target). Playback head "
                                        "preserved."}));
    // Same position (frame 2400 at 96 kHz).
    EXPECT_EQ(window.lattice()->pendingSeek(), 2400);
}

TEST_F(BufferingTest, AGrowthRequestStillQueuedWhenStopOrPauseArrivesIsDropped) {
    for (const bool stop : {true, false}) {
        PlayerHarness local;
        PlayerWindow& window = local.makeWithSource();
        window.TogglePlay();
        window.lattice()->seekToFrame(2400);
        local.output->stats.nearMissCount = 1;
        local.advanceMs(16);
        window.Tick();
        local.advanceMs(1500);
        local.output->stats.nearMissCount = 2;
        local.advanceMs(16);
        window.Tick();
        ASSERT_EQ(local.view.growthPosts, 1);
        if (stop) {
            window.Stop();
        } else {
            window.TogglePlay();
        }
        const std::vector<std::string> held = local.view.takeStatuses();
        ASSERT_FALSE(held.empty());
        window.GrowEndpointBuffer();  // the queued request, handled late
        EXPECT_EQ(window.currentBufferMs(), 5.0);
        EXPECT_TRUE(local.view.takeStatuses().empty());
        EXPECT_FALSE(local.output->running);
        EXPECT_EQ(window.lattice()->pendingSeek(), stop ? 0 : 2400);
    }
}

TEST_F(BufferingTest, NearMissesInDifferentWindowsNeverGrow) {
    playing();
    for (std::uint64_t k = 1; k <= 5; ++k) {
        h.advanceMs(2100);
        nearMisses(k);
        tickAndGrow();
    }
    EXPECT_EQ(h.view.growthPosts, 0);
}

TEST_F(BufferingTest, GrowthThenTheCoolDownWaits) {
    PlayerWindow& window = playing();
    ASSERT_EQ(window.lattice()->missingFrames(), 0u);
    EXPECT_EQ(window.currentBufferMs(), 5.0);
    // With nothing new, nothing happens.
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 0);
    nearMisses(2);
    tickAndGrow();
    EXPECT_EQ(window.currentBufferMs(), 6.0);
    // Within the two-second cool-down nothing is requested.
    nearMisses(2);
    tickAndGrow();
    h.advanceMs(1900);
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 1);
    h.advanceMs(200);
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 2);
    EXPECT_EQ(window.currentBufferMs(), 7.0);
}

TEST_F(BufferingTest, StopsAtTheCeilingAndNotWhenAdaptiveIsOff) {
    {
        std::ofstream ini(h.dir / "AuralithPlayer.ini");
        ini << "[Audio]\nbuffer_ms = 18\nbuffer_step_ms = 1.5\n";
    }
    PlayerWindow& window = playing();
    EXPECT_EQ(h.output->requestedBufferMs.back(), 18.0);
    nearMisses(2);
    tickAndGrow();
    EXPECT_EQ(window.currentBufferMs(), 19.5);
    h.advanceMs(2100);
    nearMisses(2);
    tickAndGrow();
    EXPECT_EQ(window.currentBufferMs(), 20.0);  // min(step, max)
    h.advanceMs(2100);
    nearMisses(4);
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 2);

    PlayerHarness off;
    {
        std::ofstream ini(off.dir / "AuralithPlayer.ini");
        ini << "[Audio]\nadaptive_buffer = off\n";
    }
    PlayerWindow& still = off.makeWithSource();
    still.TogglePlay();
    off.output->stats.nearMissCount = 10;
    off.tickFor(100);
    EXPECT_EQ(off.view.growthPosts, 0);
}

TEST_F(BufferingTest, EndpointThatDoesNotGrowSuspendsUntilRefresh) {
    h.output->grantCapMs = 5.0;
    PlayerWindow& window = playing();
    nearMisses(2);
    tickAndGrow();
    EXPECT_TRUE(window.growthSuspended());
    EXPECT_EQ(window.currentBufferMs(), 6.0);
    EXPECT_EQ(h.view.lastStatus(),
              "Endpoint retained 5.0 ms actual after a larger buffer request. Adaptive growth is "
              "suspended until "
              "Refresh or a new source.");
    h.advanceMs(3000);
    nearMisses(4);
    tickAndGrow();
    EXPECT_EQ(h.view.growthPosts, 1);

    // Refresh lifts the suspension but keeps the larger request.
    window.Stop();
    window.RefreshOutputs();
    EXPECT_FALSE(window.growthSuspended());
    EXPECT_EQ(window.currentBufferMs(), 6.0);
    EXPECT_EQ(h.output->requestedBufferMs.back(), 6.0);
}

TEST_F(BufferingTest, RejectedGrowthRestoresThePreviousStream) {
    h.output->refuseAboveMs = 5.0;
    PlayerWindow& window = playing();
    nearMisses(2);
    tickAndGrow();
    EXPECT_TRUE(window.growthSuspended());
    EXPECT_EQ(window.currentBufferMs(), 5.0);
    EXPECT_TRUE(h.output->running);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_EQ(window.disabledFormats(), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(h.view.lastStatus(),
              "Adaptive buffer increase was rejected; restored 5.0 ms actual. Further adaptive "
              "growth is suspended "
              "until Refresh or a new source. Initialize exact exclusive WASAPI format failed "
              "(HRESULT 0x88890008)");
}

TEST_F(BufferingTest, BusyDuringGrowthStopsWithoutDisablingFormats) {
    PlayerWindow& window = playing();
    h.output->busy = true;
    nearMisses(2);
    tickAndGrow();
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(window.chainStatus(), 2);
    EXPECT_EQ(h.view.lastStatus(),
              "Audio device unavailable: Studio DAC became busy during adaptive buffer "
              "reconfiguration. No exact "
              "formats were disabled.");
    EXPECT_EQ(h.view.questions.size(), 1u);
}

TEST_F(BufferingTest, StatisticsTextIsLaidOutExactly) {
    PlayerHarness fresh;
    fresh.make();
    EXPECT_EQ(fresh.window->statisticsText(),
              "Ready: \u2014  |  U: 0  |  Fail: 0  |  Buf: \u2014  |  Log: 0");
    fresh.window->RefreshStatisticsView();
    EXPECT_EQ(fresh.view.statistics, "Ready: \u2014  |  U: 0  |  Fail: 0\nBuf: \u2014  |  Log: 0");

    PlayerWindow& window = playing();
    h.output->stats.bufferDurationNs = 5'000'000;
    h.output->stats.maxDeadlineUseNs = 3'260'000;
    h.output->stats.lastThroughputBytesPerSecond = 1'234'567'890;
    window.setLogLevel(2);
    window.RefreshStatisticsView();
    const std::string& text = h.view.statistics;
    ASSERT_EQ(text.rfind("Ready: ", 0), 0u);
    const std::size_t line = text.find('\n');
    ASSERT_NE(line, std::string::npos);
    EXPECT_NE(text.find("  |  U: 0  |  Fail: 0  |  Mdrop: 0\n"), std::string::npos);
    EXPECT_EQ(text.substr(line),
              "\nBuf: 5.0 ms  |  Worst: 3.3 ms  |  Margin: 1.7 ms  |  Fill: 1.23 GB/s  |  Log: 2");
    h.output->stats.maxDeadlineUseNs = 7'000'000;
    h.output->stats.lastThroughputBytesPerSecond = 98'760'000;
    window.RefreshStatisticsView();
    EXPECT_EQ(h.view.statistics.substr(h.view.statistics.find('\n')),
              "\nBuf: 5.0 ms  |  Worst: 7.0 ms  |  Margin: 0.0 ms  |  Fill: 98.8 MB/s  |  Log: 2");

    window.ToggleStatisticsView();
    EXPECT_TRUE(h.view.statisticsViewShown);
    EXPECT_EQ(h.view.lastStatus(),
              "Engineering buffering statistics. Alt+F12 returns to the player.");
    window.ToggleStatisticsView();
    EXPECT_EQ(h.view.lastStatus(), "Player view. Alt+F12 opens buffering statistics.");
}

}  // namespace
}  // namespace al::app
