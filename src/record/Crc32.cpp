#include "record/Crc32.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace al::file {

namespace {

// zlib's slicing implementation gives the same values as the byte-wise
// table and is several times faster; it takes at most uInt bytes a call.
std::uint32_t crc32Sliced(std::uint32_t running, const std::byte* bytes,
                          std::size_t size) noexcept {
    uLong crc = running;
    const auto* data = reinterpret_cast<const Bytef*>(bytes);
    std::size_t left = size;
    while (left > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(left, UINT_MAX));
        crc = ::crc32(crc, data, step);
        data += step;
        left -= step;
    }
    return static_cast<std::uint32_t>(crc);
}

#if defined(__SSE2__)

bool processorHasCarrylessMultiply() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") != 0;
    }();
    return has;
}

// Below this the folding set-up costs more than it saves.
constexpr std::size_t kFoldMinimum = 64;

inline __m128i load(const std::byte* at) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// A lane carried forward: its low half times k.low plus its high half times k.high.
__attribute__((target("pclmul"))) inline __m128i fold(__m128i x, __m128i k) noexcept {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The checksum register (not inverted) after `size` bytes, size a multiple
// of 16 and at least 64: four 128-bit lanes are folded forward 512 bits at
// a time by carry-less multiplication with x^(512±32) mod P, then into one
// lane, then 128 → 64 → 32 bits and a Barrett reduction. The constants are
// those powers of x modulo the reflected polynomial 0x1DB710641 and its
// Barrett quotient, all bit-reflected.
__attribute__((target("pclmul"))) std::uint32_t foldRegister(std::uint32_t crc, const std::byte* p,
                                                             std::size_t size) noexcept {
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    size -= 64;
    const __m128i k512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    while (size >= 64) {
        x1 = _mm_xor_si128(fold(x1, k512), load(p));
        x2 = _mm_xor_si128(fold(x2, k512), load(p + 16));
        x3 = _mm_xor_si128(fold(x3, k512), load(p + 32));
        x4 = _mm_xor_si128(fold(x4, k512), load(p + 48));
        p += 64;
        size -= 64;
    }
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    x1 = _mm_xor_si128(fold(x1, k128), x2);
    x1 = _mm_xor_si128(fold(x1, k128), x3);
    x1 = _mm_xor_si128(fold(x1, k128), x4);
    while (size >= 16) {
        x1 = _mm_xor_si128(fold(x1, k128), load(p));
        p += 16;
        size -= 16;
    }
    // 128 → 64 bits (x1.low times x^96 mod P, into x1.high), then 64 → 32.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(k128, x1, 0x01), _mm_srli_si128(x1, 8));
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i k64 = _mm_set_epi64x(0, 0x163cd6124);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k64, 0x00),
                       _mm_srli_si128(x1, 4));
    // Barrett: quotient estimate by the reflected x^64 / P, times P.
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

#endif

}  // namespace

std::uint32_t crc32(std::uint32_t running, std::span<const std::byte> bytes) noexcept {
#if defined(__SSE2__)
    // Records are checksummed block by block as they are written and read,
    // tens of megabytes a minute of audio: with carry-less multiplication
    // the blocks' whole 16-byte runs are folded several times faster than
    // the table can, the rest goes through the table.
    if (bytes.size() >= kFoldMinimum && processorHasCarrylessMultiply()) {
        const std::size_t folded = bytes.size() & ~std::size_t{15};
        const std::uint32_t crc = ~foldRegister(~running, bytes.data(), folded);
        return crc32Sliced(crc, bytes.data() + folded, bytes.size() - folded);
    }
#endif
    return crc32Sliced(running, bytes.data(), bytes.size());
}

}  // namespace al::file
