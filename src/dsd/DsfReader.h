#pragma once
// Reads the bits of a DSF file unchanged, at the file's own rate.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "dsd/DsdSource.h"

namespace morrow::dsd {

// Layout constants of the DSF format as this program reads and writes it.
inline constexpr std::uint64_t kDsfHeaderSize = 28;
inline constexpr std::uint64_t kDsfChunkHeaderSize = 12;
inline constexpr std::uint64_t kDsfFmtChunkSize = 52;
inline constexpr std::uint32_t kDsfBlockBytes = 4096;  // per channel and block group
inline constexpr std::uint32_t kDsfMinRate = 2'822'400;   // DSD64
inline constexpr std::uint32_t kDsfMaxRate = 90'316'800;  // DSD2048

// An opened DSF file. The constructor validates the whole structure (header,
// "fmt " and "data" chunks) and throws std::runtime_error with a fixed message
// on the first fault; afterwards only the buffered block group changes. The
// file stays open for the reader's lifetime.
//
// Not thread-safe: readFrame reuses one block-group buffer and the file
// position, so callers sharing a reader serialise their calls. info() and the
// accessors may be called from any thread.
class DsfReader final : public IDsdSource {
public:
    explicit DsfReader(const std::filesystem::path& path);

    DsdInfo info() const noexcept override { return info_; }
    // Throws std::out_of_range("DSF frame outside recording") for an index
    // past the track, std::runtime_error("DSF read failed/truncated") if the
    // file can no longer be read; a failed read leaves the reader usable.
    DsdFrame readFrame(std::uint64_t index) override;
    // Frames [first, first + count) into `out`, each as readFrame gives it,
    // without a call per frame. Throws as readFrame does (out_of_range when
    // any of them lies past the track, before anything is read).
    void readFrames(std::uint64_t first, std::size_t count, DsdFrame* out);

    // 1: least significant bit first in each byte; 8: most significant first.
    std::uint32_t bitsPerSample() const noexcept { return bitsPerSample_; }
    std::uint64_t dataOffset() const noexcept { return dataOffset_; }

private:
    void readExact(std::uint64_t offset, std::uint8_t* into, std::size_t count);
    void loadBlockGroup(std::uint64_t group);

    std::ifstream file_;
    DsdInfo info_;
    std::uint32_t bitsPerSample_ = 0;
    std::uint64_t blocksPerChannel_ = 0;
    std::uint64_t dataOffset_ = 0;
    std::vector<std::uint8_t> buffer_;  // one block group: channels x 4096 bytes
    std::int64_t bufferedGroup_ = -1;   // -1: nothing valid in buffer_
};

}  // namespace morrow::dsd
