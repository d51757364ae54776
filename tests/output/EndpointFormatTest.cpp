#include "output/EndpointFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "output/AudioEndpoints.h"
#include "output/WasapiError.h"

namespace al::audio {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Written out by hand from the structure layouts.
const Bytes kPlainPcm16Stereo44100 = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10,
                                      0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
const Bytes kPlainFloatMono8000 = {0x03, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x00,
                                   0x7D, 0x00, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00, 0x00};
const Bytes kExtensibleFloat6ch48000 = {
    0xFE, 0xFF, 0x06, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x94, 0x11, 0x00, 0x18, 0x00,
    0x20, 0x00, 0x16, 0x00, 0x20, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const Bytes kExtensiblePacked24Mono96000 = {
    0xFE, 0xFF, 0x01, 0x00, 0x00, 0x77, 0x01, 0x00, 0x00, 0x65, 0x04, 0x00, 0x03, 0x00,
    0x18, 0x00, 0x16, 0x00, 0x18, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

TEST(WaveFormatBytes, PlainAndExtensibleStructuresMatchTheirKnownBytes) {
    EXPECT_EQ(MakePlainWaveFormat(1, 2, 44100, 16), kPlainPcm16Stereo44100);
    EXPECT_EQ(MakePlainWaveFormat(3, 1, 8000, 32), kPlainFloatMono8000);
    EXPECT_EQ(MakeExtensibleWaveFormat(true, 6, 48000, 32, 32, 0x3F), kExtensibleFloat6ch48000);
    EXPECT_EQ(MakeExtensibleWaveFormat(false, 1, 96000, 24, 24, 0x4), kExtensiblePacked24Mono96000);
}

TEST(WaveFormatBytes, ChannelMasksFollowTheSpeakerTable) {
    const std::uint32_t expected[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F, 0};
    for (std::uint32_t channels = 0; channels <= 9; ++channels) {
        EXPECT_EQ(ChannelMask(channels), expected[channels]) << channels;
    }
}

TEST(WaveFormatBytes, BlockAlignIsReadFromTheStructure) {
    EndpointFormat format;
    format.waveFormat = kExtensibleFloat6ch48000;
    EXPECT_EQ(format.BlockAlign(), 24);
    format.waveFormat = MakeExtensibleWaveFormat(false, 8, 192000, 24, 24, 0x63F);
    EXPECT_EQ(format.BlockAlign(), 24);
    format.waveFormat.resize(13);
    EXPECT_EQ(format.BlockAlign(), 0);
}

TEST(ExactFormatCandidates, StereoTriesAllEightInOrderWithPlainVariants) {
    const auto candidates = ExactFormatCandidates(44100, 2);
    ASSERT_EQ(candidates.size(), 8u);
    struct Expected {
        std::size_t size;
        std::uint16_t container;
        std::uint16_t valid;
        SampleKind kind;
    };
    const Expected expected[] = {
        {18, 32, 32, SampleKind::Float32},   {40, 32, 32, SampleKind::Float32},
        {18, 32, 32, SampleKind::Pcm32},     {40, 32, 32, SampleKind::Pcm32},
        {40, 32, 24, SampleKind::Pcm24In32}, {40, 24, 24, SampleKind::Pcm24Packed},
        {18, 16, 16, SampleKind::Pcm16},     {40, 16, 16, SampleKind::Pcm16},
    };
    for (std::size_t i = 0; i < 8; ++i) {
        const EndpointFormat& format = candidates[i];
        EXPECT_EQ(format.waveFormat.size(), expected[i].size) << i;
        EXPECT_EQ(format.containerBits, expected[i].container) << i;
        EXPECT_EQ(format.validBits, expected[i].valid) << i;
        EXPECT_EQ(format.kind, expected[i].kind) << i;
        EXPECT_FALSE(format.sharedFallback);
        EXPECT_EQ(format.sampleRate, 44100u);
        EXPECT_EQ(format.channels, 2);
    }
    EXPECT_EQ(candidates[6].waveFormat, kPlainPcm16Stereo44100);
    EXPECT_EQ(candidates[0].waveFormat[0], 3);  // IEEE float tag
    EXPECT_EQ(candidates[2].waveFormat[0], 1);  // PCM tag
}

TEST(ExactFormatCandidates, SixChannelsAreExtensibleOnlyWithTheSurroundMask) {
    const auto candidates = ExactFormatCandidates(48000, 6);
    ASSERT_EQ(candidates.size(), 5u);
    for (const EndpointFormat& format : candidates) {
        ASSERT_EQ(format.waveFormat.size(), 40u);
        EXPECT_EQ(format.waveFormat[20], 0x3F);
        EXPECT_EQ(format.waveFormat[21], 0x00);
    }
    EXPECT_EQ(candidates[0].waveFormat, kExtensibleFloat6ch48000);
}

TEST(ExactFormatCandidates, TheTwentyThreeRatesRunFromEightKilohertzToTwelveMegahertz) {
    EXPECT_EQ(kProbedSampleRates.front(), 8000u);
    EXPECT_EQ(kProbedSampleRates[5], 44100u);
    EXPECT_EQ(kProbedSampleRates.back(), 12288000u);
    for (std::size_t i = 1; i < kProbedSampleRates.size(); ++i) {
        EXPECT_LT(kProbedSampleRates[i - 1], kProbedSampleRates[i]);
    }
}

EndpointFormat format(std::uint32_t rate, std::uint16_t container, std::uint16_t valid, SampleKind kind) {
    EndpointFormat f;
    f.sampleRate = rate;
    f.channels = 2;
    f.containerBits = container;
    f.validBits = valid;
    f.kind = kind;
    return f;
}

TEST(SortExactFormats, RateThenValidThenContainerThenKindRank) {
    std::vector<EndpointFormat> formats = {
        format(48000, 32, 32, SampleKind::Float32), format(44100, 32, 32, SampleKind::Float32),
        format(44100, 32, 32, SampleKind::Pcm32),   format(44100, 32, 24, SampleKind::Pcm24In32),
        format(44100, 24, 24, SampleKind::Pcm24Packed), format(44100, 16, 16, SampleKind::Pcm16),
    };
    SortExactFormats(formats);
    const SampleKind order[] = {SampleKind::Pcm16,  SampleKind::Pcm24Packed, SampleKind::Pcm24In32,
                                SampleKind::Pcm32,  SampleKind::Float32,     SampleKind::Float32};
    for (std::size_t i = 0; i < formats.size(); ++i) {
        EXPECT_EQ(formats[i].kind, order[i]) << i;
    }
    EXPECT_EQ(formats.back().sampleRate, 48000u);
}

TEST(FormatLabels, RateAndKindNamesAndModes) {
    EndpointFormat f = format(96000, 32, 24, SampleKind::Pcm24In32);
    EXPECT_EQ(FormatLabel(f), u"96000 Hz / 24-bit Integer in 32-bit Container");
    EXPECT_EQ(FormatLabel(format(44100, 16, 16, SampleKind::Pcm16)), u"44100 Hz / 16-bit Integer");
    EXPECT_EQ(FormatLabel(format(12288000, 32, 32, SampleKind::Float32)), u"12288000 Hz / 32-bit Float");
    EXPECT_EQ(SampleKindLabel(SampleKind::Pcm32), u"32-bit Integer");
    EXPECT_EQ(SampleKindLabel(SampleKind::Pcm24Packed), u"24-bit Packed Integer");
    EXPECT_EQ(ModeLabel(f), u"WASAPI Exclusive");
    f.sharedFallback = true;
    EXPECT_EQ(ModeLabel(f), u"WASAPI Shared fallback");
}

TEST(FormatLabels, SameFormatComparesTheSixFieldsNotTheBytes) {
    EndpointFormat a = format(44100, 16, 16, SampleKind::Pcm16);
    EndpointFormat b = a;
    a.waveFormat = kPlainPcm16Stereo44100;
    b.waveFormat = MakeExtensibleWaveFormat(false, 2, 44100, 16, 16, 0x3);
    EXPECT_TRUE(SameFormat(a, b));
    b.sharedFallback = true;
    EXPECT_FALSE(SameFormat(a, b));
}

TEST(HresultText, UpperOrLowerHexWithoutLeadingZeros) {
    EXPECT_EQ(HresultFailureText("Open render endpoint", static_cast<std::int32_t>(0x8889000Au), HexDigits::Upper),
              "Open render endpoint failed (HRESULT 0x8889000A)");
    EXPECT_EQ(HresultFailureText("Set hardware volume", static_cast<std::int32_t>(0x8889000Au), HexDigits::Lower),
              "Set hardware volume failed (HRESULT 0x8889000a)");
    EXPECT_EQ(HresultFailureText("Step", 1, HexDigits::Upper), "Step failed (HRESULT 0x1)");
    try {
        CheckWasapi(static_cast<std::int32_t>(0x80070490u), "Get endpoint ID");
        FAIL() << "no throw";
    } catch (const WasapiError& error) {
        EXPECT_STREQ(error.what(), "Get endpoint ID failed (HRESULT 0x80070490)");
        EXPECT_EQ(static_cast<std::uint32_t>(error.hresult()), 0x80070490u);
    }
    EXPECT_NO_THROW(CheckWasapi(1, "A success code"));
}

}  // namespace
}  // namespace al::audio
