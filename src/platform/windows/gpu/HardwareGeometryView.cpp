#include "platform/windows/gpu/HardwareGeometryView.h"

#include <cstring>
#include <new>

#include "visual/GeometryShaders.h"

namespace al::win::gpu {

namespace {

// The constant buffer of one draw.
struct DrawConstants {
    float gBaseline;
    float gAmplitudeScale;
    float gHalfThicknessPixels;
    float gOpacity;
    float gColor[4];
    std::uint32_t gSamplesPerInterval;
    std::uint32_t gFirstInterval;
    std::uint32_t gIntervalCount;
    float gPadding0;
    float gViewportSize[2];
    float gPadding1[2];
};
static_assert(sizeof(DrawConstants) == 64, "the card reads 64 bytes");

const IntervalTexture::Texts kIntervalTexts{"hardware geometry interval list is too large.",
                                            "Unable to create hardware geometry interval buffer: ",
                                            "Unable to create hardware geometry interval view: ",
                                            "Unable to update hardware geometry interval buffer: "};

}  // namespace

HardwareGeometryView::HardwareGeometryView() {
    adapter_ = chooseAdapter();
    if (!adapter_) {
        error_ = "No hardware Direct3D 11 display adapter was detected.";
    }
}

HardwareGeometryView::~HardwareGeometryView() {
    disable();
}

std::string HardwareGeometryView::adapterLabel() const {
    return adapter_ && adapter_->nvidia ? "NVIDIA" : "Direct3D";
}

const std::string& HardwareGeometryView::adapterDescription() const noexcept {
    static const std::string none;
    return adapter_ ? adapter_->description : none;
}

bool HardwareGeometryView::enable() noexcept {
    if (device_) {
        return true;
    }
    try {
        if (!setUp()) {
            disable();
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        disable();
        error_ = "Hardware geometry ran out of memory.";
        return false;
    }
}

bool HardwareGeometryView::setUp() {
    if (!adapter_) {
        error_ = "No hardware Direct3D 11 display adapter was detected.";
        return false;
    }
    // The adapter seen at start must still be there (a driver update or an
    // undocked card removes it).
    const LUID luid = adapter_->luid;
    auto again = chooseAdapter(&luid);
    if (!again) {
        error_ = "The Direct3D adapter detected at startup is no longer available.";
        return false;
    }
    HRESULT hr = createDevice(again->adapter.Get(), device_, context_);
    if (FAILED(hr)) {
        device_.Reset();
        error_ = "Unable to create a Direct3D 11 device on " + again->description + ": " +
                 hresultText(hr);
        return false;
    }
    D3D11_BLEND_DESC blend{};
    blend.RenderTarget[0].BlendEnable = TRUE;
    blend.RenderTarget[0].SrcBlend = D3D11_BLEND_SRC_ALPHA;
    blend.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blend.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (FAILED(hr = device_->CreateBlendState(&blend, blend_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry blend state: " + hresultText(hr);
        return false;
    }
    D3D11_RASTERIZER_DESC raster{};
    raster.FillMode = D3D11_FILL_SOLID;
    raster.CullMode = D3D11_CULL_NONE;
    raster.DepthClipEnable = TRUE;
    if (FAILED(hr = device_->CreateRasterizerState(&raster, rasterizer_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry rasterizer state: " + hresultText(hr);
        return false;
    }
    if (FAILED(hr = createConstantBuffer(device_.Get(), sizeof(DrawConstants), constants_))) {
        error_ = "Unable to create hardware geometry constant buffer: " + hresultText(hr);
        return false;
    }
    ComPtr<ID3DBlob> vs, ps;
    std::string message;
    if (!compileShader(ui::hardwareGeometryShaderSource(), ui::kHardwareGeometryShaderName,
                       "VSMain", "vs_5_0", vs, message)) {
        error_ = "hardware geometry vertex shader failed to compile: " + message;
        return false;
    }
    if (!compileShader(ui::hardwareGeometryShaderSource(), ui::kHardwareGeometryShaderName,
                       "PSMain", "ps_5_0", ps, message)) {
        error_ = "hardware geometry pixel shader failed to compile: " + message;
        return false;
    }
    if (FAILED(hr = device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(),
                                                nullptr, vertexShader_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry vertex shader: " + hresultText(hr);
        return false;
    }
    if (FAILED(hr = device_->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr,
                                               pixelShader_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry pixel shader: " + hresultText(hr);
        return false;
    }
    if (!table_) {
        table_ = std::make_unique<ui::HalfToSrgbTable>();
    }
    error_.clear();
    return true;
}

void HardwareGeometryView::disable() noexcept {
    if (context_) {
        context_->ClearState();
        context_->Flush();
    }
    intervals_[0].release();
    intervals_[1].release();
    staging_.Reset();
    targetView_.Reset();
    target_.Reset();
    pixelShader_.Reset();
    vertexShader_.Reset();
    constants_.Reset();
    rasterizer_.Reset();
    blend_.Reset();
    context_.Reset();
    device_.Reset();
    width_ = height_ = 0;
    havePicture_ = false;
}

bool HardwareGeometryView::ensureTarget(int width, int height) {
    if (width <= 0 || height <= 0) {
        error_ = "Hardware geometry render size must be positive.";
        return false;
    }
    if (target_ && width == width_ && height == height_) {
        return true;
    }
    target_.Reset();
    targetView_.Reset();
    staging_.Reset();
    UINT support = 0;
    const UINT needed = D3D11_FORMAT_SUPPORT_RENDER_TARGET | D3D11_FORMAT_SUPPORT_BLENDABLE;
    if (FAILED(device_->CheckFormatSupport(DXGI_FORMAT_R16G16B16A16_FLOAT, &support)) ||
        (support & needed) != needed) {
        error_ =
            "The hardware adapter does not support the required 16-bit floating-point Bender "
            "render target.";
        return false;
    }
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = static_cast<UINT>(width);
    desc.Height = static_cast<UINT>(height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R16G16B16A16_FLOAT;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    HRESULT hr = device_->CreateTexture2D(&desc, nullptr, target_.GetAddressOf());
    if (FAILED(hr)) {
        error_ = "Unable to create hardware geometry render target: " + hresultText(hr);
        return false;
    }
    if (FAILED(hr = device_->CreateRenderTargetView(target_.Get(), nullptr,
                                                    targetView_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry target view: " + hresultText(hr);
        target_.Reset();
        return false;
    }
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    if (FAILED(hr = device_->CreateTexture2D(&desc, nullptr, staging_.GetAddressOf()))) {
        error_ = "Unable to create hardware geometry staging surface: " + hresultText(hr);
        target_.Reset();
        targetView_.Reset();
        return false;
    }
    width_ = width;
    height_ = height;
    pixels_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
    return true;
}

bool HardwareGeometryView::drawChannel(const std::vector<ui::CubicInterval>& list, int channel,
                                       bool split, int width, int height) {
    if (!intervals_[channel].upload(device_.Get(), context_.Get(), list, kIntervalTexts, error_)) {
        return false;
    }
    const std::uint32_t count = intervals_[channel].count();
    if (count == 0) {
        return true;
    }
    const float viewportHeight =
        split ? static_cast<float>(height) / 2.0f : static_cast<float>(height);
    D3D11_VIEWPORT viewport{};
    viewport.TopLeftX = 0.0f;
    viewport.TopLeftY = split && channel == 1 ? viewportHeight : 0.0f;
    viewport.Width = static_cast<float>(width);
    viewport.Height = viewportHeight;
    viewport.MaxDepth = 1.0f;
    context_->RSSetViewports(1, &viewport);
    ID3D11ShaderResourceView* view = intervals_[channel].view();
    context_->VSSetShaderResources(0, 1, &view);

    const ui::ChannelLane lane = ui::channelLane(channel, split);
    const ui::Rgb colour = ui::paletteColour(palette_, channel);
    struct Pass {
        float halfThickness;
        float opacity;
    };
    for (const Pass pass : {Pass{1.5f, 0.075f}, Pass{0.425f, 0.96f}}) {
        DrawConstants c{};
        c.gBaseline = lane.baseline;
        c.gAmplitudeScale = lane.amplitudeScale;
        c.gHalfThicknessPixels = pass.halfThickness;
        c.gOpacity = pass.opacity;
        c.gColor[0] = colour.r;
        c.gColor[1] = colour.g;
        c.gColor[2] = colour.b;
        c.gColor[3] = 1.0f;
        c.gSamplesPerInterval = 2;
        c.gFirstInterval = 0;
        c.gIntervalCount = count;
        c.gViewportSize[0] = static_cast<float>(width);
        c.gViewportSize[1] = viewportHeight;
        const HRESULT hr = writeBuffer(context_.Get(), constants_.Get(), &c, sizeof c);
        if (FAILED(hr)) {
            error_ = "Unable to update hardware geometry constant buffer: " + hresultText(hr);
            return false;
        }
        context_->Draw(count * 4, 0);
    }
    return true;
}

bool HardwareGeometryView::render(const ui::PresentationGeometrySnapshot& snapshot, int width,
                                  int height, bool split) noexcept {
    return renderLists(snapshot.channels[0], snapshot.channels[1], width, height, split);
}

bool HardwareGeometryView::renderLists(const std::vector<ui::CubicInterval>& channel0,
                                       const std::vector<ui::CubicInterval>& channel1, int width,
                                       int height, bool split) noexcept {
    if (!device_) {
        if (error_.empty()) {
            error_ = "Hardware Geometric View renderer is unavailable.";
        }
        return false;
    }
    try {
        if (!ensureTarget(width, height)) {
            return false;
        }
        context_->ClearRenderTargetView(targetView_.Get(), ui::kViewClearColour.data());
        ID3D11RenderTargetView* targets[] = {targetView_.Get()};
        context_->OMSetRenderTargets(1, targets, nullptr);
        const float blendFactor[4] = {0, 0, 0, 0};
        context_->OMSetBlendState(blend_.Get(), blendFactor, 0xFFFFFFFFu);
        context_->RSSetState(rasterizer_.Get());
        context_->IASetInputLayout(nullptr);
        context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context_->VSSetShader(vertexShader_.Get(), nullptr, 0);
        context_->PSSetShader(pixelShader_.Get(), nullptr, 0);
        ID3D11Buffer* buffers[] = {constants_.Get()};
        context_->VSSetConstantBuffers(0, 1, buffers);
        context_->PSSetConstantBuffers(0, 1, buffers);
        if (!drawChannel(channel0, 0, split, width, height) ||
            !drawChannel(channel1, 1, split, width, height)) {
            havePicture_ = false;
            return false;
        }
        context_->CopyResource(staging_.Get(), target_.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        const HRESULT hr = context_->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
        if (FAILED(hr)) {
            error_ = "Unable to read the hardware geometry frame: " + hresultText(hr);
            havePicture_ = false;
            return false;
        }
        ui::convertHalfRowsToBgra(*table_, static_cast<const std::uint8_t*>(mapped.pData),
                                  mapped.RowPitch, width, height, pixels_.data(),
                                  static_cast<std::size_t>(width) * 4);
        context_->Unmap(staging_.Get(), 0);
        havePicture_ = true;
        return true;
    } catch (const std::exception&) {
        error_ = "Hardware geometry ran out of memory.";
        havePicture_ = false;
        return false;
    }
}

app::GeometryPicture HardwareGeometryView::picture() const noexcept {
    if (!havePicture_) {
        return {};
    }
    return {pixels_.data(), width_, height_, width_ * 4};
}

}  // namespace al::win::gpu
