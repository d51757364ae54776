#include "record/Crc32.h"

#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
}  // namespace al::file
