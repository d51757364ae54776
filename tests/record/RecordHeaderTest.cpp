// Whole-image rules: file header, block walk, footer and per-channel ownership.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "record/RecordFormat.h"
#include "support/RecordImages.h"

namespace al::file {
namespace {

using test::peek;
using test::poke;

std::string indexError(const std::vector<std::byte>& image) {
    try {
        indexRecordImage(image);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "accepted";
}

// An empty record: header plus footer, 45 bytes.
std::vector<std::byte> emptyRecord() {
    return RecordWriter(makeRecordHeader(1, 48000, 16, 0)).image();
}

// 2 channels, 3 chunks (2500 frames), canonical order.
std::vector<std::byte> threeChunkRecord() { return test::sineRecord(2, 2500).image(); }

// Offset of the i-th block header in file order.
std::size_t blockOffset(const std::vector<std::byte>& image, std::size_t i) {
    std::size_t offset = kFileHeaderSize;
    for (std::size_t k = 0; k < i; ++k) {
        offset += kBlockHeaderSize + peek<std::uint32_t>(image, offset + test::kBlockPayloadSizeAt) +
                  kBlockChecksumSize;
    }
    return offset;
}

TEST(RecordHeader, EveryRuleWithItsMessageInOrder) {
    struct Case {
        const char* name;
        std::function<void(std::vector<std::byte>&)> mutate;
        const char* message;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"magic", [](auto& b) { b[2] = std::byte{'X'}; }, "Invalid Auralith file magic"},
        {"magic before version",
         [](auto& b) {
             b[0] = std::byte{'a'};
             b[test::kVersionAt] = std::byte{3};
         },
         "Invalid Auralith file magic"},
        {"version", [](auto& b) { b[test::kVersionAt] = std::byte{1}; },
         "Unsupported Auralith file version"},
        {"version before channels",
         [](auto& b) {
             b[test::kVersionAt] = std::byte{3};
             poke<std::uint16_t>(b, test::kChannelsAt, 0);
         },
         "Unsupported Auralith file version"},
        {"revision", [](auto& b) { b[test::kRevisionAt] = std::byte{1}; },
         "Unsupported Auralith file revision"},
        {"channels", [](auto& b) { poke<std::uint16_t>(b, test::kChannelsAt, 0); },
         "Auralith record has zero channels"},
        {"rate zero", [](auto& b) { poke<std::uint32_t>(b, test::kRateAt, 0); },
         "Auralith captured sample rate is invalid"},
        {"rate too high", [](auto& b) { poke<std::uint32_t>(b, test::kRateAt, 12'288'001); },
         "Auralith captured sample rate is invalid"},
        {"bits 20", [](auto& b) { poke<std::uint32_t>(b, test::kBitsAt, 20); },
         "Auralith captured bit depth is unsupported"},
        {"bits 48", [](auto& b) { poke<std::uint32_t>(b, test::kBitsAt, 48); },
         "Auralith captured bit depth is unsupported"},
        {"peak negative", [](auto& b) { poke(b, test::kPeakAt, -0.25); },
         "Auralith source peak is invalid"},
        {"peak nan", [nan](auto& b) { poke(b, test::kPeakAt, nan); },
         "Auralith source peak is invalid"},
        {"peak inf", [inf](auto& b) { poke(b, test::kPeakAt, inf); },
         "Auralith source peak is invalid"},
        {"duration nan", [nan](auto& b) { poke(b, test::kDurationAt, nan); },
         "Auralith duration is invalid"},
        {"duration negative", [](auto& b) { poke(b, test::kDurationAt, -1.0); },
         "Auralith duration is invalid"},
        {"duration disagrees", [](auto& b) { poke(b, test::kDurationAt, 1.0); },
         "Auralith duration disagrees with frame count/sample rate"},
    };
    for (const auto& c : cases) {
        auto image = emptyRecord();
        c.mutate(image);
        EXPECT_EQ(indexError(image), c.message) << c.name;
    }
}

TEST(RecordHeader, AcceptedBoundaryValues) {
    auto image = emptyRecord();
    poke<std::uint32_t>(image, test::kBitsAt, 64);
    poke(image, test::kPeakAt, -0.0);  // not less than 0
    poke<std::uint32_t>(image, test::kRateAt, 12'288'000);
    EXPECT_EQ(indexError(image), "accepted");
    for (std::uint32_t bits : {8u, 16u, 24u, 32u}) {
        poke<std::uint32_t>(image, test::kBitsAt, bits);
        EXPECT_EQ(indexError(image), "accepted") << bits;
    }
}

TEST(RecordHeader, DurationToleranceIsHalfAFrame) {
    // frameCount 3 at 4 Hz: 0.75 s, tolerance 0.125 s; binary fractions are exact.
    std::vector<std::byte> header = emptyRecord();
    header.resize(kFileHeaderSize);
    poke<std::uint32_t>(header, test::kRateAt, 4);
    poke<std::uint64_t>(header, test::kFramesAt, 3);
    for (double duration : {0.625, 0.75, 0.875}) {
        poke(header, test::kDurationAt, duration);
        EXPECT_NO_THROW(parseFileHeader(header)) << duration;
    }
    for (double duration : {0.62, 0.88}) {
        poke(header, test::kDurationAt, duration);
        EXPECT_THROW(parseFileHeader(header), std::runtime_error) << duration;
    }
    // At the highest rate half a frame is about 4.07e-8 s.
    poke<std::uint32_t>(header, test::kRateAt, 12'288'000);
    poke<std::uint64_t>(header, test::kFramesAt, 12'288'000);
    poke(header, test::kDurationAt, 1.0 + 3e-8);
    EXPECT_NO_THROW(parseFileHeader(header));
    poke(header, test::kDurationAt, 1.0 + 5e-8);
    EXPECT_THROW(parseFileHeader(header), std::runtime_error);
}

TEST(RecordHeader, ParseFunctionsCheckSpanSizes) {
    const auto image = emptyRecord();
    const std::span<const std::byte> bytes(image);
    try {
        parseFileHeader(bytes.first(38));
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid Auralith file-header size");
    }
    try {
        parseBlockHeader(bytes.first(29));
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid Auralith block-header size");
    }
}

TEST(RecordWalk, EmptyRecordAndItsNeighbours) {
    auto image = emptyRecord();
    ASSERT_EQ(image.size(), 45u);
    const RecordIndex index = indexRecordImage(image);
    EXPECT_TRUE(index.allBlocks.empty());
    ASSERT_EQ(index.channelBlocks.size(), 1u);

    // One frame and a duration that agrees: the header passes, the record fails.
    poke<std::uint64_t>(image, test::kFramesAt, 1);
    poke(image, test::kDurationAt, 1.0 / 48000.0);
    EXPECT_EQ(indexError(image), "Auralith record contains no blocks");

    auto trailing = emptyRecord();
    trailing.push_back(std::byte{0});
    EXPECT_EQ(indexError(trailing), "Truncated Auralith block before footer");

    auto badFooter = emptyRecord();
    badFooter.back() = std::byte{'X'};
    EXPECT_EQ(indexError(badFooter), "Auralith footer is missing or malformed");

    auto noFooter = emptyRecord();
    noFooter.resize(44);
    EXPECT_EQ(indexError(noFooter), "Auralith record is too small");
}

TEST(RecordWalk, BlockHeaderRulesInOrder) {
    struct Case {
        const char* name;
        std::function<void(std::vector<std::byte>&, std::size_t)> mutate;
        const char* message;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"segments", [](auto& b, auto o) { poke<std::uint16_t>(b, o + test::kBlockSegmentsAt, 0); },
         "Auralith block has no segments"},
        {"segments before channel",
         [](auto& b, auto o) {
             poke<std::uint16_t>(b, o + test::kBlockSegmentsAt, 0);
             poke<std::uint16_t>(b, o + test::kBlockChannelAt, 9);
         },
         "Auralith block has no segments"},
        {"payload zero",
         [](auto& b, auto o) { poke<std::uint32_t>(b, o + test::kBlockPayloadSizeAt, 0); },
         "Auralith block payload size is invalid"},
        {"payload too large",
         [](auto& b, auto o) {
             poke<std::uint32_t>(b, o + test::kBlockPayloadSizeAt, 0x10000001);
         },
         "Auralith block payload size is invalid"},
        {"payload at the cap but beyond the file",
         [](auto& b, auto o) {
             poke<std::uint32_t>(b, o + test::kBlockPayloadSizeAt, 0x10000000);
         },
         "Auralith block payload extends beyond file"},
        {"interval empty",
         [](auto& b, auto o) {
             poke(b, o + test::kBlockEndAt, peek<double>(b, o + test::kBlockStartAt));
         },
         "Auralith block ownership interval is invalid"},
        {"interval nan", [nan](auto& b, auto o) { poke(b, o + test::kBlockStartAt, nan); },
         "Auralith block ownership interval is invalid"},
        {"channel", [](auto& b, auto o) { poke<std::uint16_t>(b, o + test::kBlockChannelAt, 2); },
         "Auralith block channel exceeds file channel count"},
        {"channel before sequence",
         [](auto& b, auto o) {
             poke<std::uint16_t>(b, o + test::kBlockChannelAt, 2);
             poke<std::uint32_t>(b, o + test::kBlockSequenceAt, 7);
         },
         "Auralith block channel exceeds file channel count"},
        {"sequence", [](auto& b, auto o) { poke<std::uint32_t>(b, o + test::kBlockSequenceAt, 4); },
         "Auralith block sequence is missing or reordered"},
        {"payload runs into footer",
         [](auto& b, auto o) {
             const auto size = peek<std::uint32_t>(b, o + test::kBlockPayloadSizeAt);
             poke<std::uint32_t>(b, o + test::kBlockPayloadSizeAt, size + 1);
         },
         "Auralith block payload extends beyond file"},
    };
    for (const auto& c : cases) {
        auto image = threeChunkRecord();
        const std::size_t last = blockOffset(image, 5);  // the final block
        c.mutate(image, last);
        EXPECT_EQ(indexError(image), c.message) << c.name;
    }
}

TEST(RecordWalk, BlockCountFollowsFrameCount) {
    for (std::uint64_t frames : {1ull, 1023ull, 1024ull, 1025ull, 2048ull, 2049ull}) {
        const RecordIndex index = indexRecordImage(test::sineRecord(2, frames).image());
        const std::uint64_t chunks = (frames + 1023) / 1024;
        EXPECT_EQ(index.channelBlocks[0].size(), chunks) << frames;
        EXPECT_EQ(index.channelBlocks[1].size(), chunks) << frames;
        EXPECT_EQ(index.allBlocks.size(), 2 * chunks) << frames;
    }
    // Claiming one frame more than 2 chunks hold needs a third block.
    auto image = test::sineRecord(1, 2048).image();
    poke<std::uint64_t>(image, test::kFramesAt, 2049);
    poke(image, test::kDurationAt, 2049.0 / 48000.0);
    EXPECT_EQ(indexError(image), "Auralith channel has an unexpected block count");
}

TEST(RecordWalk, BothBlockOrdersIndexPerChannel) {
    const auto writer = test::sineRecord(3, 2500);
    for (auto order : {BlockOrder::Canonical, BlockOrder::ChannelByChannel}) {
        const RecordIndex index = indexRecordImage(writer.image(order));
        ASSERT_EQ(index.allBlocks.size(), 9u);
        for (std::size_t i = 0; i < index.allBlocks.size(); ++i) {
            EXPECT_EQ(index.allBlocks[i].sequence, i);
            const auto expectedChannel = order == BlockOrder::Canonical ? i % 3 : i / 3;
            EXPECT_EQ(index.allBlocks[i].channel, expectedChannel);
        }
        for (std::uint16_t c = 0; c < 3; ++c) {
            ASSERT_EQ(index.channelBlocks[c].size(), 3u);
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_EQ(index.channelBlocks[c][k].channel, c);
                EXPECT_EQ(index.channelBlocks[c][k].ownershipStart, writer.chunkStart(k));
            }
        }
    }
}

TEST(RecordOwnership, ContinuityToleranceAtScaleOne) {
    // A one-chunk mono record whose block starts slightly after zero.
    auto make = [](double start) {
        auto writer = test::sineRecord(1, 1000);
        writer.blocks()[0].ownershipStart = start;
        return writer.image();
    };
    EXPECT_EQ(indexError(make(1e-15)), "accepted");
    EXPECT_EQ(indexError(make(-1e-15)), "accepted");
    EXPECT_EQ(indexError(make(1e-13)), "Auralith channel ownership intervals are discontinuous");
}

TEST(RecordOwnership, GapsFinalEdgeZeroFramesAndAlignment) {
    {
        auto writer = test::sineRecord(1, 2500);
        writer.blocks()[1].ownershipStart += 1e-6;
        EXPECT_EQ(indexError(writer.image()),
                  "Auralith channel ownership intervals are discontinuous");
    }
    {
        auto writer = test::sineRecord(1, 2500);
        writer.blocks()[2].ownershipEnd += 1.0 / 48000.0;  // a whole frame too long
        EXPECT_EQ(indexError(writer.image()),
                  "Auralith final ownership interval disagrees with duration");
    }
    {
        auto writer = test::sineRecord(1, 2500);
        writer.blocks()[2].ownershipEnd += 0.4 / 48000.0;  // within half a frame
        EXPECT_EQ(indexError(writer.image()), "accepted");
    }
    {
        auto writer = test::sineRecord(1, 1000);
        writer.header().frameCount = 0;
        writer.header().duration = 0.0;
        EXPECT_EQ(indexError(writer.image()), "Zero-frame Auralith record contains blocks");
    }
    {
        // Channel 1 differs from channel 0 in the last bit of one bound; each
        // channel on its own is still continuous.
        auto writer = test::sineRecord(2, 2500);
        for (auto& block : writer.blocks()) {
            if (block.channel == 1 && block.chunk == 1) {
                block.ownershipEnd = std::nextafter(block.ownershipEnd, 1.0);
            }
            if (block.channel == 1 && block.chunk == 2) {
                block.ownershipStart = std::nextafter(block.ownershipStart, 1.0);
            }
        }
        EXPECT_EQ(indexError(writer.image()),
                  "Auralith channel ownership intervals are not aligned");
    }
}

TEST(RecordBlocks, ViewChecksAgainstTheIndex) {
    const auto image = threeChunkRecord();
    const RecordIndex index = indexRecordImage(image);
    const BlockIndexEntry entry = index.channelBlocks[1][2];

    const BlockView view = viewIndexedBlock(image, entry, true);
    EXPECT_EQ(view.header.sequence, 5u);
    EXPECT_EQ(view.headerBytes.data(), image.data() + entry.offset);
    EXPECT_EQ(view.payload.data(), image.data() + entry.offset + kBlockHeaderSize);
    EXPECT_EQ(view.payload.size(), entry.payloadSize);

    auto expectError = [&](BlockIndexEntry e, const char* message) {
        try {
            viewIndexedBlock(image, e, false);
            ADD_FAILURE() << message;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), message);
        }
    };
    BlockIndexEntry moved = entry;
    moved.ownershipEnd = std::nextafter(moved.ownershipEnd, 0.0);
    expectError(moved, "Auralith block changed after indexing");
    BlockIndexEntry resized = entry;
    resized.payloadSize += 1;
    expectError(resized, "Auralith block changed after indexing");
    BlockIndexEntry beyond = entry;
    beyond.offset = image.size() - 20;
    expectError(beyond, "Auralith block extends beyond mapped image");
    beyond.offset = image.size() + 100;
    expectError(beyond, "Auralith block extends beyond mapped image");
}

}  // namespace
}  // namespace al::file
