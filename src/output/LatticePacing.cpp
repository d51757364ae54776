#include "output/LatticePacing.h"

#include <algorithm>

#include "playback/PlaybackLattice.h"

namespace al::audio {

bool LatticeFramesReady(const playback::PlaybackLattice& lattice, std::uint64_t frames) noexcept {
    const playback::PlaybackSource& source = *lattice.source();
    const std::uint64_t chunks = source.chunkCount();
    const std::uint32_t rate = lattice.outputRate();
    const std::uint64_t total = lattice.totalFrames();
    const std::int64_t seek = lattice.pendingSeek();
    const std::uint64_t from = seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice.position();
    if (chunks == 0 || rate == 0 || from >= total) {
        return true;
    }
    const std::uint64_t last = std::min(from + std::max<std::uint64_t>(frames, 1), total) - 1;
    const std::uint64_t first = source.chunkIndexAt(static_cast<double>(from) / rate);
    const std::uint64_t final = source.chunkIndexAt(static_cast<double>(last) / rate);
    const std::uint64_t needed = std::min(final >= first ? final - first + 1 : 1, lattice.lookaheadChunks());
    return lattice.readyChunksAhead() >= needed;
}

}  // namespace al::audio
