#pragma once
// Small WAVE files written by tests.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace al::test {

// A 32-bit IEEE float WAVE file, so every sample reads back exactly.
inline void writeFloatWave(const std::filesystem::path& path, std::uint16_t channels,
                           std::uint32_t rate, const std::vector<float>& interleaved) {
    std::vector<char> out;
    auto put = [&](const void* p, std::size_t n) {
        out.insert(out.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
    };
    auto u16 = [&](std::uint16_t v) { put(&v, 2); };
    auto u32 = [&](std::uint32_t v) { put(&v, 4); };
    const auto dataBytes = static_cast<std::uint32_t>(interleaved.size() * 4);
    put("RIFF", 4);
    u32(36 + dataBytes);
    put("WAVEfmt ", 8);
    u32(16);
    u16(3);
    u16(channels);
    u32(rate);
    u32(rate * channels * 4u);
    u16(static_cast<std::uint16_t>(channels * 4));
    u16(32);
    put("data", 4);
    u32(dataBytes);
    put(interleaved.data(), dataBytes);
    std::ofstream(path, std::ios::binary).write(out.data(), static_cast<std::streamsize>(out.size()));
}

}  // namespace al::test
