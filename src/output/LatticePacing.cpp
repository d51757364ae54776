#include "output/LatticePacing.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "playback/PlaybackLattice.h"

namespace al::audio {

namespace {

// The chunks the lattice's next `frames` frames come from: `first` and how
// many follow it (at most as many as the lattice keeps ahead); none at the end
// of the material.
struct ChunkSpan {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

ChunkSpan nextChunks(const playback::PlaybackLattice& lattice, std::uint64_t frames) noexcept {
    const playback::PlaybackSource& source = *lattice.source();
    const std::uint64_t chunks = source.chunkCount();
    const std::uint32_t rate = lattice.outputRate();
    const std::uint64_t total = lattice.totalFrames();
    const std::int64_t seek = lattice.pendingSeek();
    const std::uint64_t from = seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice.position();
    if (chunks == 0 || rate == 0 || from >= total) {
        return {};
    }
    const std::uint64_t last = std::min(from + std::max<std::uint64_t>(frames, 1), total) - 1;
    const std::uint64_t first = source.chunkIndexAt(static_cast<double>(from) / rate);
    const std::uint64_t final = source.chunkIndexAt(static_cast<double>(last) / rate);
    return {first, std::min(final >= first ? final - first + 1 : 1, lattice.lookaheadChunks())};
}

}  // namespace

bool LatticeFramesReady(const playback::PlaybackLattice& lattice, std::uint64_t frames) noexcept {
    const ChunkSpan span = nextChunks(lattice, frames);
    return span.count == 0 || lattice.readyChunksAhead() >= span.count;
}

void LatticeWaitForFrames(const playback::PlaybackLattice& lattice, std::uint64_t frames,
                          std::uint32_t timeoutMs) noexcept {
    const ChunkSpan span = nextChunks(lattice, frames);
    if (span.count == 0) {
        return;
    }
    if (!lattice.surrogate().waitForStore(span.first + span.count - 1, timeoutMs)) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace al::audio
