#include "decoders/DsfSurrogateReader.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "dsd/DsfReader.h"

namespace al::file {

namespace {

// Positions outside the track read as n AND 1; for a whole 16-bit word (which
// always starts at an even position) that is 0101...01.
constexpr std::uint16_t kPatternWord = 0x5555;

constexpr std::size_t kFirstStageTaps = 255;
constexpr std::size_t kHalfBandTaps = 63;
constexpr std::size_t kFinalTaps = 511;
// 1,538 frames per block, two blocks per transform.
constexpr std::size_t kFinalTransform = 2048;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Two or four doubles, the units of the stage kernels: two on every x86-64
// processor, four where the processor has 256-bit vectors (AVX2). Each lane
// does exactly what the scalar remainder loop does (one multiply, then one
// add, never fused: the library is compiled without contraction), so an
// output does not depend on the vector width, on which lane or group
// computes it, nor on how a track is cut into requests. Loads go through
// memcpy, which the compiler turns into one unaligned load. No function
// takes or returns these types, so the calling convention never depends on
// the width.
using Vec2 = double __attribute__((vector_size(16)));
using Vec4 = double __attribute__((vector_size(32)));

// One folded stage (see FoldedStage) over `count` outputs:
// out[k * outStride] = centre * in[g k + M] + sum over terms of
// weight * (in[g k + t] + in[g k + N - 1 - t]), where in[g i + r] is
// phase[r][i]: the input split by residue modulo g, so that the loads of a
// group of consecutive outputs are contiguous. kGroup outputs are summed at
// once in registers: enough independent additions to keep the adders busy.
// Always inlined, so that it is compiled for the vector width of its caller.
template <typename V, std::uint32_t g, std::size_t kGroup>
[[gnu::always_inline]] inline void runFolded(const DsfSurrogateReader::FoldedStage& stage,
                                             const double* const* phase, double* out,
                                             std::size_t outStride, std::size_t count) noexcept {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(double);
    static_assert(kGroup % kLanes == 0);
    constexpr std::size_t kVectors = kGroup / kLanes;
    const std::size_t n = stage.length;
    const std::size_t m = n / 2;
    const double* centreIn = phase[m % g] + m / g;
    const double centre = stage.centre;
    const std::size_t terms = stage.offsets.size();
    const std::uint32_t* offsets = stage.offsets.data();
    const double* weights = stage.weights.data();
    const auto left = [&](std::size_t i) {
        const std::size_t t = offsets[i];
        return phase[t % g] + t / g;
    };
    const auto right = [&](std::size_t i) {
        const std::size_t u = n - 1 - offsets[i];
        return phase[u % g] + u / g;
    };
    // The terms' input positions, worked out once rather than per group
    // (for stages of up to kMaxTerms terms; longer ones work them out as
    // they go).
    constexpr std::size_t kMaxTerms = 64;
    const double* lefts[kMaxTerms];
    const double* rights[kMaxTerms];
    const bool listed = terms <= kMaxTerms;
    for (std::size_t i = 0; listed && i < terms; ++i) {
        lefts[i] = left(i);
        rights[i] = right(i);
    }

    std::size_t k0 = 0;
    for (; k0 + kGroup <= count; k0 += kGroup) {
        V acc[kVectors];
        const V c = V{} + centre;
#pragma GCC unroll 16
        for (std::size_t q = 0; q < kVectors; ++q) {
            V x;
            std::memcpy(&x, centreIn + k0 + kLanes * q, sizeof x);
            acc[q] = c * x;
        }
        for (std::size_t i = 0; i < terms; ++i) {
            const double* a = (listed ? lefts[i] : left(i)) + k0;
            const double* b = (listed ? rights[i] : right(i)) + k0;
            const V w = V{} + weights[i];
#pragma GCC unroll 16
            for (std::size_t q = 0; q < kVectors; ++q) {
                V x, y;
                std::memcpy(&x, a + kLanes * q, sizeof x);
                std::memcpy(&y, b + kLanes * q, sizeof y);
                acc[q] += w * (x + y);
            }
        }
#pragma GCC unroll 16
        for (std::size_t q = 0; q < kVectors; ++q) {
#pragma GCC unroll 4
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                out[(k0 + kLanes * q + lane) * outStride] = acc[q][lane];
            }
        }
    }
    for (; k0 < count; ++k0) {
        double acc = centre * centreIn[k0];
        for (std::size_t i = 0; i < terms; ++i) {
            acc += weights[i] * (left(i)[k0] + right(i)[k0]);
        }
        out[k0 * outStride] = acc;
    }
}

// A stage of factor 2: its input split into its even and odd samples first.
template <typename V, std::size_t kGroup>
[[gnu::always_inline]] inline void runStageWith(const DsfSurrogateReader::FoldedStage& stage,
                                                const double* in, std::size_t inCount, double* out,
                                                std::size_t outStride, std::size_t count,
                                                double* even, double* odd) noexcept {
    for (std::size_t i = 0; 2 * i < inCount; ++i) {
        even[i] = in[2 * i];
        if (2 * i + 1 < inCount) {
            odd[i] = in[2 * i + 1];
        }
    }
    const double* phase[2] = {even, odd};
    runFolded<V, 2, kGroup>(stage, phase, out, outStride, count);
}

void runStageNarrow(const DsfSurrogateReader::FoldedStage& stage, const double* in,
                    std::size_t inCount, double* out, std::size_t outStride, std::size_t count,
                    double* even, double* odd) noexcept {
    runStageWith<Vec2, 16>(stage, in, inCount, out, outStride, count, even, odd);
}

__attribute__((target("avx2"))) void runStageWide(const DsfSurrogateReader::FoldedStage& stage,
                                                  const double* in, std::size_t inCount,
                                                  double* out, std::size_t outStride,
                                                  std::size_t count, double* even,
                                                  double* odd) noexcept {
    runStageWith<Vec4, 32>(stage, in, inCount, out, outStride, count, even, odd);
}

bool processorHasWideVectors() noexcept {
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

std::atomic<bool> wideVectorsAllowed{true};
std::atomic<bool> channelThreadsAllowed{true};

void runStage(const DsfSurrogateReader::FoldedStage& stage, const double* in, std::size_t inCount,
              double* out, std::size_t outStride, std::size_t count, double* even,
              double* odd) noexcept {
    if (wideVectorsAllowed.load(std::memory_order_relaxed) && processorHasWideVectors()) {
        runStageWide(stage, in, inCount, out, outStride, count, even, odd);
    } else {
        runStageNarrow(stage, in, inCount, out, outStride, count, even, odd);
    }
}

// Outputs [from, count) of the first stage one at a time: row by row from 0.0.
void firstStageSums(const DsfSurrogateReader::FirstStageTable& table, const std::uint8_t* bytes,
                    double* out, std::size_t from, std::size_t count) noexcept {
    for (std::size_t i = from; i < count; ++i) {
        double a = 0.0;
        for (std::size_t p = 0; p < DsfSurrogateReader::kTableBytes; ++p) {
            a += table[p][bytes[i + p]];
        }
        out[i] = a;
    }
}

// First stage through the byte table: out[i] = sum over p of row p at
// bytes[i + p], added in row order from 0.0.
//
// Eight outputs at a time: the bytes that eight consecutive outputs look up
// in row p are the eight consecutive bytes from i + p, so one 64-bit load
// serves them all (the byte of output i + j is its j-th byte from the least
// significant end), and four two-lane sums run side by side.
//
// The table (64 KiB) is larger than a first-level data cache, and lookups
// land anywhere in a row. So a block of outputs goes through the rows a
// quarter at a time (8 rows, 16 KiB), its partial sums kept in `out`
// between quarters; each sum still takes its terms in row order, so the
// result is the same as in one pass.
void runFirstStage(const DsfSurrogateReader::FirstStageTable& table, const std::uint8_t* bytes,
                   double* out, std::size_t count) {
    constexpr std::size_t P = DsfSurrogateReader::kTableBytes;
    constexpr std::size_t kRowsPerPass = 8;
    constexpr std::size_t kBlock = 512;  // outputs; a multiple of 8
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= count; i += kBlock) {
            const std::size_t blockEnd = std::min(count, i + kBlock) & ~std::size_t{7};
            for (std::size_t p0 = 0; p0 < P; p0 += kRowsPerPass) {
                for (std::size_t j = i; j < blockEnd; j += 8) {
                    Vec2 acc0 = {0.0, 0.0}, acc1 = acc0, acc2 = acc0, acc3 = acc0;
                    if (p0 != 0) {
                        std::memcpy(&acc0, out + j, sizeof acc0);
                        std::memcpy(&acc1, out + j + 2, sizeof acc1);
                        std::memcpy(&acc2, out + j + 4, sizeof acc2);
                        std::memcpy(&acc3, out + j + 6, sizeof acc3);
                    }
#pragma GCC unroll 8
                    for (std::size_t p = p0; p < p0 + kRowsPerPass; ++p) {
                        std::uint64_t w;
                        std::memcpy(&w, bytes + j + p, sizeof w);
                        const double* row = table[p].data();
                        const Vec2 v0 = {row[w & 0xFF], row[w >> 8 & 0xFF]};
                        const Vec2 v1 = {row[w >> 16 & 0xFF], row[w >> 24 & 0xFF]};
                        const Vec2 v2 = {row[w >> 32 & 0xFF], row[w >> 40 & 0xFF]};
                        const Vec2 v3 = {row[w >> 48 & 0xFF], row[w >> 56]};
                        acc0 += v0;
                        acc1 += v1;
                        acc2 += v2;
                        acc3 += v3;
                    }
                    std::memcpy(out + j, &acc0, sizeof acc0);
                    std::memcpy(out + j + 2, &acc1, sizeof acc1);
                    std::memcpy(out + j + 4, &acc2, sizeof acc2);
                    std::memcpy(out + j + 6, &acc3, sizeof acc3);
                }
            }
            if (blockEnd < i + kBlock) {
                i = blockEnd;
                break;
            }
        }
    }
    firstStageSums(table, bytes, out, i, count);
}

// The first stage with four outputs per vector (AVX2), the same sums to the
// bit: byte j meets rows j - i of outputs i = j - 31 .. j, and the
// transposed table holds those rows side by side for each byte value. A
// register R of the outputs i0 + 3 .. i0 (lane m: output i0 + 3 - m) takes,
// for p = -3 .. 31, the four entries from row p at byte i0 + 3 + p: lane m
// gets row p + m of its output at byte (i0 + 3 - m) + (p + m), rows outside
// 0 .. 31 being the padding zeros. Every output so adds its rows in order
// from 0.0, as runFirstStage does, with zeros before and after that change
// nothing (but the sign of an exact zero). Eight registers at a time keep
// the adders busy; the remainder takes the scalar sums.
__attribute__((target("avx2"))) void runFirstStageWide(
    const double* transposed, const DsfSurrogateReader::FirstStageTable& table,
    const std::uint8_t* bytes, double* out, std::size_t count) {
    constexpr std::size_t P = DsfSurrogateReader::kTableBytes;
    constexpr std::size_t kStride = DsfSurrogateReader::kTransposedStride;
    static_assert(DsfSurrogateReader::kTransposedPad == 3);
    constexpr std::size_t kGroups = 8;  // independent sums: the adders' latency is hidden
    std::size_t i = 0;
    for (; i + 4 * kGroups <= count; i += 4 * kGroups) {
        Vec4 acc[kGroups] = {};
        const std::uint8_t* b = bytes + i;
#pragma GCC unroll 35
        for (std::size_t q = 0; q < P + 3; ++q) {  // q = p + 3
#pragma GCC unroll 8
            for (std::size_t g = 0; g < kGroups; ++g) {
                Vec4 v;
                std::memcpy(&v, transposed + std::size_t{b[4 * g + q]} * kStride + q, sizeof(Vec4));
                acc[g] += v;
            }
        }
        for (std::size_t g = 0; g < kGroups; ++g) {
            const Vec4 inOrder = __builtin_shufflevector(acc[g], acc[g], 3, 2, 1, 0);
            std::memcpy(out + i + 4 * g, &inOrder, sizeof inOrder);
        }
    }
    firstStageSums(table, bytes, out, i, count);
}

}  // namespace

std::vector<double> DsfSurrogateReader::designLowPass(std::size_t taps, double cutoff) {
    if (taps < 3 || taps % 2 == 0) {
        throw std::invalid_argument("FIR length must be odd and at least 3");
    }
    std::vector<double> h(taps);
    const std::size_t m = taps / 2;
    const double span = static_cast<double>(taps - 1);
    // Compute the left half and mirror it, so the taps are exactly symmetric
    // (linear phase) rather than symmetric up to rounding.
    for (std::size_t i = 0; i <= m; ++i) {
        double s = 2.0 * cutoff;
        if (i != m) {
            const double d = static_cast<double>(i) - static_cast<double>(m);
            s = std::sin(2.0 * std::numbers::pi * cutoff * d) / (std::numbers::pi * d);
        }
        const double x = static_cast<double>(i) / span;
        const double w = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * x) +
                         0.08 * std::cos(4.0 * std::numbers::pi * x);
        h[i] = w * s;
        h[taps - 1 - i] = w * s;
    }
    double sum = 0.0;
    for (const double v : h) {
        sum += v;
    }
    for (double& v : h) {
        v /= sum;
    }
    return h;
}

DsfSurrogateReader::FirstStageTable DsfSurrogateReader::foldIntoByteTable(
    const std::vector<double>& taps) {
    if (taps.size() > kTableBytes * 8) {
        throw std::invalid_argument("First-stage filter longer than its byte table");
    }
    FirstStageTable table{};
    for (std::size_t p = 0; p < kTableBytes; ++p) {
        for (unsigned v = 0; v < 256; ++v) {
            double sum = 0.0;
            for (unsigned k = 0; k < 8 && 8 * p + k < taps.size(); ++k) {
                const bool one = (v >> (7 - k) & 1u) != 0;
                sum += (one ? 1.0 : -1.0) * taps[8 * p + k];
            }
            table[p][v] = sum;
        }
    }
    return table;
}

bool DsfSurrogateReader::wideVectorsInUse() noexcept {
    return wideVectorsAllowed.load(std::memory_order_relaxed) && processorHasWideVectors();
}

void DsfSurrogateReader::allowWideVectors(bool allowed) noexcept {
    wideVectorsAllowed.store(allowed, std::memory_order_relaxed);
}

DsfSurrogateReader::FoldedStage DsfSurrogateReader::foldStage(const FilterStage& stage) {
    const std::vector<double>& h = stage.taps;
    const std::size_t n = h.size();
    if (n < 3 || n % 2 == 0 || n > 0xFFFFFFFFu) {
        throw std::invalid_argument("FIR length must be odd and at least 3");
    }
    for (std::size_t t = 0; t < n / 2; ++t) {
        if (h[t] != h[n - 1 - t]) {
            throw std::invalid_argument("Folded FIR stage requires symmetric taps");
        }
    }
    FoldedStage folded;
    folded.factor = stage.factor;
    folded.length = n;
    folded.centre = h[n / 2];
    double largest = 0.0;
    for (const double v : h) {
        largest = std::max(largest, std::fabs(v));
    }
    // A designed zero (every other tap of a half-band low-pass, the window's
    // end points) comes out of sin() as a residue some 1e-17 of the peak;
    // real taps of these filters are never within many orders of that.
    const double floor = largest * 1e-13;
    for (std::size_t t = 0; t < n / 2; ++t) {
        if (std::fabs(h[t]) > floor) {
            folded.offsets.push_back(static_cast<std::uint32_t>(t));
            folded.weights.push_back(h[t]);
        } else {
            folded.residue += 2.0 * std::fabs(h[t]);
        }
    }
    return folded;
}

// Filters the odd channels of each pass while the caller filters the even
// ones. One job at a time: run() hands it over and returns when it is done.
// Made and destroyed by its reader; run() is called under the reader's lock.
class DsfSurrogateReader::ChannelThread {
  public:
    explicit ChannelThread(const DsfSurrogateReader& reader)
        : reader_(reader), thread_([this] { loop(); }) {}
    ~ChannelThread() {
        {
            std::lock_guard guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    ChannelThread(const ChannelThread&) = delete;
    ChannelThread& operator=(const ChannelThread&) = delete;

    // Filters the odd channels on this thread and the even ones on the
    // caller's, then waits for this thread's half.
    void run() noexcept {
        {
            std::lock_guard guard(mutex_);
            pending_ = true;
        }
        wake_.notify_one();
        filterEvery(0);
        std::unique_lock guard(mutex_);
        done_.wait(guard, [this] { return !pending_; });
    }

  private:
    void filterEvery(std::size_t first) const noexcept {
        for (std::size_t c = first; c < reader_.dsfInfo_.channels; c += 2) {
            reader_.filterChannel(c);
        }
    }
    void loop() noexcept {
        std::unique_lock guard(mutex_);
        for (;;) {
            wake_.wait(guard, [this] { return pending_ || stop_; });
            if (stop_) {
                return;
            }
            guard.unlock();
            filterEvery(1);
            guard.lock();
            pending_ = false;
            done_.notify_one();
        }
    }

    const DsfSurrogateReader& reader_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    bool pending_ = false;
    bool stop_ = false;
    std::thread thread_;  // last: starts once the rest is made
};

void DsfSurrogateReader::allowChannelThreads(bool allowed) noexcept {
    channelThreadsAllowed.store(allowed, std::memory_order_relaxed);
}

bool DsfSurrogateReader::usesChannelThread() const noexcept {
    const std::lock_guard guard(lock_);
    return wantsChannelThread_ || channelThread_ != nullptr;
}

DsfSurrogateReader::DsfSurrogateReader(const std::filesystem::path& path)
    : dsf_(std::make_unique<morrow::dsd::DsfReader>(path)), dsfInfo_(dsf_->info()) {
    const std::uint32_t rate = dsfInfo_.rate;
    const std::uint32_t ratio = rate / kSurrogateRate;
    if (rate % kSurrogateRate != 0 || ratio < 8 || (ratio & (ratio - 1)) != 0) {
        throw std::runtime_error(
            "DSF surrogate requires a 44.1 kHz-family DSD rate through DSD2048");
    }
    ratio_ = ratio;
    // Rounded up without forming sampleCount + ratio - 1, which could overflow.
    frameCount_ = dsfInfo_.sampleCount / ratio + (dsfInfo_.sampleCount % ratio != 0 ? 1 : 0);
    duration_ = static_cast<double>(dsfInfo_.sampleCount) / static_cast<double>(rate);
    label_ = "DSF / DSD" + std::to_string(rate / 44'100) + " (88.2 kHz filtered surrogate)";

    // Cutoffs are fractions of each stage's input rate: 0.045 of the DSD rate,
    // 0.2 of every intermediate rate, 22,050 Hz for the final low-pass.
    stages_.push_back({8, designLowPass(kFirstStageTaps, 0.045)});
    for (std::uint32_t remaining = ratio / 8; remaining >= 2; remaining /= 2) {
        stages_.push_back({2, designLowPass(kHalfBandTaps, 0.2)});
    }
    stages_.push_back({1, designLowPass(kFinalTaps, 0.25)});
    table_ = std::make_unique<FirstStageTable>(foldIntoByteTable(stages_.front().taps));
    transposed_.assign(256 * kTransposedStride, 0.0);
    for (std::size_t v = 0; v < 256; ++v) {
        for (std::size_t p = 0; p < kTableBytes; ++p) {
            transposed_[v * kTransposedStride + kTransposedPad + p] = (*table_)[p][v];
        }
    }
    for (std::size_t st = 1; st + 1 < stages_.size(); ++st) {
        folded_.push_back(foldStage(stages_[st]));
    }
    final_ = std::make_unique<OverlapSaveFilter>(stages_.back().taps, kFinalTransform);
    const auto grid = static_cast<std::int64_t>(final_->pairOutputs());

    // About 2^18 first-stage outputs per channel and pass at every rate, in
    // whole pairs of final blocks, so that passes that start on the grid
    // end on it.
    blockFrames_ =
        std::max<std::int64_t>(4096, (std::int64_t{1} << 18) / (ratio / 8)) / grid * grid;

    // Size the scratch for one full pass (range lengths do not depend on where
    // the pass starts), widened to whole pairs of final blocks on each side.
    spans_.resize(stages_.size());
    spans_.back() = {0, blockFrames_ + 2 * grid};
    for (std::size_t s = stages_.size() - 1; s > 0; --s) {
        const auto g = static_cast<std::int64_t>(stages_[s].factor);
        const auto m = static_cast<std::int64_t>(stages_[s].taps.size() / 2);
        spans_[s - 1] = {g * spans_[s].lo - m, g * (spans_[s].hi - 1) + m + 1};
    }
    const std::size_t channels = dsfInfo_.channels;
    work_.assign(stages_.size() - 1, {});
    for (std::size_t s = 0; s + 1 < stages_.size(); ++s) {
        const auto length = static_cast<std::size_t>(spans_[s].hi - spans_[s].lo);
        work_[s].assign(channels, std::vector<double>(length));
    }
    // The even/odd halves of the largest factor-2 input, and the samples of
    // a pass, per channel: channels may be filtered on two threads.
    const auto firstLength = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo);
    even_.assign(channels, std::vector<double>(firstLength / 2 + 1, 0.0));
    odd_.assign(channels, std::vector<double>(firstLength / 2 + 1, 0.0));
    last_.assign(channels, std::vector<double>(static_cast<std::size_t>(blockFrames_ + 2 * grid)));
    transform_.assign(channels, std::vector<double>(final_->scratchSize()));
    const std::size_t bytes =
        static_cast<std::size_t>(spans_[0].hi - spans_[0].lo) + kTableBytes - 1;
    packed_.assign(channels, std::vector<std::uint8_t>(bytes));
    // Words covering bytes * 8 bits from any bit offset, two bytes each, and
    // one spare byte for the shifted read of the last one.
    raw_.assign(channels, std::vector<std::uint8_t>(2 * (bytes / 2 + 2) + 1));

    // 2^20 DSD bits per channel ahead: 32768 frames at DSD64, and no fewer
    // than two chunks at the highest rates, where a run costs the most;
    // rounded up to whole pairs of final blocks, as runs start on the grid.
    const auto pairOutputs = final_->pairOutputs();
    aheadFrames_ =
        (std::max<std::uint64_t>(2048, (std::uint64_t{1} << 20) / ratio) + pairOutputs - 1) /
        pairOutputs * pairOutputs;
    ahead_.assign(static_cast<std::size_t>(aheadFrames_) * channels, 0.0);
    wantsChannelThread_ = channels >= 2 && channelThreadsAllowed.load(std::memory_order_relaxed) &&
                          std::thread::hardware_concurrency() >= 2;
}

DsfSurrogateReader::~DsfSurrogateReader() = default;

std::uint16_t DsfSurrogateReader::channelCount() const noexcept {
    return static_cast<std::uint16_t>(dsfInfo_.channels);
}

std::vector<double> DsfSurrogateReader::ReadFrames(std::uint64_t startFrame,
                                                   std::uint64_t count) const {
    std::vector<double> out;
    ReadFramesInto(startFrame, count, out);
    return out;
}

void DsfSurrogateReader::ReadFramesInto(std::uint64_t startFrame, std::uint64_t count,
                                        std::vector<double>& out) const {
    if (startFrame > frameCount_ || frameCount_ - startFrame < count) {
        throw std::out_of_range("DSF projection outside track");
    }
    if (count == 0) {
        out.clear();
        return;
    }
    if (count > kMaxRequestFrames) {
        throw std::length_error("DSF projection request must be chunked");
    }
    const std::size_t channels = dsfInfo_.channels;
    out.resize(static_cast<std::size_t>(count) * channels);
    const std::lock_guard guard(lock_);
    // A run starts on the final stage's grid, so that consecutive runs do
    // not both make the pair of blocks where they meet.
    const std::uint64_t runStart = startFrame - startFrame % final_->pairOutputs();
    if (startFrame - runStart + count > aheadFrames_) {
        project(startFrame, count, out.data());
        return;
    }
    const auto serve = [&](std::uint64_t from, std::uint64_t frames, std::uint64_t to) {
        const auto first =
            ahead_.begin() + static_cast<std::ptrdiff_t>((from - aheadStart_) * channels);
        std::copy(first, first + static_cast<std::ptrdiff_t>(frames * channels),
                  out.begin() + static_cast<std::ptrdiff_t>(to * channels));
    };
    std::uint64_t served = 0;
    if (startFrame < aheadStart_ || startFrame + count > aheadStart_ + aheadCount_) {
        // A request that runs past the end of the run takes what the run
        // has, and the next run starts where this one ends.
        const std::uint64_t aheadEnd = aheadStart_ + aheadCount_;
        std::uint64_t next = runStart;
        if (aheadCount_ != 0 && startFrame >= aheadStart_ && startFrame < aheadEnd &&
            aheadEnd % final_->pairOutputs() == 0) {
            served = aheadEnd - startFrame;
            serve(startFrame, served, 0);
            next = aheadEnd;
        }
        aheadCount_ = 0;  // a failed projection leaves nothing half-made behind
        const std::uint64_t run = std::min(aheadFrames_, frameCount_ - next);
        project(next, run, ahead_.data());
        aheadStart_ = next;
        aheadCount_ = run;
    }
    serve(startFrame + served, count - served, served);
}

void DsfSurrogateReader::project(std::uint64_t start, std::uint64_t count, double* out) const {
    const std::size_t channels = dsfInfo_.channels;
    // Passes after the first start on the final stage's grid.
    const std::uint64_t lead = start % final_->pairOutputs();
    for (std::uint64_t done = 0; done < count;) {
        const std::int64_t room = blockFrames_ - static_cast<std::int64_t>(done == 0 ? lead : 0);
        const auto n = std::min<std::int64_t>(room, static_cast<std::int64_t>(count - done));
        projectBlock(static_cast<std::int64_t>(start + done), n, out + done * channels);
        done += static_cast<std::uint64_t>(n);
    }
}

void DsfSurrogateReader::projectBlock(std::int64_t start, std::int64_t count, double* out) const {
    // Work out, from the last stage back, which outputs each stage must make:
    // producing [lo, hi) with factor g and N taps needs inputs
    // [g*lo - N/2, g*(hi - 1) + N/2 + 1).
    const std::size_t last = stages_.size() - 1;
    // The final stage makes whole pairs of blocks on the grid from frame 0.
    const auto grid = static_cast<std::int64_t>(final_->pairOutputs());
    const std::int64_t gridLo = floorDiv(start, grid) * grid;
    const std::int64_t gridHi = (floorDiv(start + count - 1, grid) + 1) * grid;
    spans_[last] = {gridLo, gridHi};
    lastOffset_ = start - gridLo;
    for (std::size_t s = last; s > 0; --s) {
        const auto g = static_cast<std::int64_t>(stages_[s].factor);
        const auto m = static_cast<std::int64_t>(stages_[s].taps.size() / 2);
        spans_[s - 1] = {g * spans_[s].lo - m, g * (spans_[s].hi - 1) + m + 1};
    }
    const auto firstOutputs = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo);
    const auto firstHalf = static_cast<std::int64_t>(stages_[0].taps.size() / 2);
    // Output m of the first stage reads the 256 bits from 8m - 127; those of
    // consecutive outputs start 8 bits apart, so one byte array serves all.
    const std::int64_t firstBit = 8 * spans_[0].lo - firstHalf;
    const std::size_t byteCount = firstOutputs + kTableBytes - 1;
    gatherBits(firstBit, byteCount);

    const std::size_t channels = dsfInfo_.channels;
    if (wantsChannelThread_ && !channelThread_) {
        // Made by the first thread that reads, usually the one that keeps
        // reading (a producer at its own priority, which a new thread takes
        // on where the system passes it on).
        wantsChannelThread_ = false;
        try {
            channelThread_ = std::make_unique<ChannelThread>(*this);
        } catch (const std::exception&) {
            channelThread_.reset();  // no thread to be had: one thread does it all
        }
    }
    if (channelThread_) {
        channelThread_->run();
    } else {
        for (std::size_t c = 0; c < channels; ++c) {
            filterChannel(c);
        }
    }
    // Interleaved only now: two threads writing neighbouring samples of one
    // frame would fight over every cache line of the output.
    const auto frames = static_cast<std::size_t>(count);
    for (std::size_t c = 0; c < channels; ++c) {
        const double* samples = last_[c].data() + lastOffset_;
        for (std::size_t k = 0; k < frames; ++k) {
            out[k * channels + c] = samples[k];
        }
    }
}

void DsfSurrogateReader::filterChannel(std::size_t c) const noexcept {
    const std::size_t last = stages_.size() - 1;
    const auto firstOutputs = static_cast<std::size_t>(spans_[0].hi - spans_[0].lo);
    if (wideVectorsInUse()) {
        runFirstStageWide(transposed_.data(), *table_, packed_[c].data(), work_[0][c].data(),
                          firstOutputs);
    } else {
        runFirstStage(*table_, packed_[c].data(), work_[0][c].data(), firstOutputs);
    }
    for (std::size_t s = 1; s < last; ++s) {
        const auto outputs = static_cast<std::size_t>(spans_[s].hi - spans_[s].lo);
        const auto& in = work_[s - 1][c];
        const auto inputs = static_cast<std::size_t>(spans_[s - 1].hi - spans_[s - 1].lo);
        runStage(folded_[s - 1], in.data(), inputs, work_[s][c].data(), 1, outputs, even_[c].data(),
                 odd_[c].data());
    }
    const auto pairs =
        static_cast<std::size_t>(spans_[last].hi - spans_[last].lo) / final_->pairOutputs();
    final_->run(work_[last - 1][c].data(), last_[c].data(), pairs, transform_[c].data(),
                wideVectorsInUse());
}

void DsfSurrogateReader::gatherBits(std::int64_t firstBit, std::size_t byteCount) const {
    const std::int64_t firstWord = floorDiv(firstBit, 16);
    const std::int64_t lastWord =
        floorDiv(firstBit + 8 * static_cast<std::int64_t>(byteCount) - 1, 16);
    const auto trackWords = static_cast<std::int64_t>(dsfInfo_.frameCount);
    const unsigned validInLast = static_cast<unsigned>(dsfInfo_.sampleCount % 16);
    const std::size_t channels = dsfInfo_.channels;

    // The words inside the track in one call; the rest is the pattern.
    const std::int64_t inFirst = std::max<std::int64_t>(firstWord, 0);
    const std::int64_t inLast = std::min<std::int64_t>(lastWord, trackWords - 1);
    if (inFirst <= inLast) {
        frames_.resize(static_cast<std::size_t>(inLast - inFirst + 1));
        dsf_->readFrames(static_cast<std::uint64_t>(inFirst), frames_.size(), frames_.data());
    }
    // Per channel: pattern words before the track, the track's words, the
    // pattern after it, as bytes most significant first.
    const auto words = static_cast<std::size_t>(lastWord - firstWord + 1);
    const auto before = static_cast<std::size_t>(std::min(inFirst, lastWord + 1) - firstWord);
    const std::size_t inside =
        inFirst <= inLast ? static_cast<std::size_t>(inLast - inFirst + 1) : 0;
    const auto offset = static_cast<std::size_t>(firstBit - firstWord * 16);
    const std::size_t skip = offset / 8;
    const unsigned shift = static_cast<unsigned>(offset % 8);
    for (std::size_t c = 0; c < channels; ++c) {
        std::uint8_t* raw = raw_[c].data();
        const auto put = [raw](std::size_t k, std::uint16_t word) {
            raw[2 * k] = static_cast<std::uint8_t>(word >> 8);
            raw[2 * k + 1] = static_cast<std::uint8_t>(word);
        };
        for (std::size_t k = 0; k < before; ++k) {
            put(k, kPatternWord);
        }
        const morrow::dsd::DsdFrame* frames = frames_.data();
        for (std::size_t k = 0; k < inside; ++k) {
            put(before + k, frames[k][c]);
        }
        for (std::size_t k = before + inside; k < words; ++k) {
            put(k, kPatternWord);
        }
        if (validInLast != 0 && inside != 0 && inLast == trackWords - 1) {
            // The DSF reader ends the track in idle bits; the projection
            // continues with the zero-mean pattern instead.
            const auto tail = static_cast<std::uint16_t>((1u << (16 - validInLast)) - 1);
            const std::uint16_t word = frames[inside - 1][c];
            put(before + inside - 1,
                static_cast<std::uint16_t>((word & ~tail) | (kPatternWord & tail)));
        }
        raw[2 * words] = 0;  // spare byte read by the shifted view of the last one
        const std::uint8_t* __restrict r = raw + skip;
        std::uint8_t* __restrict p = packed_[c].data();
        std::size_t q = 0;
        // Eight bytes at a time as one big-endian word, shifted in one step.
        for (; q + 8 <= byteCount; q += 8) {
            std::uint64_t w;
            std::memcpy(&w, r + q, sizeof w);
            if constexpr (std::endian::native == std::endian::little) {
                w = __builtin_bswap64(w);
            }
            w = w << shift | std::uint64_t{r[q + 8]} >> (8 - shift);
            if constexpr (std::endian::native == std::endian::little) {
                w = __builtin_bswap64(w);
            }
            std::memcpy(p + q, &w, sizeof w);
        }
        for (; q < byteCount; ++q) {
            p[q] = static_cast<std::uint8_t>((r[q] << shift | r[q + 1] >> (8 - shift)) & 0xFF);
        }
    }
}

}  // namespace al::file
