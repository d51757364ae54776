#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "dsd/DopPacker.h"

namespace morrow::dsd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes packWords(DopPacker& packer, const std::vector<std::uint32_t>& words) {
    Bytes out(words.size() * packer.frameBytes());
    packer.packFrames(out, words);
    return out;
}

TEST(DopPackerTest, FourByteCarrierKnownAnswer) {
    DopPacker packer(4);
    std::array<std::uint8_t, 8> frame{};
    packer.pack(frame, 0x12345678u);
    EXPECT_EQ(frame, (std::array<std::uint8_t, 8>{0x00, 0x78, 0x56, 0x05, 0x00, 0x34, 0x12, 0x05}));
    packer.pack(frame, 0x12345678u);
    EXPECT_EQ(frame, (std::array<std::uint8_t, 8>{0x00, 0x78, 0x56, 0xFA, 0x00, 0x34, 0x12, 0xFA}));
    EXPECT_EQ(packer.frameCounter(), 2u);
}

// Channel 0 (the low half) first; each carrier is later byte, earlier byte,
// marker.
TEST(DopPackerTest, ThreeByteCarrierKnownAnswer) {
    DopPacker packer(3);
    EXPECT_EQ(packWords(packer, {0x12345678u, 0x9ABCDEF0u}),
              (Bytes{0x78, 0x56, 0x05, 0x34, 0x12, 0x05, 0xF0, 0xDE, 0xFA, 0xBC, 0x9A, 0xFA}));
}

// The counter belongs to the stream, not to a buffer: packing buffer by
// buffer, with idle frames between, gives the same bytes as one long run.
TEST(DopPackerTest, MarkersAlternateThroughIdleFramesAndAcrossBuffers) {
    std::vector<std::uint32_t> words;
    for (std::uint32_t i = 0; i < 37; ++i) {
        words.push_back(i % 5 == 0 ? kDsdIdleFrameWord : 0x01020304u * (i + 1));
    }
    for (const std::uint32_t carrier : {3u, 4u}) {
        DopPacker whole(carrier);
        const Bytes expected = packWords(whole, words);

        DopPacker split(carrier);
        Bytes pieces;
        const std::size_t cuts[] = {0, 1, 8, 9, 20, 37};
        for (std::size_t c = 0; c + 1 < std::size(cuts); ++c) {
            const std::vector<std::uint32_t> part(words.begin() + static_cast<long>(cuts[c]),
                                                  words.begin() + static_cast<long>(cuts[c + 1]));
            const Bytes bytes = packWords(split, part);
            pieces.insert(pieces.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(pieces, expected) << carrier;

        for (std::size_t frame = 0; frame < words.size(); ++frame) {
            const std::uint8_t marker = frame % 2 == 0 ? 0x05 : 0xFA;
            const std::size_t base = frame * 2 * carrier;
            EXPECT_EQ(expected[base + carrier - 1], marker) << "frame " << frame;
            EXPECT_EQ(expected[base + 2 * carrier - 1], marker) << "frame " << frame;
        }
    }
}

TEST(DopPackerTest, IdleWordCarriesTheIdlePatternOnBothChannels) {
    DopPacker packer(3);
    EXPECT_EQ(packWords(packer, {kDsdIdleFrameWord, kDsdIdleFrameWord}),
              (Bytes{0x69, 0x69, 0x05, 0x69, 0x69, 0x05, 0x69, 0x69, 0xFA, 0x69, 0x69, 0xFA}));
}

// Runs of one repeated word (idle, muted) give the bytes of packing the
// word frame by frame, from either marker; a run that fills its destination
// exactly writes nothing past it (frames are stored several bytes at a time).
TEST(DopPackerTest, RepeatedRunsMatchSingleFramesAndStayInsideTheDestination) {
    for (const std::uint32_t carrier : {3u, 4u}) {
        for (const std::size_t lead : {0u, 1u}) {
            for (const std::size_t count : {1u, 2u, 7u}) {
                DopPacker one(carrier);
                DopPacker run(carrier);
                Bytes skip(lead * one.frameBytes());
                one.packRepeated(skip, 0, lead);
                run.packRepeated(skip, 0, lead);
                Bytes expected;
                for (std::size_t k = 0; k < count; ++k) {
                    Bytes frame(one.frameBytes());
                    one.pack(frame, 0xA1B2C3D4u);
                    expected.insert(expected.end(), frame.begin(), frame.end());
                }
                Bytes room(count * run.frameBytes() + 8, 0xEE);
                run.packRepeated(std::span<std::uint8_t>(room).first(count * run.frameBytes()),
                                 0xA1B2C3D4u, count);
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), room.begin()))
                    << carrier << " " << lead << " " << count;
                EXPECT_TRUE(std::all_of(room.end() - 8, room.end(), [](std::uint8_t b) { return b == 0xEE; }));
                EXPECT_EQ(run.frameCounter(), lead + count);
            }
        }
    }
    DopPacker packer(3);
    Bytes room(17);
    EXPECT_THROW(packer.packRepeated(room, 0, 3), std::invalid_argument);
    EXPECT_EQ(packer.frameCounter(), 0u);
}

TEST(DopPackerTest, RefusesOtherCarriersAndShortDestinations) {
    for (const std::uint32_t bad : {0u, 1u, 2u, 5u, 8u}) {
        try {
            DopPacker packer(bad);
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "DoP requires 24- or 32-bit integer carriers");
        }
    }
    DopPacker packer(4);
    std::array<std::uint8_t, 7> shortFrame{};
    EXPECT_THROW(
        {
            try {
                packer.pack(shortFrame, 0);
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "DoP destination too short");
                throw;
            }
        },
        std::invalid_argument);
    // A refused pack leaves the alternation where it was.
    EXPECT_EQ(packer.frameCounter(), 0u);
    Bytes room(15);
    const std::uint32_t words[] = {1, 2};
    EXPECT_THROW(packer.packFrames(room, words), std::invalid_argument);
    EXPECT_EQ(packer.frameCounter(), 0u);
}

}  // namespace
}  // namespace morrow::dsd
