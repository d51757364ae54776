#include "record/RecordFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "record/ByteCursor.h"
#include "record/Crc32.h"

namespace al::file {

namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// Half a captured frame, never less than a picosecond.
double durationTolerance(std::uint32_t sampleRate) {
    return std::max(0.5 / static_cast<double>(sampleRate), 1e-12);
}

constexpr double kTwoPowMinus45 = 2.842170943040401e-14;

void walkBlocks(std::span<const std::byte> image, RecordIndex& index) {
    const std::uint64_t size = image.size();
    std::uint64_t offset = kFileHeaderSize;
    std::uint32_t counter = 0;
    index.channelBlocks.assign(index.header.channelCount, {});
    for (;;) {
        const std::uint64_t remaining = size - offset;
        if (remaining == kFooterSize) {
            if (std::memcmp(image.data() + offset, "AUREND", kFooterSize) != 0) {
                fail("Auralith footer is missing or malformed");
            }
            return;
        }
        if (remaining < kBlockHeaderSize + kBlockChecksumSize + kFooterSize) {
            fail("Truncated Auralith block before footer");
        }
        const BlockHeader block = parseBlockHeader(image.subspan(offset, kBlockHeaderSize));
        if (block.channel >= index.header.channelCount) {
            fail("Auralith block channel exceeds file channel count");
        }
        if (block.sequence != counter) {
            fail("Auralith block sequence is missing or reordered");
        }
        if (std::uint64_t{block.payloadSize} + kBlockHeaderSize + kBlockChecksumSize + kFooterSize >
            remaining) {
            fail("Auralith block payload extends beyond file");
        }
        const BlockIndexEntry entry{offset,
                                    block.channel,
                                    block.sequence,
                                    block.segmentCount,
                                    block.payloadSize,
                                    block.ownershipStart,
                                    block.ownershipEnd};
        index.allBlocks.push_back(entry);
        index.channelBlocks[block.channel].push_back(entry);
        offset += kBlockHeaderSize + std::uint64_t{block.payloadSize} + kBlockChecksumSize;
        ++counter;
    }
}

void checkWholeRecord(const RecordIndex& index) {
    const RecordHeader& header = index.header;
    if (header.frameCount == 0) {
        if (!index.allBlocks.empty()) {
            fail("Zero-frame Auralith record contains blocks");
        }
        return;
    }
    if (index.allBlocks.empty()) {
        fail("Auralith record contains no blocks");
    }
    const std::uint64_t expectedBlocks =
        header.frameCount / kFramesPerChunk + (header.frameCount % kFramesPerChunk != 0 ? 1 : 0);
    const double tolerance = durationTolerance(header.capturedSampleRate);
    for (const auto& blocks : index.channelBlocks) {
        if (blocks.size() != expectedBlocks) {
            fail("Auralith channel has an unexpected block count");
        }
        double prevEnd = 0.0;
        for (const auto& block : blocks) {
            const double scale =
                std::max({1.0, std::fabs(prevEnd), std::fabs(block.ownershipStart)});
            if (std::fabs(block.ownershipStart - prevEnd) > scale * kTwoPowMinus45) {
                fail("Auralith channel ownership intervals are discontinuous");
            }
            prevEnd = block.ownershipEnd;
        }
        if (std::fabs(prevEnd - header.duration) > tolerance) {
            fail("Auralith final ownership interval disagrees with duration");
        }
    }
    const auto& first = index.channelBlocks[0];
    for (std::size_t c = 1; c < index.channelBlocks.size(); ++c) {
        const auto& blocks = index.channelBlocks[c];
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            if (blocks[k].ownershipStart != first[k].ownershipStart ||
                blocks[k].ownershipEnd != first[k].ownershipEnd) {
                fail("Auralith channel ownership intervals are not aligned");
            }
        }
    }
}

std::string lowerHex(std::uint32_t value) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return out;
}

}  // namespace

RecordHeader parseFileHeader(std::span<const std::byte> bytes) {
    if (bytes.size() != kFileHeaderSize) {
        fail("Invalid Auralith file-header size");
    }
    ByteCursor cursor(bytes);
    const auto magic = cursor.take(3);
    if (std::memcmp(magic.data(), "AUR", 3) != 0) {
        fail("Invalid Auralith file magic");
    }
    RecordHeader header;
    header.version = cursor.u8();
    if (header.version != kRecordVersion) {
        fail("Unsupported Auralith file version");
    }
    header.revision = cursor.u8();
    if (header.revision != kRecordRevision) {
        fail("Unsupported Auralith file revision");
    }
    header.channelCount = cursor.u16();
    if (header.channelCount == 0) {
        fail("Auralith record has zero channels");
    }
    header.capturedSampleRate = cursor.u32();
    if (header.capturedSampleRate < 1 || header.capturedSampleRate > kMaxCapturedSampleRate) {
        fail("Auralith captured sample rate is invalid");
    }
    header.capturedBitDepth = cursor.u32();
    switch (header.capturedBitDepth) {
        case 8:
        case 16:
        case 24:
        case 32:
        case 64:
            break;
        default:
            fail("Auralith captured bit depth is unsupported");
    }
    header.frameCount = cursor.u64();
    header.sourcePeak = cursor.f64();
    if (!std::isfinite(header.sourcePeak) || header.sourcePeak < 0.0) {
        fail("Auralith source peak is invalid");
    }
    header.duration = cursor.f64();
    if (!std::isfinite(header.duration) || header.duration < 0.0) {
        fail("Auralith duration is invalid");
    }
    const double expected =
        static_cast<double>(header.frameCount) / static_cast<double>(header.capturedSampleRate);
    if (std::fabs(header.duration - expected) > durationTolerance(header.capturedSampleRate)) {
        fail("Auralith duration disagrees with frame count/sample rate");
    }
    return header;
}

BlockHeader parseBlockHeader(std::span<const std::byte> bytes) {
    if (bytes.size() != kBlockHeaderSize) {
        fail("Invalid Auralith block-header size");
    }
    ByteCursor cursor(bytes);
    BlockHeader block;
    block.channel = cursor.u16();
    block.sequence = cursor.u32();
    block.segmentCount = cursor.u16();
    block.payloadSize = cursor.u32();
    block.ownershipStart = cursor.f64();
    block.ownershipEnd = cursor.f64();
    if (block.segmentCount == 0) {
        fail("Auralith block has no segments");
    }
    if (block.payloadSize < 1 || block.payloadSize > kMaxPayloadSize) {
        fail("Auralith block payload size is invalid");
    }
    if (!std::isfinite(block.ownershipStart) || !std::isfinite(block.ownershipEnd) ||
        !(block.ownershipEnd > block.ownershipStart)) {
        fail("Auralith block ownership interval is invalid");
    }
    return block;
}

RecordIndex indexRecordImage(std::span<const std::byte> image) {
    if (image.size() < kFileHeaderSize + kFooterSize) {
        fail("Auralith record is too small");
    }
    RecordIndex index;
    index.header = parseFileHeader(image.first(kFileHeaderSize));
    walkBlocks(image, index);
    checkWholeRecord(index);
    return index;
}

void BlockView::verifyCrc() const {
    const std::uint32_t computed = crc32(crc32(0, headerBytes), payload);
    if (computed != storedCrc) {
        throw std::runtime_error("CRC mismatch in block " + std::to_string(header.sequence) +
                                 ": stored=0x" + lowerHex(storedCrc) + ", computed=0x" +
                                 lowerHex(computed));
    }
}

BlockView viewIndexedBlock(std::span<const std::byte> image, const BlockIndexEntry& entry,
                           bool verify) {
    const std::uint64_t size = image.size();
    const std::uint64_t o = entry.offset;
    const std::uint64_t s = entry.payloadSize;
    if (o > size || size - o < s + kBlockHeaderSize + kBlockChecksumSize) {
        fail("Auralith block extends beyond mapped image");
    }
    BlockView view;
    view.header = parseBlockHeader(image.subspan(o, kBlockHeaderSize));
    const BlockHeader& h = view.header;
    if (h.channel != entry.channel || h.sequence != entry.sequence ||
        h.segmentCount != entry.segmentCount || h.payloadSize != entry.payloadSize ||
        h.ownershipStart != entry.ownershipStart || h.ownershipEnd != entry.ownershipEnd) {
        fail("Auralith block changed after indexing");
    }
    view.headerBytes = image.subspan(o, kBlockHeaderSize);
    view.payload = image.subspan(o + kBlockHeaderSize, s);
    std::memcpy(&view.storedCrc, image.data() + o + kBlockHeaderSize + s, sizeof view.storedCrc);
    if (verify) {
        view.verifyCrc();
    }
    return view;
}

}  // namespace al::file
