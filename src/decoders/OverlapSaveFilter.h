#pragma once
// A long real FIR filter applied by fast convolution (overlap-save).

#include <cstddef>
#include <vector>

namespace al::file {

// out[k] = sum over t < M of taps[t] * in[k + t], for a run of outputs.
//
// Outputs come in blocks of L = N - M + 1, where N is the transform size,
// and blocks in pairs: one complex transform of size N carries the first
// block's inputs in its real part and the second's in its imaginary part.
// The taps are real, so the two blocks come out apart again in the real and
// imaginary parts of the result. For 511 taps that is about an eighth of the
// arithmetic of the direct sum.
//
// The rounding of an output depends on its place in its pair (and on the
// other block of the pair), not only on its inputs. A caller that must give
// the same sample for the same inputs whichever request it is part of runs
// pairs laid on a fixed grid of pairOutputs() outputs.
//
// Both transforms are plain sequences of IEEE additions and multiplications
// in one fixed order (no fused multiply-add), so the result is the same on
// every processor, at either vector width.
//
// Construction designs the tables; then immutable, and run() may be called
// from any number of threads at once, each with scratch of its own.
class OverlapSaveFilter {
  public:
    // Throws std::invalid_argument("Fast convolution needs a power-of-two
    // transform at least twice the taps") unless N is a power of two from 4
    // on and N >= 2 M, or if there are no taps.
    OverlapSaveFilter(const std::vector<double>& taps, std::size_t transformSize);

    std::size_t tapCount() const noexcept { return taps_; }
    std::size_t transformSize() const noexcept { return size_; }
    // 2 L: the outputs of one transform.
    std::size_t pairOutputs() const noexcept { return 2 * block_; }
    // Doubles of scratch run() needs.
    std::size_t scratchSize() const noexcept { return 2 * size_; }

    // `pairs` pairs of blocks: reads in[0 .. pairs * pairOutputs() + M - 1)
    // and writes out[0 .. pairs * pairOutputs()). `scratch` holds
    // scratchSize() doubles; in, out and scratch must not overlap.
    // `wideVectors`: four doubles per vector rather than two, for a caller
    // that has checked the processor has AVX2; the result is the same.
    void run(const double* in, double* out, std::size_t pairs, double* scratch,
             bool wideVectors) const noexcept;

  private:
    std::size_t taps_ = 0;
    std::size_t size_ = 0;
    std::size_t block_ = 0;
    // exp(-2 pi i j / (2 h)) for j < h, for each h = 1, 2, 4 .. N/2 in turn,
    // starting at index h - 1.
    std::vector<double> twiddleRe_, twiddleIm_;
    // conj(DFT of the zero-padded taps) / N, in the bit-reversed order in
    // which the forward transform leaves its output.
    std::vector<double> gainRe_, gainIm_;
};

}  // namespace al::file
