#pragma once
// auralith render: plays a file through the real lattice, offline, and writes
// what the output would receive into a WAVE file of one exact format.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "output/EndpointFormat.h"

namespace al::cli {

struct RenderOptions {
    std::filesystem::path input;
    std::filesystem::path output;
    std::optional<std::uint32_t> rate;  // the source's rate when absent
    audio::SampleKind kind = audio::SampleKind::Float32;
    double startSeconds = 0.0;
    std::optional<double> seconds;  // to the end when absent
    // Frames per endpoint buffer (held to 1..200 ms). Offline, a large buffer
    // means fewer passes, each with its wake-ups of the endpoint and the
    // render thread: the default is the output's largest, 200 ms, at every
    // rate up to 384 kHz.
    std::uint64_t blockFrames = 76800;
};

struct RenderResult {
    std::uint64_t frames = 0;
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
};

// Called now and then with (frames written, frames planned).
using RenderProgress = std::function<void(std::uint64_t, std::uint64_t)>;

// Renders into a temporary file beside the output and renames it over the
// output only when complete, so a failure leaves any existing file as it was.
// Throws std::runtime_error / std::invalid_argument with the reason.
RenderResult renderToWave(const RenderOptions& options, const RenderProgress& progress = {});

// The WAVE header (RIFF, fmt, fact for float, data) for `frames` frames.
std::vector<std::uint8_t> waveHeader(audio::SampleKind kind, std::uint16_t channels, std::uint32_t rate,
                                     std::uint64_t frames);

// "float32", "pcm32", "pcm24in32", "pcm24", "pcm16".
std::optional<audio::SampleKind> parseRenderFormat(const std::string& text);

int runRender(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace al::cli
