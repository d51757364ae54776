#pragma once
// DSD over PCM: every 16 DSD bits of a channel travel in one PCM sample with a
// marker byte that tells the DAC the stream is DSD. The marker alternates
// 0x05, 0xFA frame by frame, and a DAC that sees the alternation break drops
// out of DSD mode (often with a click), so one packer serves a whole stream:
// its frame counter runs on across buffers, idle frames and pauses.

#include <cstddef>
#include <cstdint>
#include <span>

namespace morrow::dsd {

// The DSD idle pattern on both channels of a frame word.
inline constexpr std::uint32_t kDsdIdleFrameWord = 0x69696969u;

inline constexpr std::uint8_t kDopMarkerEven = 0x05;
inline constexpr std::uint8_t kDopMarkerOdd = 0xFA;

// Packs frame words (low 16 bits channel 0, high 16 bits channel 1, earliest
// bit most significant in each half) into DoP frames: channel 0's carrier,
// then channel 1's, each little-endian.
//   3-byte carrier: later 8 bits, earlier 8 bits, marker
//   4-byte carrier: 0x00, later 8 bits, earlier 8 bits, marker
// Used on one thread (the engine thread); allocates nothing.
class DopPacker {
  public:
    // Throws std::invalid_argument "DoP requires 24- or 32-bit integer
    // carriers" for anything but 3 or 4.
    explicit DopPacker(std::uint32_t carrierBytes);

    std::uint32_t carrierBytes() const noexcept { return carrierBytes_; }
    // Bytes of one DoP frame: 2 x carrierBytes.
    std::size_t frameBytes() const noexcept { return std::size_t{carrierBytes_} * 2u; }
    // Frames packed so far; its parity decides the next marker.
    std::uint64_t frameCounter() const noexcept { return counter_; }
    // The marker the next frame will carry.
    std::uint8_t nextMarker() const noexcept {
        return (counter_ & 1u) == 0 ? kDopMarkerEven : kDopMarkerOdd;
    }

    // Writes one DoP frame at the start of destination and advances the
    // counter. Throws std::invalid_argument "DoP destination too short" when
    // destination holds fewer than frameBytes() bytes (nothing is written and
    // the counter stays).
    void pack(std::span<std::uint8_t> destination, std::uint32_t word);

    // Packs words[k] at byte offset k x frameBytes(). The same checks as
    // pack, made once for the whole run before anything is written.
    void packFrames(std::span<std::uint8_t> destination, std::span<const std::uint32_t> words);

    // Packs count copies of word (idle frames, muted frames) at byte offset
    // k x frameBytes(); the markers alternate as for any other frames. The
    // same check as packFrames.
    void packRepeated(std::span<std::uint8_t> destination, std::uint32_t word, std::size_t count);

  private:
    std::uint32_t carrierBytes_;
    std::uint64_t counter_ = 0;
};

}  // namespace morrow::dsd
