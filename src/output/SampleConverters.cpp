#include "output/SampleConverters.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace al::audio {

namespace {

constexpr double kScale32 = 2147483647.0;
constexpr double kScale24 = 8388607.0;
constexpr double kScale16 = 32767.0;

// ---------------------------------------------------------------- reference

double finiteClamped(double x) noexcept {
    if (!std::isfinite(x)) {
        return 0.0;
    }
    return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x);
}

std::int64_t referenceInteger(double x, double scale, std::int64_t lowest, std::int64_t highest) noexcept {
    x = finiteClamped(x);
    if (x <= -1.0) {
        return lowest;
    }
    if (x >= 1.0) {
        return highest;
    }
    const long long v = std::llround(x * scale);
    return v < lowest ? lowest : (v > highest ? highest : v);
}

void putLe16(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void putLe24(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
}
void putLe32(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

bool fits(std::size_t count, std::size_t bytesPerSample, std::size_t outBytes) noexcept {
    return count <= outBytes / bytesPerSample;
}

// ---------------------------------------------------------------- fast

// The same result as the reference, without a library call per sample and
// without branches, so the compiler can keep whole blocks in vector
// registers. Scaled values stay within +-(2^31 - 1), so truncation to 32 bits
// is exact, and y - trunc(y) is computed without rounding; comparing that
// fraction with 0.5 rounds halves away from zero exactly as llround does.
template <int Bits>
inline std::int32_t quantise(double x) noexcept {
    constexpr double scale = static_cast<double>((std::int64_t{1} << (Bits - 1)) - 1);
    constexpr std::int32_t lowest = static_cast<std::int32_t>(-(std::int64_t{1} << (Bits - 1)));
    x = std::fabs(x) <= DBL_MAX ? x : 0.0;  // NaN and infinities to 0
    x = x < -1.0 ? -1.0 : x;
    x = x > 1.0 ? 1.0 : x;
    const double y = x * scale;
    std::int32_t t = static_cast<std::int32_t>(y);
    const double frac = y - static_cast<double>(t);
    t += static_cast<std::int32_t>(frac >= 0.5) - static_cast<std::int32_t>(frac <= -0.5);
    return x <= -1.0 ? lowest : t;
}

}  // namespace

float SampleToFloat32(double x) noexcept { return static_cast<float>(finiteClamped(x)); }

std::int32_t SampleToPcm32(double x) noexcept {
    return static_cast<std::int32_t>(referenceInteger(x, kScale32, -2147483648LL, 2147483647LL));
}

std::int32_t SampleToPcm24(double x) noexcept {
    return static_cast<std::int32_t>(referenceInteger(x, kScale24, -8388608LL, 8388607LL));
}

std::int16_t SampleToPcm16(double x) noexcept {
    return static_cast<std::int16_t>(referenceInteger(x, kScale16, -32768LL, 32767LL));
}

namespace reference {

bool ConvertToFloat32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        const float f = SampleToFloat32(in[i]);
        std::memcpy(&bits, &f, sizeof bits);
        putLe32(p + 4 * i, bits);
    }
    return true;
}

bool ConvertToPcm32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        putLe32(p + 4 * i, static_cast<std::uint32_t>(SampleToPcm32(in[i])));
    }
    return true;
}

bool ConvertToPcm24In32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        p[4 * i] = 0;
        putLe24(p + 4 * i + 1, static_cast<std::uint32_t>(SampleToPcm24(in[i])));
    }
    return true;
}

bool ConvertToPcm24Packed(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 3, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        putLe24(p + 3 * i, static_cast<std::uint32_t>(SampleToPcm24(in[i])));
    }
    return true;
}

bool ConvertToPcm16(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 2, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        putLe16(p + 2 * i, static_cast<std::uint16_t>(SampleToPcm16(in[i])));
    }
    return true;
}

SampleConverter ConverterFor(SampleKind kind) noexcept {
    switch (kind) {
        case SampleKind::Pcm32:
            return &ConvertToPcm32;
        case SampleKind::Pcm24In32:
            return &ConvertToPcm24In32;
        case SampleKind::Pcm24Packed:
            return &ConvertToPcm24Packed;
        case SampleKind::Pcm16:
            return &ConvertToPcm16;
        case SampleKind::Float32:
            break;
    }
    return &ConvertToFloat32;
}

}  // namespace reference

bool ConvertToFloat32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const float f = SampleToFloat32(in[i]);
        std::memcpy(p + 4 * i, &f, 4);  // the platforms served are little-endian
    }
    return true;
}

bool ConvertToPcm32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t v = quantise<32>(in[i]);
        std::memcpy(p + 4 * i, &v, 4);
    }
    return true;
}

bool ConvertToPcm24In32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 4, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(quantise<24>(in[i])) << 8;
        std::memcpy(p + 4 * i, &v, 4);
    }
    return true;
}

bool ConvertToPcm24Packed(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 3, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        putLe24(p + 3 * i, static_cast<std::uint32_t>(quantise<24>(in[i])));
    }
    return true;
}

bool ConvertToPcm16(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 2, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t v = static_cast<std::int16_t>(quantise<16>(in[i]));
        std::memcpy(p + 2 * i, &v, 2);
    }
    return true;
}

SampleConverter ConverterFor(SampleKind kind) noexcept {
    switch (kind) {
        case SampleKind::Pcm32:
            return &ConvertToPcm32;
        case SampleKind::Pcm24In32:
            return &ConvertToPcm24In32;
        case SampleKind::Pcm24Packed:
            return &ConvertToPcm24Packed;
        case SampleKind::Pcm16:
            return &ConvertToPcm16;
        case SampleKind::Float32:
            break;
    }
    return &ConvertToFloat32;
}

}  // namespace al::audio
