#pragma once
// Small text helpers of the player window.

#include <string>
#include <string_view>

#include "platform/Utf16.h"

namespace al::app {

// The mode label of the virtual output, which stands in for a sound card and
// is named as what it is wherever the user reads the mode.
inline constexpr const char* kVirtualModeLabel = "Virtual Output Exclusive";

inline std::string Utf8(const std::u16string& text) {
    return platform::utf8FromUtf16(text);
}

// The text as it can be shown: itself when it is valid UTF-8, else
// "<unprintable>".
std::string PrintableText(std::string_view text);

}  // namespace al::app
