#include "platform/FileMapping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "support/TempDir.h"

namespace al::platform {
namespace {

void writeBytes(const std::filesystem::path& path, std::size_t size) {
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(0x40 + i % 31);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

ReadOnlyMapping mapWhole(const std::filesystem::path& path) {
    ReadOnlyMapping mapping;
    EXPECT_EQ(mapping.openFile(path), 0u);
    std::uint64_t size = 0;
    EXPECT_EQ(mapping.querySize(size), 0u);
    EXPECT_FALSE(mapping.mapWhole(size).has_value());
    return mapping;
}

// Another program shortening the file under the view must not end the
// process: the pages past the new end read as zeros and the mapping says it
// was damaged. (Windows refuses to shorten a mapped file; then nothing may
// change at all.)
TEST(ReadOnlyMapping, FileShortenedUnderTheViewReadsZerosAndIsMarkedDamaged) {
    al::test::TempDir dir;
    const auto path = dir / "image.bin";
    constexpr std::size_t kSize = 256 * 1024;
    writeBytes(path, kSize);
    ReadOnlyMapping untouched = mapWhole(path.parent_path() / "image.bin");
    ReadOnlyMapping mapping = mapWhole(path);
    ASSERT_TRUE(mapping.mapped());
    EXPECT_FALSE(mapping.damaged());
    const auto bytes = mapping.bytes();
    EXPECT_EQ(static_cast<char>(bytes[100]), static_cast<char>(0x40 + 100 % 31));

    std::error_code error;
    std::filesystem::resize_file(path, 4096, error);
    if (error) {
        EXPECT_FALSE(mapping.damaged());
        EXPECT_EQ(static_cast<char>(bytes[kSize - 1]), static_cast<char>(0x40 + (kSize - 1) % 31));
        return;
    }
    EXPECT_EQ(static_cast<char>(bytes[100]), static_cast<char>(0x40 + 100 % 31));
    EXPECT_FALSE(mapping.damaged());
    std::uint32_t sum = 0;
    for (std::size_t i = 8192; i < kSize; i += 1000)
        sum += static_cast<std::uint8_t>(bytes[i]);
    EXPECT_EQ(sum, 0u);
    EXPECT_TRUE(mapping.damaged());
    // Both views share the file, but only the one that touched the lost pages
    // knows; the other finds out on its own first read there.
    EXPECT_FALSE(untouched.damaged());
    EXPECT_EQ(static_cast<std::uint8_t>(untouched.bytes()[kSize - 1]), 0u);
    EXPECT_TRUE(untouched.damaged());

    // A fresh mapping in the same place starts undamaged.
    mapping.close();
    writeBytes(path, kSize);
    ReadOnlyMapping again = mapWhole(path);
    EXPECT_FALSE(again.damaged());
    EXPECT_EQ(static_cast<char>(again.bytes()[kSize - 1]),
              static_cast<char>(0x40 + (kSize - 1) % 31));
}

}  // namespace
}  // namespace al::platform
