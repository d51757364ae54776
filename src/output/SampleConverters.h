#pragma once
// The five ways a double sample on the -1..+1 scale leaves the player: into
// the endpoint's container, little-endian, without dither.
//
// Rules shared by every integer kind: a value that is not finite becomes 0;
// the value is clamped to -1..+1; exactly -1 (or below) gives the most
// negative code, +1 (or above) the most positive; anything between is scaled
// by 2^(n-1) - 1 and rounded to the nearest integer with halves away from zero
// (llround). Only -1.0 reaches the most negative code, so the scale is
// symmetric. Float32 rounds the clamped value to the nearest single.
//
// Every function here is pure, allocates nothing, takes no lock and may run on
// the render thread.

#include <cstddef>
#include <cstdint>

#include "output/EndpointFormat.h"

namespace al::audio {

// One sample, reference form. The block converters below give exactly these
// values.
float SampleToFloat32(double x) noexcept;
std::int32_t SampleToPcm32(double x) noexcept;
std::int32_t SampleToPcm24(double x) noexcept;  // -8,388,608 .. 8,388,607
std::int16_t SampleToPcm16(double x) noexcept;

// A block converter: `count` samples from `in` into `out`, which holds
// `outBytes` bytes. Writes nothing and returns false when outBytes is smaller
// than count x bytes per sample; otherwise writes count x bytes per sample
// bytes and returns true.
using SampleConverter = bool (*)(const double* in, std::size_t count, void* out,
                                 std::size_t outBytes) noexcept;

bool ConvertToFloat32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
// The 24-bit value in the upper three bytes of a 32-bit word: byte 0 is 0.
bool ConvertToPcm24In32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm24Packed(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm16(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;

// The converter of a sample kind (never null; an unknown value gets Float32).
SampleConverter ConverterFor(SampleKind kind) noexcept;

// Whether the integer converters above may use 256-bit vectors where the
// processor has them (the same bytes either way). For tests of the narrower
// path; any thread, takes effect on the next block.
void AllowWideConverters(bool allowed) noexcept;

// Plain one-sample-at-a-time loops over the reference functions above. The
// block converters are faster but must give the same bytes; tests and
// benchmarks compare the two.
namespace reference {
bool ConvertToFloat32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm24In32(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm24Packed(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
bool ConvertToPcm16(const double* in, std::size_t count, void* out, std::size_t outBytes) noexcept;
SampleConverter ConverterFor(SampleKind kind) noexcept;
}  // namespace reference

}  // namespace al::audio
