#include "record/CurveSegment.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "record/ByteCursor.h"

namespace al::file {

namespace {

[[noreturn]] void reject(const char* message) {
    throw std::invalid_argument(message);
}
[[noreturn]] void corrupt(const char* message) {
    throw std::runtime_error(message);
}

// Smallest encoded segment: two points, 8 * 2 + 12 bytes.
constexpr std::size_t kMinEncodedSegment = 28;

float f32At(std::span<const std::byte> bytes, std::size_t k) noexcept {
    float value;
    std::memcpy(&value, bytes.data() + 4 * k, sizeof value);
    return value;
}

}  // namespace

CurveSegment::CurveSegment(SegmentKind kind, std::uint8_t flags, std::vector<ControlPoint> points)
    : kind_(kind), flags_(flags), points_(std::move(points)) {
    if (points_.size() < 2) {
        reject("Playback segment requires at least two control points");
    }
    // The wide curve build checks every point as the loop below does (and
    // the kind rules concern other kinds), so a curve it builds needs no
    // second look at its points. A bad point sends the build back to the
    // checks in order, which name the first fault as ever.
    if (kind_ == SegmentKind::Pchip && pchip_.buildIfSound(points_)) {
        return;
    }
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (!std::isfinite(points_[i].time) || !std::isfinite(points_[i].value)) {
            reject("Playback segment contains nonfinite control point");
        }
        if (i > 0 && !(points_[i].time > points_[i - 1].time)) {
            reject("Playback segment control-point times are not increasing");
        }
    }
    if (kind_ == SegmentKind::Linear && points_.size() != 2) {
        reject("LINEAR segment must contain exactly two control points");
    }
    if (kind_ != SegmentKind::Linear && kind_ != SegmentKind::Pchip &&
        kind_ != SegmentKind::Polyline) {
        reject("Playback segment kind is not LINEAR, PCHIP or POLYLINE");
    }
    if (kind_ == SegmentKind::Pchip) {
        pchip_.build(points_);
    }
}

double CurveSegment::valueAt(double x) const noexcept {
    if (x <= points_.front().time) {
        return points_.front().value;
    }
    if (x >= points_.back().time) {
        return points_.back().value;
    }
    if (kind_ == SegmentKind::Pchip) {
        return pchip_.evaluate(x);
    }
    return lineValueAt(x);
}

namespace {

// The exact monotone interpolation between two points, u = (x - t0) / (t1 - t0):
// y0 at u = 0 and y1 at u = 1 exactly, never past y1.
inline double lineBetween(const ControlPoint& p0, const ControlPoint& p1, double x) noexcept {
    const double u = (x - p0.time) / (p1.time - p0.time);
    const double y0 = p0.value;
    const double y1 = p1.value;
    if ((y0 <= 0.0 && 0.0 <= y1) || (y0 >= 0.0 && 0.0 >= y1)) {
        return (1.0 - u) * y0 + y1 * u;
    }
    if (u == 1.0) {
        return y1;
    }
    // One rounding; then the result is pinned so it never passes y1.
    const double r = std::fma(u, y1 - y0, y0);
    return ((u > 1.0) == (y1 > y0)) ? std::max(y1, r) : std::min(y1, r);
}

}  // namespace

double CurveSegment::lineValueAt(double x) const noexcept {
    // First point later than x, searched from point 1 so that p0 always
    // exists (also for a NaN time, which then yields NaN).
    auto later = std::upper_bound(points_.begin() + 1, points_.end(), x,
                                  [](double t, const ControlPoint& p) { return t < p.time; });
    if (later == points_.end()) {
        --later;
    }
    return lineBetween(*(later - 1), *later, x);
}

void CurveSegment::valuesAt(const double* times, std::size_t count, double* out) const noexcept {
    const ControlPoint front = points_.front();
    const ControlPoint back = points_.back();
    std::size_t i = 0;
    while (i < count && times[i] <= front.time) {
        out[i++] = front.value;
    }
    // The times do not decrease: the first one at or past the last point by
    // bisection rather than by a step per time.
    const std::size_t end = i + static_cast<std::size_t>(
                                    std::lower_bound(times + i, times + count, back.time) - (times + i));
    if (end > i) {
        if (kind_ == SegmentKind::Pchip) {
            pchipValuesAt(times + i, end - i, out + i);
        } else {
            lineValuesAt(times + i, end - i, out + i);
        }
    }
    for (i = end; i < count; ++i) {
        out[i] = back.value;
    }
}

namespace {

double cubicAt(const CubicInterval& c, double t) noexcept {
    const double s = t - c.xLeft;
    return ((c.a3 * s + c.a2) * s + c.a1) * s + c.a0;
}

// One time after another from interval c on, each by the first interval
// whose right end lies beyond it.
[[gnu::noinline]] void evaluateEach(const CubicInterval* c, const double* times, std::size_t count,
                                    double* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double t = times[i];
        while (!(t < c->xRight)) {
            ++c;
        }
        out[i] = cubicAt(*c, t);
    }
}

}  // namespace

// Every time lies strictly inside the points, hence inside the curve, and an
// interval is used from the first time below its right end (the first
// interval whose right end lies beyond the time, as the curve's search picks)
// up to that end.
void CurveSegment::pchipValuesAt(const double* times, std::size_t count,
                                 double* out) const noexcept {
    const CubicIntervals& intervals = pchip_.intervals();
    const std::size_t last = intervals.size() - 1;
    std::size_t j = static_cast<std::size_t>(
        std::upper_bound(intervals.begin(), intervals.end(), times[0],
                         [](double t, const CubicInterval& c) { return t < c.xRight; }) -
        intervals.begin());
    j = std::min(j, last);
    // A merge of two sorted lists: each time moves the interval on past
    // those that end at or before it (the last one takes every time after
    // it). At the source's own rate that is one interval per time, so the
    // loop does the least per step. The last interval ends at the last
    // point, beyond every time here, so the walk stops there by itself.
    // (A pointer rather than an index: the compiler keeps it in a register
    // instead of recomputing the address of each interval.)
    //
    // Where four times in a row share an interval (at output rates above the
    // source's), they are evaluated as two pairs of lanes: the same
    // operations on each time, so the same bits. Coefficients are copied
    // into both lanes, never added to a zero vector, which would turn a
    // coefficient of -0.0 into +0.0.
    //
    // Where the times are sparse (one per interval at the source's own rate)
    // the test for four in one interval would never pass: the plain loop.
    using Pair = double __attribute__((vector_size(16)));
    const CubicInterval* c = intervals.data() + j;
    const double step =
        count > 1 ? (times[count - 1] - times[0]) / static_cast<double>(count - 1) : 0.0;
    if (count < 8 || !(3.0 * step < c->xRight - c->xLeft)) {
        evaluateEach(c, times, count, out);
        return;
    }
    std::size_t i = 0;
    while (i < count) {
        const double t = times[i];
        while (!(t < c->xRight)) {
            ++c;
        }
        if (i + 4 <= count && times[i + 3] < c->xRight) {
            const Pair xl = {c->xLeft, c->xLeft};
            const Pair a0 = {c->a0, c->a0};
            const Pair a1 = {c->a1, c->a1};
            const Pair a2 = {c->a2, c->a2};
            const Pair a3 = {c->a3, c->a3};
            Pair t01, t23;
            std::memcpy(&t01, times + i, sizeof t01);
            std::memcpy(&t23, times + i + 2, sizeof t23);
            const Pair s01 = t01 - xl;
            const Pair s23 = t23 - xl;
            const Pair v01 = ((a3 * s01 + a2) * s01 + a1) * s01 + a0;
            const Pair v23 = ((a3 * s23 + a2) * s23 + a1) * s23 + a0;
            std::memcpy(out + i, &v01, sizeof v01);
            std::memcpy(out + i + 2, &v23, sizeof v23);
            i += 4;
            continue;
        }
        out[i] = cubicAt(*c, t);
        ++i;
    }
}

// As lineValueAt: the pair ending at the first point later than the time.
void CurveSegment::lineValuesAt(const double* times, std::size_t count,
                                double* out) const noexcept {
    const std::size_t last = points_.size() - 1;
    std::size_t k = static_cast<std::size_t>(
        std::upper_bound(points_.begin() + 1, points_.end(), times[0],
                         [](double t, const ControlPoint& p) { return t < p.time; }) -
        points_.begin());
    k = std::min(k, last);
    std::size_t i = 0;
    while (i < count) {
        const ControlPoint p0 = points_[k - 1];
        const ControlPoint p1 = points_[k];
        const double until = k == last ? std::numeric_limits<double>::infinity() : p1.time;
        for (; i < count && times[i] < until; ++i) {
            out[i] = lineBetween(p0, p1, times[i]);
        }
        ++k;
    }
}

std::uint64_t countControlPoints(const BlockView& block) noexcept {
    const auto payload = block.payload;
    std::uint64_t points = 0;
    std::size_t at = 0;
    for (std::uint32_t s = 0; s < block.header.segmentCount; ++s) {
        if (payload.size() - at < 4) {
            break;
        }
        const auto count =
            static_cast<std::uint16_t>(std::to_integer<unsigned>(payload[at + 2]) |
                                       (std::to_integer<unsigned>(payload[at + 3]) << 8));
        // An encoded segment of n points takes 8n + 12 bytes.
        const std::size_t size = 8u * count + 12u;
        if (count < 2 || size > payload.size() - at) {
            break;
        }
        points += count;
        at += size;
    }
    return points;
}

std::vector<CurveSegment> decodeSegments(const BlockView& block) {
    ByteCursor cursor(block.payload);
    std::vector<CurveSegment> segments;
    // A forged segment count cannot make us reserve more than the bytes hold.
    segments.reserve(std::min<std::size_t>(block.header.segmentCount,
                                           block.payload.size() / kMinEncodedSegment));
    for (std::uint32_t s = 0; s < block.header.segmentCount; ++s) {
        const std::uint8_t id = cursor.u8();
        const std::uint8_t flags = cursor.u8();
        const std::uint16_t count = cursor.u16();
        if (count < 2) {
            corrupt("Auralith segment has invalid control-point count");
        }
        SegmentKind kind;
        switch (id) {
            case 1:
                kind = SegmentKind::Linear;
                if (count != 2) {
                    corrupt("Auralith LINEAR segment does not have two control points");
                }
                break;
            case 2:
                kind = SegmentKind::Pchip;
                break;
            case 3:
                kind = SegmentKind::Polyline;
                break;
            default:
                throw std::runtime_error("Unsupported Auralith transport primitive id " +
                                         std::to_string(id));
        }
        const double anchorTime = cursor.f64();
        const double anchorValue = cursor.f64();
        if (!std::isfinite(anchorTime) || !std::isfinite(anchorValue)) {
            corrupt("Auralith segment anchor is nonfinite");
        }
        const std::size_t offsets = count - 1u;
        const auto timeOffsets = cursor.take(4 * offsets);
        const auto valueOffsets = cursor.take(4 * offsets);

        std::vector<ControlPoint> points;
        points.reserve(count);
        points.push_back({anchorTime, anchorValue});
        for (std::size_t k = 0; k < offsets; ++k) {
            const double time = anchorTime + static_cast<double>(f32At(timeOffsets, k));
            const double value = anchorValue + static_cast<double>(f32At(valueOffsets, k));
            if (!std::isfinite(time) || !std::isfinite(value) || !(time > points.back().time)) {
                corrupt("Auralith reconstructed control points are invalid");
            }
            points.push_back({time, value});
        }
        segments.emplace_back(kind, flags, std::move(points));
    }
    if (cursor.position() != block.payload.size()) {
        corrupt("Auralith block payload has trailing or unparsed bytes");
    }
    return segments;
}

}  // namespace al::file
