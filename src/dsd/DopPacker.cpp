#include "dsd/DopPacker.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace morrow::dsd {

namespace {

static_assert(std::endian::native == std::endian::little,
              "carriers are built as little-endian integers");

// One channel's carrier as a little-endian integer: the word's later byte
// (its low byte), its earlier byte, then the marker; a 4-byte carrier has a
// zero byte first.
inline std::uint32_t carrier3(std::uint32_t half, std::uint32_t marker) noexcept {
    return (half & 0xFFFFu) | (marker << 16);
}
inline std::uint32_t carrier4(std::uint32_t half, std::uint32_t marker) noexcept {
    return ((half & 0xFFFFu) << 8) | (marker << 24);
}

inline void store(std::uint8_t* out, const void* value, std::size_t bytes) noexcept {
    std::memcpy(out, value, bytes);
}

// Packs count frames whose words come from next(k), the first with the
// marker of an even (even = true) or odd counter. Frames are built as whole
// integers and stored with a few wide stores: the packer runs over every
// frame the device plays, so byte-by-byte stores would be its whole cost.
template <std::uint32_t CarrierBytes, typename Next>
void packRun(std::uint8_t* out, std::size_t count, bool even, Next next) noexcept {
    std::uint32_t marker = even ? kDopMarkerEven : kDopMarkerOdd;
    constexpr std::uint32_t kFlip = kDopMarkerEven ^ kDopMarkerOdd;
    if constexpr (CarrierBytes == 4) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t word = next(k);
            const std::uint64_t frame = std::uint64_t{carrier4(word, marker)} |
                                        (std::uint64_t{carrier4(word >> 16, marker)} << 32);
            store(out + k * 8, &frame, 8);
            marker ^= kFlip;
        }
    } else {
        // Six bytes a frame: an eight-byte store whose last two bytes the
        // next frame overwrites, and an exact store for the last frame.
        std::size_t k = 0;
        for (; k + 1 < count; ++k) {
            const std::uint32_t word = next(k);
            const std::uint64_t frame = std::uint64_t{carrier3(word, marker)} |
                                        (std::uint64_t{carrier3(word >> 16, marker)} << 24);
            store(out + k * 6, &frame, 8);
            marker ^= kFlip;
        }
        if (k < count) {
            const std::uint32_t word = next(k);
            const std::uint64_t frame = std::uint64_t{carrier3(word, marker)} |
                                        (std::uint64_t{carrier3(word >> 16, marker)} << 24);
            std::uint8_t bytes[8];
            store(bytes, &frame, 8);
            std::memcpy(out + k * 6, bytes, 6);
        }
    }
}

template <typename Next>
void packAny(std::uint32_t carrierBytes, std::uint8_t* out, std::size_t count, bool even,
             Next next) noexcept {
    if (carrierBytes == 4) {
        packRun<4>(out, count, even, next);
    } else {
        packRun<3>(out, count, even, next);
    }
}

}  // namespace

DopPacker::DopPacker(std::uint32_t carrierBytes) : carrierBytes_(carrierBytes) {
    if (carrierBytes != 3 && carrierBytes != 4) {
        throw std::invalid_argument("DoP requires 24- or 32-bit integer carriers");
    }
}

void DopPacker::pack(std::span<std::uint8_t> destination, std::uint32_t word) {
    packRepeated(destination, word, 1);
}

void DopPacker::packFrames(std::span<std::uint8_t> destination,
                           std::span<const std::uint32_t> words) {
    if (destination.size() / frameBytes() < words.size()) {
        throw std::invalid_argument("DoP destination too short");
    }
    const std::uint32_t* w = words.data();
    packAny(carrierBytes_, destination.data(), words.size(), (counter_ & 1u) == 0,
            [w](std::size_t k) { return w[k]; });
    counter_ += words.size();
}

void DopPacker::packRepeated(std::span<std::uint8_t> destination, std::uint32_t word,
                             std::size_t count) {
    if (destination.size() / frameBytes() < count) {
        throw std::invalid_argument("DoP destination too short");
    }
    packAny(carrierBytes_, destination.data(), count, (counter_ & 1u) == 0,
            [word](std::size_t) { return word; });
    counter_ += count;
}

}  // namespace morrow::dsd
