#pragma once
// Writes DSF files from DSD bit streams: for tests, benchmarks and tools.
//
// The writer lays out a well-formed file (header, "fmt ", "data", no
// metadata); tests that need a malformed file patch the returned image.

#include <cstdint>
#include <filesystem>
#include <vector>

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

}  // namespace morrow::dsd
