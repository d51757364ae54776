// The "AuralithPeakMeter" child window: one level per channel, drawn as a
// horizontal bar in plain GDI.

#include <windows.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "platform/windows/faceplate/FaceplatePainter.h"
#include "visual/FaceplateLayout.h"

namespace al::win {
namespace {

constexpr wchar_t kClassName[] = L"AuralithPeakMeter";

double StoredLevel(HWND window) noexcept {
    const auto bits = static_cast<std::uint64_t>(GetWindowLongPtrW(window, 0));
    return std::bit_cast<double>(bits);
}

void PaintMeter(HWND window) noexcept {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (dc == nullptr)
        return;
    RECT client;
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(RGB(24, 24, 28));
    if (background != nullptr) {
        FillRect(dc, &client, background);
        DeleteObject(background);
    }
    const visual::PeakBar bar = visual::PeakMeterBar(StoredLevel(window));
    const visual::PixelRect r = visual::PeakMeterBarRect(client.right - client.left,
                                                         client.bottom - client.top, bar.fraction);
    if (!r.empty()) {
        COLORREF colour = RGB(70, 190, 100);
        if (bar.band == visual::PeakBand::Red)
            colour = RGB(220, 70, 60);
        if (bar.band == visual::PeakBand::Amber)
            colour = RGB(220, 180, 50);
        HBRUSH fill = CreateSolidBrush(colour);
        if (fill != nullptr) {
            RECT area{client.left + r.left, client.top + r.top, client.left + r.right,
                      client.top + r.bottom};
            FillRect(dc, &area, fill);
            DeleteObject(fill);
        }
    }
    FrameRect(dc, &client, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    EndPaint(window, &ps);
}

LRESULT CALLBACK MeterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kPeakMeterSetLevel: {
            const std::uint64_t bits = (static_cast<std::uint64_t>(wParam & 0xFFFFFFFFu) << 32) |
                                       static_cast<std::uint32_t>(lParam);
            SetWindowLongPtrW(window, 0, static_cast<LONG_PTR>(bits));
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            PaintMeter(window);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

void RegisterPeakMeterClass(HINSTANCE module) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(module, kClassName, &existing))
        return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = MeterProc;
    wc.cbWndExtra = sizeof(LONG_PTR);  // the level's bits
    wc.hInstance = module;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("Unable to register the peak meter window class");
}

void SetPeakMeterLevel(HWND meter, double level) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(level);
    SendMessageW(meter, kPeakMeterSetLevel, static_cast<WPARAM>(bits >> 32),
                 static_cast<LPARAM>(static_cast<std::uint32_t>(bits)));
}

}  // namespace al::win
