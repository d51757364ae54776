#include "app/PlayerText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "app/PlayerWindow.h"

namespace al::app {

std::string PrintableText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1Fu;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0Fu;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07u;
            minimum = 0x10000;
        } else {
            return "<unprintable>";
        }
        if (i + length > text.size()) {
            return "<unprintable>";
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return "<unprintable>";
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return "<unprintable>";
        }
        i += length;
    }
    return std::string(text);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string RateLabel(std::uint32_t rate) {
    if (rate < 1000) {
        return std::to_string(rate) + " Hz";
    }
    if (rate < 1'000'000) {
        return (rate % 1000 == 0 ? std::to_string(rate / 1000) : Fixed(rate / 1000.0, 1)) + " kHz";
    }
    return (rate % 1'000'000 == 0 ? std::to_string(rate / 1'000'000) : Fixed(rate / 1e6, 3)) +
           " MHz";
}

std::string ClockText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        seconds = 0.0;
    }
    const auto whole = static_cast<std::uint64_t>(seconds);
    char text[48];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    }
    return text;
}

}  // namespace al::app
