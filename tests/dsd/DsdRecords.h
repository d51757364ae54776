#pragma once
// Records for the DSD source tests: crafted images, block offsets, checksum
// repair after a patch, and a whole-source bit dump.

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <vector>

#include "dsd/DsdSource.h"
#include "record/Crc32.h"
#include "record/RecordWriter.h"
#include "support/RecordImages.h"

namespace al::test {

using Image = std::vector<std::byte>;

// Offsets of every block of an image, in file order.
inline std::vector<std::size_t> blockOffsets(const Image& image) {
    std::vector<std::size_t> out;
    std::size_t at = 39;
    while (at + 6 < image.size()) {
        out.push_back(at);
        at += 28 + peek<std::uint32_t>(image, at + kBlockPayloadSizeAt) + 4;
    }
    return out;
}

// Recomputes the checksum of the block at `at` after a patch.
inline void fixCrc(Image& image, std::size_t at) {
    const std::uint32_t size = peek<std::uint32_t>(image, at + kBlockPayloadSizeAt);
    const std::uint32_t crc = file::crc32(0, std::span<const std::byte>(image.data() + at, 28 + size));
    poke(image, at + 28 + size, crc);
}

inline void writeImage(const std::filesystem::path& path, const Image& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

// Sines of the given frequencies and amplitude, one per channel, as a record.
inline file::RecordWriter toneRecord(std::uint16_t channels, std::uint64_t frames, std::uint32_t rate,
                                     double amplitude = 0.5, double hz = 1000.0) {
    std::vector<std::vector<double>> samples(channels, std::vector<double>(frames));
    for (std::uint16_t c = 0; c < channels; ++c) {
        for (std::uint64_t i = 0; i < frames; ++i) {
            samples[c][i] = amplitude * std::sin(2.0 * std::numbers::pi * hz * (c + 1) * static_cast<double>(i) / rate);
        }
    }
    return file::RecordWriter::fromSamples(rate, 24, samples);
}

// A mono record holding one constant as a single polyline per chunk.
inline file::RecordWriter constantRecord(double value, std::uint64_t frames, std::uint32_t rate) {
    return file::RecordWriter::fromSamples(rate, 24, {std::vector<double>(frames, value)},
                                           file::SegmentKind::Polyline);
}

// Every frame of a source, in order.
inline std::vector<morrow::dsd::DsdFrame> readAll(morrow::dsd::IDsdSource& source) {
    std::vector<morrow::dsd::DsdFrame> frames;
    const auto count = source.info().frameCount;
    frames.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        frames.push_back(source.readFrame(i));
    }
    return frames;
}

}  // namespace al::test
