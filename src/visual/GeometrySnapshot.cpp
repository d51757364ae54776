#include "visual/GeometrySnapshot.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace al::ui {

bool appendCubicInterval(std::vector<CubicInterval>& out, double a, double b, double c, double d,
                         double e, double f, double clipStart, double clipEnd, double g, double l) {
    if (!(a < b) || !(b >= clipStart) || !(a <= clipEnd) || !(l > 0.0)) {
        return false;
    }
    const double o = std::max(a, clipStart);
    const double m = std::min(b, clipEnd);
    if (!(m > o)) {
        return false;
    }
    const double span = b - a;
    const double p = (o - a) / span;
    const double w = (m - a) / span - p;
    const double a0 = ((f * p + e) * p + d) * p + c;
    const double a1 = (2.0 * e + 3.0 * f * p) * p * w + d * w;
    const double a2 = (e + 3.0 * f * p) * w * w;
    const double a3 = f * w * w * w;
    CubicInterval piece{static_cast<float>((o - g) / l), static_cast<float>((m - g) / l),
                        static_cast<float>(a0),          static_cast<float>(a1),
                        static_cast<float>(a2),          static_cast<float>(a3)};
    for (const float v : {piece.xLeft, piece.xRight, piece.a0, piece.a1, piece.a2, piece.a3}) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    if (out.size() >= kMaxSnapshotIntervals) {
        throw std::length_error("Visual snapshot exceeds its complete-frame geometry budget");
    }
    out.push_back(piece);
    return true;
}

namespace {

// Where one build writes: the window's scale and the last right end it
// divided, so that a piece starting where the previous one ended reuses that
// quotient (the same division of the same numbers, so the same f32).
struct Emitter {
    std::vector<CubicInterval>& out;
    double g;
    double l;
    double lastEnd = std::numeric_limits<double>::quiet_NaN();
    float lastX = 0.0f;

    float scaled(double t) noexcept {
        if (std::bit_cast<std::uint64_t>(t) == std::bit_cast<std::uint64_t>(lastEnd)) {
            return lastX;
        }
        return static_cast<float>((t - g) / l);
    }

    // The piece rule of appendCubicInterval with the window length known to
    // be positive. A piece wholly inside [lo, hi] needs no clipping: there
    // p is exactly 0 and w exactly 1, which is what the divisions would give.
    void piece(double a, double b, double c, double d, double e, double f, double lo, double hi) {
        if (!(a < b) || !(b >= lo) || !(a <= hi)) {
            return;
        }
        double o, m, p, w;
        const double span = b - a;
        if (a >= lo && b <= hi && span <= std::numeric_limits<double>::max()) {
            o = a;
            m = b;
            p = 0.0;
            w = 1.0;
        } else {
            o = std::max(a, lo);
            m = std::min(b, hi);
            if (!(m > o)) {
                return;
            }
            p = (o - a) / span;
            w = (m - a) / span - p;
        }
        const double a0 = ((f * p + e) * p + d) * p + c;
        const double a1 = (2.0 * e + 3.0 * f * p) * p * w + d * w;
        const double a2 = (e + 3.0 * f * p) * w * w;
        const double a3 = f * w * w * w;
        const float xLeft = scaled(o);
        const double right = (m - g) / l;
        const CubicInterval next{xLeft,
                                 static_cast<float>(right),
                                 static_cast<float>(a0),
                                 static_cast<float>(a1),
                                 static_cast<float>(a2),
                                 static_cast<float>(a3)};
        // 0 x v is 0 for every finite v and NaN for an infinity or a NaN.
        if (0.0f * next.xLeft + 0.0f * next.xRight + 0.0f * next.a0 + 0.0f * next.a1 +
                0.0f * next.a2 + 0.0f * next.a3 !=
            0.0f) {
            return;
        }
        if (out.size() >= kMaxSnapshotIntervals) {
            throw std::length_error("Visual snapshot exceeds its complete-frame geometry budget");
        }
        out.push_back(next);
        lastEnd = m;
        lastX = next.xRight;
    }
};

// A segment's own pieces, clipped to [lo, hi]; a constant piece covers any
// part of [lo, hi] outside the segment's points (evaluation holds the end
// values there).
void appendSegment(Emitter& out, const file::CurveSegment& segment, double lo, double hi) {
    const auto& points = segment.points();
    if (lo < segment.firstTime()) {
        const double v = points.front().value;
        out.piece(lo, segment.firstTime(), v, 0.0, 0.0, 0.0, lo, hi);
    }
    if (segment.kind() == file::SegmentKind::Pchip) {
        // The pieces follow one another in time (each starts where the one
        // before it ends), so the first one reaching lo is found by bisection
        // and the walk ends at the first one starting after hi.
        const auto& pieces = segment.pchip().intervals();
        auto it =
            std::partition_point(pieces.begin(), pieces.end(),
                                 [lo](const file::CubicInterval& k) { return k.xRight < lo; });
        for (; it != pieces.end() && !(it->xLeft > hi); ++it) {
            const file::CubicInterval& k = *it;
            const double span = k.xRight - k.xLeft;
            out.piece(k.xLeft, k.xRight, k.a0, k.a1 * span, k.a2 * span * span,
                      k.a3 * span * span * span, lo, hi);
        }
    } else {
        auto it =
            std::partition_point(points.begin(), points.end() - 1,
                                 [lo](const file::ControlPoint& p) { return (&p + 1)->time < lo; });
        for (; it + 1 < points.end() && !(it->time > hi); ++it) {
            out.piece(it->time, (it + 1)->time, it->value, (it + 1)->value - it->value, 0.0, 0.0,
                      lo, hi);
        }
    }
    if (hi > segment.lastTime()) {
        const double v = points.back().value;
        out.piece(segment.lastTime(), hi, v, 0.0, 0.0, 0.0, lo, hi);
    }
}

void appendChannel(Emitter& out, const surrogate::ChannelGeometry& channel, double clipStart,
                   double clipEnd) {
    const auto& segments = channel.segments();
    const double ownStart = std::max(channel.ownershipStart(), clipStart);
    const double ownEnd = std::min(channel.ownershipEnd(), clipEnd);
    if (!(ownEnd > ownStart)) {
        return;
    }
    double reach = channel.ownershipStart();
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const bool last = i + 1 == segments.size();
        const double spanStart = reach;
        const double spanEnd = last ? channel.ownershipEnd()
                                    : std::min(segments[i].lastTime(), channel.ownershipEnd());
        if (spanEnd > spanStart) {
            const double lo = std::max(spanStart, ownStart);
            const double hi = std::min(spanEnd, ownEnd);
            if (hi > lo) {
                appendSegment(out, segments[i], lo, hi);
            }
            reach = spanEnd;
        }
        if (reach >= ownEnd) {
            break;
        }
    }
}

// At most how many pieces a channel's curve gives (its own pieces and the
// two held ends of each segment), so that a list is sized once.
std::size_t pieceBound(const surrogate::ChannelGeometry& channel) noexcept {
    std::size_t n = 0;
    for (const auto& segment : channel.segments()) {
        n += (segment.kind() == file::SegmentKind::Pchip ? segment.pchip().intervals().size()
                                                         : segment.points().size() - 1) +
             2;
    }
    return n;
}

}  // namespace

void appendChannelIntervals(std::vector<CubicInterval>& out,
                            const surrogate::ChannelGeometry& channel, double clipStart,
                            double clipEnd, double g, double l) {
    if (!(l > 0.0)) {
        return;
    }
    Emitter emitter{out, g, l};
    appendChannel(emitter, channel, clipStart, clipEnd);
}

std::shared_ptr<const PresentationGeometrySnapshot> buildPresentationSnapshot(
    const SnapshotRequest& request, double duration, const ChunkIndexAt& indexAt,
    const ChunkLookup& lookup) {
    auto snapshot = std::make_shared<PresentationGeometrySnapshot>();
    if (!buildPresentationSnapshotInto(*snapshot, request, duration, indexAt, lookup)) {
        return nullptr;
    }
    return snapshot;
}

bool buildPresentationSnapshotInto(PresentationGeometrySnapshot& into,
                                   const SnapshotRequest& request, double duration,
                                   const ChunkIndexAt& indexAt, const ChunkLookup& lookup) {
    for (auto& list : into.channels) {
        list.clear();
    }
    if (!(duration > 0.0) || !(request.windowLength > 0.0)) {
        return false;
    }
    const double g = std::clamp(request.time, 0.0, duration);
    const double l = request.windowLength;
    const double reach = g + l + (request.extend ? kSnapshotExtension : 0.0);
    const double h = std::min(reach, duration);
    into.time = g;
    into.windowLength = l;
    into.reachesEnd = reach >= duration;
    into.playing = request.playing;
    into.request = request.counter;
    if (!(h > g)) {
        return true;
    }
    const std::uint64_t first = indexAt(g);
    const std::uint64_t last = indexAt(h);
    // Every chunk of the window first: a missing one means no snapshot, and
    // with all of them at hand each list is sized once.
    std::vector<std::shared_ptr<const surrogate::PlaybackChunk>> chunks;
    chunks.reserve(static_cast<std::size_t>(last >= first ? last - first + 1 : 0));
    for (std::uint64_t index = first; index <= last; ++index) {
        auto chunk = lookup(index);
        if (!chunk) {
            return false;
        }
        chunks.push_back(std::move(chunk));
    }
    for (std::size_t ch = 0; ch < into.channels.size(); ++ch) {
        std::size_t bound = 0;
        for (const auto& chunk : chunks) {
            if (ch < chunk->channels.size()) {
                bound += pieceBound(chunk->channels[ch]);
            }
        }
        auto& list = into.channels[ch];
        list.reserve(std::min(bound, kMaxSnapshotIntervals));
        Emitter emitter{list, g, l};
        for (const auto& chunk : chunks) {
            if (ch < chunk->channels.size()) {
                appendChannel(emitter, chunk->channels[ch], g, h);
            }
        }
    }
    return true;
}

std::size_t packIntervalTexels(const std::vector<CubicInterval>& list, std::size_t texelsPerRow,
                               std::vector<float>& texels) {
    if (texelsPerRow < 2 || texelsPerRow % 2 != 0) {
        throw std::invalid_argument("Interval texture rows must hold whole intervals");
    }
    const std::size_t perRow = texelsPerRow / 2;
    const std::size_t rows = std::max<std::size_t>(1, (list.size() + perRow - 1) / perRow);
    const std::size_t floats = rows * texelsPerRow * 4;
    if (texels.size() < floats) {
        texels.resize(floats);
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        float* t = texels.data() + i * 8;
        const CubicInterval& c = list[i];
        t[0] = c.xLeft;
        t[1] = c.xRight;
        t[2] = c.a0;
        t[3] = c.a1;
        t[4] = c.a2;
        t[5] = c.a3;
        t[6] = 0.0f;
        t[7] = 0.0f;
    }
    return rows;
}

}  // namespace al::ui
