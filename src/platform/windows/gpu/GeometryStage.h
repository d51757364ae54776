#pragma once
// The fullscreen geometry stage: a borderless popup over the main window's
// monitor with its own Direct3D 11 device and swap chain, redrawn every
// 16 ms in one of two scenes: "Wave Motion Sea" (the receding history of the
// last in-window pictures) and "Surrogate Corridor" (each channel's curve as
// a wall flowing from the horizon towards the viewer).
//
// Window thread only. Never throws: failures leave a text. When it closes
// itself (Esc, F11, the lower title area) it posts WM_APP + 0x26 to its
// owner; pause, resume, volume and colour gestures are posted to the owner
// as WM_APP + 0x8C to 0x93.

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/GeometryViewsController.h"
#include "platform/windows/gpu/GpuSupport.h"

namespace al::win::gpu {

inline constexpr UINT kStageClosedMessage = WM_APP + 0x26;

class GeometryStage final : public app::GeometryStageRenderer {
  public:
    GeometryStage(HWND owner, HINSTANCE instance);
    ~GeometryStage() override;

    bool open(app::StageScene scene, bool muted) noexcept override;
    void close() noexcept override;
    bool isOpen() const noexcept override { return window_ != nullptr; }
    void setScene(app::StageScene scene) noexcept override { scene_ = scene; }
    bool feed(const ui::PresentationGeometrySnapshot& snapshot,
              const app::GeometryPicture& picture) noexcept override;
    void setTransport(bool playing, bool pausedWithoutHold, bool volumeAvailable,
                      float volumeLevel) noexcept override;
    void setMuted(bool muted) noexcept override { muted_ = muted; }
    void setPalette(int index) noexcept override;
    std::string lastError() const override { return error_; }

    // Draws and presents one frame now (the timer does this every 16 ms).
    // False when drawing failed; the text says why.
    bool drawFrame() noexcept;
    HWND window() const noexcept { return window_; }
    std::size_t historyCount() const noexcept { return historyCount_; }
    std::uint64_t framesPresented() const noexcept { return presented_; }
    // The low-cost setting: one thin wall pass instead of glow and core.
    void setLowCost(bool lowCost) noexcept { lowCost_ = lowCost; }
    // Places the next opened window here instead of over the owner's
    // monitor (tests under a software rasteriser use a small stage).
    void overrideBounds(const RECT& bounds) noexcept {
        bounds_ = bounds;
        hasBounds_ = true;
    }
    // Copies the back buffer into BGRA rows (for screenshots). False on failure.
    bool captureBackBuffer(std::vector<std::uint8_t>& pixels, int& width, int& height) noexcept;
    // Called with each drawn frame just before it is presented (screenshots).
    void setBeforePresent(std::function<void(GeometryStage&)> hook) { capture_ = std::move(hook); }

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool setUpDevice();
    bool makeBackBuffer();
    bool makeOverlay();
    void releaseDevice() noexcept;
    void closeBySelf() noexcept;
    bool drawSea(int width, int height);
    bool drawCorridor(int width, int height);
    bool drawOverlay(int width, int height);
    bool resize();
    double stageTime() const noexcept;

    HWND owner_;
    HINSTANCE instance_;
    HWND window_ = nullptr;
    app::StageScene scene_ = app::StageScene::WaveMotionSea;
    bool muted_ = false;
    bool playing_ = false;
    bool pausedWithoutHold_ = false;
    bool volumeAvailable_ = false;
    float volumeLevel_ = 0.0f;
    bool volumeDrag_ = false;
    bool lowCost_ = false;
    int palette_ = 0;
    std::string error_;

    ComPtr<ID3D11Device> device_;
    ComPtr<ID3D11DeviceContext> context_;
    ComPtr<IDXGISwapChain> swapChain_;
    ComPtr<ID3D11RenderTargetView> backView_;
    ComPtr<ID3D11SamplerState> sampler_;
    ComPtr<ID3D11BlendState> blend_;
    ComPtr<ID3D11RasterizerState> rasterizer_;
    ComPtr<ID3D11Buffer> sceneConstants_;
    ComPtr<ID3D11Buffer> corridorConstants_;
    ComPtr<ID3D11VertexShader> seaVs_, wallVs_, dotVs_, latticeVs_, overlayVs_;
    ComPtr<ID3D11PixelShader> seaPs_, wallPs_, dotPs_, latticePs_, overlayPs_;
    ComPtr<ID3D11InputLayout> latticeLayout_;
    ComPtr<ID3D11Buffer> latticeBuffer_;
    std::size_t latticeCapacity_ = 0;
    ComPtr<ID3D11Texture2D> overlay_;
    ComPtr<ID3D11ShaderResourceView> overlayView_;

    // The sea's history: a ring of picture textures, newest at newest_.
    static constexpr std::size_t kHistory = 30;
    ComPtr<ID3D11Texture2D> history_[kHistory];
    ComPtr<ID3D11ShaderResourceView> historyViews_[kHistory];
    int historyWidth_ = 0;
    int historyHeight_ = 0;
    std::size_t historyCount_ = 0;
    std::size_t newest_ = 0;

    IntervalTexture intervals_[2];
    std::vector<ui::CubicInterval> lists_[2];
    bool listsChanged_ = false;
    double snapshotTime_ = 0.0;
    double windowLength_ = 0.0;
    bool reachesEnd_ = false;
    bool haveArrival_ = false;
    std::chrono::steady_clock::time_point arrival_{};
    std::uint64_t presented_ = 0;
    int clientWidth_ = 0;
    int clientHeight_ = 0;
    std::function<void(GeometryStage&)> capture_;
    RECT bounds_{};
    bool hasBounds_ = false;
};

}  // namespace al::win::gpu
