// Output selection: the endpoint list, the choice of format (remembered, else
// the last), the candidate order when formats fail, the device-in-use paths,
// the per-channel-count caches, and the virtual output named as such.

#include <gtest/gtest.h>

#include "PlayerFakes.h"

namespace al::app {
namespace {

using test::PlayerHarness;

TEST(OutputSelectionTest, ListsEndpointsWithTheDefaultSelected) {
    PlayerHarness h;
    h.endpoints = {test::endpoint(u"other", u"Alpha", false),
                   test::endpoint(u"card", u"Studio DAC", true)};
    PlayerWindow& window = h.make();
    EXPECT_EQ(h.view.endpointItems, (std::vector<std::string>{"Alpha", "Studio DAC  (Default)"}));
    EXPECT_EQ(h.view.endpointSelection, 1);
    // Without a source: stereo probe, the last format, nothing opened.
    EXPECT_EQ(h.probedChannels, std::vector<int>{2});
    EXPECT_EQ(window.selectedFormat(), 2);
    EXPECT_FALSE(h.output->initialised);
    EXPECT_EQ(h.view.lastStatus(),
              "Endpoint reports 3 exact output format(s). Selected 96000 Hz / 32-bit Float \u2014 "
              "WASAPI Exclusive.");
    EXPECT_EQ(h.view.labels.playingAt, "Playing At: 96000 Hz / 32-bit Float");

    h.endpoints = {test::endpoint(u"other", u"Alpha", true)};
    window.RefreshOutputs();
    EXPECT_EQ(window.chainStatus(), 2);
    EXPECT_EQ(h.view.lastStatus(),
              "The previously selected audio endpoint is unavailable. Select an output endpoint to "
              "continue.");
    h.window.reset();
    PlayerHarness none;
    none.endpoints.clear();
    none.make();
    EXPECT_EQ(none.view.lastStatus(), "No active render endpoints found.");
    EXPECT_EQ(none.window->chainStatus(), 2);
}

TEST(OutputSelectionTest, FailingFormatIsDisabledAndTheNextBelowTried) {
    PlayerHarness h;
    h.output->refusedRates = {96000};
    PlayerWindow& window = h.makeWithSource();
    EXPECT_EQ(window.selectedFormat(), 1);
    EXPECT_EQ(window.disabledFormats(), (std::vector<bool>{false, false, true}));
    EXPECT_EQ(h.output->initializedRates.back(), 48000u);
    EXPECT_EQ(h.waited, std::vector<std::int64_t>{350'000'000});
    const std::vector<std::string>& s = h.view.statuses;
    const auto failed = std::find(
        s.begin(), s.end(),
        "96000 Hz / 32-bit Float is unavailable: Initialize exact exclusive WASAPI format "
        "failed (HRESULT 0x88890008). Trying another exact format.");
    ASSERT_NE(failed, s.end());
    EXPECT_EQ(*(failed - 1),
              "Reinitializing complete playback chain at 96000 Hz / 32-bit Float. Playback head is "
              "unchanged.");
    EXPECT_EQ(*(failed + 1),
              "Reinitializing complete playback chain at 48000 Hz / 24-bit Integer in 32-bit "
              "Container. Playback head is unchanged.");
    EXPECT_EQ(
        *(failed + 2),
        "Playback chain initialized at exact output contract 48000 Hz / 24-bit Integer in 32-bit "
        "Container \u2014 WASAPI Exclusive. Playback head preserved.");
    // Stepping up skips the disabled format: nothing above.
    EXPECT_FALSE(h.view.controls.stepUp);
    window.StepFormat(+1);
    EXPECT_EQ(window.selectedFormat(), 1);
    // The choice was remembered in formats.cfg.
    audio::FormatsCache cache(h.dir / "formats.cfg");
    cache.Load();
    const audio::RememberedFormat* known = cache.Find(audio::FormatsCacheKey(u"card", 2));
    ASSERT_NE(known, nullptr);
    EXPECT_EQ(known->sampleRate, 48000u);
}

TEST(OutputSelectionTest, CandidateOrderFromTheMiddle) {
    PlayerHarness h;
    h.formats = {audio::test::exactFormat(44100, 2, audio::SampleKind::Pcm16),
                 audio::test::exactFormat(48000, 2, audio::SampleKind::Pcm16),
                 audio::test::exactFormat(88200, 2, audio::SampleKind::Pcm16),
                 audio::test::exactFormat(96000, 2, audio::SampleKind::Pcm16),
                 audio::test::exactFormat(192000, 2, audio::SampleKind::Pcm16)};
    PlayerWindow& window = h.makeWithSource();
    ASSERT_EQ(window.selectedFormat(), 4);
    h.output->refusedRates = {88200, 48000, 44100};
    h.output->initializedRates.clear();
    window.ChooseFormat(2);  // upwards from 4? no: 2 < 4, so downwards first
    EXPECT_EQ(h.output->initializedRates, std::vector<std::uint32_t>{96000});
    EXPECT_EQ(window.disabledFormats(), (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(window.selectedFormat(), 3);
    EXPECT_EQ(h.waited.size(), 3u);
}

TEST(OutputSelectionTest, AllFormatsFailingPreservesTheHead) {
    PlayerHarness h;
    h.output->refusedRates = {44100, 48000, 96000};
    PlayerWindow& window = h.makeWithSource();
    EXPECT_FALSE(h.output->initialised);
    EXPECT_EQ(window.chainStatus(), 2);
    EXPECT_EQ(h.view.lastStatus(),
              "No remaining exact output format could initialize. Playback head has been "
              "preserved. Refresh to probe "
              "again.");
    EXPECT_EQ(h.view.labels.playingAt, "Playing At: 44100 Hz / 16-bit Integer  \u2014 UNAVAILABLE");
    EXPECT_FALSE(h.view.controls.play);
    // Play does nothing with a disabled format; Refresh probes again and re-enables.
    window.TogglePlay();
    EXPECT_EQ(h.output->starts, 0);
    h.output->refusedRates.clear();
    const int probes = h.probes;
    window.RefreshOutputs();
    EXPECT_EQ(h.probes, probes + 1);
    EXPECT_TRUE(h.output->initialised);
    EXPECT_EQ(h.view.lastStatus(), "Refresh complete. Output devices and capabilities rescanned.");
}

TEST(OutputSelectionTest, RememberedFormatIsPreferredOnTheNextOpen) {
    PlayerHarness h;
    {
        audio::FormatsCache cache(h.dir / "formats.cfg");
        cache.RememberFormat(u"card", audio::test::exactFormat(44100, 2, audio::SampleKind::Pcm16));
    }
    PlayerWindow& window = h.makeWithSource();
    EXPECT_EQ(window.selectedFormat(), 0);
    EXPECT_EQ(h.output->initializedRates.back(), 44100u);

    // Chosen in the menu: remembered for the next start.
    h.view.menuChoice = command::kFormatMenuFirst + 1;
    window.ShowFormatMenu();
    ASSERT_GE(h.view.lastMenu.size(), 4u);
    EXPECT_EQ(h.view.lastMenu[0].text, "44100 Hz / 16-bit Integer \u2014 WASAPI Exclusive");
    EXPECT_TRUE(h.view.lastMenu[0].checked);
    EXPECT_EQ(h.view.lastMenu[3].text, "DSD output / preparation options");
    EXPECT_EQ(h.view.lastMenu[3].submenu[0].text, "DSD64 \u2014 complete track in RAM");
    EXPECT_EQ(window.selectedFormat(), 1);
    h.window.reset();
    PlayerWindow& again = h.makeWithSource();
    EXPECT_EQ(again.selectedFormat(), 1);

    // A remembered format that fails is tried first, then the ones below it.
    h.window.reset();
    h.output->refusedRates = {48000};
    PlayerWindow& third = h.makeWithSource();
    EXPECT_EQ(third.selectedFormat(), 0);
    EXPECT_EQ(third.disabledFormats(), (std::vector<bool>{false, true, false}));
}

TEST(OutputSelectionTest, MonoProbesAndRemembersApartFromStereo) {
    PlayerHarness h;
    h.make();
    const std::filesystem::path mono = h.dir / "mono.aur";
    audio::test::makeRecordSource(mono, 48000, 1, 4800);
    h.window->OpenMusic(mono);
    EXPECT_EQ(h.probedChannels, (std::vector<int>{2, 1}));
    EXPECT_EQ(h.window->formats().front().channels, 1u);
    audio::FormatsCache cache(h.dir / "formats.cfg");
    cache.Load();
    EXPECT_NE(cache.Find(audio::FormatsCacheKey(u"card", 1)), nullptr);
    EXPECT_EQ(cache.Find(audio::FormatsCacheKey(u"card", 2)), nullptr);
    // The probe result is kept: a second open does not probe again.
    h.window->OpenMusic(mono);
    EXPECT_EQ(h.probes, 2);
}

TEST(OutputSelectionTest, DeviceInUseDisablesNothing) {
    PlayerHarness h;
    h.view.answerYes = true;
    h.output->busy = true;
    PlayerWindow& window = h.makeWithSource();
    EXPECT_EQ(window.chainStatus(), 2);
    EXPECT_EQ(window.disabledFormats(), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(h.view.lastStatus(),
              "Audio device unavailable: Studio DAC is currently in use. No exact formats were "
              "disabled.");
    ASSERT_EQ(h.view.questions.size(), 1u);
    EXPECT_EQ(h.view.questions[0],
              "The selected audio device is currently in use and cannot be opened in exclusive "
              "mode:\n\nStudio "
              "DAC\n\nChoose Yes to keep AuralithPlayer open and select another DAC or dongle. "
              "Choose No to exit.");
    EXPECT_EQ(h.view.endpointListOpened, 1);
    EXPECT_TRUE(h.waited.empty());

    // Busy while probing; No closes the window.
    PlayerHarness p;
    p.probeBusy = true;
    p.view.answerYes = false;
    p.make();
    EXPECT_EQ(p.view.lastStatus(), "Audio device unavailable: Studio DAC is currently in use.");
    EXPECT_TRUE(p.view.closeRequested);
    EXPECT_TRUE(p.window->formats().empty());
}

TEST(OutputSelectionTest, EndpointChangesAreRefusedWhilePlaying) {
    PlayerHarness h;
    h.endpoints = {test::endpoint(u"card", u"Studio DAC", true),
                   test::endpoint(u"other", u"Alpha", false)};
    PlayerWindow& window = h.makeWithSource();
    window.TogglePlay();
    window.ShowEndpointMenu();
    EXPECT_EQ(h.view.lastStatus(), "Stop playback before changing the output endpoint.");
    EXPECT_TRUE(h.view.lastMenu.empty());
    EXPECT_FALSE(h.view.controls.refresh);
    const int probes = h.probes;
    window.RefreshOutputs();  // nothing while playing
    EXPECT_EQ(h.probes, probes);

    window.Stop();
    h.view.menuChoice = command::kEndpointMenuFirst + 1;
    window.ShowEndpointMenu();
    EXPECT_EQ(window.selectedEndpoint(), 1);
    EXPECT_EQ(h.probes, probes + 1);
    EXPECT_EQ(h.view.lastMenu[0].text, "Studio DAC  (Default)");

    // Refresh names what appeared.
    h.endpoints.push_back(test::endpoint(u"usb", u"Dongle", false));
    window.RefreshOutputs();
    EXPECT_EQ(h.view.lastStatus(), "Detected: Dongle. Select it from the output device menu.");
}

TEST(OutputSelectionTest, VirtualOutputIsNamedAsWhatItIs) {
    PlayerHarness h;
    h.endpoints = {test::endpoint(u"virtual", u"Virtual Output", true)};
    h.formats = {audio::test::exactFormat(48000, 2, audio::SampleKind::Pcm16)};
    PlayerWindow& window = h.makeWithSource();
    EXPECT_EQ(h.view.lastStatus(),
              "Record ready. 9610 control points; Playback chain initialized at 48000 Hz / 16-bit Integer \u2014 "
              "Virtual Output Exclusive.");
    window.TogglePlay();
    EXPECT_EQ(h.view.lastStatus(),
              "Virtual Output Exclusive playback at exact contract 48000 Hz / 16-bit Integer.");
    EXPECT_EQ(window.BuildFaceplateState().modeText, "Virtual Output Exclusive");
    EXPECT_EQ(window.BuildFaceplateState().endpointText, "Virtual Output  (Default)");
}

}  // namespace
}  // namespace al::app
