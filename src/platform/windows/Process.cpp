#include "platform/Process.h"

#include <windows.h>
#include <shellapi.h>

#include <stdexcept>

namespace al::platform {

namespace {
std::string toUtf8(const wchar_t* text, int length) {
    if (length == 0) {
        return {};
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    }
    return out;
}
}  // namespace

std::vector<std::string> utf8Arguments(int, char**) {
    // argv holds the ANSI code page's rendering; the wide command line is exact.
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        throw std::runtime_error("Reading the command line failed");
    }
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        args.push_back(toUtf8(wide[i], static_cast<int>(::lstrlenW(wide[i]))));
    }
    ::LocalFree(wide);
    return args;
}

void prepareConsole() noexcept { ::SetConsoleOutputCP(CP_UTF8); }

std::filesystem::path executableDirectory() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return {};
    }
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string pathToUtf8(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return toUtf8(wide.c_str(), static_cast<int>(wide.size()));
}

}  // namespace al::platform
