// The faceplate as a pointing surface: presses, the tonearm's drag threshold,
// seek and volume drags, the right-edge strip, the lever and the wheel. The
// client area is the design canvas at scale 1, so client points are design
// points.

#include <gtest/gtest.h>

#include "PlayerFakes.h"
#include "app/FaceplatePointer.h"
#include "visual/FaceplateLayout.h"

namespace al::app {
namespace {

using test::PlayerHarness;
namespace region = visual::region;

constexpr FaceplateClient kClient{1458.0, 1023.0, 96};

TEST(FaceplatePointerTest, PressesActOnTheirRegions) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    FaceplatePointer pointer;
    EXPECT_EQ(pointer.Press(window, kClient, 100, 50, false), PointerOutcome::OpenDialog);
    EXPECT_EQ(pointer.Press(window, kClient, 500, 590, false), PointerOutcome::None);  // Play
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    pointer.Press(window, kClient, 900, 590, false);  // Loop
    EXPECT_TRUE(window.loopOn());
    pointer.Press(window, kClient, 1300, 650, false);  // Mute
    EXPECT_TRUE(window.muted());
    pointer.Press(window, kClient, 700, 590, false);  // Stop
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    pointer.Press(window, kClient, 1070, 290, false);  // format +: already the highest
    EXPECT_EQ(window.selectedFormat(), 2);
    pointer.Press(window, kClient, 390, 290, false);  // format -
    EXPECT_EQ(window.selectedFormat(), 1);
    pointer.Press(window, kClient, 500, 180, false);  // stage region: no views here
    EXPECT_EQ(window.status(), "Hardware Direct3D geometry is unavailable.");
    pointer.Press(window, kClient, 90, 900, false);  // power
    EXPECT_TRUE(window.BuildFaceplateState().powerPressed);
    EXPECT_FALSE(pointer.dragging());
}

TEST(FaceplatePointerTest, TonearmPressTogglesUnlessDraggedBeyondTheSlop) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    FaceplatePointer pointer;
    EXPECT_EQ(pointer.Press(window, kClient, 700, 400, true), PointerOutcome::Captured);
    pointer.Move(window, kClient, 707, 393);  // within 8 px
    pointer.Release(window, kClient, 707, 393);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    EXPECT_NEAR(window.positionSeconds(), 0.0, 1e-9);

    window.TogglePlay();  // pause
    pointer.Press(window, kClient, 700, 400, true);
    pointer.Move(window, kClient, 226 + 973 * 0.75, 400);
    pointer.Release(window, kClient, 226 + 973 * 0.75, 400);
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    EXPECT_NEAR(window.positionSeconds(), 0.75, 1e-3);

    // The slop grows with the DPI: 15 px at 144 dpi.
    const FaceplateClient large{1458.0, 1023.0, 144};
    pointer.Press(window, large, 700, 400, true);
    pointer.Move(window, large, 712, 400);
    pointer.Release(window, large, 712, 400);
    EXPECT_EQ(window.transportState(), TransportState::Playing);
}

TEST(FaceplatePointerTest, RecordPressSeeksAtOnceAndFollowsTheDrag) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    FaceplatePointer pointer;
    pointer.Press(window, kClient, 226 + 973 * 0.5, 450, false);
    EXPECT_NEAR(window.positionSeconds(), 0.5, 1e-3);
    pointer.Move(window, kClient, 226 + 973 * 0.25, 300);  // outside the region: still dragging
    EXPECT_NEAR(window.positionSeconds(), 0.25, 1e-3);
    pointer.Release(window, kClient, 0, 0);
    EXPECT_FALSE(pointer.dragging());
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
}

TEST(FaceplatePointerTest, VolumeDragsApplyAtOnceAndTheLastValueOnRelease) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    FaceplatePointer pointer;
    EXPECT_EQ(pointer.Press(window, kClient, 215 + 500, 650, false), PointerOutcome::Captured);
    EXPECT_FLOAT_EQ(h.volume->level, 0.5f);
    EXPECT_FALSE(window.firstRunVolumePending());
    pointer.Move(window, kClient, 215 + 700, 900);  // off the scale: the x still counts
    EXPECT_FLOAT_EQ(h.volume->level, 0.7f);
    pointer.Release(window, kClient, 215 + 300, 900);
    EXPECT_FLOAT_EQ(h.volume->level, 0.3f);

    // Knob: bottom to top.
    pointer.Press(window, kClient, 1250, 280 - 155 * 0.4, false);
    EXPECT_NEAR(h.volume->level, 0.4f, 1e-6);
    pointer.Cancel(window);
    EXPECT_FALSE(pointer.dragging());

    // Right-edge strip: top is full.
    EXPECT_EQ(FaceplatePointer::RegionAt(window, kClient, 1450, 400), region::kVolumeStrip);
    pointer.Press(window, kClient, 1450, 1023 * 0.25, false);
    EXPECT_NEAR(h.volume->level, 0.75f, 1e-6);
    pointer.Release(window, kClient, 1450, 1023 * 0.5);
    EXPECT_NEAR(h.volume->level, 0.5f, 1e-6);
}

TEST(FaceplatePointerTest, NoVolumeControlNoStripNoDrag) {
    PlayerHarness h;
    h.volume->hardware = false;
    PlayerWindow& window = h.makeWithSource();
    FaceplatePointer pointer;
    EXPECT_NE(FaceplatePointer::RegionAt(window, kClient, 1450, 400), region::kVolumeStrip);
    EXPECT_EQ(pointer.Press(window, kClient, 715, 650, false), PointerOutcome::None);
    EXPECT_FALSE(pointer.dragging());
    EXPECT_TRUE(h.volume->sets.empty());
}

TEST(FaceplatePointerTest, LeverUpHoldsTheStylusLeverDownPlays) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource(48000);
    FaceplatePointer pointer;
    pointer.Press(window, kClient, 200, 900, false);  // lever down side
    pointer.Move(window, kClient, 220, 900);          // still down: nothing
    EXPECT_EQ(window.transportState(), TransportState::Stopped);
    pointer.Move(window, kClient, 400, 900);  // up while stopped: nothing to hold
    pointer.Move(window, kClient, 200, 900);  // down: play
    EXPECT_EQ(window.transportState(), TransportState::Playing);
    pointer.Move(window, kClient, 400, 900);  // up: hold
    EXPECT_EQ(window.transportState(), TransportState::Paused);
    pointer.Release(window, kClient, 400, 900);
}

TEST(FaceplatePointerTest, WheelStepsFormatAndVolume) {
    PlayerHarness h;
    PlayerWindow& window = h.makeWithSource();
    FaceplatePointer pointer;
    pointer.Wheel(window, kClient, 700, 290, -120);
    EXPECT_EQ(window.selectedFormat(), 1);
    pointer.Wheel(window, kClient, 700, 290, 120);
    EXPECT_EQ(window.selectedFormat(), 2);
    pointer.Wheel(window, kClient, 700, 650, 120);
    h.tickFor(200);
    EXPECT_NEAR(h.volume->level, 0.125f, 1e-6);
    pointer.Wheel(window, kClient, 700, 450, 120);  // record: nothing
    EXPECT_EQ(window.selectedFormat(), 2);
}

}  // namespace
}  // namespace al::app
