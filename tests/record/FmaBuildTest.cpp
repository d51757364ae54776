// The curve code built for a processor with fused multiply-add, with the
// record library's own compile options: it must give the bits of every other
// build, so those options must keep the compiler from fusing on its own.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "CurveBitPatterns.h"

namespace al::test {
namespace {

// The stored Horner evaluation as the compiler writes it when it may fuse.
__attribute__((target("fma"), optimize("fp-contract=fast"))) double contractedHorner(
    double a3, double a2, double a1, double a0, double s) {
    return ((a3 * s + a2) * s + a1) * s + a0;
}

// Compilers form fused operations only when they optimise.
constexpr bool kOptimised =
#ifdef __OPTIMIZE__
    true;
#else
    false;
#endif

bool processorHasFma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma");
}

TEST(FusedMultiplyAddBuild, CurveCodeKeepsItsBits) {
    if (!processorHasFma()) {
        GTEST_SKIP() << "this processor has no fused multiply-add";
    }
    if (!kOptimised) {
        GTEST_SKIP() << "an unoptimised build never fuses, so it proves nothing";
    }
    // This build does fuse where it is allowed to.
    const auto segment = storedPchipSegment();
    int differing = 0;
    for (const auto& v : storedPchipValues()) {
        for (const auto& iv : segment.pchip().intervals()) {
            if (v.x >= iv.xLeft && v.x < iv.xRight) {
                const double fused = contractedHorner(iv.a3, iv.a2, iv.a1, iv.a0, v.x - iv.xLeft);
                differing += std::bit_cast<std::uint64_t>(fused) != v.bits;
            }
        }
    }
    EXPECT_GT(differing, 0);

    expectStoredBits(segment, storedPchipValues());
    expectStoredBits(storedPolylineSegment(), storedPolylineValues());
}

}  // namespace
}  // namespace al::test
