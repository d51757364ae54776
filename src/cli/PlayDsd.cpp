#include "cli/PlayDsd.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cli/DemoRecord.h"
#include "cli/DsdOutputs.h"
#include "cli/Play.h"
#include "cli/TerminalDisplay.h"
#include "dsd/DsdEngine.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"
#include "platform/Process.h"
#include "platform/Terminal.h"
#include "platform/Utf16.h"
#include "playback/PlaybackSource.h"

namespace al::cli {

namespace {

constexpr const char* kUsage =
    "usage: auralith play [FILE] --dsd 64|128|256|512|1024|2048 [--device ID | --asio DRIVER | --alsa-dsd]\n"
    "                     [--cutoff] [--dsf-native]\n";
constexpr const char* kPreparing = "Preparing the complete DSD track in RAM. Play or Stop cancels preparation.";
constexpr double kSeekStepSeconds = 5.0;
constexpr std::chrono::milliseconds kTick{50};
constexpr std::size_t kLineWidth = 118;
constexpr std::size_t kBarWidth = 30;

using audio::DsdEngineState;

std::string mibText(std::uint64_t bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1'048'576.0);
    return text;
}

class DsdPlayer {
public:
    DsdPlayer(const PlayDsdOptions& options, std::ostream& out) : options_(options), out_(out) {}
    int run();

private:
    void status(const std::string& sentence);
    void line(std::string text);
    audio::DsdEngineOptions engineOptions(const playback::PlaybackSource& source);
    // One key while preparing: true to cancel.
    static bool cancelsPreparation(const platform::TerminalKey& key);
    // One key while playing: false to quit.
    bool handleKey(const platform::TerminalKey& key, const audio::DsdEngineStatus& now);
    int cancelPreparation();
    std::string outputText(const audio::DsdEngineStatus& now) const;

    const PlayDsdOptions& options_;
    std::ostream& out_;
    std::unique_ptr<audio::DsdEngine> engine_;
    bool dop_ = false;  // the engine's own DoP output on an exact endpoint
    bool loop_ = false;
    bool mute_ = false;
    bool lineShown_ = false;
};

void DsdPlayer::status(const std::string& sentence) {
    if (lineShown_) {
        out_ << '\r' << std::string(kLineWidth, ' ') << '\r';
        lineShown_ = false;
    }
    out_ << sentence << '\n' << std::flush;
}

void DsdPlayer::line(std::string text) {
    text.resize(std::max(text.size(), kLineWidth), ' ');
    out_ << '\r' << text.substr(0, kLineWidth) << std::flush;
    lineShown_ = true;
}

audio::DsdEngineOptions DsdPlayer::engineOptions(const playback::PlaybackSource& source) {
    audio::DsdEngineOptions engine;
    engine.dsdMultiple = options_.dsdMultiple;
    engine.dsfNative = options_.dsfNative;
    engine.cutoff = options_.cutoff;
    // As the player does: a DSF kept as its own bits takes no cutoff.
    if (options_.dsfNative && options_.cutoff && source.metadata().formatLabel.rfind("DSF / DSD", 0) == 0) {
        engine.cutoff = false;
        status("The 18 kHz waveform cutoff applies to remodulation only; the DSF plays its own bits.");
    }
    if (options_.outputFactory) {
        engine.outputFactory = options_.outputFactory;
        return engine;
    }
    if (options_.asioDriver) {
        engine.asioDriver = *options_.asioDriver;
        return engine;
    }

    const std::vector<audio::EndpointInfo> endpoints = audio::EnumerateRenderEndpoints();
    const std::u16string virtualId = audio::CurrentVirtualOutput()->config().id;
    const auto real = std::find_if(endpoints.begin(), endpoints.end(),
                                   [&](const audio::EndpointInfo& e) { return e.id != virtualId; });
    if (options_.alsaDsd) {
        if (!options_.device && real == endpoints.end()) {
            throw std::runtime_error("No active render endpoints found.");
        }
        engine.endpointId = options_.device ? *options_.device : real->id;
        engine.outputFactory = makeAlsaDsdOutput;
        return engine;
    }
    if ((options_.device && *options_.device == virtualId) || (!options_.device && real == endpoints.end())) {
        status(options_.device ? "Playing on the virtual DSD sink in real time."
                               : "No sound card found: playing on the virtual DSD sink in real time.");
        engine.endpointId = virtualId;
        engine.outputFactory = makeVirtualDsdSink;
        return engine;
    }
    const audio::EndpointInfo* endpoint = &*real;
    if (options_.device) {
        const auto found = std::find_if(endpoints.begin(), endpoints.end(),
                                        [&](const audio::EndpointInfo& e) { return e.id == *options_.device; });
        if (found == endpoints.end()) {
            throw std::runtime_error("No active render endpoint has the id \"" +
                                     platform::utf8FromUtf16(*options_.device) + "\"");
        }
        endpoint = &*found;
    }
    engine.endpointId = endpoint->id;
    engine.endpointName = endpoint->name;
    dop_ = true;
    return engine;
}

bool DsdPlayer::cancelsPreparation(const platform::TerminalKey& key) {
    if (key.kind != platform::TerminalKey::Kind::Character) {
        return false;
    }
    switch (key.character) {
        case U' ':  // Play and Stop cancel preparation, as in the player
        case U's':
        case U'S':
        case U'q':
        case U'Q':
        case 3:     // Ctrl+C
        case 4:     // Ctrl+D
        case 0x1B:  // Escape
            return true;
        default:
            return false;
    }
}

bool DsdPlayer::handleKey(const platform::TerminalKey& key, const audio::DsdEngineStatus& now) {
    using Kind = platform::TerminalKey::Kind;
    if (key.kind == Kind::Left || key.kind == Kind::Right) {
        const double step = key.kind == Kind::Left ? -kSeekStepSeconds : kSeekStepSeconds;
        engine_->seek(std::clamp(now.position + step, 0.0, now.duration));
        return true;
    }
    if (key.kind != Kind::Character) {
        return true;
    }
    switch (key.character) {
        case U' ':
            if (now.state == DsdEngineState::Playing) {
                engine_->pause();
                status("Paused. DSD output keeps running on idle frames.");
            } else {
                engine_->play();
            }
            return true;
        case U's':
        case U'S':
            engine_->pause();
            engine_->seek(0.0);
            status("Stopped. Playback head returned to zero; output chain retained.");
            return true;
        case U'l':
        case U'L':
            loop_ = !loop_;
            engine_->setLoop(loop_);
            status(loop_ ? "Loop on." : "Loop off.");
            return true;
        case U'm':
        case U'M':
            mute_ = !mute_;
            engine_->setMute(mute_);
            status(mute_ ? "Muted." : "Mute off.");
            return true;
        case U'q':
        case U'Q':
        case 3:
        case 4:
        case 0x1B:
            return false;
        default:
            return true;
    }
}

int DsdPlayer::cancelPreparation() {
    status("Cancelling DSD preparation...");
    engine_->cancel();
    while (!engine_->hasFinished()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status("DSD preparation cancelled.");
    return 0;
}

std::string DsdPlayer::outputText(const audio::DsdEngineStatus& now) const {
    return dop_ ? "DoP carrier " + now.outputDescription : now.outputDescription;
}

int DsdPlayer::run() {
    const std::filesystem::path file = options_.file ? *options_.file : demoRecordPath();
    if (!options_.file) {
        status("Playing the demo record " + platform::pathToUtf8(file) + ".");
    }
    const std::shared_ptr<const playback::PlaybackSource> source = playback::createPlaybackSource(file);
    engine_ = std::make_unique<audio::DsdEngine>(source, engineOptions(*source));
    // Playback follows preparation at once.
    engine_->seek(0.0);
    engine_->play();
    status(kPreparing);

    platform::RawTerminal terminal;
    const bool keys = options_.interactive && terminal.enter();
    const auto began = std::chrono::steady_clock::now();
    bool prepared = false;
    for (;;) {
        const audio::DsdEngineStatus now = engine_->status();
        if (now.state == DsdEngineState::Failed) {
            throw std::runtime_error(now.failureText);
        }
        if (now.state == DsdEngineState::Stopped) {
            status("DSD preparation cancelled.");
            return 0;
        }
        platform::TerminalKey key;
        if (keys) {
            key = terminal.readKey(static_cast<std::uint32_t>(kTick.count()));
        } else {
            std::this_thread::sleep_for(kTick);
        }
        if (now.state == DsdEngineState::Preparing) {
            if (keys && cancelsPreparation(key)) {
                return cancelPreparation();
            }
            if (keys) {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                const double speed = elapsed > 0.0 ? now.progress * now.duration / elapsed : 0.0;
                char figures[96];
                std::snprintf(figures, sizeof figures, "  %.1fx real time  ", speed);
                line(" " + progressBar(now.progress) + figures + mibText(now.memoryBytes) + " in RAM");
            }
            continue;
        }
        if (!prepared) {
            prepared = true;
            status("Whole track prepared in RAM: " + mibText(now.memoryBytes) + ".");
            status(dsdRateLabel(now.rate) + " on " + outputText(now) + ".");
            if (keys) {
                status("Keys: space play/pause, s stop, l loop, left/right seek 5 s, m mute, q quit.");
            }
        }
        if (now.state == DsdEngineState::Ended && !loop_) {
            status("Playback complete.");
            return 0;
        }
        if (keys) {
            if (key.kind != platform::TerminalKey::Kind::None && !handleKey(key, now)) {
                status("Stopped.");
                return 0;
            }
            std::ostringstream text;
            text << ' ' << clockText(now.position) << " / " << clockText(now.duration) << "  L"
                 << meterText(now.levels[0], false) << " R" << meterText(now.levels[1], false) << "  "
                 << dsdRateLabel(now.rate) << "  " << outputText(now)
                 << (now.state == DsdEngineState::Paused ? "  paused" : "") << (loop_ ? "  loop" : "")
                 << (mute_ ? "  mute" : "");
            if (!now.meterFailureText.empty()) {
                text << "  Meters unavailable: " << now.meterFailureText;
            }
            line(text.str());
        }
    }
}

bool parseMultiple(const std::string& text, std::int32_t& multiple) {
    for (const std::int32_t known : {64, 128, 256, 512, 1024, 2048}) {
        if (text == std::to_string(known)) {
            multiple = known;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string dsdRateLabel(std::uint32_t rate) {
    char text[64];
    std::snprintf(text, sizeof text, "DSD%u (~%.4f MHz, 1-bit)", rate / 44'100u, rate / 1e6);
    return text;
}

std::string progressBar(double fraction) {
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    const auto lit = static_cast<std::size_t>(fraction * kBarWidth);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%5.1f%%", fraction * 100.0);
    return "[" + std::string(lit, '#') + std::string(kBarWidth - lit, '-') + "] " + percent;
}

int playDsdWithOptions(const PlayDsdOptions& options, std::ostream& out, std::ostream& err) {
    try {
        if (!options.file) {
            const std::filesystem::path demo = demoRecordPath();
            std::error_code ignored;
            if (!std::filesystem::exists(demo, ignored)) {
                makeDemoRecord(10.0).save(demo);
            }
        }
        DsdPlayer player(options, out);
        return player.run();
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

int runPlayDsd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    PlayDsdOptions options;
    bool multipleGiven = false;
    int outputs = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--dsd" && hasValue) {
            if (!parseMultiple(args[++i], options.dsdMultiple)) {
                err << "error: --dsd must be 64, 128, 256, 512, 1024 or 2048\n";
                return 1;
            }
            multipleGiven = true;
        } else if (arg == "--device" && hasValue) {
            options.device = platform::utf16FromUtf8(args[++i]);
        } else if (arg == "--asio" && hasValue) {
            options.asioDriver = platform::utf16FromUtf8(args[++i]);
            ++outputs;
        } else if (arg == "--alsa-dsd") {
            options.alsaDsd = true;
            ++outputs;
        } else if (arg == "--cutoff") {
            options.cutoff = true;
        } else if (arg == "--dsf-native") {
            options.dsfNative = true;
        } else if (!options.file && arg.rfind("-", 0) != 0) {
            options.file = platform::pathFromUtf8(arg);
        } else {
            err << kUsage;
            return 2;
        }
    }
    // An ASIO driver is an output of its own; ALSA DSD may name its device.
    if (!multipleGiven || outputs > 1 || (options.asioDriver && options.device)) {
        err << kUsage;
        return 2;
    }
    options.interactive = platform::standardInputIsTerminal() && platform::standardOutputIsTerminal();
    return playDsdWithOptions(options, out, err);
}

}  // namespace al::cli
