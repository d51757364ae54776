// The five converters: the rounding, clamping and byte layout of each, and
// the fast kernels against the reference on the same values.
#include "output/SampleConverters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace al::audio {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    double in;
    std::int32_t pcm16, pcm24, pcm32;
};

// Worked by hand from the rules: scale 2^(n-1) - 1, halves away from zero,
// only -1 reaches the lowest code, non-finite is silence.
const Row kTable[] = {
    {-1.0, -32768, -8388608, -2147483647 - 1},
    {-0.99999, -32767, -8388523, -2147462172},
    {1.0, 32767, 8388607, 2147483647},
    {kNaN, 0, 0, 0},
    {kInf, 0, 0, 0},
    {-kInf, 0, 0, 0},
    {0.5, 16384, 4194304, 1073741824},     // 16383.5 rounds up
    {-0.5, -16384, -4194304, -1073741824},  // and down
    {2.5, 32767, 8388607, 2147483647},
    {-7.0, -32768, -8388608, -2147483647 - 1},
    {0.0, 0, 0, 0},
    {-0.0, 0, 0, 0},
    {1.0 / 32767, 1, 256, 65538},
    {1e-300, 0, 0, 0},
};

TEST(SampleConverters, KnownValues) {
    for (const Row& row : kTable) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(SampleToPcm16(row.in), row.pcm16);
        EXPECT_EQ(SampleToPcm24(row.in), row.pcm24);
        EXPECT_EQ(SampleToPcm32(row.in), row.pcm32);
    }
    EXPECT_EQ(SampleToFloat32(kNaN), 0.0F);
    EXPECT_EQ(SampleToFloat32(-kInf), 0.0F);
    EXPECT_EQ(SampleToFloat32(1.5), 1.0F);
    EXPECT_EQ(SampleToFloat32(-1.5), -1.0F);
    EXPECT_EQ(SampleToFloat32(0.1), 0.1F);
    // Nearest single, ties to even: 0.5 + 2^-25 lies half-way between 0.5 and 0.5 + 2^-24.
    EXPECT_EQ(SampleToFloat32(0.5 + std::ldexp(1.0, -25)), 0.5F);
}

TEST(SampleConverters, ByteLayouts) {
    const double in[] = {1.0, -1.0, 0.5};
    std::array<std::uint8_t, 12> out{};

    ASSERT_TRUE(ConvertToPcm24In32(in, 1, out.data(), 4));
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xFF);
    EXPECT_EQ(out[3], 0x7F);

    ASSERT_TRUE(ConvertToPcm24Packed(in, 3, out.data(), 9));
    const std::array<std::uint8_t, 9> packed = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40};
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), out.begin()));

    ASSERT_TRUE(ConvertToPcm16(in, 3, out.data(), 6));
    const std::array<std::uint8_t, 6> pcm16 = {0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40};
    EXPECT_TRUE(std::equal(pcm16.begin(), pcm16.end(), out.begin()));

    ASSERT_TRUE(ConvertToPcm32(in, 2, out.data(), 8));
    const std::array<std::uint8_t, 8> pcm32 = {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80};
    EXPECT_TRUE(std::equal(pcm32.begin(), pcm32.end(), out.begin()));

    ASSERT_TRUE(ConvertToFloat32(in, 1, out.data(), 4));
    const std::array<std::uint8_t, 4> one = {0x00, 0x00, 0x80, 0x3F};
    EXPECT_TRUE(std::equal(one.begin(), one.end(), out.begin()));
}

TEST(SampleConverters, ShortDestinationGetsNothing) {
    const double in[] = {0.5, 0.5};
    for (SampleKind kind : {SampleKind::Float32, SampleKind::Pcm32, SampleKind::Pcm24In32,
                            SampleKind::Pcm24Packed, SampleKind::Pcm16}) {
        for (SampleConverter convert : {ConverterFor(kind), reference::ConverterFor(kind)}) {
            std::array<std::uint8_t, 8> out;
            out.fill(0xAA);
            const std::size_t needed = 2 * BytesPerSample(kind);
            EXPECT_FALSE(convert(in, 2, out.data(), needed - 1));
            EXPECT_EQ(std::count(out.begin(), out.end(), 0xAA), 8);
            EXPECT_TRUE(convert(in, 2, out.data(), needed));
            EXPECT_EQ(std::count(out.begin() + static_cast<std::ptrdiff_t>(needed), out.end(), 0xAA),
                      static_cast<std::ptrdiff_t>(8 - needed));
        }
    }
}

// Values that stress the rounding: exact halves at each scale, their
// neighbours one ulp away, the clamping edges, specials, and random values.
std::vector<double> hardValues() {
    std::vector<double> values = {kNaN, kInf, -kInf, 0.0, -0.0, 1.0, -1.0, 1.0 + 1e-16, -1.0 - 1e-16,
                                  std::nextafter(1.0, 0.0), std::nextafter(-1.0, 0.0),
                                  std::numeric_limits<double>::denorm_min(), 1e300, -1e300};
    std::mt19937_64 random(0x5EED);
    std::uniform_int_distribution<std::int64_t> code(-(std::int64_t{1} << 31), std::int64_t{1} << 31);
    for (const double scale : {32767.0, 8388607.0, 2147483647.0}) {
        for (int i = 0; i < 3000; ++i) {
            const double half = (static_cast<double>(code(random) % static_cast<std::int64_t>(scale)) + 0.5) / scale;
            values.push_back(half);
            values.push_back(std::nextafter(half, 2.0));
            values.push_back(std::nextafter(half, -2.0));
        }
    }
    std::uniform_real_distribution<double> any(-1.25, 1.25);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(any(random));
    }
    return values;
}

// Both block paths: the 256-bit one (where the processor has it) and the
// 128-bit one it falls back to.
class FastKernels : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { AllowWideConverters(GetParam()); }
    void TearDown() override { AllowWideConverters(true); }
};

INSTANTIATE_TEST_SUITE_P(SampleConverters, FastKernels, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? std::string("Wide") : std::string("Narrow");
                         });

TEST_P(FastKernels, GiveTheReferenceBytes) {
    const std::vector<double> values = hardValues();
    for (SampleKind kind : {SampleKind::Float32, SampleKind::Pcm32, SampleKind::Pcm24In32,
                            SampleKind::Pcm24Packed, SampleKind::Pcm16}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const std::size_t bytes = values.size() * BytesPerSample(kind);
        std::vector<std::uint8_t> fast(bytes), slow(bytes);
        ASSERT_TRUE(ConverterFor(kind)(values.data(), values.size(), fast.data(), bytes));
        ASSERT_TRUE(reference::ConverterFor(kind)(values.data(), values.size(), slow.data(), bytes));
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::size_t at = i * BytesPerSample(kind);
            ASSERT_EQ(0, std::memcmp(fast.data() + at, slow.data() + at, BytesPerSample(kind)))
                << "value " << values[i];
        }
        // Short runs and odd starts: the blocks of several samples and the
        // ones left after them, and nothing written past the run.
        for (std::size_t start = 0; start < 3; ++start) {
            for (std::size_t count = 0; count <= 19; ++count) {
                const std::size_t runBytes = count * BytesPerSample(kind);
                std::vector<std::uint8_t> run(runBytes + 8, 0xA5);
                ASSERT_TRUE(ConverterFor(kind)(values.data() + start, count, run.data(), runBytes));
                EXPECT_EQ(0, std::memcmp(run.data(), slow.data() + start * BytesPerSample(kind),
                                         runBytes))
                    << count << " samples from " << start;
                EXPECT_EQ(std::vector<std::uint8_t>(8, 0xA5),
                          std::vector<std::uint8_t>(run.begin() + static_cast<std::ptrdiff_t>(runBytes),
                                                    run.end()));
            }
        }
    }
}

}  // namespace
}  // namespace al::audio
