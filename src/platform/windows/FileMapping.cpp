#include "platform/FileMapping.h"

#include <windows.h>

#include <utility>

namespace al::platform {

namespace {
HANDLE asHandle(std::intptr_t value) noexcept { return reinterpret_cast<HANDLE>(value); }
std::intptr_t fromHandle(HANDLE handle) noexcept { return reinterpret_cast<std::intptr_t>(handle); }
const std::intptr_t kNone = -1;  // INVALID_HANDLE_VALUE
}  // namespace

std::string failureText(std::string_view phrase, NativeError code) {
    std::string text(phrase);
    text += " failed (Win32 ";
    text += std::to_string(code);
    text += ')';
    return text;
}

ReadOnlyMapping::~ReadOnlyMapping() { close(); }

bool ReadOnlyMapping::damaged() const noexcept { return false; }

ReadOnlyMapping::ReadOnlyMapping(ReadOnlyMapping&& other) noexcept
    : file_(std::exchange(other.file_, kNone)),
      mapping_(std::exchange(other.mapping_, kNone)),
      view_(std::exchange(other.view_, nullptr)),
      length_(std::exchange(other.length_, 0)) {}

ReadOnlyMapping& ReadOnlyMapping::operator=(ReadOnlyMapping&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, kNone);
        mapping_ = std::exchange(other.mapping_, kNone);
        view_ = std::exchange(other.view_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

NativeError ReadOnlyMapping::openFile(const std::filesystem::path& path) noexcept {
    close();
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    file_ = fromHandle(file);
    return 0;
}

NativeError ReadOnlyMapping::querySize(std::uint64_t& size) noexcept {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(asHandle(file_), &value)) {
        return ::GetLastError();
    }
    if (value.QuadPart < 0) {
        return ERROR_INVALID_DATA;
    }
    size = static_cast<std::uint64_t>(value.QuadPart);
    return 0;
}

std::optional<ReadOnlyMapping::MapFailure> ReadOnlyMapping::mapWhole(std::uint64_t size) noexcept {
    HANDLE mapping = ::CreateFileMappingW(asHandle(file_), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return MapFailure{MapStep::CreateMapping, ::GetLastError()};
    }
    mapping_ = fromHandle(mapping);
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        return MapFailure{MapStep::MapView, ::GetLastError()};
    }
    view_ = static_cast<const std::byte*>(view);
    length_ = static_cast<std::size_t>(size);
    return std::nullopt;
}

void ReadOnlyMapping::close() noexcept {
    if (view_ != nullptr) {
        ::UnmapViewOfFile(view_);
        view_ = nullptr;
        length_ = 0;
    }
    if (mapping_ != kNone) {
        ::CloseHandle(asHandle(mapping_));
        mapping_ = kNone;
    }
    if (file_ != kNone) {
        ::CloseHandle(asHandle(file_));
        file_ = kNone;
    }
}

}  // namespace al::platform
