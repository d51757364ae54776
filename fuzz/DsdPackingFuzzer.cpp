// Arbitrary frame words through DoP packing and back through the native
// unpacking: every buffer length and both byte orders, with the round trip
// checked (a mismatch is a finding).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "dsd/DopPacker.h"
#include "dsd/NativeDsdUnpack.h"

using namespace morrow::dsd;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint32_t carrier = (data[0] & 1u) != 0 ? 4u : 3u;
    const auto order = (data[0] & 2u) != 0 ? DsdByteOrder::LsbFirst : DsdByteOrder::MsbFirst;
    ++data;
    --size;

    std::vector<std::uint32_t> words(size / 4);
    if (!words.empty())
        std::memcpy(words.data(), data, words.size() * 4);

    DopPacker packer(carrier);
    std::vector<std::uint8_t> packed(words.size() * packer.frameBytes());
    packer.packFrames(packed, words);
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::uint8_t marker = packed[k * packer.frameBytes() + carrier - 1];
        if (marker != ((k & 1u) == 0 ? kDopMarkerEven : kDopMarkerOdd))
            std::abort();
    }

    // Native outputs unpack the engine's 3-byte carriers only.
    if (carrier == 3) {
        std::vector<std::uint8_t> left(packed.size() / 3), right(packed.size() / 3);
        unpackDopFrames(packed, left, right, order);
        for (std::size_t k = 0; k < words.size(); ++k) {
            const auto fix = [order](std::uint8_t b) {
                return order == DsdByteOrder::LsbFirst ? reverseBits(b) : b;
            };
            const std::uint32_t w = words[k];
            if (fix(left[2 * k]) != ((w >> 8) & 0xFF) || fix(left[2 * k + 1]) != (w & 0xFF) ||
                fix(right[2 * k]) != ((w >> 24) & 0xFF) ||
                fix(right[2 * k + 1]) != ((w >> 16) & 0xFF))
                std::abort();
        }
    }

    // Raw bytes of any length straight into the unpacker: refused or unpacked,
    // never read or written out of bounds.
    std::vector<std::uint8_t> raw(data, data + size);
    std::vector<std::uint8_t> a(size / 3 + (size % 7)), b(size / 3);
    try {
        unpackDopFrames(raw, a, b, order);
    } catch (const std::exception&) {
    }
    return 0;
}
