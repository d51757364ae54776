#pragma once
// One exact endpoint format: rate, channels, container and valid bits, sample
// layout, and the very structure handed to the endpoint.

#include <cstdint>
#include <string>
#include <vector>

namespace al::audio {

// The five sample layouts the output writes; values are stored in the
// formats cache.
enum class SampleKind : std::uint8_t {
    Float32 = 0,
    Pcm32 = 1,
    Pcm24In32 = 2,
    Pcm24Packed = 3,
    Pcm16 = 4,
};

constexpr std::uint32_t BytesPerSample(SampleKind kind) noexcept {
    switch (kind) {
        case SampleKind::Pcm24Packed:
            return 3;
        case SampleKind::Pcm16:
            return 2;
        case SampleKind::Float32:
        case SampleKind::Pcm32:
        case SampleKind::Pcm24In32:
            break;
    }
    return 4;
}

// Order of preference among formats otherwise equal: plainer first, float last.
constexpr int KindPreferenceRank(SampleKind kind) noexcept {
    switch (kind) {
        case SampleKind::Pcm16:
            return 0;
        case SampleKind::Pcm24Packed:
            return 1;
        case SampleKind::Pcm24In32:
            return 2;
        case SampleKind::Pcm32:
            return 3;
        case SampleKind::Float32:
            break;
    }
    return 4;
}

// "32-bit Float", "32-bit Integer", "24-bit Integer in 32-bit Container",
// "24-bit Packed Integer", "16-bit Integer".
std::u16string SampleKindLabel(SampleKind kind);

// A plain value. waveFormat holds the 18-byte WAVEFORMATEX or 40-byte
// WAVEFORMATEXTENSIBLE bytes exactly as the endpoint is given them.
struct EndpointFormat {
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0;
    std::uint16_t containerBits = 0;
    std::uint16_t validBits = 0;
    SampleKind kind = SampleKind::Float32;
    bool sharedFallback = false;
    std::vector<std::uint8_t> waveFormat;

    // Bytes per frame as the structure states it (bytes 12..13); 0 when the
    // structure is too short to say.
    std::uint16_t BlockAlign() const noexcept;
};

// Two records describe the same format when their six scalar fields agree;
// the structure bytes are not compared.
bool SameFormat(const EndpointFormat& a, const EndpointFormat& b) noexcept;

// "<rate> Hz / <kind label>", e.g. "96000 Hz / 24-bit Integer in 32-bit Container".
std::u16string FormatLabel(const EndpointFormat& format);
// "WASAPI Shared fallback" or "WASAPI Exclusive".
std::u16string ModeLabel(const EndpointFormat& format);

// Speaker mask for 1..8 channels (0 otherwise): 0x4, 0x3, 0x7, 0x33, 0x37,
// 0x3F, 0x13F, 0x63F.
std::uint32_t ChannelMask(std::uint32_t channels) noexcept;

// WAVEFORMATEX with the given tag (1 PCM, 3 IEEE float), extension size 0.
std::vector<std::uint8_t> MakePlainWaveFormat(std::uint16_t formatTag, std::uint16_t channels,
                                              std::uint32_t sampleRate, std::uint16_t containerBits);
// WAVEFORMATEXTENSIBLE with the PCM or IEEE-float sub-format.
std::vector<std::uint8_t> MakeExtensibleWaveFormat(bool isFloat, std::uint16_t channels, std::uint32_t sampleRate,
                                                   std::uint16_t containerBits, std::uint16_t validBits,
                                                   std::uint32_t channelMask);

}  // namespace al::audio
