// The mapped reader: open failures, block access with checksums, chunk lookup.
#include "record/RecordReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>

#include "support/RecordImages.h"
#include "support/TempDir.h"

namespace al::file {
namespace {

void writeBytes(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string openError(const std::filesystem::path& path) {
    RecordReader reader;
    try {
        reader.open(path);
    } catch (const std::runtime_error& error) {
        EXPECT_FALSE(reader.isOpen());
        EXPECT_TRUE(reader.path().empty());
        return error.what();
    }
    return "opened";
}

TEST(RecordReader, OpenFailuresNameTheirStep) {
    test::TempDir dir;
    // The platform's code for a missing file is 2 on both Windows and Linux.
    const std::string missing = openError(dir / "missing.aur");
    EXPECT_TRUE(std::regex_match(missing,
                                 std::regex(R"(Open Auralith record image failed \((Win32|errno) 2\))")))
        << missing;

    writeBytes(dir / "empty.aur", {});
    EXPECT_EQ(openError(dir / "empty.aur"), "Auralith record image is empty");

    auto image = RecordWriter(makeRecordHeader(1, 44100, 16, 0)).image();
    ASSERT_EQ(image.size(), 45u);
    image.pop_back();
    writeBytes(dir / "small.aur", image);
    EXPECT_EQ(openError(dir / "small.aur"), "Auralith record is too small");

    auto bad = test::sineRecord(1, 100).image();
    bad[0] = std::byte{'B'};
    writeBytes(dir / "bad.aur", bad);
    EXPECT_EQ(openError(dir / "bad.aur"), "Invalid Auralith file magic");
}

TEST(RecordReader, OpensEmptyAndFullRecords) {
    test::TempDir dir;
    RecordWriter(makeRecordHeader(2, 44100, 16, 0)).save(dir / "empty.aur");
    RecordReader empty(dir / "empty.aur");
    EXPECT_TRUE(empty.isOpen());
    EXPECT_EQ(empty.chunkCount(), 0u);
    EXPECT_EQ(empty.imageSize(), 45u);
    EXPECT_EQ(empty.chunkIndexAt(1.0), 0u);

    const auto writer = test::sineRecord(2, 5000, 44100);
    writer.save(dir / "full.aur", BlockOrder::ChannelByChannel);
    RecordReader reader(dir / "full.aur");
    EXPECT_EQ(reader.path(), dir / "full.aur");
    EXPECT_EQ(reader.header().channelCount, 2);
    EXPECT_EQ(reader.header().capturedSampleRate, 44100u);
    EXPECT_EQ(reader.header().capturedBitDepth, 24u);
    EXPECT_EQ(reader.header().frameCount, 5000u);
    EXPECT_EQ(reader.header().duration, 5000.0 / 44100.0);
    EXPECT_EQ(reader.chunkCount(), 5u);
    EXPECT_EQ(reader.allBlocks().size(), 10u);
    EXPECT_EQ(reader.channelBlocks()[1][4].sequence, 9u);

    // Reopening replaces the old state; closing twice is harmless.
    reader.open(dir / "empty.aur");
    EXPECT_EQ(reader.chunkCount(), 0u);
    reader.close();
    reader.close();
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.imageSize(), 0u);
    EXPECT_TRUE(reader.channelBlocks().empty());

    // A failed open over an open reader leaves it closed.
    RecordReader again(dir / "full.aur");
    EXPECT_THROW(again.open(dir / "missing.aur"), std::runtime_error);
    EXPECT_FALSE(again.isOpen());
    EXPECT_THROW(again.block(0, 0, true), std::out_of_range);
}

TEST(RecordReader, CorruptPayloadIsFoundOnlyWhenVerified) {
    test::TempDir dir;
    auto image = test::sineRecord(2, 3000).image(BlockOrder::Canonical);
    const RecordIndex index = indexRecordImage(image);
    const BlockIndexEntry target = index.channelBlocks[1][1];  // sequence 3
    ASSERT_EQ(target.sequence, 3u);
    const auto storedCrc = test::peek<std::uint32_t>(
        image, target.offset + kBlockHeaderSize + target.payloadSize);
    image[target.offset + kBlockHeaderSize + 17] ^= std::byte{0x01};
    writeBytes(dir / "flip.aur", image);

    RecordReader reader(dir / "flip.aur");  // the walk does not checksum
    for (std::uint64_t k = 0; k < reader.chunkCount(); ++k) {
        EXPECT_NO_THROW(reader.block(0, k, true));
    }
    const BlockView unchecked = reader.block(1, 1, false);
    EXPECT_EQ(unchecked.storedCrc, storedCrc);

    char stored[16];
    std::snprintf(stored, sizeof stored, "%x", storedCrc);
    const std::regex expected("CRC mismatch in block 3: stored=0x" + std::string(stored) +
                              ", computed=0x[1-9a-f][0-9a-f]{0,7}");
    for (int viaView = 0; viaView < 2; ++viaView) {
        try {
            if (viaView) {
                unchecked.verifyCrc();
            } else {
                reader.block(1, 1, true);
            }
            ADD_FAILURE() << "corruption not detected";
        } catch (const std::runtime_error& error) {
            EXPECT_TRUE(std::regex_match(error.what(), expected)) << error.what();
        }
    }
}

TEST(RecordReader, CrcMessageUsesLowerCaseHexWithoutLeadingZeros) {
    // Patch a stored checksum to a small known value.
    test::TempDir dir;
    auto image = test::sineRecord(1, 100).image();
    const RecordIndex index = indexRecordImage(image);
    const auto& entry = index.allBlocks[0];
    test::poke<std::uint32_t>(image, entry.offset + kBlockHeaderSize + entry.payloadSize, 0xAB);
    writeBytes(dir / "crc.aur", image);
    RecordReader reader(dir / "crc.aur");
    try {
        reader.block(0, 0, true);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("CRC mismatch in block 0: stored=0xab, computed=0x", 0), 0u)
            << error.what();
    }
}

TEST(RecordReader, BlockIndexOutOfRange) {
    test::TempDir dir;
    test::sineRecord(2, 2048).save(dir / "r.aur");
    RecordReader reader(dir / "r.aur");
    for (auto [channel, chunk] : {std::pair<std::size_t, std::uint64_t>{2, 0}, {0, 2}, {1, 99}}) {
        try {
            reader.block(channel, chunk, false);
            ADD_FAILURE();
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "Auralith block index out of range");
        }
    }
}

TEST(RecordReader, ChunkIndexAtBoundaries) {
    test::TempDir dir;
    const auto writer = test::sineRecord(1, 3000, 48000);
    writer.save(dir / "r.aur");
    RecordReader reader(dir / "r.aur");
    ASSERT_EQ(reader.chunkCount(), 3u);
    const double b1 = writer.chunkStart(1);
    const double b2 = writer.chunkStart(2);
    const double duration = reader.header().duration;
    EXPECT_EQ(reader.chunkIndexAt(-1.0), 0u);
    EXPECT_EQ(reader.chunkIndexAt(0.0), 0u);
    EXPECT_EQ(reader.chunkIndexAt(std::nextafter(b1, 0.0)), 0u);
    EXPECT_EQ(reader.chunkIndexAt(b1), 1u);  // a boundary belongs to the later chunk
    EXPECT_EQ(reader.chunkIndexAt(std::nextafter(b2, 0.0)), 1u);
    EXPECT_EQ(reader.chunkIndexAt(b2), 2u);
    EXPECT_EQ(reader.chunkIndexAt(std::nextafter(duration, 0.0)), 2u);
    EXPECT_EQ(reader.chunkIndexAt(duration), 2u);
    EXPECT_EQ(reader.chunkIndexAt(1e9), 2u);
    EXPECT_EQ(reader.chunkIndexAt(std::numeric_limits<double>::infinity()), 2u);
    EXPECT_LT(reader.chunkIndexAt(std::numeric_limits<double>::quiet_NaN()), 3u);
}

TEST(RecordReader, MappedFileMayBeRenamedWhileOpen) {
    test::TempDir dir;
    test::sineRecord(2, 4096).save(dir / "a.aur");
    RecordReader reader(dir / "a.aur");
    std::filesystem::rename(dir / "a.aur", dir / "b.aur");
    for (std::uint64_t k = 0; k < reader.chunkCount(); ++k) {
        EXPECT_NO_THROW(reader.block(1, k, true));
    }
}

TEST(RecordWriter, SaveReplacesAtomicallyAndLeavesNoTemporary) {
    test::TempDir dir;
    test::sineRecord(1, 10).save(dir / "r.aur");
    test::sineRecord(1, 2000).save(dir / "r.aur");
    EXPECT_EQ(RecordReader(dir / "r.aur").chunkCount(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir / "r.aur.tmp"));
    EXPECT_THROW(test::sineRecord(1, 10).save(dir / "no-such-folder" / "r.aur"), std::runtime_error);
}

}  // namespace
}  // namespace al::file
