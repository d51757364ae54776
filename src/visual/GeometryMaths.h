#pragma once
// The arithmetic of the geometry views, shared by the Direct3D renderers
// (which compute the same formulas in their shaders) and the tests: palette
// colours, ribbon vertices of the in-window view and the corridor, the sea's
// layer parameters, the corridor's scroll, and the 8-bit read-back with its
// dither. Pure functions; any thread.

#include <array>
#include <cstdint>
#include <vector>

#include "visual/GeometrySnapshot.h"

namespace al::ui {

struct Rgb {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
};

inline constexpr int kPaletteCount = 8;
// Indexes of 8 and above (and negative ones) select palette 0.
int normalisePaletteIndex(int index) noexcept;
// The channel's colour in sRGB; the index is clamped to 0..7, channel to 0..1.
Rgb paletteColour(int palette, int channel) noexcept;
float srgbToLinear(float c) noexcept;
float linearToSrgb(float c) noexcept;  // clamps to [0, 1]; NaN gives 0

struct Float2 {
    float x = 0.0f;
    float y = 0.0f;
};

// The in-window view's per-draw parameters (the constant buffer).
struct RibbonParams {
    float baseline = 0.33f;
    float amplitudeScale = 0.205f;
    float halfThicknessPixels = 0.425f;
    std::uint32_t samplesPerInterval = 2;
    std::uint32_t firstInterval = 0;
    std::uint32_t intervalCount = 0;
    float viewportWidth = 1.0f;
    float viewportHeight = 1.0f;
};

// Window-scale centre of a curve point: x across the viewport (0..1), y down
// it (0..1).
Float2 ribbonCentre(const CubicInterval& interval, float u, const RibbonParams& p) noexcept;
// Vertex k of the ribbon in clip space, as the vertex shader computes it.
Float2 ribbonVertex(const std::vector<CubicInterval>& list, std::uint32_t vertex,
                    const RibbonParams& p) noexcept;

// Channel layout of the in-window picture.
struct ChannelLane {
    float baseline;
    float amplitudeScale;
};
ChannelLane channelLane(int channel, bool split) noexcept;

// Background of the in-window picture in linear light.
inline constexpr std::array<float, 4> kViewClearColour{0.000774f, 0.001858f, 0.004401f, 1.0f};

// The 8-bit read-back: a table from every half-float bit pattern to its sRGB
// value × 255, and the position-only dither.
class HalfToSrgbTable {
  public:
    HalfToSrgbTable();
    float operator[](std::uint16_t half) const noexcept { return table_[half]; }

  private:
    std::vector<float> table_;
};
float halfToFloat(std::uint16_t half) noexcept;
std::uint16_t floatToHalf(float value) noexcept;
float ditherOffset(std::uint32_t x, std::uint32_t y) noexcept;
// One 8-bit channel: clamp(T + d, 0, 255) rounded half up.
std::uint8_t quantiseChannel(float tableValue, float dither) noexcept;
// Converts rows of R16G16B16A16 float pixels into BGRA bytes (alpha 255).
void convertHalfRowsToBgra(const HalfToSrgbTable& table, const std::uint8_t* source,
                           std::size_t sourceStride, int width, int height, std::uint8_t* target,
                           std::size_t targetStride) noexcept;

// Wave Motion Sea: one history picture's layer (n = 0 newest).
struct SeaLayer {
    float depth;
    float widthScale;
    float heightScale;
    float opacity;
    std::array<float, 4> tint;
    float sway;
    float upperCentre;  // centre height of the picture's upper half (channel 0)
    float lowerCentre;  // lower half (channel 1)
};
inline constexpr int kSeaDepthSteps = 30;
float seaWidthLimit(float width, float height) noexcept;  // min(w / h × 0.83, 1.46)
SeaLayer seaLayer(int n, float snapshotTime, float widthLimit) noexcept;

// Each half of a layer is composited twice: a soft pass (a fraction of the
// layer's opacity, low threshold) under a sharp one (full opacity).
inline constexpr float kSeaSoftOpacity = 0.24f;
inline constexpr float kSeaSoftThreshold = 0.04f;
inline constexpr float kSeaSharpThreshold = 0.066f;
inline constexpr float kSeaMaskWidth = 0.19f;

struct Premultiplied {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
};
// Premultiplied source over a destination (blend one, inverse source alpha).
Premultiplied over(const Premultiplied& source, const Premultiplied& destination) noexcept;
// One pass of the sea's composite for a picture texel: mask from the
// brightest channel, lifted and tinted colour, premultiplied.
Premultiplied seaPass(const Rgb& texel, const std::array<float, 4>& tint, float opacity,
                      float threshold) noexcept;
// Both passes at once, the sharp one over the soft one, as the stage's pixel
// shader computes them in a single draw. Over is associative, so blending this
// onto a destination equals blending the soft and then the sharp pass (up to
// the rounding of the target between the two). Alpha is 0 exactly when both
// passes are fully transparent.
Premultiplied seaLayerComposite(const Rgb& texel, const std::array<float, 4>& tint,
                                float opacity) noexcept;

// Surrogate Corridor.
struct CorridorSnapshot {
    double time = 0.0;
    double windowLength = 0.0;
    bool reachesEnd = false;
    float lastRight0 = 0.0f;  // last xRight of each channel's list (0 when empty)
    float lastRight1 = 0.0f;
};
double corridorShift(const CorridorSnapshot& s, double stageTime) noexcept;

struct CorridorParams {
    float side = -1.0f;
    float nearBaseline = 0.0f;
    float amplitudeScale = 0.72f;
    float halfThicknessPixels = 1.9f;
    float minimumHalfThicknessPixels = 0.95f;
    float opacity = 0.98f;
    float depthExponent = 0.78f;
    float shift = 0.0f;
    float viewportWidth = 1.0f;
    float viewportHeight = 1.0f;
};
struct CorridorPoint {
    Float2 position;  // clip space
    float depth;
    float halfThickness;
    float alpha;
};
// The centre of a wall point at u of an interval (before the pen offset).
CorridorPoint corridorPoint(const CubicInterval& interval, float u,
                            const CorridorParams& p) noexcept;
float smoothstep(float edge0, float edge1, float x) noexcept;

// Corridor lattice rungs: depth of rung j at a given time; negative when the
// rung is not drawn.
float corridorRungDepth(int j, double time) noexcept;

}  // namespace al::ui
