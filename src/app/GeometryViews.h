#pragma once
// What the player window needs from the geometry pictures: the in-window
// hardware view of the waveform strip and the fullscreen stage. The window
// (and PlayerWindow's rules) talk to this port only; the Direct3D views sit
// behind it on Windows, and where there are no views (the terminal player,
// tests) the port is absent and the window says so.
//
// Window (user-interface) thread only.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace al::playback {
class PlaybackSource;
}

namespace al::app {

// A picture made by the in-window view: 32-bit BGRA pixels, rows of `stride`
// bytes. Valid until the next call into the port.
struct GeometryPicture {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;

    bool valid() const noexcept { return pixels != nullptr && width > 0 && height > 0 && stride >= 4 * width; }
};

enum class StageScene { WaveMotionSea = 0, SurrogateCorridor = 1 };

// The player's state on each 16 ms poll tick, as the views need it.
struct GeometryTick {
    bool sourceLoaded = false;
    double time = 0.0;        // current playback time (DSD engine's position while DSD plays)
    double duration = 0.0;    // seconds
    double sampleRate = 0.0;  // the source's rate
    bool playing = false;
    bool pausedWithoutHold = false;
    bool playerView = true;  // false in the statistics view
    bool minimised = false;
    bool volumeAvailable = false;
    float volumeLevel = 0.0f;
};

// Every method that returns a string returns the status line text to show,
// or an empty string when the status stays as it is.
class GeometryViewsPort {
  public:
    virtual ~GeometryViewsPort() = default;

    // A file was opened: build the views' own presentation geometry over the
    // same path (never taking chunks from the playback path). Throws on failure.
    virtual void SourceOpened(const std::filesystem::path& path,
                              const std::shared_ptr<const playback::PlaybackSource>& source) = 0;
    virtual void SourceClosed() noexcept = 0;

    // Each poll tick, and at once after opening a file, opening the stage,
    // switching its scene and changing the waveform colour.
    virtual std::string Update(const GeometryTick& tick) = 0;

    // F11 (command 5009): open the stage when closed (muted flag passed on),
    // close it when open.
    virtual std::string ToggleStage(bool muted) = 0;
    // F9 (command 5010).
    virtual std::string SwitchStageView() = 0;
    // Faceplate regions 15 and 16: open (or switch) the stage in a scene.
    virtual std::string OpenStageScene(StageScene scene, bool muted) = 0;
    // The stage window closed itself (Esc): WM_APP + 0x26.
    virtual std::string StageClosed() = 0;

    virtual void SetMuted(bool muted) = 0;
    virtual void SetPalette(int index) = 0;

    virtual bool stageOpen() const noexcept = 0;
    virtual StageScene stageScene() const noexcept = 0;
    virtual std::string stageSceneName() const = 0;  // "Wave Motion Sea", "Surrogate Corridor"
    // The in-window view is enabled, the player view is shown and the window
    // is not minimised.
    virtual bool inWindowActive() const noexcept = 0;
    // "NVIDIA" or "Direct3D"; "Hardware geometry" when there is no view.
    virtual std::string rendererLabel() const = 0;
    // The newest in-window picture (invalid when there is none).
    virtual GeometryPicture picture() const noexcept = 0;

    // Window destruction: the in-window view first, then the stage, then the
    // presentation geometry.
    virtual void Shutdown() noexcept = 0;
};

}  // namespace al::app
