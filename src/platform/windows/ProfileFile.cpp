#include "platform/ProfileFile.h"

#include <windows.h>

#include <string>

namespace al::platform {

namespace {

std::wstring toWide(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), length);
    }
    return out;
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
    }
    return out;
}

// GetPrivateProfileStringW truncates to the buffer and then returns its size
// less one; grow until the value fits.
std::wstring readWide(const std::filesystem::path& file, const std::wstring& section, const std::wstring& key,
                      const std::wstring& fallback) {
    std::wstring buffer(256, L'\0');
    for (;;) {
        const DWORD length =
            ::GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer.size()), file.c_str());
        if (length + 1 < buffer.size() || buffer.size() >= (1u << 24)) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

}  // namespace

std::string readProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                              std::string_view fallback) {
    return toUtf8(readWide(file, toWide(section), toWide(key), toWide(fallback)));
}

std::uint32_t readProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key,
                             std::uint32_t fallback) {
    return static_cast<std::uint32_t>(::GetPrivateProfileIntW(toWide(section).c_str(), toWide(key).c_str(),
                                                              static_cast<INT>(fallback), file.c_str()));
}

bool writeProfileString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                        std::string_view value) noexcept {
    // The profile functions would write such text as further keys, or as a key
    // that cannot be read back; refuse it as the other platforms do.
    auto hasLineBreak = [](std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; };
    auto isBlankOnly = [](std::string_view text) {
        return text.find_first_not_of(" \t\v\f\x1a") == std::string_view::npos;
    };
    if (isBlankOnly(section) || isBlankOnly(key) || key.find('=') != std::string_view::npos ||
        hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) {
        return false;
    }
    try {
        return ::WritePrivateProfileStringW(toWide(section).c_str(), toWide(key).c_str(), toWide(value).c_str(),
                                            file.c_str()) != FALSE;
    } catch (...) {
        return false;
    }
}

}  // namespace al::platform
