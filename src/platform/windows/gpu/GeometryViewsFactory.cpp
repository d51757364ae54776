#include "platform/windows/gpu/GeometryViewsFactory.h"

#include "app/GeometryViewsController.h"
#include "platform/windows/gpu/GeometryStage.h"
#include "platform/windows/gpu/HardwareGeometryView.h"

namespace al::win {

std::unique_ptr<app::GeometryViewsPort> MakeGeometryViews(HWND mainWindow, HINSTANCE instance) {
    return std::make_unique<app::GeometryViewsController>(
        std::make_unique<gpu::HardwareGeometryView>(),
        std::make_unique<gpu::GeometryStage>(mainWindow, instance));
}

}  // namespace al::win
