// The player window over the real exact output and the virtual output in
// real time: injected late events grow the endpoint buffer step by step at
// the same exact format, and an endpoint that does not grow suspends growth.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "PlayerFakes.h"
#include "app/DsdEnginePlayback.h"
#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"
#include "output/VirtualEndpointScope.h"
#include "support/WaveFiles.h"

namespace al::app {
namespace {

struct RealTimeRun {
    explicit RealTimeRun(audio::VirtualOutputConfig config, const std::string& name = "tone.aur")
        : scope(std::move(config)) {
        const std::filesystem::path path = dir / name;
        if (path.extension() == ".wav") {
            std::vector<float> samples(48000 * 8 * 2);
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] = 0.25f * static_cast<float>(i % 97) / 97.0f;
            al::test::writeFloatWave(path, 2, 48000, samples);
        } else {
            audio::test::makeRecordSource(path, 48000, 2, 48000 * 8);
        }
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

// Another program truncating the file while it plays (a record read in
// place through its mapping, a WAVE read through a stream): playback stops
// with the reason instead of crashing or playing silence to the end, and the
// next Play is refused the same way rather than hanging.
TEST(PlayerVirtualOutputTest, FileTruncatedWhilePlayingStopsWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"tone.wav", "WAVE file changed on disk while open"},
        {"tone.aur", "Auralith record file changed on disk while open"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        audio::VirtualOutputConfig config = stereo48k();
        config.lateByNs = 0;
        RealTimeRun run(config, name);
        ASSERT_EQ(run.window->transportState(), TransportState::Playing) << run.view.lastStatus();
        run.runFor(std::chrono::milliseconds(200));
        std::error_code error;
        std::filesystem::resize_file(run.dir / name, 4096, error);
        if (error) {
            GTEST_SKIP() << "this platform refuses to shorten a mapped file";
        }
        const std::string expected = std::string("Audio error; playback head preserved: ") + reason;
        for (int tick = 0; tick < 600 && run.view.lastStatus() != expected; ++tick) {
            run.runFor(std::chrono::milliseconds(16));
        }
        EXPECT_EQ(run.view.lastStatus(), expected);
        EXPECT_EQ(run.window->transportState(), TransportState::Stopped);
        EXPECT_LT(run.window->positionSeconds(), 7.0);

        run.window->TogglePlay();
        run.runFor(std::chrono::milliseconds(100));
        EXPECT_EQ(run.window->transportState(), TransportState::Stopped);
        EXPECT_EQ(run.view.lastStatus(), expected);
    }
}

// Device faults while playing: each ends playback with the player's own
// message, the window stays usable, and once the device is back the next
// Play starts again.
TEST(PlayerVirtualOutputTest, DeviceFaultsStopWithTheirMessageAndPlayResumesOnceTheDeviceIsBack) {
    struct Fault {
        const char* name;
        void (*inject)(audio::VirtualOutputConfig&);
        const char* status;  // the start of the status line it ends with
    };
    const Fault faults[] = {
        {"events stop", [](audio::VirtualOutputConfig& c) { c.silentAfterEvents = 30; },
         "Audio error; playback head preserved: WASAPI render event timed out"},
        {"device removed", [](audio::VirtualOutputConfig& c) { c.invalidateAfterEvents = 30; },
         "Audio error; playback head preserved: "},  // then the failing step and its HRESULT
        {"reopen refused during growth",
         [](audio::VirtualOutputConfig& c) {
             c.lateByNs = 8'000'000;
             c.lateIntervalNs = 300'000'000;
             c.lateBurst = 2;
         },
         "Adaptive buffer reconfiguration failed and the prior stream could not be restored: "},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        audio::VirtualOutputConfig healthy = stereo48k();
        healthy.lateByNs = 0;
        audio::VirtualOutputConfig faulty = healthy;
        fault.inject(faulty);
        RealTimeRun run(faulty);
        ASSERT_EQ(run.window->transportState(), TransportState::Playing) << run.view.lastStatus();
        if (std::string(fault.name) == "reopen refused during growth") {
            // The stream that is playing keeps going; only a new one is refused.
            audio::VirtualOutputConfig refusing = faulty;
            refusing.refusedAtInitialize = refusing.acceptedFormats;
            run.scope.device().configure(refusing);
        }
        const std::string expected = fault.status;
        for (int tick = 0; tick < 400 && run.view.lastStatus().rfind(expected, 0) != 0; ++tick) {
            run.runFor(std::chrono::milliseconds(16));
        }
        ASSERT_EQ(run.view.lastStatus().rfind(expected, 0), 0u) << run.view.lastStatus();
        EXPECT_EQ(run.window->transportState(), TransportState::Stopped);
        // Preserved, not returned to zero; how far it got depends on when the
        // first late burst lands, which can be under a tenth of a second.
        const double head = run.window->positionSeconds();
        EXPECT_GT(head, 0.0);

        run.scope.device().configure(healthy);
        run.window->TogglePlay();
        ASSERT_EQ(run.window->transportState(), TransportState::Playing) << run.view.lastStatus();
        const auto played = run.scope.device().statistics().framesWritten;
        run.runFor(std::chrono::milliseconds(400));
        EXPECT_EQ(run.window->transportState(), TransportState::Playing) << run.view.lastStatus();
        EXPECT_GT(run.scope.device().statistics().framesWritten, played + 48000 / 10);
        EXPECT_GE(run.window->positionSeconds(), head);
    }
}

// DSD through the player itself: DSD64 chosen, Play prepares the whole
// record and plays it as DoP on the virtual output; the endpoint receives
// the record's own DSD bits (as the record's DSD source makes them) in
// frame order, with the DoP markers alternating across every frame sent.
TEST(PlayerVirtualOutputTest, DsdPlaysTheRecordsBitsAsDopToTheEnd) {
    audio::VirtualOutputConfig config;
    config.captureWrites = true;
    al::test::TempDir dir;
    audio::test::VirtualEndpointScope scope(config);
    const auto path = dir / "dsd.aur";
    audio::test::makeRecordSource(path, 48000, 2, 48000 / 2);
    test::RecordingView view;
    PlayerServices services = PlayerServices::Defaults();
    services.makeDsd = MakeDsdEnginePlayback;
    PlayerWindow window(view, PlayerSettings::Files{dir / "a.ini", dir / "s.ini", std::nullopt},
                        std::move(services));
    window.Create();
    window.OpenMusic(path);
    window.ApplyDsdOption(command::kDsdRateFirst);
    ASSERT_TRUE(window.dsdSelected());
    window.TogglePlay();
    bool ended = false;
    for (int tick = 0; tick < 1000 && !ended; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
        window.Tick();
        ended = view.lastStatus().rfind("Playback complete.", 0) == 0;
    }
    ASSERT_TRUE(ended) << view.lastStatus();

    morrow::dsd::AurSource reference(path, 64, std::make_shared<morrow::dsd::HiFreqControl>(false),
                                     0);
    const std::uint64_t frames = reference.info().frameCount;
    std::vector<std::array<std::uint16_t, 2>> expected(frames);
    for (std::uint64_t i = 0; i < frames; ++i)
        expected[i] = reference.readFrame(i);

    const std::vector<std::uint8_t> bytes = scope.device().captured();
    ASSERT_GE(bytes.size(), 16u);
    // 24-bit carriers: later byte, earlier byte, marker; 32-bit ones lead with a zero byte.
    const std::size_t carrier = (bytes[2] == 0x05 || bytes[2] == 0xFA) ? 3 : 4;
    const std::size_t frameBytes = 2 * carrier;
    ASSERT_EQ(bytes.size() % frameBytes, 0u);
    const std::size_t sent = bytes.size() / frameBytes;
    std::vector<std::array<std::uint16_t, 2>> words(sent);
    const std::uint8_t first = bytes[carrier - 1];
    for (std::size_t f = 0; f < sent; ++f) {
        const std::uint8_t* frame = &bytes[f * frameBytes];
        for (std::size_t c = 0; c < 2; ++c) {
            const std::uint8_t* sample = frame + c * carrier + (carrier - 3);
            ASSERT_EQ(sample[2], ((f % 2 == 0) == (first == 0x05)) ? 0x05 : 0xFA) << "frame " << f;
            words[f][c] = static_cast<std::uint16_t>((sample[1] << 8) | sample[0]);
        }
    }
    const auto start =
        std::search(words.begin(), words.end(), expected.begin(), expected.begin() + 64);
    ASSERT_NE(start, words.end()) << "the track's first frames never reached the endpoint";
    ASSERT_GE(static_cast<std::uint64_t>(words.end() - start), frames);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), start)) << "the track arrived altered";
}

}  // namespace
}  // namespace al::app
