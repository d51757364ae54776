#pragma once
// An opened, mapped and validated record file.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/FileMapping.h"
#include "record/RecordFormat.h"

namespace al::file {

// Maps a record read-only, validates the whole image and indexes its blocks;
// afterwards hands out block views into the mapping without copying.
//
// open/close are for the owner before the reader is shared and at the end.
// Once open, the reader never changes: block(), chunkIndexAt() and the
// accessors may be called from any number of threads without locking, and
// views stay valid while the reader is alive and open.
class RecordReader {
public:
    RecordReader() = default;
    // Opens at once; throws std::runtime_error on any failure.
    explicit RecordReader(const std::filesystem::path& path);

    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // Closes any previous state, then maps and validates. On failure the
    // reader is closed (empty path) and the error propagates.
    void open(const std::filesystem::path& path);
    // Releases the mapping and clears everything. Safe on a closed reader.
    void close() noexcept;

    bool isOpen() const noexcept { return !path_.empty(); }
    const std::filesystem::path& path() const noexcept { return path_; }
    const RecordHeader& header() const noexcept { return index_.header; }
    std::uint64_t imageSize() const noexcept { return imageSize_; }
    std::uint64_t chunkCount() const noexcept { return chunkCount_; }
    const std::vector<BlockIndexEntry>& allBlocks() const noexcept { return index_.allBlocks; }
    const std::vector<std::vector<BlockIndexEntry>>& channelBlocks() const noexcept {
        return index_.channelBlocks;
    }

    // The block of one channel and chunk. Throws std::out_of_range("Auralith
    // block index out of range") for a bad index, std::runtime_error for an
    // image that no longer matches its index or, with verify, a bad checksum.
    // Once the file has shrunk or been rewritten under the mapping, every
    // block throws std::runtime_error("Auralith record file changed on disk
    // while open") instead (its bytes can no longer be trusted).
    BlockView block(std::size_t channel, std::uint64_t chunkIndex, bool verify) const;
    // Whether the file changed under the mapping (see block). Any thread.
    bool fileChanged() const noexcept { return image_.damaged(); }

    // The chunk owning a time; a time on a boundary belongs to the later chunk.
    std::uint64_t chunkIndexAt(double seconds) const noexcept;

private:
    std::filesystem::path path_;
    RecordIndex index_;
    std::uint64_t imageSize_ = 0;
    std::uint64_t chunkCount_ = 0;
    platform::ReadOnlyMapping image_;
};

}  // namespace al::file
