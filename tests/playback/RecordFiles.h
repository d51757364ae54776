#pragma once
// Records written for a test, and damage done to them afterwards.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "record/RecordWriter.h"

namespace al::test {

// Channels of distinct, smooth test signals.
inline std::vector<std::vector<double>> testSignal(std::size_t channels, std::size_t frames) {
    std::vector<std::vector<double>> out(channels, std::vector<double>(frames));
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            out[c][i] = 0.4 * std::sin(0.003 * static_cast<double>(i) * static_cast<double>(c + 1)) +
                        0.1 * std::cos(0.05 * static_cast<double>(i));
        }
    }
    return out;
}

inline std::vector<char> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Flips the bits of one byte at an offset of the file.
inline void flipByte(const std::filesystem::path& path, std::uint64_t offset) {
    auto bytes = readBytes(path);
    bytes.at(offset) = static_cast<char>(~bytes.at(offset));
    writeBytes(path, bytes);
}

}  // namespace al::test
