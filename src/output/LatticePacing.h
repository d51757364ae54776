#pragma once
// Pacing an endpoint that plays faster than real time (the free-running
// virtual output, rendering to a file) to the lattice's preparation: the
// lattice never waits for a chunk, so a writer asked ahead of its workers
// would write silence.

#include <cstdint>

namespace al::playback {
class PlaybackLattice;
}

namespace al::audio {

// Whether every chunk that the lattice's next `frames` frames (from its
// pending seek, else its position) come from is prepared; true at the end of
// the material and for a source without chunks. Asks at most for as many
// chunks as the lattice keeps ahead. Any thread; lock-free.
bool LatticeFramesReady(const playback::PlaybackLattice& lattice, std::uint64_t frames) noexcept;

}  // namespace al::audio
