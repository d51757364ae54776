#pragma once
// The geometry pictures' unit, the snapshot both geometry views draw from,
// and the builder that cuts snapshots from prepared playback chunks.
//
// A snapshot is a window of the track's time axis; each channel's curve over
// that window is a list of cubic pieces on the window's own scale (0 = window
// start, 1 = window end), six f32 each, which is what the graphics card
// evaluates. Pieces are taken exactly as the playback geometry defines them,
// so the picture shows the curve that plays, not a sampled copy of it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "playback/ChannelGeometry.h"

namespace al::ui {

// One cubic piece: on [xLeft, xRight] (fractions of the window) the value is
// ((a3 u + a2) u + a1) u + a0 with u from 0 to 1 across the piece.
// A trivial type (no member initialisers; CubicInterval{} is all zeros), so
// that lists of them are copied as plain memory.
struct CubicInterval {
    float xLeft;
    float xRight;
    float a0;
    float a1;
    float a2;
    float a3;
};
static_assert(sizeof(CubicInterval) == 24, "the graphics card reads six packed f32");
static_assert(std::is_trivial_v<CubicInterval>, "interval lists are copied as plain memory");

// The most pieces one channel's list may hold.
inline constexpr std::size_t kMaxSnapshotIntervals = 0x40000;

// Appends the piece spanning [a, b] seconds with value c + d v + e v^2 + f v^3
// (v from 0 to 1 across the piece), clipped to [clipStart, clipEnd], on the
// scale of a window starting at g with length l. Returns whether a piece was
// appended: pieces outside the clip, empty after clipping, or with a
// coefficient that is not finite are skipped. Throws std::length_error
// ("Visual snapshot exceeds its complete-frame geometry budget") when the
// list already holds kMaxSnapshotIntervals pieces. Any thread.
bool appendCubicInterval(std::vector<CubicInterval>& out, double a, double b, double c, double d,
                         double e, double f, double clipStart, double clipEnd, double g, double l);

// The same with the clip equal to the window [g, min(g + l, ...)]: the plain
// rule for one piece and a window [g, h] normalised by l.
inline bool appendWindowInterval(std::vector<CubicInterval>& out, double a, double b, double c,
                                 double d, double e, double f, double g, double h, double l) {
    return appendCubicInterval(out, a, b, c, d, e, f, g, h, g, l);
}

// The piece's value at u, in the order the shaders use.
inline float evaluateInterval(const CubicInterval& i, float u) noexcept {
    return ((i.a3 * u + i.a2) * u + i.a1) * u + i.a0;
}

// Immutable once published; shared between the builder and the window thread.
struct PresentationGeometrySnapshot {
    std::array<std::vector<CubicInterval>, 2> channels;
    double time = 0.0;          // window start (the clamped request time)
    double windowLength = 0.0;  // the scale of xLeft / xRight (without the extension)
    bool reachesEnd = false;    // the window (with its extension) reaches the end of the track
    bool playing = false;
    std::uint64_t request = 0;  // the request counter it was built for
};

struct SnapshotRequest {
    double time = 0.0;
    double windowLength = 0.05;
    bool playing = false;
    bool extend = false;  // the 0.05 s extension (the stage's corridor)
    std::uint64_t counter = 0;
};

inline constexpr double kSnapshotExtension = 0.05;

// Looks up a prepared chunk by index; empty when it is not ready.
using ChunkLookup = std::function<std::shared_ptr<const surrogate::PlaybackChunk>(std::uint64_t)>;
// The chunk index holding a time.
using ChunkIndexAt = std::function<std::uint64_t(double)>;

// Builds the snapshot for one request over a track of `duration` seconds.
// Channels beyond the first two are ignored; a mono track leaves the second
// list empty. Returns null when a chunk of the window is not ready yet (the
// caller tries again). Throws std::length_error from the budget. Any thread.
std::shared_ptr<const PresentationGeometrySnapshot> buildPresentationSnapshot(
    const SnapshotRequest& request, double duration, const ChunkIndexAt& indexAt,
    const ChunkLookup& lookup);

// The same into an existing snapshot, whose lists are emptied first and keep
// their storage, so that a builder reusing one snapshot after another does
// not ask the system for fresh memory on every build. Returns false (the
// lists left empty or partly filled) where the other returns null. Every
// chunk of the window is looked up before any piece is cut, and each list is
// sized once from the pieces those chunks hold. Any thread; `into` must not
// be read by another thread meanwhile.
bool buildPresentationSnapshotInto(PresentationGeometrySnapshot& into,
                                   const SnapshotRequest& request, double duration,
                                   const ChunkIndexAt& indexAt, const ChunkLookup& lookup);

// Appends one channel's pieces over [clipStart, clipEnd], scaled to the
// window (g, l). Each segment is used where the channel's evaluation uses it
// (from where the previous one ends to where it ends, the last one up to the
// owned end), and the owned interval bounds the whole, so neighbouring chunks
// never overlap.
void appendChannelIntervals(std::vector<CubicInterval>& out,
                            const surrogate::ChannelGeometry& channel, double clipStart,
                            double clipEnd, double g, double l);

// Whether building uses the processor's 256-bit vectors (where it has them;
// the same bits as without). allowSnapshotWideVectors(false) keeps every
// build on the narrower path, so that tests can compare the two. Any thread.
bool snapshotWideVectorsInUse() noexcept;
void allowSnapshotWideVectors(bool allowed) noexcept;

// The interval list as a float texture: two RGBA32F texels per piece,
// (xLeft, xRight, a0, a1) then (a2, a3, 0, 0), rows of `texelsPerRow`
// texels. Returns the number of rows written into `texels` (resized to
// rows * texelsPerRow * 4 floats, never shrunk). texelsPerRow must be even.
std::size_t packIntervalTexels(const std::vector<CubicInterval>& list, std::size_t texelsPerRow,
                               std::vector<float>& texels);

}  // namespace al::ui
