#include "dsd/DopPacker.h"

#include <stdexcept>

namespace morrow::dsd {

namespace {

inline void packOne(std::uint8_t* out, std::uint32_t word, std::uint8_t marker,
                    bool fourBytes) noexcept {
    const auto c0Late = static_cast<std::uint8_t>(word & 0xFFu);
    const auto c0Early = static_cast<std::uint8_t>((word >> 8) & 0xFFu);
    const auto c1Late = static_cast<std::uint8_t>((word >> 16) & 0xFFu);
    const auto c1Early = static_cast<std::uint8_t>(word >> 24);
    if (fourBytes) {
        out[0] = 0x00;
        out[1] = c0Late;
        out[2] = c0Early;
        out[3] = marker;
        out[4] = 0x00;
        out[5] = c1Late;
        out[6] = c1Early;
        out[7] = marker;
    } else {
        out[0] = c0Late;
        out[1] = c0Early;
        out[2] = marker;
        out[3] = c1Late;
        out[4] = c1Early;
        out[5] = marker;
    }
}

}  // namespace

DopPacker::DopPacker(std::uint32_t carrierBytes) : carrierBytes_(carrierBytes) {
    if (carrierBytes != 3 && carrierBytes != 4) {
        throw std::invalid_argument("DoP requires 24- or 32-bit integer carriers");
    }
}

void DopPacker::pack(std::span<std::uint8_t> destination, std::uint32_t word) {
    if (destination.size() < frameBytes()) {
        throw std::invalid_argument("DoP destination too short");
    }
    packOne(destination.data(), word, nextMarker(), carrierBytes_ == 4);
    ++counter_;
}

void DopPacker::packFrames(std::span<std::uint8_t> destination,
                           std::span<const std::uint32_t> words) {
    const std::size_t step = frameBytes();
    if (destination.size() / step < words.size()) {
        throw std::invalid_argument("DoP destination too short");
    }
    const bool fourBytes = carrierBytes_ == 4;
    std::uint8_t* out = destination.data();
    for (const std::uint32_t word : words) {
        packOne(out, word, nextMarker(), fourBytes);
        ++counter_;
        out += step;
    }
}

}  // namespace morrow::dsd
