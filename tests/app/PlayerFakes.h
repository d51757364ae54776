#pragma once
// A player window under test: a view that records what it was told, a PCM
// output and a volume whose behaviour the test decides, a manual clock, and
// a DSD engine that reports the states the test sets.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/PlayerWindow.h"
#include "output/OutputFixtures.h"
#include "output/WasapiError.h"
#include "platform/AudioEndpoint.h"
#include "support/TempDir.h"

namespace al::app::test {

class RecordingView : public PlayerView {
  public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void ShowPlayButton(const std::string& caption) override { playCaption = caption; }
    void ShowLoopButton(const std::string& caption) override { loopCaption = caption; }
    void ShowMuteButton(const std::string& caption) override { muteCaption = caption; }
    void ShowControlStates(const ControlStates& states) override { controls = states; }
    void ShowLabels(const PlayerLabels& shown) override { labels = shown; }
    void ShowEndpoints(const std::vector<std::string>& items, int selected) override {
        endpointItems = items;
        endpointSelection = selected;
    }
    void ShowStatistics(const std::string& text) override { statistics = text; }
    void ShowVolume(bool controllable, float level) override {
        volumeControllable = controllable;
        volumeLevel = level;
    }
    void RepaintNow() override { ++immediateRepaints; }
    void RequestRepaint() override {}
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        messages.push_back(caption + ": " + text);
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        questions.push_back(text);
        return answerYes;
    }
    int ShowPopupMenu(const std::vector<MenuItem>& items) override {
        lastMenu = items;
        return menuChoice;
    }
    void OpenEndpointList() override { ++endpointListOpened; }
    void PostGrowthRequest() override { ++growthPosts; }
    void RequestClose() override { closeRequested = true; }
    void ShowStatisticsView(bool shown) override { statisticsViewShown = shown; }
    void ShowOpening(bool opening) override { openingShown.push_back(opening); }
    void ShowStageOpen(bool open) override { stageShown = open; }

    // The statuses shown since the last call.
    std::vector<std::string> takeStatuses() {
        std::vector<std::string> taken;
        taken.swap(statuses);
        return taken;
    }
    std::string lastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }

    std::vector<std::string> statuses;
    std::string playCaption;
    std::string loopCaption;
    std::string muteCaption;
    ControlStates controls;
    PlayerLabels labels;
    std::vector<std::string> endpointItems;
    int endpointSelection = -2;
    std::string statistics;
    bool volumeControllable = false;
    float volumeLevel = -1.0f;
    int immediateRepaints = 0;
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    bool answerYes = true;
    std::vector<MenuItem> lastMenu;
    int menuChoice = 0;
    int endpointListOpened = 0;
    int growthPosts = 0;
    bool closeRequested = false;
    bool statisticsViewShown = false;
    std::vector<bool> openingShown;
    bool stageShown = false;
};

// What the fake output was asked and how it answers. Shared with the test so
// it can be changed after the window has made the output.
struct FakeOutputControl {
    // Formats (by rate) refused at Initialize, and whether the device is busy.
    std::set<std::uint32_t> refusedRates;
    bool busy = false;
    // A slow output: RequestPause leaves it running until the test stops it.
    bool slowPause = false;
    // The buffer the endpoint grants at most (0: whatever is asked).
    double grantCapMs = 0.0;
    // Fails every Initialize whose buffer is above this (0: never).
    double refuseAboveMs = 0.0;
    bool startThrows = false;

    bool initialised = false;
    bool running = false;
    bool ended = false;
    std::string error;
    audio::RenderStatistics::Snapshot stats;
    std::vector<std::uint32_t> initializedRates;
    std::vector<double> requestedBufferMs;
    int starts = 0;
    int pauseRequests = 0;
    int shutdowns = 0;
};

class FakeOutput final : public PcmOutput {
  public:
    explicit FakeOutput(std::shared_ptr<FakeOutputControl> control) : c_(std::move(control)) {}

    void Initialize(const std::u16string&, const audio::EndpointFormat& format,
                    playback::PlaybackLattice*, audio::WasapiBufferPolicy policy) override {
        Shutdown();
        c_->requestedBufferMs.push_back(policy.bufferMs);
        if (c_->busy) {
            throw audio::WasapiError(
                "Initialize exact exclusive WASAPI format failed (HRESULT 0x8889000A)",
                platform::kAudioDeviceInUse);
        }
        if (c_->refusedRates.count(format.sampleRate) != 0 ||
            (c_->refuseAboveMs > 0.0 && policy.bufferMs > c_->refuseAboveMs)) {
            throw audio::WasapiError(
                "Initialize exact exclusive WASAPI format failed (HRESULT 0x88890008)",
                platform::kAudioUnsupportedFormat);
        }
        c_->initialised = true;
        c_->initializedRates.push_back(format.sampleRate);
        const double granted =
            c_->grantCapMs > 0.0 ? std::min(policy.bufferMs, c_->grantCapMs) : policy.bufferMs;
        c_->stats = {};
        c_->stats.bufferDurationNs = static_cast<std::uint64_t>(granted * 1e6 + 0.5);
    }
    void Start() override {
        if (!c_->initialised) {
            throw std::logic_error("WASAPI playback chain is not initialized");
        }
        if (c_->startThrows) {
            throw std::runtime_error("Timed out while starting the initialized WASAPI chain");
        }
        ++c_->starts;
        c_->running = true;
        c_->ended = false;
        c_->error.clear();
    }
    std::uint32_t Pause() noexcept override {
        c_->running = false;
        return 0;
    }
    void RequestPause() noexcept override {
        if (!c_->initialised) {
            return;
        }
        ++c_->pauseRequests;
        if (!c_->slowPause) {
            c_->running = false;
        }
    }
    void Shutdown() noexcept override {
        ++c_->shutdowns;
        c_->initialised = false;
        c_->running = false;
        c_->ended = false;
        c_->stats.bufferDurationNs = 0;
    }
    void ResetStatistics() noexcept override {
        const std::uint64_t buffer = c_->stats.bufferDurationNs;
        c_->stats = {};
        c_->stats.bufferDurationNs = buffer;
    }
    bool IsRunning() const noexcept override { return c_->running; }
    bool IsInitialized() const noexcept override { return c_->initialised; }
    bool TakeEnded() noexcept override { return std::exchange(c_->ended, false); }
    audio::RenderStatistics::Snapshot Statistics() const noexcept override { return c_->stats; }
    std::string LastErrorMessage() const override { return c_->error; }

  private:
    std::shared_ptr<FakeOutputControl> c_;
};

struct FakeVolumeControl {
    bool openThrows = false;
    bool hardware = true;
    float level = 0.6f;
    std::vector<float> sets;
};

class FakeVolume final : public VolumeControl {
  public:
    explicit FakeVolume(std::shared_ptr<FakeVolumeControl> control) : c_(std::move(control)) {}
    void Open(const audio::EndpointInfo&) override {
        open_ = false;
        if (c_->openThrows) {
            throw std::runtime_error("Activate IAudioEndpointVolume failed (HRESULT 0x80004005)");
        }
        open_ = true;
    }
    void Close() noexcept override { open_ = false; }
    bool HasHardwareVolume() const noexcept override { return open_ && c_->hardware; }
    void SetLevel(float level) override {
        c_->level = std::clamp(level, 0.0f, 1.0f);
        c_->sets.push_back(c_->level);
    }
    float GetLevel() const override { return c_->level; }

  private:
    std::shared_ptr<FakeVolumeControl> c_;
    bool open_ = false;
};

struct FakeDsdControl {
    audio::DsdEngineStatus status;
    bool playing = false;
    bool cancelled = false;
    bool finished = false;
    bool ended = false;
    std::vector<double> seeks;
    audio::DsdEngineOptions options;
};

class FakeDsd final : public DsdPlayback {
  public:
    explicit FakeDsd(std::shared_ptr<FakeDsdControl> control) : c_(std::move(control)) {}
    bool play() noexcept override { return std::exchange(c_->playing, true); }
    bool pause() noexcept override { return std::exchange(c_->playing, false); }
    void setLoop(bool) noexcept override {}
    void setMute(bool) noexcept override {}
    void seek(double seconds) override { c_->seeks.push_back(seconds); }
    bool cancel() noexcept override {
        c_->cancelled = true;
        return std::exchange(c_->ended, false);
    }
    bool takeEnded() noexcept override { return std::exchange(c_->ended, false); }
    bool hasFinished() const noexcept override { return c_->finished; }
    audio::DsdEngineStatus status() const override { return c_->status; }

  private:
    std::shared_ptr<FakeDsdControl> c_;
};

inline audio::EndpointInfo endpoint(std::u16string id, std::u16string name, bool isDefault) {
    return audio::EndpointInfo{std::move(id), std::move(name), isDefault};
}

// The three exact formats of the tests' endpoint, ascending as probing sorts them.
inline std::vector<audio::EndpointFormat> threeFormats(std::uint16_t channels = 2) {
    return {audio::test::exactFormat(44100, channels, audio::SampleKind::Pcm16),
            audio::test::exactFormat(48000, channels, audio::SampleKind::Pcm24In32),
            audio::test::exactFormat(96000, channels, audio::SampleKind::Float32)};
}

// A player window over the fakes, with its files in a temporary folder.
class PlayerHarness {
  public:
    PlayerHarness() {
        endpoints = {endpoint(u"card", u"Studio DAC", true)};
        formats = threeFormats();
    }

    PlayerServices services() {
        PlayerServices s = PlayerServices::Defaults();
        s.enumerateEndpoints = [this] { return endpoints; };
        s.probeFormats = [this](const std::u16string& id, int channels) {
            ++probes;
            probedChannels.push_back(channels);
            if (probeBusy) {
                throw audio::WasapiError("The selected audio endpoint is currently in use",
                                         platform::kAudioDeviceInUse);
            }
            std::vector<audio::EndpointFormat> list;
            for (audio::EndpointFormat format : formats) {
                if (id == u"card" || id == u"other" || id == u"virtual") {
                    list.push_back(channels == 2
                                       ? format
                                       : audio::test::exactFormat(
                                             format.sampleRate,
                                             static_cast<std::uint16_t>(channels), format.kind));
                }
            }
            return list;
        };
        s.makeOutput = [this] { return std::make_unique<FakeOutput>(output); };
        s.makeVolume = [this] { return std::make_unique<FakeVolume>(volume); };
        s.now = [this] { return now; };
        s.wait = [this](std::int64_t ns) { waited.push_back(ns); };
        s.isVirtualEndpoint = [](const std::u16string& id) { return id == u"virtual"; };
        s.makeDsd = [this](std::shared_ptr<const playback::PlaybackSource>,
                           const audio::DsdEngineOptions& options) {
            auto control = std::make_shared<FakeDsdControl>();
            control->options = options;
            control->status.state = audio::DsdEngineState::Preparing;
            control->status.duration = 0.1;
            control->status.rate = static_cast<std::uint32_t>(options.dsdMultiple) * 44100u;
            dsdEngines.push_back(control);
            return std::make_shared<FakeDsd>(control);
        };
        return s;
    }

    PlayerSettings::Files files() const {
        return PlayerSettings::Files{dir / "AuralithPlayer.ini", dir / "state.ini",
                                     dir / "formats.cfg"};
    }

    PlayerWindow& make() {
        window = std::make_unique<PlayerWindow>(view, files(), services());
        window->Create();
        return *window;
    }

    // A short stereo record at 48 kHz (0.1 s) opened in the window.
    PlayerWindow& makeWithSource(std::size_t frames = 4800) {
        make();
        const std::filesystem::path path = dir / "short.aur";
        if (!std::filesystem::exists(path)) {
            audio::test::makeRecordSource(path, 48000, 2, frames);
        }
        window->OpenMusic(path);
        return *window;
    }

    void advanceMs(double ms) { now += static_cast<std::int64_t>(ms * 1e6); }

    // Ticks every 16 ms for `ms` milliseconds of the manual clock.
    void tickFor(double ms) {
        const std::int64_t until = now + static_cast<std::int64_t>(ms * 1e6);
        while (now < until) {
            now += 16'000'000;
            window->Tick();
        }
    }

    al::test::TempDir dir;
    RecordingView view;
    std::vector<audio::EndpointInfo> endpoints;
    std::vector<audio::EndpointFormat> formats;
    bool probeBusy = false;
    int probes = 0;
    std::vector<int> probedChannels;
    std::shared_ptr<FakeOutputControl> output = std::make_shared<FakeOutputControl>();
    std::shared_ptr<FakeVolumeControl> volume = std::make_shared<FakeVolumeControl>();
    std::vector<std::shared_ptr<FakeDsdControl>> dsdEngines;
    std::int64_t now = 1'000'000'000;
    std::vector<std::int64_t> waited;
    std::unique_ptr<PlayerWindow> window;
};

}  // namespace al::app::test
