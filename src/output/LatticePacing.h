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

// Waits, at most `timeoutMs` milliseconds, until the last chunk those frames
// come from is stored, which is when LatticeFramesReady is likely to turn
// true (the producer prepares in order). Returns at once when that chunk is
// already there, after a short sleep when the frames wait on an earlier one
// instead (a retry after a failed preparation), and at once at the end of the
// material. Any thread but the render thread.
void LatticeWaitForFrames(const playback::PlaybackLattice& lattice, std::uint64_t frames,
                          std::uint32_t timeoutMs) noexcept;

}  // namespace al::audio
