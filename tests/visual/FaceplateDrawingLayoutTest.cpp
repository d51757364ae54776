// The drawing geometry that the faceplate painter and the window's pointer
// handling share: carriage box, streamer flight, peak meter bar, splash fit,
// overlays and the volume and lever indicators.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "visual/FaceplateLayout.h"

namespace al::visual {
namespace {

TEST(CarriageTest, StylusTipTouchesThePictureOnlyWhenDown) {
    const double pictureBottom = kGeometryPictureRect.y + kGeometryPictureRect.height;
    const DesignRect down = CarriageRect(0.5, 2);
    EXPECT_DOUBLE_EQ(down.y + down.height, pictureBottom);
    EXPECT_DOUBLE_EQ(down.x + down.width / 2, CarriageX(0.5));
    // Parked sits highest, lifted a little lower, both clear of the record.
    EXPECT_LT(CarriageRect(0.5, 0).height, CarriageRect(0.5, 1).height);
    EXPECT_LT(CarriageRect(0.5, 1).y + CarriageRect(0.5, 1).height, pictureBottom);
    // Any unknown state draws (and grabs) like a lowered stylus.
    EXPECT_DOUBLE_EQ(CarriageRect(0.5, 7).height, down.height);
}

TEST(CarriageTest, GrabFollowsTheDrawnCarriage) {
    const double x = CarriageX(0.25);
    EXPECT_TRUE(CarriageContains({x, 400}, 0.25, 1));
    EXPECT_TRUE(CarriageContains({x + kCarriageHalfWidth, 320}, 0.25, 1));
    EXPECT_FALSE(CarriageContains({x + kCarriageHalfWidth + 0.5, 320}, 0.25, 1));
    // Below a lifted stylus is the record, not the carriage.
    EXPECT_FALSE(CarriageContains({x, 540}, 0.25, 1));
    EXPECT_TRUE(CarriageContains({x, 540}, 0.25, 2));
    EXPECT_FALSE(CarriageContains({CarriageX(0.75), 400}, 0.25, 2));
}

TEST(StreamerTest, FadesAndDropsWhileRemoved) {
    const StreamerPlacement full = StreamerAt(CarriageX(0), true, 0.0);
    EXPECT_TRUE(full.visible);
    EXPECT_DOUBLE_EQ(full.alpha, 1.0);
    const StreamerPlacement mid = StreamerAt(CarriageX(0), true, 0.5);
    EXPECT_TRUE(mid.visible);
    EXPECT_DOUBLE_EQ(mid.alpha, 0.5);
    EXPECT_GT(mid.anchor.y, full.anchor.y);
    EXPECT_GT(mid.angleDegrees, full.angleDegrees);
    EXPECT_FALSE(StreamerAt(CarriageX(0), true, 1.0).visible);
    EXPECT_FALSE(StreamerAt(CarriageX(0), false, 0.0).visible);
    // A broken animation value shows the streamer whole rather than nothing.
    EXPECT_DOUBLE_EQ(StreamerAt(CarriageX(0), true, std::nan("")).alpha, 1.0);
}

TEST(StreamerTest, RibbonStaysOverThePictureWhereverTheCarriageIs) {
    const double left = kGeometryPictureRect.x;
    const double right = kGeometryPictureRect.x + kGeometryPictureRect.width;
    for (double fraction : {0.0, 0.3, 0.6, 0.9, 1.0}) {
        const StreamerPlacement p = StreamerAt(CarriageX(fraction), true, 0.0);
        for (double across : {-kStreamerWidth / 2, kStreamerWidth / 2}) {
            for (double along : {0.0, kStreamerLength}) {
                const DesignPoint q = StreamerPoint(p, along, across);
                EXPECT_GE(q.x, left) << fraction;
                EXPECT_LE(q.x, right) << fraction;
                EXPECT_GT(q.y, kGeometryPictureRect.y) << fraction;
                EXPECT_LT(q.y, kGeometryPictureRect.y + kGeometryPictureRect.height) << fraction;
            }
        }
    }
    // Flying left, the ribbon's upper edge is still the one with the smaller y.
    const StreamerPlacement leftward = StreamerAt(CarriageX(1.0), true, 0.0);
    EXPECT_LT(StreamerPoint(leftward, 100, -kStreamerWidth / 2).y,
              StreamerPoint(leftward, 100, kStreamerWidth / 2).y);
    EXPECT_LT(StreamerPoint(leftward, 100, 0).x, leftward.anchor.x);
}

TEST(PeakMeterBarRectTest, SilenceAndTinyLevelsPaintNothing) {
    EXPECT_TRUE(PeakMeterBarRect(100, 20, 0.0).empty());
    // 4 % of 100 pixels is used up by the 2-pixel margins on both sides.
    EXPECT_TRUE(PeakMeterBarRect(100, 20, 0.04).empty());
    EXPECT_TRUE(PeakMeterBarRect(100, 3, 1.0).empty());
    EXPECT_TRUE(PeakMeterBarRect(0, 0, 1.0).empty());
    const PixelRect half = PeakMeterBarRect(101, 20, 0.5);
    EXPECT_EQ(half.left, 2);
    EXPECT_EQ(half.top, 2);
    EXPECT_EQ(half.right, 48);  // 50.5 truncated, less the margin
    EXPECT_EQ(half.bottom, 18);
    EXPECT_EQ(PeakMeterBarRect(100, 20, 5.0).right, 98);
}

TEST(SplashRectTest, FitsWithinEightySixPercentKeepingAspect) {
    const PixelRect wide = SplashRect(2000, 1000, 1024, 1024);
    EXPECT_EQ(wide.bottom - wide.top, 860);
    EXPECT_EQ(wide.right - wide.left, 860);
    EXPECT_EQ(wide.left, 570);
    EXPECT_EQ(wide.top, 70);
    const PixelRect tiny = SplashRect(1, 1, 1024, 1024);
    EXPECT_EQ(tiny.right - tiny.left, 1);
    EXPECT_EQ(tiny.bottom - tiny.top, 1);
    EXPECT_TRUE(SplashRect(0, 500, 1024, 1024).empty());
    EXPECT_TRUE(SplashRect(500, 500, 0, 1024).empty());
}

TEST(OverlayTest, ChannelsSitOnTheirBaselines) {
    const DesignPoint zero0 = OverlayPointAt(0, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(zero0.x, 55.0);
    EXPECT_DOUBLE_EQ(zero0.y, 318.0 + 235.0 * 0.33);
    const DesignPoint top1 = OverlayPointAt(1, 1.0, 1.0);
    EXPECT_DOUBLE_EQ(top1.x, 1405.0);
    EXPECT_DOUBLE_EQ(top1.y, 318.0 + 235.0 * (0.67 - 0.205));
    // Out-of-range values stay inside their own lane.
    EXPECT_DOUBLE_EQ(OverlayPointAt(0, 0.5, -9.0).y, 318.0 + 235.0 * (0.33 + 0.205));
    EXPECT_DOUBLE_EQ(OverlayPointAt(0, 0.5, std::numeric_limits<double>::quiet_NaN()).y, zero0.y);
}

TEST(IndicatorTest, VolumeAndLeverMatchTheirPointerMaps) {
    EXPECT_DOUBLE_EQ(VolumeKnobSweepDegrees(0.0), -135.0);
    EXPECT_DOUBLE_EQ(VolumeKnobSweepDegrees(1.0), 135.0);
    EXPECT_DOUBLE_EQ(VolumeKnobSweepDegrees(0.5), 0.0);
    for (double level : {0.0, 0.1, 0.5, 1.0}) {
        EXPECT_NEAR(VolumeScaleLevelAt({VolumeScaleX(level), 650}), level, 1e-12);
    }
    EXPECT_DOUBLE_EQ(NeedleLeverPosition(2), 0.0);
    EXPECT_DOUBLE_EQ(NeedleLeverPosition(1), 1.0);
    EXPECT_DOUBLE_EQ(NeedleLeverPosition(0), 1.0);
}

}  // namespace
}  // namespace al::visual
