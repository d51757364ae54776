#pragma once
// Turns the engine's DoP-packed buffers (3-byte carriers, 6 bytes a frame)
// back into plain per-channel DSD bytes for native outputs, which must not put
// DoP markers on the wire.

#include <cstdint>
#include <span>

namespace morrow::dsd {

// Bit order of the device's DSD bytes.
enum class DsdByteOrder : std::uint8_t {
    MsbFirst,  // earliest bit in the most significant bit (ASIO sample type 33)
    LsbFirst,  // earliest bit in the least significant bit (ASIO sample type 32)
};

// Reverses the bits of one byte.
std::uint8_t reverseBits(std::uint8_t value) noexcept;

// For DoP frame i with bytes b0..b5: channel 0 gets b1 then b0 at 2i, 2i + 1
// (earlier byte first), channel 1 gets b4 then b3; markers are dropped. Bytes
// are bit-reversed for LsbFirst. Requires dop.size() to be a multiple of 6 and
// each channel span to hold dop.size() / 3 bytes (std::invalid_argument
// "Invalid native DSD packing span" otherwise). Allocates nothing.
void unpackDopFrames(std::span<const std::uint8_t> dop, std::span<std::uint8_t> channel0,
                     std::span<std::uint8_t> channel1, DsdByteOrder order);

}  // namespace morrow::dsd
