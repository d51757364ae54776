#pragma once
// Direct3D helpers shared by the in-window view and the fullscreen stage:
// adapter choice, HRESULT texts, run-time shader compilation, and the test
// seams that force the failure paths.
//
// Window thread only.

#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <optional>
#include <string>

namespace al::win::gpu {

using Microsoft::WRL::ComPtr;

// "HRESULT 0x8007000E" (upper-case digits).
std::string hresultText(HRESULT hr);

struct AdapterChoice {
    ComPtr<IDXGIAdapter1> adapter;
    std::string description;  // UTF-8
    LUID luid{};
    bool nvidia = false;
};

// Hardware adapters in high-performance order (plain order when the factory
// cannot sort), skipping software ones; with `required`, only that LUID.
// NVIDIA (vendor 0x10DE) first, else the first hardware adapter.
std::optional<AdapterChoice> chooseAdapter(const LUID* required = nullptr);

// Creates a hardware device on the adapter (feature level 11.0 or 10.x).
HRESULT createDevice(IDXGIAdapter1* adapter, ComPtr<ID3D11Device>& device,
                     ComPtr<ID3D11DeviceContext>& context);

// Compiles one entry point. On failure returns false and sets `error` to
// the compiler's message (or the HRESULT text).
bool compileShader(const char* source, const char* name, const char* entry, const char* target,
                   ComPtr<ID3DBlob>& code, std::string& error);

// A dynamic constant buffer of `bytes` bytes.
HRESULT createConstantBuffer(ID3D11Device* device, UINT bytes, ComPtr<ID3D11Buffer>& buffer);
// Writes `bytes` bytes to a dynamic buffer.
HRESULT writeBuffer(ID3D11DeviceContext* context, ID3D11Buffer* buffer, const void* data,
                    size_t bytes);

// Failure paths forced by tests (and nothing else).
struct TestSeams {
    bool noAdapter = false;          // no hardware adapter is found
    bool adapterGone = false;        // the adapter seen at start is not found again
    bool failShaderCompile = false;  // every compilation fails
    bool failDevice = false;         // device creation fails
};
TestSeams& testSeams() noexcept;

}  // namespace al::win::gpu

#include <vector>

#include "visual/GeometrySnapshot.h"

namespace al::win::gpu {

// An interval list on the card as an RGBA32F texture, two texels per piece,
// rows of 2048 texels. Capacity starts at 256 pieces and doubles; the
// texture is re-made only when it grows.
class IntervalTexture {
  public:
    struct Texts {
        const char* tooLarge;
        const char* create;  // + HRESULT
        const char* view;
        const char* update;
    };

    // Writes the list (an empty one needs nothing). False with `error` set on failure.
    bool upload(ID3D11Device* device, ID3D11DeviceContext* context,
                const std::vector<ui::CubicInterval>& list, const Texts& texts, std::string& error);
    ID3D11ShaderResourceView* view() const noexcept { return view_.Get(); }
    std::uint32_t count() const noexcept { return count_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void release() noexcept;

  private:
    ComPtr<ID3D11Texture2D> texture_;
    ComPtr<ID3D11ShaderResourceView> view_;
    std::size_t capacity_ = 0;
    std::uint32_t count_ = 0;
    std::vector<float> texels_;
};

}  // namespace al::win::gpu
