#include "app/PlayerWindow.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>

#include "app/PlayerStartup.h"
#include "app/PlayerText.h"
#include "output/VirtualOutput.h"

namespace al::app {

namespace {

constexpr const char* kErrorCaption = "Auralith Player";
constexpr std::int64_t kStreamerAnimationNs = 560'000'000;
constexpr std::int64_t kPowerCloseDelayNs = 500'000'000;
constexpr std::int64_t kIdleFadeNs = 320'000'000;

}  // namespace

PlayerServices PlayerServices::Defaults() {
    PlayerServices services;
    services.enumerateEndpoints = [] { return audio::EnumerateRenderEndpoints(); };
    services.probeFormats = [](const std::u16string& id, int channels) {
        return audio::ProbeExactFormats(id, channels);
    };
    services.makeOutput = [] { return std::make_unique<ExactPcmOutput>(); };
    services.makeVolume = [] { return std::make_unique<EndpointVolumeControl>(); };
    services.openSource = [](const std::filesystem::path& path) {
        return playback::createPlaybackSource(path);
    };
    services.now = [] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
    };
    services.wait = [](std::int64_t ns) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
    };
    services.isVirtualEndpoint = [](const std::u16string& id) {
        return id == audio::CurrentVirtualOutput()->config().id;
    };
    services.listAsioDrivers = [] { return std::vector<AsioDriverEntry>{}; };
    services.isPlainFile = [](const std::filesystem::path& path) {
        std::error_code error;
        return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
    };
    return services;
}

PlayerWindow::PlayerWindow(PlayerView& view, PlayerSettings::Files files, PlayerServices services)
    : view_(view), services_(std::move(services)), settings_(std::move(files)) {
    settings_.LoadSettings();
    configuredBufferMs_ = settings_.audioBuffer().bufferMs;
    currentBufferMs_ = configuredBufferMs_;
    output_ = services_.makeOutput();
    volume_ = services_.makeVolume();
    statisticsText_ = "Ready: \u2014  |  U: 0  |  Fail: 0  |  Buf: \u2014  |  Log: 0";
}

PlayerWindow::~PlayerWindow() {
    Close();
    for (auto& engine : cancellingEngines_) {
        engine->cancel();
    }
}

void PlayerWindow::Create() {
    ListEndpoints(false);
    OpenSelectedOutput(false);
    UpdateLabels();
}

void PlayerWindow::Close() noexcept {
    // The in-window view, the stage and the presentation geometry go first.
    if (views_ != nullptr) {
        views_->Shutdown();
    }
    try {
        PollPlayback();
    } catch (...) {
    }
    if (dsdEngine_) {
        dsdEngine_->cancel();
    }
    output_->Shutdown();
    meters_.detach();
    meters_.stop();
}

bool PlayerWindow::Execute(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        ReportCommandError(error.what());
    } catch (...) {
        ReportCommandError("Unknown error");
    }
    return false;
}

void PlayerWindow::ReportCommandError(const std::string& text) {
    const std::string shown = PrintableText(text);
    view_.ShowMessage(shown, kErrorCaption, MessageIcon::Error);
    SetStatus(shown);
    UpdateControls();
}

void PlayerWindow::HandleCommand(int id) {
    Execute([&] {
        switch (id) {
            case command::kStepDown:
                StepFormat(-1);
                break;
            case command::kStepUp:
                StepFormat(+1);
                break;
            case command::kPlay:
            case command::kPlayAccelerator:
                TogglePlay();
                break;
            case command::kStop:
                Stop();
                break;
            case command::kMute:
            case command::kMuteAccelerator:
                ToggleMute();
                break;
            case command::kRefresh:
                RefreshOutputs();
                break;
            case command::kLoop:
                ToggleLoop();
                break;
            case command::kColor:
                CycleWaveformColor();
                break;
            case command::kStage:
                ToggleStage();
                break;
            case command::kStageView:
                SwitchStageView();
                break;
            case command::kVolumeUp:
                StepVolume(0.025);
                break;
            case command::kVolumeDown:
                StepVolume(-0.025);
                break;
            case command::kStatistics:
                ToggleStatisticsView();
                break;
            default:
                if (id >= command::kFormatMenuFirst && id < command::kFormatMenuFirst + 1000) {
                    ChooseFormat(id - command::kFormatMenuFirst);
                } else if (id >= command::kEndpointMenuFirst &&
                           id < command::kEndpointMenuFirst + 1000) {
                    SelectEndpoint(id - command::kEndpointMenuFirst);
                } else {
                    ApplyDsdOption(id);
                }
                break;
        }
        UpdateControls();
        UpdateLabels();
    });
}

// ---- Presentation ----

void PlayerWindow::SetStatus(const std::string& text) {
    status_ = text;
    view_.ShowStatus(text);
    view_.RequestRepaint();
}

void PlayerWindow::SetPlayCaption(const std::string& caption) {
    playCaption_ = caption;
    view_.ShowPlayButton(caption);
    UpdateControls();
}

bool PlayerWindow::AnyLowerEnabled() const noexcept {
    for (int i = selectedFormat_ - 1; i >= 0; --i) {
        if (!disabledFormats_[static_cast<std::size_t>(i)]) {
            return true;
        }
    }
    return false;
}

bool PlayerWindow::AnyHigherEnabled() const noexcept {
    if (selectedFormat_ < 0) {
        return false;
    }
    for (std::size_t i = static_cast<std::size_t>(selectedFormat_) + 1; i < formats_.size(); ++i) {
        if (!disabledFormats_[i]) {
            return true;
        }
    }
    return false;
}

void PlayerWindow::UpdateControls() {
    ControlStates states;
    const bool free = holdRequest_ == HoldRequest::None && !stylusReturning_ && !chainBusy_;
    const bool formatChosen =
        selectedFormat_ >= 0 && static_cast<std::size_t>(selectedFormat_) < formats_.size();
    if (free && (formatChosen || dsdSelected_)) {
        states.stepDown = dsdSelected_ ? dsdMultiple_ > 64 : AnyLowerEnabled();
        states.stepUp = dsdSelected_ ? dsdMultiple_ < 2048 : AnyHigherEnabled();
    }
    const bool idle =
        transportState_ == TransportState::Stopped && holdRequest_ == HoldRequest::None;
    states.endpointList = idle;
    states.refresh = idle;
    const bool formatUsable =
        formatChosen && !disabledFormats_[static_cast<std::size_t>(selectedFormat_)];
    states.play = source_ && (formatUsable || dsdSelected_) && holdRequest_ == HoldRequest::None &&
                  !chainBusy_;
    states.loop = source_ && !chainBusy_;
    view_.ShowControlStates(states);
}

void PlayerWindow::UpdateLabels() {
    PlayerLabels labels;
    labels.capturedAt = CapturedText();
    labels.playingAt = PlayingAtText();
    labels.chainStatus = dsdSelected_ ? 0 : chainStatus_;
    labels.time = TimeText();
    if (dsdSelected_ && dsdEngine_) {
        // The DSD engine's own clock, in whole seconds.
        const audio::DsdEngineStatus status = dsdEngine_->status();
        labels.time = std::to_string(static_cast<long long>(status.position)) + " / " +
                      std::to_string(static_cast<long long>(status.duration)) + " s";
    }
    const double duration = durationSeconds();
    if (duration > 0.0) {
        labels.trackbar =
            static_cast<int>(std::clamp(positionSeconds() / duration, 0.0, 1.0) * 10000.0);
    }
    view_.ShowLabels(labels);
}

std::string PlayerWindow::CapturedText() const {
    if (!source_) {
        return "Captured At: \u2014";
    }
    const playback::SourceMetadata& meta = source_->metadata();
    if (meta.formatLabel.rfind("DSF / DSD", 0) == 0) {
        return "Source: " + meta.formatLabel;
    }
    std::string text = "Captured At: " + RateLabel(meta.sampleRate);
    if (meta.bitDepth != 0) {
        text += " / " + std::to_string(meta.bitDepth) + "-bit";
    } else if (!meta.formatLabel.empty()) {
        text += " / " + meta.formatLabel;
    }
    if (meta.kind == 0) {
        text += "  \u2022  " + std::to_string(source_->chunkCount()) + " chunks";
    }
    return text;
}

std::string PlayerWindow::PlayingAtText() const {
    if (dsdSelected_) {
        return "Playing At: " + DsdRateLabel();
    }
    if (selectedFormat_ < 0 || static_cast<std::size_t>(selectedFormat_) >= formats_.size()) {
        return "Playing At: \u2014";
    }
    std::string text = "Playing At: " + FormatLabelText(selectedFormat_);
    if (chainStatus_ == 1) {
        text += "  \u2014 INITIALIZING";
    } else if (chainStatus_ == 2) {
        text += "  \u2014 UNAVAILABLE";
    }
    return text;
}

double PlayerWindow::positionSeconds() const {
    if (dsdSelected_ && dsdEngine_) {
        return dsdEngine_->status().position;
    }
    return lattice_ ? lattice_->currentTime() : 0.0;
}

double PlayerWindow::durationSeconds() const {
    if (dsdSelected_ && dsdEngine_) {
        const double duration = dsdEngine_->status().duration;
        if (duration > 0.0) {
            return duration;
        }
    }
    return source_ ? source_->metadata().duration : 0.0;
}

std::string PlayerWindow::TimeText() const {
    if (!source_) {
        return "0:00 / 0:00";
    }
    return ClockText(positionSeconds()) + " / " + ClockText(durationSeconds());
}

std::string PlayerWindow::FormatLabelText(int index) const {
    return Utf8(audio::FormatLabel(formats_[static_cast<std::size_t>(index)]));
}

std::string PlayerWindow::ModeLabel(const audio::EndpointFormat& format) const {
    const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
    if (endpoint != nullptr && services_.isVirtualEndpoint &&
        services_.isVirtualEndpoint(endpoint->id)) {
        return format.sharedFallback ? "Virtual Output shared" : kVirtualModeLabel;
    }
    return Utf8(audio::ModeLabel(format));
}

std::string PlayerWindow::EndpointItemText(std::size_t index) const {
    const audio::EndpointInfo& endpoint = endpoints_[index];
    return Utf8(endpoint.name) + (endpoint.isDefault ? "  (Default)" : "");
}

// ---- Opening music ----

void PlayerWindow::OpenMusic(const std::filesystem::path& path) {
    struct OpeningGuard {
        PlayerWindow& window;
        ~OpeningGuard() {
            window.opening_ = false;
            window.view_.ShowOpening(false);
            window.view_.RequestRepaint();
        }
    };
    opening_ = true;
    view_.ShowOpening(true);
    view_.RepaintNow();
    OpeningGuard guard{*this};

    std::shared_ptr<const playback::PlaybackSource> source = services_.openSource(path);
    auto lattice = std::make_unique<playback::PlaybackLattice>(source);
    if (!lattice->prime()) {
        throw std::runtime_error("Playback geometry could not be primed for the new source");
    }
    // The views' own geometry. A graphics failure does not stop the music:
    // its text is shown once the source is in.
    std::string viewsFailure;
    if (views_ != nullptr) {
        try {
            views_->SourceOpened(path, source);
        } catch (const std::exception& error) {
            viewsFailure = PrintableText(error.what());
        }
    }

    // Reset the transport before the new source is installed.
    PollPlayback();
    DiscardDsdEngine();
    PollPlayback();
    output_->Shutdown();
    CancelStylusReturn();
    transportState_ = TransportState::Stopped;
    holdRequest_ = HoldRequest::None;
    SetPlayCaption("Play");

    meters_.detach();
    lattice->setMuted(muted_);
    lattice->requestSnapGain();
    lattice->setLoopAhead(false);
    lattice_.reset();
    source_ = std::move(source);
    lattice_ = std::move(lattice);
    controlPoints_ = source_->metadata().kind == 0 ? source_->controlPointCount() : 0;
    currentBufferMs_ = configuredBufferMs_;
    ResetBufferingCounters();
    meters_.attach(lattice_.get());
    meters_.start();

    openedFile_ = path;
    OpenSelectedOutput(false);
    if (selectedFormat_ >= 0 && output_->IsInitialized()) {
        const bool record = source_->metadata().kind == 0;
        const audio::EndpointFormat& format = formats_[static_cast<std::size_t>(selectedFormat_)];
        SetStatus(std::string(record ? "Record ready. " + std::to_string(controlPoints_) + " control points; "
                                     : "WAV DIRECT ready. ") +
                  "Playback chain initialized at " + FormatLabelText(selectedFormat_) + " \u2014 " +
                  ModeLabel(format) + ".");
    }
    if (!viewsFailure.empty()) {
        SetStatus(viewsFailure);
    }
    UpdateGeometryViews();
    UpdateControls();
    UpdateLabels();
}

void PlayerWindow::OpenHandedOver(const std::filesystem::path& path) {
    const bool acceptable = playback::isSupportedPlaybackPath(path) && services_.isPlainFile &&
                            services_.isPlainFile(path);
    if (!acceptable) {
        throw std::runtime_error(kHandoffRefusedText);
    }
    const bool wasPlaying = transportState_ == TransportState::Playing;
    OpenMusic(path);
    if (wasPlaying) {
        TogglePlay();
    }
}

// ---- Hardware volume ----

bool PlayerWindow::volumeControllable() const noexcept {
    return volume_->HasHardwareVolume();
}

void PlayerWindow::RefreshVolumeControl() {
    if (dsdSelected_ && !asioDriver_.empty()) {
        volume_->Close();
        volumeRead_ = false;
        view_.ShowVolume(false, 0.0f);
        return;
    }
    volumeDragging_ = false;
    firstRunVolumeFailed_ = false;
    volumeRead_ = false;
    view_.ShowMuteButton(muted_ ? "Unmute" : "Mute");
    const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
    try {
        if (endpoint == nullptr) {
            throw std::runtime_error("No valid playback endpoint is selected");
        }
        volume_->Open(*endpoint);
        if (volume_->HasHardwareVolume()) {
            if (settings_.firstRunVolumePending()) {
                volume_->SetLevel(0.1f);
                volumeCurrent_ = volumeTarget_ = 0.1f;
            } else {
                volumeCurrent_ = volumeTarget_ = volume_->GetLevel();
            }
            volumeRead_ = true;
            shownVolume_ = volumeCurrent_;
        }
        view_.ShowVolume(volume_->HasHardwareVolume(), shownVolume_);
    } catch (const std::exception&) {
        volume_->Close();
        view_.ShowVolume(false, shownVolume_);
        if (settings_.firstRunVolumePending()) {
            firstRunVolumeFailed_ = true;
            SetStatus(
                "First-run volume safety could not set the endpoint to 10%. Playback is blocked "
                "until the endpoint "
                "can be controlled.");
        }
    }
}

void PlayerWindow::VolumeFailed(const std::exception& error) {
    volumeTarget_ = volumeCurrent_;
    SetStatus("Hardware volume control stopped: " + PrintableText(error.what()));
}

void PlayerWindow::StepVolume(double step) {
    if (!volume_->HasHardwareVolume()) {
        return;
    }
    settings_.MarkFirstRunVolumeDone();
    const float base = volumeDragging_ ? volumeCurrent_ : volumeTarget_;
    volumeTarget_ = static_cast<float>(std::clamp(static_cast<double>(base) + step, 0.0, 1.0));
}

void PlayerWindow::BeginVolumeDrag() {
    if (!volume_->HasHardwareVolume()) {
        return;
    }
    try {
        volumeCurrent_ = volumeTarget_ = volume_->GetLevel();
        volumeRead_ = true;
        volumeDragging_ = true;
    } catch (const std::exception& error) {
        VolumeFailed(error);
    }
}

void PlayerWindow::DragVolume(double level) {
    if (!volume_->HasHardwareVolume()) {
        return;
    }
    settings_.MarkFirstRunVolumeDone();
    const float value = static_cast<float>(std::clamp(level, 0.0, 1.0));
    try {
        volume_->SetLevel(value);
        volumeCurrent_ = volumeTarget_ = value;
        volumeRead_ = true;
        shownVolume_ = value;
        view_.ShowVolume(true, value);
        view_.RequestRepaint();
    } catch (const std::exception& error) {
        VolumeFailed(error);
    }
}

void PlayerWindow::EndVolumeDrag(double level) {
    DragVolume(level);
    volumeDragging_ = false;
}

void PlayerWindow::ApplyVolumeRamp(std::int64_t now) {
    const double dt =
        lastTick_ == 0 ? 0.0 : std::clamp(static_cast<double>(now - lastTick_) / 1e9, 0.0, 0.05);
    lastTick_ = now;
    if (!volumeRead_ || volumeDragging_ || !volume_->HasHardwareVolume()) {
        return;
    }
    const double change = static_cast<double>(volumeTarget_) - volumeCurrent_;
    const double step = std::clamp(change, -1.8 * dt, 1.8 * dt);
    if (std::fabs(step) <= 0.00005) {
        return;
    }
    const float next = static_cast<float>(volumeCurrent_ + step);
    try {
        volume_->SetLevel(next);
        volumeCurrent_ = next;
        shownVolume_ = next;
        view_.ShowVolume(true, next);
        view_.RequestRepaint();
    } catch (const std::exception& error) {
        VolumeFailed(error);
    }
}

void PlayerWindow::ApplyFirstRunVolume() {
    if (!settings_.firstRunVolumePending() || !volume_->HasHardwareVolume()) {
        return;
    }
    volume_->SetLevel(0.1f);
    volumeCurrent_ = volumeTarget_ = 0.1f;
    volumeRead_ = true;
    shownVolume_ = 0.1f;
    view_.ShowVolume(true, 0.1f);
    settings_.MarkFirstRunVolumeDone();
}

// ---- Mute, meters, colours, power ----

void PlayerWindow::ToggleMute() {
    muted_ = !muted_;
    if (lattice_) {
        lattice_->setMuted(muted_);
        if (transportState_ != TransportState::Playing) {
            lattice_->requestSnapGain();
        }
    }
    if (dsdEngine_) {
        dsdEngine_->setMute(muted_);
    }
    if (views_ != nullptr) {
        views_->SetMuted(muted_);
    }
    view_.ShowMuteButton(muted_ ? "Unmute" : "Mute");
    view_.RequestRepaint();
}

void PlayerWindow::UpdateMeters() {
    float levels[2] = {0.0f, 0.0f};
    if (dsdSelected_ && dsdEngine_) {
        const auto status = dsdEngine_->status();
        levels[0] = status.levels[0];
        levels[1] = status.levels[1];
    } else if (lattice_) {
        const playback::MeterSnapshot snapshot = meters_.takeSnapshot();
        meterDrops_ = snapshot.skippedRecords;
        if (!snapshot.peaks.empty()) {
            levels[0] = snapshot.peaks[0];
            levels[1] = snapshot.peaks.size() > 1 ? snapshot.peaks[1] : snapshot.peaks[0];
        }
    }
    meterLevels_[0] = levels[0];
    meterLevels_[1] = levels[1];
}

void PlayerWindow::CycleWaveformColor() {
    const int colour = settings_.CycleWaveformColor();
    if (views_ != nullptr) {
        views_->SetPalette(colour);
        UpdateGeometryViews();
    }
    view_.RequestRepaint();
}

void PlayerWindow::PressPower() {
    powerPressed_ = true;
    powerCloseAt_ = services_.now() + kPowerCloseDelayNs;
    view_.RequestRepaint();
}

// ---- Poll tick ----

void PlayerWindow::Tick(bool visibleForStatistics) {
    const std::int64_t now = services_.now();
    meterActivityBefore_ = meterActivity_;
    meterActivity_ = meterLevels_[0] > 0.00001f || meterLevels_[1] > 0.00001f;
    ApplyVolumeRamp(now);
    PollPlayback();
    AdvanceStylusReturn();

    const bool active = (source_ && transportState_ == TransportState::Playing) ||
                        stylusReturning_ ||
                        (dsdEngine_ && dsdEngine_->status().position > 0.000001);
    if (active != active_) {
        active_ = active;
        fadeStart_ = now;
        fade_ = 0.0;
    }
    if (fade_ < 1.0) {
        const double x = std::clamp(static_cast<double>(now - fadeStart_) / kIdleFadeNs, 0.0, 1.0);
        fade_ = x * x * (3.0 - 2.0 * x);
    }
    if (streamerAnimating_ && now - streamerAnimationStart_ > kStreamerAnimationNs - 1) {
        streamerAnimating_ = false;
        view_.RequestRepaint();
    }
    MirrorDsdStatus();
    if (!dsdSelected_) {
        CompleteHold();
    }
    UpdateTimeDisplay();
    if (visibleForStatistics) {
        RefreshStatisticsView();
    }
    UpdateGeometryViews();
    if (powerPressed_ && !closeRequested_ && now >= powerCloseAt_) {
        closeRequested_ = true;
        view_.RequestClose();
    }
    UpdateControls();
}

void PlayerWindow::UpdateTimeDisplay() {
    if (!dsdSelected_) {
        UpdateLabels();
    }
}

// ---- Faceplate ----

FaceplateState PlayerWindow::BuildFaceplateState() const {
    FaceplateState state;
    const bool formatChosen =
        selectedFormat_ >= 0 && static_cast<std::size_t>(selectedFormat_) < formats_.size();
    const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
    state.endpointText = endpoint != nullptr
                             ? EndpointItemText(static_cast<std::size_t>(selectedEndpoint_))
                             : "No playback endpoint";
    if (dsdSelected_ && !asioDriver_.empty()) {
        for (const AsioDriverEntry& driver : asioDrivers_) {
            if (driver.clsid == asioDriver_) {
                state.endpointText = Utf8(driver.name);
            }
        }
    }
    state.capturedText = CapturedText();
    state.timeText = TimeText();
    const double duration = durationSeconds();
    state.playFraction = duration > 0.0 ? std::clamp(positionSeconds() / duration, 0.0, 1.0) : 0.0;
    if (stylusReturning_) {
        state.playFraction = tonearmPosition_;
    }

    audio::DsdEngineStatus dsd;
    const bool engine = dsdSelected_ && dsdEngine_ != nullptr;
    if (engine) {
        dsd = dsdEngine_->status();
    }
    const bool preparing = engine && dsd.state == audio::DsdEngineState::Preparing;

    if (dsdSelected_) {
        state.playingAtText = "Playing At: " + DsdRateLabel();
        state.modeText = asioDriver_.empty() ? "DSD / DoP" : "Native ASIO DSD";
        state.rateText = DsdRateLabel();
    } else {
        state.playingAtText = PlayingAtText();
        state.modeText = formatChosen
                             ? ModeLabel(formats_[static_cast<std::size_t>(selectedFormat_)])
                             : "WASAPI EXCLUSIVE";
        state.rateText =
            formatChosen
                ? std::to_string(formats_[static_cast<std::size_t>(selectedFormat_)].sampleRate) +
                      " Hz"
                : "\u2014";
    }

    if (!source_) {
        state.readyText = "Open an audio recording";
    } else {
        state.readyText = source_->metadata().kind == 0 ? "Record ready" : "WAV DIRECT ready";
    }
    const bool inWindowView = views_ != nullptr && views_->inWindowActive();
    if (inWindowView) {
        state.readyText = views_->rendererLabel() + " geometry active";
    } else if (stageOpen()) {
        state.readyText = views_->stageSceneName();
    }
    if (preparing) {
        state.readyText = "PLEASE WAIT";
    }

    state.hintText = formatChosen ? "Evaluate at " + FormatLabelText(selectedFormat_)
                                  : "Select an exact output format";
    if (!source_) {
        state.hintText = "Choose a music recording";
    } else if (chainStatus_ == 2) {
        state.hintText = "Selected output contract unavailable";
    } else if (chainStatus_ == 1) {
        state.hintText = "Opening exact output contract";
    }
    if (inWindowView) {
        state.hintText = "Actual playback geometry\nEvaluated by " + views_->rendererLabel() + " GPU";
    } else if (stageOpen()) {
        state.hintText = "Actual playback geometry\nF9 changes view";
    }
    if (dsdSelected_) {
        state.hintText = "Press Play to prepare the whole track";
        if (engine) {
            if (preparing) {
                state.hintText = "Preparing " +
                                 std::to_string(static_cast<int>(dsd.progress * 100.0)) +
                                 "% in RAM";
            } else if (dsd.state == audio::DsdEngineState::Failed) {
                state.hintText = "DSD output unavailable";
            } else {
                state.hintText = "Whole DSD track ready in RAM";
            }
        }
    }

    state.playCaption =
        preparing ? "Cancel" : (transportState_ == TransportState::Playing ? "Pause" : "Play");
    state.loopCaption = loopOn_ ? "Loop: On" : "Loop: Off";
    state.muteCaption = muted_ ? "Unmute" : "Mute";
    state.opening = opening_;
    state.sourceLoaded = source_ != nullptr;
    state.wavDirect = source_ && source_->metadata().kind != 0;
    state.chainInitialised = dsdSelected_ ? source_ != nullptr : output_->IsInitialized();
    state.loopOn = loopOn_;
    state.muted = muted_;
    state.preparing = preparing;
    if (dsdSelected_) {
        state.initialising = false;
        state.unavailable = engine && dsd.state == audio::DsdEngineState::Failed;
    } else {
        state.initialising = chainStatus_ == 1;
        state.unavailable = chainStatus_ == 2;
    }
    state.volumeControllable = volume_->HasHardwareVolume();
    state.volumeLevel = volumeRead_ ? volumeCurrent_ : shownVolume_;
    state.powerPressed = powerPressed_;
    state.meterActivity = meterActivity_;
    state.stageOpen = stageOpen();
    state.meterLevels[0] = meterLevels_[0];
    state.meterLevels[1] = meterLevels_[1];

    if (source_) {
        if (stylusReturning_) {
            state.stylusState = stylusLowering_ ? 2 : 1;
        } else if (transportState_ == TransportState::Playing) {
            state.stylusState = 2;
        } else {
            state.stylusState = positionSeconds() > 0.000001 ? 1 : 0;
        }
    }
    const bool atZero = source_ && positionSeconds() <= 0.000001 &&
                        transportState_ != TransportState::Playing && !stylusReturning_;
    state.parkedStrength = (!source_ || atZero) ? static_cast<float>(fade_) : 0.0f;

    state.streamerShown = !settings_.streamerRemoved() || streamerAnimating_;
    if (streamerAnimating_) {
        const double t = static_cast<double>(services_.now() - streamerAnimationStart_) / 0.56e9;
        state.tagRemoval = static_cast<float>(std::clamp(t, 0.0, 1.0));
    }
    return state;
}

}  // namespace al::app

namespace al::app {

bool PlayerWindow::FaceplateMoving() const noexcept {
    const bool ramping = volumeRead_ && !volumeDragging_ &&
                         std::fabs(static_cast<double>(volumeTarget_) - volumeCurrent_) > 0.00005;
    return transportState_ == TransportState::Playing || stylusReturning_ || meterActivity_ ||
           meterActivityBefore_ || ramping || streamerAnimating_ || fade_ < 1.0;
}

}  // namespace al::app
