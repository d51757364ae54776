#include "output/SampleConverters.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include <atomic>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

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


#if defined(__SSE2__)
// quantise for two samples in one register, the same steps with the same
// results: the finite test, both clamps (max/min equal the comparisons for
// numbers), the truncation, the exact fraction, the half rule and the lowest
// code for -1. Gives the two codes in the low two 32-bit lanes.
template <int Bits>
inline __m128i quantise2(__m128d x) noexcept {
    constexpr double scale = static_cast<double>((std::int64_t{1} << (Bits - 1)) - 1);
    constexpr std::int32_t lowest = static_cast<std::int32_t>(-(std::int64_t{1} << (Bits - 1)));
    const __m128d magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), x);
    x = _mm_and_pd(_mm_cmple_pd(magnitude, _mm_set1_pd(DBL_MAX)), x);
    x = _mm_min_pd(_mm_max_pd(x, _mm_set1_pd(-1.0)), _mm_set1_pd(1.0));
    const __m128d y = _mm_mul_pd(x, _mm_set1_pd(scale));
    const __m128i t = _mm_cvttpd_epi32(y);
    const __m128d frac = _mm_sub_pd(y, _mm_cvtepi32_pd(t));
    // Masks are all ones (-1) per 64-bit lane; their low halves as 32-bit lanes.
    const auto low = [](__m128d mask) {
        return _mm_shuffle_epi32(_mm_castpd_si128(mask), _MM_SHUFFLE(3, 3, 2, 0));
    };
    const __m128i up = low(_mm_cmpge_pd(frac, _mm_set1_pd(0.5)));
    const __m128i down = low(_mm_cmple_pd(frac, _mm_set1_pd(-0.5)));
    const __m128i rounded = _mm_add_epi32(_mm_sub_epi32(t, up), down);
    const __m128i bottom = low(_mm_cmple_pd(x, _mm_set1_pd(-1.0)));
    return _mm_or_si128(_mm_and_si128(bottom, _mm_set1_epi32(lowest)),
                        _mm_andnot_si128(bottom, rounded));
}

// Four codes from in[0 .. 3] as four 32-bit lanes.
template <int Bits>
inline __m128i quantise4(const double* in) noexcept {
    return _mm_unpacklo_epi64(quantise2<Bits>(_mm_loadu_pd(in)),
                              quantise2<Bits>(_mm_loadu_pd(in + 2)));
}
#endif
#if defined(__SSE2__)

// Four samples per step where the processor has 256-bit vectors: the same
// steps again, with the truncation, the half rule and the lowest code done on
// doubles (whole numbers all, so exact) and one conversion at the end.
std::atomic<bool> wideAllowed{true};

bool wideVectors() noexcept {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available && wideAllowed.load(std::memory_order_relaxed);
}

template <int Bits>
__attribute__((target("avx2"))) inline __m128i quantiseWide4(const double* in) noexcept {
    constexpr double scale = static_cast<double>((std::int64_t{1} << (Bits - 1)) - 1);
    constexpr double lowest = -static_cast<double>(std::int64_t{1} << (Bits - 1));
    __m256d x = _mm256_loadu_pd(in);
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    x = _mm256_and_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ), x);
    x = _mm256_min_pd(_mm256_max_pd(x, _mm256_set1_pd(-1.0)), _mm256_set1_pd(1.0));
    const __m256d y = _mm256_mul_pd(x, _mm256_set1_pd(scale));
    const __m256d t = _mm256_round_pd(y, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d frac = _mm256_sub_pd(y, t);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d up = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(0.5), _CMP_GE_OQ), one);
    const __m256d down = _mm256_and_pd(_mm256_cmp_pd(frac, _mm256_set1_pd(-0.5), _CMP_LE_OQ), one);
    const __m256d rounded = _mm256_sub_pd(_mm256_add_pd(t, up), down);
    const __m256d bottom = _mm256_cmp_pd(x, _mm256_set1_pd(-1.0), _CMP_LE_OQ);
    return _mm256_cvttpd_epi32(_mm256_blendv_pd(rounded, _mm256_set1_pd(lowest), bottom));
}

// Each converts the whole blocks of a run and returns the samples done.
__attribute__((target("avx2"))) std::size_t wideToPcm32(const double* in, std::size_t count,
                                                        unsigned char* p) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4 * i), quantiseWide4<32>(in + i));
    }
    return i;
}

__attribute__((target("avx2"))) std::size_t wideToPcm24In32(const double* in, std::size_t count,
                                                            unsigned char* p) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4 * i),
                         _mm_slli_epi32(quantiseWide4<24>(in + i), 8));
    }
    return i;
}

__attribute__((target("avx2"))) std::size_t wideToPcm24Packed(const double* in, std::size_t count,
                                                              unsigned char* p) noexcept {
    // The three low bytes of each 32-bit code, packed to the front.
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_shuffle_epi8(quantiseWide4<24>(in + i), pack);      // 12 bytes
        const __m128i b = _mm_shuffle_epi8(quantiseWide4<24>(in + i + 4), pack);  // 12 more
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 3 * i), _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 3 * i + 16), _mm_srli_si128(b, 4));
    }
    return i;
}

__attribute__((target("avx2"))) std::size_t wideToPcm16(const double* in, std::size_t count,
                                                        unsigned char* p) noexcept {
    std::size_t i = 0;
    // Every code fits 16 bits, so the saturating pack only narrows.
    for (; i + 8 <= count; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * i),
                         _mm_packs_epi32(quantiseWide4<16>(in + i), quantiseWide4<16>(in + i + 4)));
    }
    return i;
}

#endif

}  // namespace

void AllowWideConverters(bool allowed) noexcept {
#if defined(__SSE2__)
    wideAllowed.store(allowed, std::memory_order_relaxed);
#else
    (void)allowed;
#endif
}

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
    std::size_t i = 0;
#if defined(__SSE2__)
    if (wideVectors()) {
        i = wideToPcm32(in, count, p);
    }
    for (; i + 4 <= count; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4 * i), quantise4<32>(in + i));
    }
#endif
    for (; i < count; ++i) {
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
    std::size_t i = 0;
#if defined(__SSE2__)
    if (wideVectors()) {
        i = wideToPcm24In32(in, count, p);
    }
    for (; i + 4 <= count; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4 * i),
                         _mm_slli_epi32(quantise4<24>(in + i), 8));
    }
#endif
    for (; i < count; ++i) {
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
    std::size_t i = 0;
#if defined(__SSE2__)
    if (wideVectors()) {
        i = wideToPcm24Packed(in, count, p);
    }
    for (; i + 4 <= count; i += 4) {
        alignas(16) std::uint32_t codes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(codes), quantise4<24>(in + i));
        for (std::size_t k = 0; k < 4; ++k) {
            putLe24(p + 3 * (i + k), codes[k]);
        }
    }
#endif
    for (; i < count; ++i) {
        putLe24(p + 3 * i, static_cast<std::uint32_t>(quantise<24>(in[i])));
    }
    return true;
}

bool ConvertToPcm16(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept {
    if (!fits(count, 2, outBytes)) {
        return false;
    }
    auto* p = static_cast<unsigned char*>(out);
    std::size_t i = 0;
#if defined(__SSE2__)
    if (wideVectors()) {
        i = wideToPcm16(in, count, p);
    }
    // Every code fits 16 bits, so the saturating pack only narrows.
    for (; i + 8 <= count; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * i),
                         _mm_packs_epi32(quantise4<16>(in + i), quantise4<16>(in + i + 4)));
    }
#endif
    for (; i < count; ++i) {
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
