// A plain stand-in for the faceplate painter, built only while the real one
// (library al_faceplate_gdi) is not part of the build: the dark background,
// the faceplate's main texts as lines of GDI text and a flat peak meter
// class, so that the window runs and can be tested without the artwork.

#include <windows.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/windows/faceplate/FaceplatePainter.h"
#include "platform/windows/gui/WinText.h"
#include "visual/FaceplateLayout.h"

namespace al::win {

struct FaceplatePainter::Impl {
    HBRUSH background = ::CreateSolidBrush(RGB(30, 30, 34));
    ~Impl() { ::DeleteObject(background); }
};

FaceplatePainter::FaceplatePainter(HINSTANCE) : impl_(std::make_unique<Impl>()) {}

FaceplatePainter::~FaceplatePainter() = default;

void FaceplatePainter::Paint(HDC dc, const RECT& client, const FaceplatePaintInput& input) {
    ::FillRect(dc, &client, impl_->background);
    if (input.state == nullptr) {
        return;
    }
    const app::FaceplateState& s = *input.state;
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, RGB(235, 234, 238));
    HGDIOBJ old = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
    const std::string lines[] = {s.endpointText,
                                 s.capturedText,
                                 s.playingAtText + "  |  " + s.modeText,
                                 s.timeText,
                                 s.readyText,
                                 s.hintText,
                                 s.playCaption + "  " + s.loopCaption + "  " + s.muteCaption};
    int y = client.top + 12;
    for (const std::string& line : lines) {
        const std::wstring text = Wide(line);
        ::TextOutW(dc, client.left + 12, y, text.c_str(), static_cast<int>(text.size()));
        y += 18;
    }
    if (!input.trackTitle.empty()) {
        ::TextOutW(dc, client.left + 12, y, input.trackTitle.c_str(),
                   static_cast<int>(input.trackTitle.size()));
    }
    ::TextOutW(dc, client.left + 12, client.bottom - 24, input.statusText.c_str(),
               static_cast<int>(input.statusText.size()));
    ::SelectObject(dc, old);
}

void FaceplatePainter::PaintStatisticsBackground(HDC dc, const RECT& client) {
    ::FillRect(dc, &client, impl_->background);
}

bool FaceplatePainter::GrabsTonearm(const RECT& client, POINT point,
                                    const app::FaceplateState& state) const {
    // The carriage over the seek scale, as the layout places it.
    const visual::CanvasTransform canvas =
        visual::CanvasTransform::ForClient(client.right - client.left, client.bottom - client.top);
    const visual::DesignPoint p = canvas.toDesign(point.x, point.y);
    const double x = visual::CarriageX(state.playFraction);
    return std::fabs(p.x - x) <= 30.0 && p.y >= 318.0 &&
           p.y <= 318.0 + visual::CarriageHeight(state.stylusState);
}

int FaceplatePainter::lastStatus() const noexcept {
    return 0;
}

namespace {

constexpr wchar_t kMeterClass[] = L"AuralithPeakMeter";

LRESULT CALLBACK MeterProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kPeakMeterSetLevel: {
            const std::uint64_t bits = (static_cast<std::uint64_t>(wParam & 0xFFFFFFFFu) << 32) |
                                       (static_cast<std::uint64_t>(lParam) & 0xFFFFFFFFu);
            double level = 0.0;
            std::memcpy(&level, &bits, sizeof level);
            const double previous = std::bit_cast<double>(
                static_cast<std::uint64_t>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
            if (previous != level) {
                ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(bits));
                ::InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(hwnd, &paint);
            RECT rect{};
            ::GetClientRect(hwnd, &rect);
            const double level = std::bit_cast<double>(
                static_cast<std::uint64_t>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
            const visual::PeakBar bar = visual::PeakMeterBar(level);
            HBRUSH back = ::CreateSolidBrush(RGB(18, 18, 20));
            ::FillRect(dc, &rect, back);
            ::DeleteObject(back);
            RECT filled = rect;
            filled.right = rect.left + static_cast<LONG>(bar.fraction * (rect.right - rect.left));
            const COLORREF colour = bar.band == visual::PeakBand::Red     ? RGB(210, 50, 40)
                                    : bar.band == visual::PeakBand::Amber ? RGB(220, 160, 40)
                                                                          : RGB(60, 180, 90);
            HBRUSH fill = ::CreateSolidBrush(colour);
            ::FillRect(dc, &filled, fill);
            ::DeleteObject(fill);
            ::EndPaint(hwnd, &paint);
            return 0;
        }
        default:
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

void RegisterPeakMeterClass(HINSTANCE module) {
    WNDCLASSEXW meter{};
    meter.cbSize = sizeof meter;
    meter.lpfnWndProc = MeterProcedure;
    meter.hInstance = module;
    meter.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    meter.lpszClassName = kMeterClass;
    ::RegisterClassExW(&meter);
}

void SetPeakMeterLevel(HWND meter, double level) noexcept {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &level, sizeof bits);
    ::SendMessageW(meter, kPeakMeterSetLevel, static_cast<WPARAM>(bits >> 32),
                   static_cast<LPARAM>(bits & 0xFFFFFFFFu));
}

}  // namespace al::win
