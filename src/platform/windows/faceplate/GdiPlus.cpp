#include "platform/windows/faceplate/GdiPlus.h"

#include <cstring>
#include <vector>

namespace al::win::gdi {

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(HINSTANCE module, int id) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (info == nullptr)
        return nullptr;
    const DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0)
        return nullptr;

    // GDI+ reads the image through a stream over a movable copy; the decoded
    // bitmap is then copied once more so it no longer needs the stream.
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (copy == nullptr)
        return nullptr;
    void* target = GlobalLock(copy);
    if (target == nullptr) {
        GlobalFree(copy);
        return nullptr;
    }
    std::memcpy(target, data, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    std::unique_ptr<Gdiplus::Bitmap> result;
    {
        Gdiplus::Bitmap decoded(stream);
        if (decoded.GetLastStatus() == Gdiplus::Ok) {
            const int w = static_cast<int>(decoded.GetWidth());
            const int h = static_cast<int>(decoded.GetHeight());
            auto owned = std::make_unique<Gdiplus::Bitmap>(w, h, PixelFormat32bppPARGB);
            if (owned->GetLastStatus() == Gdiplus::Ok) {
                Gdiplus::Graphics g(owned.get());
                g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
                if (g.DrawImage(&decoded, 0, 0, w, h) == Gdiplus::Ok)
                    result = std::move(owned);
            }
        }
    }
    stream->Release();
    return result;
}

bool PngEncoder(CLSID& clsid) {
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0)
        return false;
    std::vector<unsigned char> buffer(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType != nullptr && std::wcscmp(codecs[i].MimeType, L"image/png") == 0) {
            clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

bool Surface::create(int width, int height) noexcept {
    reset();
    if (width <= 0 || height <= 0)
        return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap_ == nullptr)
        return false;
    dc_ = CreateCompatibleDC(nullptr);
    if (dc_ == nullptr) {
        reset();
        return false;
    }
    previous_ = SelectObject(dc_, bitmap_);
    pixels_ = static_cast<std::uint32_t*>(bits);
    width_ = width;
    height_ = height;
    return true;
}

void Surface::reset() noexcept {
    if (dc_ != nullptr) {
        if (previous_ != nullptr)
            SelectObject(dc_, previous_);
        DeleteDC(dc_);
    }
    if (bitmap_ != nullptr)
        DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    previous_ = nullptr;
    pixels_ = nullptr;
    width_ = 0;
    height_ = 0;
}

}  // namespace al::win::gdi
