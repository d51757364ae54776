#pragma once
// Writes DSF files from DSD bit streams: for tests, benchmarks and tools.
//
// The writer lays out a well-formed file (header, "fmt ", "data", no
// metadata); tests that need a malformed file patch the returned image.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "dsd/DsdSource.h"

namespace morrow::dsd {

// One channel's DSD bits in time order, packed 8 to a byte with the earliest
// bit in the most significant position. Not thread-safe; one owner.
class DsdBitStream {
public:
    void push(bool bit) {
        if (count_ % 8 == 0) {
            bytes_.push_back(0);
        }
        if (bit) {
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (0x80u >> (count_ % 8)));
        }
        ++count_;
    }
    // Eight bits at once, the first in time in the most significant bit.
    void pushByte(std::uint8_t bits) {
        if (count_ % 8 == 0) {
            bytes_.push_back(bits);
            count_ += 8;
            return;
        }
        for (unsigned k = 0; k < 8; ++k) {
            push((bits >> (7 - k) & 1u) != 0);
        }
    }
    bool at(std::uint64_t index) const noexcept {
        return (bytes_[static_cast<std::size_t>(index / 8)] >> (7 - index % 8) & 1u) != 0;
    }
    std::uint64_t size() const noexcept { return count_; }
    // The packed bits; bits of the last byte past size() are zero.
    const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
    void reserve(std::uint64_t bits) { bytes_.reserve(static_cast<std::size_t>((bits + 7) / 8)); }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t count_ = 0;
};

struct DsfWriteOptions {
    std::uint32_t rate = 2'822'400;  // DSD bits per second per channel
    std::uint32_t bitsPerSample = 1;  // 1: LSB first in each byte (the common layout); 8: MSB first
};

// The bytes of a DSF file holding the given channels (1 or 2, equal non-zero
// lengths). Bits past the end of the last block are written as zeros, as most
// DSF writers do. Throws std::invalid_argument for unusable streams or
// options; the rate is written as given so that tests can make files a reader
// refuses.
std::vector<std::uint8_t> makeDsfImage(const std::vector<DsdBitStream>& channels,
                                       const DsfWriteOptions& options);

// Writes makeDsfImage(channels, options) to path. Throws std::runtime_error
// if the file cannot be written.
void writeDsfFile(const std::filesystem::path& path, const std::vector<DsdBitStream>& channels,
                  const DsfWriteOptions& options);

// Writes an image (possibly patched) to path. Throws std::runtime_error.
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The 92 bytes before the samples of a DSF file: the "DSD " header, the
// "fmt " chunk and the "data" chunk header, for `samples` bits per channel.
std::vector<std::uint8_t> dsfHeaderBytes(std::uint32_t channels, std::uint32_t rate,
                                         std::uint32_t bitsPerSample, std::uint64_t samples);

// Writes a DSF file frame by frame, one block group (channels x 4096 bytes)
// at a time, so that a whole track never has to be held in memory. The
// sample count is fixed up front; frames past it are refused. The rest of
// the last block after the last frame holds the idle pattern, so a player
// that plays the whole block hears silence rather than a click. One owner
// thread.
class DsfFileWriter {
public:
    // Throws std::invalid_argument for a channel count other than 1 or 2, a
    // sample count of 0 or bitsPerSample other than 1 or 8, and
    // std::runtime_error("Cannot create DSF file") when the file cannot be
    // created.
    DsfFileWriter(const std::filesystem::path& path, std::uint32_t channels, std::uint32_t rate,
                  std::uint64_t samples, std::uint32_t bitsPerSample = 1);

    // One frame in the frame-word convention (16 bits per channel, earliest
    // in the most significant bit; channel 1's word is ignored for mono).
    // Throws std::logic_error past the last frame, std::runtime_error("DSF
    // write failed") when the file cannot be written.
    void writeFrame(const DsdFrame& frame);
    // Pads and writes the last block group and closes the file. Throws
    // std::logic_error unless every frame was written, std::runtime_error
    // ("DSF write failed") on a write failure.
    void finish();

    std::uint64_t framesWritten() const noexcept { return written_; }
    std::uint64_t frameCount() const noexcept { return frames_; }

private:
    void flushGroup();

    std::ofstream file_;
    std::uint32_t channels_;
    std::uint32_t bitsPerSample_;
    std::uint64_t frames_;
    std::uint64_t written_ = 0;
    std::vector<std::uint8_t> group_;  // channels x 4096 bytes
    std::size_t inGroup_ = 0;          // frames in group_
    std::uint8_t idle_ = kDsdIdleByte;  // the idle byte in the file's bit order
    bool finished_ = false;
};

}  // namespace morrow::dsd
