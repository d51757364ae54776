#pragma once
// Records made for output tests, exact formats to play them at, and the bytes
// an endpoint must receive for them, computed without the output.

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "output/AudioEndpoints.h"
#include "output/EndpointFormat.h"
#include "output/LatticePacing.h"
#include "output/SampleConverters.h"
#include "playback/PlaybackLattice.h"
#include "playback/PlaybackSource.h"
#include "record/RecordWriter.h"

namespace al::audio::test {

// A record of distinct smooth signals per channel, peaks near -3 dBFS.
inline std::shared_ptr<const playback::PlaybackSource> makeRecordSource(const std::filesystem::path& path,
                                                                        std::uint32_t rate,
                                                                        std::size_t channels,
                                                                        std::size_t frames) {
    std::vector<std::vector<double>> samples(channels, std::vector<double>(frames));
    for (std::size_t c = 0; c < channels; ++c) {
        const double f = 220.0 * static_cast<double>(c + 1);
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            samples[c][i] = 0.5 * std::sin(2.0 * 3.141592653589793 * f * t) + 0.2 * std::sin(0.7 * t + c);
        }
    }
    file::RecordWriter::fromSamples(rate, 24, samples, file::SegmentKind::Pchip).save(path);
    return playback::createPlaybackSource(path);
}

// The first candidate of this rate, channel count and kind, with its bytes.
inline EndpointFormat exactFormat(std::uint32_t rate, std::uint16_t channels, SampleKind kind) {
    for (const EndpointFormat& candidate : ExactFormatCandidates(rate, channels)) {
        if (candidate.kind == kind) {
            return candidate;
        }
    }
    throw std::logic_error("no candidate of that kind");
}

// Polls `done` every millisecond for at most `limit`.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::milliseconds(10'000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The whole track at `format`, as an endpoint should receive it: a fresh
// lattice pulled at its own pace (waiting for every chunk), then converted.
inline std::vector<std::uint8_t> expectedBytes(std::shared_ptr<const playback::PlaybackSource> source,
                                               const EndpointFormat& format) {
    playback::PlaybackLattice lattice(source);
    lattice.setOutputRate(format.sampleRate);
    const std::uint64_t total = lattice.totalFrames();
    const std::size_t channels = format.channels;
    const std::uint32_t sampleBytes = BytesPerSample(format.kind);
    std::vector<double> block(1024 * channels);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(total) * channels * sampleBytes);
    std::uint64_t done = 0;
    while (done < total) {
        if (!lattice.prime() || !waitUntil([&] { return LatticeFramesReady(lattice, 1024); })) {
            throw std::runtime_error("reference lattice could not be primed");
        }
        const std::uint64_t missingBefore = lattice.missingFrames();
        const std::uint64_t produced = lattice.pull(block.data(), 1024);
        if (lattice.missingFrames() != missingBefore) {
            throw std::runtime_error("reference lattice missed frames at " + std::to_string(done) + " of " +
                                     std::to_string(total) + " at " + std::to_string(format.sampleRate) +
                                     " Hz");
        }
        if (produced == 0) {
            break;
        }
        ConverterFor(format.kind)(block.data(), static_cast<std::size_t>(produced) * channels,
                                  bytes.data() + done * channels * sampleBytes,
                                  static_cast<std::size_t>(produced) * channels * sampleBytes);
        done += produced;
    }
    if (lattice.missingFrames() != 0) {
        throw std::runtime_error("reference lattice missed frames");
    }
    return bytes;
}

}  // namespace al::audio::test
