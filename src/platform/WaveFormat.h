#pragma once
// The exact format handed to an audio endpoint: the bytes of a WAVEFORMATEX
// (18 bytes) or WAVEFORMATEXTENSIBLE (40 bytes) structure, little-endian, as
// the platform's audio API takes them. Callers build the bytes; endpoints that
// are not WASAPI read them back with parseWaveFormat and answer for exactly
// what they describe.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace al::platform {

inline constexpr std::uint16_t kWaveTagPcm = 1;
inline constexpr std::uint16_t kWaveTagFloat = 3;
inline constexpr std::uint16_t kWaveTagExtensible = 0xFFFE;
inline constexpr std::size_t kWaveFormatPlainSize = 18;
inline constexpr std::size_t kWaveFormatExtensibleSize = 40;
inline constexpr std::uint16_t kWaveExtensionSize = 22;

using WaveSubFormat = std::array<std::uint8_t, 16>;

// {00000001-0000-0010-8000-00AA00389B71} and {00000003-...}, in memory order.
inline constexpr WaveSubFormat kSubFormatPcm = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
inline constexpr WaveSubFormat kSubFormatFloat = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

enum class WaveSampleType { Pcm, Float, Other };

// The fields of one structure. For a plain structure validBits equals
// bitsPerSample, channelMask is 0 and subFormat is empty.
struct WaveFormatFields {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t averageBytesPerSecond = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t extensionSize = 0;
    std::uint16_t validBits = 0;
    std::uint32_t channelMask = 0;
    WaveSubFormat subFormat{};
    bool extensible = false;

    WaveSampleType sampleType() const noexcept {
        const std::uint16_t tag = formatTag;
        if (extensible) {
            return subFormat == kSubFormatPcm     ? WaveSampleType::Pcm
                   : subFormat == kSubFormatFloat ? WaveSampleType::Float
                                                  : WaveSampleType::Other;
        }
        return tag == kWaveTagPcm     ? WaveSampleType::Pcm
               : tag == kWaveTagFloat ? WaveSampleType::Float
                                      : WaveSampleType::Other;
    }

    // The sizes agree with each other: whole-byte containers, valid bits
    // within the container, block alignment and byte rate as the channel
    // count and rate imply, and an extensible mask naming as many speakers
    // as there are channels (or none).
    bool consistent() const noexcept {
        if (channels == 0 || sampleRate == 0 || bitsPerSample == 0 || bitsPerSample % 8 != 0 ||
            validBits == 0 || validBits > bitsPerSample) {
            return false;
        }
        if (blockAlign != static_cast<std::uint32_t>(channels) * (bitsPerSample / 8u) ||
            averageBytesPerSecond != static_cast<std::uint64_t>(sampleRate) * blockAlign) {
            return false;
        }
        if (extensible && channelMask != 0) {
            int speakers = 0;
            for (std::uint32_t mask = channelMask; mask != 0; mask &= mask - 1) {
                ++speakers;
            }
            if (speakers != channels) {
                return false;
            }
        }
        return true;
    }
};

// Reads a structure; nullopt when the bytes are too short for what the tag
// says they hold.
inline std::optional<WaveFormatFields> parseWaveFormat(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < kWaveFormatPlainSize) {
        return std::nullopt;
    }
    const auto u16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    };
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
               (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
               (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
    };
    WaveFormatFields fields;
    fields.formatTag = u16(0);
    fields.channels = u16(2);
    fields.sampleRate = u32(4);
    fields.averageBytesPerSecond = u32(8);
    fields.blockAlign = u16(12);
    fields.bitsPerSample = u16(14);
    fields.extensionSize = u16(16);
    fields.validBits = fields.bitsPerSample;
    if (fields.formatTag == kWaveTagExtensible) {
        if (bytes.size() < kWaveFormatExtensibleSize || fields.extensionSize < kWaveExtensionSize) {
            return std::nullopt;
        }
        fields.extensible = true;
        fields.validBits = u16(18);
        fields.channelMask = u32(20);
        for (std::size_t i = 0; i < 16; ++i) {
            fields.subFormat[i] = bytes[24 + i];
        }
    }
    return fields;
}

}  // namespace al::platform
