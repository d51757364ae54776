#include "cli/DemoRecord.h"

#include <cmath>
#include <numbers>
#include <vector>

namespace al::cli {

file::RecordWriter makeDemoRecord(double seconds) {
    constexpr std::uint32_t kRate = 48000;
    const auto frames = static_cast<std::size_t>(std::llround(seconds * kRate));
    std::vector<std::vector<double>> channels(2, std::vector<double>(frames));
    const double twoPi = 2.0 * std::numbers::pi;
    const double f0 = 110.0;
    const double f1 = 3520.0;
    const double length = frames > 0 ? static_cast<double>(frames) / kRate : 1.0;
    const double k = std::log(f1 / f0) / length;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        // Phase of an exponential sweep: integral of f0 * e^(k t).
        const double sweepPhase = twoPi * f0 * (std::exp(k * t) - 1.0) / k;
        channels[0][i] = 0.5 * std::sin(sweepPhase);
        channels[1][i] = 0.25 * std::sin(twoPi * 440.0 * t) + 0.25 * std::sin(twoPi * 660.0 * t);
    }
    return file::RecordWriter::fromSamples(kRate, 24, channels, file::SegmentKind::Pchip);
}

}  // namespace al::cli
