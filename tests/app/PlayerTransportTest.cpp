// The transport of the player window: every transition with its status text,
// hold and confirmation with a slow output, the stylus return and lowering
// timing, the loop restart, and the first-run volume safety.

#include <gtest/gtest.h>

#include "PlayerFakes.h"

namespace al::app {
namespace {

using test::PlayerHarness;

const char* const kPlaying = "WASAPI Exclusive playback at exact contract 96000 Hz / 32-bit Float.";

class TransportTest : public ::testing::Test {
  protected:
    PlayerWindow& start() {
        PlayerWindow& window = h.makeWithSource();
        h.view.takeStatuses();
        window.TogglePlay();
        return window;
    }
    PlayerHarness h;
};

TEST_F(TransportTest, PlayPauseStopWithTheirTexts) {
    PlayerWindow& window = start();
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_EQ(h.view.lastStatus(), kPlaying);
    EXPECT_EQ(h.view.playCaption, "Pause");
    EXPECT_FALSE(window.lattice()->hold());

    window.TogglePlay();  // pause, confirmed at once by a prompt output
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    EXPECT_EQ(h.view.takeStatuses(),
              (std::vector<std::string>{
                  kPlaying, "Pause requested. Output held immediately at the current position.",
                  "Paused. Exact output chain remains initialized."}));
    EXPECT_TRUE(window.lattice()->hold());
    EXPECT_TRUE(h.output->initialised);

    window.lattice()->seekToFrame(1000);
    window.Stop();
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.takeStatuses(),
              (std::vector<std::string>{
                  "Stop requested. Output held immediately; returning the playback head to zero.",
                  "Stopped. Playback head returned to zero; output chain retained."}));
    EXPECT_EQ(window.lattice()->pendingSeek(), 0);
    EXPECT_TRUE(h.output->initialised);  // chain retained

    const int starts = h.output->starts;
    const std::size_t inits = h.output->initializedRates.size();
    window.TogglePlay();  // Play from zero without reinitialising
    EXPECT_EQ(h.output->starts, starts + 1);
    EXPECT_EQ(h.output->initializedRates.size(), inits);
    EXPECT_EQ(h.view.lastStatus(), kPlaying);
}

TEST_F(TransportTest, HoldWaitsForASlowOutput) {
    h.output->slowPause = true;
    PlayerWindow& window = start();
    window.TogglePlay();
    EXPECT_EQ(window.holdRequest(), HoldRequest::Pause);
    EXPECT_EQ(window.transportState(), TransportState::Paused);  // at once, before confirmation
    EXPECT_EQ(h.view.lastStatus(),
              "Pause requested. Output held immediately at the current position.");
    EXPECT_FALSE(h.view.controls.play);

    // A third press while the pause is pending does nothing.
    window.TogglePlay();
    EXPECT_EQ(h.output->starts, 1);
    EXPECT_EQ(window.holdRequest(), HoldRequest::Pause);

    // Stop overrides a pending pause; a second Stop is ignored.
    window.Stop();
    EXPECT_EQ(window.holdRequest(), HoldRequest::Stop);
    EXPECT_EQ(h.view.lastStatus(),
              "Stop requested. Output held immediately; returning the playback head to zero.");
    const int requests = h.output->pauseRequests;
    window.Stop();
    EXPECT_EQ(h.output->pauseRequests, requests);

    h.tickFor(50);
    EXPECT_EQ(window.holdRequest(), HoldRequest::Stop);
    h.output->running = false;  // the render thread confirms
    h.tickFor(16);
    EXPECT_EQ(window.holdRequest(), HoldRequest::None);
    EXPECT_EQ(h.view.lastStatus(),
              "Stopped. Playback head returned to zero; output chain retained.");
    EXPECT_EQ(h.view.playCaption, "Play");
    EXPECT_TRUE(h.view.controls.play);
}

TEST_F(TransportTest, EndOfMaterialReturnsTheStylusAndParks) {
    PlayerWindow& window = start();
    h.view.takeStatuses();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    EXPECT_TRUE(window.stylusReturning());
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.takeStatuses(),
              std::vector<std::string>{"Playback complete. Stylus lifted; returning to zero."});

    // Smoothstep over 2.4 s: half way at 1.2 s.
    h.advanceMs(1200 - 16);
    window.Tick();
    EXPECT_NEAR(window.tonearmPosition(), 0.5, 0.02);
    h.advanceMs(1199 - 1184 + 1200);  // 2.399 s after the lift
    window.Tick();
    EXPECT_TRUE(window.stylusReturning());
    EXPECT_GT(window.tonearmPosition(), 0.0);
    h.advanceMs(1);
    window.Tick();
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(window.tonearmPosition(), 0.0);
    EXPECT_EQ(h.view.takeStatuses(),
              std::vector<std::string>{
                  "Playback complete. Stylus parked at zero; output chain retained."});
    EXPECT_TRUE(h.output->initialised);
    EXPECT_EQ(window.lattice()->pendingSeek() <= 0 ? 0u : 1u, 0u);
}

TEST_F(TransportTest, LoopRestartsThroughTheReturnAndLowering) {
    PlayerWindow& window = start();
    window.ToggleLoop();
    EXPECT_EQ(h.view.loopCaption, "Loop: On");
    EXPECT_FALSE(window.lattice()->loopAhead());
    h.view.takeStatuses();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    EXPECT_EQ(h.view.lastStatus(),
              "Playback complete. Stylus lifted; returning to zero before the loop restarts.");
    h.advanceMs(2400);
    window.Tick();
    EXPECT_TRUE(window.stylusLowering());
    EXPECT_EQ(h.view.lastStatus(), "Stylus returned to zero and is lowering for loop playback.");
    const int starts = h.output->starts;
    h.advanceMs(349);
    window.Tick();
    EXPECT_EQ(h.output->starts, starts);
    h.advanceMs(1);
    window.Tick();
    EXPECT_EQ(h.output->starts, starts + 1);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(h.view.lastStatus(), "Stylus lowered. Loop playback restarted from zero.");
    EXPECT_EQ(h.view.playCaption, "Pause");
}

TEST_F(TransportTest, LoopSwitchedDuringReturnOrLowering) {
    PlayerWindow& window = start();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    window.ToggleLoop();  // on during the return: ends in a lowering
    h.advanceMs(2400);
    window.Tick();
    EXPECT_EQ(h.view.lastStatus(), "Stylus returned to zero and is lowering for loop playback.");
    window.ToggleLoop();  // off while lowering: cancelled at once
    window.Tick();
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.lastStatus(), "Loop cancelled. Stylus parked at zero; output chain retained.");
}

TEST_F(TransportTest, NeedleLiftAndPlayDuringTheReturn) {
    PlayerWindow& window = start();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    window.NeedleLift(true);  // returning, not lowering: up does nothing
    EXPECT_TRUE(window.stylusReturning());
    window.HoldStylusUp();
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(h.view.lastStatus(), "Stylus held up. Playback remains stopped.");

    // Play during a return cancels it and starts from zero at once.
    window.TogglePlay();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    ASSERT_TRUE(window.stylusReturning());
    const int starts = h.output->starts;
    window.NeedleLift(false);
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(h.output->starts, starts + 1);
    EXPECT_EQ(window.transportState(), TransportState::Playing);

    // Lowering with the lever up parks the stylus.
    window.ToggleLoop();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    h.advanceMs(2400);
    window.Tick();
    ASSERT_TRUE(window.stylusLowering());
    window.NeedleLift(true);
    EXPECT_FALSE(window.stylusReturning());
    EXPECT_EQ(h.view.lastStatus(), "Needle Lift held Up. Stylus parked at zero.");
}

TEST_F(TransportTest, RenderErrorsWhilePlayingAreShownOnce) {
    PlayerWindow& window = start();
    window.lattice()->seekToFrame(2400);
    h.output->running = false;
    h.output->initialised = false;
    h.output->error = "WASAPI render event timed out";
    window.Tick();
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.lastStatus(),
              "Audio error; playback head preserved: WASAPI render event timed out");
    EXPECT_EQ(window.lattice()->pendingSeek(), 2400);
    h.view.takeStatuses();
    window.Tick();
    EXPECT_TRUE(h.view.statuses.empty());

    // The next Play finds the output uninitialised and reopens the chain.
    h.output->error.clear();
    window.TogglePlay();
    EXPECT_TRUE(h.output->initialised);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
}

TEST_F(TransportTest, PlayAtTheEndStartsFromZero) {
    PlayerWindow& window = h.makeWithSource();
    window.SeekToFraction(1.0);
    EXPECT_EQ(window.lattice()->pendingSeek(),
              static_cast<std::int64_t>(window.lattice()->totalFrames()));
    window.TogglePlay();
    EXPECT_EQ(window.lattice()->pendingSeek(), 0);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
}

TEST_F(TransportTest, FailedStartLeavesTheLatticeHeld) {
    PlayerWindow& window = h.makeWithSource();
    h.output->startThrows = true;
    EXPECT_FALSE(window.Execute([&] { window.TogglePlay(); }));
    EXPECT_TRUE(window.lattice()->hold() || h.output->starts == 0);
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.lastStatus(), "Timed out while starting the initialized WASAPI chain");
    EXPECT_EQ(h.view.messages.back(),
              "Auralith Player: Timed out while starting the initialized WASAPI chain");
}

TEST_F(TransportTest, FirstRunVolumeSafetyAndStreamerAreWrittenOnce) {
    PlayerWindow& window = h.makeWithSource();
    EXPECT_TRUE(window.firstRunVolumePending());
    EXPECT_FALSE(window.streamerRemoved());
    // Applied each time the endpoint was attached while the safety is pending.
    ASSERT_FALSE(h.volume->sets.empty());
    EXPECT_TRUE(std::all_of(h.volume->sets.begin(), h.volume->sets.end(),
                            [](float v) { return v == 0.1f; }));
    window.TogglePlay();
    EXPECT_FALSE(window.firstRunVolumePending());
    EXPECT_TRUE(window.streamerRemoved());
    EXPECT_TRUE(window.BuildFaceplateState().streamerShown);  // removal animation runs
    h.advanceMs(559);
    window.Tick();
    EXPECT_TRUE(window.BuildFaceplateState().streamerShown);
    h.advanceMs(16);
    window.Tick();
    EXPECT_FALSE(window.BuildFaceplateState().streamerShown);

    // Both keys are in the state file; a new window reads them back and does
    // not touch the volume again.
    PlayerSettings reread(h.files());
    reread.LoadSettings();
    EXPECT_TRUE(reread.streamerRemoved());
    EXPECT_FALSE(reread.firstRunVolumePending());
    h.volume->sets.clear();
    h.window.reset();
    test::RecordingView second;
    PlayerWindow again(second, h.files(), h.services());
    again.Create();
    EXPECT_TRUE(h.volume->sets.empty());
    EXPECT_FALSE(again.BuildFaceplateState().streamerShown);
}

TEST_F(TransportTest, FirstRunVolumeSafetyBlocksPlaybackWhenItCannotBeApplied) {
    h.volume->openThrows = true;
    PlayerWindow& window = h.makeWithSource();
    EXPECT_TRUE(window.firstRunVolumeFailed());
    EXPECT_NE(std::find(h.view.statuses.begin(), h.view.statuses.end(),
                        "First-run volume safety could not set the endpoint to 10%. Playback is "
                        "blocked until the "
                        "endpoint can be controlled."),
              h.view.statuses.end());
    h.view.takeStatuses();
    window.HandleCommand(command::kPlay);
    const std::string blocked =
        "First-run hardware volume safety could not be applied. Playback is blocked rather than "
        "starting at an "
        "unknown level.";
    EXPECT_EQ(h.view.lastStatus(), blocked);
    EXPECT_EQ(h.view.messages.back(), "Auralith Player: " + blocked);
    EXPECT_EQ(h.output->starts, 0);
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_FALSE(window.streamerRemoved());

    // Once the endpoint can be controlled again the safety applies and Play works.
    h.volume->openThrows = false;
    window.RefreshVolumeControl();
    window.TogglePlay();
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_EQ(h.volume->sets.back(), 0.1f);
}

TEST_F(TransportTest, UserVolumeChangeEndsTheFirstRunSafety) {
    PlayerWindow& window = h.makeWithSource();
    window.StepVolume(0.025);
    EXPECT_FALSE(window.firstRunVolumePending());
    h.tickFor(64);
    EXPECT_NEAR(h.volume->level, 0.125f, 1e-4);
}

TEST_F(TransportTest, OpenMusicResetsTheTransport) {
    PlayerWindow& window = start();
    window.ToggleMute();
    h.view.takeStatuses();
    window.OpenMusic(h.dir / "short.aur");
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(window.holdRequest(), HoldRequest::None);
    EXPECT_EQ(h.view.playCaption, "Play");
    EXPECT_TRUE(window.lattice()->muted());
    EXPECT_FALSE(window.lattice()->loopAhead());
    EXPECT_EQ(h.view.lastStatus(),
              "Record ready. 9610 control points; Playback chain initialized at 96000 Hz / 32-bit Float \u2014 WASAPI "
              "Exclusive.");
}

// DSD: the first Play prepares, a second cancels, and a Play while the
// cancelled engine winds down is refused.
TEST_F(TransportTest, DsdPreparationCancelAndRefusal) {
    PlayerWindow& window = h.makeWithSource();
    ASSERT_TRUE(window.ApplyDsdOption(command::kDsdRateFirst + 1));
    EXPECT_TRUE(window.dsdSelected());
    EXPECT_EQ(window.dsdMultiple(), 128u);
    EXPECT_FALSE(h.output->initialised);
    EXPECT_EQ(h.view.lastStatus(),
              "DSD selected. Press Play to prepare the complete track. Unsupported device rates "
              "will report an error.");

    window.TogglePlay();
    ASSERT_EQ(h.dsdEngines.size(), 1u);
    EXPECT_EQ(h.dsdEngines[0]->options.dsdMultiple, 128);
    EXPECT_EQ(h.dsdEngines[0]->options.endpointId, u"card");
    EXPECT_TRUE(h.dsdEngines[0]->playing);
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    EXPECT_EQ(h.view.lastStatus(),
              "Preparing the complete DSD track in RAM. Play or Stop cancels preparation.");
    h.dsdEngines[0]->status.progress = 0.25;
    h.dsdEngines[0]->status.memoryBytes = 3 * 1048576;
    window.Tick();
    EXPECT_EQ(h.view.playCaption, "Cancel preparation");
    EXPECT_EQ(h.view.lastStatus(),
              "PLEASE WAIT \u2014 Preparing DSD128 (~5.6448 MHz, 1-bit): 25.0% | 3.0 MiB in RAM. "
              "Play or Stop cancels.");
    const FaceplateState face = window.BuildFaceplateState();
    EXPECT_EQ(face.playCaption, "Cancel");
    EXPECT_EQ(face.readyText, "PLEASE WAIT");
    EXPECT_EQ(face.hintText, "Preparing 25% in RAM");

    window.TogglePlay();
    EXPECT_TRUE(h.dsdEngines[0]->cancelled);
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(h.view.lastStatus(), "Cancelling DSD preparation...");
    window.TogglePlay();
    EXPECT_EQ(h.dsdEngines.size(), 1u);
    EXPECT_EQ(h.view.lastStatus(),
              "Previous DSD preparation is cancelling. Please wait, then press Play.");

    h.dsdEngines[0]->finished = true;
    window.TogglePlay();
    EXPECT_EQ(h.dsdEngines.size(), 2u);

    // Ready after preparation: the mirror shows the prepared track and Playing.
    h.dsdEngines[1]->status.state = audio::DsdEngineState::Playing;
    h.dsdEngines[1]->status.position = 0.05;
    window.Tick();
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_EQ(h.view.lastStatus(),
              "DSD128 (~5.6448 MHz, 1-bit) | whole track prepared | 0.1 / 0.1 s");
    EXPECT_EQ(h.view.labels.time, "0 / 0 s");
    EXPECT_EQ(h.view.labels.playingAt, "Playing At: DSD128 (~5.6448 MHz, 1-bit)");
    EXPECT_EQ(window.statisticsText(),
              "DSD output selected. PCM buffering statistics are inactive.\nAlt+F12 returns to the "
              "player.");

    // A failure is shown once, with its box.
    h.dsdEngines[1]->status.state = audio::DsdEngineState::Failed;
    h.dsdEngines[1]->status.failureText = "Output rate mismatch";
    window.Tick();
    window.Tick();
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(std::count(h.view.messages.begin(), h.view.messages.end(),
                         "Auralith DSD output: DSD: Output rate mismatch"),
              1);
}

TEST_F(TransportTest, DsdRateStepsAndOptions) {
    PlayerWindow& window = h.makeWithSource();
    window.ApplyDsdOption(command::kDsdDop);
    EXPECT_EQ(window.DsdRateLabel(), "DSD64 (~2.8224 MHz, 1-bit)");
    window.StepFormat(-1);
    EXPECT_EQ(window.dsdMultiple(), 64u);  // clamped
    for (int i = 0; i < 6; ++i) {
        window.StepFormat(+1);
    }
    EXPECT_EQ(window.dsdMultiple(), 2048u);
    EXPECT_EQ(window.DsdRateLabel(), "DSD2048 (~90.3168 MHz, 1-bit)");
    EXPECT_FALSE(h.view.controls.stepUp);
    EXPECT_TRUE(h.view.controls.stepDown);
    // The cutoff alone also selects DSD output and stops the PCM chain.
    window.ShowFormatMenu();  // dismissed
    h.view.menuChoice = command::kFormatMenuFirst + 2;
    window.ShowFormatMenu();  // back to PCM at a format
    EXPECT_FALSE(window.dsdSelected());
    EXPECT_TRUE(window.ApplyDsdOption(command::kDsdCutoff));
    EXPECT_TRUE(window.dsdSelected());
    EXPECT_FALSE(h.output->initialised);
    EXPECT_FALSE(window.ApplyDsdOption(12345));
}

TEST_F(TransportTest, PcmReopensOnceCancelledEnginesHaveFinished) {
    PlayerWindow& window = h.makeWithSource();
    window.ApplyDsdOption(command::kDsdDop);
    window.TogglePlay();  // preparing
    ASSERT_EQ(h.dsdEngines.size(), 1u);
    h.view.menuChoice = command::kFormatMenuFirst + 1;
    window.ShowFormatMenu();  // back to PCM while the engine winds down
    EXPECT_FALSE(window.dsdSelected());
    EXPECT_TRUE(h.dsdEngines[0]->cancelled);
    EXPECT_EQ(h.view.lastStatus(), "Closing the DSD output before opening PCM...");
    EXPECT_FALSE(h.output->initialised);
    window.TogglePlay();
    EXPECT_EQ(h.view.lastStatus(), "DSD preparation is cancelling. Please wait, then press Play.");
    h.tickFor(32);
    EXPECT_FALSE(h.output->initialised);
    h.dsdEngines[0]->finished = true;
    h.tickFor(16);
    EXPECT_EQ(window.cancellingEngineCount(), 0u);
    EXPECT_TRUE(h.output->initialised);
    EXPECT_EQ(window.selectedFormat(), 1);
    EXPECT_EQ(h.output->initializedRates.back(), 48000u);
}

}  // namespace
}  // namespace al::app
