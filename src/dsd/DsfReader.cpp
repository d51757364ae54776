#include "dsd/DsfReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace morrow::dsd {

namespace {

constexpr std::uint64_t kBitsPerBlock = std::uint64_t{kDsfBlockBytes} * 8;
constexpr std::uint64_t kFramesPerBlockGroup = kDsfBlockBytes / 2;
// The largest sample count whose block count can be rounded up without
// overflowing 64 bits.
constexpr std::uint64_t kMaxSampleCount = std::numeric_limits<std::uint64_t>::max() - 32'769;

std::uint32_t le32(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::uint64_t le64(const std::uint8_t* p) noexcept {
    return std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
}

bool hasId(const std::uint8_t* p, std::string_view id) noexcept {
    return std::memcmp(p, id.data(), 4) == 0;
}

std::uint8_t reverseBits(std::uint8_t v) noexcept {
    v = static_cast<std::uint8_t>((v & 0xF0) >> 4 | (v & 0x0F) << 4);
    v = static_cast<std::uint8_t>((v & 0xCC) >> 2 | (v & 0x33) << 2);
    v = static_cast<std::uint8_t>((v & 0xAA) >> 1 | (v & 0x55) << 1);
    return v;
}

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

DsfReader::DsfReader(const std::filesystem::path& path) {
    file_.open(path, std::ios::binary);
    if (!file_.is_open()) {
        fail("Cannot open DSF");
    }
    // Throws std::filesystem::filesystem_error naming "file_size".
    const std::uint64_t fileSize = std::filesystem::file_size(path);

    std::uint8_t header[kDsfHeaderSize];
    readExact(0, header, sizeof header);
    if (!hasId(header, "DSD ") || le64(header + 4) != kDsfHeaderSize) {
        fail("Not a supported DSF file");
    }
    if (le64(header + 12) != fileSize) {
        fail("DSF declared size mismatch");
    }
    const std::uint64_t metadataPointer = le64(header + 20);

    bool fmtSeen = false;
    std::uint64_t offset = kDsfHeaderSize;
    while (fileSize - offset >= kDsfChunkHeaderSize) {
        std::uint8_t chunk[kDsfChunkHeaderSize];
        readExact(offset, chunk, sizeof chunk);
        const std::uint64_t chunkSize = le64(chunk + 4);
        if (chunkSize < kDsfChunkHeaderSize || chunkSize > fileSize - offset) {
            fail("DSF chunk outside file");
        }
        if (hasId(chunk, "fmt ")) {
            if (fmtSeen || chunkSize != kDsfFmtChunkSize) {
                fail("Unsupported DSF fmt");
            }
            std::uint8_t fmt[kDsfFmtChunkSize - kDsfChunkHeaderSize];
            readExact(offset + kDsfChunkHeaderSize, fmt, sizeof fmt);
            // Offsets below are relative to the end of the chunk header.
            const std::uint32_t version = le32(fmt + 0);
            const std::uint32_t formatId = le32(fmt + 4);
            const std::uint32_t channelType = le32(fmt + 8);
            const std::uint32_t channels = le32(fmt + 12);
            const std::uint32_t rate = le32(fmt + 16);
            const std::uint32_t bitsPerSample = le32(fmt + 20);
            const std::uint64_t sampleCount = le64(fmt + 24);
            const std::uint32_t blockSize = le32(fmt + 32);
            if (version != 1 || formatId != 0) {
                fail("Unsupported DSF encoding");
            }
            if (channels != 1 && channels != 2) {
                fail("DSF source supports mono/stereo");
            }
            if (channelType != channels) {
                fail("Unsupported speaker layout");
            }
            if (bitsPerSample != 1 && bitsPerSample != 8) {
                fail("Unsupported DSF bit order");
            }
            if (blockSize != kDsfBlockBytes) {
                fail("Unsupported DSF block size");
            }
            if (rate < kDsfMinRate || rate > kDsfMaxRate || rate % 16 != 0 || sampleCount < 1 ||
                sampleCount > kMaxSampleCount) {
                fail("Invalid DSF clock/count");
            }
            info_.channels = channels;
            info_.rate = rate;
            info_.sampleCount = sampleCount;
            bitsPerSample_ = bitsPerSample;
            fmtSeen = true;
            offset += kDsfFmtChunkSize;
        } else if (hasId(chunk, "data")) {
            if (!fmtSeen) {
                fail("Unexpected DSF data chunk");
            }
            const std::uint64_t blocks =
                info_.sampleCount / kBitsPerBlock + (info_.sampleCount % kBitsPerBlock != 0 ? 1 : 0);
            const std::uint64_t groupBytes = std::uint64_t{info_.channels} * kDsfBlockBytes;
            if (blocks > (std::numeric_limits<std::uint64_t>::max() - kDsfChunkHeaderSize) / groupBytes) {
                fail("DSF data overflow");
            }
            if (chunkSize != blocks * groupBytes + kDsfChunkHeaderSize) {
                fail("DSF payload size mismatch");
            }
            if (metadataPointer != 0 && metadataPointer != offset + chunkSize) {
                fail("Invalid DSF metadata pointer");
            }
            blocksPerChannel_ = blocks;
            dataOffset_ = offset + kDsfChunkHeaderSize;
            info_.frameCount = (info_.sampleCount + 15) / 16;
            buffer_.assign(groupBytes, 0);
            return;  // chunks after the data (metadata) are not ours to read
        } else {
            fail("Unsupported chunk before DSF data");
        }
    }
    fail("Missing DSF data");
}

void DsfReader::readExact(std::uint64_t offset, std::uint8_t* into, std::size_t count) {
    // A previous failure leaves the stream's error flags set; clear them so
    // that one bad read does not poison every later one.
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!file_) {
        fail("DSF read failed/truncated");
    }
    file_.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
    if (!file_ || file_.gcount() != static_cast<std::streamsize>(count)) {
        fail("DSF read failed/truncated");
    }
}

void DsfReader::loadBlockGroup(std::uint64_t group) {
    // Forget the old group first: a read that fails half way must not leave
    // mixed bytes labelled as a valid group.
    bufferedGroup_ = -1;
    readExact(dataOffset_ + group * buffer_.size(), buffer_.data(), buffer_.size());
    bufferedGroup_ = static_cast<std::int64_t>(group);
}

DsdFrame DsfReader::readFrame(std::uint64_t index) {
    if (index >= info_.frameCount) {
        throw std::out_of_range("DSF frame outside recording");
    }
    DsdFrame frame{};
    readFrames(index, 1, &frame);
    return frame;
}

void DsfReader::readFrames(std::uint64_t first, std::size_t count, DsdFrame* out) {
    if (first > info_.frameCount || count > info_.frameCount - first) {
        throw std::out_of_range("DSF frame outside recording");
    }
    // Bytes in the order readFrame puts them in a word.
    static const std::array<std::uint8_t, 256> kOrder = [] {
        std::array<std::uint8_t, 256> table{};
        for (unsigned v = 0; v < 256; ++v) {
            table[v] = reverseBits(static_cast<std::uint8_t>(v));
        }
        return table;
    }();
    const bool reverse = bitsPerSample_ == 1;
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t index = first + done;
        const std::uint64_t group = index / kFramesPerBlockGroup;
        if (bufferedGroup_ < 0 || static_cast<std::uint64_t>(bufferedGroup_) != group) {
            loadBlockGroup(group);
        }
        const auto within = static_cast<std::size_t>(index % kFramesPerBlockGroup);
        const std::size_t take = std::min<std::size_t>(count - done, kFramesPerBlockGroup - within);
        for (std::size_t c = 0; c < 2; ++c) {
            const std::size_t source = info_.channels == 1 ? 0 : c;
            const std::uint8_t* bytes = buffer_.data() + source * kDsfBlockBytes + 2 * within;
            for (std::size_t k = 0; k < take; ++k) {
                const std::uint8_t a = reverse ? kOrder[bytes[2 * k]] : bytes[2 * k];
                const std::uint8_t b = reverse ? kOrder[bytes[2 * k + 1]] : bytes[2 * k + 1];
                out[done + k][c] = static_cast<std::uint16_t>(a << 8 | b);
            }
        }
        done += take;
    }
    const std::uint64_t valid = info_.sampleCount % 16;
    if (count != 0 && first + count == info_.frameCount && valid != 0) {
        const auto tail = static_cast<std::uint16_t>((1u << (16 - valid)) - 1);
        for (auto& word : out[count - 1]) {
            word = static_cast<std::uint16_t>((word & ~tail) | (kDsdIdleWord & tail));
        }
    }
}

}  // namespace morrow::dsd
