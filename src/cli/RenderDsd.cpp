#include "cli/RenderDsd.h"

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "dsd/AurSource.h"
#include "dsd/DsfReader.h"
#include "dsd/DsfWriter.h"
#include "dsd/WaveformDsd.h"
#include "platform/Interrupt.h"
#include "platform/Process.h"
#include "playback/PlaybackSource.h"

namespace al::cli {

namespace {

constexpr std::uint64_t kCheckEvery = 4096;

const char* kUsage = "usage: auralith render FILE -o OUT.dsf --dsd 64|128|256|512|1024|2048 [--cutoff]\n";

bool isDsdMultiple(int m) noexcept { return m >= 64 && m <= 2048 && (m & (m - 1)) == 0; }

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool namesDsf(const std::string& path) {
    return path.size() >= 4 && lower(path.substr(path.size() - 4)) == ".dsf";
}

// Removes the temporary file unless it was renamed into place.
class PartialFile {
public:
    explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~PartialFile() {
        if (!kept_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    void commitAs(const std::filesystem::path& target) {
        std::error_code error;
        std::filesystem::rename(path_, target, error);
        if (error) {
            throw std::runtime_error("Unable to replace " + platform::pathToUtf8(target) + ": " + error.message());
        }
        kept_ = true;
    }

private:
    std::filesystem::path path_;
    bool kept_ = false;
};

std::unique_ptr<morrow::dsd::IDsdSource> openSource(const DsdRenderOptions& options, bool& copied) {
    const std::string extension = playback::playbackExtension(options.input);
    copied = false;
    std::optional<int> multiple = options.dsdMultiple;
    if (extension == ".dsf" && !multiple) {
        auto reader = std::make_unique<morrow::dsd::DsfReader>(options.input);
        if (!options.cutoff) {
            copied = true;  // the file's own bits at its own rate
            return reader;
        }
        const std::uint32_t rate = reader->info().rate;
        if (rate % 44'100 == 0 && isDsdMultiple(static_cast<int>(rate / 44'100))) {
            multiple = static_cast<int>(rate / 44'100);
        }
    }
    if (!multiple) {
        throw std::invalid_argument("--dsd 64|128|256|512|1024|2048 is required to make DSD from this file");
    }
    if (!isDsdMultiple(*multiple)) {
        throw std::invalid_argument("--dsd must be 64, 128, 256, 512, 1024 or 2048");
    }
    if (extension == ".aur") {
        return std::make_unique<morrow::dsd::AurSource>(
            options.input, *multiple, std::make_shared<morrow::dsd::HiFreqControl>(options.cutoff), 0);
    }
    return std::make_unique<audio::WaveformDsd>(playback::createPlaybackSource(options.input), *multiple,
                                                options.cutoff);
}

}  // namespace

DsdRenderResult renderToDsf(const DsdRenderOptions& options, const DsdRenderProgress& progress,
                            const std::function<bool()>& cancelled) {
    DsdRenderResult result;
    std::unique_ptr<morrow::dsd::IDsdSource> source = openSource(options, result.copied);
    const morrow::dsd::DsdInfo info = source->info();
    result.samples = info.sampleCount;
    result.rate = info.rate;
    result.channels = info.channels;
    result.seconds = static_cast<double>(info.sampleCount) / info.rate;

    std::filesystem::path temporary = options.output;
    temporary += ".partial";
    PartialFile partial(temporary);
    {
        morrow::dsd::DsfFileWriter writer(partial.path(), info.channels, info.rate, info.sampleCount);
        for (std::uint64_t i = 0; i < info.frameCount; ++i) {
            if (i % kCheckEvery == 0) {
                if (cancelled && cancelled()) {
                    throw std::runtime_error("Interrupted");
                }
                if (progress) {
                    progress(i, info.frameCount, result.seconds);
                }
            }
            writer.writeFrame(source->readFrame(i));
        }
        source.reset();  // the record source's threads end before the rename
        writer.finish();
    }
    partial.commitAs(options.output);
    if (progress) {
        progress(info.frameCount, info.frameCount, result.seconds);
    }
    return result;
}

bool wantsDsdRender(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dsd" || args[i] == "--cutoff") {
            return true;
        }
        if ((args[i] == "-o" || args[i] == "--output") && i + 1 < args.size() && namesDsf(args[i + 1])) {
            return true;
        }
    }
    return false;
}

int runRenderDsd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    DsdRenderOptions options;
    std::string input;
    std::string output;
    bool reported = false;  // a progress line is open on err
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& arg = args[i];
            const bool hasValue = i + 1 < args.size();
            if ((arg == "-o" || arg == "--output") && hasValue) {
                output = args[++i];
            } else if (arg == "--dsd" && hasValue) {
                const std::string& text = args[++i];
                int multiple = 0;
                if (text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos && !text.empty()) {
                    multiple = std::stoi(text);
                }
                if (!isDsdMultiple(multiple)) {
                    throw std::invalid_argument("--dsd must be 64, 128, 256, 512, 1024 or 2048");
                }
                options.dsdMultiple = multiple;
            } else if (arg == "--cutoff") {
                options.cutoff = true;
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
        if (!namesDsf(output)) {
            throw std::invalid_argument("DSD is written as a DSF file: name the output *.dsf");
        }
        options.input = platform::pathFromUtf8(input);
        options.output = platform::pathFromUtf8(output);

        platform::InterruptWatch interrupt;
        using Clock = std::chrono::steady_clock;
        const auto begun = Clock::now();
        auto lastReport = begun;
        double trackSeconds = 0.0;
        auto speed = [&](double fraction) {
            const double wall = std::chrono::duration<double>(Clock::now() - begun).count();
            return wall > 0.0 ? fraction * trackSeconds / wall : 0.0;
        };
        const DsdRenderResult result = renderToDsf(
            options,
            [&](std::uint64_t done, std::uint64_t total, double seconds) {
                trackSeconds = seconds;
                const auto now = Clock::now();
                if (total == 0 || now - lastReport < std::chrono::milliseconds(500)) {
                    return;
                }
                lastReport = now;
                reported = true;
                const double fraction = static_cast<double>(done) / static_cast<double>(total);
                std::ostringstream line;
                line << "\rrendering DSD: " << static_cast<int>(fraction * 100.0) << "% (" << std::fixed
                     << std::setprecision(1) << speed(fraction) << "x real time)";
                err << line.str() << std::flush;
            },
            [&] { return interrupt.requested(); });
        trackSeconds = result.seconds;
        if (reported) {
            err << '\n';
            reported = false;
        }
        std::ostringstream line;
        line << "wrote " << output << ": " << result.samples << " DSD samples, " << result.channels
             << (result.channels == 1 ? " channel, " : " channels, ") << result.rate << " Hz";
        if (result.rate % 44'100 == 0) {
            line << " (DSD" << result.rate / 44'100 << ")";
        }
        line << (result.copied ? ", bits copied from the DSF" : "") << ", "
             << std::fixed << std::setprecision(1) << speed(1.0) << "x real time\n";
        out << line.str();
        return 0;
    } catch (const std::exception& error) {
        if (reported) {
            err << '\n';
        }
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

}  // namespace al::cli
