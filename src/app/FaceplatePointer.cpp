#include "app/FaceplatePointer.h"

#include <algorithm>
#include <cmath>

#include "visual/FaceplateLayout.h"

namespace al::app {

namespace {

namespace region = visual::region;

visual::CanvasTransform canvasOf(const FaceplateClient& client) noexcept {
    return visual::CanvasTransform::ForClient(client.width, client.height);
}

// A press on the tonearm becomes a seek drag only beyond this distance.
double tonearmSlop(int dpi) noexcept {
    return std::max(8.0, 10.0 * dpi / 96.0);
}

}  // namespace

int FaceplatePointer::RegionAt(const PlayerWindow& window, const FaceplateClient& client, double x,
                               double y) noexcept {
    if (window.volumeControllable() && client.width > 0.0 && x >= 0.0 && x < client.width &&
        x >= client.width * (1.0 - kVolumeStripShare) && y >= 0.0 && y < client.height) {
        return region::kVolumeStrip;
    }
    return visual::HitTestRegion(canvasOf(client), x, y);
}

double FaceplatePointer::VolumeLevelAt(const FaceplateClient& client, double x,
                                       double y) const noexcept {
    const visual::DesignPoint p = canvasOf(client).toDesign(x, y);
    switch (drag_) {
        case Drag::VolumeScale:
            return visual::VolumeScaleLevelAt(p);
        case Drag::VolumeKnob:
            return visual::VolumeKnobLevelAt(p);
        case Drag::VolumeStrip:
            // Bottom of the window silent, top full.
            return client.height > 0.0 ? std::clamp(1.0 - y / client.height, 0.0, 1.0) : 0.0;
        default:
            return lastLevel_;
    }
}

PointerOutcome FaceplatePointer::Press(PlayerWindow& window, const FaceplateClient& client,
                                       double x, double y, bool onTonearm) {
    drag_ = Drag::None;
    pressX_ = x;
    pressY_ = y;
    const int hit = RegionAt(window, client, x, y);
    switch (hit) {
        case region::kOpen:
            return window.opening() ? PointerOutcome::None : PointerOutcome::OpenDialog;
        case region::kEndpointMenu:
            window.ShowEndpointMenu();
            return PointerOutcome::None;
        case region::kRefresh:
            window.HandleCommand(command::kRefresh);
            return PointerOutcome::None;
        case region::kFormatMenu:
            window.ShowFormatMenu();
            return PointerOutcome::None;
        case region::kFormatDown:
            window.HandleCommand(command::kStepDown);
            return PointerOutcome::None;
        case region::kFormatUp:
            window.HandleCommand(command::kStepUp);
            return PointerOutcome::None;
        case region::kPlay:
            window.HandleCommand(command::kPlay);
            return PointerOutcome::None;
        case region::kHoldStylus:
            window.HoldStylusUp();
            return PointerOutcome::None;
        case region::kStop:
            window.HandleCommand(command::kStop);
            return PointerOutcome::None;
        case region::kLoop:
            window.HandleCommand(command::kLoop);
            return PointerOutcome::None;
        case region::kStageSea:
            window.OpenStageScene(StageScene::WaveMotionSea);
            return PointerOutcome::None;
        case region::kStageCorridor:
            window.OpenStageScene(StageScene::SurrogateCorridor);
            return PointerOutcome::None;
        case region::kMute:
            window.HandleCommand(command::kMute);
            return PointerOutcome::None;
        case region::kPower:
            window.PressPower();
            return PointerOutcome::None;
        case region::kSeek:
            if (onTonearm) {
                drag_ = Drag::TonearmPending;
            } else {
                drag_ = Drag::Seek;
                FollowDrag(window, client, x, y);
            }
            return PointerOutcome::Captured;
        case region::kVolumeScale:
        case region::kVolumeKnob:
        case region::kVolumeStrip:
            if (!window.volumeControllable()) {
                return PointerOutcome::None;
            }
            drag_ = hit == region::kVolumeScale  ? Drag::VolumeScale
                    : hit == region::kVolumeKnob ? Drag::VolumeKnob
                                                 : Drag::VolumeStrip;
            window.BeginVolumeDrag();
            FollowDrag(window, client, x, y);
            return PointerOutcome::Captured;
        case region::kNeedleLever:
            drag_ = Drag::Lever;
            leverUp_ = visual::NeedleLeverAt(canvasOf(client).toDesign(x, y)) >= 0.5;
            return PointerOutcome::Captured;
        default:
            return PointerOutcome::None;
    }
}

void FaceplatePointer::FollowDrag(PlayerWindow& window, const FaceplateClient& client, double x,
                                  double y) {
    switch (drag_) {
        case Drag::Seek:
            window.SeekToFraction(visual::SeekFractionAt(canvasOf(client), x));
            break;
        case Drag::VolumeScale:
        case Drag::VolumeKnob:
        case Drag::VolumeStrip:
            lastLevel_ = VolumeLevelAt(client, x, y);
            window.DragVolume(lastLevel_);
            break;
        case Drag::Lever: {
            const bool up = visual::NeedleLeverAt(canvasOf(client).toDesign(x, y)) >= 0.5;
            if (up != leverUp_) {
                leverUp_ = up;
                window.NeedleLift(up);
            }
            break;
        }
        default:
            break;
    }
}

void FaceplatePointer::Move(PlayerWindow& window, const FaceplateClient& client, double x,
                            double y) {
    if (drag_ == Drag::TonearmPending) {
        const double slop = tonearmSlop(client.dpi);
        if (std::fabs(x - pressX_) <= slop && std::fabs(y - pressY_) <= slop) {
            return;
        }
        drag_ = Drag::Seek;
    }
    FollowDrag(window, client, x, y);
}

void FaceplatePointer::Release(PlayerWindow& window, const FaceplateClient& client, double x,
                               double y) {
    const Drag drag = drag_;
    drag_ = Drag::None;
    switch (drag) {
        case Drag::TonearmPending:
            window.HandleCommand(command::kPlay);
            break;
        case Drag::VolumeScale:
        case Drag::VolumeKnob:
        case Drag::VolumeStrip:
            drag_ = drag;  // the level is read in the drag's own terms
            lastLevel_ = VolumeLevelAt(client, x, y);
            drag_ = Drag::None;
            window.EndVolumeDrag(lastLevel_);
            break;
        default:
            break;
    }
}

void FaceplatePointer::Cancel(PlayerWindow& window) {
    const Drag drag = drag_;
    drag_ = Drag::None;
    if (drag == Drag::VolumeScale || drag == Drag::VolumeKnob || drag == Drag::VolumeStrip) {
        window.EndVolumeDrag(lastLevel_);
    }
}

void FaceplatePointer::Wheel(PlayerWindow& window, const FaceplateClient& client, double x,
                             double y, int delta) {
    if (delta == 0) {
        return;
    }
    switch (RegionAt(window, client, x, y)) {
        case region::kFormatMenu:
            window.HandleCommand(delta > 0 ? command::kStepUp : command::kStepDown);
            break;
        case region::kVolumeScale:
        case region::kVolumeKnob:
            window.HandleCommand(delta > 0 ? command::kVolumeUp : command::kVolumeDown);
            break;
        default:
            break;
    }
}

}  // namespace al::app
