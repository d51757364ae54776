#include "dsd/NativeDsdUnpack.h"

#include <array>
#include <stdexcept>

namespace morrow::dsd {
namespace {

constexpr std::array<std::uint8_t, 256> makeReverseTable() noexcept {
    std::array<std::uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned r = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (v & (1u << bit)) r |= 0x80u >> bit;
        }
        table[v] = static_cast<std::uint8_t>(r);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kReverse = makeReverseTable();

}  // namespace

std::uint8_t reverseBits(std::uint8_t value) noexcept { return kReverse[value]; }

void unpackDopFrames(std::span<const std::uint8_t> dop, std::span<std::uint8_t> channel0,
                     std::span<std::uint8_t> channel1, DsdByteOrder order) {
    if (dop.size() % 6 != 0 || channel0.size() < dop.size() / 3 || channel1.size() < dop.size() / 3) {
        throw std::invalid_argument("Invalid native DSD packing span");
    }
    const std::size_t frames = dop.size() / 6;
    const std::uint8_t* in = dop.data();
    std::uint8_t* c0 = channel0.data();
    std::uint8_t* c1 = channel1.data();
    if (order == DsdByteOrder::MsbFirst) {
        for (std::size_t i = 0; i < frames; ++i, in += 6) {
            c0[2 * i] = in[1];
            c0[2 * i + 1] = in[0];
            c1[2 * i] = in[4];
            c1[2 * i + 1] = in[3];
        }
    } else {
        for (std::size_t i = 0; i < frames; ++i, in += 6) {
            c0[2 * i] = kReverse[in[1]];
            c0[2 * i + 1] = kReverse[in[0]];
            c1[2 * i] = kReverse[in[4]];
            c1[2 * i + 1] = kReverse[in[3]];
        }
    }
}

}  // namespace morrow::dsd
