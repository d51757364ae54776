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

// Tonearm carriage drawing: it hangs from a rail along the top edge of the
// geometry picture, so its stylus tip sits at kCarriageTop + height and
// touches the picture's lower edge only when the stylus is down. The box is
// what a press grabs (the carriage's head, rod and cartridge).
inline constexpr double kCarriageTop = 313.0;
inline constexpr double kCarriageHalfWidth = 22.0;
DesignRect CarriageRect(double tonearmPosition, int stylusState) noexcept;
bool CarriageContains(DesignPoint p, double tonearmPosition, int stylusState) noexcept;

// "REMOVE BEFORE PLAYBACK" streamer: a ribbon tied to the carriage head that
// flies to the right over the geometry picture. While it is being removed
// (0..1) it drops, swings and fades. The ribbon is drawn in its own frame:
// origin at `anchor` rotated by `angleDegrees`, spanning x 0..kStreamerLength
// and y -kStreamerWidth/2..+kStreamerWidth/2.
inline constexpr double kStreamerLength = 372.0;
inline constexpr double kStreamerWidth = 46.0;
struct StreamerPlacement {
    bool visible = false;
    DesignPoint anchor;
    double angleDegrees = 0.0;
    double alpha = 0.0;  // 0..1
};
StreamerPlacement StreamerAt(double carriageX, bool shown, double removal) noexcept;
// Where a point given in the ribbon's frame lands on the canvas.
DesignPoint StreamerPoint(const StreamerPlacement& placement, double along, double across) noexcept;

// Peak meter child window: the filled bar inside a client area of
// width x height pixels. Empty (nothing to fill) when the shrunk rectangle
// has no area, so silence never paints a sliver.
struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool empty() const noexcept { return right <= left || bottom <= top; }
};
PixelRect PeakMeterBarRect(int width, int height, double fraction) noexcept;

// Statistics view: image `imageWidth` x `imageHeight` centred, scaled to fit
// within 86 % of the client width and height with its aspect kept, each side
// at least one pixel. Empty for an empty client area or image.
PixelRect SplashRect(int clientWidth, int clientHeight, int imageWidth, int imageHeight) noexcept;

// Geometry picture and its channel overlays.
inline constexpr DesignRect kGeometryPictureRect{55.0, 318.0, 1350.0, 235.0};
inline constexpr double kOverlayBaselines[2] = {0.33, 0.67};
inline constexpr double kOverlayHalfHeight = 0.205;
// An overlay point: x across the picture 0..1, value on the channel's scale
// -1..+1 (clamped), for channel 0 or 1.
DesignPoint OverlayPointAt(int channel, double x, double value) noexcept;

// Volume shown on the knob (region 13) as a sweep from -135 to +135 degrees
// (0 is straight up), and on the scale under the seek thumb (region 12).
inline constexpr DesignPoint kVolumeKnobCentre{1308.0, 202.0};
double VolumeKnobSweepDegrees(double level) noexcept;
double VolumeScaleX(double level) noexcept;

// Needle-lift lever (region 19): where its handle sits for a stylus state
// (down while playing, up otherwise), 0 = left (down) to 1 = right (up).
double NeedleLeverPosition(int stylusState) noexcept;

}  // namespace al::visual
