#pragma once
// Byte layout of a record (.aur) and the rules by which a whole image is
// accepted: file header, block walk, footer, per-channel ownership.
//
// All functions here are pure over a byte span, so they serve the mapped
// reader, tools and fuzzing alike. Any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace al::file {

inline constexpr std::size_t kFileHeaderSize = 39;
inline constexpr std::size_t kBlockHeaderSize = 28;
inline constexpr std::size_t kBlockChecksumSize = 4;
inline constexpr std::size_t kFooterSize = 6;
inline constexpr std::uint32_t kFramesPerChunk = 1024;
inline constexpr std::uint8_t kRecordVersion = 2;
inline constexpr std::uint8_t kRecordRevision = 0;
inline constexpr std::uint32_t kMaxCapturedSampleRate = 12'288'000;
inline constexpr std::uint32_t kMaxPayloadSize = 0x10000000;

struct RecordHeader {
    std::uint8_t version = 0;
    std::uint8_t revision = 0;
    std::uint16_t channelCount = 0;
    std::uint32_t capturedSampleRate = 0;
    std::uint32_t capturedBitDepth = 0;
    std::uint64_t frameCount = 0;
    double sourcePeak = 0.0;
    double duration = 0.0;
};

struct BlockHeader {
    std::uint16_t channel = 0;
    std::uint32_t sequence = 0;
    std::uint16_t segmentCount = 0;
    std::uint32_t payloadSize = 0;
    double ownershipStart = 0.0;
    double ownershipEnd = 0.0;
};

struct BlockIndexEntry {
    std::uint64_t offset = 0;  // of the block header from the start of the file
    std::uint16_t channel = 0;
    std::uint32_t sequence = 0;
    std::uint16_t segmentCount = 0;
    std::uint32_t payloadSize = 0;
    double ownershipStart = 0.0;
    double ownershipEnd = 0.0;
};

// One block of a mapped image: pointer-and-length views, valid while the
// image they point into is alive.
struct BlockView {
    BlockHeader header;
    std::span<const std::byte> headerBytes;
    std::span<const std::byte> payload;
    std::uint32_t storedCrc = 0;

    // Recomputes the checksum over header then payload. Throws
    // std::runtime_error("CRC mismatch in block N: stored=0x.., computed=0x..").
    void verifyCrc() const;
};

// The validated index of a record image.
struct RecordIndex {
    RecordHeader header;
    std::vector<BlockIndexEntry> allBlocks;                  // file order
    std::vector<std::vector<BlockIndexEntry>> channelBlocks;  // per channel, file order
};

// Parses and checks a 39-byte file header. Throws std::runtime_error with the
// first failed rule's message.
RecordHeader parseFileHeader(std::span<const std::byte> bytes);

// Parses and checks a 28-byte block header (segment count, payload size,
// ownership interval). Throws std::runtime_error.
BlockHeader parseBlockHeader(std::span<const std::byte> bytes);

// Validates a whole image: header, block walk, footer and whole-record rules,
// in that order. Throws std::runtime_error with the first failure's message.
RecordIndex indexRecordImage(std::span<const std::byte> image);

// Returns the view of an indexed block, re-checking it against the image and,
// when verify is set, its checksum. Throws std::runtime_error.
BlockView viewIndexedBlock(std::span<const std::byte> image, const BlockIndexEntry& entry,
                           bool verify);

}  // namespace al::file
