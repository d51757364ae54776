#pragma once
// The faceplate as a pointing surface (player view only): which region a
// mouse or touch point is over, what a press there does, and the drags it
// starts (seek on the record, the volume scale, knob and right-edge strip,
// the needle-lift lever). One pointer is tracked at a time. The window turns
// its mouse and pointer messages into these calls and shows the Open dialog
// when a press asks for it; everything else happens on the player window.
//
// User-interface thread only. Methods that act on the player window let its
// errors escape; the window reports them (PlayerWindow::Execute).

#include "app/PlayerWindow.h"

namespace al::app {

// The client area the faceplate is drawn into.
struct FaceplateClient {
    double width = 0.0;
    double height = 0.0;
    int dpi = 96;
};

enum class PointerOutcome {
    None,
    Captured,   // a drag began: the window captures the pointer until release
    OpenDialog  // region 1: the window shows the Open dialog
};

class FaceplatePointer {
  public:
    // The rightmost share of the client width that drags the volume.
    static constexpr double kVolumeStripShare = 0.02;

    // The region under a client point: the right-edge strip (14) while the
    // volume can be set, else the faceplate's regions; 0 for none.
    static int RegionAt(const PlayerWindow& window, const FaceplateClient& client, double x,
                        double y) noexcept;

    // `onTonearm`: the painter's answer whether the point grabs the tonearm.
    PointerOutcome Press(PlayerWindow& window, const FaceplateClient& client, double x, double y,
                         bool onTonearm);
    void Move(PlayerWindow& window, const FaceplateClient& client, double x, double y);
    void Release(PlayerWindow& window, const FaceplateClient& client, double x, double y);
    // Capture lost or the pointer cancelled: every drag ends.
    void Cancel(PlayerWindow& window);
    // One wheel notch or more: `delta` > 0 is up.
    void Wheel(PlayerWindow& window, const FaceplateClient& client, double x, double y, int delta);

    bool dragging() const noexcept { return drag_ != Drag::None; }

  private:
    enum class Drag { None, Seek, TonearmPending, VolumeScale, VolumeKnob, VolumeStrip, Lever };

    double VolumeLevelAt(const FaceplateClient& client, double x, double y) const noexcept;
    void FollowDrag(PlayerWindow& window, const FaceplateClient& client, double x, double y);

    Drag drag_ = Drag::None;
    double pressX_ = 0.0;
    double pressY_ = 0.0;
    double lastLevel_ = 0.0;
    bool leverUp_ = false;
};

}  // namespace al::app
