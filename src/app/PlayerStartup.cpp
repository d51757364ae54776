#include "app/PlayerStartup.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace al::app {

std::optional<std::u16string> CommandLinePath(const std::vector<std::u16string>& arguments) {
    std::optional<std::u16string> path;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (!argument.empty() && argument.front() != u'-') {
            path = argument;
        }
    }
    return path;
}

std::optional<std::u16string> HandoffPayload(std::u16string_view path) {
    // cbData is a 32-bit count: the path's units plus the NUL, two bytes each.
    const std::uint64_t bytes = (static_cast<std::uint64_t>(path.size()) + 1u) * 2u;
    if (bytes >= std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    std::u16string payload(path);
    payload.push_back(u'\0');
    return payload;
}

std::optional<std::u16string> HandoffPathFromMessage(bool present, std::uint64_t tag,
                                                     const void* data, std::uint64_t bytes) {
    if (!present || tag != kHandoffTag || data == nullptr || bytes <= 1 || bytes % 2 != 0) {
        return std::nullopt;
    }
    const std::size_t units = static_cast<std::size_t>(bytes / 2);
    // The sender's buffer need not be aligned for char16_t: copy it out.
    std::u16string text(units, u'\0');
    std::memcpy(text.data(), data, units * 2);
    if (text.back() != u'\0') {
        return std::nullopt;
    }
    text.resize(text.find(u'\0'));
    return text;
}

LoopKey ClassifyLoopKey(const KeyMessage& key) noexcept {
    if (!key.keyDown || !key.f12 || !key.alt || key.ctrl || key.shift) {
        return LoopKey::Pass;
    }
    return key.repeat ? LoopKey::Swallow : LoopKey::ToggleStatistics;
}

void CheckDisplayColours(int planes, int bitsPerPixel) {
    const long long colours = static_cast<long long>(planes) * bitsPerPixel;
    if (colours >= 1 && colours <= 14) {
        throw std::runtime_error(
            "Auralith Player requires a display mode with at least 32,768 colors (15-bit RGB).");
    }
}

ClientSize InitialPlayerClientSize(const ScreenRect& workArea) noexcept {
    const int workWidth = workArea.width() > 0 ? workArea.width() : kFallbackWorkArea.width();
    const int workHeight = workArea.height() > 0 ? workArea.height() : kFallbackWorkArea.height();
    const int width = std::clamp(static_cast<int>(0.9 * workWidth), 820, 1220);
    int height = static_cast<int>(std::lround(width / kFaceplateAspect));
    const int heightLimit = std::max(620, static_cast<int>(0.9 * workHeight));
    if (heightLimit < height) {
        return {static_cast<int>(std::lround(heightLimit * kFaceplateAspect)), heightLimit};
    }
    return {width, height};
}

ScreenRect CentreInWorkArea(const ScreenRect& workArea, int windowWidth,
                            int windowHeight) noexcept {
    const int left = std::max(workArea.left, workArea.left + (workArea.width() - windowWidth) / 2);
    const int top = std::max(workArea.top, workArea.top + (workArea.height() - windowHeight) / 2);
    return {left, top, left + windowWidth, top + windowHeight};
}

}  // namespace al::app
