#include "platform/windows/gpu/GeometryStage.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "visual/GeometryMaths.h"
#include "visual/GeometryShaders.h"

namespace al::win::gpu {

namespace {

constexpr wchar_t kClassName[] = L"AuralithGpuGeometryWindow";
constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT kHoldStylusUp = WM_APP + 0x8C;
constexpr UINT kResume = WM_APP + 0x8D;
constexpr UINT kVolumeBegin = WM_APP + 0x8E;
constexpr UINT kVolumeSet = WM_APP + 0x8F;
constexpr UINT kVolumeEnd = WM_APP + 0x90;
constexpr UINT kCycleColour = WM_APP + 0x93;
constexpr WPARAM kSwitchViewCommand = 5010;
constexpr int kOverlayWidth = 1024;
constexpr int kOverlayHeight = 250;

struct SceneConstants {
    float gScale[2];
    float gCenter[2];
    float gOpacity;
    float gThreshold;
    float gUvY[2];
    float gTint[4];
    float gSoftOpacity;
    float gSoftThreshold;
    float gScenePadding[2];
};
static_assert(sizeof(SceneConstants) == 64, "16-byte rows");

struct CorridorConstants {
    float gSide;
    float gNearBaseline;
    float gAmplitudeScale;
    float gHalfThicknessPixels;
    float gOpacity;
    float gDepthExponent;
    float gMinimumHalfThicknessPixels;
    float gPadding0;
    float gColor[4];
    std::uint32_t gSamplesPerInterval;
    std::uint32_t gFirstInterval;
    std::uint32_t gIntervalCount;
    float gNormalizedShift;
    float gViewportSize[2];
    float gPadding1[2];
};
static_assert(sizeof(CorridorConstants) == 80, "16-byte rows");

struct LatticeVertex {
    float x, y;
    float r, g, b, a;
};

const IntervalTexture::Texts kIntervalTexts{
    "Surrogate Corridor interval list is too large.",
    "Unable to create Surrogate Corridor interval buffer: ",
    "Unable to create Surrogate Corridor interval view: ",
    "Unable to update Surrogate Corridor interval buffer: "};

float lerp(float a, float b, float t) {
    return a + (b - a) * t;
}

void addLine(std::vector<LatticeVertex>& v, float x0, float y0, float x1, float y1,
             const float (&c)[4]) {
    v.push_back({x0, y0, c[0], c[1], c[2], c[3]});
    v.push_back({x1, y1, c[0], c[1], c[2], c[3]});
}

}  // namespace

GeometryStage::GeometryStage(HWND owner, HINSTANCE instance) : owner_(owner), instance_(instance) {}

GeometryStage::~GeometryStage() {
    close();
}

void GeometryStage::setPalette(int index) noexcept {
    palette_ = ui::normalisePaletteIndex(index);
}

bool GeometryStage::open(app::StageScene scene, bool muted) noexcept {
    if (window_) {
        scene_ = scene;
        return true;
    }
    scene_ = scene;
    muted_ = muted;
    error_.clear();
    historyCount_ = 0;
    presented_ = 0;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &GeometryStage::windowProc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        error_ = "Unable to register the geometry-stage window class.";
        return false;
    }
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (hasBounds_) {
        area = bounds_;
    } else if (GetMonitorInfoW(MonitorFromWindow(owner_, MONITOR_DEFAULTTONEAREST), &info)) {
        area = info.rcMonitor;
    }
    window_ =
        CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"Auralith\u2122 GPU Geometry",
                        WS_POPUP | WS_CLIPCHILDREN, area.left, area.top, area.right - area.left,
                        area.bottom - area.top, owner_, nullptr, instance_, this);
    if (!window_) {
        error_ = "Unable to create the fullscreen geometry window.";
        return false;
    }
    if (!setUpDevice()) {
        const std::string text = error_;
        close();
        error_ = text;
        return false;
    }
    if (!SetTimer(window_, kFrameTimer, 16, nullptr)) {
        close();
        error_ = "Unable to start the geometry-stage presentation clock.";
        return false;
    }
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
    BringWindowToTop(window_);
    return true;
}

void GeometryStage::close() noexcept {
    if (window_) {
        KillTimer(window_, kFrameTimer);
    }
    releaseDevice();
    if (window_) {
        HWND window = window_;
        window_ = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    if (volumeDrag_) {
        volumeDrag_ = false;
        ReleaseCapture();
    }
}

void GeometryStage::closeBySelf() noexcept {
    close();
    if (owner_) {
        PostMessageW(owner_, kStageClosedMessage, 0, 0);
    }
}

void GeometryStage::releaseDevice() noexcept {
    if (context_) {
        context_->ClearState();
        context_->Flush();
    }
    for (std::size_t i = 0; i < kHistory; ++i) {
        historyViews_[i].Reset();
        history_[i].Reset();
    }
    historyCount_ = 0;
    historyWidth_ = historyHeight_ = 0;
    intervals_[0].release();
    intervals_[1].release();
    overlayView_.Reset();
    overlay_.Reset();
    latticeBuffer_.Reset();
    latticeCapacity_ = 0;
    latticeLayout_.Reset();
    seaVs_.Reset();
    wallVs_.Reset();
    dotVs_.Reset();
    latticeVs_.Reset();
    overlayVs_.Reset();
    seaPs_.Reset();
    wallPs_.Reset();
    dotPs_.Reset();
    latticePs_.Reset();
    overlayPs_.Reset();
    corridorConstants_.Reset();
    sceneConstants_.Reset();
    rasterizer_.Reset();
    blend_.Reset();
    sampler_.Reset();
    backView_.Reset();
    swapChain_.Reset();
    context_.Reset();
    device_.Reset();
    listsChanged_ = true;
}

bool GeometryStage::setUpDevice() {
    auto adapter = chooseAdapter();
    if (!adapter) {
        error_ = "No hardware Direct3D 11 adapter is available for the geometry stage.";
        return false;
    }
    HRESULT hr = createDevice(adapter->adapter.Get(), device_, context_);
    if (FAILED(hr)) {
        device_.Reset();
        error_ = "Unable to create the geometry-stage D3D11 device: " + hresultText(hr);
        return false;
    }
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> dxgiAdapter;
    ComPtr<IDXGIFactory> factory;
    if (FAILED(device_.As(&dxgiDevice)) ||
        FAILED(dxgiDevice->GetAdapter(dxgiAdapter.GetAddressOf())) ||
        FAILED(dxgiAdapter->GetParent(__uuidof(IDXGIFactory),
                                      reinterpret_cast<void**>(factory.GetAddressOf())))) {
        error_ = "Unable to obtain the DXGI factory for the geometry stage.";
        return false;
    }
    RECT client{};
    GetClientRect(window_, &client);
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = static_cast<UINT>(std::max<LONG>(client.right - client.left, 1));
    desc.BufferDesc.Height = static_cast<UINT>(std::max<LONG>(client.bottom - client.top, 1));
    desc.BufferDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.OutputWindow = window_;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    if (FAILED(hr = factory->CreateSwapChain(device_.Get(), &desc, swapChain_.GetAddressOf()))) {
        error_ = "Unable to create the geometry-stage swap chain: " + hresultText(hr);
        return false;
    }
    factory->MakeWindowAssociation(window_, DXGI_MWA_NO_ALT_ENTER);
    clientWidth_ = static_cast<int>(desc.BufferDesc.Width);
    clientHeight_ = static_cast<int>(desc.BufferDesc.Height);
    if (!makeBackBuffer()) {
        return false;
    }
    if (FAILED(hr = createConstantBuffer(device_.Get(), sizeof(SceneConstants), sceneConstants_))) {
        error_ = "Unable to create Wave Field constant buffer: " + hresultText(hr);
        return false;
    }
    if (FAILED(hr = createConstantBuffer(device_.Get(), sizeof(CorridorConstants),
                                         corridorConstants_))) {
        error_ = "Unable to create Surrogate Corridor constant buffer: " + hresultText(hr);
        return false;
    }
    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.MaxLOD = D3D11_FLOAT32_MAX;
    if (FAILED(hr = device_->CreateSamplerState(&sampler, sampler_.GetAddressOf()))) {
        error_ = "Unable to create geometry-stage sampler: " + hresultText(hr);
        return false;
    }
    // Every stage shader returns premultiplied colour.
    D3D11_BLEND_DESC blend{};
    blend.RenderTarget[0].BlendEnable = TRUE;
    blend.RenderTarget[0].SrcBlend = D3D11_BLEND_ONE;
    blend.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blend.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (FAILED(hr = device_->CreateBlendState(&blend, blend_.GetAddressOf()))) {
        error_ = "Unable to create geometry-stage blend state: " + hresultText(hr);
        return false;
    }
    D3D11_RASTERIZER_DESC raster{};
    raster.FillMode = D3D11_FILL_SOLID;
    raster.CullMode = D3D11_CULL_NONE;
    raster.DepthClipEnable = TRUE;
    if (FAILED(hr = device_->CreateRasterizerState(&raster, rasterizer_.GetAddressOf()))) {
        error_ = "Unable to create geometry-stage rasterizer state: " + hresultText(hr);
        return false;
    }
    struct Stage {
        const char* vs;
        const char* ps;
        ComPtr<ID3D11VertexShader>* vertex;
        ComPtr<ID3D11PixelShader>* pixel;
    };
    const Stage stages[] = {
        {"SeaVS", "SeaPS", std::addressof(seaVs_), std::addressof(seaPs_)},
        {"WallVS", "WallPS", std::addressof(wallVs_), std::addressof(wallPs_)},
        {"DotVS", "DotPS", std::addressof(dotVs_), std::addressof(dotPs_)},
        {"LatticeVS", "LatticePS", std::addressof(latticeVs_), std::addressof(latticePs_)},
        {"OverlayVS", "OverlayPS", std::addressof(overlayVs_), std::addressof(overlayPs_)}};
    for (const Stage& s : stages) {
        ComPtr<ID3DBlob> vs, ps;
        std::string message;
        if (!compileShader(ui::stageShaderSource(), ui::kStageShaderName, s.vs, "vs_5_0", vs,
                           message) ||
            !compileShader(ui::stageShaderSource(), ui::kStageShaderName, s.ps, "ps_5_0", ps,
                           message)) {
            error_ = "A geometry-stage shader failed to compile: " + message;
            return false;
        }
        if (FAILED(hr = device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(),
                                                    nullptr, s.vertex->GetAddressOf())) ||
            FAILED(hr = device_->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(),
                                                   nullptr, s.pixel->GetAddressOf()))) {
            error_ = "Unable to create geometry-stage shader: " + hresultText(hr);
            return false;
        }
        if (s.vertex == std::addressof(latticeVs_)) {
            const D3D11_INPUT_ELEMENT_DESC layout[] = {
                {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
                {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0}};
            if (FAILED(hr = device_->CreateInputLayout(layout, 2, vs->GetBufferPointer(),
                                                       vs->GetBufferSize(),
                                                       latticeLayout_.GetAddressOf()))) {
                error_ = "Unable to create corridor lattice input layout: " + hresultText(hr);
                return false;
            }
        }
    }
    return makeOverlay();
}

bool GeometryStage::makeBackBuffer() {
    backView_.Reset();
    ComPtr<ID3D11Texture2D> back;
    HRESULT hr = swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D),
                                       reinterpret_cast<void**>(back.GetAddressOf()));
    if (FAILED(hr)) {
        error_ = "Unable to acquire geometry-stage back buffer: " + hresultText(hr);
        return false;
    }
    if (FAILED(
            hr = device_->CreateRenderTargetView(back.Get(), nullptr, backView_.GetAddressOf()))) {
        error_ = "Unable to create geometry-stage render target: " + hresultText(hr);
        return false;
    }
    return true;
}

bool GeometryStage::makeOverlay() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kOverlayWidth;
    info.bmiHeader.biHeight = -kOverlayHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = dc ? CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!bitmap || !bits) {
        if (dc) {
            DeleteDC(dc);
        }
        error_ = "Unable to create Surrogate Corridor title overlay: " + hresultText(E_OUTOFMEMORY);
        return false;
    }
    HGDIOBJ previous = SelectObject(dc, bitmap);
    std::memset(bits, 0, static_cast<std::size_t>(kOverlayWidth) * kOverlayHeight * 4);
    SetBkMode(dc, TRANSPARENT);
    struct Line {
        int top, height, weight;
        COLORREF colour;
        const wchar_t* text;
    };
    const Line lines[] = {
        {12, 30, 600, RGB(70, 150, 255), L"A U R A L I T H"},
        {52, 43, 300, RGB(110, 190, 255), L"SURROGATE CORRIDOR"},
        {112, 18, 400, RGB(90, 180, 245),
         L"TWO CHANNELS  \u2022  ONE CONTINUOUS WAVEFORM PER CHANNEL"},
        {145, 14, 400, RGB(65, 145, 220),
         L"THE PLAYBACK LATTICE  \u2022  FUTURE AUDIO FLOWS FROM THE HORIZON"},
        {196, 14, 400, RGB(55, 120, 190), L"CURVES, NOT SAMPLES"},
    };
    for (const Line& line : lines) {
        HFONT font = CreateFontW(-line.height, 0, 0, 0, line.weight, FALSE, FALSE, FALSE,
                                 DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 ANTIALIASED_QUALITY, DEFAULT_PITCH, L"Segoe UI");
        HGDIOBJ oldFont = SelectObject(dc, font);
        SetTextColor(dc, line.colour);
        RECT box{0, line.top, kOverlayWidth, line.top + line.height + 12};
        DrawTextW(dc, line.text, -1, &box, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, oldFont);
        DeleteObject(font);
    }
    GdiFlush();
    // Text on black is already premultiplied: alpha is the brightest channel.
    auto* pixels = static_cast<std::uint8_t*>(bits);
    for (std::size_t i = 0; i < static_cast<std::size_t>(kOverlayWidth) * kOverlayHeight; ++i) {
        std::uint8_t* p = pixels + i * 4;
        p[3] = std::max({p[0], p[1], p[2]});
    }
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = kOverlayWidth;
    desc.Height = kOverlayHeight;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_IMMUTABLE;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    D3D11_SUBRESOURCE_DATA data{bits, kOverlayWidth * 4, 0};
    HRESULT hr = device_->CreateTexture2D(&desc, &data, overlay_.GetAddressOf());
    if (SUCCEEDED(hr)) {
        hr =
            device_->CreateShaderResourceView(overlay_.Get(), nullptr, overlayView_.GetAddressOf());
    }
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    if (FAILED(hr)) {
        error_ = "Unable to create Surrogate Corridor title overlay: " + hresultText(hr);
        return false;
    }
    return true;
}

bool GeometryStage::feed(const ui::PresentationGeometrySnapshot& snapshot,
                         const app::GeometryPicture& picture) noexcept {
    if (!window_ || !device_) {
        return false;
    }
    if (!error_.empty()) {
        return false;  // the last timer frame failed
    }
    try {
        lists_[0] = snapshot.channels[0];
        lists_[1] = snapshot.channels[1];
    } catch (const std::exception&) {
        error_ = "Unable to upload the live geometry frame: " + hresultText(E_OUTOFMEMORY);
        return false;
    }
    listsChanged_ = true;
    snapshotTime_ = snapshot.time;
    windowLength_ = snapshot.windowLength;
    reachesEnd_ = snapshot.reachesEnd;
    arrival_ = std::chrono::steady_clock::now();
    haveArrival_ = true;
    if (!picture.valid()) {
        return true;
    }
    HRESULT hr = S_OK;
    if (picture.width != historyWidth_ || picture.height != historyHeight_) {
        for (std::size_t i = 0; i < kHistory; ++i) {
            historyViews_[i].Reset();
            history_[i].Reset();
        }
        historyCount_ = 0;
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = static_cast<UINT>(picture.width);
        desc.Height = static_cast<UINT>(picture.height);
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        for (std::size_t i = 0; i < kHistory && SUCCEEDED(hr); ++i) {
            hr = device_->CreateTexture2D(&desc, nullptr, history_[i].GetAddressOf());
            if (SUCCEEDED(hr)) {
                hr = device_->CreateShaderResourceView(history_[i].Get(), nullptr,
                                                       historyViews_[i].GetAddressOf());
            }
        }
        if (FAILED(hr)) {
            error_ = "Unable to upload the live geometry frame: " + hresultText(hr);
            return false;
        }
        historyWidth_ = picture.width;
        historyHeight_ = picture.height;
    }
    const std::size_t next = historyCount_ == 0 ? 0 : (newest_ + 1) % kHistory;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    hr = context_->Map(history_[next].Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
    if (FAILED(hr)) {
        error_ = "Unable to upload the live geometry frame: " + hresultText(hr);
        return false;
    }
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(
            static_cast<std::uint8_t*>(mapped.pData) +
                static_cast<std::size_t>(y) * mapped.RowPitch,
            picture.pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.stride),
            static_cast<std::size_t>(picture.width) * 4);
    }
    context_->Unmap(history_[next].Get(), 0);
    newest_ = next;
    historyCount_ = std::min(historyCount_ + 1, kHistory);
    return true;
}

void GeometryStage::setTransport(bool playing, bool pausedWithoutHold, bool volumeAvailable,
                                 float volumeLevel) noexcept {
    if (playing && !playing_) {
        // Time flows from now on; the snapshot's own time stays the anchor.
        arrival_ = std::chrono::steady_clock::now();
    }
    playing_ = playing;
    pausedWithoutHold_ = pausedWithoutHold;
    volumeAvailable_ = volumeAvailable;
    volumeLevel_ = std::clamp(volumeLevel, 0.0f, 1.0f);
}

double GeometryStage::stageTime() const noexcept {
    if (!playing_ || !haveArrival_) {
        return snapshotTime_;
    }
    return snapshotTime_ +
           std::chrono::duration<double>(std::chrono::steady_clock::now() - arrival_).count();
}

bool GeometryStage::resize() {
    RECT client{};
    GetClientRect(window_, &client);
    const int width = std::max<int>(client.right - client.left, 1);
    const int height = std::max<int>(client.bottom - client.top, 1);
    if (width == clientWidth_ && height == clientHeight_) {
        return true;
    }
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    backView_.Reset();
    const HRESULT hr = swapChain_->ResizeBuffers(0, static_cast<UINT>(width),
                                                 static_cast<UINT>(height), DXGI_FORMAT_UNKNOWN, 0);
    if (FAILED(hr)) {
        error_ = "Unable to resize the geometry-stage swap chain: " + hresultText(hr);
        return false;
    }
    clientWidth_ = width;
    clientHeight_ = height;
    return makeBackBuffer();
}

bool GeometryStage::drawSea(int width, int height) {
    const float widthLimit =
        ui::seaWidthLimit(static_cast<float>(width), static_cast<float>(height));
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->IASetInputLayout(nullptr);
    context_->VSSetShader(seaVs_.Get(), nullptr, 0);
    context_->PSSetShader(seaPs_.Get(), nullptr, 0);
    for (std::size_t k = historyCount_; k-- > 0;) {
        const int n = static_cast<int>(k);
        const std::size_t slot = (newest_ + kHistory - k) % kHistory;
        ID3D11ShaderResourceView* view = historyViews_[slot].Get();
        context_->PSSetShaderResources(1, 1, &view);
        const ui::SeaLayer layer = ui::seaLayer(n, static_cast<float>(snapshotTime_), widthLimit);
        // One draw per half carries both the soft and the sharp pass (the
        // pixel shader composites the sharp one over the soft one): half the
        // draws and fragments, which is what a software rasteriser pays for.
        for (int state = 0; state < 2; ++state) {
            SceneConstants c{};
            c.gScale[0] = layer.widthScale;
            c.gScale[1] = layer.heightScale;
            c.gCenter[0] = layer.sway;
            c.gCenter[1] = state == 0 ? layer.upperCentre : layer.lowerCentre;
            c.gOpacity = layer.opacity;
            c.gThreshold = ui::kSeaSharpThreshold;
            c.gSoftOpacity = layer.opacity * ui::kSeaSoftOpacity;
            c.gSoftThreshold = ui::kSeaSoftThreshold;
            c.gUvY[0] = static_cast<float>(state) * 0.5f;
            c.gUvY[1] = 0.5f;
            std::copy(layer.tint.begin(), layer.tint.end(), c.gTint);
            const HRESULT hr = writeBuffer(context_.Get(), sceneConstants_.Get(), &c, sizeof c);
            if (FAILED(hr)) {
                error_ = "Unable to update Wave Field constant buffer: " + hresultText(hr);
                return false;
            }
            context_->Draw(6, 0);
        }
    }
    return true;
}

bool GeometryStage::drawCorridor(int width, int height) {
    const double now = stageTime();
    if (listsChanged_) {
        for (int ch = 0; ch < 2; ++ch) {
            if (!intervals_[ch].upload(device_.Get(), context_.Get(), lists_[ch], kIntervalTexts,
                                       error_)) {
                return false;
            }
        }
        listsChanged_ = false;
    }
    ui::CorridorSnapshot snap{snapshotTime_, windowLength_, reachesEnd_, 0.0f, 0.0f};
    const bool has0 = !lists_[0].empty();
    const bool has1 = !lists_[1].empty();
    snap.lastRight0 = has0 ? lists_[0].back().xRight : (has1 ? lists_[1].back().xRight : 0.0f);
    snap.lastRight1 = has1 ? lists_[1].back().xRight : snap.lastRight0;
    const float shift = static_cast<float>(ui::corridorShift(snap, now));

    // The lattice: rails to the horizon and rungs that travel towards the viewer.
    std::vector<LatticeVertex> lines;
    lines.reserve(2 * (9 + 26) * 2 + 2);
    const float rail[4] = {0.015f, 0.1f, 0.3f, 0.25f};
    const float centreRail[4] = {0.025f, 0.2f, 0.55f, 0.38f};
    for (const float s : {-1.0f, 1.0f}) {
        for (int k = -4; k <= 4; ++k) {
            addLine(lines, s * 1.045f, static_cast<float>(k) * 0.19f, s * 0.012f, 0.0f,
                    k == 0 ? centreRail : rail);
        }
        for (int j = 0; j <= 25; ++j) {
            const float q = ui::corridorRungDepth(j, now);
            if (q < 0.0f) {
                continue;
            }
            const float x = lerp(s * 1.045f, s * 0.012f, q);
            const float colour[4] = {0.02f, 0.16f, 0.48f, std::max(0.3f - 0.27f * q, 0.03f)};
            addLine(lines, x, -(1.0f - q) * 0.84f, x, (1.0f - q) * 0.84f, colour);
        }
    }
    if (volumeAvailable_) {
        const float level[4] = {0.2f, 0.55f, 1.0f, 0.8f};
        addLine(lines, 0.985f, -0.9f, 0.985f, -0.9f + 1.8f * volumeLevel_, level);
    }
    if (lines.size() > latticeCapacity_) {
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(lines.size() * sizeof(LatticeVertex));
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        const HRESULT hr =
            device_->CreateBuffer(&desc, nullptr, latticeBuffer_.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            error_ = "Unable to create corridor lattice vertex buffer: " + hresultText(hr);
            return false;
        }
        latticeCapacity_ = lines.size();
    }
    HRESULT hr = writeBuffer(context_.Get(), latticeBuffer_.Get(), lines.data(),
                             lines.size() * sizeof(LatticeVertex));
    if (FAILED(hr)) {
        error_ = "Unable to update corridor lattice vertex buffer: " + hresultText(hr);
        return false;
    }
    const UINT stride = sizeof(LatticeVertex);
    const UINT offset = 0;
    ID3D11Buffer* vb = latticeBuffer_.Get();
    context_->IASetVertexBuffers(0, 1, &vb, &stride, &offset);
    context_->IASetInputLayout(latticeLayout_.Get());
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_LINELIST);
    context_->VSSetShader(latticeVs_.Get(), nullptr, 0);
    context_->PSSetShader(latticePs_.Get(), nullptr, 0);
    context_->Draw(static_cast<UINT>(lines.size()), 0);
    context_->IASetInputLayout(nullptr);

    // The walls and their control points.
    struct Pass {
        float half, minimum, opacityScale;
    };
    const Pass full[] = {{8.0f, 2.0f, 0.13f}, {1.9f, 0.95f, 1.0f}};
    const Pass cheap[] = {{0.5f, 0.5f, 1.0f}};
    const Pass* passes = lowCost_ ? cheap : full;
    const int passCount = lowCost_ ? 1 : 2;
    for (int ch = 0; ch < 2; ++ch) {
        const std::uint32_t count = intervals_[ch].count();
        if (count == 0) {
            continue;
        }
        ID3D11ShaderResourceView* view = intervals_[ch].view();
        context_->VSSetShaderResources(0, 1, &view);
        const ui::Rgb colour = ui::paletteColour(palette_, ch);
        CorridorConstants c{};
        c.gSide = ch == 0 ? -1.0f : 1.0f;
        c.gNearBaseline = 0.0f;
        c.gAmplitudeScale = 0.72f;
        c.gDepthExponent = 0.78f;
        c.gColor[0] = colour.r;
        c.gColor[1] = colour.g;
        c.gColor[2] = colour.b;
        c.gColor[3] = 1.0f;
        c.gSamplesPerInterval = 2;
        c.gIntervalCount = count;
        c.gNormalizedShift = shift;
        c.gViewportSize[0] = static_cast<float>(width);
        c.gViewportSize[1] = static_cast<float>(height);
        const float opacity = ch == 0 ? 0.98f : 0.92f;
        context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context_->VSSetShader(wallVs_.Get(), nullptr, 0);
        context_->PSSetShader(wallPs_.Get(), nullptr, 0);
        for (int p = 0; p < passCount; ++p) {
            c.gHalfThicknessPixels = passes[p].half;
            c.gMinimumHalfThicknessPixels = passes[p].minimum;
            c.gOpacity = opacity * passes[p].opacityScale;
            if (FAILED(hr = writeBuffer(context_.Get(), corridorConstants_.Get(), &c, sizeof c))) {
                error_ = "Unable to update Surrogate Corridor constant buffer: " + hresultText(hr);
                return false;
            }
            context_->Draw(count * 4, 0);
        }
        c.gHalfThicknessPixels = 2.25f;
        c.gMinimumHalfThicknessPixels = 1.15f;
        c.gOpacity = 0.62f;
        c.gColor[0] = ch == 0 ? 0.62f : 0.72f;
        c.gColor[1] = ch == 0 ? 0.92f : 0.8f;
        c.gColor[2] = 1.0f;
        if (FAILED(hr = writeBuffer(context_.Get(), corridorConstants_.Get(), &c, sizeof c))) {
            error_ = "Unable to update Surrogate Corridor constant buffer: " + hresultText(hr);
            return false;
        }
        context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        context_->VSSetShader(dotVs_.Get(), nullptr, 0);
        context_->PSSetShader(dotPs_.Get(), nullptr, 0);
        context_->Draw(count * 12, 0);
    }
    return drawOverlay(width, height);
}

bool GeometryStage::drawOverlay(int width, int height) {
    const float scale = std::min(1.0f, static_cast<float>(width) * 0.8f / kOverlayWidth);
    SceneConstants c{};
    c.gScale[0] = kOverlayWidth * scale / static_cast<float>(width);
    c.gScale[1] = kOverlayHeight * scale / static_cast<float>(height);
    c.gCenter[0] = 0.0f;
    c.gCenter[1] = 1.0f - c.gScale[1] - 48.0f / static_cast<float>(height);
    c.gOpacity = 1.0f;
    const HRESULT hr = writeBuffer(context_.Get(), sceneConstants_.Get(), &c, sizeof c);
    if (FAILED(hr)) {
        error_ = "Unable to update Wave Field constant buffer: " + hresultText(hr);
        return false;
    }
    ID3D11ShaderResourceView* view = overlayView_.Get();
    context_->PSSetShaderResources(1, 1, &view);
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->VSSetShader(overlayVs_.Get(), nullptr, 0);
    context_->PSSetShader(overlayPs_.Get(), nullptr, 0);
    context_->Draw(6, 0);
    return true;
}

bool GeometryStage::drawFrame() noexcept {
    if (!window_ || !device_ || !error_.empty()) {
        return false;
    }
    try {
        if (!resize()) {
            return false;
        }
        const int width = clientWidth_;
        const int height = clientHeight_;
        const bool corridor = scene_ == app::StageScene::SurrogateCorridor;
        if (!corridor && historyCount_ == 0) {
            return true;  // nothing to show yet
        }
        ID3D11RenderTargetView* targets[] = {backView_.Get()};
        context_->OMSetRenderTargets(1, targets, nullptr);
        const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        context_->ClearRenderTargetView(backView_.Get(), black);
        D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height),
                                0.0f, 1.0f};
        context_->RSSetViewports(1, &viewport);
        context_->RSSetState(rasterizer_.Get());
        const float factor[4] = {0, 0, 0, 0};
        context_->OMSetBlendState(blend_.Get(), factor, 0xFFFFFFFFu);
        ID3D11Buffer* buffers[] = {sceneConstants_.Get(), corridorConstants_.Get()};
        context_->VSSetConstantBuffers(0, 2, buffers);
        context_->PSSetConstantBuffers(0, 2, buffers);
        ID3D11SamplerState* samplers[] = {sampler_.Get()};
        context_->PSSetSamplers(0, 1, samplers);
        if (!(corridor ? drawCorridor(width, height) : drawSea(width, height))) {
            return false;
        }
        if (capture_) {
            capture_(*this);
        }
        const HRESULT hr = swapChain_->Present(0, 0);
        if (FAILED(hr)) {
            error_ = "Geometry-stage presentation failed: " + hresultText(hr);
            return false;
        }
        ++presented_;
        return true;
    } catch (const std::exception&) {
        error_ = "Geometry-stage presentation failed: " + hresultText(E_OUTOFMEMORY);
        return false;
    }
}

bool GeometryStage::captureBackBuffer(std::vector<std::uint8_t>& pixels, int& width,
                                      int& height) noexcept {
    if (!swapChain_) {
        return false;
    }
    ComPtr<ID3D11Texture2D> back;
    if (FAILED(swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D),
                                     reinterpret_cast<void**>(back.GetAddressOf())))) {
        return false;
    }
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, staging.GetAddressOf()))) {
        return false;
    }
    context_->CopyResource(staging.Get(), back.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        return false;
    }
    width = static_cast<int>(desc.Width);
    height = static_cast<int>(desc.Height);
    try {
        pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    } catch (const std::exception&) {
        context_->Unmap(staging.Get(), 0);
        return false;
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(
            pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4,
            static_cast<const std::uint8_t*>(mapped.pData) +
                static_cast<std::size_t>(y) * mapped.RowPitch,
            static_cast<std::size_t>(width) * 4);
    }
    context_->Unmap(staging.Get(), 0);
    return true;
}

LRESULT CALLBACK GeometryStage::windowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* stage = reinterpret_cast<GeometryStage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (stage && stage->window_ == window) {
        return stage->handle(message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT GeometryStage::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_;
    RECT client{};
    GetClientRect(window, &client);
    const int width = std::max<int>(client.right, 1);
    const int height = std::max<int>(client.bottom, 1);
    switch (message) {
        case WM_TIMER:
            if (wParam == kFrameTimer) {
                drawFrame();
                return 0;
            }
            break;
        case WM_ERASEBKGND:
            return 1;
        case WM_KEYDOWN:
            if (wParam == VK_ESCAPE || wParam == VK_F11) {
                closeBySelf();
                return 0;
            }
            if (wParam == VK_F9 && owner_) {
                PostMessageW(owner_, WM_COMMAND, kSwitchViewCommand, 0);
                return 0;
            }
            if (wParam == 'C' && owner_) {
                PostMessageW(owner_, kCycleColour, 0, 0);
                return 0;
            }
            break;
        case WM_LBUTTONDOWN: {
            const int x = GET_X_LPARAM(lParam);
            const int y = GET_Y_LPARAM(lParam);
            if (y > height * 17 / 20) {
                closeBySelf();  // the lower title area returns to the player
                return 0;
            }
            if (!owner_) {
                return 0;
            }
            if (volumeAvailable_ && x > width * 47 / 50) {
                volumeDrag_ = true;
                SetCapture(window);
                PostMessageW(owner_, kVolumeBegin, 0, 0);
                const double level = std::clamp(1.0 - static_cast<double>(y) / height, 0.0, 1.0);
                PostMessageW(owner_, kVolumeSet, static_cast<WPARAM>(level * 10000.0), 0);
                return 0;
            }
            const bool nearCentre =
                std::abs(x - width / 2) < width / 8 && std::abs(y - height / 2) < height / 8;
            if (pausedWithoutHold_ && nearCentre) {
                PostMessageW(owner_, kResume, 0, 0);  // tap the centre to resume
            } else if (!pausedWithoutHold_) {
                PostMessageW(owner_, kHoldStylusUp, 0, 0);  // touch lifts the needle: pause
            }
            return 0;
        }
        case WM_MOUSEMOVE:
            if (volumeDrag_ && owner_) {
                const double level =
                    std::clamp(1.0 - static_cast<double>(GET_Y_LPARAM(lParam)) / height, 0.0, 1.0);
                PostMessageW(owner_, kVolumeSet, static_cast<WPARAM>(level * 10000.0), 0);
                return 0;
            }
            break;
        case WM_LBUTTONUP:
            if (volumeDrag_) {
                volumeDrag_ = false;
                ReleaseCapture();
                if (owner_) {
                    const double level = std::clamp(
                        1.0 - static_cast<double>(GET_Y_LPARAM(lParam)) / height, 0.0, 1.0);
                    PostMessageW(owner_, kVolumeEnd, static_cast<WPARAM>(level * 10000.0), 0);
                }
                return 0;
            }
            break;
        case WM_CAPTURECHANGED:
            volumeDrag_ = false;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace al::win::gpu
