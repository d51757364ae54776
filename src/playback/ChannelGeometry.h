#pragma once
// The curve of one channel over one chunk's owned interval, and the chunk
// that groups every channel's curve.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "record/CurveSegment.h"

namespace al::surrogate {

// A channel's segments over the interval it owns, checked at construction so
// that it can be evaluated anywhere in that interval: the segments cover the
// left edge, follow one another in transport order without a gap, and reach
// the right edge (each within a tolerance of 1/512 of a frame of a
// 1024-frame chunk, or a few ulps of the times involved). Overlaps and
// segments reaching beyond the interval are fine.
//
// Immutable after construction; may be read from any thread. valueAt writes
// only the caller's cursor, so every evaluating thread keeps its own.
class ChannelGeometry {
public:
    // Throws std::invalid_argument with the first failed coverage check.
    ChannelGeometry(std::int32_t channel, double ownershipStart, double ownershipEnd,
                    std::vector<file::CurveSegment> segments);

    // The value at time x. `cursor` is the index of the segment used last;
    // keep it between calls so that an increasing run of times costs one
    // comparison per call. Outside the segments the nearest end value. A time
    // where one segment ends and the next starts uses the next. Allocates
    // nothing and takes no lock.
    double valueAt(double x, std::size_t& cursor) const noexcept;
    // valueAt for `count` times in non-decreasing order, into out[0..count):
    // the same bits, and the same cursor afterwards, as calling valueAt for
    // each time in turn. Each segment's run of times is evaluated in one go.
    void valuesAt(const double* times, std::size_t count, double* out,
                  std::size_t& cursor) const noexcept;

    std::int32_t channel() const noexcept { return channel_; }
    double ownershipStart() const noexcept { return ownershipStart_; }
    double ownershipEnd() const noexcept { return ownershipEnd_; }
    const std::vector<file::CurveSegment>& segments() const noexcept { return segments_; }

private:
    std::int32_t channel_;
    double ownershipStart_;
    double ownershipEnd_;
    std::vector<file::CurveSegment> segments_;
};

// One chunk (1024 source frames) of every channel, in channel order, all
// owning the same interval. Built once and then shared read-only
// (std::shared_ptr<const PlaybackChunk>) between the buffer, the lattice and
// the render path.
struct PlaybackChunk {
    std::uint64_t index = 0;
    double ownershipStart = 0.0;
    double ownershipEnd = 0.0;
    std::vector<ChannelGeometry> channels;
};

// The channel geometry of one block whose checksum has been checked: its
// decoded segments over its owned interval. Throws what decoding or the
// coverage checks throw.
ChannelGeometry decodeChannelGeometry(const file::BlockView& block);

}  // namespace al::surrogate
