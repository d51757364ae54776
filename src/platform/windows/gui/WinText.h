#pragma once
// UTF-8 texts of the player core as the wide strings Win32 takes, and back.

#include <string>
#include <string_view>

#include "app/PlayerText.h"
#include "platform/Utf16.h"

namespace al::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide strings are UTF-16");

inline std::wstring Wide(std::string_view utf8) {
    const std::u16string text = platform::utf16FromUtf8(utf8);
    return std::wstring(text.begin(), text.end());
}

// A message for the user: "<unprintable>" when it is not valid UTF-8.
inline std::wstring WideMessage(std::string_view utf8) {
    return Wide(app::PrintableText(utf8));
}

inline std::wstring Wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

inline std::u16string Utf16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace al::win
