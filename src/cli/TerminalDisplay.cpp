#include "cli/TerminalDisplay.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace al::cli {

namespace {

constexpr std::size_t kMeterWidth = 12;
constexpr double kMeterFloorDb = -48.0;

}  // namespace

std::string clockText(double seconds) {
    seconds = std::max(0.0, seconds);
    const auto tenths = static_cast<std::uint64_t>(seconds * 10.0);
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu.%llu", static_cast<unsigned long long>(tenths / 600),
                  static_cast<unsigned long long>(tenths / 10 % 60), static_cast<unsigned long long>(tenths % 10));
    return text;
}

std::string meterText(float peak, bool clip) {
    const double db = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : kMeterFloorDb;
    const double fill = std::clamp((db - kMeterFloorDb) / -kMeterFloorDb, 0.0, 1.0);
    const auto lit = static_cast<std::size_t>(std::lround(fill * kMeterWidth));
    return "[" + std::string(lit, '#') + std::string(kMeterWidth - lit, '-') + (clip ? "!" : "]");
}

}  // namespace al::cli
