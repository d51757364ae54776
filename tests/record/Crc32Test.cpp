#include "record/Crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace al::file {
namespace {

std::span<const std::byte> bytesOf(const char* text) {
    return {reinterpret_cast<const std::byte*>(text), std::strlen(text)};
}

TEST(Crc32, CheckValueOfTheNineDigits) { EXPECT_EQ(crc32(0, bytesOf("123456789")), 0xCBF43926u); }

TEST(Crc32, RunningChecksumEqualsOneShot) {
    const char* text = "The quick brown fox jumps over the lazy dog";
    const auto all = bytesOf(text);
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        EXPECT_EQ(crc32(crc32(0, all.first(cut)), all.subspan(cut)), 0x414FA339u) << cut;
    }
}

TEST(Crc32, EmptyInputKeepsTheRunningValue) {
    EXPECT_EQ(crc32(0, {}), 0u);
    EXPECT_EQ(crc32(0xCBF43926u, {}), 0xCBF43926u);
}

// Bit by bit, straight from the definition.
std::uint32_t referenceCrc(std::uint32_t running, std::span<const std::byte> bytes) {
    std::uint32_t crc = ~running;
    for (std::byte b : bytes) {
        crc ^= static_cast<std::uint32_t>(b);
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Long inputs take a different path from short ones (whole 16-byte runs
// folded, the rest by table): every length around the switch and the fold
// widths, any start offset and running value, must give the definition's
// value.
TEST(Crc32, LongInputsMatchTheDefinitionAtEveryLengthAndOffset) {
    std::mt19937 random(11);
    std::vector<std::byte> data(1 << 16);
    for (auto& b : data) {
        b = static_cast<std::byte>(random());
    }
    const std::span<const std::byte> all(data);
    for (std::size_t length = 0; length <= 300; ++length) {
        const std::size_t offset = length % 7;
        const auto part = all.subspan(offset, length);
        const std::uint32_t running = static_cast<std::uint32_t>(random());
        ASSERT_EQ(crc32(running, part), referenceCrc(running, part)) << length;
        ASSERT_EQ(crc32(0, part), referenceCrc(0, part)) << length;
    }
    EXPECT_EQ(crc32(0x12345678u, all), referenceCrc(0x12345678u, all));
    EXPECT_EQ(crc32(0, all.subspan(3, 40000 + 13)), referenceCrc(0, all.subspan(3, 40000 + 13)));
    // All ones and all zeros: no lane may drop a carry.
    const std::vector<std::byte> ones(1000, std::byte{0xFF});
    const std::vector<std::byte> zeros(1000, std::byte{0});
    EXPECT_EQ(crc32(0, ones), referenceCrc(0, ones));
    EXPECT_EQ(crc32(0xFFFFFFFFu, zeros), referenceCrc(0xFFFFFFFFu, zeros));
}

}  // namespace
}  // namespace al::file
