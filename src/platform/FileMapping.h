#pragma once
// Read-only mapping of a whole file, for readers that work on the image in place.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace al::platform {

// Native error code of a failed platform call: the Win32 last-error code on
// Windows, errno on Linux.
using NativeError = std::uint32_t;

// "<phrase> failed (Win32 N)" on Windows, "<phrase> failed (errno N)" on Linux.
std::string failureText(std::string_view phrase, NativeError code);

// A read-only view of one whole file.
//
// The file is opened with sharing for readers and for deletion (other processes
// may read, rename or delete it while it is mapped) and with a random-access
// hint. The steps are separate calls so that the owner can name each step in
// its own words and check the size before mapping. Each call returns 0 on
// success or the native error code. Release order is view, mapping, file.
//
// Not thread-safe while being opened or closed; once mapped, the bytes may be
// read from any thread.
class ReadOnlyMapping {
public:
    enum class MapStep { CreateMapping, MapView };
    struct MapFailure {
        MapStep step;
        NativeError code;
    };

    ReadOnlyMapping() noexcept = default;
    ~ReadOnlyMapping();
    ReadOnlyMapping(ReadOnlyMapping&& other) noexcept;
    ReadOnlyMapping& operator=(ReadOnlyMapping&& other) noexcept;
    ReadOnlyMapping(const ReadOnlyMapping&) = delete;
    ReadOnlyMapping& operator=(const ReadOnlyMapping&) = delete;

    // Opens an existing file for reading.
    NativeError openFile(const std::filesystem::path& path) noexcept;
    // Size of the opened file in bytes. A negative size reports a failure.
    NativeError querySize(std::uint64_t& size) noexcept;
    // Maps the whole opened file (its size must be non-zero).
    std::optional<MapFailure> mapWhole(std::uint64_t size) noexcept;
    // Releases the view, then the mapping, then the file. Safe when closed.
    void close() noexcept;

    std::span<const std::byte> bytes() const noexcept { return {view_, length_}; }
    bool mapped() const noexcept { return view_ != nullptr && length_ != 0; }

    // Whether part of the view could not be read because the file shrank
    // under it (another program truncated or rewrote it while mapped). Such
    // pages read as zeros instead of ending the process. Only Linux can see
    // this: Windows refuses to shorten a file that has a mapped view. Any
    // thread.
    bool damaged() const noexcept;

private:
    std::intptr_t file_ = -1;
    std::intptr_t mapping_ = -1;
    const std::byte* view_ = nullptr;
    std::size_t length_ = 0;
    int guard_ = -1;  // slot of the platform's fault guard, -1 when none
};

}  // namespace al::platform
