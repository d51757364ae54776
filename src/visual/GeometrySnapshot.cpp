#include "visual/GeometrySnapshot.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

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

// A piece's cubic re-expressed on [p, p + w] of its own span, in the one
// operation order every path uses, so that the run below and the piece rule
// give the same bits.
struct Recut {
    double a0, a1, a2, a3;
};
inline Recut recut(double c, double d, double e, double f, double p, double w) noexcept {
    return {((f * p + e) * p + d) * p + c, (2.0 * e + 3.0 * f * p) * p * w + d * w,
            (e + 3.0 * f * p) * w * w, f * w * w * w};
}

// 0 x v is 0 for every finite v and NaN for an infinity or a NaN, so the sum
// of these is 0 exactly when all six fields are finite.
inline float nonFinite(const CubicInterval& k) noexcept {
    return ((0.0f * k.xLeft + 0.0f * k.xRight) + (0.0f * k.a0 + 0.0f * k.a1)) +
           (0.0f * k.a2 + 0.0f * k.a3);
}

#if defined(__SSE2__)
std::atomic<bool> wideVectorsAllowed{true};

bool processorHasWideVectors() noexcept {
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

// Two consecutive fields of pieces `first` and `first + 2` (six doubles a
// piece, from p) in the low and high halves of one register.
__attribute__((target("avx2"))) inline __m256d fieldPairs(const double* p, std::size_t field,
                                                          std::size_t first) noexcept {
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p + 6 * first + field)),
                                _mm_loadu_pd(p + 6 * (first + 2) + field), 1);
}

// Four uncut PCHIP pieces at a time in 256-bit lanes: the same operations in
// the same order as the two-lane loop below (and so as the piece rule), with
// no fused multiply-add, so the same bits. Writes whole groups of four into
// `run` while all four take the uncut branch and returns how many it wrote;
// the caller finishes the rest. Adds to `junk` as nonFinite does.
__attribute__((target("avx2"))) std::size_t uncutQuads(const file::CubicInterval* k,
                                                       std::size_t room, double lo, double hi,
                                                       double g, double l, CubicInterval* run,
                                                       float& junk) noexcept {
    std::size_t i = 0;
    const __m256d zero = _mm256_setzero_pd();
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d three = _mm256_set1_pd(3.0);
    const __m256d gv = _mm256_set1_pd(g);
    const __m256d lv = _mm256_set1_pd(l);
    const __m256d lov = _mm256_set1_pd(lo);
    const __m256d hiv = _mm256_set1_pd(hi);
    const __m256d maxv = _mm256_set1_pd(std::numeric_limits<double>::max());
    const __m128 zerof = _mm_setzero_ps();
    __m128 junkv = _mm_setzero_ps();
    for (; i + 4 <= room; i += 4) {
        const double* p = &k[i].xLeft;
        // Pieces 0 and 2 in one register, 1 and 3 in the other; unpacking
        // then gives each field of the four pieces in order.
        const __m256d x02 = fieldPairs(p, 0, 0), x13 = fieldPairs(p, 0, 1);
        const __m256d a = _mm256_unpacklo_pd(x02, x13);
        const __m256d b = _mm256_unpackhi_pd(x02, x13);
        const __m256d span = _mm256_sub_pd(b, a);
        const __m256d taken = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(b, hiv, _CMP_LE_OQ), _mm256_cmp_pd(a, lov, _CMP_GE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(a, b, _CMP_LT_OQ), _mm256_cmp_pd(span, maxv, _CMP_LE_OQ)));
        if (_mm256_movemask_pd(taken) != 15) {
            break;
        }
        const __m256d c02 = fieldPairs(p, 2, 0), c13 = fieldPairs(p, 2, 1);
        const __m256d e02 = fieldPairs(p, 4, 0), e13 = fieldPairs(p, 4, 1);
        const __m256d c = _mm256_unpacklo_pd(c02, c13);
        const __m256d k1 = _mm256_unpackhi_pd(c02, c13);
        const __m256d k2 = _mm256_unpacklo_pd(e02, e13);
        const __m256d k3 = _mm256_unpackhi_pd(e02, e13);
        const __m256d d = _mm256_mul_pd(k1, span);
        const __m256d e = _mm256_mul_pd(_mm256_mul_pd(k2, span), span);
        const __m256d f = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(k3, span), span), span);
        const __m256d fp = _mm256_mul_pd(f, zero);
        const __m256d r0 = _mm256_add_pd(
            _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(fp, e), zero), d), zero), c);
        const __m256d f3p = _mm256_mul_pd(_mm256_mul_pd(three, f), zero);
        const __m256d r1 =
            _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(two, e), f3p), zero), d);
        const __m256d r2 = _mm256_add_pd(e, f3p);
        const __m128 xl = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_sub_pd(a, gv), lv));
        const __m128 xr = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_sub_pd(b, gv), lv));
        const __m128 q0 = _mm256_cvtpd_ps(r0), q1 = _mm256_cvtpd_ps(r1);
        const __m128 q2 = _mm256_cvtpd_ps(r2), q3 = _mm256_cvtpd_ps(f);
        junkv = _mm_add_ps(
            junkv, _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(xl, zerof), _mm_mul_ps(xr, zerof)),
                                         _mm_add_ps(_mm_mul_ps(q0, zerof), _mm_mul_ps(q1, zerof))),
                              _mm_add_ps(_mm_mul_ps(q2, zerof), _mm_mul_ps(q3, zerof))));
        float* o = &run[i].xLeft;
        // Two pieces from the low halves, two from the high halves, laid out
        // as xl xr a0 a1 a2 a3 each.
        const __m128 xs[2] = {_mm_unpacklo_ps(xl, xr), _mm_unpackhi_ps(xl, xr)};
        const __m128 los[2] = {_mm_unpacklo_ps(q0, q1), _mm_unpackhi_ps(q0, q1)};
        const __m128 his[2] = {_mm_unpacklo_ps(q2, q3), _mm_unpackhi_ps(q2, q3)};
        for (int h = 0; h < 2; ++h) {
            _mm_storeu_ps(o + 12 * h, _mm_movelh_ps(xs[h], los[h]));
            _mm_storeu_ps(o + 12 * h + 4, _mm_shuffle_ps(his[h], xs[h], _MM_SHUFFLE(3, 2, 1, 0)));
            _mm_storeu_ps(o + 12 * h + 8, _mm_movehl_ps(his[h], los[h]));
        }
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, junkv);
    junk += (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    return i;
}
#endif

// Where one build writes: the list from index `from` on, the window's scale,
// and the last right end it divided, so that a piece starting where the
// previous one ended reuses that quotient (the same division of the same
// numbers, so the same f32). Pieces are written straight into the list's
// storage, which is first made at least `from + expected` long (only what it
// grows by is zeroed, so a list reused for window after window is not
// cleared each time); the list ends up exactly as long as what was written,
// also when a build stops with an exception.
struct Emitter {
    Emitter(std::vector<CubicInterval>& list, std::size_t from, std::size_t expected, double start,
            double length)
        : out(list), count(from), g(start), l(length) {
        const std::size_t wanted = from + std::min(expected, kMaxSnapshotIntervals);
        if (out.size() < wanted) {
            out.resize(wanted);
        }
        data = out.data();
    }
    ~Emitter() { out.resize(count); }
    Emitter(const Emitter&) = delete;
    Emitter& operator=(const Emitter&) = delete;

    // Room for n more pieces after the `count` written.
    void ensure(std::size_t n) {
        if (out.size() - count < n) {
            out.resize(std::max(count + n, std::min(2 * out.size(), kMaxSnapshotIntervals)));
        }
        data = out.data();
    }

    std::vector<CubicInterval>& out;
    CubicInterval* data = nullptr;
    std::size_t count;  // pieces written
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
        const Recut k = recut(c, d, e, f, p, w);
        const double a0 = k.a0, a1 = k.a1, a2 = k.a2, a3 = k.a3;
        const float xLeft = scaled(o);
        const double right = (m - g) / l;
        const CubicInterval next{xLeft,
                                 static_cast<float>(right),
                                 static_cast<float>(a0),
                                 static_cast<float>(a1),
                                 static_cast<float>(a2),
                                 static_cast<float>(a3)};
        if (nonFinite(next) != 0.0f) {
            return;
        }
        if (count >= kMaxSnapshotIntervals) {
            throw std::length_error("Visual snapshot exceeds its complete-frame geometry budget");
        }
        ensure(1);
        data[count++] = next;
        lastEnd = m;
        lastX = next.xRight;
    }

    // A PCHIP piece (coefficients on s = x - xLeft) through the piece rule.
    void pchipPiece(const file::CubicInterval& k, double lo, double hi) {
        const double span = k.xRight - k.xLeft;
        piece(k.xLeft, k.xRight, k.a0, k.a1 * span, k.a2 * span * span, k.a3 * span * span * span,
              lo, hi);
    }

    struct Run {
        const file::CubicInterval* stop;  // the first piece not taken
        bool clean;                       // false: [start, stop) must go through the rule
    };

    // The consecutive PCHIP pieces from `it` that lie wholly inside
    // [lo, hi], at most kRunPieces of them, written in one tight pass: the
    // piece rule's uncut branch (p = 0, w = 1) without its per-piece checks.
    // The run ends before the first piece that would take another branch of
    // the rule (cut by the clip, empty, reversed, unbounded, not a number).
    // Pieces whose fields are not all finite as f32 are caught for the run
    // as a whole: the run is then dropped (clean false) for the rule to redo
    // one by one, which also keeps the budget's length error at the exact
    // piece. The budget also bounds the run's length, so that a run never
    // passes it.
    Run pchipRun(const file::CubicInterval* it, const file::CubicInterval* end, double lo,
                 double hi) {
        const std::size_t room =
            std::min({static_cast<std::size_t>(end - it), kRunPieces,
                      kMaxSnapshotIntervals - std::min(count, kMaxSnapshotIntervals)});
        ensure(room);
        float junk = 0.0f;
        const std::size_t n = uncutPieces(it, room, lo, hi, data + count, junk);
        if (n == 0 || junk != 0.0f) {
            return {it + n, false};  // what was written is left to be overwritten
        }
        count += n;
        // Every piece ended where it was taken, so the next piece's left end
        // may reuse the last quotient.
        lastEnd = it[n - 1].xRight;
        lastX = data[count - 1].xRight;
        return {it + n, true};
    }

    // Whether a piece takes the rule's uncut branch for the clip [lo, hi].
    static bool uncut(const file::CubicInterval& k, double lo, double hi) noexcept {
        return k.xRight <= hi && k.xLeft >= lo && k.xLeft < k.xRight &&
               k.xRight - k.xLeft <= std::numeric_limits<double>::max();
    }

    // One uncut PCHIP piece: the rule with p = 0 and w = 1. A left end that
    // equals the last right end gives the same quotient, so dividing again
    // gives the same f32 as reusing it. Adds to `junk` as nonFinite does.
    CubicInterval uncutPiece(const file::CubicInterval& k, float& junk) const noexcept {
        const double span = k.xRight - k.xLeft;
        const Recut r =
            recut(k.a0, k.a1 * span, k.a2 * span * span, k.a3 * span * span * span, 0.0, 1.0);
        const CubicInterval next{static_cast<float>((k.xLeft - g) / l),
                                 static_cast<float>((k.xRight - g) / l),
                                 static_cast<float>(r.a0),
                                 static_cast<float>(r.a1),
                                 static_cast<float>(r.a2),
                                 static_cast<float>(r.a3)};
        junk += nonFinite(next);
        return next;
    }

    // uncutPiece for the leading uncut pieces of k[0, room) into `run`;
    // returns how many. `junk` stays 0 while every field is finite.
    std::size_t uncutPieces(const file::CubicInterval* k, std::size_t room, double lo, double hi,
                            CubicInterval* run, float& junk) noexcept {
        std::size_t i = 0;
#if defined(__SSE2__)
        if (wideVectorsAllowed.load(std::memory_order_relaxed) && processorHasWideVectors()) {
            i = uncutQuads(k, room, lo, hi, g, l, run, junk);
        }
        // Two pieces side by side, one per lane: the same operations in the
        // same order as uncutPiece, so the same bits.
        const __m128d zero = _mm_setzero_pd();
        const __m128d two = _mm_set1_pd(2.0);
        const __m128d three = _mm_set1_pd(3.0);
        const __m128d gv = _mm_set1_pd(g);
        const __m128d lv = _mm_set1_pd(l);
        const __m128d lov = _mm_set1_pd(lo);
        const __m128d hiv = _mm_set1_pd(hi);
        const __m128d maxv = _mm_set1_pd(std::numeric_limits<double>::max());
        __m128 junkv = _mm_setzero_ps();
        const __m128 zerof = _mm_setzero_ps();
        for (; i + 2 <= room; i += 2) {
            const double* p0 = &k[i].xLeft;
            const double* p1 = &k[i + 1].xLeft;
            const __m128d x0 = _mm_loadu_pd(p0), x1 = _mm_loadu_pd(p1);
            const __m128d a = _mm_unpacklo_pd(x0, x1);
            const __m128d b = _mm_unpackhi_pd(x0, x1);
            const __m128d span = _mm_sub_pd(b, a);
            const __m128d taken =
                _mm_and_pd(_mm_and_pd(_mm_cmple_pd(b, hiv), _mm_cmpge_pd(a, lov)),
                           _mm_and_pd(_mm_cmplt_pd(a, b), _mm_cmple_pd(span, maxv)));
            if (_mm_movemask_pd(taken) != 3) {
                break;
            }
            const __m128d c0 = _mm_loadu_pd(p0 + 2), c1 = _mm_loadu_pd(p1 + 2);
            const __m128d e0 = _mm_loadu_pd(p0 + 4), e1 = _mm_loadu_pd(p1 + 4);
            const __m128d c = _mm_unpacklo_pd(c0, c1);
            const __m128d k1 = _mm_unpackhi_pd(c0, c1);
            const __m128d k2 = _mm_unpacklo_pd(e0, e1);
            const __m128d k3 = _mm_unpackhi_pd(e0, e1);
            const __m128d d = _mm_mul_pd(k1, span);
            const __m128d e = _mm_mul_pd(_mm_mul_pd(k2, span), span);
            const __m128d f = _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(k3, span), span), span);
            // recut(c, d, e, f, 0, 1); a product with w = 1 is its other
            // factor exactly (an infinity and a NaN included), so it is left out.
            const __m128d fp = _mm_mul_pd(f, zero);
            const __m128d r0 =
                _mm_add_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(_mm_add_pd(fp, e), zero), d), zero), c);
            const __m128d f3p = _mm_mul_pd(_mm_mul_pd(three, f), zero);
            const __m128d r1 = _mm_add_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(two, e), f3p), zero), d);
            const __m128d r2 = _mm_add_pd(e, f3p);
            const __m128d r3 = f;
            const __m128 xl = _mm_cvtpd_ps(_mm_div_pd(_mm_sub_pd(a, gv), lv));
            const __m128 xr = _mm_cvtpd_ps(_mm_div_pd(_mm_sub_pd(b, gv), lv));
            // xl0 xr0 xl1 xr1, a00 a10 a01 a11, a20 a30 a21 a31
            const __m128 x = _mm_unpacklo_ps(xl, xr);
            const __m128 lo01 = _mm_unpacklo_ps(_mm_cvtpd_ps(r0), _mm_cvtpd_ps(r1));
            const __m128 hi01 = _mm_unpacklo_ps(_mm_cvtpd_ps(r2), _mm_cvtpd_ps(r3));
            const __m128 v0 = _mm_movelh_ps(x, lo01);
            const __m128 v1 = _mm_shuffle_ps(hi01, x, _MM_SHUFFLE(3, 2, 1, 0));
            const __m128 v2 = _mm_movehl_ps(hi01, lo01);
            junkv = _mm_add_ps(junkv,
                               _mm_add_ps(_mm_add_ps(_mm_mul_ps(v0, zerof), _mm_mul_ps(v1, zerof)),
                                          _mm_mul_ps(v2, zerof)));
            float* o = &run[i].xLeft;
            _mm_storeu_ps(o, v0);
            _mm_storeu_ps(o + 4, v1);
            _mm_storeu_ps(o + 8, v2);
        }
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, junkv);
        junk += (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
#endif
        for (; i < room && uncut(k[i], lo, hi); ++i) {
            run[i] = uncutPiece(k[i], junk);
        }
        return i;
    }

    // The longest run taken at once, so that room is made for it in steps.
    static constexpr std::size_t kRunPieces = 4096;
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
        const file::CubicInterval* k = pieces.data() + (it - pieces.begin());
        const file::CubicInterval* const end = pieces.data() + pieces.size();
        while (k != end && !(k->xLeft > hi)) {
            const Emitter::Run run = out.pchipRun(k, end, lo, hi);
            if (run.clean && run.stop != k) {
                k = run.stop;
                continue;
            }
            // The rule piece by piece: over a run taken back, or for the one
            // piece that ended a run before it began.
            const file::CubicInterval* const stop = run.stop != k ? run.stop : k + 1;
            for (; k != stop && !(k->xLeft > hi); ++k) {
                out.pchipPiece(*k, lo, hi);
            }
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

bool snapshotWideVectorsInUse() noexcept {
#if defined(__SSE2__)
    return wideVectorsAllowed.load(std::memory_order_relaxed) && processorHasWideVectors();
#else
    return false;
#endif
}

void allowSnapshotWideVectors(bool allowed) noexcept {
#if defined(__SSE2__)
    wideVectorsAllowed.store(allowed, std::memory_order_relaxed);
#else
    (void)allowed;
#endif
}

void appendChannelIntervals(std::vector<CubicInterval>& out,
                            const surrogate::ChannelGeometry& channel, double clipStart,
                            double clipEnd, double g, double l) {
    if (!(l > 0.0)) {
        return;
    }
    Emitter emitter(out, out.size(), pieceBound(channel), g, l);
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
    // The lists keep their length until they are written (a build writes
    // over what the last one left), and are emptied where nothing is.
    const auto empty = [&into] {
        for (auto& list : into.channels) {
            list.clear();
        }
    };
    if (!(duration > 0.0) || !(request.windowLength > 0.0)) {
        empty();
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
        empty();
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
            empty();
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
        Emitter emitter(into.channels[ch], 0, bound, g, l);
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
