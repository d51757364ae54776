// Decoding ahead on a thread: the frames of the wrapped reader, read front to
// back, and its own errors.
#include "decoders/ReadAheadReader.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace al::file {
namespace {

// Frames whose values name their frame and channel; remembers every read and
// can fail from a given frame on, as a truncated file does.
class CountingReader final : public AudioFileReader {
public:
    explicit CountingReader(std::uint64_t frames, std::uint64_t failFrom = UINT64_MAX)
        : frames_(frames), failFrom_(failFrom) {}

    std::uint16_t channelCount() const noexcept override { return 2; }
    std::uint32_t sampleRate() const noexcept override { return 1000; }
    std::uint16_t bitDepth() const noexcept override { return 16; }
    std::uint64_t frameCount() const noexcept override { return frames_; }
    double durationSeconds() const noexcept override { return static_cast<double>(frames_) / 1000.0; }
    std::string formatLabel() const override { return "Counting"; }
    std::string fileChangedText() const override { return "changed"; }

    std::vector<double> ReadFrames(std::uint64_t start, std::uint64_t count) const override {
        if (start > frames_ || count > frames_ - start) {
            throw std::out_of_range("outside the file");
        }
        if (start + count > failFrom_) {
            throw std::runtime_error("the file got shorter");
        }
        {
            std::lock_guard guard(lock_);
            reads_.emplace_back(start, start + count);
        }
        std::vector<double> out;
        for (std::uint64_t f = start; f < start + count; ++f) {
            out.push_back(static_cast<double>(f));
            out.push_back(-static_cast<double>(f) - 0.5);
        }
        return out;
    }

    std::vector<std::pair<std::uint64_t, std::uint64_t>> reads() const {
        std::lock_guard guard(lock_);
        return reads_;
    }

private:
    std::uint64_t frames_;
    std::uint64_t failFrom_;
    mutable std::mutex lock_;
    mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> reads_;
};

void expectFrames(const std::vector<double>& got, std::uint64_t start, std::uint64_t count) {
    ASSERT_EQ(got.size(), 2 * count);
    for (std::uint64_t i = 0; i < count; ++i) {
        ASSERT_EQ(got[2 * i], static_cast<double>(start + i)) << "frame " << start + i;
        ASSERT_EQ(got[2 * i + 1], -static_cast<double>(start + i) - 0.5) << "frame " << start + i;
    }
}

TEST(ReadAheadReader, ChunkAfterChunkIsReadFrontToBack) {
    auto inner = std::make_shared<CountingReader>(10'000);
    ReadAheadReader reader(inner, 700, 3);
    EXPECT_EQ(reader.frameCount(), 10'000u);
    EXPECT_EQ(reader.formatLabel(), "Counting");
    EXPECT_EQ(reader.fileChangedText(), "changed");
    std::vector<double> out;
    // As the playback source asks: 1026 frames, then what follows.
    reader.ReadFramesInto(0, 1026, out);
    expectFrames(out, 0, 1026);
    for (std::uint64_t start = 1026; start < 10'000; start += 1024) {
        const std::uint64_t count = std::min<std::uint64_t>(1024, 10'000 - start);
        reader.ReadFramesInto(start, count, out);
        expectFrames(out, start, count);
    }
    EXPECT_EQ(reader.restarts(), 1u);
    // The wrapped reader never went back: each read starts where the last ended.
    std::uint64_t at = 0;
    for (const auto& [from, to] : inner->reads()) {
        EXPECT_EQ(from, at);
        at = to;
    }
    EXPECT_EQ(at, 10'000u);
}

TEST(ReadAheadReader, JumpsMoveTheWindowAndLongRequestsPassIt) {
    auto inner = std::make_shared<CountingReader>(50'000);
    ReadAheadReader reader(inner, 500, 2);
    expectFrames(reader.ReadFrames(20'000, 100), 20'000, 100);
    expectFrames(reader.ReadFrames(20'100, 100), 20'100, 100);
    expectFrames(reader.ReadFrames(3, 10), 3, 10);            // back
    expectFrames(reader.ReadFrames(40'000, 7), 40'000, 7);    // ahead, past the window
    expectFrames(reader.ReadFrames(40'007, 9'000), 40'007, 9'000);  // longer than the window
    expectFrames(reader.ReadFrames(49'007, 993), 49'007, 993);      // to the end
    EXPECT_EQ(reader.restarts(), 3u);
    EXPECT_THROW(reader.ReadFrames(49'999, 2), std::out_of_range);
}

TEST(ReadAheadReader, AFailedReadIsTheWrappedReadersOwnError) {
    auto inner = std::make_shared<CountingReader>(10'000, 5'000);
    ReadAheadReader reader(inner, 1'000, 4);
    expectFrames(reader.ReadFrames(0, 2'000), 0, 2'000);
    expectFrames(reader.ReadFrames(2'000, 2'000), 2'000, 2'000);
    try {
        (void)reader.ReadFrames(4'000, 2'000);
        FAIL() << "a read past the truncation succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the file got shorter");
    }
    // From then on every request reads directly, and what is there still reads.
    expectFrames(reader.ReadFrames(4'500, 500), 4'500, 500);
    EXPECT_THROW((void)reader.ReadFrames(4'990, 20), std::runtime_error);
}

TEST(ReadAheadReader, RefusesNoReaderAndAnEmptyWindow) {
    EXPECT_THROW(ReadAheadReader(nullptr, 10, 1), std::invalid_argument);
    EXPECT_THROW(ReadAheadReader(std::make_shared<CountingReader>(10), 0, 1), std::invalid_argument);
    EXPECT_THROW(ReadAheadReader(std::make_shared<CountingReader>(10), 10, 0), std::invalid_argument);
    // Destroyed before any request: no thread was started.
    ReadAheadReader idle(std::make_shared<CountingReader>(10), 10, 1);
}

}  // namespace
}  // namespace al::file
