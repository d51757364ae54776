// The geometry views' rules over fake renderers: when a device is made or
// released, how failures are reported (once) and what the stage commands
// say, and that snapshots around the play position reach both views.

#include "app/GeometryViewsController.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "visual/CurveSource.h"

namespace al::app {
namespace {

struct ViewLog {
    int enables = 0;
    int disables = 0;
    int renders = 0;
    bool split = false;
    int palette = -1;
    double lastTime = -1.0;
};

class FakeView final : public HardwareGeometryRenderer {
  public:
    explicit FakeView(ViewLog& log) : log_(log) {}
    bool adapter = true;
    bool enableWorks = true;
    bool renderWorks = true;
    std::string error;

    bool adapterPresent() const noexcept override { return adapter; }
    std::string adapterLabel() const override { return "Direct3D"; }
    bool enable() noexcept override {
        ++log_.enables;
        ready_ = enableWorks;
        return ready_;
    }
    void disable() noexcept override {
        if (ready_) {
            ++log_.disables;
        }
        ready_ = false;
    }
    bool ready() const noexcept override { return ready_; }
    void setPalette(int index) noexcept override { log_.palette = index; }
    bool render(const ui::PresentationGeometrySnapshot& s, int width, int height,
                bool split) noexcept override {
        ++log_.renders;
        log_.split = split;
        log_.lastTime = s.time;
        if (!renderWorks || width != 1350 || height != 235) {
            return false;
        }
        pixels_.assign(static_cast<std::size_t>(width) * height * 4, 7);
        return true;
    }
    GeometryPicture picture() const noexcept override {
        return pixels_.empty() ? GeometryPicture{}
                               : GeometryPicture{pixels_.data(), 1350, 235, 1350 * 4};
    }
    std::string lastError() const override { return error; }

  private:
    ViewLog& log_;
    bool ready_ = false;
    std::vector<std::uint8_t> pixels_;
};

struct StageLog {
    int opens = 0;
    int feeds = 0;
    int pictures = 0;
    StageScene scene = StageScene::WaveMotionSea;
    bool muted = false;
    bool playing = false;
};

class FakeStage final : public GeometryStageRenderer {
  public:
    explicit FakeStage(StageLog& log) : log_(log) {}
    bool openWorks = true;
    bool feedWorks = true;
    std::string error;

    bool open(StageScene scene, bool muted) noexcept override {
        ++log_.opens;
        log_.scene = scene;
        log_.muted = muted;
        open_ = openWorks;
        return open_;
    }
    void close() noexcept override { open_ = false; }
    bool isOpen() const noexcept override { return open_; }
    void setScene(StageScene scene) noexcept override { log_.scene = scene; }
    bool feed(const ui::PresentationGeometrySnapshot&,
              const GeometryPicture& picture) noexcept override {
        ++log_.feeds;
        if (picture.valid()) {
            ++log_.pictures;
        }
        return feedWorks;
    }
    void setTransport(bool playing, bool, bool, float) noexcept override { log_.playing = playing; }
    void setMuted(bool muted) noexcept override { log_.muted = muted; }
    void setPalette(int) noexcept override {}
    std::string lastError() const override { return error; }

  private:
    StageLog& log_;
    bool open_ = false;
};

class GeometryViewsRules : public ::testing::Test {
  protected:
    void make() {
        auto v = std::make_unique<FakeView>(viewLog);
        auto s = std::make_unique<FakeStage>(stageLog);
        view = v.get();
        stage = s.get();
        views = std::make_unique<GeometryViewsController>(
            std::move(v), std::move(s), [this](const std::filesystem::path&) { return source; });
    }
    void openSource() { views->SourceOpened("track.wav", source); }
    // Ticks until the view has rendered `renders` pictures (or gives up).
    std::string tickUntil(int renders, GeometryTick t) {
        std::string status;
        for (int i = 0; i < 400 && viewLog.renders < renders; ++i) {
            status = views->Update(t);
            if (!status.empty()) {
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return status;
    }

    std::shared_ptr<const test::CurveSource> source =
        std::make_shared<const test::CurveSource>(48000, 96000, 440.0);
    ViewLog viewLog;
    StageLog stageLog;
    FakeView* view = nullptr;
    FakeStage* stage = nullptr;
    std::unique_ptr<GeometryViewsController> views;
    GeometryTick tick{true, 0.5, 2.0, 48000.0, true, false, true, false, false, 0.0f};
};

TEST(GeometryWindowLength, FollowsTheRateWithinItsLimits) {
    EXPECT_DOUBLE_EQ(geometryWindowLength(48000.0), 8192.0 / 48000.0);
    EXPECT_DOUBLE_EQ(geometryWindowLength(192000.0), 0.05);
    EXPECT_DOUBLE_EQ(geometryWindowLength(8000.0), 0.2);
    EXPECT_DOUBLE_EQ(geometryWindowLength(0.0), 0.05);
    EXPECT_EQ(nextPaletteIndex(0), 1);
    EXPECT_EQ(nextPaletteIndex(7), 0);
    EXPECT_EQ(nextPaletteIndex(9), 1);  // an out-of-range colour counts as 0
}

TEST_F(GeometryViewsRules, RendersSnapshotsAroundThePlayPositionOncePerSnapshot) {
    make();
    openSource();
    EXPECT_EQ(tickUntil(1, tick), "");
    ASSERT_EQ(viewLog.renders, 1);
    EXPECT_EQ(viewLog.enables, 1);
    EXPECT_DOUBLE_EQ(viewLog.lastTime, 0.5);
    EXPECT_FALSE(viewLog.split);
    EXPECT_TRUE(views->picture().valid());
    EXPECT_TRUE(views->inWindowActive());
    // The same position again: the held snapshot is not drawn twice.
    for (int i = 0; i < 20; ++i) {
        views->Update(tick);
    }
    EXPECT_EQ(viewLog.renders, 1);
    // A new position gives a new snapshot.
    tick.time = 1.0;
    EXPECT_EQ(tickUntil(2, tick), "");
    EXPECT_DOUBLE_EQ(viewLog.lastTime, 1.0);
}

TEST_F(GeometryViewsRules, StatisticsViewOrMinimisedReleasesTheDevice) {
    make();
    openSource();
    tickUntil(1, tick);
    ASSERT_TRUE(view->ready());
    tick.playerView = false;
    EXPECT_EQ(views->Update(tick), "");
    EXPECT_FALSE(view->ready());
    EXPECT_FALSE(views->inWindowActive());
    EXPECT_FALSE(views->picture().valid());
    tick.playerView = true;
    tick.minimised = true;
    views->Update(tick);
    EXPECT_FALSE(view->ready());
    tick.minimised = false;
    tick.time = 0.7;
    EXPECT_EQ(tickUntil(2, tick), "");
    EXPECT_EQ(viewLog.enables, 2);
}

TEST_F(GeometryViewsRules, DeviceFailureIsShownAndTheViewTurnsOff) {
    make();
    view->enableWorks = false;
    openSource();
    EXPECT_EQ(views->Update(tick), "Hardware Direct3D geometry is unavailable.");
    EXPECT_FALSE(views->inWindowActive());
    EXPECT_EQ(views->Update(tick), "");  // reported once
    view->error = "Unable to create a Direct3D 11 device on X: HRESULT 0x887A0004";
    views->setViewEnabled(true);
    EXPECT_EQ(views->Update(tick), view->error);
}

TEST_F(GeometryViewsRules, RenderFailureIsReportedOnceAndClosesTheStage) {
    make();
    openSource();
    EXPECT_EQ(views->ToggleStage(false),
              "Direct3D Wave Motion Sea active. F9 switches view; Esc or F11 closes it.");
    view->renderWorks = false;
    EXPECT_EQ(tickUntil(1, tick), "Hardware Geometric View stopped after a rendering error.");
    EXPECT_FALSE(views->stageOpen());
    EXPECT_FALSE(view->ready());
    EXPECT_FALSE(views->inWindowActive());
    EXPECT_EQ(views->Update(tick), "");
}

TEST_F(GeometryViewsRules, StageCommandsSayWhatHappened) {
    make();
    EXPECT_EQ(views->SwitchStageView(),
              "Open the fullscreen geometry stage with F11 before switching views.");
    EXPECT_EQ(views->ToggleStage(true),
              "Direct3D Wave Motion Sea active. F9 switches view; Esc or F11 closes it.");
    EXPECT_TRUE(stageLog.muted);
    EXPECT_EQ(views->SwitchStageView(),
              "Surrogate Corridor active. F9 switches view; Esc or F11 closes it.");
    EXPECT_EQ(stageLog.scene, StageScene::SurrogateCorridor);
    EXPECT_EQ(views->stageSceneName(), "Surrogate Corridor");
    EXPECT_EQ(views->ToggleStage(false),
              "Fullscreen geometry stage closed. Press F11 to reopen it.");
    EXPECT_FALSE(views->stageOpen());
    EXPECT_EQ(views->OpenStageScene(StageScene::WaveMotionSea, false),
              "Direct3D Wave Motion active. Touch to Pause; while Paused tap the screen center to "
              "Resume; drag the "
              "right edge for Output Level; tap the lower title area to return.");
    EXPECT_EQ(views->OpenStageScene(StageScene::SurrogateCorridor, false),
              "Direct3D Surrogate Corridor active. Touch to Pause; while Paused tap the center "
              "horizon to Resume; "
              "drag the right edge for Output Level; tap the lower title area to return.");
    EXPECT_EQ(stageLog.opens, 2);  // the second region switched the open stage
    EXPECT_EQ(views->StageClosed(), "Fullscreen geometry stage closed. Press F11 to reopen it.");
    EXPECT_FALSE(views->stageOpen());

    stage->openWorks = false;
    EXPECT_EQ(views->ToggleStage(false), "Unable to open the fullscreen geometry stage.");
    stage->error = "Unable to create the fullscreen geometry window.";
    EXPECT_EQ(views->ToggleStage(false), stage->error);
    view->adapter = false;
    stage->error.clear();
    EXPECT_EQ(views->ToggleStage(false), "Hardware Direct3D geometry is unavailable.");
    EXPECT_EQ(views->rendererLabel(), "Hardware geometry");

    GeometryViewsController bare(nullptr, nullptr);
    EXPECT_EQ(bare.ToggleStage(false), "The fullscreen Direct3D geometry stage is unavailable.");
    EXPECT_EQ(bare.Update(tick), "");
    EXPECT_FALSE(bare.picture().valid());
}

TEST_F(GeometryViewsRules, OpenStageGetsSplitPicturesInTheSeaAndSnapshotsInTheCorridor) {
    make();
    openSource();
    views->ToggleStage(false);
    EXPECT_EQ(tickUntil(1, tick), "");
    EXPECT_TRUE(viewLog.split);
    EXPECT_EQ(stageLog.feeds, 1);
    EXPECT_EQ(stageLog.pictures, 1);
    EXPECT_TRUE(stageLog.playing);
    // The corridor without the in-window view still gets snapshots (extended window).
    views->SwitchStageView();
    tick.playerView = false;
    for (int i = 0; i < 400 && stageLog.feeds < 2; ++i) {
        views->Update(tick);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(stageLog.feeds, 2);
    EXPECT_EQ(stageLog.pictures, 1);  // no picture needed, none drawn
    ASSERT_NE(views->snapshotBuilder(), nullptr);
    // The builder works in the background: the snapshot asked for with the
    // extended window may follow the one already fed (slow under sanitizers).
    auto snapshot = views->snapshotBuilder()->latest();
    for (int i = 0; i < 1000 && !(snapshot && !snapshot->channels[0].empty() &&
                                  snapshot->channels[0].back().xRight > 1.2f);
         ++i) {
        views->Update(tick);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        snapshot = views->snapshotBuilder()->latest();
    }
    ASSERT_TRUE(snapshot);
    ASSERT_FALSE(snapshot->channels[0].empty());
    EXPECT_GT(snapshot->channels[0].back().xRight, 1.2f);  // the 0.05 s extension
    // A failing stage shows its fallback text and closes.
    stage->feedWorks = false;
    tick.time = 1.2;
    std::string status;
    for (int i = 0; i < 400 && status.empty(); ++i) {
        status = views->Update(tick);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(status, "The fullscreen geometry stage stopped after a rendering error.");
    EXPECT_FALSE(views->stageOpen());
}

TEST_F(GeometryViewsRules, PaletteAndMuteReachTheViews) {
    make();
    views->SetPalette(5);
    EXPECT_EQ(viewLog.palette, 5);
    views->SetPalette(12);
    EXPECT_EQ(viewLog.palette, 0);
    EXPECT_EQ(views->palette(), 0);
    views->SetMuted(true);
    EXPECT_TRUE(stageLog.muted);
    views->Shutdown();
    views->Shutdown();
}

}  // namespace
}  // namespace al::app
