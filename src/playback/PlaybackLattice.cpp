#include "playback/PlaybackLattice.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace al::playback {

namespace {

// Four doubles, as the compiler splits them for the target's vectors.
using Quad = double __attribute__((vector_size(32)));

constexpr std::uint32_t kMaxOutputRate = 12'288'000;
constexpr std::uint32_t kPrimeTimeoutMs = 10'000;
constexpr double kRampSeconds = 0.09;
constexpr double kRampSnap = 1e-9;
constexpr std::uint64_t kRingBytes = 524'288;

const SourceMetadata& checkedMetadata(const std::shared_ptr<const PlaybackSource>& source) {
    if (!source) {
        throw std::invalid_argument("PlaybackLattice requires a playback source");
    }
    const SourceMetadata& m = source->metadata();
    // A non-finite duration would make every time computation meaningless.
    if (m.channelCount == 0 || m.sampleRate == 0 || m.frameCount == 0 || !(m.duration > 0.0) ||
        !std::isfinite(m.duration)) {
        throw std::invalid_argument("PlaybackLattice source metadata is invalid");
    }
    return m;
}

double bitsToDouble(std::uint64_t bits) noexcept {
    return std::bit_cast<double>(bits);
}
std::uint64_t doubleToBits(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

}  // namespace

std::uint64_t PlaybackLattice::defaultLookahead(std::uint32_t sampleRate) noexcept {
    const double chunks = std::ceil(static_cast<double>(sampleRate) * 0.25 / 1024.0) + 2.0;
    return static_cast<std::uint64_t>(std::clamp(chunks, 12.0, 256.0));
}

std::uint64_t PlaybackLattice::framesBefore(double duration, std::uint32_t rate) noexcept {
    if (!(duration > 0.0) || rate == 0) {
        return 0;
    }
    // The largest k with k / rate < duration is the floor of the largest
    // double below rate x duration; one more counts frame 0.
    const double below = std::nextafter(static_cast<double>(rate) * duration,
                                        -std::numeric_limits<double>::infinity());
    return static_cast<std::uint64_t>(std::floor(below)) + 1;
}

std::uint64_t PlaybackLattice::ringSizeFor(std::uint32_t channels) noexcept {
    const std::uint64_t perRecord = static_cast<std::uint64_t>(channels) * 8 + 24;
    return std::clamp<std::uint64_t>(kRingBytes / perRecord, 16, 8192);
}

PlaybackLattice::PlaybackLattice(std::shared_ptr<const PlaybackSource> source,
                                 std::uint64_t lookaheadChunks)
    : source_(std::move(source)),
      channels_(checkedMetadata(source_).channelCount),
      duration_(source_->metadata().duration),
      chunkCount_(source_->chunkCount()),
      outputRate_(source_->metadata().sampleRate),
      totalFrames_(source_->metadata().frameCount),
      cursors_(channels_),
      runTimes_(kRunFrames),
      runValues_(kRunFrames),
      runGains_(kRunFrames),
      runOffsets_(kRunFrames),
      pullPeak_(channels_, 0.0),
      pullSquares_(channels_ * kSquareLanes, 0.0),
      peakHold_(std::make_unique<std::atomic<std::uint64_t>[]>(channels_)),
      ringSize_(ringSizeFor(channels_)),
      ring_(std::make_unique<RingEntry[]>(ringSize_)),
      ringPeaks_(std::make_unique<std::atomic<float>[]>(ringSize_ * channels_)),
      ringRms_(std::make_unique<std::atomic<float>[]>(ringSize_ * channels_)) {
    const std::uint64_t lookahead =
        lookaheadChunks == 0 ? defaultLookahead(source_->metadata().sampleRate) : lookaheadChunks;
    surrogate_ = std::make_unique<surrogate::SurrogateBuffer>(source_, lookahead);
    for (std::size_t k = 0; k < channels_; ++k) {
        peakHold_[k].store(0, std::memory_order_relaxed);
    }
    for (std::uint64_t i = 0; i < ringSize_ * channels_; ++i) {
        ringPeaks_[i].store(0.0F, std::memory_order_relaxed);
        ringRms_[i].store(0.0F, std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < kRunFrames; ++i) {
        runOffsets_[i] = static_cast<double>(i);
    }
    surrogate_->start();
    surrogate_->setConsumerChunk(0);
}

PlaybackLattice::~PlaybackLattice() {
    if (surrogate_) {
        surrogate_->stop();
    }
}

// ---------------------------------------------------------------- render

void PlaybackLattice::clearCursors() noexcept {
    std::fill(cursors_.begin(), cursors_.end(), ChannelCursor{});
}

// Channel evaluation exactly as ChannelGeometry::valueAt and the PCHIP curve
// do it (the same segment, the same interval, the same operations, so the same
// bits), but with the interval inside a PCHIP segment found from the one used
// last instead of by bisection: on an increasing lattice that is one or two
// comparisons per frame rather than ten.
double PlaybackLattice::evaluate(const surrogate::ChannelGeometry& channel, double t,
                                 ChannelCursor& cursor) noexcept {
    const auto& segments = channel.segments();
    const std::size_t count = segments.size();
    if (count == 0) {
        return 0.0;
    }
    std::size_t i = std::min(cursor.segment, count - 1);
    while (i + 1 < count && t >= segments[i].lastTime()) {
        ++i;
    }
    while (i > 0 && segments[i].firstTime() > t) {
        --i;
    }
    cursor.segment = i;
    const file::CurveSegment& segment = segments[i];
    const auto& points = segment.points();
    if (t <= points.front().time) {
        return points.front().value;
    }
    if (t >= points.back().time) {
        return points.back().value;
    }
    if (segment.kind() != file::SegmentKind::Pchip) {
        return segment.valueAt(t);
    }
    // Inside the points, so inside the curve: the first interval whose right
    // end lies beyond t.
    const auto& intervals = segment.pchip().intervals();
    std::size_t j;
    if (cursor.intervalSegment != i || cursor.interval >= intervals.size()) {
        j = static_cast<std::size_t>(
            std::upper_bound(intervals.begin(), intervals.end(), t,
                             [](double x, const file::CubicInterval& c) { return x < c.xRight; }) -
            intervals.begin());
        j = std::min(j, intervals.size() - 1);
        cursor.intervalSegment = i;
    } else {
        j = cursor.interval;
        while (j + 1 < intervals.size() && intervals[j].xRight <= t) {
            ++j;
        }
        while (j > 0 && intervals[j - 1].xRight > t) {
            --j;
        }
    }
    cursor.interval = j;
    const file::CubicInterval& iv = intervals[j];
    const double s = t - iv.xLeft;
    return ((iv.a3 * s + iv.a2) * s + iv.a1) * s + iv.a0;
}

bool PlaybackLattice::readyToReplace() noexcept {
    if (parked_ && !surrogate_->retire(parked_)) {
        ++retireStalls_;
        return false;
    }
    return true;
}

void PlaybackLattice::replaceCurrent(
    std::shared_ptr<const surrogate::PlaybackChunk> next) noexcept {
    std::shared_ptr<const surrogate::PlaybackChunk> outgoing =
        std::exchange(current_, std::move(next));
    if (!surrogate_->retire(outgoing)) {
        parked_ = std::move(outgoing);  // parked_ was empty: this frees nothing
    }
}

void PlaybackLattice::dropCurrentChunk() noexcept {
    // Keeping the chunk when it cannot be handed over is never wrong: it is
    // only evaluated inside its own ownership interval.
    if (readyToReplace()) {
        replaceCurrent(nullptr);
    }
    currentIndex_ = -1;
    clearCursors();
}

void PlaybackLattice::applyPendingSeek() noexcept {
    const std::int64_t seek = pendingSeek_.exchange(-1, std::memory_order_acq_rel);
    if (seek < 0) {
        return;
    }
    const std::uint64_t total = totalFrames_.load(std::memory_order_relaxed);
    position_.store(std::min(static_cast<std::uint64_t>(seek), total), std::memory_order_release);
    dropCurrentChunk();
    resetLevels();
}

void PlaybackLattice::wrapToStart() noexcept {
    if (readyToReplace()) {
        replaceCurrent(loopStart_.load());
        currentIndex_ = current_ ? 0 : -1;
    } else {
        currentIndex_ = -1;
    }
    clearCursors();
    surrogate_->setConsumerChunk(0);
}

bool PlaybackLattice::followChunk(double t) noexcept {
    const std::uint64_t c = source_->chunkIndexAt(t);
    const bool moved = currentIndex_ != static_cast<std::int64_t>(c) || current_;
    bool usable = false;
    // The chunk let go of is freed on a background thread, not here. The new
    // one is taken from its slot only once the old one can be handed over: a
    // reference taken and dropped again could be the last one.
    if (readyToReplace()) {
        replaceCurrent(surrogate_->get(c));
        usable = static_cast<bool>(current_);
    }
    currentIndex_ = static_cast<std::int64_t>(c);
    clearCursors();
    // Retrying a missing chunk every frame is cheap; waking the producer
    // again for the same chunk is not needed.
    if (moved) {
        surrogate_->setConsumerChunk(c);
    }
    return usable;
}

void PlaybackLattice::stepGain(double target, double step) noexcept {
    if (gain_ != target) {
        // Within rounding of one step counts as one step: summing the step
        // 0.09 x rate times leaves a residue of a few ulps, which would
        // otherwise cost one extra frame of ramp.
        const double remaining = std::fabs(target - gain_);
        gain_ =
            remaining <= step + kRampSnap ? target : (gain_ < target ? gain_ + step : gain_ - step);
    }
}

namespace {
bool takeSnap(std::atomic<std::uint8_t>& snap) noexcept {
    return snap.load(std::memory_order_relaxed) != 0 &&
           snap.exchange(0, std::memory_order_relaxed) != 0;
}
}  // namespace

std::uint64_t PlaybackLattice::pullPerFrame(double* buffer, std::uint64_t frames) noexcept {
    const std::size_t n = channels_;
    if (frames == 0) {
        applyPendingSeek();
        return 0;
    }
    std::fill(buffer, buffer + frames * n, 0.0);
    applyPendingSeek();
    if (hold_.load(std::memory_order_relaxed)) {
        return 0;
    }
    const std::uint32_t rate = outputRate_.load(std::memory_order_relaxed);
    const std::uint64_t total = totalFrames_.load(std::memory_order_relaxed);
    if (rate == 0 || total == 0) {
        return 0;
    }
    std::fill(pullPeak_.begin(), pullPeak_.end(), 0.0);
    std::fill(pullSquares_.begin(), pullSquares_.end(), 0.0);

    const double rateD = static_cast<double>(rate);
    const double target = muted_.load(std::memory_order_relaxed) ? 0.0 : 1.0;
    const double step = 1.0 / std::max(rateD * kRampSeconds, 1.0);
    const bool loop = loopAhead_.load(std::memory_order_relaxed);
    const std::uint64_t firstFrame = position_.load(std::memory_order_relaxed);
    std::uint64_t position = firstFrame;
    std::uint64_t missing = 0;
    double* peaks = pullPeak_.data();
    double* squares = pullSquares_.data();
    ChannelCursor* cursors = cursors_.data();

    std::uint64_t j = 0;
    for (; j < frames; ++j) {
        if (position >= total) {
            if (!loop) {
                break;
            }
            wrapToStart();
            position = 0;
        }
        const double t = static_cast<double>(position) / rateD;
        bool usable = true;
        if (!current_ || t < current_->ownershipStart || t >= current_->ownershipEnd) {
            usable = followChunk(t);
        }
        if (usable) {
            if (takeSnap(snapGain_)) {
                gain_ = target;
            } else {
                stepGain(target, step);
            }
            const auto& channels = current_->channels;
            double* out = buffer + j * n;
            for (std::size_t k = 0; k < n; ++k) {
                const double v = evaluate(channels[k], t, cursors[k]) * gain_;
                out[k] = v;
                peaks[k] = std::max(peaks[k], std::fabs(v));
                squares[k * kSquareLanes + (j & (kSquareLanes - 1))] += v * v;
            }
        } else {
            ++missing;
        }
        ++position;
    }
    finishPull(firstFrame, position, missing, j, rate);
    return j;
}

std::uint64_t PlaybackLattice::pullRun(double* buffer, std::uint64_t j, std::uint64_t limit,
                                       std::uint64_t position, double rateD, double target,
                                       double step) noexcept {
    const std::size_t n = channels_;
    const double start = current_->ownershipStart;
    const double end = current_->ownershipEnd;
    limit = std::min<std::uint64_t>(limit, kRunFrames);
    double* times = runTimes_.data();
    // The first frame is evaluated even when it lies outside the chunk just
    // taken (the chunk of its time by the source's own index), as a single
    // frame would be; the rest only while they stay inside.
    //
    // Frame numbers below 2^53 are exact doubles, so position + m in double
    // equals the integer's conversion, and each time is the same division
    // a single frame makes. The times are computed a bounded stretch past
    // the frame estimated to end the chunk, then cut where the chunk ends.
    const double first = static_cast<double>(position);
    const double endFrame = std::ceil(end * rateD) - first + 2.0;
    if (endFrame < static_cast<double>(limit)) {
        limit = endFrame > 1.0 ? static_cast<std::uint64_t>(endFrame) : 1;
    }
    const double* offsets = runOffsets_.data();
    std::uint64_t at = 0;
#if defined(__SSE2__)
    // Two divisions per instruction: the same sums and quotients.
    const __m128d firstV = _mm_set1_pd(first);
    const __m128d rateV = _mm_set1_pd(rateD);
    for (; at + 2 <= limit; at += 2) {
        _mm_storeu_pd(times + at,
                      _mm_div_pd(_mm_add_pd(firstV, _mm_loadu_pd(offsets + at)), rateV));
    }
#endif
    for (; at < limit; ++at) {
        times[at] = (first + offsets[at]) / rateD;
    }
    // The times increase: once the second is inside the chunk from its
    // start, the run ends at the first time at or past its end.
    std::uint64_t m = 1;
    if (limit > 1 && times[1] >= start) {
        m = static_cast<std::uint64_t>(std::lower_bound(times + 1, times + limit, end) - times);
    }

    if (takeSnap(snapGain_)) {
        gain_ = target;
    } else {
        stepGain(target, step);
    }
    // Once the gain has reached its target it stays there for the run.
    const bool steady = gain_ == target;
    double* gains = runGains_.data();
    if (!steady) {
        gains[0] = gain_;
        for (std::uint64_t i = 1; i < m; ++i) {
            stepGain(target, step);
            gains[i] = gain_;
        }
    }

    double* values = runValues_.data();
    double* out = buffer + j * n;
    for (std::size_t k = 0; k < n; ++k) {
        current_->channels[k].valuesAt(times, m, values, cursors_[k].segment);
        if (steady) {
            const double g = gain_;
            const Quad gains4 = {g, g, g, g};
            std::uint64_t i = 0;
            for (; i + 4 <= m; i += 4) {
                Quad v;
                std::memcpy(&v, values + i, sizeof v);
                v *= gains4;
                std::memcpy(values + i, &v, sizeof v);
            }
            for (; i < m; ++i) {
                values[i] *= g;
            }
        } else {
            for (std::uint64_t i = 0; i < m; ++i) {
                values[i] *= gains[i];
            }
        }
        double* to = out + k;
        std::uint64_t i = 0;
        for (; i + 4 <= m; i += 4, to += 4 * n) {
            to[0] = values[i];
            to[n] = values[i + 1];
            to[2 * n] = values[i + 2];
            to[3 * n] = values[i + 3];
        }
        for (; i < m; ++i, to += n) {
            *to = values[i];
        }
        addLevels(values, m, j, pullPeak_[k], pullSquares_.data() + k * kSquareLanes);
    }
    return m;
}

// Frames j0 .. j0 + count - 1 of the pull: the peak as std::max keeps it
// frame by frame (which ignores a NaN), the squares into lane j % 4. Four
// frames per vector once j is a multiple of four: the same sums.
void PlaybackLattice::addLevels(const double* values, std::size_t count, std::uint64_t j0,
                                double& peak, double* lanes) noexcept {
    static_assert(kSquareLanes == 4);
    std::size_t i = 0;
    for (; i < count && ((j0 + i) & 3) != 0; ++i) {
        peak = std::max(peak, std::fabs(values[i]));
        lanes[(j0 + i) & 3] += values[i] * values[i];
    }
    if (i + 4 <= count) {
        // Two lanes per vector: lanes 0 and 1, lanes 2 and 3.
        using Pair = double __attribute__((vector_size(16)));
        using PairBits = std::int64_t __attribute__((vector_size(16)));
        const PairBits magnitude = {INT64_MAX, INT64_MAX};
        Pair low, high;
        std::memcpy(&low, lanes, sizeof low);
        std::memcpy(&high, lanes + 2, sizeof high);
        Pair topLow = {peak, peak};
        Pair topHigh = topLow;
        const auto size = [&magnitude](Pair v) {
            PairBits bits;
            std::memcpy(&bits, &v, sizeof bits);
            bits &= magnitude;
            Pair out;
            std::memcpy(&out, &bits, sizeof out);
            return out;
        };
        for (; i + 4 <= count; i += 4) {
            Pair a, b;
            std::memcpy(&a, values + i, sizeof a);
            std::memcpy(&b, values + i + 2, sizeof b);
            // As std::max(top, size) lane by lane: a NaN size keeps top.
            const Pair sa = size(a);
            const Pair sb = size(b);
            topLow = sa > topLow ? sa : topLow;
            topHigh = sb > topHigh ? sb : topHigh;
            low += a * a;
            high += b * b;
        }
        std::memcpy(lanes, &low, sizeof low);
        std::memcpy(lanes + 2, &high, sizeof high);
        peak = std::max(std::max(peak, std::max(topLow[0], topLow[1])),
                        std::max(topHigh[0], topHigh[1]));
    }
    for (; i < count; ++i) {
        peak = std::max(peak, std::fabs(values[i]));
        lanes[(j0 + i) & 3] += values[i] * values[i];
    }
}

std::uint64_t PlaybackLattice::pull(double* buffer, std::uint64_t frames) noexcept {
    const std::size_t n = channels_;
    applyPendingSeek();
    if (frames == 0) {
        return 0;
    }
    const std::uint32_t rate = outputRate_.load(std::memory_order_relaxed);
    const std::uint64_t total = totalFrames_.load(std::memory_order_relaxed);
    if (hold_.load(std::memory_order_relaxed) || rate == 0 || total == 0) {
        std::fill(buffer, buffer + frames * n, 0.0);
        return 0;
    }
    std::fill(pullPeak_.begin(), pullPeak_.end(), 0.0);
    std::fill(pullSquares_.begin(), pullSquares_.end(), 0.0);

    const double rateD = static_cast<double>(rate);
    const double target = muted_.load(std::memory_order_relaxed) ? 0.0 : 1.0;
    const double step = 1.0 / std::max(rateD * kRampSeconds, 1.0);
    const bool loop = loopAhead_.load(std::memory_order_relaxed);
    const std::uint64_t firstFrame = position_.load(std::memory_order_relaxed);
    std::uint64_t position = firstFrame;
    std::uint64_t missing = 0;

    // Every frame is written once: evaluated, or zero when its chunk is
    // missing or the material has ended.
    std::uint64_t j = 0;
    while (j < frames) {
        if (position >= total) {
            if (!loop) {
                break;
            }
            wrapToStart();
            position = 0;
        }
        const double t = static_cast<double>(position) / rateD;
        bool usable = true;
        if (!current_ || t < current_->ownershipStart || t >= current_->ownershipEnd) {
            usable = followChunk(t);
        }
        if (!usable) {
            std::fill(buffer + j * n, buffer + (j + 1) * n, 0.0);
            ++missing;
            ++position;
            ++j;
            continue;
        }
        const std::uint64_t run = pullRun(buffer, j, std::min(frames - j, total - position),
                                          position, rateD, target, step);
        position += run;
        j += run;
    }
    std::fill(buffer + j * n, buffer + frames * n, 0.0);
    finishPull(firstFrame, position, missing, j, rate);
    return j;
}

void PlaybackLattice::finishPull(std::uint64_t firstFrame, std::uint64_t position,
                                 std::uint64_t missing, std::uint64_t produced,
                                 std::uint32_t rate) noexcept {
    position_.store(position, std::memory_order_release);
    if (missing != 0) {
        missingFrames_.fetch_add(missing, std::memory_order_relaxed);
    }
    if (produced > 0) {
        publishLevels(firstFrame, produced, rate);
    }
    for (std::size_t k = 0; k < channels_; ++k) {
        std::uint64_t held = peakHold_[k].load(std::memory_order_relaxed);
        while (pullPeak_[k] > bitsToDouble(held) &&
               !peakHold_[k].compare_exchange_weak(held, doubleToBits(pullPeak_[k]),
                                                   std::memory_order_relaxed)) {
        }
    }
}

void PlaybackLattice::publishLevels(std::uint64_t firstFrame, std::uint64_t produced,
                                    std::uint32_t rate) noexcept {
    if (ringSize_ == 0) {
        return;
    }
    const std::size_t n = channels_;
    const std::uint64_t m = written_++;
    RingEntry& entry = ring_[m % ringSize_];
    // Sequence lock: odd while the entry is written, even when complete. The
    // fields are stored with release order, so a reader whose acquire load
    // sees any new field also sees the odd mark when it checks again (no
    // fences: the thread sanitizer does not model them).
    entry.sequence.store(2 * m + 1, std::memory_order_relaxed);
    entry.firstFrame.store(firstFrame, std::memory_order_release);
    entry.frames.store(static_cast<std::uint32_t>(std::min<std::uint64_t>(produced, 0xFFFFFFFFu)),
                       std::memory_order_release);
    entry.rate.store(rate, std::memory_order_release);
    const double r = static_cast<double>(1.0F / static_cast<float>(produced));
    std::atomic<float>* peaks = &ringPeaks_[(m % ringSize_) * n];
    std::atomic<float>* rms = &ringRms_[(m % ringSize_) * n];
    for (std::size_t k = 0; k < n; ++k) {
        peaks[k].store(static_cast<float>(pullPeak_[k]), std::memory_order_release);
        const double* lanes = pullSquares_.data() + k * kSquareLanes;
        const double squares = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        rms[k].store(static_cast<float>(std::sqrt(std::max(squares, 0.0) * r)),
                     std::memory_order_release);
    }
    entry.sequence.store(2 * m + 2, std::memory_order_release);
    published_.store(m + 1, std::memory_order_release);
}

// ---------------------------------------------------------------- control

std::uint64_t PlaybackLattice::currentFrameTarget() const noexcept {
    const std::int64_t seek = pendingSeek_.load(std::memory_order_acquire);
    return seek >= 0 ? static_cast<std::uint64_t>(seek) : position_.load(std::memory_order_acquire);
}

double PlaybackLattice::currentTime() const noexcept {
    const std::uint32_t rate = outputRate_.load(std::memory_order_acquire);
    if (rate == 0) {
        return 0.0;
    }
    return static_cast<double>(currentFrameTarget()) / static_cast<double>(rate);
}

void PlaybackLattice::seekToFrame(std::uint64_t frame) noexcept {
    const std::uint64_t target = std::min(frame, totalFrames_.load(std::memory_order_acquire));
    pendingSeek_.store(static_cast<std::int64_t>(target), std::memory_order_release);
    if (chunkCount_ != 0) {
        const std::uint32_t rate = outputRate_.load(std::memory_order_acquire);
        const double t = rate == 0 ? 0.0 : static_cast<double>(target) / static_cast<double>(rate);
        surrogate_->jumpTo(source_->chunkIndexAt(t));
    }
}

void PlaybackLattice::seekToTime(double seconds) noexcept {
    if (!std::isfinite(seconds)) {
        seconds = 0.0;
    }
    seconds = std::clamp(seconds, 0.0, duration_);
    const double frame =
        std::floor(static_cast<double>(outputRate_.load(std::memory_order_acquire)) * seconds);
    seekToFrame(static_cast<std::uint64_t>(frame));
}

void PlaybackLattice::setOutputRate(std::uint32_t rate) {
    if (rate == 0 || rate > kMaxOutputRate) {
        throw std::invalid_argument("Playback sample rate is invalid");
    }
    const std::uint32_t old = outputRate_.load(std::memory_order_acquire);
    if (rate == old) {
        return;
    }
    const double time =
        old == 0 ? 0.0 : static_cast<double>(currentFrameTarget()) / static_cast<double>(old);
    outputRate_.store(rate, std::memory_order_release);
    totalFrames_.store(framesBefore(duration_, rate), std::memory_order_release);
    seekToTime(time);
}

bool PlaybackLattice::prime() {
    // The pending seek stays for the render thread to apply: prime may run
    // while the render thread is pulling (held), and the lattice's position
    // and current chunk belong to it. currentTime already counts the seek.
    if (chunkCount_ == 0) {
        return true;
    }
    const std::uint64_t c = source_->chunkIndexAt(currentTime());
    const bool ready = surrogate_->waitForChunk(c, kPrimeTimeoutMs);
    if (ready && c == 0) {
        if (auto chunk = surrogate_->get(0)) {
            loopStart_.store(std::move(chunk));
        }
    }
    return ready;
}

void PlaybackLattice::setLoopAhead(bool on) {
    loopAhead_.store(on, std::memory_order_release);
    if (on) {
        if (!loopStart_.load() && chunkCount_ != 0) {
            if (auto chunk = surrogate_->get(0)) {
                loopStart_.store(std::move(chunk));
            }
        }
    } else {
        loopStart_.store(nullptr);
    }
}

std::uint64_t PlaybackLattice::readyChunksAhead() const noexcept {
    if (chunkCount_ == 0) {
        return 0;
    }
    return surrogate_->readyAhead(source_->chunkIndexAt(currentTime()));
}

double PlaybackLattice::bufferedSeconds() const noexcept {
    if (chunkCount_ == 0) {
        return 0.0;
    }
    const double t = currentTime();
    const std::uint64_t c = source_->chunkIndexAt(t);
    if (surrogate_->readyAhead(c) == 0) {
        return 0.0;
    }
    return std::max(0.0, surrogate_->readyUntil(c) - t);
}

// ---------------------------------------------------------------- levels

double PlaybackLattice::takePeak(std::size_t channel) noexcept {
    if (channel >= channels_) {
        return 0.0;
    }
    return bitsToDouble(peakHold_[channel].exchange(0, std::memory_order_relaxed));
}

bool PlaybackLattice::readLevels(LevelCursor& cursor, std::span<float> peaks, std::span<float> rms,
                                 LevelRecord& record) const noexcept {
    const std::size_t n = channels_;
    if (peaks.size() < n || rms.size() < n || ringSize_ == 0) {
        return false;
    }
    const std::uint64_t published = published_.load(std::memory_order_acquire);
    const std::uint64_t base = resetBase_.load(std::memory_order_acquire);
    const std::uint64_t oldest = std::max(published > ringSize_ ? published - ringSize_ : 0, base);
    if (cursor.next < oldest) {
        cursor.skipped += oldest - cursor.next;
        cursor.next = oldest;
    }
    const std::uint64_t d = cursor.next;
    if (d >= published) {
        return false;
    }
    const RingEntry& entry = ring_[d % ringSize_];
    const std::uint64_t mark = entry.sequence.load(std::memory_order_acquire);
    if (mark != 2 * d + 2) {
        return false;
    }
    LevelRecord copy;
    copy.sequence = mark;
    copy.firstFrame = entry.firstFrame.load(std::memory_order_acquire);
    copy.frames = entry.frames.load(std::memory_order_acquire);
    copy.rate = entry.rate.load(std::memory_order_acquire);
    const std::atomic<float>* slotPeaks = &ringPeaks_[(d % ringSize_) * n];
    const std::atomic<float>* slotRms = &ringRms_[(d % ringSize_) * n];
    for (std::size_t k = 0; k < n; ++k) {
        peaks[k] = slotPeaks[k].load(std::memory_order_acquire);
        rms[k] = slotRms[k].load(std::memory_order_acquire);
    }
    if (entry.sequence.load(std::memory_order_relaxed) != mark ||
        d < resetBase_.load(std::memory_order_acquire)) {
        return false;
    }
    record = copy;
    cursor.next = d + 1;
    return true;
}

void PlaybackLattice::resetLevels() noexcept {
    resetBase_.store(published_.load(std::memory_order_acquire), std::memory_order_release);
    for (std::size_t k = 0; k < channels_; ++k) {
        peakHold_[k].store(0, std::memory_order_relaxed);
    }
}

void PlaybackLattice::resetCounters() noexcept {
    missingFrames_.store(0, std::memory_order_relaxed);
    surrogate_->resetFailures();
    resetLevels();
}

}  // namespace al::playback
