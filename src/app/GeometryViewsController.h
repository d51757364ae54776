#pragma once
// The rules of the geometry views behind GeometryViewsPort: when the
// in-window hardware view needs a device and a picture, how snapshots are
// requested around the play position, which texts the status line shows, and
// the fullscreen stage's scene and life. The drawing sits behind two small
// renderer interfaces (Direct3D on Windows, fakes in tests), so these rules
// live in the portable core.
//
// Window (user-interface) thread only, like the port.

#include <functional>
#include <memory>
#include <string>

#include "app/GeometryViews.h"
#include "visual/SnapshotBuilder.h"

namespace al::surrogate {
class SurrogateBuffer;
}

namespace al::app {

// The in-window hardware view: draws a snapshot into an offscreen picture.
// Failures leave a text in lastError(); nothing here throws.
class HardwareGeometryRenderer {
  public:
    virtual ~HardwareGeometryRenderer() = default;
    virtual bool adapterPresent() const noexcept = 0;
    virtual std::string adapterLabel() const = 0;  // "NVIDIA" or "Direct3D"
    virtual bool enable() noexcept = 0;            // creates the device and resources
    virtual void disable() noexcept = 0;           // releases them
    virtual bool ready() const noexcept = 0;
    virtual void setPalette(int index) noexcept = 0;
    virtual bool render(const ui::PresentationGeometrySnapshot& snapshot, int width, int height,
                        bool split) noexcept = 0;
    virtual GeometryPicture picture() const noexcept = 0;
    virtual std::string lastError() const = 0;
};

// The fullscreen stage window with its own device.
class GeometryStageRenderer {
  public:
    virtual ~GeometryStageRenderer() = default;
    virtual bool open(StageScene scene, bool muted) noexcept = 0;
    virtual void close() noexcept = 0;
    virtual bool isOpen() const noexcept = 0;
    virtual void setScene(StageScene scene) noexcept = 0;
    virtual bool feed(const ui::PresentationGeometrySnapshot& snapshot,
                      const GeometryPicture& picture) noexcept = 0;
    virtual void setTransport(bool playing, bool pausedWithoutHold, bool volumeAvailable,
                              float volumeLevel) noexcept = 0;
    virtual void setMuted(bool muted) noexcept = 0;
    virtual void setPalette(int index) noexcept = 0;
    virtual std::string lastError() const = 0;
};

// The size of the in-window picture.
inline constexpr int kGeometryPictureWidth = 1350;
inline constexpr int kGeometryPictureHeight = 235;

// The snapshot window for a source rate: 8192 / rate seconds within
// [0.05, 0.2]; the default 0.05 s without a rate.
double geometryWindowLength(double sampleRate) noexcept;
// The C key: the next waveform colour (out-of-range indexes count as 0).
int nextPaletteIndex(int index) noexcept;

class GeometryViewsController final : public GeometryViewsPort {
  public:
    using SourceFactory = std::function<std::shared_ptr<const playback::PlaybackSource>(
        const std::filesystem::path&)>;

    // Either renderer may be null (no view / no stage). The factory opens the
    // views' own source over the opened file (the player's source factory by
    // default).
    GeometryViewsController(std::unique_ptr<HardwareGeometryRenderer> view,
                            std::unique_ptr<GeometryStageRenderer> stage,
                            SourceFactory factory = {});
    ~GeometryViewsController() override;

    void SourceOpened(const std::filesystem::path& path,
                      const std::shared_ptr<const playback::PlaybackSource>& source) override;
    void SourceClosed() noexcept override;
    std::string Update(const GeometryTick& tick) override;
    std::string ToggleStage(bool muted) override;
    std::string SwitchStageView() override;
    std::string OpenStageScene(StageScene scene, bool muted) override;
    std::string StageClosed() override;
    void SetMuted(bool muted) override;
    void SetPalette(int index) override;
    bool stageOpen() const noexcept override;
    StageScene stageScene() const noexcept override { return scene_; }
    std::string stageSceneName() const override;
    bool inWindowActive() const noexcept override;
    std::string rendererLabel() const override;
    GeometryPicture picture() const noexcept override;
    void Shutdown() noexcept override;

    int palette() const noexcept { return palette_; }
    // The in-window view may be switched off by a failure; the window can
    // turn it back on.
    bool viewEnabled() const noexcept { return viewEnabled_; }
    void setViewEnabled(bool enabled) noexcept { viewEnabled_ = enabled; }
    const ui::SnapshotBuilder* snapshotBuilder() const noexcept { return builder_.get(); }

  private:
    std::string openStage(bool muted);
    void closeStage() noexcept;
    void failView() noexcept;
    std::string upkeep(bool pictureNeeded);

    std::unique_ptr<HardwareGeometryRenderer> view_;
    std::unique_ptr<GeometryStageRenderer> stage_;
    SourceFactory factory_;
    std::shared_ptr<const playback::PlaybackSource> source_;
    std::unique_ptr<surrogate::SurrogateBuffer> buffer_;
    std::unique_ptr<ui::SnapshotBuilder> builder_;
    std::shared_ptr<const ui::PresentationGeometrySnapshot> handled_;
    GeometryPicture picture_;
    GeometryTick lastTick_;
    StageScene scene_ = StageScene::WaveMotionSea;
    int palette_ = 0;
    bool viewEnabled_ = true;
    bool renderFailed_ = false;  // the failure latch: report a render failure once in a row
};

}  // namespace al::app
