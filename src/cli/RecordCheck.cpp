#include "cli/RecordCheck.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <iomanip>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "platform/Process.h"
#include "playback/ChunkLoader.h"

namespace al::cli {

namespace {

struct WorkerResult {
    bool failed = false;
    std::uint64_t chunk = 0;
    std::string error;
    SegmentStatistics segments;
};

void count(const surrogate::PlaybackChunk& chunk, SegmentStatistics& stats) {
    for (const auto& channel : chunk.channels) {
        for (const auto& segment : channel.segments()) {
            switch (segment.kind()) {
                case file::SegmentKind::Linear:
                    ++stats.linear;
                    break;
                case file::SegmentKind::Pchip:
                    ++stats.pchip;
                    break;
                case file::SegmentKind::Polyline:
                    ++stats.polyline;
                    break;
            }
            stats.controlPoints += segment.points().size();
        }
    }
}

// Chunks are handed out in increasing order, so once chunk k has failed every
// chunk below k has been or is being prepared; later chunks need not be.
void scanChunks(const surrogate::ChunkLoader& loader, std::uint64_t chunkCount,
                std::atomic<std::uint64_t>& next, std::atomic<std::uint64_t>& firstFailure,
                WorkerResult& result) noexcept {
    for (;;) {
        const std::uint64_t k = next.fetch_add(1);
        if (k >= chunkCount || k > firstFailure.load()) {
            return;
        }
        try {
            count(*loader.prepareChunk(k), result.segments);
        } catch (const std::exception& error) {
            result = {true, k, error.what(), {}};
        } catch (...) {
            result = {true, k, "Unknown failure while preparing a chunk", {}};
        }
        if (result.failed) {
            std::uint64_t seen = firstFailure.load();
            while (k < seen && !firstFailure.compare_exchange_weak(seen, k)) {
            }
            return;
        }
    }
}

}  // namespace

unsigned scanThreads() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

RecordScan scanRecord(const std::shared_ptr<const file::RecordReader>& reader, unsigned threads) {
    RecordScan scan;
    scan.chunks = reader->chunkCount();
    if (scan.chunks == 0) {
        return scan;
    }
    const surrogate::ChunkLoader loader(reader);
    const auto workers = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(threads, 1, scan.chunks));
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> firstFailure{std::numeric_limits<std::uint64_t>::max()};
    std::vector<WorkerResult> results(workers);
    {
        std::vector<std::jthread> pool;
        pool.reserve(workers - 1);
        for (std::size_t w = 1; w < workers; ++w) {
            pool.emplace_back([&, w] { scanChunks(loader, scan.chunks, next, firstFailure, results[w]); });
        }
        scanChunks(loader, scan.chunks, next, firstFailure, results[0]);
    }
    for (const auto& result : results) {
        if (result.failed) {
            if (scan.ok || result.chunk < scan.failedChunk) {
                scan.ok = false;
                scan.failedChunk = result.chunk;
                scan.error = result.error;
            }
        } else {
            scan.segments.linear += result.segments.linear;
            scan.segments.pchip += result.segments.pchip;
            scan.segments.polyline += result.segments.polyline;
            scan.segments.controlPoints += result.segments.controlPoints;
        }
    }
    return scan;
}

int runVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << "usage: auralith verify FILE\n";
        return 2;
    }
    try {
        const auto reader =
            std::make_shared<const file::RecordReader>(platform::pathFromUtf8(args[0]));
        const RecordScan scan = scanRecord(reader, scanThreads());
        if (!scan.ok) {
            throw std::runtime_error(scan.error);
        }
        out << "ok: " << scan.chunks << " chunks\n";
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

void printRecordSegments(const std::filesystem::path& path, std::ostream& out) {
    const auto reader = std::make_shared<const file::RecordReader>(path);
    const RecordScan scan = scanRecord(reader, scanThreads());
    if (!scan.ok) {
        throw std::runtime_error(scan.error);
    }
    const SegmentStatistics& s = scan.segments;
    const double duration = reader->header().duration;
    const double perSecond =
        duration > 0.0 ? static_cast<double>(s.controlPoints) / duration : 0.0;
    out << "segments: " << s.linear + s.pchip + s.polyline << '\n'
        << "linear segments: " << s.linear << '\n'
        << "pchip segments: " << s.pchip << '\n'
        << "polyline segments: " << s.polyline << '\n'
        << "control points: " << s.controlPoints << '\n'
        << std::fixed << std::setprecision(1) << "control points per second: " << perSecond
        << '\n'
        << "control points per second per channel: "
        << perSecond / static_cast<double>(reader->header().channelCount) << '\n'
        << std::defaultfloat;
}

}  // namespace al::cli
