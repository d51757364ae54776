#include "cli/Encode.h"

#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <system_error>

#include "platform/Interrupt.h"
#include "platform/Process.h"
#include "playback/PlaybackSource.h"
#include "playback/RecordEncoder.h"

namespace al::cli {

namespace {

constexpr const char* kUsage =
    "usage: auralith encode FILE -o OUT.aur [--segment-frames N] [--force]\n";

}  // namespace

int runEncode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string input;
    std::string output;
    bool force = false;
    playback::RecordEncodeOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if ((arg == "-o" || arg == "--output") && i + 1 < args.size()) {
            output = args[++i];
        } else if (arg == "--segment-frames" && i + 1 < args.size()) {
            const std::string& text = args[++i];
            std::size_t used = 0;
            unsigned long value = 0;
            try {
                value = std::stoul(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size() || value < 8 || value > 65000) {
                err << "error: --segment-frames must be between 8 and 65000\n";
                return 2;
            }
            options.segmentFrames = static_cast<std::uint32_t>(value);
        } else if (arg == "--force") {
            force = true;
        } else if (input.empty() && arg.rfind("-", 0) != 0) {
            input = arg;
        } else {
            err << kUsage;
            return 2;
        }
    }
    if (input.empty() || output.empty()) {
        err << kUsage;
        return 2;
    }
    try {
        const auto inputPath = platform::pathFromUtf8(input);
        const auto outputPath = platform::pathFromUtf8(output);
        if (playback::playbackExtension(outputPath) != ".aur") {
            throw std::runtime_error("Output must be a record file (.aur)");
        }
        std::error_code ignored;
        if (std::filesystem::exists(outputPath, ignored) && !force) {
            throw std::runtime_error(output + " exists; use --force to replace it");
        }
        playback::RecordEncoder encoder(inputPath);
        const auto& meta = encoder.metadata();
        // Progress for anything long enough to wait for, every 5 percent.
        int shown = -1;
        if (meta.duration >= 10.0) {
            options.progress = [&err, &shown](std::uint64_t done, std::uint64_t total) {
                const int percent = static_cast<int>(done * 20 / total) * 5;
                if (percent != shown) {
                    shown = percent;
                    err << "encoding " << percent << "%\n" << std::flush;
                }
            };
        }
        platform::InterruptWatch interrupt;
        options.cancelled = [&interrupt] { return interrupt.requested(); };
        const auto stats = encoder.encode(outputPath, options);
        out << "wrote " << output << ": " << meta.frameCount << " frames, " << meta.channelCount
            << " channels, " << meta.sampleRate << " Hz, " << stats.fileBytes << " bytes ("
            << stats.linearSegments << " linear, " << stats.pchipSegments << " pchip, "
            << stats.polylineSegments << " polyline segments)\n";
        if (stats.unreproducedFrames != 0) {
            err << "warning: " << stats.unreproducedFrames
                << " frames round differently from the source at its own rate\n";
        }
        return 0;
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

}  // namespace al::cli
