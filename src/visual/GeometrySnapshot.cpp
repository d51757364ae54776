#include "visual/GeometrySnapshot.h"

#include <algorithm>
#include <cmath>
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

// A segment's own pieces, clipped to [lo, hi]; a constant piece covers any
// part of [lo, hi] outside the segment's points (evaluation holds the end
// values there).
void appendSegment(std::vector<CubicInterval>& out, const file::CurveSegment& segment, double lo,
                   double hi, double g, double l) {
    const auto& points = segment.points();
    if (lo < segment.firstTime()) {
        const double v = points.front().value;
        appendCubicInterval(out, lo, segment.firstTime(), v, 0.0, 0.0, 0.0, lo, hi, g, l);
    }
    if (segment.kind() == file::SegmentKind::Pchip) {
        for (const auto& piece : segment.pchip().intervals()) {
            if (piece.xRight < lo || piece.xLeft > hi) {
                continue;
            }
            const double span = piece.xRight - piece.xLeft;
            appendCubicInterval(out, piece.xLeft, piece.xRight, piece.a0, piece.a1 * span,
                                piece.a2 * span * span, piece.a3 * span * span * span, lo, hi, g,
                                l);
        }
    } else {
        for (std::size_t i = 0; i + 1 < points.size(); ++i) {
            if (points[i + 1].time < lo || points[i].time > hi) {
                continue;
            }
            appendCubicInterval(out, points[i].time, points[i + 1].time, points[i].value,
                                points[i + 1].value - points[i].value, 0.0, 0.0, lo, hi, g, l);
        }
    }
    if (hi > segment.lastTime()) {
        const double v = points.back().value;
        appendCubicInterval(out, segment.lastTime(), hi, v, 0.0, 0.0, 0.0, lo, hi, g, l);
    }
}

}  // namespace

void appendChannelIntervals(std::vector<CubicInterval>& out,
                            const surrogate::ChannelGeometry& channel, double clipStart,
                            double clipEnd, double g, double l) {
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
                appendSegment(out, segments[i], lo, hi, g, l);
            }
            reach = spanEnd;
        }
        if (reach >= ownEnd) {
            break;
        }
    }
}

std::shared_ptr<const PresentationGeometrySnapshot> buildPresentationSnapshot(
    const SnapshotRequest& request, double duration, const ChunkIndexAt& indexAt,
    const ChunkLookup& lookup) {
    if (!(duration > 0.0) || !(request.windowLength > 0.0)) {
        return nullptr;
    }
    const double g = std::clamp(request.time, 0.0, duration);
    const double l = request.windowLength;
    const double reach = g + l + (request.extend ? kSnapshotExtension : 0.0);
    const double h = std::min(reach, duration);
    auto snapshot = std::make_shared<PresentationGeometrySnapshot>();
    snapshot->time = g;
    snapshot->windowLength = l;
    snapshot->reachesEnd = reach >= duration;
    snapshot->playing = request.playing;
    snapshot->request = request.counter;
    if (h > g) {
        const std::uint64_t first = indexAt(g);
        const std::uint64_t last = indexAt(h);
        for (std::uint64_t index = first; index <= last; ++index) {
            const auto chunk = lookup(index);
            if (!chunk) {
                return nullptr;
            }
            const std::size_t channels = std::min<std::size_t>(chunk->channels.size(), 2);
            for (std::size_t ch = 0; ch < channels; ++ch) {
                appendChannelIntervals(snapshot->channels[ch], chunk->channels[ch], g, h, g, l);
            }
        }
    }
    return snapshot;
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
