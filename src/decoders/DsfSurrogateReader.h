#pragma once
// Plays a DSF (1-bit DSD) file through the PCM chain as an 88,200 Hz surrogate.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoders/AudioFileReader.h"
#include "decoders/OverlapSaveFilter.h"
#include "dsd/DsdSource.h"

namespace morrow::dsd {
class DsfReader;
}

namespace al::file {

// Projects the DSD bits of a DSF file onto 88,200 Hz PCM through a cascade of
// linear-phase low-pass FIR stages with decimation: 8x (255 taps), then 2x
// (63 taps) until 88,200 Hz is reached, then a 511-tap low-pass at 22,050 Hz.
// The first stage, the only one at the DSD rate, works on whole bytes of bits
// through a 32 x 256 lookup table; the final low-pass runs as a fast
// convolution on a fixed grid of frames (see OverlapSaveFilter), so its
// rounding, too, depends only on a frame's place in the track.
//
// Projections are stateless: every output frame is a pure function of the
// file, computed from the bits around it; positions before the track's start
// or past its end read as the alternating pattern 0101... (zero mean). So any
// chunking of a track yields exactly the same samples. No gain, dither or
// clipping is applied: a run of all ones yields +1.0.
//
// Construction opens and validates the file and designs the filters (throws
// on failure). Properties are immutable. ReadFrames may be called from any
// thread; one lock per reader serialises projections because the DSF reader's
// block buffer and this reader's scratch buffers are shared. All tables and
// scratch buffers are sized once in the constructor. A short request is
// served from a run projected ahead of it, kept for the requests that follow;
// since every frame is computed the same way whichever run it falls in, this
// changes the speed of sequential reading only, never a sample.
class DsfSurrogateReader final : public AudioFileReader {
  public:
    static constexpr std::uint32_t kSurrogateRate = 88'200;
    static constexpr std::uint64_t kMaxRequestFrames = std::uint64_t{1} << 20;
    static constexpr std::size_t kTableBytes = 32;  // byte positions of the first stage
    static constexpr std::size_t kTransposedPad = 3;
    static constexpr std::size_t kTransposedStride = 40;

    struct FilterStage {
        std::uint32_t factor = 1;  // decimation
        std::vector<double> taps;  // odd count, symmetric, summing to 1
    };
    using FirstStageTable = std::array<std::array<double, 256>, kTableBytes>;

    // Throws the DSF reader's errors, or std::runtime_error("DSF surrogate
    // requires a 44.1 kHz-family DSD rate through DSD2048").
    explicit DsfSurrogateReader(const std::filesystem::path& path);
    ~DsfSurrogateReader() override;
    DsfSurrogateReader(const DsfSurrogateReader&) = delete;
    DsfSurrogateReader& operator=(const DsfSurrogateReader&) = delete;

    std::uint16_t channelCount() const noexcept override;
    std::uint32_t sampleRate() const noexcept override { return kSurrogateRate; }
    std::uint16_t bitDepth() const noexcept override { return 0; }
    std::uint64_t frameCount() const noexcept override { return frameCount_; }
    double durationSeconds() const noexcept override { return duration_; }
    // "DSF / DSD64 (88.2 kHz filtered surrogate)" and so on.
    std::string formatLabel() const override { return label_; }

    // Throws std::out_of_range("DSF projection outside track") when the range
    // leaves the track, std::length_error("DSF projection request must be
    // chunked") for more than 2^20 frames, and the DSF reader's read errors.
    // A failed projection leaves the reader usable.
    std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const override;
    // The same into `out` (resized), so a caller reading chunk after chunk
    // reuses one buffer. Same errors; `out` is unspecified after a failure.
    void ReadFramesInto(std::uint64_t startFrame, std::uint64_t count,
                        std::vector<double>& out) const override;

    const morrow::dsd::DsdInfo& dsdInfo() const noexcept { return dsfInfo_; }
    // DSD rate / 88,200: 32 for DSD64 up to 1,024 for DSD2048.
    std::uint32_t ratio() const noexcept { return ratio_; }
    const std::vector<FilterStage>& stages() const noexcept { return stages_; }
    const FirstStageTable& firstStageTable() const noexcept { return *table_; }

    // Windowed-sinc low-pass (Blackman window), `taps` odd, cutoff as a
    // fraction of the input rate, normalised to unity gain at 0 Hz.
    static std::vector<double> designLowPass(std::size_t taps, double cutoff);
    // entry[p][v] = sum over k = 0..7 with 8p + k < taps.size() of
    // (bit 7 - k of v ? +1 : -1) * taps[8p + k].
    static FirstStageTable foldIntoByteTable(const std::vector<double>& taps);

    // Frames projected at once for a short request: the playback source asks
    // for 1024-frame chunks in order, and every request needs a few hundred
    // frames of filter context on each side, so a short request is served
    // from a run of this many frames projected ahead.
    std::uint64_t readAheadFrames() const noexcept { return aheadFrames_; }

    // A stage between the first and the last, in the folded form the
    // projection runs: the taps are symmetric, so output k is centre *
    // in[g k + M] plus, for each tap t < M whose weight is not a rounding
    // residue of zero (a half-band stage has every other tap at zero),
    // tap[t] * (in[g k + t] + in[g k + N - 1 - t]). `residue` is the summed
    // magnitude of the taps left out, bounding the difference to the plain
    // convolution by residue times the largest input magnitude (plus
    // rounding).
    struct FoldedStage {
        std::uint32_t factor = 1;
        std::size_t length = 0;  // N
        double centre = 0.0;
        std::vector<std::uint32_t> offsets;  // t, ascending
        std::vector<double> weights;         // tap[t]
        double residue = 0.0;
    };
    static FoldedStage foldStage(const FilterStage& stage);

    // Whether the stages run four doubles per vector (on a processor with
    // AVX2; the first stage then through the transposed table, four outputs
    // at a time) rather than two. Both widths give the same samples, bit for
    // bit; allowWideVectors(false) keeps every reader on two, so that tests
    // and benchmarks can compare them. Any thread.
    static bool wideVectorsInUse() noexcept;
    static void allowWideVectors(bool allowed) noexcept;

    // Whether a reader of two or more channels on a machine of two or more
    // processors filters half its channels on a second thread of its own
    // while the calling thread filters the rest. Every channel's samples
    // are the same either way, bit for bit; allowChannelThreads(false) keeps
    // readers made afterwards on one thread, so that tests and benchmarks
    // can compare them. Any thread.
    static void allowChannelThreads(bool allowed) noexcept;
    // Whether this reader filters on two threads (from its first projection
    // on). Any thread.
    bool usesChannelThread() const noexcept;

  private:
    struct Span {
        std::int64_t lo = 0;  // first output index of a stage
        std::int64_t hi = 0;  // one past the last
    };

    class ChannelThread;

    void project(std::uint64_t start, std::uint64_t count, double* out) const;
    void projectBlock(std::int64_t start, std::int64_t count, double* out) const;
    void gatherBits(std::int64_t firstBit, std::size_t byteCount) const;
    // Channel c's stages over the gathered bits of the pass, its samples into
    // last_[c]. Touches only channel c's scratch.
    void filterChannel(std::size_t c) const noexcept;

    std::unique_ptr<morrow::dsd::DsfReader> dsf_;  // guarded by lock_
    morrow::dsd::DsdInfo dsfInfo_;
    std::uint32_t ratio_ = 0;
    std::uint64_t frameCount_ = 0;
    double duration_ = 0.0;
    std::string label_;
    std::vector<FilterStage> stages_;
    std::unique_ptr<FirstStageTable> table_;
    // The same table byte value first, for the four-lane first stage: entry
    // v holds kTransposedPad zeros, row 0 .. kTableBytes - 1 at v, then zeros
    // to kTransposedStride.
    std::vector<double> transposed_;
    std::vector<FoldedStage> folded_;  // [stage - 1], the middle stages
    // The final low-pass; passes end it on whole pairs of its blocks,
    // counted from frame 0.
    std::unique_ptr<OverlapSaveFilter> final_;
    std::uint64_t aheadFrames_ = 0;
    // Frames projected per internal pass: keeps scratch memory bounded at
    // every DSD rate; passes do not change the result.
    std::int64_t blockFrames_ = 0;

    mutable std::mutex lock_;
    // Scratch, guarded by lock_, sized for one pass in the constructor.
    mutable std::vector<std::vector<std::uint8_t>> raw_;     // [channel] frame words, 2 bytes each
    mutable std::vector<std::array<std::uint16_t, 2>> frames_;  // the track's words, read in one call
    mutable std::vector<std::vector<std::uint8_t>> packed_;  // [channel] first-stage input bytes
    mutable std::vector<std::vector<std::vector<double>>> work_;  // [stage][channel] outputs
    mutable std::vector<std::vector<double>> even_, odd_;  // [channel] input split for the 2x stages
    mutable std::vector<std::vector<double>> last_;        // [channel] the pass's samples
    mutable std::vector<std::vector<double>> transform_;   // [channel] the final stage's scratch
    mutable std::int64_t lastOffset_ = 0;  // frames of last_ before the pass's first
    mutable std::vector<Span> spans_;  // [stage] output range of the pass
    // The run projected ahead: frames [aheadStart_, aheadStart_ + aheadCount_).
    mutable std::vector<double> ahead_;
    mutable std::uint64_t aheadStart_ = 0;
    mutable std::uint64_t aheadCount_ = 0;
    // The second thread, made at the first pass when wanted; its jobs are
    // handed over and waited for under lock_, so it works on the pass the
    // caller holds.
    mutable bool wantsChannelThread_ = false;
    mutable std::unique_ptr<ChannelThread> channelThread_;
};

}  // namespace al::file
