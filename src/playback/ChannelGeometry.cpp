#include "playback/ChannelGeometry.h"

#include <algorithm>
#include <limits>
#include <cmath>
#include <stdexcept>

namespace al::surrogate {

namespace {

[[noreturn]] void reject(const char* message) { throw std::invalid_argument(message); }

constexpr double kTwoPowMinus19 = 1.9073486328125e-6;
constexpr double kTwoPowMinus44 = 5.684341886080802e-14;

}  // namespace

ChannelGeometry::ChannelGeometry(std::int32_t channel, double ownershipStart,
                                 double ownershipEnd, std::vector<file::CurveSegment> segments)
    : channel_(channel),
      ownershipStart_(ownershipStart),
      ownershipEnd_(ownershipEnd),
      segments_(std::move(segments)) {
    if (!std::isfinite(ownershipStart_) || !std::isfinite(ownershipEnd_) ||
        !(ownershipStart_ < ownershipEnd_)) {
        reject("Playback channel has invalid ownership interval");
    }
    if (segments_.empty()) {
        reject("Playback channel has no segments");
    }
    // A small fraction of the interval, but never below the rounding of its
    // times, so that intervals far from zero are not held to the impossible.
    const double tol = std::max(
        (ownershipEnd_ - ownershipStart_) * kTwoPowMinus19,
        std::max({1.0, std::fabs(ownershipStart_), std::fabs(ownershipEnd_)}) * kTwoPowMinus44);
    if (!(segments_.front().firstTime() <= ownershipStart_ + tol)) {
        reject("Playback geometry does not cover the owned left edge");
    }
    double reach = segments_.front().lastTime();
    for (std::size_t i = 1; i < segments_.size(); ++i) {
        const double first = segments_[i].firstTime();
        if (segments_[i - 1].firstTime() > first + tol) {
            reject("Playback segments are not in transport order");
        }
        if (first > reach + tol) {
            reject("Playback geometry contains a positive time gap");
        }
        reach = std::max(reach, segments_[i].lastTime());
    }
    if (!(ownershipEnd_ <= reach + tol)) {
        reject("Playback geometry does not cover the owned right edge");
    }
}

double ChannelGeometry::valueAt(double x, std::size_t& cursor) const noexcept {
    const std::size_t count = segments_.size();
    if (count == 0) {  // only a moved-from geometry
        return 0.0;
    }
    std::size_t i = std::min(cursor, count - 1);
    while (i + 1 < count && x >= segments_[i].lastTime()) {
        ++i;
    }
    while (i > 0 && segments_[i].firstTime() > x) {
        --i;
    }
    cursor = i;
    const file::CurveSegment& segment = segments_[i];
    if (x < segment.firstTime()) {
        return segment.points().front().value;
    }
    if (x > segment.lastTime()) {
        return segment.points().back().value;
    }
    return segment.valueAt(x);
}

void ChannelGeometry::valuesAt(const double* times, std::size_t count, double* out,
                               std::size_t& cursor) const noexcept {
    const std::size_t segments = segments_.size();
    if (segments == 0) {
        std::fill(out, out + count, 0.0);
        return;
    }
    std::size_t i = std::min(cursor, segments - 1);
    std::size_t at = 0;
    while (at < count) {
        const double x = times[at];
        while (i + 1 < segments && x >= segments_[i].lastTime()) {
            ++i;
        }
        while (i > 0 && segments_[i].firstTime() > x) {
            --i;
        }
        // Later times keep segment i until one reaches its last point (when
        // a next segment exists): stepping back needs a time before the
        // segment's first point, and the times do not decrease.
        const double until =
            i + 1 < segments ? segments_[i].lastTime() : std::numeric_limits<double>::infinity();
        // The times do not decrease: the first one at or past `until` by bisection.
        const std::size_t end =
            at + 1 +
            static_cast<std::size_t>(std::lower_bound(times + at + 1, times + count, until) - (times + at + 1));
        // The segment's own clamping gives exactly the end values used above.
        segments_[i].valuesAt(times + at, end - at, out + at);
        at = end;
    }
    cursor = i;
}

ChannelGeometry decodeChannelGeometry(const file::BlockView& block) {
    return ChannelGeometry(block.header.channel, block.header.ownershipStart,
                           block.header.ownershipEnd, file::decodeSegments(block));
}

}  // namespace al::surrogate
