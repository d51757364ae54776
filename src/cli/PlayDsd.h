#pragma once
// auralith play --dsd: a whole track made into DSD in memory by the DSD
// engine, then played as DoP on an exact endpoint, as native DSD through an
// ASIO driver or ALSA, or on the virtual DSD sink, with progress, meters and
// transport keys in a terminal.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dsd/AudioOutput.h"

namespace al::cli {

struct PlayDsdOptions {
    std::optional<std::filesystem::path> file;  // the demo record when absent
    std::int32_t dsdMultiple = 64;
    std::optional<std::u16string> device;  // endpoint id; "virtual" for the virtual DSD sink
    std::optional<std::u16string> asioDriver;
    bool alsaDsd = false;    // native DSD through ALSA on the device (default endpoint when none given)
    bool cutoff = false;     // the 18 kHz waveform cutoff (remodulation only)
    bool dsfNative = false;  // a DSF file plays its own bits at its own rate
    bool interactive = false;
    // When set, plays on this output instead of the one the device options
    // choose (tests, benchmarks).
    std::function<std::unique_ptr<audio::IAudioOutput>()> outputFactory;
};

// Plays as the options say. Status sentences go to `out`, failures to `err`
// as "error: <message>". Returns 0 at the end of the track, when the user
// quits or cancels the preparation, 1 on failure.
int playDsdWithOptions(const PlayDsdOptions& options, std::ostream& out, std::ostream& err);

// `auralith play [FILE] --dsd N [--device ID | --asio DRIVER | --alsa-dsd]
// [--cutoff] [--dsf-native]`.
int runPlayDsd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// "DSD64 (~2.8224 MHz, 1-bit)".
std::string dsdRateLabel(std::uint32_t rate);

// "[##########--------------------]  33.3%" for a fraction 0..1.
std::string progressBar(double fraction);

}  // namespace al::cli
