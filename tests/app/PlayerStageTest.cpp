// The geometry views as the player window drives them (F11, F9, the two
// stage regions, the stage's requests, the faceplate texts), with and
// without views; and a file handed over by a second start.

#include <gtest/gtest.h>

#include <stdexcept>

#include "PlayerFakes.h"

namespace al::app {
namespace {

using test::PlayerHarness;

// Views whose answers the test decides.
class FakeViews final : public GeometryViewsPort {
  public:
    void SourceOpened(const std::filesystem::path& path,
                      const std::shared_ptr<const playback::PlaybackSource>&) override {
        if (sourceFails) {
            throw std::runtime_error("Unable to build presentation geometry");
        }
        opened = path;
    }
    void SourceClosed() noexcept override {}
    std::string Update(const GeometryTick& tick) override {
        ++updates;
        lastTick = tick;
        return updateText;
    }
    std::string ToggleStage(bool isMuted) override {
        muted = isMuted;
        if (open) {
            open = false;
            return {};
        }
        open = canOpen;
        return open ? "ignored" : failureText;
    }
    std::string SwitchStageView() override {
        scene = scene == StageScene::WaveMotionSea ? StageScene::SurrogateCorridor
                                                   : StageScene::WaveMotionSea;
        return {};
    }
    std::string OpenStageScene(StageScene wanted, bool isMuted) override {
        muted = isMuted;
        scene = wanted;
        open = canOpen;
        return open ? std::string() : failureText;
    }
    std::string StageClosed() override {
        open = false;
        return {};
    }
    void SetMuted(bool isMuted) override { muted = isMuted; }
    void SetPalette(int index) override { palette = index; }
    bool stageOpen() const noexcept override { return open; }
    StageScene stageScene() const noexcept override { return scene; }
    std::string stageSceneName() const override {
        return scene == StageScene::WaveMotionSea ? "Wave Motion Sea" : "Surrogate Corridor";
    }
    bool inWindowActive() const noexcept override { return inWindow; }
    std::string rendererLabel() const override { return "Direct3D"; }
    GeometryPicture picture() const noexcept override { return {}; }
    void Shutdown() noexcept override { ++shutdowns; }

    bool canOpen = true;
    std::string failureText;
    bool sourceFails = false;
    std::string updateText;
    bool open = false;
    bool inWindow = false;
    bool muted = false;
    int palette = -1;
    int updates = 0;
    int shutdowns = 0;
    StageScene scene = StageScene::WaveMotionSea;
    GeometryTick lastTick;
    std::filesystem::path opened;
};

constexpr const char* kClosed = "Fullscreen geometry stage closed. Press F11 to reopen it.";

TEST(PlayerStageTest, WithoutViewsEveryStageCommandSaysSo) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    window.HandleCommand(command::kStage);
    EXPECT_EQ(window.status(), "Hardware Direct3D geometry is unavailable.");
    window.HandleCommand(command::kStageView);
    EXPECT_EQ(window.status(),
              "Open the fullscreen geometry stage with F11 before switching views.");
    window.OpenStageScene(StageScene::SurrogateCorridor);
    EXPECT_EQ(window.status(), "Hardware Direct3D geometry is unavailable.");
    EXPECT_FALSE(window.BuildFaceplateState().stageOpen);
    EXPECT_FALSE(h.view.stageShown);
    EXPECT_TRUE(h.view.messages.empty());
}

TEST(PlayerStageTest, F11OpensF9SwitchesF11Closes) {
    PlayerHarness h;
    FakeViews views;
    PlayerWindow& window = h.make();
    window.AttachGeometryViews(&views);
    window.Execute([&] { window.OpenMusic(h.dir / "short.aur"); });  // missing: views untouched
    EXPECT_TRUE(views.opened.empty());
    window.HandleCommand(command::kMute);
    EXPECT_TRUE(views.muted);

    window.HandleCommand(command::kStage);
    EXPECT_TRUE(h.view.stageShown);
    EXPECT_EQ(window.status(),
              "Direct3D Wave Motion Sea active. F9 switches view; Esc or F11 closes it.");
    FaceplateState s = window.BuildFaceplateState();
    EXPECT_TRUE(s.stageOpen);
    EXPECT_EQ(s.readyText, "Wave Motion Sea");
    EXPECT_EQ(s.hintText, "Actual playback geometry\nF9 changes view");

    window.HandleCommand(command::kStageView);
    EXPECT_EQ(window.status(),
              "Surrogate Corridor active. F9 switches view; Esc or F11 closes it.");

    window.HandleCommand(command::kStage);
    EXPECT_FALSE(views.open);
    EXPECT_FALSE(h.view.stageShown);
    EXPECT_EQ(window.status(), kClosed);

    // The stage's own Esc.
    window.HandleCommand(command::kStage);
    window.StageClosed();
    EXPECT_FALSE(views.open);
    EXPECT_EQ(window.status(), kClosed);

    window.Close();
    EXPECT_EQ(views.shutdowns, 1);
    window.AttachGeometryViews(nullptr);
}

TEST(PlayerStageTest, StageFailuresShowTheirTextOrTheFixedOne) {
    PlayerHarness h;
    FakeViews views;
    views.canOpen = false;
    PlayerWindow& window = h.make();
    window.AttachGeometryViews(&views);
    window.HandleCommand(command::kStage);
    EXPECT_EQ(window.status(), "Unable to open the fullscreen geometry stage.");
    views.failureText = "The fullscreen Direct3D geometry stage is unavailable.";
    window.OpenStageScene(StageScene::WaveMotionSea);
    EXPECT_EQ(window.status(), "The fullscreen Direct3D geometry stage is unavailable.");
    EXPECT_FALSE(h.view.stageShown);
    window.AttachGeometryViews(nullptr);
}

TEST(PlayerStageTest, StageRegionsNameTheirScene) {
    PlayerHarness h;
    FakeViews views;
    PlayerWindow& window = h.makeWithSource();
    window.AttachGeometryViews(&views);
    window.OpenStageScene(StageScene::WaveMotionSea);
    EXPECT_EQ(window.status(),
              "Direct3D Wave Motion active. Touch to Pause; while Paused tap the screen center to "
              "Resume; drag the right edge for Output Level; tap the lower title area to return.");
    // Already open: only the scene changes, the views are updated at once.
    const int updates = views.updates;
    window.OpenStageScene(StageScene::SurrogateCorridor);
    EXPECT_GT(views.updates, updates);
    EXPECT_EQ(views.scene, StageScene::SurrogateCorridor);
    EXPECT_EQ(window.status(),
              "Direct3D Surrogate Corridor active. Touch to Pause; while Paused tap the center "
              "horizon to Resume; drag the right edge for Output Level; tap the lower title area "
              "to return.");
    window.AttachGeometryViews(nullptr);
}

TEST(PlayerStageTest, InWindowViewTextsAndTheTickTheViewsSee) {
    PlayerHarness h;
    FakeViews views;
    views.inWindow = true;
    PlayerWindow& window = h.make();
    window.AttachGeometryViews(&views);
    const std::filesystem::path path = h.dir / "short.aur";
    audio::test::makeRecordSource(path, 48000, 2, 4800);
    window.OpenMusic(path);
    EXPECT_EQ(views.opened, path);
    const FaceplateState s = window.BuildFaceplateState();
    EXPECT_EQ(s.readyText, "Direct3D geometry active");
    EXPECT_EQ(s.hintText, "Actual playback geometry\nEvaluated by Direct3D GPU");

    window.HandleCommand(command::kPlay);
    window.SetMinimised(true);
    h.tickFor(16);
    EXPECT_TRUE(views.lastTick.sourceLoaded);
    EXPECT_TRUE(views.lastTick.playing);
    EXPECT_TRUE(views.lastTick.minimised);
    EXPECT_TRUE(views.lastTick.playerView);
    EXPECT_DOUBLE_EQ(views.lastTick.sampleRate, 48000.0);
    EXPECT_NEAR(views.lastTick.duration, 0.1, 1e-9);

    // A text from the views becomes the status; the colour goes to them.
    views.updateText = "Direct3D device lost; geometry view stopped.";
    h.tickFor(16);
    EXPECT_EQ(window.status(), "Direct3D device lost; geometry view stopped.");
    window.HandleCommand(command::kColor);
    EXPECT_EQ(views.palette, 1);
    window.AttachGeometryViews(nullptr);
}

TEST(PlayerStageTest, AGeometryFailureDoesNotStopTheMusic) {
    PlayerHarness h;
    FakeViews views;
    views.sourceFails = true;
    PlayerWindow& window = h.make();
    window.AttachGeometryViews(&views);
    const std::filesystem::path path = h.dir / "short.aur";
    audio::test::makeRecordSource(path, 48000, 2, 4800);
    window.OpenMusic(path);
    EXPECT_TRUE(window.source() != nullptr);
    EXPECT_EQ(window.status(), "Unable to build presentation geometry");
    EXPECT_TRUE(h.view.messages.empty());
    window.AttachGeometryViews(nullptr);
}

TEST(PlayerStageTest, StageRequests) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    window.TogglePlay();
    EXPECT_EQ(window.HandleStageRequest(0x91, 0), 0);
    window.HandleStageRequest(0x8C, 0);  // hold the stylus up: pause
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    EXPECT_EQ(window.HandleStageRequest(0x91, 0), 1);
    window.HandleStageRequest(0x8D, 0);  // resume
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    window.HandleStageRequest(0x8D, 0);  // playing: nothing
    EXPECT_EQ(window.transportState(), TransportState::Playing);

    window.HandleStageRequest(0x8E, 0);
    window.HandleStageRequest(0x8F, 2500);
    EXPECT_FLOAT_EQ(h.volume->level, 0.25f);
    window.HandleStageRequest(0x90, 60000);  // at most full
    EXPECT_FLOAT_EQ(h.volume->level, 1.0f);

    window.HandleStageRequest(0x92, 0);  // complete the hold, then toggle: pause
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    window.HandleStageRequest(0x93, 0);
    EXPECT_EQ(window.settings().waveformColor(), 1);
}

TEST(HandoffReceiverTest, RefusedPathsKeepTheCurrentSource) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    const auto source = window.source();
    std::filesystem::create_directories(h.dir / "folder.wav");
    for (const std::filesystem::path& path :
         {h.dir / "missing.aur", h.dir / "folder.wav", h.dir / "AuralithPlayer.ini"}) {
        try {
            window.OpenHandedOver(path);
            FAIL() << path;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(),
                         "The requested source is not a readable supported audio file");
        }
        EXPECT_EQ(window.source(), source);
    }
    // Reported as every command error: message box and status line.
    window.Execute([&] { window.OpenHandedOver(h.dir / "missing.aur"); });
    ASSERT_EQ(h.view.messages.size(), 1u);
    EXPECT_EQ(h.view.messages[0],
              "Auralith Player: The requested source is not a readable supported audio file");
    EXPECT_EQ(window.status(), "The requested source is not a readable supported audio file");
}

TEST(HandoffReceiverTest, PlayingContinuesWithTheNewFilePausedOnlyOpens) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    const std::filesystem::path second = h.dir / "second.aur";
    audio::test::makeRecordSource(second, 44100, 2, 44100);

    window.TogglePlay();
    window.OpenHandedOver(second);
    EXPECT_EQ(window.openedFile(), second);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_NEAR(window.durationSeconds(), 1.0, 1e-9);

    window.TogglePlay();  // pause
    ASSERT_EQ(window.transportState(), TransportState::Paused);
    window.OpenHandedOver(h.dir / "short.aur");
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    EXPECT_EQ(window.openedFile(), h.dir / "short.aur");
    // The Open button was shown busy during the open and restored after.
    ASSERT_GE(h.view.openingShown.size(), 2u);
    EXPECT_TRUE(h.view.openingShown[h.view.openingShown.size() - 2]);
    EXPECT_FALSE(h.view.openingShown.back());
}

TEST(HandoffReceiverTest, LinksAreNotPlainFiles) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    const std::filesystem::path link = h.dir / "link.aur";
    std::error_code error;
    std::filesystem::create_symlink(h.dir / "short.aur", link, error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here";
    }
    EXPECT_THROW(window.OpenHandedOver(link), std::runtime_error);
}

}  // namespace
}  // namespace al::app
