#include "cli/Play.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/PlayerSettings.h"
#include "cli/DemoRecord.h"
#include "cli/PlayDsd.h"
#include "cli/TerminalDisplay.h"
#include "output/AudioBufferSettings.h"
#include "output/AudioEndpoints.h"
#include "output/ExactWasapiOutput.h"
#include "output/VirtualOutput.h"
#include "output/WasapiError.h"
#include "platform/AudioEndpoint.h"
#include "platform/Process.h"
#include "platform/Terminal.h"
#include "platform/Utf16.h"
#include "playback/LevelMeterFeed.h"
#include "playback/PlaybackLattice.h"
#include "playback/PlaybackSource.h"

namespace al::cli {

namespace {

constexpr const char* kUsage =
    "usage: auralith play [FILE] [--device ID] [--format N|LABEL] [--buffer-ms X] [--loop]\n";
constexpr double kSeekStepSeconds = 5.0;
constexpr std::chrono::milliseconds kTick{50};

std::string utf8(const std::u16string& text) { return platform::utf8FromUtf16(text); }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

std::string msText(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(ns) / 1e6);
    return text;
}

// The candidate order of a chain initialisation starting at `first` and
// moving downwards: first, then each one below it, then those above.
std::vector<std::size_t> candidateOrder(std::size_t first, std::size_t count) {
    std::vector<std::size_t> order;
    for (std::size_t i = first + 1; i-- > 0;) {
        order.push_back(i);
    }
    for (std::size_t i = first + 1; i < count; ++i) {
        order.push_back(i);
    }
    return order;
}

// Which of the probed formats to start with: --format, else the remembered
// one, else the last.
std::size_t chooseFormat(const std::vector<audio::EndpointFormat>& formats, const PlayOptions& options,
                         const audio::FormatsCache& remembered, const std::u16string& endpointId,
                         std::uint16_t channels) {
    if (options.format) {
        const std::string& wanted = *options.format;
        if (!wanted.empty() && wanted.size() <= 4 && wanted.find_first_not_of("0123456789") == std::string::npos) {
            const std::size_t index = std::stoul(wanted);
            if (index < 1 || index > formats.size()) {
                throw std::invalid_argument("--format " + wanted + " is not between 1 and " +
                                            std::to_string(formats.size()));
            }
            return index - 1;
        }
        for (std::size_t i = 0; i < formats.size(); ++i) {
            if (lower(utf8(audio::FormatLabel(formats[i]))) == lower(wanted)) {
                return i;
            }
        }
        throw std::invalid_argument("The endpoint offers no exact format \"" + wanted + "\"");
    }
    if (const audio::RememberedFormat* known = remembered.Find(audio::FormatsCacheKey(endpointId, channels))) {
        for (std::size_t i = 0; i < formats.size(); ++i) {
            if (known->Matches(formats[i])) {
                return i;
            }
        }
    }
    return formats.size() - 1;
}

enum class Transport { Stopped, Playing, Paused };

class Player {
public:
    Player(const PlayOptions& options, std::ostream& out) : options_(options), out_(out), loop_(options.loop) {}

    int run(const audio::FormatsCache& remembered);

private:
    void status(const std::string& sentence);
    bool openChain(const std::vector<audio::EndpointFormat>& formats, std::size_t first,
                   const std::u16string& endpointId, const std::string& endpointName, double bufferMs,
                   double safetyMarginMs);
    void play();
    void hold(bool stop);
    void liveLine();
    // One key; false to quit.
    bool handleKey(const platform::TerminalKey& key);

    const PlayOptions& options_;
    std::ostream& out_;
    bool loop_;
    std::unique_ptr<playback::PlaybackLattice> lattice_;
    audio::ExactWasapiOutput output_;
    playback::LevelMeterFeed meters_{4000};
    Transport transport_ = Transport::Stopped;
    audio::EndpointFormat format_;
    bool lineShown_ = false;
};

void Player::status(const std::string& sentence) {
    if (lineShown_) {
        out_ << '\r' << std::string(118, ' ') << '\r';
        lineShown_ = false;
    }
    out_ << sentence << '\n' << std::flush;
}

bool Player::openChain(const std::vector<audio::EndpointFormat>& formats, std::size_t first,
                       const std::u16string& endpointId, const std::string& endpointName, double bufferMs,
                       double safetyMarginMs) {
    for (const std::size_t index : candidateOrder(first, formats.size())) {
        const audio::EndpointFormat& format = formats[index];
        const std::string label = utf8(audio::FormatLabel(format));
        try {
            lattice_->setOutputRate(format.sampleRate);
            lattice_->seekToTime(lattice_->currentTime());
            lattice_->requestSnapGain();
            lattice_->setLoopAhead(false);
            if (!lattice_->prime()) {
                throw std::runtime_error("Playback surrogate could not be primed for the new output format");
            }
            output_.Initialize(endpointId, format, lattice_.get(), {bufferMs, safetyMarginMs});
            format_ = format;
            status("Playback chain initialized at exact output contract " + label + " \u2014 " +
                   utf8(audio::ModeLabel(format)) + ". Playback head preserved.");
            return true;
        } catch (const audio::WasapiError& error) {
            output_.Shutdown();
            if (error.hresult() == platform::kAudioDeviceInUse) {
                throw std::runtime_error("Audio device unavailable: " + endpointName +
                                         " is currently in use. No exact formats were disabled.");
            }
            status(label + " is unavailable: " + error.what() + ". Trying another exact format.");
        } catch (const std::invalid_argument&) {
            output_.Shutdown();
            throw;  // a bad policy fails every format alike
        } catch (const std::exception& error) {
            output_.Shutdown();
            status(label + " is unavailable: " + error.what() + ". Trying another exact format.");
        }
    }
    return false;
}

void Player::play() {
    const std::int64_t seek = lattice_->pendingSeek();
    const std::uint64_t at = seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice_->position();
    if (at >= lattice_->totalFrames()) {
        lattice_->seekToFrame(0);
    }
    lattice_->setHold(false);
    try {
        output_.Start();
    } catch (...) {
        lattice_->setHold(true);
        throw;
    }
    transport_ = Transport::Playing;
    status(utf8(audio::ModeLabel(format_)) + " playback at exact contract " + utf8(audio::FormatLabel(format_)) +
           ".");
}

// Silence from the next pass, then the stream stops; the chain stays open.
void Player::hold(bool stop) {
    lattice_->setHold(true);
    output_.RequestPause();
    output_.Pause();
    if (stop) {
        lattice_->seekToFrame(0);
        transport_ = Transport::Stopped;
        status("Stopped. Playback head returned to zero; output chain retained.");
    } else {
        transport_ = Transport::Paused;
        status("Paused. Exact output chain remains initialized.");
    }
}

void Player::liveLine() {
    const auto stats = output_.Statistics();
    const playback::MeterSnapshot meters = meters_.takeSnapshot();
    const double total = static_cast<double>(lattice_->totalFrames()) / std::max<std::uint32_t>(lattice_->outputRate(), 1);
    std::ostringstream line;
    line << ' ' << clockText(lattice_->currentTime()) << " / " << clockText(total) << ' ';
    for (std::size_t c = 0; c < meters.peaks.size() && c < 2; ++c) {
        line << ' ' << (c == 0 ? 'L' : 'R') << meterText(meters.peaks[c], meters.clip != 0);
    }
    if (meters.peaks.size() > 2) {
        line << " +" << meters.peaks.size() - 2;
    }
    line << "  buf " << msText(stats.bufferDurationNs) << " ms  use " << msText(stats.lastDeadlineUseNs) << '/'
         << msText(stats.maxDeadlineUseNs) << " ms  near " << stats.nearMissCount << "  miss "
         << lattice_->missingFrames() << (loop_ ? "  loop" : "");
    std::string text = line.str();
    text.resize(std::max<std::size_t>(text.size(), 118), ' ');
    out_ << '\r' << text.substr(0, 118) << std::flush;
    lineShown_ = true;
}

bool Player::handleKey(const platform::TerminalKey& key) {
    using Kind = platform::TerminalKey::Kind;
    if (key.kind == Kind::Left || key.kind == Kind::Right) {
        const double step = key.kind == Kind::Left ? -kSeekStepSeconds : kSeekStepSeconds;
        lattice_->seekToTime(lattice_->currentTime() + step);
        return true;
    }
    if (key.kind != Kind::Character) {
        return true;
    }
    switch (key.character) {
        case U' ':
            if (transport_ == Transport::Playing) {
                hold(false);
            } else {
                play();
            }
            return true;
        case U's':
        case U'S':
            if (transport_ == Transport::Playing) {
                hold(true);
            } else {
                lattice_->seekToFrame(0);
                transport_ = Transport::Stopped;
                status("Stopped. Playback head returned to zero; output chain retained.");
            }
            return true;
        case U'l':
        case U'L':
            loop_ = !loop_;
            status(loop_ ? "Loop on." : "Loop off.");
            return true;
        case U'q':
        case U'Q':
        case 3:     // Ctrl+C
        case 4:     // Ctrl+D
        case 0x1B:  // Escape
            return false;
        default:
            return true;
    }
}

int Player::run(const audio::FormatsCache& remembered) {
    const audio::AudioBufferSettings settings = audio::LoadAudioBufferSettings(app::SettingsPath());
    const double bufferMs = options_.bufferMs.value_or(settings.bufferMs);

    std::filesystem::path file;
    if (options_.file) {
        file = *options_.file;
    } else {
        file = demoRecordPath();
        status("Playing the demo record " + platform::pathToUtf8(file) + ".");
    }
    lattice_ = std::make_unique<playback::PlaybackLattice>(playback::createPlaybackSource(file));
    const std::uint16_t channels = lattice_->channelCount();

    if (options_.device && *options_.device == audio::CurrentVirtualOutput()->config().id &&
        audio::CurrentVirtualListing() != audio::VirtualListing::Only) {
        audio::UseVirtualOutput(nullptr, audio::VirtualListing::Always);
    }
    const std::vector<audio::EndpointInfo> endpoints = audio::EnumerateRenderEndpoints();
    if (endpoints.empty()) {
        throw std::runtime_error("No active render endpoints found.");
    }
    const audio::EndpointInfo* endpoint = &endpoints.front();
    if (options_.device) {
        const auto found = std::find_if(endpoints.begin(), endpoints.end(),
                                        [&](const audio::EndpointInfo& e) { return e.id == *options_.device; });
        if (found == endpoints.end()) {
            throw std::runtime_error("No active render endpoint has the id \"" + utf8(*options_.device) + "\"");
        }
        endpoint = &*found;
    }
    const std::string name = utf8(endpoint->name);
    const auto virtualOutput = audio::CurrentVirtualOutput();
    if (endpoint->id == virtualOutput->config().id) {
        status(endpoints.size() == 1 && !options_.device
                   ? "No sound card found: playing on the virtual output in real time."
                   : "Playing on the virtual output in real time.");
    }

    std::vector<audio::EndpointFormat> formats;
    try {
        formats = audio::ProbeExactFormats(endpoint->id, channels);
    } catch (const audio::WasapiError& error) {
        if (error.hresult() == platform::kAudioDeviceInUse) {
            throw std::runtime_error("Audio device unavailable: " + name + " is currently in use.");
        }
        throw;
    }
    if (formats.empty()) {
        throw std::runtime_error("Selected endpoint exposes no exact WASAPI Exclusive format for " +
                                 std::to_string(channels) + " channels. Shared fallback is suppressed by policy.");
    }
    const std::size_t first = chooseFormat(formats, options_, remembered, endpoint->id, channels);
    if (!openChain(formats, first, endpoint->id, name, bufferMs, settings.safetyMarginMs)) {
        throw std::runtime_error(
            "No remaining exact output format could initialize. Playback head has been preserved. Refresh to probe "
            "again.");
    }

    meters_.attach(lattice_.get());
    meters_.start();
    platform::RawTerminal terminal;
    const bool keys = options_.interactive && terminal.enter();
    if (keys) {
        status("Keys: space play/pause, s stop, l loop, left/right seek 5 s, q quit.");
    }
    play();

    for (;;) {
        if (keys) {
            const platform::TerminalKey key = terminal.readKey(static_cast<std::uint32_t>(kTick.count()));
            if (key.kind != platform::TerminalKey::Kind::None && !handleKey(key)) {
                break;
            }
        } else {
            std::this_thread::sleep_for(kTick);
        }
        if (output_.TakeEnded()) {
            if (!loop_) {
                lattice_->seekToFrame(0);
                transport_ = Transport::Stopped;
                status("Playback complete. Stylus parked at zero; output chain retained.");
                break;
            }
            lattice_->seekToFrame(0);
            if (!lattice_->prime()) {
                throw std::runtime_error("Playback surrogate could not be primed after stylus return");
            }
            output_.Start();
            status("Stylus lowered. Loop playback restarted from zero.");
        } else if (!output_.IsInitialized()) {
            throw std::runtime_error("Audio error; playback head preserved: " + output_.LastErrorMessage());
        }
        if (keys) {
            liveLine();
        }
    }
    if (lineShown_) {
        out_ << '\n';
    }
    meters_.detach();
    output_.Shutdown();
    return 0;
}

bool parseBufferMs(const std::string& text, double& value) {
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::filesystem::path demoRecordPath() {
    return std::filesystem::temp_directory_path() / "auralith-demo.aur";
}

int playWithOptions(const PlayOptions& options, const audio::FormatsCache& remembered, std::ostream& out,
                    std::ostream& err) {
    try {
        if (!options.file) {
            const std::filesystem::path demo = demoRecordPath();
            std::error_code ignored;
            if (!std::filesystem::exists(demo, ignored)) {
                makeDemoRecord(10.0).save(demo);
            }
        }
        Player player(options, out);
        return player.run(remembered);
    } catch (const std::exception& error) {
        err << "error: " << error.what() << '\n';
        return 1;
    }
}

int runPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (std::find(args.begin(), args.end(), "--dsd") != args.end()) {
        return runPlayDsd(args, out, err);
    }
    PlayOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--device" && hasValue) {
            options.device = platform::utf16FromUtf8(args[++i]);
        } else if (arg == "--format" && hasValue) {
            options.format = args[++i];
        } else if (arg == "--buffer-ms" && hasValue) {
            double value = 0.0;
            if (!parseBufferMs(args[++i], value)) {
                err << "error: --buffer-ms must be a number of milliseconds\n";
                return 1;
            }
            options.bufferMs = value;
        } else if (arg == "--loop") {
            options.loop = true;
        } else if (!options.file && arg.rfind("-", 0) != 0) {
            options.file = platform::pathFromUtf8(arg);
        } else {
            err << kUsage;
            return 2;
        }
    }
    options.interactive = platform::standardInputIsTerminal() && platform::standardOutputIsTerminal();
    return playWithOptions(options, audio::LoadFormatsCache(), out, err);
}

}  // namespace al::cli
