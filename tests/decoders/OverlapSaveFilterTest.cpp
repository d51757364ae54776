// Fast convolution against the direct sum, on random inputs, at the sizes
// the DSF surrogate uses and at the smallest ones.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "decoders/DsfSurrogateReader.h"
#include "decoders/OverlapSaveFilter.h"

namespace {

using al::file::OverlapSaveFilter;

bool hasWideVectors() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

std::vector<double> randomValues(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> v(count);
    for (double& x : v)
        x = value(rng);
    return v;
}

// Every output of `pairs` pairs against sum taps[t] * in[k + t], relative to
// the largest the sum could be (the taps' summed magnitude at full-scale
// input); and two lanes against four, bit for bit, where there are four.
void expectMatchesDirectSum(const std::vector<double>& taps, std::size_t size, std::size_t pairs,
                            std::uint32_t seed) {
    const OverlapSaveFilter filter(taps, size);
    const std::size_t outputs = pairs * filter.pairOutputs();
    const auto in = randomValues(outputs + taps.size() - 1, seed);
    std::vector<double> out(outputs, -7.0);
    std::vector<double> scratch(filter.scratchSize());
    filter.run(in.data(), out.data(), pairs, scratch.data(), false);
    if (hasWideVectors()) {
        std::vector<double> wide(outputs, -7.0);
        filter.run(in.data(), wide.data(), pairs, scratch.data(), true);
        EXPECT_EQ(wide, out) << "four lanes against two";
    }
    double scale = 0.0;
    for (const double t : taps)
        scale += std::fabs(t);
    double worst = 0.0;
    for (std::size_t k = 0; k < outputs; ++k) {
        double sum = 0.0;
        for (std::size_t t = 0; t < taps.size(); ++t)
            sum += taps[t] * in[k + t];
        worst = std::max(worst, std::fabs(out[k] - sum) / scale);
    }
    EXPECT_LT(worst, 1e-14) << taps.size() << " taps, transform " << size;
}

TEST(OverlapSaveFilter, MatchesTheDirectSum) {
    // The surrogate's final low-pass at its transform size, and one just fitting.
    const auto lowPass = al::file::DsfSurrogateReader::designLowPass(511, 0.25);
    expectMatchesDirectSum(lowPass, 2048, 3, 1);
    expectMatchesDirectSum(lowPass, 1024, 2, 2);
    // Asymmetric taps (the filter does not rely on symmetry), a single tap
    // (a plain copy) and the smallest transform.
    expectMatchesDirectSum(randomValues(37, 3), 128, 4, 4);
    expectMatchesDirectSum({0.5}, 4, 5, 5);
    expectMatchesDirectSum(randomValues(2, 6), 4, 7, 6);
}

TEST(OverlapSaveFilter, SizesAndRefusals) {
    const OverlapSaveFilter filter(std::vector<double>(511, 0.001), 2048);
    EXPECT_EQ(filter.pairOutputs(), 2u * 1538u);
    EXPECT_EQ(filter.scratchSize(), 4096u);
    EXPECT_EQ(filter.tapCount(), 511u);
    // Zero pairs touch nothing.
    filter.run(nullptr, nullptr, 0, nullptr, false);

    for (const auto& [taps, size] :
         {std::pair<std::size_t, std::size_t>{0, 16}, {3, 2}, {3, 12}, {9, 16}, {512, 1000}}) {
        EXPECT_THROW(OverlapSaveFilter(std::vector<double>(taps, 1.0), size), std::invalid_argument)
            << taps << " taps, transform " << size;
    }
}

}  // namespace
