#pragma once
// Whole-record checks of the command line: `auralith verify` and the segment
// statistics of `auralith info --segments`.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "record/RecordReader.h"

namespace al::cli {

struct SegmentStatistics {
    std::uint64_t linear = 0;
    std::uint64_t pchip = 0;
    std::uint64_t polyline = 0;
    std::uint64_t controlPoints = 0;
};

struct RecordScan {
    std::uint64_t chunks = 0;
    bool ok = true;
    std::uint64_t failedChunk = 0;  // the first failing chunk in chunk order
    std::string error;              // its exact message
    SegmentStatistics segments;     // complete only when ok
};

// Prepares every chunk of a record (fetch, checksum, decode, coverage) on up
// to `threads` threads and reports the first failure in chunk order, whatever
// order the threads met failures in. Never throws for a bad chunk.
RecordScan scanRecord(const std::shared_ptr<const file::RecordReader>& reader, unsigned threads);

// Threads for a scan: every processor, at least one.
unsigned scanThreads() noexcept;

// `auralith verify FILE`: "ok: N chunks", or "error: <message>" and 1.
int runVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The segment statistics lines of `auralith info FILE --segments` for a
// record. Throws std::runtime_error with the first failure's message.
void printRecordSegments(const std::filesystem::path& path, std::ostream& out);

}  // namespace al::cli
