#include "visual/GeometryMaths.h"

#include "visual/GeometryShaders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace al::ui {
namespace {

TEST(GeometryPalette, IndexesOutsideTheEightSelectTheFirst) {
    EXPECT_EQ(normalisePaletteIndex(7), 7);
    EXPECT_EQ(normalisePaletteIndex(8), 0);
    EXPECT_EQ(normalisePaletteIndex(9), 0);
    EXPECT_EQ(normalisePaletteIndex(-1), 0);
    EXPECT_FLOAT_EQ(paletteColour(3, 1).g, 0.38f);
    EXPECT_FLOAT_EQ(paletteColour(99, 0).r, 1.0f);  // clamped to 7
    EXPECT_FLOAT_EQ(paletteColour(99, 0).g, 0.19f);
}

TEST(GeometryColour, SrgbConversionsRoundTripAndClamp) {
    for (float c = 0.0f; c <= 1.0f; c += 0.01f) {
        EXPECT_NEAR(linearToSrgb(srgbToLinear(c)), c, 1e-5f);
    }
    EXPECT_FLOAT_EQ(srgbToLinear(0.04045f), 0.04045f / 12.92f);
    EXPECT_EQ(linearToSrgb(NAN), 0.0f);
    EXPECT_EQ(linearToSrgb(INFINITY), 0.0f);
    EXPECT_EQ(linearToSrgb(2.0f), linearToSrgb(1.0f));
    EXPECT_EQ(linearToSrgb(-1.0f), 0.0f);
}

TEST(GeometryReadBack, HalfFloatsRoundTripForEveryFinitePattern) {
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const auto half = static_cast<std::uint16_t>(h);
        const float f = halfToFloat(half);
        if (std::isnan(f)) {
            EXPECT_TRUE(std::isnan(halfToFloat(floatToHalf(f))));
            continue;
        }
        EXPECT_EQ(floatToHalf(f), half) << h;
    }
    EXPECT_EQ(halfToFloat(0x3C00), 1.0f);
    EXPECT_EQ(halfToFloat(0xC000), -2.0f);
    EXPECT_EQ(floatToHalf(1e6f), 0x7C00);  // beyond the range: infinity
}

TEST(GeometryReadBack, TableDitherAndQuantisationGiveStableBytes) {
    HalfToSrgbTable table;
    EXPECT_FLOAT_EQ(table[floatToHalf(1.0f)], 255.0f);
    EXPECT_FLOAT_EQ(table[floatToHalf(0.0f)], 0.0f);
    EXPECT_FLOAT_EQ(table[0x7C00], 0.0f);  // infinity
    EXPECT_FLOAT_EQ(table[0x7E00], 0.0f);  // NaN
    EXPECT_FLOAT_EQ(table[floatToHalf(3.0f)], 255.0f);
    // The dither depends only on the position and stays within half a step.
    for (std::uint32_t y = 0; y < 40; ++y) {
        for (std::uint32_t x = 0; x < 40; ++x) {
            const float d = ditherOffset(x, y);
            EXPECT_GE(d, -0.5f);
            EXPECT_LE(d, 0.5f);
            EXPECT_EQ(d, ditherOffset(x, y));
        }
    }
    EXPECT_EQ(ditherOffset(0, 0), -0.5f);
    EXPECT_EQ(quantiseChannel(254.9f, 0.5f), 255);
    EXPECT_EQ(quantiseChannel(0.2f, -0.5f), 0);
    EXPECT_EQ(quantiseChannel(10.0f, 0.49f), 10);
    EXPECT_EQ(quantiseChannel(10.0f, 0.5f), 11);

    // Two pixels of R16G16B16A16: red 1, blue 0 -> B 0, G ~, R 255.
    std::uint16_t pixels[8] = {floatToHalf(1.0f), floatToHalf(0.2f), floatToHalf(0.0f),
                               floatToHalf(1.0f), floatToHalf(0.0f), floatToHalf(0.0f),
                               floatToHalf(1.0f), floatToHalf(1.0f)};
    std::uint8_t a[8] = {}, b[8] = {};
    convertHalfRowsToBgra(table, reinterpret_cast<const std::uint8_t*>(pixels), 16, 2, 1, a, 8);
    convertHalfRowsToBgra(table, reinterpret_cast<const std::uint8_t*>(pixels), 16, 2, 1, b, 8);
    EXPECT_EQ(std::memcmp(a, b, 8), 0);
    EXPECT_EQ(a[0], 0);
    EXPECT_GE(a[2], 254);  // 1.0 encodes a hair under 255, and the first pixel dithers down
    EXPECT_EQ(a[3], 255);
    EXPECT_EQ(a[4], 255);  // second pixel is blue
    EXPECT_EQ(a[6], 0);
    EXPECT_NEAR(a[1], linearToSrgb(halfToFloat(floatToHalf(0.2f))) * 255.0f, 1.0f);
}

TEST(GeometryRibbon, FlatPieceIsWidenedVerticallySteepOneSideways) {
    RibbonParams p;
    p.baseline = 0.5f;
    p.amplitudeScale = 0.25f;
    p.halfThicknessPixels = 2.0f;
    p.intervalCount = 1;
    p.viewportWidth = 200.0f;
    p.viewportHeight = 100.0f;
    const std::vector<CubicInterval> flat{{0.25f, 0.75f, 0.4f, 0, 0, 0}};
    // Centre y = 0.5 - 0.4 * 0.25 = 0.4 -> clip 0.2; 2 px is 0.04 in clip units.
    const Float2 v0 = ribbonVertex(flat, 0, p);
    const Float2 v1 = ribbonVertex(flat, 1, p);
    const Float2 v3 = ribbonVertex(flat, 3, p);
    EXPECT_NEAR(v0.x, -0.5f, 1e-6f);
    EXPECT_NEAR(v3.x, 0.5f, 1e-6f);
    EXPECT_NEAR(std::fabs(v0.y - v1.y), 0.08f, 1e-5f);
    EXPECT_NEAR((v0.y + v1.y) / 2.0f, 0.2f, 1e-6f);

    // A vertical rise from -1 to 1 within 1/10000 of the window keeps the full
    // pen width: the offset is sideways, 2 px each side.
    const std::vector<CubicInterval> steep{{0.5f, 0.5001f, -1.0f, 2.0f, 0, 0}};
    const Float2 s0 = ribbonVertex(steep, 0, p);
    const Float2 s1 = ribbonVertex(steep, 1, p);
    EXPECT_NEAR(std::fabs(s0.x - s1.x) * p.viewportWidth / 2.0f, 4.0f, 0.01f);

    // Values are clamped to +-1.25.
    const std::vector<CubicInterval> loud{{0.0f, 1.0f, 9.0f, 0, 0, 0}};
    EXPECT_NEAR(ribbonCentre(loud[0], 0.5f, p).y, 0.5f - 1.25f * 0.25f, 1e-6f);
}

TEST(GeometryRibbon, VerticesWalkIntervalsAndClampToTheRange) {
    RibbonParams p;
    p.intervalCount = 2;
    p.firstInterval = 1;
    p.halfThicknessPixels = 0.0f;
    p.viewportWidth = p.viewportHeight = 100.0f;
    const std::vector<CubicInterval> list{
        {0, 0.1f, 0, 0, 0, 0}, {0.2f, 0.4f, 0, 0, 0, 0}, {0.6f, 0.8f, 0, 0, 0, 0}};
    EXPECT_NEAR(ribbonVertex(list, 0, p).x, -0.6f, 1e-6f);  // interval 1, u = 0
    EXPECT_NEAR(ribbonVertex(list, 2, p).x, -0.2f, 1e-6f);  // interval 1, u = 1
    EXPECT_NEAR(ribbonVertex(list, 4, p).x, 0.2f, 1e-6f);   // interval 2
    EXPECT_NEAR(ribbonVertex(list, 43, p).x, 0.6f, 1e-6f);  // beyond the count: the last one, u = 1
}

TEST(GeometryLanes, SplitSharesOneBaseline) {
    EXPECT_FLOAT_EQ(channelLane(0, false).baseline, 0.33f);
    EXPECT_FLOAT_EQ(channelLane(1, false).baseline, 0.67f);
    EXPECT_FLOAT_EQ(channelLane(1, true).baseline, 0.5f);
    EXPECT_FLOAT_EQ(channelLane(0, true).amplitudeScale, 0.36f);
}

TEST(WaveMotionSea, LayersRecedeAndNarrowWindowsLimitTheWidth) {
    EXPECT_FLOAT_EQ(seaWidthLimit(1920, 1080), 1.46f);
    EXPECT_NEAR(seaWidthLimit(600, 1000), 0.6f * 0.83f, 1e-6f);
    const SeaLayer front = seaLayer(0, 0.0f, 1.46f);
    EXPECT_FLOAT_EQ(front.depth, 0.0f);
    EXPECT_FLOAT_EQ(front.widthScale, 1.46f);
    EXPECT_FLOAT_EQ(front.heightScale, 0.285f);
    EXPECT_FLOAT_EQ(front.opacity, 0.4f);
    EXPECT_FLOAT_EQ(front.upperCentre, 0.0f);
    EXPECT_FLOAT_EQ(front.lowerCentre, -0.62f);
    EXPECT_FLOAT_EQ(front.sway, 0.0f);
    const SeaLayer back = seaLayer(29, 10.0f, 1.46f);
    EXPECT_FLOAT_EQ(back.depth, 1.0f);
    EXPECT_NEAR(back.widthScale, 0.055f, 1e-6f);
    EXPECT_FLOAT_EQ(back.heightScale, 0.014f);
    EXPECT_NEAR(back.opacity, 0.022f, 1e-6f);
    EXPECT_FLOAT_EQ(back.tint[0], 0.26f);
    EXPECT_FLOAT_EQ(back.tint[1], 0.38f);
    EXPECT_FLOAT_EQ(back.sway, 0.0f);
    const SeaLayer mid = seaLayer(10, 3.0f, 1.0f);
    EXPECT_NEAR(mid.sway, std::sin(10.0f / 29.0f * 7.2f + 0.48f) * 0.035f * (1.0f - mid.depth),
                1e-6f);
}

TEST(WaveMotionSea, OneDrawCompositeEqualsTheSoftThenSharpPasses) {
    const std::array<float, 4> tint = seaLayer(7, 1.0f, 1.46f).tint;
    const Premultiplied destinations[] = {
        {0, 0, 0, 1}, {0.2f, 0.3f, 0.5f, 1}, {0.1f, 0, 0.4f, 0.6f}};
    for (const float opacity : {0.4f, 0.17f, 0.022f}) {
        for (const float level : {0.0f, 0.03f, 0.05f, 0.07f, 0.12f, 0.25f, 0.6f, 1.0f}) {
            const Rgb texel{level * 0.3f, level * 0.8f, level};
            const Premultiplied one = seaLayerComposite(texel, tint, opacity);
            for (const Premultiplied& d : destinations) {
                const Premultiplied two = over(
                    seaPass(texel, tint, opacity, kSeaSharpThreshold),
                    over(seaPass(texel, tint, opacity * kSeaSoftOpacity, kSeaSoftThreshold), d));
                const Premultiplied blended = over(one, d);
                EXPECT_NEAR(blended.r, two.r, 1e-6f) << level;
                EXPECT_NEAR(blended.g, two.g, 1e-6f) << level;
                EXPECT_NEAR(blended.b, two.b, 1e-6f) << level;
                EXPECT_NEAR(blended.a, two.a, 1e-6f) << level;
            }
            // Below the soft threshold nothing shows; above the sharp band's
            // end both passes are fully on.
            if (level <= kSeaSoftThreshold) {
                EXPECT_EQ(one.a, 0.0f) << level;
            }
            if (level >= kSeaSharpThreshold + kSeaMaskWidth) {
                const float soft = opacity * kSeaSoftOpacity;
                EXPECT_NEAR(one.a, opacity + soft * (1.0f - opacity), 1e-6f) << level;
            }
        }
    }
    // The background of a picture (its clear colour, just above the soft
    // threshold) only tints the sea faintly, and only through the soft pass.
    const Rgb background{linearToSrgb(kViewClearColour[0]), linearToSrgb(kViewClearColour[1]),
                         linearToSrgb(kViewClearColour[2])};
    const Premultiplied faint = seaLayerComposite(background, tint, 0.4f);
    EXPECT_GT(faint.a, 0.0f);
    EXPECT_LT(faint.a, 0.01f);
    EXPECT_EQ(seaPass(background, tint, 0.4f, kSeaSharpThreshold).a, 0.0f);
    // A bright texel is lifted, doubled and tinted.
    const Premultiplied white = seaPass({1, 1, 1}, tint, 1.0f, kSeaSharpThreshold);
    EXPECT_NEAR(white.r, (1.0f - 0.004f) * 2.2f * tint[0], 1e-5f);
    EXPECT_NEAR(white.b, (1.0f - 0.038f) * 2.2f * tint[2], 1e-5f);
}

TEST(SurrogateCorridor, ShiftStopsAtTheLastPieceUnlessTheTrackEnds) {
    CorridorSnapshot s{10.0, 0.1, false, 1.5f, 1.4f};
    EXPECT_DOUBLE_EQ(corridorShift(s, 10.0), 0.0);
    EXPECT_NEAR(corridorShift(s, 10.02), 0.2, 1e-9);
    EXPECT_NEAR(corridorShift(s, 11.0), 0.4, 1e-6);  // min(1.5, 1.4) - 1
    EXPECT_DOUBLE_EQ(corridorShift(s, 9.0), 0.0);
    s.reachesEnd = true;
    EXPECT_NEAR(corridorShift(s, 11.0), 1.4, 1e-6);  // until the last piece reaches the viewer
    s.windowLength = 0.0;
    EXPECT_DOUBLE_EQ(corridorShift(s, 11.0), 0.0);
    s.windowLength = 0.1;
    EXPECT_DOUBLE_EQ(corridorShift(s, NAN), 0.0);
}

TEST(SurrogateCorridor, NowAtTheViewerFutureAtTheHorizon) {
    CorridorParams p;
    p.side = 1.0f;
    const CubicInterval piece{0.0f, 1.0f, 0.5f, 0, 0, 0};
    const CorridorPoint nearPoint = corridorPoint(piece, 0.0f, p);
    EXPECT_FLOAT_EQ(nearPoint.position.x, 1.045f);
    EXPECT_FLOAT_EQ(nearPoint.position.y, 0.5f * 0.72f);
    EXPECT_FLOAT_EQ(nearPoint.halfThickness, 1.9f);
    EXPECT_FLOAT_EQ(nearPoint.alpha, 0.0f);  // edge fade at x' = 0
    const CorridorPoint farPoint = corridorPoint(piece, 1.0f, p);
    EXPECT_NEAR(farPoint.position.x, 0.012f, 1e-6f);
    EXPECT_NEAR(farPoint.position.y, 0.5f * 0.72f * 0.045f, 1e-7f);
    EXPECT_FLOAT_EQ(farPoint.halfThickness, 0.95f);  // the minimum wins at the horizon
    const CorridorPoint middle = corridorPoint(piece, 0.5f, p);
    EXPECT_FLOAT_EQ(middle.alpha, 0.98f);
    EXPECT_NEAR(middle.depth, std::pow(0.5f, 0.78f), 1e-6f);
    p.shift = 0.75f;  // the middle has passed the viewer
    EXPECT_FLOAT_EQ(corridorPoint(piece, 0.5f, p).alpha, 0.0f);
}

TEST(SurrogateCorridor, RungsTravelTowardsTheViewer) {
    EXPECT_FLOAT_EQ(corridorRungDepth(0, 0.0), 0.0f);
    EXPECT_LT(corridorRungDepth(0, 0.5), 0.0f);  // phi 0.675: rung 0 is behind the viewer
    EXPECT_NEAR(corridorRungDepth(24, 0.0), 1.0f, 1e-6f);
    EXPECT_LT(corridorRungDepth(25, 0.0), 0.0f);
    EXPECT_LT(corridorRungDepth(5, 0.3), corridorRungDepth(5, 0.0));
}

}  // namespace
}  // namespace al::ui

namespace al::ui {
namespace {

TEST(GeometryShaderText, PortableSubsetWithEveryEntryPoint) {
    for (const char* source : {hardwareGeometryShaderSource(), stageShaderSource()}) {
        const std::string text(source);
        EXPECT_EQ(text.find('?'),
                  std::string::npos);  // Wine's compiler refuses the conditional operator
        EXPECT_EQ(text.find("StructuredBuffer"), std::string::npos);
        EXPECT_EQ(text.find(" half "), std::string::npos);  // a reserved type name
    }
    const std::string hardware(hardwareGeometryShaderSource());
    for (const char* entry : {"VSMain(", "PSMain(", "cbuffer DrawConstants"}) {
        EXPECT_NE(hardware.find(entry), std::string::npos) << entry;
    }
    const std::string stage(stageShaderSource());
    for (const char* entry : {"SeaVS(", "SeaPS(", "WallVS(", "DotVS(", "WallPS(", "DotPS(",
                              "LatticeVS(", "LatticePS(", "OverlayVS(", "OverlayPS("}) {
        EXPECT_NE(stage.find(entry), std::string::npos) << entry;
    }
}

}  // namespace
}  // namespace al::ui
