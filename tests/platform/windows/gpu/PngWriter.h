#pragma once
// Writes 32-bit BGRA rows as an uncompressed PNG (stored deflate blocks):
// enough for test screenshots, with no image library.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace al::test {

inline std::uint32_t pngCrc(const std::uint8_t* data, std::size_t size,
                            std::uint32_t crc = 0xFFFFFFFFu) {
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc;
}

inline bool writePng(const std::string& path, const std::uint8_t* bgra, int width, int height,
                     int stride) {
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(height) * (static_cast<std::size_t>(width) * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        const std::uint8_t* row =
            bgra + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
        for (int x = 0; x < width; ++x) {
            raw.push_back(row[x * 4 + 2]);
            raw.push_back(row[x * 4 + 1]);
            raw.push_back(row[x * 4 + 0]);
        }
    }
    std::vector<std::uint8_t> z{0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t pos = 0; pos < raw.size() || pos == 0;) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
        const bool last = pos + n >= raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n & 0xFF));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n & 0xFF));
        z.push_back(static_cast<std::uint8_t>((~n >> 8) & 0xFF));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(pos),
                 raw.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        if (last) {
            break;
        }
    }
    const std::uint32_t adler = (b << 16) | a;
    for (int s = 24; s >= 0; s -= 8) {
        z.push_back(static_cast<std::uint8_t>(adler >> s));
    }
    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        const auto n = static_cast<std::uint32_t>(data.size());
        for (int s = 24; s >= 0; s -= 8) {
            out.push_back(static_cast<std::uint8_t>(n >> s));
        }
        const std::size_t start = out.size();
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), data.begin(), data.end());
        const std::uint32_t crc = pngCrc(out.data() + start, out.size() - start) ^ 0xFFFFFFFFu;
        for (int s = 24; s >= 0; s -= 8) {
            out.push_back(static_cast<std::uint8_t>(crc >> s));
        }
    };
    std::vector<std::uint8_t> header;
    for (std::uint32_t v :
         {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}) {
        for (int s = 24; s >= 0; s -= 8) {
            header.push_back(static_cast<std::uint8_t>(v >> s));
        }
    }
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", z);
    chunk("IEND", {});
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace al::test
