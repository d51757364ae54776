#include "platform/windows/gpu/GpuSupport.h"

#include <d3dcompiler.h>
#include <dxgi1_6.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Utf16.h"
#include "visual/GeometryShaders.h"

namespace al::win::gpu {

std::string hresultText(HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, "HRESULT 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

TestSeams& testSeams() noexcept {
    static TestSeams seams;
    return seams;
}

std::optional<AdapterChoice> chooseAdapter(const LUID* required) {
    if (testSeams().noAdapter || (required && testSeams().adapterGone)) {
        return std::nullopt;
    }
    ComPtr<IDXGIFactory1> factory;
    if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1),
                                  reinterpret_cast<void**>(factory.GetAddressOf())))) {
        return std::nullopt;
    }
    ComPtr<IDXGIFactory6> sorted;
    factory.As(&sorted);
    std::vector<AdapterChoice> found;
    for (UINT i = 0;; ++i) {
        ComPtr<IDXGIAdapter1> adapter;
        HRESULT hr;
        if (sorted) {
            hr = sorted->EnumAdapterByGpuPreference(
                i, DXGI_GPU_PREFERENCE_HIGH_PERFORMANCE, __uuidof(IDXGIAdapter1),
                reinterpret_cast<void**>(adapter.GetAddressOf()));
        } else {
            hr = factory->EnumAdapters1(i, adapter.GetAddressOf());
        }
        if (hr == DXGI_ERROR_NOT_FOUND || FAILED(hr)) {
            break;
        }
        DXGI_ADAPTER_DESC1 desc{};
        if (FAILED(adapter->GetDesc1(&desc)) || (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0) {
            continue;
        }
        if (required && (desc.AdapterLuid.LowPart != required->LowPart ||
                         desc.AdapterLuid.HighPart != required->HighPart)) {
            continue;
        }
        AdapterChoice choice;
        choice.adapter = adapter;
        choice.description =
            platform::utf8FromUtf16(reinterpret_cast<const char16_t*>(desc.Description));
        choice.luid = desc.AdapterLuid;
        choice.nvidia = desc.VendorId == 0x10DE;
        found.push_back(std::move(choice));
    }
    for (auto& choice : found) {
        if (choice.nvidia) {
            return choice;
        }
    }
    if (found.empty()) {
        return std::nullopt;
    }
    return found.front();
}

HRESULT createDevice(IDXGIAdapter1* adapter, ComPtr<ID3D11Device>& device,
                     ComPtr<ID3D11DeviceContext>& context) {
    if (testSeams().failDevice) {
        return E_FAIL;
    }
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
    D3D_FEATURE_LEVEL got{};
    return D3D11CreateDevice(
        adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 1,
        D3D11_SDK_VERSION, device.ReleaseAndGetAddressOf(), &got, context.ReleaseAndGetAddressOf());
}

bool compileShader(const char* source, const char* name, const char* entry, const char* target,
                   ComPtr<ID3DBlob>& code, std::string& error) {
    if (testSeams().failShaderCompile) {
        error = std::string("error X3000: compilation refused for ") + entry;
        return false;
    }
    ComPtr<ID3DBlob> messages;
    const HRESULT hr = D3DCompile(source, std::strlen(source), name, nullptr, nullptr, entry,
                                  target, D3DCOMPILE_OPTIMIZATION_LEVEL3, 0,
                                  code.ReleaseAndGetAddressOf(), messages.GetAddressOf());
    if (FAILED(hr)) {
        if (messages && messages->GetBufferSize() > 0) {
            error.assign(static_cast<const char*>(messages->GetBufferPointer()),
                         messages->GetBufferSize());
            while (!error.empty() &&
                   (error.back() == '\0' || error.back() == '\n' || error.back() == '\r')) {
                error.pop_back();
            }
        } else {
            error = hresultText(hr);
        }
        return false;
    }
    return true;
}

HRESULT createConstantBuffer(ID3D11Device* device, UINT bytes, ComPtr<ID3D11Buffer>& buffer) {
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bytes;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return device->CreateBuffer(&desc, nullptr, buffer.ReleaseAndGetAddressOf());
}

HRESULT writeBuffer(ID3D11DeviceContext* context, ID3D11Buffer* buffer, const void* data,
                    size_t bytes) {
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
    if (FAILED(hr)) {
        return hr;
    }
    std::memcpy(mapped.pData, data, bytes);
    context->Unmap(buffer, 0);
    return S_OK;
}

}  // namespace al::win::gpu

namespace al::win::gpu {

bool IntervalTexture::upload(ID3D11Device* device, ID3D11DeviceContext* context,
                             const std::vector<ui::CubicInterval>& list, const Texts& texts,
                             std::string& error) {
    count_ = 0;
    if (list.empty()) {
        return true;
    }
    if (list.size() >= 178956971u) {
        error = texts.tooLarge;
        return false;
    }
    constexpr std::size_t perRow = ui::kIntervalTextureWidth / 2;
    if (!texture_ || list.size() > capacity_) {
        std::size_t capacity = capacity_ == 0 ? 256 : capacity_;
        while (capacity < list.size()) {
            capacity *= 2;
        }
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = ui::kIntervalTextureWidth;
        desc.Height = static_cast<UINT>((capacity + perRow - 1) / perRow);
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_R32G32B32A32_FLOAT;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        ComPtr<ID3D11Texture2D> texture;
        HRESULT hr = device->CreateTexture2D(&desc, nullptr, texture.GetAddressOf());
        if (FAILED(hr)) {
            error = texts.create + hresultText(hr);
            return false;
        }
        ComPtr<ID3D11ShaderResourceView> view;
        hr = device->CreateShaderResourceView(texture.Get(), nullptr, view.GetAddressOf());
        if (FAILED(hr)) {
            error = texts.view + hresultText(hr);
            return false;
        }
        texture_ = texture;
        view_ = view;
        capacity_ = capacity;
    }
    const std::size_t rows = ui::packIntervalTexels(list, ui::kIntervalTextureWidth, texels_);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = context->Map(texture_.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
    if (FAILED(hr)) {
        error = texts.update + hresultText(hr);
        return false;
    }
    const std::size_t rowBytes = ui::kIntervalTextureWidth * 4 * sizeof(float);
    for (std::size_t r = 0; r < rows; ++r) {
        std::memcpy(static_cast<std::uint8_t*>(mapped.pData) + r * mapped.RowPitch,
                    texels_.data() + r * ui::kIntervalTextureWidth * 4, rowBytes);
    }
    context->Unmap(texture_.Get(), 0);
    count_ = static_cast<std::uint32_t>(list.size());
    return true;
}

void IntervalTexture::release() noexcept {
    view_.Reset();
    texture_.Reset();
    capacity_ = 0;
    count_ = 0;
}

}  // namespace al::win::gpu
