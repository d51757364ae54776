#include "visual/FaceplateLayout.h"

#include <gtest/gtest.h>

#include <cmath>

namespace al::visual {
namespace {

TEST(CanvasTransformTest, ScalesUniformlyAndCentres) {
    const CanvasTransform same = CanvasTransform::ForClient(1458, 1023);
    EXPECT_DOUBLE_EQ(same.scale, 1.0);
    EXPECT_DOUBLE_EQ(same.offsetX, 0.0);
    // Twice as wide, same height: scale stays 1, the canvas is centred.
    const CanvasTransform wide = CanvasTransform::ForClient(2916, 1023);
    EXPECT_DOUBLE_EQ(wide.scale, 1.0);
    EXPECT_DOUBLE_EQ(wide.offsetX, 729.0);
    EXPECT_DOUBLE_EQ(wide.offsetY, 0.0);
    const CanvasTransform half = CanvasTransform::ForClient(729, 1023);
    EXPECT_DOUBLE_EQ(half.scale, 0.5);
    EXPECT_DOUBLE_EQ(half.offsetY, (1023 - 511.5) / 2);
    const CanvasTransform empty = CanvasTransform::ForClient(0, 0);
    EXPECT_DOUBLE_EQ(empty.scale, 1.0);
    EXPECT_DOUBLE_EQ(empty.offsetX, 0.0);
    EXPECT_DOUBLE_EQ(empty.offsetY, 0.0);
}

TEST(HitTestTest, RegionsInOrderWithInclusiveBounds) {
    const CanvasTransform t;
    EXPECT_EQ(HitTestRegion(t, 36, 22), region::kOpen);
    EXPECT_EQ(HitTestRegion(t, 246, 87), region::kOpen);
    EXPECT_EQ(HitTestRegion(t, 247, 50), region::kNone);
    EXPECT_EQ(HitTestRegion(t, 700, 50), region::kEndpointMenu);
    EXPECT_EQ(HitTestRegion(t, 1300, 50), region::kRefresh);
    // The step buttons win over the format menu where they overlap it.
    EXPECT_EQ(HitTestRegion(t, 421, 290), region::kFormatDown);
    EXPECT_EQ(HitTestRegion(t, 1044, 290), region::kFormatUp);
    EXPECT_EQ(HitTestRegion(t, 700, 290), region::kFormatMenu);
    EXPECT_EQ(HitTestRegion(t, 500, 150), region::kStageSea);
    EXPECT_EQ(HitTestRegion(t, 900, 150), region::kStageSea);
    EXPECT_EQ(HitTestRegion(t, 730, 150), region::kNone);
    EXPECT_EQ(HitTestRegion(t, 700, 400), region::kSeek);
    EXPECT_EQ(HitTestRegion(t, 500, 600), region::kPlay);
    EXPECT_EQ(HitTestRegion(t, 700, 600), region::kStop);
    EXPECT_EQ(HitTestRegion(t, 900, 600), region::kLoop);
    EXPECT_EQ(HitTestRegion(t, 300, 660), region::kVolumeScale);
    EXPECT_EQ(HitTestRegion(t, 1308, 232), region::kHoldStylus);
    EXPECT_EQ(HitTestRegion(t, 1308 + 22, 202 + 22), region::kVolumeKnob);  // outside the circle
    EXPECT_EQ(HitTestRegion(t, 700, 760), region::kStageCorridor);
    // The volume scale reaches 1215; from there to 1230 nothing, then mute.
    EXPECT_EQ(HitTestRegion(t, 1220, 660), region::kNone);
    EXPECT_EQ(HitTestRegion(t, 1300, 660), region::kMute);
    EXPECT_EQ(HitTestRegion(t, 100, 900), region::kPower);
    EXPECT_EQ(HitTestRegion(t, 300, 900), region::kNeedleLever);
    EXPECT_EQ(HitTestRegion(t, -1, 50), region::kNone);
    EXPECT_EQ(HitTestRegion(t, 100, 1024), region::kNone);
}

TEST(HitTestTest, FollowsTheScaledCanvas) {
    const CanvasTransform wide = CanvasTransform::ForClient(2916, 1023);
    EXPECT_EQ(HitTestRegion(wide, 729 + 100, 900), region::kPower);
    EXPECT_EQ(HitTestRegion(wide, 100, 900), region::kNone);  // left of the canvas
    CanvasTransform broken;
    broken.scale = 0.0;
    EXPECT_EQ(HitTestRegion(broken, 100, 900), region::kNone);
}

TEST(SeekScaleTest, MapsPointerAndThumb) {
    const CanvasTransform half = CanvasTransform::ForClient(729, 1023);
    EXPECT_DOUBLE_EQ(SeekFractionAt(half, half.offsetX + (226 + 973 / 2.0) * 0.5), 0.5);
    EXPECT_DOUBLE_EQ(SeekFractionAt(half, 0), 0.0);
    EXPECT_DOUBLE_EQ(SeekFractionAt(half, 10000), 1.0);
    EXPECT_DOUBLE_EQ(SeekThumbX(2.0), 1199.0);
    const DesignRect thumb = SeekThumbRect(0.0);
    EXPECT_DOUBLE_EQ(thumb.x, 214.0);
    EXPECT_DOUBLE_EQ(thumb.y, 629.5);
    EXPECT_DOUBLE_EQ(CarriageX(1.0), 1325.0);
    EXPECT_DOUBLE_EQ(CarriageX(std::nan("")), 110.0);
    EXPECT_DOUBLE_EQ(CarriageHeight(0), 192.0);
    EXPECT_DOUBLE_EQ(CarriageHeight(1), 204.0);
    EXPECT_DOUBLE_EQ(CarriageHeight(2), 240.0);
}

TEST(NeedleMeterTest, AnglesFromLevels) {
    EXPECT_DOUBLE_EQ(NeedleAngleDegrees(0.0), -125.5);
    EXPECT_DOUBLE_EQ(NeedleAngleDegrees(1e-9), -125.5);
    EXPECT_NEAR(NeedleAngleDegrees(1.0), 40.0 / 43.0 * 70.0 - 125.5, 1e-12);
    EXPECT_NEAR(NeedleAngleDegrees(1.0), -60.38, 0.01);
    EXPECT_DOUBLE_EQ(NeedleAngleDegrees(10.0), -55.5);
    const NeedleLine line = NeedleAt(kLeftMeterPivot, 0.0);
    const double a = -125.5 * 3.14159265358979323846 / 180.0;
    EXPECT_NEAR(line.from.x, 519 + 143 * std::cos(a), 1e-9);
    EXPECT_NEAR(line.to.y, 354 + 235 * std::sin(a), 1e-9);
    EXPECT_LT(line.to.y, 354.0);  // upwards on screen
}

TEST(ParkedNoticeTest, AlphasRoundAndHideNearZero) {
    EXPECT_FALSE(ParkedNoticeAlphas(0.001).visible);
    const ParkedAlphas half = ParkedNoticeAlphas(0.5);
    EXPECT_TRUE(half.visible);
    EXPECT_EQ(half.shadow, 58);  // 57.5 rounds away from zero
    EXPECT_EQ(half.text, 128);
    EXPECT_EQ(ParkedNoticeAlphas(3.0).text, 255);
}

TEST(PeakMeterTest, EmptyForSilenceRedFromMinusOneDecibel) {
    const PeakBar silent = PeakMeterBar(0.0);
    EXPECT_DOUBLE_EQ(silent.decibels, -96.0);
    EXPECT_DOUBLE_EQ(silent.fraction, 0.0);
    EXPECT_EQ(silent.band, PeakBand::Green);
    EXPECT_EQ(PeakMeterBar(std::pow(10.0, -1.01 / 20)).band, PeakBand::Amber);
    EXPECT_EQ(PeakMeterBar(std::pow(10.0, -0.99 / 20)).band, PeakBand::Red);
    EXPECT_EQ(PeakMeterBar(std::pow(10.0, -12.5 / 20)).band, PeakBand::Green);
    EXPECT_NEAR(PeakMeterBar(std::pow(10.0, -30.0 / 20)).fraction, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(PeakMeterBar(2.0).fraction, 1.0);
}

}  // namespace
}  // namespace al::visual
