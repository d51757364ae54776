// What the faceplate reads from the player window, and the text helpers.

#include <gtest/gtest.h>

#include "PlayerFakes.h"

namespace al::app {
namespace {

using test::PlayerHarness;

TEST(FaceplateStateTest, WithoutASource) {
    PlayerHarness h;
    h.endpoints.clear();
    PlayerWindow& window = h.make();
    const FaceplateState s = window.BuildFaceplateState();
    EXPECT_EQ(s.endpointText, "No playback endpoint");
    EXPECT_EQ(s.readyText, "Open an audio recording");
    EXPECT_EQ(s.hintText, "Choose a music recording");
    EXPECT_EQ(s.capturedText, "Captured At: \u2014");
    EXPECT_EQ(s.timeText, "0:00 / 0:00");
    EXPECT_EQ(s.playingAtText, "Playing At: \u2014");
    EXPECT_EQ(s.modeText, "WASAPI EXCLUSIVE");
    EXPECT_EQ(s.rateText, "\u2014");
    EXPECT_EQ(s.stylusState, 0);
    EXPECT_TRUE(s.streamerShown);
    EXPECT_FALSE(s.sourceLoaded);
}

TEST(FaceplateStateTest, RecordLoadedPlayingPausedAndReturning) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000 * 3);
    FaceplateState s = window.BuildFaceplateState();
    EXPECT_EQ(s.endpointText, "Studio DAC  (Default)");
    EXPECT_EQ(s.readyText, "Record ready");
    EXPECT_EQ(s.hintText, "Evaluate at 96000 Hz / 32-bit Float");
    EXPECT_EQ(s.capturedText, "Captured At: 48 kHz / 24-bit  \u2022  141 chunks");
    EXPECT_EQ(s.rateText, "96000 Hz");
    EXPECT_EQ(s.modeText, "WASAPI Exclusive");
    EXPECT_EQ(s.timeText, "0:00 / 0:03");
    EXPECT_EQ(s.stylusState, 0);
    EXPECT_TRUE(s.chainInitialised);
    EXPECT_FALSE(s.wavDirect);

    // The parked notice fades in while idle at zero.
    h.tickFor(400);
    EXPECT_FLOAT_EQ(window.BuildFaceplateState().parkedStrength, 1.0f);

    window.TogglePlay();
    s = window.BuildFaceplateState();
    EXPECT_EQ(s.stylusState, 2);
    EXPECT_EQ(s.playCaption, "Pause");
    EXPECT_EQ(s.parkedStrength, 0.0f);

    window.SeekToSeconds(1.5);
    window.TogglePlay();  // pause
    s = window.BuildFaceplateState();
    EXPECT_EQ(s.stylusState, 1);
    EXPECT_EQ(s.timeText, "0:01 / 0:03");
    EXPECT_NEAR(s.playFraction, 0.5, 1e-6);
    EXPECT_EQ(s.parkedStrength, 0.0f);

    // During the return the stylus follows the tonearm, not the position.
    window.TogglePlay();
    h.output->running = false;
    h.output->ended = true;
    h.tickFor(16);
    h.advanceMs(600);
    window.Tick();
    s = window.BuildFaceplateState();
    EXPECT_EQ(s.stylusState, 1);
    EXPECT_DOUBLE_EQ(s.playFraction, window.tonearmPosition());
    EXPECT_GT(s.playFraction, 0.8);
}

TEST(FaceplateStateTest, ChainStatusShowsInTheTexts) {
    PlayerHarness h;
    h.output->refusedRates = {44100, 48000, 96000};
    PlayerWindow& window = h.makeWithSource();
    const FaceplateState s = window.BuildFaceplateState();
    EXPECT_TRUE(s.unavailable);
    EXPECT_EQ(s.hintText, "Selected output contract unavailable");
    EXPECT_EQ(s.playingAtText, "Playing At: 44100 Hz / 16-bit Integer  \u2014 UNAVAILABLE");
}

TEST(FaceplateStateTest, MuteLoopAndColourCaptions) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    window.HandleCommand(command::kMute);
    window.HandleCommand(command::kLoop);
    const FaceplateState s = window.BuildFaceplateState();
    EXPECT_EQ(s.muteCaption, "Unmute");
    EXPECT_EQ(s.loopCaption, "Loop: On");
    EXPECT_EQ(h.view.muteCaption, "Unmute");
    EXPECT_TRUE(window.lattice()->muted());

    // The colour index cycles modulo 8 and is written at once.
    for (int i = 0; i < 9; ++i) {
        window.HandleCommand(command::kColor);
    }
    EXPECT_EQ(window.settings().waveformColor(), 1);
    PlayerSettings reread(h.files());
    reread.LoadSettings();
    EXPECT_EQ(reread.waveformColor(), 1);
}

TEST(FaceplateStateTest, PowerClosesHalfASecondLater) {
    PlayerHarness h;
    PlayerWindow& window = h.make();
    window.PressPower();
    EXPECT_TRUE(window.BuildFaceplateState().powerPressed);
    h.tickFor(480);
    EXPECT_FALSE(h.view.closeRequested);
    h.tickFor(32);
    EXPECT_TRUE(h.view.closeRequested);
}

TEST(PlayerTextTest, KnownAnswers) {
    EXPECT_EQ(RateLabel(800), "800 Hz");
    EXPECT_EQ(RateLabel(44100), "44.1 kHz");
    EXPECT_EQ(RateLabel(48000), "48 kHz");
    EXPECT_EQ(RateLabel(2822400), "2.822 MHz");
    EXPECT_EQ(RateLabel(3000000), "3 MHz");
    EXPECT_EQ(ClockText(65.9), "1:05");
    EXPECT_EQ(ClockText(180.0), "3:00");
    EXPECT_EQ(ClockText(3725.0), "1:02:05");
    EXPECT_EQ(ClockText(-1.0), "0:00");
}

}  // namespace
}  // namespace al::app
