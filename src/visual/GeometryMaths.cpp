#include "visual/GeometryMaths.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace al::ui {

namespace {

constexpr Rgb kPalette[kPaletteCount][2] = {
    {{0.18f, 0.72f, 1.0f}, {0.38f, 0.55f, 1.0f}},   {{0.16f, 0.94f, 1.0f}, {0.08f, 0.7f, 0.96f}},
    {{0.18f, 0.96f, 0.48f}, {0.06f, 0.68f, 0.34f}}, {{1.0f, 0.66f, 0.18f}, {1.0f, 0.38f, 0.08f}},
    {{0.78f, 0.38f, 1.0f}, {0.48f, 0.24f, 1.0f}},   {{0.96f, 0.98f, 1.0f}, {0.72f, 0.84f, 1.0f}},
    {{1.0f, 0.2f, 0.3f}, {0.72f, 0.08f, 0.22f}},    {{1.0f, 0.19f, 0.07f}, {1.0f, 0.49f, 0.08f}},
};

float lerp(float a, float b, float t) noexcept {
    return a + (b - a) * t;
}

Float2 toClip(Float2 window) noexcept {
    return {2.0f * window.x - 1.0f, 1.0f - 2.0f * window.y};
}

// The pen normal in pixels from the clip positions just before and after a
// point; a degenerate tangent counts as horizontal.
Float2 penNormal(Float2 before, Float2 after, float width, float height) noexcept {
    float tx = (after.x - before.x) * width * 0.5f;
    float ty = -(after.y - before.y) * height * 0.5f;
    if (tx * tx + ty * ty < 1e-8f) {
        tx = 1.0f;
        ty = 0.0f;
    }
    const float length = std::sqrt(tx * tx + ty * ty);
    return {-ty / length, tx / length};
}

}  // namespace

int normalisePaletteIndex(int index) noexcept {
    return index >= 0 && index < kPaletteCount ? index : 0;
}

Rgb paletteColour(int palette, int channel) noexcept {
    return kPalette[std::clamp(palette, 0, kPaletteCount - 1)][std::clamp(channel, 0, 1)];
}

float srgbToLinear(float c) noexcept {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

float linearToSrgb(float c) noexcept {
    if (!std::isfinite(c)) {
        return 0.0f;
    }
    c = std::clamp(c, 0.0f, 1.0f);
    return c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

Float2 ribbonCentre(const CubicInterval& interval, float u, const RibbonParams& p) noexcept {
    const float x = lerp(interval.xLeft, interval.xRight, u);
    const float value = std::clamp(evaluateInterval(interval, u), -1.25f, 1.25f);
    return {x, p.baseline - value * p.amplitudeScale};
}

Float2 ribbonVertex(const std::vector<CubicInterval>& list, std::uint32_t vertex,
                    const RibbonParams& p) noexcept {
    const std::uint32_t point = vertex / 2;
    const float side = vertex % 2 == 0 ? -1.0f : 1.0f;
    const std::uint32_t spi = std::max<std::uint32_t>(p.samplesPerInterval, 1);
    const std::uint32_t count = std::max<std::uint32_t>(p.intervalCount, 1);
    const std::uint32_t index = p.firstInterval + std::min(point / spi, count - 1);
    const CubicInterval& interval = list[std::min<std::size_t>(index, list.size() - 1)];
    const float u = std::clamp(
        static_cast<float>(point % spi) / static_cast<float>(std::max<std::uint32_t>(1, spi - 1)),
        0.0f, 1.0f);
    const Float2 centre = toClip(ribbonCentre(interval, u, p));
    const Float2 before = toClip(ribbonCentre(interval, std::max(u - 1.0f / 32.0f, 0.0f), p));
    const Float2 after = toClip(ribbonCentre(interval, std::min(u + 1.0f / 32.0f, 1.0f), p));
    const Float2 n = penNormal(before, after, p.viewportWidth, p.viewportHeight);
    const float ox = side * p.halfThicknessPixels * n.x;
    const float oy = side * p.halfThicknessPixels * n.y;
    return {centre.x + ox * 2.0f / p.viewportWidth, centre.y - oy * 2.0f / p.viewportHeight};
}

ChannelLane channelLane(int channel, bool split) noexcept {
    if (split) {
        return {0.5f, 0.36f};
    }
    return channel == 0 ? ChannelLane{0.33f, 0.205f} : ChannelLane{0.67f, 0.205f};
}

float halfToFloat(std::uint16_t half) noexcept {
    const std::uint32_t sign = (half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1Fu;
    std::uint32_t mantissa = half & 0x3FFu;
    std::uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (mantissa << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        int e = 113;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            --e;
        }
        bits = sign | (static_cast<std::uint32_t>(e) << 23) | ((mantissa & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::uint16_t floatToHalf(float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude >= 0x7F800000u) {
        return static_cast<std::uint16_t>(sign | 0x7C00u | (magnitude > 0x7F800000u ? 0x200u : 0u));
    }
    if (magnitude >= 0x477FF000u) {  // rounds beyond the largest half
        return static_cast<std::uint16_t>(sign | 0x7C00u);
    }
    if (magnitude < 0x38800000u) {                            // subnormal half
        const float scaled = std::fabs(value) * 16777216.0f;  // 2^24
        return static_cast<std::uint16_t>(sign |
                                          static_cast<std::uint16_t>(std::nearbyint(scaled)));
    }
    const std::uint32_t rounded = magnitude + 0xFFFu + ((magnitude >> 13) & 1u);
    return static_cast<std::uint16_t>(sign | ((rounded - 0x38000000u) >> 13));
}

HalfToSrgbTable::HalfToSrgbTable() : table_(65536) {
    for (std::uint32_t h = 0; h < 65536; ++h) {
        table_[h] = linearToSrgb(halfToFloat(static_cast<std::uint16_t>(h))) * 255.0f;
    }
}

float ditherOffset(std::uint32_t x, std::uint32_t y) noexcept {
    const std::uint32_t e = (y * 0x85EBCA6Bu) ^ (x * 0x9E3779B9u);
    return static_cast<float>(((e >> 16) ^ e) & 0xFFu) / 255.0f - 0.5f;
}

std::uint8_t quantiseChannel(float tableValue, float dither) noexcept {
    const float v = std::clamp(tableValue + dither, 0.0f, 255.0f);
    return static_cast<std::uint8_t>(v + 0.5f);
}

void convertHalfRowsToBgra(const HalfToSrgbTable& table, const std::uint8_t* source,
                           std::size_t sourceStride, int width, int height, std::uint8_t* target,
                           std::size_t targetStride) noexcept {
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = source + static_cast<std::size_t>(y) * sourceStride;
        std::uint8_t* out = target + static_cast<std::size_t>(y) * targetStride;
        for (int x = 0; x < width; ++x) {
            std::uint16_t rgba[4];
            std::memcpy(rgba, in + static_cast<std::size_t>(x) * 8, sizeof rgba);
            const float d =
                ditherOffset(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            out[x * 4 + 0] = quantiseChannel(table[rgba[2]], d);
            out[x * 4 + 1] = quantiseChannel(table[rgba[1]], d);
            out[x * 4 + 2] = quantiseChannel(table[rgba[0]], d);
            out[x * 4 + 3] = 255;
        }
    }
}

float seaWidthLimit(float width, float height) noexcept {
    return std::min(width / std::max(height, 1.0f) * 0.83f, 1.46f);
}

SeaLayer seaLayer(int n, float snapshotTime, float widthLimit) noexcept {
    const float step = static_cast<float>(n) / static_cast<float>(kSeaDepthSteps - 1);
    const float h = std::pow(step, 1.18f);
    SeaLayer layer{};
    layer.depth = h;
    layer.widthScale = lerp(widthLimit, 0.055f, h);
    layer.heightScale = std::max(0.285f - 0.271f * h, 0.014f);
    layer.opacity = std::max(0.4f - 0.378f * h, 0.022f);
    layer.tint = {std::min(0.1f + 0.16f * h, 0.26f), std::max(0.68f - 0.3f * h, 0.38f), 1.0f, 1.0f};
    layer.sway = std::sin(step * 7.2f + snapshotTime * 0.16f) * 0.035f * (1.0f - h);
    layer.upperCentre = lerp(0.0f, 0.8f, h);
    layer.lowerCentre = lerp(-0.62f, 0.0f, h);
    return layer;
}

Premultiplied over(const Premultiplied& source, const Premultiplied& destination) noexcept {
    const float keep = 1.0f - source.a;
    return {source.r + destination.r * keep, source.g + destination.g * keep,
            source.b + destination.b * keep, source.a + destination.a * keep};
}

Premultiplied seaPass(const Rgb& texel, const std::array<float, 4>& tint, float opacity,
                      float threshold) noexcept {
    const float brightness = std::max({texel.r, texel.g, texel.b});
    const float alpha = smoothstep(threshold, threshold + kSeaMaskWidth, brightness) * opacity;
    const float r = std::max(texel.r - 0.004f, 0.0f) * 2.2f * tint[0];
    const float g = std::max(texel.g - 0.012f, 0.0f) * 2.2f * tint[1];
    const float b = std::max(texel.b - 0.038f, 0.0f) * 2.2f * tint[2];
    return {r * alpha, g * alpha, b * alpha, alpha};
}

Premultiplied seaLayerComposite(const Rgb& texel, const std::array<float, 4>& tint,
                                float opacity) noexcept {
    const Premultiplied soft = seaPass(texel, tint, opacity * kSeaSoftOpacity, kSeaSoftThreshold);
    const Premultiplied sharp = seaPass(texel, tint, opacity, kSeaSharpThreshold);
    return over(sharp, soft);
}

double corridorShift(const CorridorSnapshot& s, double stageTime) noexcept {
    if (!(s.windowLength > 0.0)) {
        return 0.0;
    }
    const double last = std::min(s.lastRight0, s.lastRight1);
    const double limit = std::max(s.reachesEnd ? last : last - 1.0, 0.0);
    const double shift = (stageTime - s.time) / s.windowLength;
    if (!std::isfinite(shift) || !std::isfinite(limit)) {
        return 0.0;
    }
    return std::clamp(shift, 0.0, limit);
}

float smoothstep(float edge0, float edge1, float x) noexcept {
    const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

CorridorPoint corridorPoint(const CubicInterval& interval, float u,
                            const CorridorParams& p) noexcept {
    const float x = lerp(interval.xLeft, interval.xRight, u) - p.shift;
    const float visible = x >= 0.0f && x <= 1.0f ? 1.0f : 0.0f;
    const float cx = std::clamp(x, 0.0f, 1.0f);
    const float q = std::pow(cx, std::max(0.25f, p.depthExponent));
    const float value = std::clamp(evaluateInterval(interval, u), -1.25f, 1.25f);
    CorridorPoint point{};
    point.depth = q;
    point.position.x = lerp(p.side * 1.045f, p.side * 0.012f, q);
    point.position.y =
        lerp(p.nearBaseline, 0.0f, q) + value * p.amplitudeScale * lerp(1.0f, 0.045f, q);
    point.halfThickness =
        std::max(p.halfThicknessPixels * lerp(1.0f, 0.18f, q), p.minimumHalfThicknessPixels);
    point.alpha =
        p.opacity * visible * smoothstep(0.0f, 0.018f, cx) * smoothstep(0.0f, 0.018f, 1.0f - cx);
    return point;
}

float corridorRungDepth(int j, double time) noexcept {
    const double scaled = time * 1.35;
    const double phi = scaled - std::floor(scaled);
    const double r = (static_cast<double>(j) - phi) / 24.0;
    if (r < 0.0 || r > 1.0) {
        return -1.0f;
    }
    return static_cast<float>(std::pow(r, 0.78));
}

}  // namespace al::ui
