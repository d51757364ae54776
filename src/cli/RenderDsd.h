#pragma once
// auralith render --dsd: a whole track made into DSD (records through the
// record source, everything else through the waveform source) and written
// as a DSF file; a DSF file alone is copied from its own bits.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace al::cli {

struct DsdRenderOptions {
    std::filesystem::path input;
    std::filesystem::path output;
    std::optional<int> dsdMultiple;  // 64 .. 2048; a DSF input without it keeps its own rate
    bool cutoff = false;             // the 18 kHz waveform cutoff (remodulation only)
};

struct DsdRenderResult {
    std::uint64_t samples = 0;  // DSD bits per channel
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    bool copied = false;  // the DSF input's own bits
    double seconds = 0.0;  // of audio
};

// Called now and then with (frames done, frames in all, seconds of audio in
// all); frames are 16 DSD bits per channel.
using DsdRenderProgress = std::function<void(std::uint64_t, std::uint64_t, double)>;

// Writes the DSF into a temporary file beside the output and renames it
// over the output only when complete: a failure or a cancellation (checked
// every 4096 frames; std::runtime_error("Interrupted")) leaves any existing
// file as it was and no partial file behind. Throws std::invalid_argument
// for unusable options, and what the sources throw.
DsdRenderResult renderToDsf(const DsdRenderOptions& options, const DsdRenderProgress& progress = {},
                            const std::function<bool()>& cancelled = {});

// Whether render's arguments ask for DSD: --dsd, --cutoff or an output
// named *.dsf.
bool wantsDsdRender(const std::vector<std::string>& args);

int runRenderDsd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace al::cli
