#pragma once
// Shared libraries loaded while the program runs, and where this platform
// keeps the optional ones the player can use.

#include <filesystem>
#include <string>
#include <vector>

namespace al::platform {

// The address of an exported function. Callers cast it to the function's real
// type; a generic function pointer converts to any other without loss.
using LibrarySymbol = void (*)();

// One loaded shared library, unloaded when the object is closed or destroyed.
//
// A path with a folder is loaded from exactly that file (on Windows its own
// dependencies are then looked for only in its folder and the system folder);
// a bare file name is searched the platform's usual way. Loading runs the
// library's initialisers, so open and close belong to the owner's thread;
// symbol() may be called from any thread while the library is open.
class DynamicLibrary {
public:
    DynamicLibrary() noexcept = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Closes any library held, then loads this one. Returns false on failure.
    bool open(const std::filesystem::path& path) noexcept;
    // The exported function of that name, or null when there is none.
    LibrarySymbol symbol(const char* name) const noexcept;
    // Unloads the library. Safe when nothing is loaded.
    void close() noexcept;

    bool isOpen() const noexcept { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// How this platform provides libsndfile, which is optional: the program is
// built without it and looks for it when a file needs it.
struct SndFileRuntime {
    // Files tried in order; the first that loads is used.
    std::vector<std::filesystem::path> candidates;
    // The entry point that opens a file given as the platform's native path
    // characters (std::filesystem::path::value_type): sf_wchar_open on
    // Windows, sf_open with the UTF-8 bytes elsewhere.
    std::string openSymbol;
    // The message when no candidate loads.
    std::string missingMessage;
};

// libsndfile beside the executable in `executableFolder` (and, where the
// platform has one, the system's copy after it).
SndFileRuntime sndfileRuntime(const std::filesystem::path& executableFolder);

}  // namespace al::platform
