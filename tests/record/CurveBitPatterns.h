#pragma once
// Evaluations whose exact bits are stored, so that every build (native,
// Windows under Wine, a build for processors with fused multiply-add) is
// proven to compute the same output samples. Used by more than one suite.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "record/CurveSegment.h"

namespace al::test {

struct StoredValue {
    double x;
    std::uint64_t bits;
};

inline file::CurveSegment storedPchipSegment() {
    return {file::SegmentKind::Pchip,
            0,
            {{0.0, 0.1}, {0.37, -0.33}, {0.9, 0.71}, {1.41, 0.7}, {2.0, -0.2}, {2.72, 0.05}}};
}

inline file::CurveSegment storedPolylineSegment() {
    return {file::SegmentKind::Polyline, 0, {{0.0, 0.1}, {3.0, 0.7}, {4.0, -0.3}, {4.9, -0.1}}};
}

inline const std::vector<StoredValue>& storedPchipValues() {
    static const std::vector<StoredValue> values = {
        {0.2, 0xbfcf482e8a4eac77},  {0.61, 0x3fbddbafaaa9d9cc}, {1.1, 0x3fe6ab2daa3d9572},
        {1.7, 0x3fd08cf600356cb9},  {2.5, 0xbfbdc43b46dd83fc},
    };
    return values;
}

inline const std::vector<StoredValue>& storedPolylineValues() {
    static const std::vector<StoredValue> values = {
        {1.0, 0x3fd3333333333333},  // same signs: the fused rule
        {2.0, 0x3fdfffffffffffff},
        {3.3, 0x3fd999999999999c},  // opposite signs: two products and a sum
        {4.3, 0xbfcddddddddddde0},
    };
    return values;
}

inline void expectStoredBits(const file::CurveSegment& segment,
                             const std::vector<StoredValue>& values) {
    for (const auto& v : values) {
        const double got = segment.valueAt(v.x);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), v.bits)
            << "x=" << v.x << " got 0x" << std::hex << std::bit_cast<std::uint64_t>(got);
    }
}

}  // namespace al::test
