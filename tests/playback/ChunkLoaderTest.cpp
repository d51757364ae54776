#include "playback/ChunkLoader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "RecordFiles.h"
#include "support/TempDir.h"
#include "record/Crc32.h"

namespace al::surrogate {
namespace {

using file::RecordReader;
using file::RecordWriter;

std::string failureOf(const auto& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

class ChunkLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal_ = test::testSignal(2, 2500);  // three chunks, the last one short
        RecordWriter::fromSamples(48000, 24, signal_).save(path_);
        reader_ = std::make_shared<RecordReader>(path_);
    }

    test::TempDir dir_;
    std::filesystem::path path_ = dir_ / "signal.aur";
    std::vector<std::vector<double>> signal_;
    std::shared_ptr<RecordReader> reader_;
};

TEST_F(ChunkLoaderTest, PreparesEveryChannelOfAChunk) {
    const ChunkLoader loader(reader_);
    for (std::uint64_t k = 0; k < 3; ++k) {
        const auto chunk = loader.prepareChunk(k);
        EXPECT_EQ(chunk->index, k);
        EXPECT_EQ(chunk->ownershipStart, static_cast<double>(k * 1024) / 48000.0);
        EXPECT_EQ(chunk->ownershipEnd, static_cast<double>(std::min<std::uint64_t>((k + 1) * 1024, 2500)) / 48000.0);
        ASSERT_EQ(chunk->channels.size(), 2u);
        for (std::size_t c = 0; c < 2; ++c) {
            const ChannelGeometry& g = chunk->channels[c];
            EXPECT_EQ(g.channel(), static_cast<std::int32_t>(c));
            std::size_t cursor = 0;
            const auto& points = g.segments().at(0).points();
            for (std::size_t i = 0; i + 1 < points.size(); ++i) {
                // The curve passes through its stored points; the points are
                // the samples up to the f32 offsets of the encoding.
                ASSERT_EQ(g.valueAt(points[i].time, cursor), points[i].value);
                ASSERT_NEAR(points[i].value, signal_[c][k * 1024 + i], 1e-6);
            }
        }
    }
}

TEST_F(ChunkLoaderTest, TwoPhasesGiveTheSameChunk) {
    const ChunkLoader loader(reader_);
    const LoadedBlocks loaded = loader.loadBlocks(1);
    EXPECT_EQ(loaded.chunkIndex, 1u);
    ASSERT_EQ(loaded.blocks.size(), 2u);
    EXPECT_EQ(loaded.blocks[1].header.sequence, 3u);
    const auto a = loader.prepareChunk(loaded);
    const auto b = loader.prepareChunk(1);
    std::size_t ca = 0;
    std::size_t cb = 0;
    for (double x = a->ownershipStart; x < a->ownershipEnd; x += 1.0 / 96000.0) {
        ASSERT_EQ(a->channels[1].valueAt(x, ca), b->channels[1].valueAt(x, cb));
    }
}

TEST_F(ChunkLoaderTest, RefusesBadArgumentsAndIndexes) {
    EXPECT_EQ(failureOf([] { ChunkLoader loader(nullptr); }), "ChunkLoader requires an open Auralith record");
    EXPECT_EQ(failureOf([] { ChunkLoader loader(std::make_shared<RecordReader>()); }),
              "ChunkLoader requires an open Auralith record");
    const ChunkLoader loader(reader_);
    EXPECT_THROW(loader.loadBlocks(3), std::out_of_range);
    EXPECT_EQ(failureOf([&] { loader.prepareChunk(3); }), "Playback chunk index out of range");
    EXPECT_THROW(loader.prepareChunk(LoadedBlocks{}), std::invalid_argument);
    EXPECT_EQ(failureOf([&] { loader.prepareChunk(LoadedBlocks{}); }),
              "Prepared playback chunk contains no channel blocks");
}

TEST_F(ChunkLoaderTest, ChannelsOfDifferentChunksAreNotAligned) {
    const ChunkLoader loader(reader_);
    LoadedBlocks mixed = loader.loadBlocks(0);
    mixed.blocks[1] = reader_->block(1, 1, false);
    EXPECT_EQ(failureOf([&] { loader.prepareChunk(mixed); }),
              "Decoded channel ownership intervals are not aligned");
}

TEST_F(ChunkLoaderTest, CorruptedBlockReportsItsSequenceAndChecksums) {
    // Block 3 is chunk 1 of channel 1. The file still opens (checksums are
    // checked when a block is decoded), and the other chunks still decode.
    const auto entry = reader_->allBlocks().at(3);
    reader_.reset();
    test::flipByte(path_, entry.offset + 28 + 40);
    reader_ = std::make_shared<RecordReader>(path_);

    const auto block = reader_->block(1, 1, false);
    const std::uint32_t computed = file::crc32(file::crc32(0, block.headerBytes), block.payload);
    char expected[96];
    std::snprintf(expected, sizeof expected, "CRC mismatch in block 3: stored=0x%x, computed=0x%x",
                  static_cast<unsigned>(block.storedCrc), static_cast<unsigned>(computed));

    const ChunkLoader loader(reader_);
    const LoadedBlocks loaded = loader.loadBlocks(1);  // loading does not checksum
    EXPECT_EQ(failureOf([&] { loader.prepareChunk(loaded); }), expected);
    EXPECT_EQ(failureOf([&] { loader.prepareChunk(1); }), expected);
    EXPECT_NO_THROW(loader.prepareChunk(0));
    EXPECT_NO_THROW(loader.prepareChunk(2));
}

}  // namespace
}  // namespace al::surrogate
