#pragma once
// Writes record images: for tests, tools and the demo record.
//
// The writer lays out exactly what it is given: it computes sequence numbers
// and checksums but does not check the record rules, so tests can also make
// images that a reader must refuse. Not thread-safe; one owner.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "record/ControlPoint.h"
#include "record/RecordFormat.h"

namespace al::file {

struct SegmentDraft {
    SegmentKind kind = SegmentKind::Pchip;
    std::uint8_t flags = 0;
    std::vector<ControlPoint> points;
};

struct BlockDraft {
    std::uint16_t channel = 0;
    std::uint64_t chunk = 0;
    double ownershipStart = 0.0;
    double ownershipEnd = 0.0;
    std::uint16_t segmentCount = 0;
    std::vector<std::byte> payload;
};

enum class BlockOrder {
    Canonical,         // chunk by chunk, channels alternating within a chunk
    ChannelByChannel,  // all of channel 0, then all of channel 1, ...
};

// Encodes one segment: kind, flags, count, f64 anchor, then f32 time and value
// offsets of every later point relative to the anchor. Throws
// std::invalid_argument for fewer than 2 or more than 65535 points.
void appendEncodedSegment(std::vector<std::byte>& out, const SegmentDraft& segment);

// Header of a well-formed record: version 2, revision 0, duration = frames / rate.
RecordHeader makeRecordHeader(std::uint16_t channels, std::uint32_t sampleRate,
                              std::uint32_t bitDepth, std::uint64_t frameCount);

class RecordWriter {
public:
    explicit RecordWriter(const RecordHeader& header);

    RecordHeader& header() noexcept { return header_; }
    std::uint64_t chunkCount() const noexcept;
    // Owned interval of chunk k: [k*1024, min((k+1)*1024, frames)) / rate.
    double chunkStart(std::uint64_t chunk) const noexcept;
    double chunkEnd(std::uint64_t chunk) const noexcept;

    // Adds the block of one channel and chunk with the chunk's own interval.
    void addBlock(std::uint16_t channel, std::uint64_t chunk, std::span<const SegmentDraft> segments);
    // Adds a block exactly as given (intervals, counts and payload).
    void addRawBlock(BlockDraft block);
    std::vector<BlockDraft>& blocks() noexcept { return blocks_; }

    // The image with blocks in the given order (stable within equal keys).
    std::vector<std::byte> image(BlockOrder order = BlockOrder::Canonical) const;
    // Writes the image beside the target and renames it into place, so a
    // failure never leaves a half-written record. Throws std::runtime_error.
    void save(const std::filesystem::path& path, BlockOrder order = BlockOrder::Canonical) const;

    // A record of sampled channels (equal lengths), one segment chain per
    // chunk through the sample points at frame / rate. Each chunk's chain
    // reaches the next chunk's first frame (the last chunk holds its final
    // value to the duration). Linear makes one two-point segment per frame
    // step; Pchip and Polyline make one segment per chunk.
    static RecordWriter fromSamples(std::uint32_t sampleRate, std::uint32_t bitDepth,
                                    const std::vector<std::vector<double>>& channels,
                                    SegmentKind kind = SegmentKind::Pchip);

private:
    RecordHeader header_;
    std::vector<BlockDraft> blocks_;
};

// Writes bytes to a file through a temporary beside it and a rename.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::byte> bytes);

}  // namespace al::file
