#include "visual/FaceplateLayout.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace al::visual {
namespace {

double clamp01(double v) noexcept {
    if (!(v > 0.0))
        return 0.0;  // also NaN
    return v > 1.0 ? 1.0 : v;
}

bool within(double value, double low, double high) noexcept {
    return value >= low && value <= high;
}

bool inBox(DesignPoint p, double u0, double u1, double v0, double v1) noexcept {
    return within(p.x, u0, u1) && within(p.y, v0, v1);
}

}  // namespace

CanvasTransform CanvasTransform::ForClient(double width, double height) noexcept {
    CanvasTransform t;
    if (!(width > 0.0) || !(height > 0.0))
        return t;
    t.scale = std::min(height / kCanvasHeight, width / kCanvasWidth);
    t.offsetX = (width - kCanvasWidth * t.scale) / 2.0;
    t.offsetY = (height - kCanvasHeight * t.scale) / 2.0;
    return t;
}

int HitTestRegion(const CanvasTransform& canvas, double x, double y) noexcept {
    if (!(canvas.scale > 0.0))
        return region::kNone;
    const DesignPoint p = canvas.toDesign(x, y);
    if (p.x < 0.0 || p.y < 0.0 || p.x > kCanvasWidth || p.y > kCanvasHeight)
        return region::kNone;
    // The order matters where areas overlap (the format menu lies between its
    // step buttons; the seek area covers the geometry picture).
    if (inBox(p, 36, 246, 22, 87))
        return region::kOpen;
    if (inBox(p, 267, 1203, 22, 87))
        return region::kEndpointMenu;
    if (inBox(p, 1225, 1427, 22, 87))
        return region::kRefresh;
    if (inBox(p, 358, 422, 255, 321))
        return region::kFormatDown;
    if (inBox(p, 1043, 1107, 255, 321))
        return region::kFormatUp;
    if (inBox(p, 420, 1045, 261, 316))
        return region::kFormatMenu;
    if ((within(p.x, 356, 683) || within(p.x, 781, 1108)) && within(p.y, 111, 241))
        return region::kStageSea;
    if (inBox(p, 55, 1405, 318, 553))
        return region::kSeek;
    if (inBox(p, 425, 605, 555, 625))
        return region::kPlay;
    if (inBox(p, 618, 808, 555, 625))
        return region::kStop;
    if (inBox(p, 820, 1035, 555, 625))
        return region::kLoop;
    if (inBox(p, 215, 1215, 621, 693))
        return region::kVolumeScale;
    const double du = p.x - 1308.0;
    const double dv = p.y - 202.0;
    if (du * du + dv * dv <= 900.0)
        return region::kHoldStylus;
    if (inBox(p, 1234, 1384, 125, 280))
        return region::kVolumeKnob;
    if (inBox(p, 125, 1330, 694, 829))
        return region::kStageCorridor;
    if (inBox(p, 1230, 1435, 620, 693))
        return region::kMute;
    if (inBox(p, 28, 158, 844, 969))
        return region::kPower;
    if (inBox(p, 180, 410, 842, 972))
        return region::kNeedleLever;
    return region::kNone;
}

double SeekFractionAt(const CanvasTransform& canvas, double x) noexcept {
    if (!(canvas.scale > 0.0))
        return 0.0;
    const double u = (x - canvas.offsetX) / canvas.scale;
    return clamp01((u - 226.0) / 973.0);
}

double SeekThumbX(double fraction) noexcept {
    return 226.0 + 973.0 * clamp01(fraction);
}

DesignRect SeekThumbRect(double fraction) noexcept {
    return {SeekThumbX(fraction) - 12.0, 629.5, 24.0, 39.0};
}

double CarriageX(double tonearmPosition) noexcept {
    return 110.0 + 1215.0 * clamp01(tonearmPosition);
}

double CarriageHeight(int stylusState) noexcept {
    if (stylusState == 1)
        return 204.0;
    if (stylusState == 0)
        return 192.0;
    return 240.0;
}

double NeedleDecibels(double level) noexcept {
    if (!(level > 0.0))
        return -40.0;
    return std::clamp(20.0 * std::log10(level), -40.0, 3.0);
}

double NeedleAngleDegrees(double level) noexcept {
    return (NeedleDecibels(level) + 40.0) / 43.0 * 70.0 - 125.5;
}

NeedleLine NeedleAt(DesignPoint pivot, double level) noexcept {
    const double a = NeedleAngleDegrees(level) * std::numbers::pi / 180.0;
    const double c = std::cos(a);
    const double s = std::sin(a);
    return {{pivot.x + kNeedleInnerRadius * c, pivot.y + kNeedleInnerRadius * s},
            {pivot.x + kNeedleOuterRadius * c, pivot.y + kNeedleOuterRadius * s}};
}

ParkedAlphas ParkedNoticeAlphas(double strength) noexcept {
    const double x = clamp01(strength);
    ParkedAlphas a;
    a.visible = x > 0.001;
    a.shadow = static_cast<int>(std::lround(115.0 * x));
    a.text = static_cast<int>(std::lround(255.0 * x));
    return a;
}

PeakBar PeakMeterBar(double level) noexcept {
    PeakBar bar;
    bar.decibels = level > 0.0 ? 20.0 * std::log10(level) : -96.0;
    bar.fraction = clamp01((bar.decibels + 60.0) / 60.0);
    bar.band = bar.decibels >= -1.0    ? PeakBand::Red
               : bar.decibels >= -12.0 ? PeakBand::Amber
                                       : PeakBand::Green;
    return bar;
}

double VolumeScaleLevelAt(DesignPoint p) noexcept {
    return clamp01((p.x - 215.0) / 1000.0);
}
double VolumeKnobLevelAt(DesignPoint p) noexcept {
    return clamp01((280.0 - p.y) / 155.0);
}
double NeedleLeverAt(DesignPoint p) noexcept {
    return clamp01((p.x - 180.0) / 230.0);
}

DesignRect CarriageRect(double tonearmPosition, int stylusState) noexcept {
    // The head rides on the rail just above the picture's top edge.
    constexpr double headTop = kCarriageTop - 7.0;
    const double x = CarriageX(tonearmPosition);
    return {x - kCarriageHalfWidth, headTop, 2.0 * kCarriageHalfWidth,
            kCarriageTop + CarriageHeight(stylusState) - headTop};
}

bool CarriageContains(DesignPoint p, double tonearmPosition, int stylusState) noexcept {
    const DesignRect r = CarriageRect(tonearmPosition, stylusState);
    return within(p.x, r.x, r.x + r.width) && within(p.y, r.y, r.y + r.height);
}

StreamerPlacement StreamerAt(double carriageX, bool shown, double removal) noexcept {
    StreamerPlacement placement;
    const double t = clamp01(removal);
    placement.alpha = 1.0 - t * t * (3.0 - 2.0 * t);
    placement.visible = shown && placement.alpha > 0.0;
    // Tied just below the carriage head; it flies towards the open side of
    // the picture so it never leaves the canvas.
    constexpr double droop = 4.0;
    const double pictureRight = kGeometryPictureRect.x + kGeometryPictureRect.width;
    const bool toLeft = carriageX + 16.0 + kStreamerLength > pictureRight;
    placement.anchor = {carriageX + (toLeft ? -16.0 : 16.0), 352.0 + 300.0 * t * t};
    const double swing = droop + 38.0 * t;
    placement.angleDegrees = toLeft ? 180.0 - swing : swing;
    return placement;
}

DesignPoint StreamerPoint(const StreamerPlacement& placement, double along,
                          double across) noexcept {
    const double a = placement.angleDegrees * std::numbers::pi / 180.0;
    const double c = std::cos(a);
    const double s = std::sin(a);
    // A ribbon flying to the left keeps its text upright: its across axis
    // is mirrored along with its direction.
    const double flip = c < 0.0 ? -1.0 : 1.0;
    return {placement.anchor.x + along * c - flip * across * s,
            placement.anchor.y + along * s + flip * across * c};
}

PixelRect PeakMeterBarRect(int width, int height, double fraction) noexcept {
    PixelRect r;
    if (width <= 0 || height <= 0)
        return r;
    const double barRight = static_cast<double>(width) * clamp01(fraction);
    r.left = 2;
    r.top = 2;
    r.right = static_cast<int>(barRight) - 2;
    r.bottom = height - 2;
    if (r.empty())
        r = PixelRect{};
    return r;
}

PixelRect SplashRect(int clientWidth, int clientHeight, int imageWidth, int imageHeight) noexcept {
    PixelRect r;
    if (clientWidth <= 0 || clientHeight <= 0 || imageWidth <= 0 || imageHeight <= 0)
        return r;
    const double scale =
        std::min(0.86 * clientWidth / imageWidth, 0.86 * clientHeight / imageHeight);
    const int w = std::max(1, static_cast<int>(std::lround(imageWidth * scale)));
    const int h = std::max(1, static_cast<int>(std::lround(imageHeight * scale)));
    r.left = (clientWidth - w) / 2;
    r.top = (clientHeight - h) / 2;
    r.right = r.left + w;
    r.bottom = r.top + h;
    return r;
}

DesignPoint OverlayPointAt(int channel, double x, double value) noexcept {
    const double baseline = kOverlayBaselines[channel == 1 ? 1 : 0];
    const double v = value == value ? std::clamp(value, -1.0, 1.0) : 0.0;
    return {
        kGeometryPictureRect.x + kGeometryPictureRect.width * clamp01(x),
        kGeometryPictureRect.y + kGeometryPictureRect.height * (baseline - v * kOverlayHalfHeight)};
}

double VolumeKnobSweepDegrees(double level) noexcept {
    return -135.0 + 270.0 * clamp01(level);
}
double VolumeScaleX(double level) noexcept {
    return 215.0 + 1000.0 * clamp01(level);
}

double NeedleLeverPosition(int stylusState) noexcept {
    return stylusState == 2 ? 0.0 : 1.0;
}

}  // namespace al::visual
