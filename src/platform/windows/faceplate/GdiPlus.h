#pragma once
// GDI+ for the faceplate: the headers in the order mingw-w64 needs them, and
// the small helpers every drawing file uses. Window thread only.

#include <windows.h>
// IStream and friends, left out by WIN32_LEAN_AND_MEAN but used by GDI+.
#include <objidl.h>

#include <gdiplus.h>

#include <cstdint>
#include <memory>
#include <string>

namespace al::win::gdi {

inline Gdiplus::Color Argb(std::uint32_t argb) noexcept {
    return Gdiplus::Color(static_cast<Gdiplus::ARGB>(argb));
}

// The same colour with its alpha scaled by `alpha` (0..1).
inline Gdiplus::Color Faded(std::uint32_t argb, double alpha) noexcept {
    const double a = static_cast<double>(argb >> 24) * (alpha < 0 ? 0 : alpha > 1 ? 1 : alpha);
    return Gdiplus::Color(static_cast<BYTE>(a + 0.5), static_cast<BYTE>(argb >> 16),
                          static_cast<BYTE>(argb >> 8), static_cast<BYTE>(argb));
}

// Decodes a PNG held as a raw-data resource into a 32-bit premultiplied
// bitmap that owns its pixels. Null when the resource is missing or does
// not decode.
std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(HINSTANCE module, int id);

// The PNG encoder's class id; false when GDI+ has none.
bool PngEncoder(CLSID& clsid);

// Holds a GDI object and deletes it when it goes.
class GdiObject {
  public:
    explicit GdiObject(HGDIOBJ object = nullptr) noexcept : object_(object) {}
    ~GdiObject() {
        if (object_ != nullptr)
            DeleteObject(object_);
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    HGDIOBJ get() const noexcept { return object_; }
    void reset(HGDIOBJ object = nullptr) noexcept {
        if (object_ != nullptr)
            DeleteObject(object_);
        object_ = object;
    }

  private:
    HGDIOBJ object_;
};

// A 32-bit top-down DIB selected into its own memory DC.
class Surface {
  public:
    Surface() = default;
    ~Surface() { reset(); }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    // False when the bitmap or the DC cannot be made.
    bool create(int width, int height) noexcept;
    void reset() noexcept;
    HDC dc() const noexcept { return dc_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }
    std::uint32_t* pixels() const noexcept { return pixels_; }

  private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    std::uint32_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace al::win::gdi
