#pragma once
// Well-formed record images for tests, and byte patching to break them.

#include <cmath>
#include <cstring>
#include <vector>

#include "record/RecordWriter.h"

namespace al::test {

// A record of `frames` frames per channel at `rate`, each channel a slow sine
// as one PCHIP segment per chunk.
inline file::RecordWriter sineRecord(std::uint16_t channels, std::uint64_t frames,
                                     std::uint32_t rate = 48000) {
    std::vector<std::vector<double>> samples(channels, std::vector<double>(frames));
    for (std::uint16_t c = 0; c < channels; ++c) {
        for (std::uint64_t i = 0; i < frames; ++i) {
            samples[c][i] = 0.5 * std::sin(0.003 * static_cast<double>(i) * (c + 1));
        }
    }
    return file::RecordWriter::fromSamples(rate, 24, samples);
}

template <typename T>
void poke(std::vector<std::byte>& image, std::size_t offset, T value) {
    std::memcpy(image.data() + offset, &value, sizeof(T));
}

template <typename T>
T peek(const std::vector<std::byte>& image, std::size_t offset) {
    T value;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return value;
}

// File-header field offsets.
inline constexpr std::size_t kVersionAt = 3, kRevisionAt = 4, kChannelsAt = 5, kRateAt = 7,
                             kBitsAt = 11, kFramesAt = 15, kPeakAt = 23, kDurationAt = 31;
// Block-header field offsets relative to the block.
inline constexpr std::size_t kBlockChannelAt = 0, kBlockSequenceAt = 2, kBlockSegmentsAt = 6,
                             kBlockPayloadSizeAt = 8, kBlockStartAt = 12, kBlockEndAt = 20;

}  // namespace al::test
