#include "cli/Play.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "app/PlayerWindow.h"
#include "app/DsdEnginePlayback.h"
#include "cli/DemoRecord.h"
#include "cli/PlayDsd.h"
#include "cli/TerminalView.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"
#include "platform/Process.h"
#include "platform/Terminal.h"
#include "platform/Utf16.h"

namespace al::cli {

namespace {

constexpr const char* kUsage =
    "usage: auralith play [FILE] [--device ID] [--format N|LABEL] [--buffer-ms X] [--loop]\n";
constexpr double kSeekStepSeconds = 5.0;
// The player window's poll timer.
constexpr std::chrono::milliseconds kTick{16};
constexpr int kLiveLineEveryTicks = 6;
constexpr const char* kKeys =
    "Keys: space play/pause, s stop, n needle lift, l loop, left/right seek 5 s, f format, d "
    "device, r refresh, "
    "m mute, +/- volume, c colour, t (Alt+F12) statistics, q quit.";

std::string utf8(const std::u16string& text) {
    return platform::utf8FromUtf16(text);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return text;
}

// The index --format names among the probed formats: 1-based, or a label.
std::size_t formatByOption(const std::vector<audio::EndpointFormat>& formats,
                           const std::string& wanted) {
    if (!wanted.empty() && wanted.size() <= 4 &&
        wanted.find_first_not_of("0123456789") == std::string::npos) {
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

// The virtual output the --device option asks for: listed beside the real
// endpoints, with the faults its options name. Returns the endpoint id to
// select.
std::u16string prepareDevice(const std::u16string& device) {
    const std::shared_ptr<audio::VirtualOutput> current = audio::CurrentVirtualOutput();
    const audio::VirtualOutputConfig base = current->config();
    const std::optional<audio::VirtualOutputConfig> wanted =
        audio::ParseVirtualDeviceId(utf8(device), base);
    if (!wanted) {
        return device;
    }
    const audio::VirtualListing listing =
        audio::CurrentVirtualListing() == audio::VirtualListing::Only
            ? audio::VirtualListing::Only
            : audio::VirtualListing::Always;
    if (utf8(device) != utf8(base.id)) {
        audio::UseVirtualOutput(audio::VirtualOutput::create(*wanted), listing);
    } else {
        audio::UseVirtualOutput(nullptr, listing);
    }
    return base.id;
}

class TerminalPlayer {
  public:
    TerminalPlayer(const PlayOptions& options, std::ostream& out, std::ostream& err)
        : options_(options), out_(out), err_(err) {}

    int run(const audio::FormatsCache& remembered);

  private:
    // One key; false to quit.
    bool handleKey(const platform::TerminalKey& key);
    int fail(const std::string& message) {
        view_->EndLiveLine();
        err_ << "error: " << message << '\n';
        return 1;
    }

    const PlayOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    platform::RawTerminal terminal_;
    std::unique_ptr<TerminalView> view_;
    std::unique_ptr<app::PlayerWindow> window_;
};

bool TerminalPlayer::handleKey(const platform::TerminalKey& key) {
    using Kind = platform::TerminalKey::Kind;
    app::PlayerWindow& w = *window_;
    if (key.kind == Kind::Left || key.kind == Kind::Right) {
        const double step = key.kind == Kind::Left ? -kSeekStepSeconds : kSeekStepSeconds;
        w.Execute([&] { w.SeekToSeconds(std::max(0.0, w.positionSeconds() + step)); });
        return true;
    }
    if (key.kind == Kind::Function) {
        if (key.function == 12 && key.alt) {
            w.HandleCommand(app::command::kStatistics);
        }
        return true;
    }
    if (key.kind != Kind::Character) {
        return true;
    }
    switch (key.character) {
        case U' ':
            w.HandleCommand(app::command::kPlay);
            return true;
        case U's':
        case U'S':
            w.HandleCommand(app::command::kStop);
            return true;
        case U'n':
        case U'N':
            // The needle-lift lever: up while the stylus plays or returns, else down.
            w.Execute([&] {
                const bool up =
                    w.transportState() == app::TransportState::Playing || w.stylusReturning();
                w.NeedleLift(up);
            });
            return true;
        case U'l':
        case U'L':
            w.HandleCommand(app::command::kLoop);
            return true;
        case U'f':
        case U'F':
            w.Execute([&] { w.ShowFormatMenu(); });
            return true;
        case U'd':
        case U'D':
            w.Execute([&] { w.ShowEndpointMenu(); });
            return true;
        case U'r':
        case U'R':
            w.HandleCommand(app::command::kRefresh);
            return true;
        case U'm':
        case U'M':
            w.HandleCommand(app::command::kMute);
            return true;
        case U'+':
        case U'=':
            w.HandleCommand(app::command::kVolumeUp);
            return true;
        case U'-':
            w.HandleCommand(app::command::kVolumeDown);
            return true;
        case U'c':
        case U'C':
            w.HandleCommand(app::command::kColor);
            return true;
        case U't':
        case U'T':
            w.HandleCommand(app::command::kStatistics);
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

int TerminalPlayer::run(const audio::FormatsCache& remembered) {
    const bool keys = options_.interactive && terminal_.enter();
    view_ = std::make_unique<TerminalView>(out_, keys ? &terminal_ : nullptr);

    std::filesystem::path file;
    if (options_.file) {
        file = *options_.file;
    } else {
        file = demoRecordPath();
        view_->ShowStatus("Playing the demo record " + platform::pathToUtf8(file) + ".");
    }
    std::optional<std::u16string> deviceId;
    if (options_.device) {
        deviceId = prepareDevice(*options_.device);
    }

    app::PlayerSettings::Files files =
        options_.files
            ? *options_.files
            : app::PlayerSettings::Files{app::SettingsPath(), app::StatePath(), std::nullopt};
    app::PlayerServices services = app::PlayerServices::Defaults();
    services.makeDsd = app::MakeDsdEnginePlayback;
    window_ = std::make_unique<app::PlayerWindow>(*view_, files, std::move(services));
    app::PlayerWindow& w = *window_;
    w.settings().formatsCache() = remembered;
    if (options_.bufferMs) {
        w.OverrideConfiguredBufferMs(*options_.bufferMs);
    }

    w.ListEndpoints(false);
    if (w.endpoints().empty()) {
        return fail("No active render endpoints found.");
    }
    if (deviceId) {
        const auto& endpoints = w.endpoints();
        const auto found =
            std::find_if(endpoints.begin(), endpoints.end(),
                         [&](const audio::EndpointInfo& e) { return e.id == *deviceId; });
        if (found == endpoints.end()) {
            return fail("No active render endpoint has the id \"" + utf8(*deviceId) + "\"");
        }
        if (found - endpoints.begin() != w.selectedEndpoint()) {
            w.SelectEndpoint(static_cast<int>(found - endpoints.begin()));
        }
    }
    const audio::EndpointInfo& endpoint =
        w.endpoints()[static_cast<std::size_t>(w.selectedEndpoint())];
    if (endpoint.id == audio::CurrentVirtualOutput()->config().id) {
        view_->ShowStatus(w.endpoints().size() == 1 && !options_.device
                              ? "No sound card found: playing on the virtual output in real time."
                              : "Playing on the virtual output in real time.");
    }
    if (options_.format) {
        // The format named on the command line becomes the remembered one, so
        // the chain opens at it (and it is kept for the next start).
        const auto source = playback::createPlaybackSource(file);
        const std::vector<audio::EndpointFormat> formats =
            audio::ProbeExactFormats(endpoint.id, source->metadata().channelCount);
        const std::size_t index = formatByOption(formats, *options_.format);
        w.settings().formatsCache().RememberFormat(endpoint.id, formats[index]);
    }

    w.OpenMusic(file);
    if (!w.output().IsInitialized() || w.chainStatus() != 0) {
        return fail(view_->lastStatus());
    }
    if (options_.loop) {
        w.ToggleLoop();
    }
    if (keys) {
        view_->ShowStatus(kKeys);
    }
    w.TogglePlay();

    bool returned = false;
    for (int tick = 0;; ++tick) {
        if (keys) {
            const platform::TerminalKey key =
                terminal_.readKey(static_cast<std::uint32_t>(kTick.count()));
            if (key.kind != platform::TerminalKey::Kind::None && !handleKey(key)) {
                break;
            }
        } else {
            std::this_thread::sleep_for(kTick);
        }
        w.UpdateMeters();
        if (!w.Execute([&] { w.Tick(); }) && !keys) {
            return fail(view_->lastStatus());
        }
        if (view_->TakeGrowthRequest()) {
            w.Execute([&] { w.GrowEndpointBuffer(); });
        }
        if (view_->closeRequested()) {
            break;
        }
        if (!keys) {
            if (view_->lastStatus().rfind("Audio error; playback head preserved: ", 0) == 0) {
                return fail(view_->lastStatus());
            }
            returned = returned || w.stylusReturning();
            if (returned && !w.stylusReturning() &&
                w.transportState() == app::TransportState::Stopped) {
                break;  // played to the end and parked
            }
        } else if (tick % kLiveLineEveryTicks == 0) {
            view_->ShowLiveLine(w);
        }
    }
    view_->EndLiveLine();
    w.Close();
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

int playWithOptions(const PlayOptions& options, const audio::FormatsCache& remembered,
                    std::ostream& out, std::ostream& err) {
    try {
        // The output's own policy check, before any endpoint is touched: a
        // bad request would otherwise be taken for a failing format.
        if (options.bufferMs && !(*options.bufferMs >= 1.0 && *options.bufferMs <= 200.0)) {
            throw std::invalid_argument("Invalid WASAPI buffer policy");
        }
        if (!options.file) {
            const std::filesystem::path demo = demoRecordPath();
            std::error_code ignored;
            if (!std::filesystem::exists(demo, ignored)) {
                makeDemoRecord(10.0).save(demo);
            }
        }
        TerminalPlayer player(options, out, err);
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
    options.interactive =
        platform::standardInputIsTerminal() && platform::standardOutputIsTerminal();
    return playWithOptions(options, audio::LoadFormatsCache(), out, err);
}

}  // namespace al::cli
