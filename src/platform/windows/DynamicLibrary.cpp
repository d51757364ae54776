#include "platform/DynamicLibrary.h"

#include <windows.h>

#include <utility>

namespace al::platform {

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

bool DynamicLibrary::open(const std::filesystem::path& path) noexcept {
    close();
    // A full path: the library's own dependencies come from its folder and the
    // system folder, never from the current directory or PATH. A bare name is
    // only looked for in the system folder, so nothing can be planted.
    const DWORD search = path.has_parent_path()
                             ? (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)
                             : LOAD_LIBRARY_SEARCH_SYSTEM32;
    // No "cannot find" dialog box: a missing library is an ordinary answer.
    DWORD previousMode = 0;
    const BOOL modeSet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, search);
    if (modeSet) {
        ::SetThreadErrorMode(previousMode, nullptr);
    }
    handle_ = module;
    return handle_ != nullptr;
}

LibrarySymbol DynamicLibrary::symbol(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    // FARPROC and LibrarySymbol are both generic function pointers.
    return reinterpret_cast<LibrarySymbol>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::close() noexcept {
    if (handle_ != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

SndFileRuntime sndfileRuntime(const std::filesystem::path& executableFolder) {
    return SndFileRuntime{
        {executableFolder / L"sndfile.dll"},
        "sf_wchar_open",
        "Extended WAV DIRECT support is unavailable because sndfile.dll is missing beside "
        "AuralithPlayer.exe"};
}

}  // namespace al::platform
