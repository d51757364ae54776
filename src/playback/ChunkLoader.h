#pragma once
// Turns the blocks of a record into playback chunks.

#include <cstdint>
#include <memory>
#include <vector>

#include "playback/ChannelGeometry.h"
#include "record/RecordReader.h"

namespace al::surrogate {

// The blocks of one chunk, fetched but neither checksummed nor decoded: one
// view per channel, in channel order. Holds the reader, so the views stay
// valid wherever and whenever the blocks are finally decoded.
struct LoadedBlocks {
    std::uint64_t chunkIndex = 0;
    std::vector<file::BlockView> blocks;
    std::shared_ptr<const file::RecordReader> reader;
};

// Builds chunks from an open record. Nothing is cached: every preparation
// re-reads, re-checksums and re-decodes its blocks, so a chunk is either
// complete and valid or not produced at all.
//
// No mutable state beyond the shared reader: loadBlocks and prepareChunk may
// run concurrently on any threads.
class ChunkLoader {
public:
    // Throws std::invalid_argument("ChunkLoader requires an open Auralith
    // record") for a missing or closed reader.
    explicit ChunkLoader(std::shared_ptr<const file::RecordReader> reader);

    // The cheap first phase: the block views of a chunk. Throws
    // std::out_of_range("Playback chunk index out of range").
    LoadedBlocks loadBlocks(std::uint64_t chunkIndex) const;
    // The same into a caller's buffer, reusing its storage.
    void loadBlocks(std::uint64_t chunkIndex, LoadedBlocks& loaded) const;

    // Loads, checksums and decodes a chunk.
    std::shared_ptr<const PlaybackChunk> prepareChunk(std::uint64_t chunkIndex) const;
    // The expensive second phase for blocks loaded earlier: checksum and
    // decode every block, then check that all channels own the same interval.
    // Throws std::invalid_argument for no blocks, the CRC message
    // (std::runtime_error) of the first bad block, what decoding throws, and
    // std::runtime_error("Decoded channel ownership intervals are not
    // aligned").
    std::shared_ptr<const PlaybackChunk> prepareChunk(const LoadedBlocks& loaded) const;

    const std::shared_ptr<const file::RecordReader>& reader() const noexcept { return reader_; }

private:
    std::shared_ptr<const file::RecordReader> reader_;
};

}  // namespace al::surrogate
