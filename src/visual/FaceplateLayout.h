#pragma once
// Geometry of the faceplate: the 1458 x 1023 design canvas and how a client
// area maps onto it, the interactive regions, the seek scale, the tonearm
// carriage, the needle meters and the peak meter bar. The window's painter,
// its pointer handling and its cursor all use these functions, so what is
// drawn and what is hit never drift apart. Pure functions; any thread.

#include <cstdint>

namespace al::visual {

inline constexpr double kCanvasWidth = 1458.0;
inline constexpr double kCanvasHeight = 1023.0;

struct DesignPoint {
    double x = 0.0;
    double y = 0.0;
};

struct DesignRect {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
};

// Uniform scale and centring of the design canvas inside a client area.
struct CanvasTransform {
    double scale = 1.0;
    double offsetX = 0.0;
    double offsetY = 0.0;

    // s = min(H / 1023, W / 1458), centred; an empty client area gives s = 1
    // and no offset.
    static CanvasTransform ForClient(double width, double height) noexcept;

    DesignPoint toDesign(double x, double y) const noexcept {
        return {(x - offsetX) / scale, (y - offsetY) / scale};
    }
    double toClientX(double u) const noexcept { return offsetX + u * scale; }
    double toClientY(double v) const noexcept { return offsetY + v * scale; }
};

// The faceplate's interactive regions, numbered as the window acts on them.
namespace region {
inline constexpr int kNone = 0;
inline constexpr int kOpen = 1;
inline constexpr int kEndpointMenu = 2;
inline constexpr int kRefresh = 3;
inline constexpr int kFormatMenu = 4;
inline constexpr int kFormatDown = 5;
inline constexpr int kFormatUp = 6;
inline constexpr int kSeek = 7;
inline constexpr int kPlay = 8;
inline constexpr int kHoldStylus = 9;
inline constexpr int kStop = 10;
inline constexpr int kLoop = 11;
inline constexpr int kVolumeScale = 12;
inline constexpr int kVolumeKnob = 13;
inline constexpr int kVolumeStrip = 14;  // right-edge strip: tested by the window itself
inline constexpr int kStageSea = 15;
inline constexpr int kStageCorridor = 16;
inline constexpr int kMute = 17;
inline constexpr int kPower = 18;
inline constexpr int kNeedleLever = 19;
}  // namespace region

// The region under a client point, 0 when none (or outside the canvas).
int HitTestRegion(const CanvasTransform& canvas, double x, double y) noexcept;

// Seek scale: the fraction for a client x, and where the thumb is drawn.
double SeekFractionAt(const CanvasTransform& canvas, double x) noexcept;
double SeekThumbX(double fraction) noexcept;
DesignRect SeekThumbRect(double fraction) noexcept;  // corner radius kSeekThumbRadius
inline constexpr double kSeekThumbRadius = 5.5;

// Tonearm carriage over the seek scale.
double CarriageX(double tonearmPosition) noexcept;
double CarriageHeight(int stylusState) noexcept;  // 0 parked, 1 lifted, else down

// Needle meters.
inline constexpr DesignPoint kLeftMeterPivot{519.0, 354.0};
inline constexpr DesignPoint kRightMeterPivot{943.0, 354.0};
inline constexpr double kNeedleInnerRadius = 143.0;
inline constexpr double kNeedleOuterRadius = 235.0;
// dB = 20 log10(level) clamped to [-40, +3] (-40 for level <= 0); the angle
// runs from -125.5 degrees at -40 dB to -55.5 degrees at +3 dB.
double NeedleDecibels(double level) noexcept;
double NeedleAngleDegrees(double level) noexcept;
struct NeedleLine {
    DesignPoint from;
    DesignPoint to;
};
NeedleLine NeedleAt(DesignPoint pivot, double level) noexcept;

// "PARKED" notice: drawn only above 0.001; alphas of shadow and text.
struct ParkedAlphas {
    bool visible = false;
    int shadow = 0;
    int text = 0;
};
ParkedAlphas ParkedNoticeAlphas(double strength) noexcept;

// Peak meter child window: the bar's share of the width and its colour band.
enum class PeakBand { Green, Amber, Red };
struct PeakBar {
    double decibels = -96.0;
    double fraction = 0.0;
    PeakBand band = PeakBand::Green;
};
PeakBar PeakMeterBar(double level) noexcept;

// Pointer positions on the controls that are dragged, as values 0..1.
double VolumeScaleLevelAt(DesignPoint p) noexcept;  // region 12: left to right
double VolumeKnobLevelAt(DesignPoint p) noexcept;   // region 13: bottom to top
double NeedleLeverAt(DesignPoint p) noexcept;       // region 19: left (down) to right (up)

}  // namespace al::visual
