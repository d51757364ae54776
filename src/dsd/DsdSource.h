#pragma once
// The one interface through which every DSD source delivers a whole track as
// 1-bit DSD, 16 bits per channel at a time.

#include <array>
#include <cstdint>

namespace morrow::dsd {

// The DSD idle pattern: fills every gap in a DSD stream (its mean is zero, so
// a converter hears silence). As a 16-bit frame word it is 0x6969.
inline constexpr std::uint8_t kDsdIdleByte = 0x69;
inline constexpr std::uint16_t kDsdIdleWord = 0x6969;

struct DsdInfo {
    std::uint32_t channels = 0;     // 1 or 2
    std::uint32_t rate = 0;         // DSD bits per second per channel
    std::uint64_t sampleCount = 0;  // DSD bits per channel in the track
    std::uint64_t frameCount = 0;   // 16-bit words per channel: (sampleCount + 15) / 16
};

// One frame: the word of channel 0, then the word of channel 1. Each word
// holds 16 consecutive DSD bits of its channel, the earliest in time in the
// most significant bit; frame i covers bits 16i .. 16i + 15. A mono source
// returns the same word twice. Bits of the last frame past the track's end
// follow the idle word at the same positions.
using DsdFrame = std::array<std::uint16_t, 2>;

// A DSD track, read frame by frame. info() never changes. readFrame may keep
// internal buffers, so one source is used by one thread at a time (callers
// that share a source serialise their calls).
class IDsdSource {
public:
    virtual ~IDsdSource() = default;
    virtual DsdInfo info() const = 0;
    // Throws std::out_of_range for index >= info().frameCount, other
    // exceptions for read failures.
    virtual DsdFrame readFrame(std::uint64_t index) = 0;

protected:
    IDsdSource() = default;
    IDsdSource(const IDsdSource&) = default;
    IDsdSource& operator=(const IDsdSource&) = default;
};

}  // namespace morrow::dsd
