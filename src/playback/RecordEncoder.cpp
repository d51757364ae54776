#include "playback/RecordEncoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "playback/ChannelGeometry.h"
#include "record/PchipFill.h"
#include "record/RecordFileWriter.h"

namespace al::playback {

using file::ControlPoint;
using file::CurveSegment;
using file::EncodedSegment;
using file::SegmentKind;

namespace {

constexpr std::uint64_t kChunkFrames = 1024;
// A straight run shorter than this is cheaper inside a PCHIP piece than as a
// segment of its own (a LINEAR segment and the extra piece start cost about
// as much as eight points).
constexpr std::size_t kMinStraightRun = 8;
// Moves of stored values per piece before a frame is given up (a frame that
// needs more than one or two is not expected).
constexpr int kMaxValueMoves = 256;
// How many f32 steps of a knot's time and value either way are searched for a
// value that rounds as the source's (the value grid alone can be coarser than
// the window two output depths leave; time steps shift it by slope x step).
constexpr int kTimeSteps = 8;
constexpr int kValueSteps = 3;
// Where no candidate piece stays close enough, the ones kept are searched
// this many times further.
constexpr int kWideSearch = 4;
// The first piece of a chunk tries this far; later ones follow what worked.
constexpr std::size_t kFirstReach = 128;
// How far a piece may stray from the chunk curve between frames: 0.4 of a
// 24-bit step at the middle of each interval (the Hermite error of a slope
// is largest near a third of the way and about a sixth larger there), so
// renderings at other rates stay within one 24-bit step of the source's.
constexpr double kDeviationLimit = 0.4 / 8388608.0;
// A piece further than this from the curve between frames makes renderings
// at other rates differ from the source's by two or more 24-bit steps (or,
// for a one-sided end slope in a loud high stretch, by a large fraction of
// full scale): worse than a frame that rounds one step differently at the
// source rate, so such a piece is taken only when every other one is too.
constexpr double kGrossDeviation = 1.0 / 8388608.0;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Rounds half away from zero as llround does, without the library call
// (every frame of every candidate piece is rounded twice): scaled values stay
// within 2^31, so truncation is exact and y - trunc(y) is computed without
// rounding. Inside (-1, 1) the rounded value is within the code range, so
// only values outside it (and non-finite ones, which the converters make
// silence) take the clamping path.
std::int32_t integerCode(double x, double scale, std::int32_t lowest,
                         std::int32_t highest) noexcept {
    if (!(std::fabs(x) < 1.0)) {
        if (!std::isfinite(x)) {
            return 0;
        }
        return x < 0.0 ? lowest : highest;
    }
    const double y = x * scale;
    std::int32_t t = static_cast<std::int32_t>(y);
    const double fraction = y - static_cast<double>(t);
    t += static_cast<std::int32_t>(fraction >= 0.5) - static_cast<std::int32_t>(fraction <= -0.5);
    return t;
}

// The slope the PCHIP curve gives its last point (the curve's own rule).
using file::pchip_detail::endSlope;

enum class PieceEnd {
    Reference,     // the chunk curve's own last point: its end slope is the curve's
    TurningPoint,  // slope 0 in the curve: held flat for one f32 step
    Straight,      // after an interval that the curve draws straight
    Cut,           // anywhere else: one-sided end slope
};

// A PCHIP piece as a reader will rebuild it: its intervals and its last
// point's value (a segment plays its end values outside its points).
// The storage only grows (pieces are laid out by the hundred thousand, and
// clearing it for each would cost as much as filling it).
struct Piece {
    std::vector<file::CubicInterval> storage;
    std::size_t count = 0;  // intervals in use
    double lastValue = 0.0;
    std::size_t k0 = 0;                // the first knot with a stored offset (firstStoredKnot)
    std::vector<ControlPoint> points;  // the same, grown only
    std::size_t pointCount = 0;
    const file::CubicInterval& operator[](std::size_t i) const noexcept { return storage[i]; }
    double firstTime() const noexcept { return storage[0].xLeft; }
    double firstValue() const noexcept { return storage[0].a0; }
    double lastTime() const noexcept { return storage[count - 1].xRight; }
};

// Encodes one channel of one chunk at a time against the chunk curve the
// player draws. One is kept for a whole encoding and reset for each chunk and
// channel, so its storage (candidates, lattice times, codes) is allocated
// once rather than for every chunk.
class ChannelEncoder {
  public:
    explicit ChannelEncoder(std::uint32_t segmentFrames) : segmentFrames_(segmentFrames) {}

    // Takes the next chunk curve; `reference` must outlive the run() after.
    void reset(const surrogate::ChannelGeometry& reference, std::uint64_t firstPointFrame,
               std::uint64_t firstOwned, std::uint64_t endOwned, std::uint64_t frames,
               std::uint32_t rate) {
        reference_ = &reference;
        const CurveSegment& curve = reference.segments().front();
        points_ = &curve.points();
        n_ = points_->size();
        slopes_.clear();
        if (curve.kind() == SegmentKind::Pchip) {
            const auto& intervals = curve.pchip().intervals();
            slopes_.assign(n_, 0.0);
            midTime_.resize(n_ - 1);
            midValue_.resize(n_ - 1);
            for (std::size_t j = 0; j + 1 < n_; ++j) {
                const file::CubicInterval& r = intervals[j];
                slopes_[j] = r.a1;
                const double x = r.xLeft + 0.5 * (r.xRight - r.xLeft);
                const double sx = x - r.xLeft;
                midTime_[j] = x;
                midValue_[j] = ((r.a3 * sx + r.a2) * sx + r.a1) * sx + r.a0;
            }
        }
        hold_ = reference.segments().size() > 1;
        const std::uint64_t lastServed = std::min(endOwned, frames - 1);
        served_ = {static_cast<std::size_t>(firstOwned - firstPointFrame),
                   static_cast<std::size_t>(lastServed - firstPointFrame)};
        if (curve.kind() != SegmentKind::Pchip) {
            served_ = {0, 0};
        }
        // The lattice's time of each point's frame, and the codes the
        // converters make of the curve's value there.
        latticeTime_.resize(n_);
        code16_.assign(n_, 0);
        code24_.assign(n_, 0);
        const double rateD = static_cast<double>(rate);
        const bool pchip = curve.kind() == SegmentKind::Pchip;
        std::size_t cursor = 0;
        for (std::size_t j = 0; j < n_; ++j) {
            const double x = static_cast<double>(firstPointFrame + j) / rateD;
            latticeTime_[j] = x;
            if (j >= served_.first && j <= served_.second) {
                double v = 0.0;
                if (pchip && x == T(j)) {
                    // On a point the curve's value is the point's own.
                    v = V(j);
                } else if (pchip && x > T(0) && x < T(n_ - 1)) {
                    // Strictly inside the curve the geometry asks the curve
                    // itself; the frame's time is near knot j, so the
                    // interval is found from there.
                    v = curveAtLattice(curve.pchip().intervals(), j, x);
                } else {
                    v = reference.valueAt(x, cursor);
                }
                code16_[j] = pcm16Code(v);
                code24_[j] = pcm24Code(v);
            }
        }
    }

    // The segments go to `out` if given, else their stored bytes are
    // appended to `payload` (the encoder's own path: no segment is kept).
    // `built`, if given, also gets every segment as a reader will rebuild it.
    void run(std::vector<EncodedSegment>* out, std::vector<std::byte>* payload,
             std::vector<CurveSegment>* built, RecordEncodeStats& stats) {
        out_ = out;
        payload_ = payload;
        emitted_ = 0;
        built_ = built;
        stats_ = &stats;
        const CurveSegment& curve = reference_->segments().front();
        if (curve.kind() != SegmentKind::Pchip) {
            // A one-frame file: a constant, as the player draws it.
            copyPolyline(curve);
            return;
        }
        std::size_t m0 = 0;
        std::size_t i = 0;
        while (i + 1 < n_) {
            if (!straight(i)) {
                ++i;
                continue;
            }
            std::size_t b = i;
            while (b + 1 < n_ && straight(b)) {
                ++b;
            }
            // Knots i .. b are joined by straight intervals i .. b-1.
            if (b - i >= kMinStraightRun) {
                std::size_t start = 0;
                if (i > 0) {
                    // The piece before ends one knot into the run, where its own
                    // end slope equals the run's.
                    pchipRegion(m0, i + 1, PieceEnd::Straight);
                    start = i + 1;
                }
                linearRun(start, b);
                m0 = b;
            }
            i = b;
        }
        if (m0 + 1 < n_) {
            pchipRegion(m0, n_ - 1, PieceEnd::Reference);
        }
        if (hold_) {
            copyPolyline(reference_->segments()[1]);
        }
    }

    // Segments emitted by the last run().
    std::size_t emitted() const noexcept { return emitted_; }

  private:
    // The curve's value at x as PchipCurve::evaluate gives it (the same
    // interval: the first whose right end lies beyond x, and the same Horner
    // form), searching from interval j - 1 instead of bisecting.
    static double curveAtLattice(const file::CubicIntervals& intervals, std::size_t j,
                                 double x) noexcept {
        const file::CubicInterval& last = intervals.back();
        if (!(x >= intervals.front().xLeft && x <= last.xRight)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const file::CubicInterval* iv = &last;
        if (x != last.xRight) {
            const std::size_t count = intervals.size();
            std::size_t k = std::min(j > 0 ? j - 1 : 0, count - 1);
            while (k < count && !(x < intervals[k].xRight)) {
                ++k;
            }
            while (k > 0 && x < intervals[k - 1].xRight) {
                --k;
            }
            iv = &intervals[k];
        }
        const double sx = x - iv->xLeft;
        return ((iv->a3 * sx + iv->a2) * sx + iv->a1) * sx + iv->a0;
    }

    double T(std::size_t j) const noexcept { return (*points_)[j].time; }
    double V(std::size_t j) const noexcept { return (*points_)[j].value; }
    double step(std::size_t j) const noexcept { return V(j + 1) - V(j); }

    // Whether the curve draws interval j as a straight line: no change at all,
    // or both end slopes equal to the secant (equal steps on either side).
    bool straight(std::size_t j) const noexcept {
        const double s = step(j);
        if (s == 0.0) {
            return true;
        }
        if (n_ == 2) {
            return true;
        }
        const bool left = j == 0 ? step(1) == s : step(j - 1) == s;
        const bool right = j + 2 == n_ ? step(j - 1) == s : step(j + 1) == s;
        return left && right;
    }

    bool turningPoint(std::size_t j) const noexcept {
        return j >= 1 && j + 1 < n_ && slopes_[j] == 0.0;
    }

    // How far the curve on interval j-1 .. j moves when j's slope is the
    // one-sided end slope instead of the curve's.
    double cutCost(std::size_t j) const noexcept {
        if (j < 2 || j + 1 >= n_) {
            return std::numeric_limits<double>::infinity();
        }
        const double h0 = T(j) - T(j - 1);
        const double h1 = T(j - 1) - T(j - 2);
        const double e = endSlope(h0, h1, step(j - 1) / h0, step(j - 2) / h1);
        return std::fabs(e - slopes_[j]) * h0;
    }

    std::size_t lastTurningPoint(std::size_t lo, std::size_t hi) const noexcept {
        for (std::size_t j = hi + 1; j-- > lo;) {
            if (turningPoint(j)) {
                return j;
            }
        }
        return kNone;
    }

    std::size_t firstTurningPoint(std::size_t lo, std::size_t hi) const noexcept {
        for (std::size_t j = lo; j <= hi; ++j) {
            if (turningPoint(j)) {
                return j;
            }
        }
        return kNone;
    }

    std::size_t chooseCut(std::size_t lo, std::size_t hi, PieceEnd& end) const noexcept {
        for (std::size_t j = hi + 1; j-- > lo;) {
            if (turningPoint(j)) {
                end = PieceEnd::TurningPoint;
                return j;
            }
        }
        std::size_t best = hi;
        double bestCost = std::numeric_limits<double>::infinity();
        for (std::size_t j = lo; j <= hi; ++j) {
            const double cost = cutCost(j);
            if (cost < bestCost) {
                bestCost = cost;
                best = j;
            }
        }
        end = PieceEnd::Cut;
        return best;
    }

    bool servedKnot(std::size_t j) const noexcept {
        return j >= served_.first && j <= served_.second;
    }

    // The first served frame in [from, to] whose value (valueAt(x) for the
    // frame's lattice time x, asked in increasing order) rounds differently
    // from the curve's, or kNone.
    template <typename ValueAt>
    std::size_t firstMismatchOf(std::size_t from, std::size_t to, ValueAt valueAt) const noexcept {
        const std::size_t lo = std::max(from, served_.first);
        const std::size_t hi = std::min(to, served_.second);
        for (std::size_t j = lo; j <= hi && hi != kNone; ++j) {
            const double v = valueAt(latticeTime_[j]);
            if (pcm16Code(v) != code16_[j] || pcm24Code(v) != code24_[j]) {
                return j;
            }
        }
        return kNone;
    }

    // The same for a PCHIP piece, evaluated as the lattice does it (end
    // values outside its points; inside, the first interval whose right end
    // lies beyond the time, then the same Horner form), walking the
    // intervals forward instead of bisecting.
    std::size_t firstMismatch(const Piece& piece, std::size_t from, std::size_t to) const noexcept {
        const std::size_t count = piece.count;
        std::size_t interval = 0;
        return firstMismatchOf(from, to, [&](double x) {
            if (x <= piece.firstTime()) {
                return piece.firstValue();
            }
            if (x >= piece.lastTime()) {
                return piece.lastValue;
            }
            while (interval + 1 < count && piece[interval].xRight <= x) {
                ++interval;
            }
            const file::CubicInterval& iv = piece[interval];
            const double t = x - iv.xLeft;
            return ((iv.a3 * t + iv.a2) * t + iv.a1) * t + iv.a0;
        });
    }

    // Lays out a PCHIP segment as a reader will rebuild it, into storage
    // that is kept from piece to piece.
    // `finished(i)` hears of each interval once final and may stop the fill
    // by returning false (then so does this, leaving the piece unfinished).
    // (from the points buildPiece left, or rebuild put, in the piece).
    template <typename Finished>
    static bool fill(Piece& piece, Finished finished) {
        const std::size_t count = piece.pointCount;
        if (piece.storage.size() < count - 1) {
            piece.storage.resize(std::max(count - 1, 2 * piece.storage.size()));
        }
        piece.count = count - 1;
        const ControlPoint* const points = piece.points.data();
        piece.lastValue = points[count - 1].value;
        // The points are finite and increasing by construction (buildPiece and
        // fixFrame keep every time after the one before).
        return file::pchip_detail::fillIntervals<false>(
            count, [points](std::size_t k) { return points[k].time; },
            [points](std::size_t k) { return points[k].value; }, piece.storage.data(), finished);
    }

    static void rebuild(const EncodedSegment& s, Piece& piece) {
        const std::size_t count = s.pointCount();
        if (piece.points.size() < count) {
            piece.points.resize(std::max(count, 2 * piece.points.size()));
        }
        for (std::size_t k = 0; k < count; ++k) {
            piece.points[k] = {file::rebuiltTime(s, k), file::rebuiltValue(s, k)};
        }
        piece.pointCount = count;
        fill(piece, [](std::size_t) { return true; });
    }

    // The distance between a piece's interval i and the chunk curve at the
    // middle of the curve's interval it follows, or a negative value for an
    // interval not measured (context, or not played).
    double intervalDeviation(const Piece& piece, std::size_t first, std::size_t lo, std::size_t hi,
                             std::size_t i) const noexcept {
        // Interval k of the chunk curve is the piece's interval k - first,
        // one later with an extra anchor.
        const std::size_t shift = piece.k0 == first ? 1 : 0;
        if (i + first < shift + lo || i + first >= shift + hi) {
            return -1.0;
        }
        const std::size_t k = i + first - shift;
        const double x = midTime_[k];
        const file::CubicInterval& c = piece[i];
        const double px = x - c.xLeft;
        const double got = ((c.a3 * px + c.a2) * px + c.a1) * px + c.a0;
        return std::fabs(got - midValue_[k]);
    }

    // The same for any other segment (straight runs), as it evaluates itself.
    std::size_t firstMismatch(const CurveSegment& segment, std::size_t from,
                              std::size_t to) const noexcept {
        return firstMismatchOf(from, to, [&](double x) { return segment.valueAt(x); });
    }

    // The last frame a segment ending at knot n evaluates: n itself only when
    // nothing follows it.
    std::size_t lastEvaluated(std::size_t n) const noexcept {
        return n + 1 == n_ && !hold_ ? n : n - 1;
    }

    // The last frame a piece ending at knot n plays: also n when its last
    // point (a turning point's flat copy) lies beyond n's lattice time.
    std::size_t playedUpTo(const Piece& piece, std::size_t n) const noexcept {
        return piece.lastTime() > latticeTime_[n] ? n : lastEvaluated(n);
    }

    // Moves the last point to or before `limit` so that the segment after it
    // takes that frame. False if it cannot stay after the point before it.
    static bool lowerLastTime(EncodedSegment& s, double limit) noexcept {
        float& offset = s.timeOffsets.back();
        const double before =
            s.pointCount() >= 3
                ? s.anchorTime + static_cast<double>(s.timeOffsets[s.timeOffsets.size() - 2])
                : s.anchorTime;
        for (int guard = 0; guard < 64 && s.anchorTime + static_cast<double>(offset) > limit;
             ++guard) {
            offset = std::nextafter(offset, -std::numeric_limits<float>::infinity());
        }
        const double t = s.anchorTime + static_cast<double>(offset);
        return t <= limit && t > before;
    }

    // Lays out a piece over knots first .. n as a reader will rebuild it,
    // anchored exactly on knot `first`. The later points' times are f32
    // offsets and so land slightly off their frames; the value stored for each
    // is the curve's value at the time it gets, so the piece stays on the
    // curve at its points. What the time error still moves (the slopes, by the
    // curvature times the error) grows with the distance from the anchor;
    // pchipRegion keeps pieces short enough for that to stay below a fraction
    // of a 24-bit step.
    bool buildPiece(std::size_t first, std::size_t m, std::size_t n, PieceEnd end,
                    EncodedSegment& s, Piece& piece) const {
        // Every offset is written below; resizing without clearing first
        // keeps the storage and fills nothing.
        s.kind = SegmentKind::Pchip;
        const auto [lo, hi] = valueRange(first, n);
        const std::size_t k0 = firstStoredKnot(first, m, lo, hi);
        piece.k0 = k0;
        if (k0 == first) {
            s.anchorTime = T(first) - (T(first + 1) - T(first));
            // The value halfway between the lowest and highest knot.
            s.anchorValue = lo + 0.5 * (hi - lo);
        } else {
            s.anchorTime = T(first);
            s.anchorValue = V(first);
        }
        const bool turning = end == PieceEnd::TurningPoint;
        if (turning && first < m) {
            // At a turning point the curve bends hardest, so there a time
            // error moves the piece most: move the anchor (context, never
            // played) by a fraction of an f32 step so that the turning point
            // lands exactly on its frame instead.
            const float span = static_cast<float>(T(n) - s.anchorTime);
            double at = T(n) - static_cast<double>(span);
            for (int guard = 0; guard < 4 && at + static_cast<double>(span) != T(n); ++guard) {
                at = std::nextafter(at, at + static_cast<double>(span) < T(n) ? 1e300 : -1e300);
            }
            if (at + static_cast<double>(span) == T(n)) {
                if (k0 != first) {
                    s.anchorValue = curveNear(first, at);
                }
                s.anchorTime = at;
            }
        }
        // The knots, and the flat copy after a turning point.
        const std::size_t knots = n - k0 + 1;
        s.timeOffsets.resize(knots);
        s.valueOffsets.resize(knots + (turning ? 1 : 0));
        float* const times = s.timeOffsets.data();
        double previous = s.anchorTime;
        for (std::size_t p = 0; p < knots; ++p) {
            float offset = static_cast<float>(T(k0 + p) - s.anchorTime);
            while (s.anchorTime + static_cast<double>(offset) <= previous) {
                offset = std::nextafter(offset, std::numeric_limits<float>::infinity());
            }
            previous = s.anchorTime + static_cast<double>(offset);
            times[p] = offset;
        }
        // Other ends hand their last frame to the next segment, so must end
        // at or before its lattice time.
        if (!turning && !lowerLastTime(s, latticeTime_[n])) {
            return false;
        }
        // The values, and the points as a reader rebuilds them.
        const std::size_t count = s.valueOffsets.size() + 1;
        if (piece.points.size() < count) {
            piece.points.resize(std::max(count, 2 * piece.points.size()));
        }
        ControlPoint* const points = piece.points.data();
        float* const values = s.valueOffsets.data();
        points[0] = {s.anchorTime, s.anchorValue};
        for (std::size_t p = 0; p < knots; ++p) {
            const double t = s.anchorTime + static_cast<double>(times[p]);
            values[p] = static_cast<float>(curveNear(k0 + p, t) - s.anchorValue);
            points[p + 1] = {t, s.anchorValue + static_cast<double>(values[p])};
        }
        if (turning) {
            // A copy of the last point one f32 step later: a zero secant, so the
            // slope at the turning point is exactly 0, as in the curve, and the
            // piece stays flat at the turning point's value up to the copy,
            // which may play the frame itself.
            const float last = s.timeOffsets.back();
            float q = std::nextafter(last, std::numeric_limits<float>::infinity());
            while (s.anchorTime + static_cast<double>(q) <=
                   s.anchorTime + static_cast<double>(last)) {
                q = std::nextafter(q, std::numeric_limits<float>::infinity());
            }
            s.timeOffsets.push_back(q);
            values[knots] = values[knots - 1];
            points[knots + 1] = {s.anchorTime + static_cast<double>(q), points[knots].value};
        }
        piece.pointCount = count;
        return true;
    }

    // The first knot of a piece over first .. n with a stored offset. Values
    // are stored as f32 offsets from the anchor, whose step grows with their
    // size: where the piece swings further from its first knot than from the
    // middle of its range, an extra anchor one frame earlier with the middle
    // value makes the steps finer. It changes only the slope of the first
    // knot, which is context and never played; the file's first frame is
    // played, so a piece starting there is always anchored on it.
    // lo and hi are the lowest and highest knot value of first .. n.
    std::size_t firstStoredKnot(std::size_t first, std::size_t m, double lo,
                                double hi) const noexcept {
        if (first == m) {
            return first + 1;
        }
        const double fromFirst = std::max(hi - V(first), V(first) - lo);
        const double fromMiddle = 0.5 * (hi - lo);
        return binaryExponent(fromMiddle) < binaryExponent(fromFirst) ? first : first + 1;
    }

    // The exponent std::frexp gives, read from the bits for normal numbers
    // (every piece asks twice; the library call cost more than the rest of
    // the choice).
    static int binaryExponent(double x) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(x);
        const int biased = static_cast<int>((bits >> 52) & 0x7FF);
        if (biased == 0 || biased == 0x7FF) {
            int e = 0;
            std::frexp(x, &e);
            return e;
        }
        return biased - 1022;
    }

    std::pair<double, double> valueRange(std::size_t first, std::size_t n) const noexcept {
        double lo = V(first);
        double hi = V(first);
        for (std::size_t k = first + 1; k <= n; ++k) {
            lo = std::min(lo, V(k));
            hi = std::max(hi, V(k));
        }
        return {lo, hi};
    }

    // The chunk curve at time t, which lies within a fraction of a frame of
    // knot j: the interval on the side t falls, evaluated directly.
    double curveNear(std::size_t j, double t) const noexcept {
        if (t == T(j)) {
            return V(j);
        }
        const auto& intervals = reference_->segments().front().pchip().intervals();
        const std::size_t i = std::min(t < T(j) && j > 0 ? j - 1 : j, intervals.size() - 1);
        const file::CubicInterval& iv = intervals[i];
        const double x = std::clamp(t, iv.xLeft, iv.xRight) - iv.xLeft;
        return ((iv.a3 * x + iv.a2) * x + iv.a1) * x + iv.a0;
    }

    // The largest distance, at the middle of each played interval of knots
    // m .. n, between the piece (its interval k - first) and the chunk curve.
    double midpointDeviation(const Piece& piece, std::size_t first, std::size_t m,
                             std::size_t n) const noexcept {
        const std::size_t lo = std::max(m, served_.first);
        const std::size_t hi = std::min(n, served_.second);
        const std::size_t shift = piece.k0 == first ? 1 : 0;
        double worst = 0.0;
        for (std::size_t k = lo; k < hi; ++k) {
            worst = std::max(worst, intervalDeviation(piece, first, lo, hi, k - first + shift));
        }
        return worst;
    }

    // Hands a segment on. The segment stays the caller's (its storage is
    // reused for the next piece), so a piece allocates nothing.
    void emit(const EncodedSegment& s) {
        if (built_ != nullptr) {
            built_->emplace_back(s.kind, 0, file::rebuildPoints(s));
        }
        stats_->controlPoints += s.pointCount();
        switch (s.kind) {
            case SegmentKind::Linear:
                ++stats_->linearSegments;
                break;
            case SegmentKind::Pchip:
                ++stats_->pchipSegments;
                break;
            case SegmentKind::Polyline:
                ++stats_->polylineSegments;
                break;
        }
        ++emitted_;
        if (out_ != nullptr) {
            out_->push_back(s);
        } else {
            file::appendEncodedSegment(*payload_, s);
        }
    }

    struct FitCounts {
        std::uint64_t moves = 0;
        std::uint64_t unreproduced = 0;
    };

    // Where a played frame would still round differently (its value sits
    // closer to a rounding boundary than the f32 value steps allow), searches
    // the knot's stored time and value a few f32 steps either way, with the
    // value refilled from the curve at each time, for a pair that rounds as
    // the source does. Each candidate moves the piece by about a stored step,
    // far less than a 24-bit step between frames. `built` is the piece as laid
    // out; a moved knot changes only the frames within two of it, which are
    // checked on the points around them, so the piece is rebuilt once at the
    // end and then checked whole.
    void fitValues(std::size_t m, std::size_t n, EncodedSegment& s, Piece& built, FitCounts& counts,
                   int widen) const {
        const std::size_t k0 = built.k0;
        const std::size_t to = playedUpTo(built, n);
        std::size_t j = m;
        std::size_t movedUpTo = 0;  // frames up to here may have moved
        bool moved = false;
        int moves = 0;
        std::uint64_t given = 0;  // frames given up, while nothing moved exact
        while (j <= to) {
            std::size_t bad = kNone;
            if (moved && j <= movedUpTo) {
                if (j >= served_.first && j <= served_.second) {
                    const double v = localValue(s, j + 1 - k0, latticeTime_[j]);
                    if (pcm16Code(v) != code16_[j] || pcm24Code(v) != code24_[j]) {
                        bad = j;
                    }
                }
                if (bad == kNone) {
                    ++j;
                    continue;
                }
            } else {
                bad = firstMismatch(built, j, to);
                if (bad == kNone) {
                    break;
                }
            }
            if (bad < k0 || bad > n || moves >= kMaxValueMoves || !fixFrame(s, k0, n, bad, widen)) {
                // Not a knot with a stored offset, or it will not settle.
                ++given;
                j = bad + 1;
                continue;
            }
            ++moves;
            moved = true;
            movedUpTo = std::max(movedUpTo, bad + 2);
            // A moved knot also moves its neighbours' slopes a little.
            j = bad > m + 2 ? bad - 2 : m;
        }
        counts.moves += static_cast<std::uint64_t>(moves);
        if (!moved) {
            counts.unreproduced += given;
            return;
        }
        rebuild(s, built);
        for (std::size_t f = m; f <= to;) {
            const std::size_t bad = firstMismatch(built, f, to);
            if (bad == kNone) {
                break;
            }
            ++counts.unreproduced;
            f = bad + 1;
        }
    }

    static float stepped(float x, int steps) noexcept {
        for (; steps > 0; --steps) {
            x = std::nextafter(x, std::numeric_limits<float>::infinity());
        }
        for (; steps < 0; ++steps) {
            x = std::nextafter(x, -std::numeric_limits<float>::infinity());
        }
        return x;
    }

    // The piece's value at x near stored point p, from the five points around
    // it: PCHIP slopes depend on the neighbouring secants only (and at an end
    // on the same three points either way), so this is the whole piece's
    // value to the bit, at a fraction of the cost.
    static double localValue(const EncodedSegment& s, std::size_t p, double x) {
        const std::size_t count = s.pointCount();
        const std::size_t lo = p >= 2 ? p - 2 : 0;
        const std::size_t hi = std::min(count - 1, p + 2);
        std::array<ControlPoint, 5> points;
        for (std::size_t k = lo; k <= hi; ++k) {
            points[k - lo] = {file::rebuiltTime(s, k), file::rebuiltValue(s, k)};
        }
        // As a segment evaluates: its end values outside its points.
        if (x <= points[0].time) {
            return points[0].value;
        }
        if (x >= points[hi - lo].time) {
            return points[hi - lo].value;
        }
        return file::PchipCurve::valueThrough(std::span(points.data(), hi - lo + 1), x);
    }

    bool fixFrame(EncodedSegment& s, std::size_t k0, std::size_t n, std::size_t knot,
                  int widen) const {
        const int timeSteps = kTimeSteps * widen;
        const int valueSteps = kValueSteps * widen;
        const std::size_t o = knot - k0;  // its offset; point o + 1
        const std::size_t p = o + 1;
        const bool last = p + 1 == s.pointCount();
        if (!last && knot == n) {
            // A turning point's flat copy follows: move both values together.
            const float value0 = s.valueOffsets[o];
            for (int j = 1; j <= 2 * valueSteps; ++j) {
                const int dv = j % 2 == 1 ? (j + 1) / 2 : -(j / 2);
                s.valueOffsets[o] = s.valueOffsets[o + 1] = stepped(value0, dv);
                const double v = localValue(s, p, latticeTime_[knot]);
                if (pcm16Code(v) == code16_[knot] && pcm24Code(v) == code24_[knot]) {
                    return true;
                }
            }
            s.valueOffsets[o] = s.valueOffsets[o + 1] = value0;
            return false;
        }
        const float time0 = s.timeOffsets[o];
        const float value0 = s.valueOffsets[o];
        const double before = file::rebuiltTime(s, p - 1);
        const double after = last ? latticeTime_[n] : file::rebuiltTime(s, p + 1);
        const double x = latticeTime_[knot];
        for (int i = 0; i <= 2 * timeSteps; ++i) {
            const int dt = i % 2 == 1 ? (i + 1) / 2 : -(i / 2);
            const float t = stepped(time0, dt);
            const double at = s.anchorTime + static_cast<double>(t);
            if (!(at > before) || (last ? at > after : !(at < after))) {
                continue;
            }
            s.timeOffsets[o] = t;
            const float base =
                dt == 0 ? value0 : static_cast<float>(curveNear(knot, at) - s.anchorValue);
            for (int j = 0; j <= 2 * valueSteps; ++j) {
                const int dv = j % 2 == 1 ? (j + 1) / 2 : -(j / 2);
                if (dt == 0 && dv == 0) {
                    continue;
                }
                s.valueOffsets[o] = stepped(base, dv);
                const double v = localValue(s, p, x);
                if (pcm16Code(v) == code16_[knot] && pcm24Code(v) == code24_[knot]) {
                    return true;
                }
            }
        }
        s.timeOffsets[o] = time0;
        s.valueOffsets[o] = value0;
        return false;
    }

    // One way to lay out the next piece, measured.
    struct Candidate {
        EncodedSegment segment;
        std::size_t n = 0;
        PieceEnd end = PieceEnd::Cut;
        double deviation = std::numeric_limits<double>::infinity();
        Piece built;  // as laid out, then as fitted
        bool fitted = false;
        bool measured = false;        // built holds the whole piece and deviation its own
        std::size_t strayed = kNone;  // else the curve's interval where it strayed
        FitCounts counts;
    };

    // Lays out the candidate's piece and measures it between frames, giving
    // up at the first interval that strays too far: such a candidate is not
    // fitted (its deviation then only says that it is too far) unless no
    // candidate is close enough, and then it is measured whole.
    void measureLaidOut(std::size_t first, std::size_t m, Candidate& c) const {
        const std::size_t lo = std::max(m, served_.first);
        const std::size_t hi = std::min(c.n, served_.second);
        double worst = 0.0;
        c.strayed = kNone;
        c.measured = fill(c.built, [&](std::size_t i) {
            worst = std::max(worst, intervalDeviation(c.built, first, lo, hi, i));
            if (worst > kDeviationLimit) {
                c.strayed = i + first - (c.built.k0 == first ? 1 : 0);
                return false;
            }
            return true;
        });
        c.deviation = worst;
    }

    void fitCandidate(std::size_t first, std::size_t m, Candidate& c, int widen = 1) const {
        c.counts = {};
        fitValues(m, c.n, c.segment, c.built, c.counts, widen);
        c.fitted = true;
        c.measured = true;
        c.deviation = midpointDeviation(c.built, first, m, c.n);
    }

    // Pieces that are not grossly off between frames first, then fewer
    // frames that round differently (exact bytes at the source rate), then
    // the smaller deviation between frames; of two gross ones the closer.
    static bool better(const Candidate& a, const Candidate& b) noexcept {
        if (!b.fitted) {
            return a.fitted;
        }
        if (!a.fitted) {
            return false;
        }
        const bool grossA = a.deviation > kGrossDeviation;
        const bool grossB = b.deviation > kGrossDeviation;
        if (grossA || grossB) {
            // Among gross ones only the distance counts.
            return grossA == grossB ? a.deviation < b.deviation : grossB;
        }
        if (a.counts.unreproduced != b.counts.unreproduced) {
            return a.counts.unreproduced < b.counts.unreproduced;
        }
        return a.deviation < b.deviation;
    }

    void pchipRegion(std::size_t m0, std::size_t n0, PieceEnd regionEnd) {
        // The left context point is not played: the first played frame is 1.
        std::size_t m = m0 == 0 && served_.first >= 1 && n0 >= 2 ? 1 : m0;
        // How far the next piece may reach: follows the lengths that worked
        // (1.3 times the last), so a loud stretch costs few trials per piece
        // and a quiet one still grows to whole chunks within a chunk. Twice
        // the last made the first trial fail for most pieces of loud noise
        // (two of three trials wasted); much less than 1.3 makes pieces
        // shorter and the record larger.
        const auto next = [](std::size_t length) { return length + 3 * length / 10; };
        std::size_t reach = std::min<std::size_t>(kFirstReach, segmentFrames_);
        while (m < n0) {
            // A piece from the curve's first point must hold three points for
            // the curve's end slope there.
            const std::size_t minEnd = m == 0 ? std::min<std::size_t>(2, n0) : m + 1;
            // Every piece but the file's first starts one knot early, so the
            // slope at its first played frame comes from the same three
            // samples as the curve's.
            const std::size_t first = m == 0 ? 0 : m - 1;
            std::size_t limit = std::min(n0, m + reach);
            // Candidates from the longest down. Each is laid out and measured
            // between frames first (cheap); one close enough is fitted to
            // round as the source at the frames and taken if it still is. If
            // none is, the best of the fitted ones and of the closest unfitted
            // one, ranked by frames that round differently, then deviation.
            // The candidates live in storage kept from piece to piece and
            // change places by swapping, so a piece allocates nothing but
            // its own segment.
            Candidate& best = best_;  // the first that passes, else the best fitted
            Candidate& c = trial_;
            best.fitted = false;
            best.n = 0;
            std::size_t unfittedCount = 0;  // in unfitted_, closest first when needed
            bool accepted = false;
            bool firstTry = true;
            for (;;) {
                c.fitted = false;
                c.counts = {};
                c.n = n0;
                c.end = regionEnd;
                if (limit < n0) {
                    // Turning points are exact ends; the nearest one past the
                    // limit beats an inexact cut before it.
                    std::size_t j = lastTurningPoint(minEnd, limit);
                    if (j == kNone && firstTry) {
                        j = firstTurningPoint(limit + 1, std::min(n0, m + segmentFrames_));
                    }
                    if (j != kNone) {
                        c.n = j;
                        c.end = PieceEnd::TurningPoint;
                    } else if (!(firstTry && n0 - m <= segmentFrames_)) {
                        c.n = chooseCut(std::max(minEnd, m + (limit - m) / 2),
                                        std::max(minEnd, limit), c.end);
                    }
                }
                firstTry = false;
                if (!buildPiece(first, m, c.n, c.end, c.segment, c.built)) {
                    c.end = PieceEnd::Cut;
                    buildPiece(first, m, c.n, c.end, c.segment, c.built);
                }
                measureLaidOut(first, m, c);
                const std::size_t tried = c.n;
                if (c.deviation <= kDeviationLimit) {
                    fitCandidate(first, m, c);
                    if (c.counts.unreproduced == 0 && c.deviation <= kDeviationLimit) {
                        std::swap(best, c);
                        accepted = true;
                        break;
                    }
                    if (better(c, best)) {
                        std::swap(best, c);
                    }
                } else {
                    if (unfittedCount == unfitted_.size()) {
                        unfitted_.emplace_back();
                    }
                    std::swap(unfitted_[unfittedCount++], c);
                }
                if (tried <= minEnd) {
                    break;
                }
                limit = m + (tried - m) / 2;
            }
            if (!accepted) {
                // Nothing stays that close (a very loud stretch near the top
                // of the band): the closest of the others is fitted too, with
                // a wider search, and while frames still round differently or
                // the best is grossly off, the next closest. One fitted above
                // that still has frames rounding differently gets the wider
                // search too.
                if (best.fitted && best.counts.unreproduced > 0) {
                    fitCandidate(first, m, best, kWideSearch);
                }
                const auto unfitted = unfitted_.begin();
                for (std::size_t u = 0; u < unfittedCount; ++u) {
                    Candidate& other = unfitted_[u];
                    if (!other.measured) {
                        fill(other.built, [](std::size_t) { return true; });
                        other.deviation = midpointDeviation(other.built, first, m, other.n);
                        other.measured = true;
                    }
                }
                std::sort(unfitted, unfitted + static_cast<std::ptrdiff_t>(unfittedCount),
                          [](const Candidate& a, const Candidate& b) {
                              return a.deviation < b.deviation;
                          });
                for (std::size_t u = 0; u < unfittedCount; ++u) {
                    if (best.fitted && best.counts.unreproduced == 0 &&
                        best.deviation <= kGrossDeviation) {
                        break;
                    }
                    fitCandidate(first, m, unfitted_[u], kWideSearch);
                    if (better(unfitted_[u], best)) {
                        std::swap(best, unfitted_[u]);
                    }
                }
                ++stats_->loosePieces;
            }
            const FitCounts counts = best.counts;
            if (best.n < n0) {
                if (best.end == PieceEnd::TurningPoint) {
                    ++stats_->turningPointCuts;
                } else {
                    ++stats_->lengthCuts;
                }
            }
            stats_->valueMoves += counts.moves;
            stats_->unreproducedFrames += counts.unreproduced;
            emit(best.segment);
            reach = std::clamp<std::size_t>(next(best.n - m), 8, segmentFrames_);
            m = best.n;
        }
    }

    void linearRun(std::size_t a, std::size_t b) {
        std::size_t m = a;
        while (m < b) {
            std::size_t n = b;
            for (;;) {
                EncodedSegment s;
                s.kind = SegmentKind::Linear;
                s.anchorTime = T(m);
                s.anchorValue = V(m);
                s.push(static_cast<float>(T(n) - T(m)), static_cast<float>(V(n) - V(m)));
                lowerLastTime(s, latticeTime_[n]);
                CurveSegment built(s.kind, 0, file::rebuildPoints(s));
                const std::size_t bad = firstMismatch(built, m, lastEvaluated(n));
                if (bad == kNone || bad == m) {
                    emit(s);
                    break;
                }
                n = bad;
                ++stats_->roundingCuts;
            }
            m = n;
        }
    }

    // The hold after the last frame, or a one-frame file's constant: the same
    // two-point POLYLINE, its end rounded up so that it reaches the duration.
    void copyPolyline(const CurveSegment& segment) {
        const auto& p = segment.points();
        EncodedSegment s;
        s.kind = SegmentKind::Polyline;
        s.anchorTime = p.front().time;
        s.anchorValue = p.front().value;
        float offset = static_cast<float>(p.back().time - p.front().time);
        if (s.anchorTime + static_cast<double>(offset) < p.back().time) {
            offset = std::nextafter(offset, std::numeric_limits<float>::infinity());
        }
        s.push(offset, static_cast<float>(p.back().value - p.front().value));
        emit(s);
    }

    const surrogate::ChannelGeometry* reference_ = nullptr;
    const std::vector<ControlPoint>* points_ = nullptr;
    std::size_t n_ = 0;
    std::uint32_t segmentFrames_;
    bool hold_ = false;
    std::pair<std::size_t, std::size_t> served_;
    std::vector<double> slopes_;
    std::vector<double> latticeTime_;
    std::vector<std::int32_t> code16_;
    std::vector<std::int32_t> code24_;
    std::vector<EncodedSegment>* out_ = nullptr;
    std::vector<std::byte>* payload_ = nullptr;
    std::size_t emitted_ = 0;
    std::vector<CurveSegment>* built_ = nullptr;  // only when blocks are checked
    std::vector<double> midTime_;                 // the middle of each interval of the curve
    std::vector<double> midValue_;                // and the curve's value there
    Candidate best_;
    Candidate trial_;
    std::vector<Candidate> unfitted_;
    RecordEncodeStats* stats_ = nullptr;

  public:
    std::pair<std::size_t, std::size_t> served() const noexcept { return served_; }
    double latticeTime(std::size_t j) const noexcept { return latticeTime_[j]; }
    std::int32_t code16(std::size_t j) const noexcept { return code16_[j]; }
    std::int32_t code24(std::size_t j) const noexcept { return code24_[j]; }
};

std::string chunkText(std::uint64_t chunk, std::uint64_t count) {
    return std::to_string(chunk + 1) + " of " + std::to_string(count);
}

}  // namespace

std::int32_t pcm16Code(double value) noexcept {
    return integerCode(value, 32767.0, -32768, 32767);
}

std::int32_t pcm24Code(double value) noexcept {
    return integerCode(value, 8388607.0, -8388608, 8388607);
}

std::uint32_t recordBitDepthFor(std::uint32_t readerBitDepth) noexcept {
    if (readerBitDepth == 0) {
        return 32;
    }
    for (std::uint32_t depth : {8u, 16u, 24u, 32u}) {
        if (readerBitDepth <= depth) {
            return depth;
        }
    }
    return 64;
}

RecordEncoder::RecordEncoder(const std::filesystem::path& input) {
    if (playbackExtension(input) == ".aur") {
        throw std::runtime_error("Input is already an Auralith record");
    }
    source_ = createPlaybackSource(input);
}

file::RecordHeader RecordEncoder::header() const noexcept {
    const auto& meta = source_->metadata();
    file::RecordHeader h;
    h.version = file::kRecordVersion;
    h.revision = file::kRecordRevision;
    h.channelCount = meta.channelCount;
    h.capturedSampleRate = meta.sampleRate;
    h.capturedBitDepth = recordBitDepthFor(meta.bitDepth);
    h.frameCount = meta.frameCount;
    h.sourcePeak = 0.0;
    h.duration = meta.duration;
    return h;
}

namespace {

// Where one chunk's segments go: kept as segments (for tests and tools), or
// as each channel's stored block bytes (the encoding itself).
struct ChunkOutput {
    std::vector<std::vector<EncodedSegment>>* segments = nullptr;
    std::vector<std::vector<std::byte>>* payloads = nullptr;
    std::vector<std::uint16_t>* segmentCounts = nullptr;
};

void encodeChunkWith(const PlaybackSource& source, std::uint64_t chunk,
                     const RecordEncodeOptions& options, RecordEncodeStats& stats, double* peak,
                     ChannelEncoder& encoder, const ChunkOutput& output) {
    const auto& meta = source.metadata();
    const auto reference = source.prepareChunk(chunk);
    const std::uint64_t first = chunk * kChunkFrames;
    const std::uint64_t end = std::min(meta.frameCount, first + kChunkFrames);
    const std::uint64_t firstPoint = first == 0 ? 0 : first - 1;
    if (output.segments != nullptr) {
        output.segments->assign(meta.channelCount, {});
    } else {
        output.payloads->resize(meta.channelCount);
        output.segmentCounts->assign(meta.channelCount, 0);
    }
    double chunkPeak = 0.0;
    for (std::uint16_t k = 0; k < meta.channelCount; ++k) {
        const surrogate::ChannelGeometry& geometry = reference->channels[k];
        const auto& points = geometry.segments().front().points();
        // The owned frames' points (a one-frame file: its one constant).
        // The channel's own peak stays in a register; the chunk's lives
        // across the calls below and so in memory.
        const std::size_t from = meta.frameCount == 1 ? 0 : first - firstPoint;
        const std::size_t to = meta.frameCount == 1 ? 1 : end - firstPoint;
        double channelPeak = 0.0;
        for (std::size_t j = from; j < to; ++j) {
            channelPeak = std::max(channelPeak, std::fabs(points[j].value));
        }
        chunkPeak = std::max(chunkPeak, channelPeak);
        encoder.reset(geometry, firstPoint, first, end, meta.frameCount, meta.sampleRate);
        std::vector<CurveSegment> built;
        std::vector<std::byte>* payload = nullptr;
        if (output.segments == nullptr) {
            payload = &(*output.payloads)[k];
            payload->clear();
        }
        encoder.run(output.segments != nullptr ? &(*output.segments)[k] : nullptr, payload,
                    options.checkBlocks ? &built : nullptr, stats);
        if (output.segments == nullptr) {
            // A block holds at most a chunk's frames, so far fewer segments.
            (*output.segmentCounts)[k] = static_cast<std::uint16_t>(encoder.emitted());
        }
        if (options.checkBlocks) {
            // The block as a reader will see it: coverage, then every frame.
            const surrogate::ChannelGeometry rebuilt(k, reference->ownershipStart,
                                                     reference->ownershipEnd, std::move(built));
            const auto [lo, hi] = encoder.served();
            std::size_t cursor = 0;
            for (std::size_t j = lo; j <= hi; ++j) {
                const double v = rebuilt.valueAt(encoder.latticeTime(j), cursor);
                if (pcm16Code(v) != encoder.code16(j) || pcm24Code(v) != encoder.code24(j)) {
                    ++stats.unreproducedFrames;
                }
            }
        }
    }
    if (peak != nullptr) {
        *peak = chunkPeak;
    }
}

}  // namespace

std::vector<std::vector<EncodedSegment>> RecordEncoder::encodeChunk(
    std::uint64_t chunk, const RecordEncodeOptions& options, RecordEncodeStats& stats,
    double* peak) const {
    std::vector<std::vector<EncodedSegment>> result;
    ChannelEncoder encoder(options.segmentFrames);
    ChunkOutput output;
    output.segments = &result;
    encodeChunkWith(*source_, chunk, options, stats, peak, encoder, output);
    return result;
}

RecordEncodeStats RecordEncoder::encode(const std::filesystem::path& output,
                                        const RecordEncodeOptions& options) {
    if (options.segmentFrames < 8 || options.segmentFrames > 65000) {
        throw std::invalid_argument("Segment length must be between 8 and 65000 frames");
    }
    const std::uint64_t count = source_->chunkCount();
    std::unique_ptr<file::RecordFileWriter> writer;
    try {
        writer = std::make_unique<file::RecordFileWriter>(output);
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Writing the record failed: ") + error.what());
    }
    RecordEncodeStats stats;
    file::RecordHeader h = header();
    // Kept from chunk to chunk: the channel encoder's storage and each
    // channel's block bytes.
    ChannelEncoder encoder(options.segmentFrames);
    std::vector<std::vector<std::byte>> payloads;
    std::vector<std::uint16_t> segmentCounts;
    ChunkOutput blocks;
    blocks.payloads = &payloads;
    blocks.segmentCounts = &segmentCounts;
    for (std::uint64_t b = 0; b < count; ++b) {
        if (options.cancelled && options.cancelled()) {
            throw std::runtime_error("Encoding interrupted at chunk " + chunkText(b, count));
        }
        double peak = 0.0;
        try {
            encodeChunkWith(*source_, b, options, stats, &peak, encoder, blocks);
        } catch (const std::exception& error) {
            throw std::runtime_error("Decoding chunk " + chunkText(b, count) +
                                     " failed: " + error.what());
        }
        h.sourcePeak = std::max(h.sourcePeak, peak);
        const double start = static_cast<double>(b * kChunkFrames) *
                             (1.0 / static_cast<double>(h.capturedSampleRate));
        const std::uint64_t endFrame = std::min(h.frameCount, (b + 1) * kChunkFrames);
        const double finish = std::min(
            static_cast<double>(endFrame) * (1.0 / static_cast<double>(h.capturedSampleRate)),
            h.duration);
        try {
            for (std::uint16_t k = 0; k < h.channelCount; ++k) {
                writer->writeBlock(k, segmentCounts[k], start, finish, payloads[k]);
                ++stats.blocks;
            }
        } catch (const std::exception& error) {
            throw std::runtime_error(std::string("Writing the record failed: ") + error.what());
        }
        ++stats.chunks;
        if (options.progress) {
            options.progress(b + 1, count);
        }
    }
    try {
        writer->commit(h);
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Writing the record failed: ") + error.what());
    }
    stats.fileBytes = writer->bytesWritten();
    return stats;
}

}  // namespace al::playback
