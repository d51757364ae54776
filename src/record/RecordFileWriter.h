#pragma once
// Writes a record to disk block by block, so a record of any length needs
// memory for one chunk only.
//
// The blocks go to a temporary file beside the target ("<target>.partial");
// commit() patches the header (whose peak is known only at the end), adds the
// footer, flushes and renames the temporary over the target. Until then the
// target is untouched, and destroying an uncommitted writer removes the
// temporary, so a failure never leaves a half-written record. Blocks must be
// written in canonical order (chunk by chunk, channel by channel); the writer
// numbers them. Not thread-safe; one owner.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include "record/RecordFormat.h"

namespace al::file {

class RecordFileWriter {
  public:
    // Creates the temporary file. Throws std::runtime_error("Cannot create
    // <temporary>") if it cannot.
    explicit RecordFileWriter(std::filesystem::path target);
    ~RecordFileWriter();
    RecordFileWriter(const RecordFileWriter&) = delete;
    RecordFileWriter& operator=(const RecordFileWriter&) = delete;

    // The temporary name used for `target`.
    static std::filesystem::path temporaryFor(const std::filesystem::path& target);
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }

    // Appends one block: header, payload and checksum. Throws
    // std::invalid_argument for an empty payload, no segments or too many
    // blocks, std::runtime_error("Cannot write <temporary>") on a write
    // failure.
    void writeBlock(std::uint16_t channel, std::uint16_t segmentCount, double ownershipStart,
                    double ownershipEnd, std::span<const std::byte> payload);

    // Writes the final header and the footer and renames the temporary over
    // the target (replacing an existing file). Throws std::runtime_error
    // ("Cannot write <temporary>", "Cannot replace <target>").
    void commit(const RecordHeader& header);

    std::uint64_t blocksWritten() const noexcept { return sequence_; }
    std::uint64_t bytesWritten() const noexcept { return bytes_; }

  private:
    void check();
    void discard() noexcept;

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::ofstream out_;
    std::vector<std::byte> scratch_;
    std::uint64_t sequence_ = 0;
    std::uint64_t bytes_ = 0;
    bool committed_ = false;
};

// The 39 header bytes of a record.
std::vector<std::byte> encodeFileHeader(const RecordHeader& header);

}  // namespace al::file
