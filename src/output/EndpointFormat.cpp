#include "output/EndpointFormat.h"

#include "platform/WaveFormat.h"

namespace al::audio {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// The 18 bytes every structure starts with.
std::vector<std::uint8_t> header(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                                 std::uint16_t containerBits, std::uint16_t extensionSize) {
    const std::uint32_t blockAlign = channels * ((containerBits + 7u) / 8u);
    std::vector<std::uint8_t> out;
    out.reserve(platform::kWaveFormatExtensibleSize);
    put16(out, tag);
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * blockAlign);
    put16(out, blockAlign);
    put16(out, containerBits);
    put16(out, extensionSize);
    return out;
}

std::u16string decimal(std::uint32_t value) {
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return text;
}

}  // namespace

std::u16string SampleKindLabel(SampleKind kind) {
    switch (kind) {
        case SampleKind::Float32:
            return u"32-bit Float";
        case SampleKind::Pcm32:
            return u"32-bit Integer";
        case SampleKind::Pcm24In32:
            return u"24-bit Integer in 32-bit Container";
        case SampleKind::Pcm24Packed:
            return u"24-bit Packed Integer";
        case SampleKind::Pcm16:
            return u"16-bit Integer";
    }
    return u"Unknown";
}

std::uint16_t EndpointFormat::BlockAlign() const noexcept {
    if (waveFormat.size() < 14) {
        return 0;
    }
    return static_cast<std::uint16_t>(waveFormat[12] | (waveFormat[13] << 8));
}

bool SameFormat(const EndpointFormat& a, const EndpointFormat& b) noexcept {
    return a.sampleRate == b.sampleRate && a.channels == b.channels && a.containerBits == b.containerBits &&
           a.validBits == b.validBits && a.kind == b.kind && a.sharedFallback == b.sharedFallback;
}

std::u16string FormatLabel(const EndpointFormat& format) {
    return decimal(format.sampleRate) + u" Hz / " + SampleKindLabel(format.kind);
}

std::u16string ModeLabel(const EndpointFormat& format) {
    return format.sharedFallback ? u"WASAPI Shared fallback" : u"WASAPI Exclusive";
}

std::uint32_t ChannelMask(std::uint32_t channels) noexcept {
    constexpr std::uint32_t kMasks[] = {0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    return channels >= 1 && channels <= 8 ? kMasks[channels - 1] : 0;
}

std::vector<std::uint8_t> MakePlainWaveFormat(std::uint16_t formatTag, std::uint16_t channels,
                                              std::uint32_t sampleRate, std::uint16_t containerBits) {
    return header(formatTag, channels, sampleRate, containerBits, 0);
}

std::vector<std::uint8_t> MakeExtensibleWaveFormat(bool isFloat, std::uint16_t channels, std::uint32_t sampleRate,
                                                   std::uint16_t containerBits, std::uint16_t validBits,
                                                   std::uint32_t channelMask) {
    std::vector<std::uint8_t> out = header(platform::kWaveTagExtensible, channels, sampleRate, containerBits,
                                           platform::kWaveExtensionSize);
    put16(out, validBits);
    put32(out, channelMask);
    const platform::WaveSubFormat& sub = isFloat ? platform::kSubFormatFloat : platform::kSubFormatPcm;
    out.insert(out.end(), sub.begin(), sub.end());
    return out;
}

}  // namespace al::audio
