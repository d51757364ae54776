#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "dsd/DsfReader.h"
#include "dsd/DsfWriter.h"

namespace {

using morrow::dsd::DsdBitStream;
using morrow::dsd::DsfReader;
using morrow::dsd::DsfWriteOptions;
using Image = std::vector<std::uint8_t>;

// Byte offsets in a file laid out by the writer: header, "fmt " at 28, "data" at 80.
constexpr std::size_t kTotalSize = 12, kMetadata = 20, kFmt = 28, kFmtSize = 32, kVersion = 40,
                      kFormatId = 44, kChannelType = 48, kChannels = 52, kRate = 56, kBits = 60,
                      kSamples = 64, kBlockSize = 72, kData = 80, kDataSize = 84;

DsdBitStream randomBits(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    DsdBitStream bits;
    for (std::uint64_t i = 0; i < count; ++i) {
        bits.push((rng() & 1u) != 0);
    }
    return bits;
}

void put32(Image& image, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(Image& image, std::size_t at, std::uint64_t v) {
    put32(image, at, static_cast<std::uint32_t>(v));
    put32(image, at + 4, static_cast<std::uint32_t>(v >> 32));
}
void fixTotalSize(Image& image) { put64(image, kTotalSize, image.size()); }

Image smallImage(std::uint32_t channels = 2) {
    std::vector<DsdBitStream> streams;
    for (std::uint32_t c = 0; c < channels; ++c) streams.push_back(randomBits(1000, 7 + c));
    return morrow::dsd::makeDsfImage(streams, {});
}

std::string openError(const std::filesystem::path& path) {
    try {
        DsfReader reader(path);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(opened)";
}

class DsfReaderTest : public ::testing::Test {
protected:
    std::string errorFor(const Image& image) {
        const auto path = dir / ("case" + std::to_string(counter++) + ".dsf");
        morrow::dsd::writeBytes(path, image);
        return openError(path);
    }
    std::filesystem::path write(const std::vector<DsdBitStream>& streams, const DsfWriteOptions& options) {
        const auto path = dir / ("file" + std::to_string(counter++) + ".dsf");
        morrow::dsd::writeDsfFile(path, streams, options);
        return path;
    }
    al::test::TempDir dir;
    int counter = 0;
};

// Words are 16 bits in time order, earliest in the MSB, for either bit order in
// the file, across block groups and in any access order; the last word's
// trailing bits follow the idle word 0x6969.
TEST_F(DsfReaderTest, WordsFollowTheBitsInBothBitOrders) {
    const std::uint64_t samples = 2 * 32'768 + 16 * 100 + 5;  // three block groups, ragged end
    const std::vector<DsdBitStream> streams{randomBits(samples, 1), randomBits(samples, 2)};
    DsfReader lsbFirst(write(streams, {2'822'400, 1}));
    DsfReader msbFirst(write(streams, {2'822'400, 8}));
    const auto info = lsbFirst.info();
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.rate, 2'822'400u);
    EXPECT_EQ(info.sampleCount, samples);
    EXPECT_EQ(info.frameCount, (samples + 15) / 16);
    EXPECT_EQ(lsbFirst.bitsPerSample(), 1u);
    EXPECT_EQ(msbFirst.bitsPerSample(), 8u);

    std::vector<std::uint64_t> order;
    for (std::uint64_t i = info.frameCount; i-- > 0;) order.push_back(i);  // backwards: reloads groups
    for (const std::uint64_t i : order) {
        const auto a = lsbFirst.readFrame(i);
        ASSERT_EQ(a, msbFirst.readFrame(i)) << "frame " << i;
        for (std::size_t c = 0; c < 2; ++c) {
            for (unsigned k = 0; k < 16; ++k) {
                const std::uint64_t n = 16 * i + k;
                const bool expected = n < samples ? streams[c].at(n) : ((0x6969u >> (15 - k)) & 1u) != 0;
                ASSERT_EQ(((a[c] >> (15 - k)) & 1u) != 0, expected) << "frame " << i << " bit " << k;
            }
        }
    }
    EXPECT_THROW(lsbFirst.readFrame(info.frameCount), std::out_of_range);
    try {
        lsbFirst.readFrame(info.frameCount);
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "DSF frame outside recording");
    }
}

// Runs of frames read in one call are the frames readFrame gives one by one:
// across block groups, up to the ragged end, in both bit orders and in mono.
TEST_F(DsfReaderTest, ARunOfFramesIsTheFramesOneByOne) {
    const std::uint64_t samples = 2 * 32'768 + 16 * 100 + 5;
    const std::vector<DsdBitStream> stereo{randomBits(samples, 5), randomBits(samples, 6)};
    for (const auto& [streams, bits] : {std::pair{stereo, 1u}, std::pair{stereo, 8u},
                                        std::pair{std::vector<DsdBitStream>{stereo[0]}, 1u}}) {
        DsfReader single(write(streams, {2'822'400, bits}));
        DsfReader runs(write(streams, {2'822'400, bits}));
        const std::uint64_t frames = single.info().frameCount;
        std::mt19937 rng(11);
        for (int trial = 0; trial < 40; ++trial) {
            const std::uint64_t first = trial == 0 ? 0 : rng() % frames;
            const std::size_t count =
                trial == 1 ? static_cast<std::size_t>(frames - first) : std::min<std::size_t>(rng() % 5000, frames - first);
            std::vector<morrow::dsd::DsdFrame> got(count);
            runs.readFrames(first, count, got.data());
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(got[k], single.readFrame(first + k)) << "frame " << first + k << " bits " << bits;
            }
        }
        std::vector<morrow::dsd::DsdFrame> last(1);
        runs.readFrames(frames - 1, 1, last.data());
        EXPECT_EQ(last[0], single.readFrame(frames - 1));
        EXPECT_THROW(runs.readFrames(frames - 1, 2, last.data()), std::out_of_range);
        runs.readFrames(frames, 0, last.data());  // an empty run at the end reads nothing
    }
}

TEST_F(DsfReaderTest, MonoGivesEqualWordsAndTheRateLimitsAreAccepted) {
    DsfReader mono(write({randomBits(40, 3)}, {2'822'400, 1}));
    EXPECT_EQ(mono.info().channels, 1u);
    for (std::uint64_t i = 0; i < mono.info().frameCount; ++i) {
        const auto frame = mono.readFrame(i);
        EXPECT_EQ(frame[0], frame[1]);
    }
    EXPECT_EQ(DsfReader(write({randomBits(16, 4)}, {90'316'800, 8})).info().rate, 90'316'800u);
}

// Builds a file whose fmt chunk has several faults and removes them one at a
// time: each step must report the next fault in the documented order.
TEST_F(DsfReaderTest, FmtFaultsAreReportedInOrder) {
    Image image = smallImage();
    const std::vector<std::pair<std::function<void(Image&)>, const char*>> faults = {
        {[](Image& m) { put32(m, kVersion, 1); }, "Unsupported DSF encoding"},
        {[](Image& m) { put32(m, kFormatId, 0); }, "Unsupported DSF encoding"},
        {[](Image& m) { put32(m, kChannels, 2); }, "DSF source supports mono/stereo"},
        {[](Image& m) { put32(m, kChannelType, 2); }, "Unsupported speaker layout"},
        {[](Image& m) { put32(m, kBits, 1); }, "Unsupported DSF bit order"},
        {[](Image& m) { put32(m, kBlockSize, 4096); }, "Unsupported DSF block size"},
        {[](Image& m) { put32(m, kRate, 2'822'400); }, "Invalid DSF clock/count"},
    };
    put32(image, kVersion, 2);
    put32(image, kFormatId, 1);
    put32(image, kChannels, 3);
    put32(image, kChannelType, 4);
    put32(image, kBits, 4);
    put32(image, kBlockSize, 2048);
    put32(image, kRate, 2'822'401);
    for (const auto& [fix, message] : faults) {
        EXPECT_EQ(errorFor(image), message);
        fix(image);
    }
    EXPECT_EQ(errorFor(image), "(opened)");
}

TEST_F(DsfReaderTest, ClockAndCountLimits) {
    const Image good = smallImage();
    const std::vector<std::pair<std::size_t, std::uint64_t>> bad = {
        {kRate, 2'822'384},              // below DSD64
        {kRate, 90'316'816},             // above DSD2048
        {kRate, 2'822'408},              // not a multiple of 16
        {kSamples, 0},                   // empty track
        {kSamples, ~std::uint64_t{0} - 32'768},  // one past the largest count
    };
    for (const auto& [at, value] : bad) {
        Image image = good;
        if (at == kSamples) put64(image, at, value); else put32(image, at, static_cast<std::uint32_t>(value));
        EXPECT_EQ(errorFor(image), "Invalid DSF clock/count") << value;
    }
    // The largest count is valid as a clock/count; it then fails on the payload.
    Image largest = good;
    put64(largest, kSamples, ~std::uint64_t{0} - 32'769);
    EXPECT_EQ(errorFor(largest), "DSF payload size mismatch");
}

TEST_F(DsfReaderTest, HeaderAndChunkFaults) {
    const Image good = smallImage();
    const auto patched = [&](const std::function<void(Image&)>& patch) {
        Image image = good;
        patch(image);
        return image;
    };
    EXPECT_EQ(openError(dir / "missing.dsf"), "Cannot open DSF");
    EXPECT_EQ(errorFor(Image(good.begin(), good.begin() + 20)), "DSF read failed/truncated");
    EXPECT_EQ(errorFor(patched([](Image& m) { m[3] = 'X'; })), "Not a supported DSF file");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, 4, 29); })), "Not a supported DSF file");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, kTotalSize, m.size() + 1); })),
              "DSF declared size mismatch");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, kFmtSize, 11); })), "DSF chunk outside file");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, kDataSize, m.size() - kData + 1); })),
              "DSF chunk outside file");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, kFmtSize, 60); })), "Unsupported DSF fmt");
    // A second "fmt " in place of the data chunk.
    EXPECT_EQ(errorFor(patched([](Image& m) {
                  std::memcpy(&m[kData], &m[kFmt], 52);
              })),
              "Unsupported DSF fmt");
    EXPECT_EQ(errorFor(patched([](Image& m) { std::memcpy(&m[kFmt], "data", 4); })),
              "Unexpected DSF data chunk");
    EXPECT_EQ(errorFor(patched([](Image& m) { std::memcpy(&m[kFmt], "LIST", 4); })),
              "Unsupported chunk before DSF data");
    EXPECT_EQ(errorFor(patched([](Image& m) {
                  m.resize(m.size() + 4096);
                  fixTotalSize(m);
                  put64(m, kDataSize, m.size() - kData);
              })),
              "DSF payload size mismatch");
    EXPECT_EQ(errorFor(patched([](Image& m) { put64(m, kMetadata, 12345); })),
              "Invalid DSF metadata pointer");
    EXPECT_EQ(errorFor(patched([](Image& m) {
                  m.resize(kData + 11);  // fewer than 12 bytes left: the walk ends
                  fixTotalSize(m);
              })),
              "Missing DSF data");
    EXPECT_EQ(errorFor(patched([](Image& m) {
                  m.resize(28);
                  fixTotalSize(m);
              })),
              "Missing DSF data");
}

// A metadata chunk after the data is allowed when the header points at it, and
// whatever follows the data chunk is never read.
TEST_F(DsfReaderTest, ChunksAfterTheDataAreIgnored) {
    Image image = smallImage();
    const std::uint64_t dataEnd = image.size();
    const char junk[] = "ID3 \xff\xff\xff\xff\xff\xff\xff\xff garbage";
    image.insert(image.end(), junk, junk + sizeof junk);
    fixTotalSize(image);
    put64(image, kMetadata, dataEnd);
    EXPECT_EQ(errorFor(image), "(opened)");
    put64(image, kMetadata, 0);
    EXPECT_EQ(errorFor(image), "(opened)");
}

TEST_F(DsfReaderTest, AFailedReadLeavesTheReaderUsable) {
    const std::uint64_t samples = 2 * 32'768;
    const auto path = write({randomBits(samples, 5)}, {2'822'400, 8});
    DsfReader reader(path);
    const auto first = reader.readFrame(0);
    try {
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 4096);
    } catch (const std::filesystem::filesystem_error&) {
        GTEST_SKIP() << "this platform does not shorten an open file";
    }
    EXPECT_THROW(reader.readFrame(2048), std::runtime_error);  // second block group is gone
    EXPECT_EQ(reader.readFrame(0), first);
    EXPECT_THROW(reader.readFrame(2048), std::runtime_error);
}

}  // namespace
