#pragma once
// WAVE files assembled byte by byte, so each test states exactly what is on disk.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace al::test {

using Bytes = std::vector<std::uint8_t>;

inline void putLe(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

inline void putId(Bytes& out, const std::string& id) { out.insert(out.end(), id.begin(), id.end()); }

struct WaveChunk {
    std::string id;
    Bytes body;
    // A size field that differs from the body (placeholder sizes).
    std::optional<std::uint32_t> declaredSize = std::nullopt;
};

// "RIFF" size "WAVE" and the chunks, each odd body followed by its pad byte.
inline Bytes riffWave(const std::vector<WaveChunk>& chunks, const std::string& riff = "RIFF",
                      const std::string& wave = "WAVE") {
    Bytes out;
    putId(out, riff);
    putLe(out, 0, 4);
    putId(out, wave);
    for (const auto& chunk : chunks) {
        putId(out, chunk.id);
        putLe(out, chunk.declaredSize.value_or(static_cast<std::uint32_t>(chunk.body.size())), 4);
        out.insert(out.end(), chunk.body.begin(), chunk.body.end());
        if (chunk.body.size() % 2 == 1) {
            out.push_back(0);
        }
    }
    const auto riffSize = static_cast<std::uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    }
    return out;
}

// A plain 16-byte fmt body; blockAlign 0 means "the consistent value".
inline Bytes fmtBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                     std::uint16_t blockAlign = 0) {
    const std::uint16_t align = blockAlign != 0 ? blockAlign : static_cast<std::uint16_t>(bits / 8 * channels);
    Bytes out;
    putLe(out, tag, 2);
    putLe(out, channels, 2);
    putLe(out, rate, 4);
    putLe(out, std::uint64_t{rate} * align, 4);
    putLe(out, align, 2);
    putLe(out, bits, 2);
    return out;
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE body with the standard sub-type suffix.
inline Bytes extensibleFmtBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t containerBits,
                               std::uint16_t validBits, std::uint32_t subTag = 1) {
    Bytes out = fmtBody(0xFFFE, channels, rate, containerBits);
    putLe(out, 22, 2);
    putLe(out, validBits, 2);
    putLe(out, 3, 4);  // channel mask, ignored
    putLe(out, subTag, 4);
    const Bytes suffix = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    out.insert(out.end(), suffix.begin(), suffix.end());
    return out;
}

// Little-endian samples of `width` bytes each.
inline Bytes samplesLe(const std::vector<std::int64_t>& values, int width) {
    Bytes out;
    for (const auto value : values) {
        putLe(out, static_cast<std::uint64_t>(value), width);
    }
    return out;
}

inline void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace al::test
