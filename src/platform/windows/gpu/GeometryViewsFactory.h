#pragma once
// The geometry views of the Windows player: the portable controller over the
// Direct3D in-window view and fullscreen stage.

#include <windows.h>

#include <memory>

#include "app/GeometryViews.h"

namespace al::win {

// Never throws for a missing or failing graphics card: the views then report
// their texts through the port. The stage posts WM_APP + 0x26 to mainWindow
// when it closes itself. Window thread only.
std::unique_ptr<app::GeometryViewsPort> MakeGeometryViews(HWND mainWindow, HINSTANCE instance);

}  // namespace al::win
