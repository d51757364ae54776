#include "platform/FileMapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace al::platform {

std::string failureText(std::string_view phrase, NativeError code) {
    std::string text(phrase);
    text += " failed (errno ";
    text += std::to_string(code);
    text += ')';
    return text;
}

ReadOnlyMapping::~ReadOnlyMapping() { close(); }

ReadOnlyMapping::ReadOnlyMapping(ReadOnlyMapping&& other) noexcept
    : file_(std::exchange(other.file_, -1)),
      mapping_(std::exchange(other.mapping_, -1)),
      view_(std::exchange(other.view_, nullptr)),
      length_(std::exchange(other.length_, 0)) {}

ReadOnlyMapping& ReadOnlyMapping::operator=(ReadOnlyMapping&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, -1);
        mapping_ = std::exchange(other.mapping_, -1);
        view_ = std::exchange(other.view_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

NativeError ReadOnlyMapping::openFile(const std::filesystem::path& path) noexcept {
    close();
    // POSIX lets others read, rename and unlink a file we hold open, which is
    // the sharing the reader asks for.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return static_cast<NativeError>(errno);
    }
    file_ = fd;
    return 0;
}

NativeError ReadOnlyMapping::querySize(std::uint64_t& size) noexcept {
    struct stat info {};
    if (::fstat(static_cast<int>(file_), &info) != 0) {
        return static_cast<NativeError>(errno);
    }
    if (info.st_size < 0) {
        return EOVERFLOW;
    }
    if (S_ISDIR(info.st_mode)) {
        return EISDIR;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

std::optional<ReadOnlyMapping::MapFailure> ReadOnlyMapping::mapWhole(std::uint64_t size) noexcept {
    if (size > SIZE_MAX) {
        return MapFailure{MapStep::CreateMapping, EFBIG};
    }
    void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED,
                        static_cast<int>(file_), 0);
    if (view == MAP_FAILED) {
        return MapFailure{MapStep::MapView, static_cast<NativeError>(errno)};
    }
    // Chunks are fetched out of order when the user seeks.
    ::madvise(view, static_cast<std::size_t>(size), MADV_RANDOM);
    view_ = static_cast<const std::byte*>(view);
    length_ = static_cast<std::size_t>(size);
    return std::nullopt;
}

void ReadOnlyMapping::close() noexcept {
    if (view_ != nullptr) {
        ::munmap(const_cast<std::byte*>(view_), length_);
        view_ = nullptr;
        length_ = 0;
    }
    mapping_ = -1;  // mmap has no separate mapping object
    if (file_ >= 0) {
        ::close(static_cast<int>(file_));
        file_ = -1;
    }
}

}  // namespace al::platform
