#pragma once
// The faceplate renderer of the main window: GDI+ drawing of the turntable
// faceplate on the 1458 x 1023 design canvas, scaled uniformly into the
// client area, from the window's display state. Hit testing uses the same
// canvas maths (visual/FaceplateLayout.h).
//
// Window thread only. GDI+ is started by the painter and shut down with it.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/GeometryViews.h"
#include "app/PlayerWindow.h"

namespace al::win {

// One mark of a channel overlay over the geometry picture: x across the
// picture 0..1, value on the channel's scale -1..+1.
struct OverlayPoint {
    float x = 0.0f;
    float value = 0.0f;
};

// Everything the paint reads besides the faceplate state.
struct FaceplatePaintInput {
    const app::FaceplateState* state = nullptr;
    std::wstring trackTitle;       // the opened file's name, empty without one
    std::wstring statusText;       // the status line
    app::GeometryPicture picture;  // the in-window geometry picture, when active
    double idleFade = 0.0;         // 0..1, the poll tick's idle fade
    // Per-channel overlays drawn over a valid picture when `overlay` is set.
    bool overlay = false;
    std::vector<OverlayPoint> overlayPoints[2];
};

class FaceplatePainter {
  public:
    // Starts GDI+ and loads the artwork resources (102, 103, 104) of
    // `module` (link al_faceplate_resources into the executable). Throws
    // "Unable to start GDI+" when GDI+ does not start; an image that is
    // missing or does not decode leaves its place to the vector drawing.
    explicit FaceplatePainter(HINSTANCE module);
    ~FaceplatePainter();
    FaceplatePainter(const FaceplatePainter&) = delete;
    FaceplatePainter& operator=(const FaceplatePainter&) = delete;

    // Player view: the whole client rectangle, double-buffered, nothing
    // drawn without a state. The plate and meter faces are cached per client
    // size. Throws "Unable to cache meter faces" / "Unable to create meter
    // drawing surface" when the cached layers cannot be made; other GDI+
    // failures only set lastStatus().
    void Paint(HDC dc, const RECT& client, const FaceplatePaintInput& input);
    // Statistics view: image 102 centred on the dark background.
    void PaintStatisticsBackground(HDC dc, const RECT& client);

    // Whether a client point grabs the tonearm carriage (a press there only
    // becomes a seek drag after the pointer has moved).
    bool GrabsTonearm(const RECT& client, POINT point, const app::FaceplateState& state) const;

    // The last failing GDI+ status of a paint, 0 when none.
    int lastStatus() const noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The "AuralithPeakMeter" child window class (one f64 level, set by
// kPeakMeterSetLevel with the level's upper 32 bits in wParam and lower 32
// bits in lParam). Registering twice is harmless.
inline constexpr UINT kPeakMeterSetLevel = WM_APP + 101;
void RegisterPeakMeterClass(HINSTANCE module);
void SetPeakMeterLevel(HWND meter, double level) noexcept;

}  // namespace al::win
