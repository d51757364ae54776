#include "playback/RecordEncoder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "playback/ChannelGeometry.h"
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
// How far back from a frame that would round differently a cut is looked for.
constexpr std::size_t kCutWindow = 16;
// Safety margin of the prediction above, in full-scale units.
constexpr double kMargin = 1e-13;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

std::int64_t integerCode(double x, double scale, std::int64_t lowest,
                         std::int64_t highest) noexcept {
    if (!std::isfinite(x)) {
        x = 0.0;
    }
    if (x <= -1.0) {
        return lowest;
    }
    if (x >= 1.0) {
        return highest;
    }
    const long long v = std::llround(x * scale);
    return v < lowest ? lowest : (v > highest ? highest : v);
}

int sign(double v) noexcept {
    return v > 0.0 ? 1 : (v < 0.0 ? -1 : 0);
}

// The slope the PCHIP curve gives its last point (the same formula).
double endSlope(double h0, double h1, double m0, double m1) noexcept {
    const double e = ((2.0 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    if (sign(e) != sign(m0)) {
        return 0.0;
    }
    if (sign(m0) != sign(m1) && std::fabs(e) > 3.0 * std::fabs(m0)) {
        return 3.0 * m0;
    }
    return e;
}

enum class PieceEnd {
    Reference,     // the chunk curve's own last point: its end slope is the curve's
    TurningPoint,  // slope 0 in the curve: held flat for one f32 step
    Straight,      // after an interval that the curve draws straight
    Cut,           // anywhere else: one-sided end slope
};

// Encodes one channel of one chunk against the chunk curve the player draws.
class ChannelEncoder {
  public:
    ChannelEncoder(const surrogate::ChannelGeometry& reference, std::uint64_t firstPointFrame,
                   std::uint64_t firstOwned, std::uint64_t endOwned, std::uint64_t frames,
                   std::uint32_t rate, std::uint32_t segmentFrames, int anchorShifts)
        : reference_(reference), segmentFrames_(segmentFrames), anchorShifts_(anchorShifts) {
        const CurveSegment& curve = reference.segments().front();
        points_ = &curve.points();
        n_ = points_->size();
        if (curve.kind() == SegmentKind::Pchip) {
            const auto& intervals = curve.pchip().intervals();
            slopes_.resize(n_, 0.0);
            for (std::size_t j = 0; j + 1 < n_; ++j) {
                slopes_[j] = intervals[j].a1;
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
        std::size_t cursor = 0;
        for (std::size_t j = 0; j < n_; ++j) {
            latticeTime_[j] = static_cast<double>(firstPointFrame + j) / rateD;
            if (j >= served_.first && j <= served_.second) {
                // On a point the curve's value is the point's own.
                const double v =
                    latticeTime_[j] == (*points_)[j].time && curve.kind() == SegmentKind::Pchip
                        ? (*points_)[j].value
                        : reference.valueAt(latticeTime_[j], cursor);
                code16_[j] = pcm16Code(v);
                code24_[j] = pcm24Code(v);
            }
        }
    }

    void run(std::vector<EncodedSegment>& out, std::vector<CurveSegment>& built,
             RecordEncodeStats& stats) {
        out_ = &out;
        built_ = &built;
        stats_ = &stats;
        const CurveSegment& curve = reference_.segments().front();
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
            copyPolyline(reference_.segments()[1]);
        }
    }

  private:
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

    // The first frame in [from, to] that the segment rounds differently from
    // the curve, or kNone. The segment is evaluated as the lattice does it
    // (end values outside its points; inside a PCHIP segment the first
    // interval whose right end lies beyond the time, then the same Horner
    // form), walking the intervals forward instead of bisecting.
    std::size_t firstMismatch(const CurveSegment& segment, std::size_t from,
                              std::size_t to) const noexcept {
        const std::size_t lo = std::max(from, served_.first);
        const std::size_t hi = std::min(to, served_.second);
        const auto& points = segment.points();
        const bool pchip = segment.kind() == SegmentKind::Pchip;
        const auto& intervals = segment.pchip().intervals();
        std::size_t interval = 0;
        for (std::size_t j = lo; j <= hi && hi != kNone; ++j) {
            const double x = latticeTime_[j];
            double v;
            if (x <= points.front().time) {
                v = points.front().value;
            } else if (x >= points.back().time) {
                v = points.back().value;
            } else if (!pchip) {
                v = segment.valueAt(x);
            } else {
                while (interval + 1 < intervals.size() && intervals[interval].xRight <= x) {
                    ++interval;
                }
                const file::CubicInterval& iv = intervals[interval];
                const double t = x - iv.xLeft;
                v = ((iv.a3 * t + iv.a2) * t + iv.a1) * t + iv.a0;
            }
            if (pcm16Code(v) != code16_[j] || pcm24Code(v) != code24_[j]) {
                return j;
            }
        }
        return kNone;
    }

    // The last frame a segment ending at knot n evaluates: n itself only when
    // nothing follows it.
    std::size_t lastEvaluated(std::size_t n) const noexcept {
        return n + 1 == n_ && !hold_ ? n : n - 1;
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

    // Anchors a piece one point before knot m so that knot m comes back exactly
    // and keeps the curve's slope. The anchor's distance tau is free: by
    // default one frame; another tau shifts the anchor, and with it how the
    // f32 time offsets of the later points round. The anchor's value is then
    // solved so that the slope at knot m is still the curve's.
    void exactStart(std::size_t m, EncodedSegment& s, float tau) const noexcept {
        if (!(tau > 0.0F)) {
            tau = static_cast<float>(T(m) - T(m - 1));
        }
        const double tauD = static_cast<double>(tau);
        double at = T(m) - tauD;
        for (int guard = 0; guard < 4 && at + tauD != T(m); ++guard) {
            at = std::nextafter(at, at + tauD < T(m) ? 1e300 : -1e300);
        }
        float w = static_cast<float>(V(m) - V(m - 1));
        const double h = T(m + 1) - T(m);
        const double right = step(m) / h;
        const double d = slopes_[m];
        if (d != 0.0 && right != 0.0) {
            const double w1 = tauD + 2.0 * h;  // weight of the secant into knot m
            const double w2 = 2.0 * tauD + h;
            const double secant = w1 / ((w1 + w2) / d - w2 / right);
            if (std::isfinite(secant) && sign(secant) == sign(right)) {
                w = static_cast<float>(secant * tauD);
            }
        }
        double av = V(m) - static_cast<double>(w);
        for (int guard = 0; guard < 4 && av + static_cast<double>(w) != V(m); ++guard) {
            av = std::nextafter(av, av + static_cast<double>(w) < V(m) ? 2.0 : -2.0);
        }
        s.anchorTime = at;
        s.anchorValue = av;
        s.push(tau, w);
    }

    bool buildPiece(std::size_t m, std::size_t n, PieceEnd end, EncodedSegment& s,
                    float tau = 0.0F) const {
        s.kind = SegmentKind::Pchip;
        s.clear();
        std::size_t k = m;
        if (m == 0) {
            s.anchorTime = T(0);
            s.anchorValue = V(0);
            k = 1;
        } else {
            exactStart(m, s, tau);
            k = m + 1;
        }
        for (; k <= n; ++k) {
            s.push(static_cast<float>(T(k) - s.anchorTime),
                   static_cast<float>(V(k) - s.anchorValue));
        }
        if (!lowerLastTime(s, latticeTime_[n])) {
            return false;
        }
        if (end == PieceEnd::TurningPoint) {
            // A copy of the last point one f32 step later: a zero secant, so the
            // slope at the turning point is exactly 0, as in the curve.
            const float value = s.valueOffsets.back();
            for (int guard = 0; guard < 16; ++guard) {
                const float last = s.timeOffsets.back();
                float q = std::nextafter(last, std::numeric_limits<float>::infinity());
                while (s.anchorTime + static_cast<double>(q) <=
                       s.anchorTime + static_cast<double>(last)) {
                    q = std::nextafter(q, std::numeric_limits<float>::infinity());
                }
                if (s.anchorTime + static_cast<double>(q) <= latticeTime_[n]) {
                    s.push(q, value);
                    return true;
                }
                s.timeOffsets.back() =
                    std::nextafter(last, -std::numeric_limits<float>::infinity());
            }
            return false;
        }
        return true;
    }

    void emit(EncodedSegment&& s, CurveSegment&& built) {
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
        out_->push_back(std::move(s));
        built_->push_back(std::move(built));
    }

    void pchipRegion(std::size_t m0, std::size_t n0, PieceEnd regionEnd) {
        // The left context point is not played: start at the first owned
        // frame, which then comes back exactly.
        std::size_t m = m0 == 0 && served_.first >= 1 && n0 >= 2 ? 1 : m0;
        while (m < n0) {
            // A piece from the curve's first point must hold three points for
            // the curve's end slope there.
            const std::size_t minEnd = m == 0 ? std::min<std::size_t>(2, n0) : m + 1;
            std::size_t n = n0;
            PieceEnd end = regionEnd;
            bool lengthCut = false;
            bool roundingCut = false;
            if (n0 - m > segmentFrames_) {
                n = chooseCut(std::max(minEnd, m + segmentFrames_ / 2), m + segmentFrames_, end);
                lengthCut = true;
            }
            // Predict the first frame that would round differently, before
            // building anything: its rebuilt value plus the slope times its
            // time error, with a margin for what that leaves out.
            // (Skipped when anchor moves are wanted: they start from a real failure.)
            if (m >= 1 && anchorShifts_ == 0) {
                EncodedSegment probe;
                exactStart(m, probe, 0.0F);
                for (std::size_t k = m + 1; k < n && k <= served_.second; ++k) {
                    if (k < served_.first) {
                        continue;
                    }
                    const double t =
                        probe.anchorTime +
                        static_cast<double>(static_cast<float>(T(k) - probe.anchorTime));
                    const double v =
                        probe.anchorValue +
                        static_cast<double>(static_cast<float>(V(k) - probe.anchorValue));
                    const double estimate = v + slopes_[k] * (latticeTime_[k] - t);
                    if (pcm16Code(estimate - kMargin) != code16_[k] ||
                        pcm16Code(estimate + kMargin) != code16_[k] ||
                        pcm24Code(estimate - kMargin) != code24_[k] ||
                        pcm24Code(estimate + kMargin) != code24_[k]) {
                        if (k >= minEnd + 1) {
                            const std::size_t lo =
                                k > kCutWindow ? std::max(minEnd, k - kCutWindow) : minEnd;
                            n = chooseCut(lo, k, end);
                            roundingCut = true;
                        }
                        break;
                    }
                }
            }
            EncodedSegment s;
            float tau = 0.0F;
            int shifts = 0;
            for (;;) {
                if (!buildPiece(m, n, end, s, tau)) {
                    end = PieceEnd::Cut;
                    buildPiece(m, n, end, s, tau);
                }
                CurveSegment built(s.kind, 0, file::rebuildPoints(s));
                std::size_t bad = firstMismatch(built, m, lastEvaluated(n));
                // Before cutting, try moving the anchor so that the failing
                // frame's time offset becomes (nearly) exact in f32.
                while (bad != kNone && bad >= minEnd && m >= 1 && shifts < anchorShifts_) {
                    ++shifts;
                    const float centre = static_cast<float>(T(bad) - s.anchorTime);
                    float candidate = centre;
                    std::size_t bestBad = bad;
                    float bestTau = 0.0F;
                    for (int j = 0; j < 5; ++j) {
                        if (j > 0) {
                            candidate = j % 2 == 1 ? std::nextafter(centre, 1e30F)
                                                   : std::nextafter(centre, -1e30F);
                            if (j > 2) {
                                candidate = std::nextafter(candidate, j % 2 == 1 ? 1e30F : -1e30F);
                            }
                        }
                        const float t =
                            static_cast<float>(T(m) - (T(bad) - static_cast<double>(candidate)));
                        const double frame = T(m) - T(m - 1);
                        if (!(static_cast<double>(t) > 0.25 * frame &&
                              static_cast<double>(t) < 4.0 * frame)) {
                            continue;
                        }
                        EncodedSegment trial;
                        PieceEnd trialEnd = end;
                        if (!buildPiece(m, n, trialEnd, trial, t)) {
                            continue;
                        }
                        CurveSegment trialBuilt(trial.kind, 0, file::rebuildPoints(trial));
                        const std::size_t trialBad = firstMismatch(trialBuilt, m, lastEvaluated(n));
                        if (trialBad == kNone || trialBad > bestBad) {
                            bestBad = trialBad;
                            bestTau = t;
                            s = std::move(trial);
                            built = std::move(trialBuilt);
                            if (trialBad == kNone) {
                                break;
                            }
                        }
                    }
                    if (bestTau == 0.0F) {
                        break;
                    }
                    tau = bestTau;
                    bad = bestBad;
                }
                if (bad == kNone || bad < minEnd) {
                    if (end == PieceEnd::TurningPoint && n != n0) {
                        ++stats_->turningPointCuts;
                    } else if (roundingCut) {
                        ++stats_->roundingCuts;
                    } else if (lengthCut) {
                        ++stats_->lengthCuts;
                    }
                    emit(std::move(s), std::move(built));
                    break;
                }
                // Frame `bad` must start the next piece, where it comes back
                // exactly; cut there or a little before.
                const std::size_t lo =
                    bad > kCutWindow ? std::max(minEnd, bad - kCutWindow) : minEnd;
                n = chooseCut(lo, bad, end);
                roundingCut = true;
            }
            m = n;
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
                    emit(std::move(s), std::move(built));
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
        CurveSegment built(s.kind, 0, file::rebuildPoints(s));
        emit(std::move(s), std::move(built));
    }

    const surrogate::ChannelGeometry& reference_;
    const std::vector<ControlPoint>* points_ = nullptr;
    std::size_t n_ = 0;
    std::uint32_t segmentFrames_;
    int anchorShifts_;
    bool hold_ = false;
    std::pair<std::size_t, std::size_t> served_;
    std::vector<double> slopes_;
    std::vector<double> latticeTime_;
    std::vector<std::int32_t> code16_;
    std::vector<std::int32_t> code24_;
    std::vector<EncodedSegment>* out_ = nullptr;
    std::vector<CurveSegment>* built_ = nullptr;
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
    return static_cast<std::int32_t>(integerCode(value, 32767.0, -32768, 32767));
}

std::int32_t pcm24Code(double value) noexcept {
    return static_cast<std::int32_t>(integerCode(value, 8388607.0, -8388608, 8388607));
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

std::vector<std::vector<EncodedSegment>> RecordEncoder::encodeChunk(
    std::uint64_t chunk, const RecordEncodeOptions& options, RecordEncodeStats& stats,
    double* peak) const {
    const auto& meta = source_->metadata();
    const auto reference = source_->prepareChunk(chunk);
    const std::uint64_t first = chunk * kChunkFrames;
    const std::uint64_t end = std::min(meta.frameCount, first + kChunkFrames);
    const std::uint64_t firstPoint = first == 0 ? 0 : first - 1;
    std::vector<std::vector<EncodedSegment>> result(meta.channelCount);
    double chunkPeak = 0.0;
    for (std::uint16_t k = 0; k < meta.channelCount; ++k) {
        const surrogate::ChannelGeometry& geometry = reference->channels[k];
        const auto& points = geometry.segments().front().points();
        for (std::uint64_t f = first; f < end; ++f) {
            const std::size_t j =
                meta.frameCount == 1 ? 0 : static_cast<std::size_t>(f - firstPoint);
            chunkPeak = std::max(chunkPeak, std::fabs(points[j].value));
        }
        ChannelEncoder encoder(geometry, firstPoint, first, end, meta.frameCount, meta.sampleRate,
                               options.segmentFrames, static_cast<int>(options.anchorShifts));
        std::vector<CurveSegment> built;
        encoder.run(result[k], built, stats);
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
    std::vector<std::byte> payload;
    for (std::uint64_t b = 0; b < count; ++b) {
        if (options.cancelled && options.cancelled()) {
            throw std::runtime_error("Encoding interrupted at chunk " + chunkText(b, count));
        }
        std::vector<std::vector<EncodedSegment>> channels;
        double peak = 0.0;
        try {
            channels = encodeChunk(b, options, stats, &peak);
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
                payload.clear();
                for (const auto& segment : channels[k]) {
                    file::appendEncodedSegment(payload, segment);
                }
                writer->writeBlock(k, static_cast<std::uint16_t>(channels[k].size()), start, finish,
                                   payload);
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
