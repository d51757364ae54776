#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

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
    // dlopen takes a name containing a slash as that exact file and searches
    // the usual folders for a bare name, which is the contract above.
    // RTLD_LOCAL keeps the library's symbols away from later loads.
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

LibrarySymbol DynamicLibrary::symbol(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<LibrarySymbol>(::dlsym(handle_, name));
}

void DynamicLibrary::close() noexcept {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

SndFileRuntime sndfileRuntime(const std::filesystem::path& executableFolder) {
    // A copy shipped beside the program wins over the distribution's.
    return SndFileRuntime{
        {executableFolder / "libsndfile.so.1", std::filesystem::path("libsndfile.so.1")},
        "sf_open",
        "Extended WAV DIRECT support is unavailable because libsndfile.so.1 is missing beside "
        "auralith and on the system"};
}

}  // namespace al::platform
