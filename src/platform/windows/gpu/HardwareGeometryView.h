#pragma once
// The in-window hardware geometry view: draws a snapshot's two interval
// lists with Direct3D 11 into an offscreen R16G16B16A16 float target and
// reads the picture back as 8-bit BGRA for the window's blit.
//
// Window thread only. Never throws: every failure leaves a text.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/GeometryViewsController.h"
#include "platform/windows/gpu/GpuSupport.h"
#include "visual/GeometryMaths.h"

namespace al::win::gpu {

class HardwareGeometryView final : public app::HardwareGeometryRenderer {
  public:
    // Picks the adapter; without one the error text says so.
    HardwareGeometryView();
    ~HardwareGeometryView() override;

    bool adapterPresent() const noexcept override { return adapter_.has_value(); }
    std::string adapterLabel() const override;
    bool enable() noexcept override;
    void disable() noexcept override;
    bool ready() const noexcept override { return device_ != nullptr; }
    void setPalette(int index) noexcept override { palette_ = ui::normalisePaletteIndex(index); }
    bool render(const ui::PresentationGeometrySnapshot& snapshot, int width, int height,
                bool split) noexcept override;
    app::GeometryPicture picture() const noexcept override;
    std::string lastError() const override { return error_; }

    // The same with explicit lists (the snapshot's lists by default).
    bool renderLists(const std::vector<ui::CubicInterval>& channel0,
                     const std::vector<ui::CubicInterval>& channel1, int width, int height,
                     bool split) noexcept;
    const std::string& adapterDescription() const noexcept;

  private:
    bool setUp();
    bool ensureTarget(int width, int height);
    bool drawChannel(const std::vector<ui::CubicInterval>& list, int channel, bool split, int width,
                     int height);

    std::optional<AdapterChoice> adapter_;
    ComPtr<ID3D11Device> device_;
    ComPtr<ID3D11DeviceContext> context_;
    ComPtr<ID3D11Buffer> constants_;
    ComPtr<ID3D11BlendState> blend_;
    ComPtr<ID3D11RasterizerState> rasterizer_;
    ComPtr<ID3D11VertexShader> vertexShader_;
    ComPtr<ID3D11PixelShader> pixelShader_;
    IntervalTexture intervals_[2];
    ComPtr<ID3D11Texture2D> target_;
    ComPtr<ID3D11RenderTargetView> targetView_;
    ComPtr<ID3D11Texture2D> staging_;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> pixels_;
    bool havePicture_ = false;
    std::unique_ptr<ui::HalfToSrgbTable> table_;
    int palette_ = 0;
    std::string error_;
};

}  // namespace al::win::gpu
