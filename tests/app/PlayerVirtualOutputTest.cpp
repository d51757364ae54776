// The player window over the real exact output and the virtual output in
// real time: injected late events grow the endpoint buffer step by step at
// the same exact format, and an endpoint that does not grow suspends growth.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "PlayerFakes.h"
#include "output/VirtualEndpointScope.h"

namespace al::app {
namespace {

struct RealTimeRun {
    explicit RealTimeRun(audio::VirtualOutputConfig config) : scope(std::move(config)) {
        const std::filesystem::path path = dir / "tone.aur";
        audio::test::makeRecordSource(path, 48000, 2, 48000 * 8);
        window = std::make_unique<PlayerWindow>(
            view, PlayerSettings::Files{dir / "a.ini", dir / "s.ini", std::nullopt});
        window->Create();
        window->OpenMusic(path);
        window->TogglePlay();
    }
    ~RealTimeRun() { window.reset(); }

    // Ticks every 16 ms of wall-clock time, handling posted growth requests.
    void runFor(std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
            window->Tick();
            if (view.growthPosts > handled) {
                handled = view.growthPosts;
                window->GrowEndpointBuffer();
                grownTo.push_back(window->currentBufferMs());
            }
        }
    }

    al::test::TempDir dir;
    audio::test::VirtualEndpointScope scope;
    test::RecordingView view;
    std::unique_ptr<PlayerWindow> window;
    int handled = 0;
    std::vector<double> grownTo;
};

audio::VirtualOutputConfig stereo48k() {
    audio::VirtualOutputConfig config;
    config.acceptedFormats = {audio::VirtualFormat{48000, 2, 32, 32, true}};
    config.lateByNs = 8'000'000;
    config.lateIntervalNs = 500'000'000;
    config.lateBurst = 2;
    return config;
}

TEST(PlayerVirtualOutputTest, LateEventsGrowTheBufferInStepsAtTheSameFormat) {
    RealTimeRun run(stereo48k());
    ASSERT_EQ(run.window->transportState(), TransportState::Playing) << run.view.lastStatus();
    run.runFor(std::chrono::milliseconds(4700));
    ASSERT_GE(run.grownTo.size(), 2u) << run.view.lastStatus();
    EXPECT_EQ(run.grownTo[0], 6.0);
    EXPECT_EQ(run.grownTo[1], 7.0);
    EXPECT_EQ(run.window->transportState(), TransportState::Playing);
    EXPECT_TRUE(run.window->output().IsRunning());
    EXPECT_EQ(run.window->output().Statistics().bufferDurationNs,
              static_cast<std::uint64_t>(run.window->currentBufferMs() * 1e6 + 0.5));
    EXPECT_EQ(run.window->formats().size(), 1u);
    EXPECT_EQ(run.window->disabledFormats(), std::vector<bool>{false});
    EXPECT_FALSE(run.window->growthSuspended());
    EXPECT_GT(run.window->positionSeconds(), 3.0);  // kept its place through every reopen
}

TEST(PlayerVirtualOutputTest, EndpointThatDoesNotGrowSuspendsGrowth) {
    audio::VirtualOutputConfig config = stereo48k();
    config.maximumExclusiveBuffer = 50'000;
    RealTimeRun run(config);
    run.runFor(std::chrono::milliseconds(3000));
    ASSERT_EQ(run.grownTo.size(), 1u) << run.view.lastStatus();
    EXPECT_TRUE(run.window->growthSuspended());
    EXPECT_EQ(run.view.lastStatus(),
              "Endpoint retained 5.0 ms actual after a larger buffer request. Adaptive growth is "
              "suspended until "
              "Refresh or a new source.");
    EXPECT_EQ(run.window->transportState(), TransportState::Playing);
}

}  // namespace
}  // namespace al::app
