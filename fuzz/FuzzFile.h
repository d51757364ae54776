#pragma once
// File-based readers take a path: each fuzz input is written to one scratch
// file (in memory-backed /dev/shm when there is one) and opened from there.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace al::fuzz {

inline std::filesystem::path scratchFile(const char* extension) {
    const std::filesystem::path folder =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    return folder / ("auralith-fuzz-" + std::to_string(::getpid()) + extension);
}

inline void writeInput(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace al::fuzz
