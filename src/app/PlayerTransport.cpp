// The transport: play, pause, stop, loop and the needle lift in the
// turntable's terms. At the end of a track the stylus is lifted and returns
// to zero in a 2.4 s animation; with Loop on it is lowered (0.35 s) and
// playback restarts. Pause and Stop hold the output at once and are confirmed
// once the render thread has stopped; the chain stays initialised.

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "app/PlayerText.h"
#include "app/PlayerWindow.h"

namespace al::app {

namespace {

constexpr double kReturnSeconds = 2.4;
constexpr double kLoweringSeconds = 0.35;

}  // namespace

void PlayerWindow::CancelStylusReturn() noexcept {
    stylusReturning_ = false;
    stylusLowering_ = false;
    restartAfterReturn_ = false;
    phaseStart_ = 0;
    const double duration = source_ ? source_->metadata().duration : 0.0;
    if (!lattice_ || !(duration > 0.0)) {
        tonearmPosition_ = 0.0;
        return;
    }
    tonearmPosition_ = std::clamp(positionSeconds() / duration, 0.0, 1.0);
}

void PlayerWindow::StartStreamerRemoval() {
    if (settings_.streamerRemoved()) {
        return;
    }
    streamerAnimating_ = true;
    streamerAnimationStart_ = services_.now();
    settings_.MarkStreamerRemoved();
}

void PlayerWindow::TogglePlay() {
    if (dsdSelected_) {
        TogglePlayDsd();
        return;
    }
    if (!cancellingEngines_.empty()) {
        SetStatus("DSD preparation is cancelling. Please wait, then press Play.");
        return;
    }
    if (!lattice_ || !FormatSelectable(selectedFormat_) || chainBusy_) {
        return;
    }
    PollPlayback();
    CompleteHold();
    if (holdRequest_ != HoldRequest::None) {
        return;
    }
    if (settings_.firstRunVolumePending() && firstRunVolumeFailed_) {
        throw std::runtime_error(
            "First-run hardware volume safety could not be applied. Playback is blocked rather "
            "than starting at an "
            "unknown level.");
    }
    if (stylusReturning_) {
        CancelStylusReturn();
        lattice_->seekToFrame(0);
        if (!lattice_->prime()) {
            throw std::runtime_error(
                "Playback surrogate could not be primed after cancelling stylus return");
        }
    }
    if (transportState_ == TransportState::Playing) {
        RequestHold(HoldRequest::Pause);
        return;
    }
    if (!output_->IsInitialized()) {
        if (!InitializeChain(selectedFormat_, -1, transportState_, lattice_->currentTime())) {
            return;
        }
    }
    const std::int64_t seek = lattice_->pendingSeek();
    const std::uint64_t at = seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice_->position();
    if (at >= lattice_->totalFrames()) {
        lattice_->seekToFrame(0);
        if (!lattice_->prime()) {
            throw std::runtime_error("Playback surrogate could not be primed");
        }
    }
    ApplyFirstRunVolume();
    lattice_->setHold(false);
    try {
        output_->Start();
    } catch (...) {
        lattice_->setHold(true);
        throw;
    }
    StartStreamerRemoval();
    transportState_ = TransportState::Playing;
    SetPlayCaption("Pause");
    const audio::EndpointFormat& format = formats_[static_cast<std::size_t>(selectedFormat_)];
    SetStatus(ModeLabel(format) + " playback at exact contract " +
              FormatLabelText(selectedFormat_) + ".");
}

void PlayerWindow::RequestHold(HoldRequest kind) {
    PollPlayback();
    if (holdRequest_ == HoldRequest::Stop) {
        return;
    }
    if (kind == HoldRequest::Pause &&
        (holdRequest_ == HoldRequest::Pause ||
         (holdRequest_ == HoldRequest::None && transportState_ != TransportState::Playing))) {
        return;
    }
    CancelStylusReturn();
    if (lattice_) {
        lattice_->setHold(true);
    }
    holdRequest_ = kind;
    output_->RequestPause();
    transportState_ = kind == HoldRequest::Stop ? TransportState::Stopped : TransportState::Paused;
    SetPlayCaption("Play");
    SetStatus(kind == HoldRequest::Stop
                  ? "Stop requested. Output held immediately; returning the playback head to zero."
                  : "Pause requested. Output held immediately at the current position.");
    CompleteHold();
}

void PlayerWindow::CompleteHold() {
    if (holdRequest_ == HoldRequest::None || output_->IsRunning()) {
        return;
    }
    const HoldRequest kind = holdRequest_;
    holdRequest_ = HoldRequest::None;
    if (kind == HoldRequest::Stop && lattice_) {
        lattice_->seekToFrame(0);
    }
    SetPlayCaption("Play");
    SetStatus(kind == HoldRequest::Stop
                  ? "Stopped. Playback head returned to zero; output chain retained."
                  : "Paused. Exact output chain remains initialized.");
    UpdateLabels();
}

void PlayerWindow::Stop() {
    if (!dsdSelected_) {
        RequestHold(HoldRequest::Stop);
        return;
    }
    PollPlayback();
    CancelStylusReturn();
    dsdUserStopped_ = true;
    if (dsdEngine_) {
        if (dsdEngine_->status().state == audio::DsdEngineState::Preparing) {
            DiscardDsdEngine();
        } else {
            dsdEngine_->pause();
            dsdEngine_->seek(0.0);
        }
    }
    dsdPosition_ = 0.0;
    if (lattice_) {
        lattice_->seekToFrame(0);
    }
    SetStatus("Stopped. Playback head returned to zero; output chain retained.");
    transportState_ = TransportState::Stopped;
    SetPlayCaption("Play");
}

void PlayerWindow::HoldStylusUp() {
    if (stylusReturning_) {
        CancelStylusReturn();
        transportState_ = TransportState::Stopped;
        SetPlayCaption("Play");
        SetStatus("Stylus held up. Playback remains stopped.");
        return;
    }
    if (dsdSelected_) {
        PollPlayback();
        if (dsdEngine_) {
            dsdPosition_ = dsdEngine_->status().position;
            dsdEngine_->pause();
        }
        transportState_ = TransportState::Paused;
        SetPlayCaption("Play");
        return;
    }
    RequestHold(HoldRequest::Pause);
}

void PlayerWindow::NeedleLift(bool up) {
    if (!source_) {
        return;
    }
    if (stylusReturning_ && stylusLowering_) {
        if (up) {
            CancelStylusReturn();
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            SetStatus("Needle Lift held Up. Stylus parked at zero.");
        }
        return;
    }
    if (stylusReturning_) {
        if (!up) {
            TogglePlay();
        }
        return;
    }
    if (up) {
        HoldStylusUp();
    } else if (transportState_ != TransportState::Playing && holdRequest_ == HoldRequest::None) {
        TogglePlay();
    }
}

void PlayerWindow::ToggleLoop() {
    loopOn_ = !loopOn_;
    if (lattice_) {
        lattice_->setLoopAhead(false);
    }
    if (stylusReturning_) {
        restartAfterReturn_ = loopOn_;
    }
    view_.ShowLoopButton(loopOn_ ? "Loop: On" : "Loop: Off");
    view_.RequestRepaint();
}

void PlayerWindow::PollPlayback() {
    CompleteHold();
    if (!source_ || !lattice_) {
        return;
    }
    const bool dsd = dsdSelected_ && dsdEngine_ != nullptr;
    bool ended = false;
    std::string error;
    if (dsd) {
        ended = dsdEngine_->takeEnded();
        error = dsdEngine_->status().failureText;
    } else {
        ended = !output_->IsRunning() && output_->TakeEnded();
        error = output_->LastErrorMessage();
    }
    if (!error.empty() &&
        (transportState_ == TransportState::Playing || (dsd && !dsdErrorReported_))) {
        transportState_ = TransportState::Stopped;
        SetPlayCaption("Play");
        SetStatus("Audio error; playback head preserved: " + PrintableText(error));
        return;
    }
    // A record changed under its mapping only yields silence from then on;
    // stop instead of playing it out and say why.
    if (!dsd && transportState_ == TransportState::Playing) {
        const std::string changed = source_->fileChangedText();
        if (!changed.empty()) {
            output_->Pause();
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            SetStatus("Audio error; playback head preserved: " + changed);
            return;
        }
    }
    if (ended && !stylusReturning_) {
        if (dsd) {
            dsdEngine_->pause();
            dsdUserStopped_ = true;
        } else {
            output_->Pause();
        }
        transportState_ = TransportState::Stopped;
        stylusReturning_ = true;
        stylusLowering_ = false;
        restartAfterReturn_ = loopOn_;
        tonearmPosition_ = 1.0;
        phaseStart_ = services_.now();
        SetPlayCaption("Play");
        SetStatus(
            restartAfterReturn_
                ? "Playback complete. Stylus lifted; returning to zero before the loop restarts."
                : "Playback complete. Stylus lifted; returning to zero.");
    }
}

void PlayerWindow::AdvanceStylusReturn() {
    if (!stylusReturning_ || !lattice_) {
        return;
    }
    const double t = static_cast<double>(services_.now() - phaseStart_) / 1e9;
    if (!stylusLowering_) {
        double x = std::clamp(t / kReturnSeconds, 0.0, 1.0);
        tonearmPosition_ = std::isfinite(x) ? 1.0 - x * x * (3.0 - 2.0 * x) : 1.0;
        if (!std::isfinite(x)) {
            x = 0.0;
        }
        view_.RequestRepaint();
        if (x < 1.0) {
            return;
        }
        tonearmPosition_ = 0.0;
        if (dsdSelected_ && dsdEngine_) {
            dsdEngine_->seek(0.0);
            dsdPosition_ = 0.0;
            dsdUserStopped_ = true;
        }
        lattice_->seekToFrame(0);
        if (!lattice_->prime()) {
            throw std::runtime_error("Playback surrogate could not be primed after stylus return");
        }
        if (restartAfterReturn_ && loopOn_) {
            stylusLowering_ = true;
            phaseStart_ = services_.now();
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            SetStatus("Stylus returned to zero and is lowering for loop playback.");
        } else {
            stylusReturning_ = false;
            restartAfterReturn_ = false;
            phaseStart_ = 0;
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            SetStatus("Playback complete. Stylus parked at zero; output chain retained.");
        }
        return;
    }
    if (restartAfterReturn_ && loopOn_) {
        if (t < kLoweringSeconds) {
            return;
        }
        stylusReturning_ = false;
        stylusLowering_ = false;
        phaseStart_ = 0;
        restartAfterReturn_ = false;
        if (dsdSelected_ && dsdEngine_) {
            dsdEngine_->play();
            dsdUserStopped_ = false;
        } else {
            lattice_->setHold(false);
            output_->Start();
        }
        transportState_ = TransportState::Playing;
        SetPlayCaption("Pause");
        SetStatus("Stylus lowered. Loop playback restarted from zero.");
        return;
    }
    stylusReturning_ = false;
    stylusLowering_ = false;
    restartAfterReturn_ = false;
    phaseStart_ = 0;
    transportState_ = TransportState::Stopped;
    SetPlayCaption("Play");
    SetStatus("Loop cancelled. Stylus parked at zero; output chain retained.");
}

void PlayerWindow::SeekToSeconds(double seconds) {
    PollPlayback();
    CancelStylusReturn();
    if (!std::isfinite(seconds)) {
        seconds = 0.0;
    }
    if (dsdSelected_ && dsdEngine_) {
        dsdEngine_->seek(seconds);
        dsdPosition_ = std::max(seconds, 0.0);
        dsdUserStopped_ = false;
    } else if (lattice_) {
        lattice_->seekToTime(seconds);
    }
    CancelStylusReturn();
    UpdateLabels();
}

void PlayerWindow::SeekToFraction(double fraction) {
    if (!std::isfinite(fraction)) {
        fraction = 0.0;
    }
    SeekToSeconds(std::clamp(fraction, 0.0, 1.0) * durationSeconds());
}

// ---- DSD ----

void PlayerWindow::DiscardDsdEngine() {
    if (!dsdEngine_) {
        return;
    }
    PollPlayback();
    CancelStylusReturn();
    std::shared_ptr<DsdPlayback> engine = dsdEngine_;
    if (!engine) {
        return;
    }
    dsdEngine_.reset();
    const double position = engine->status().position;
    if (lattice_) {
        lattice_->seekToTime(position);
    }
    engine->cancel();
    cancellingEngines_.push_back(std::move(engine));
    dsdErrorReported_ = false;
}

void PlayerWindow::PruneCancellingEngines() {
    std::erase_if(cancellingEngines_,
                  [](const std::shared_ptr<DsdPlayback>& engine) { return engine->hasFinished(); });
}

void PlayerWindow::TogglePlayDsd() {
    if (!source_ || chainBusy_) {
        return;
    }
    PollPlayback();
    if (asioDriver_.empty() && settings_.firstRunVolumePending() && firstRunVolumeFailed_) {
        throw std::runtime_error("First-run hardware volume safety could not be applied");
    }
    if (stylusReturning_) {
        CancelStylusReturn();
        if (lattice_) {
            lattice_->seekToFrame(0);
        }
        if (dsdEngine_) {
            dsdEngine_->seek(0.0);
        }
        dsdUserStopped_ = true;
    }
    if (dsdEngine_) {
        const audio::DsdEngineStatus status = dsdEngine_->status();
        if (status.state == audio::DsdEngineState::Preparing) {
            DiscardDsdEngine();
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            SetStatus("Cancelling DSD preparation...");
            return;
        }
        if (transportState_ == TransportState::Playing) {
            dsdPosition_ = status.position;
            dsdEngine_->pause();
            dsdUserStopped_ = true;
            transportState_ = TransportState::Paused;
            SetPlayCaption("Play");
            return;
        }
        if (status.state == audio::DsdEngineState::Stopped ||
            status.state == audio::DsdEngineState::Failed) {
            DiscardDsdEngine();
        } else {
            if (dsdPosition_ == 0.0 || status.state == audio::DsdEngineState::Ended) {
                dsdEngine_->seek(0.0);
                dsdPosition_ = 0.0;
            }
            dsdEngine_->play();
            dsdUserStopped_ = false;
            transportState_ = TransportState::Playing;
            SetPlayCaption("Pause");
            return;
        }
    }
    PruneCancellingEngines();
    if (!cancellingEngines_.empty()) {
        SetStatus("Previous DSD preparation is cancelling. Please wait, then press Play.");
        return;
    }
    audio::DsdEngineOptions options;
    options.dsdMultiple = static_cast<std::int32_t>(DsdRate() / 44100);
    options.dsfNative = preserveDsf_;
    options.cutoff = cutoff18k_ && !(preserveDsf_ && SourceIsDsf());
    options.asioDriver = asioDriver_;
    if (asioDriver_.empty()) {
        const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
        if (endpoint == nullptr) {
            throw std::runtime_error("Select a DSD-capable output device");
        }
        options.endpointId = endpoint->id;
        options.endpointName = endpoint->name;
    }
    const double position = positionSeconds();
    output_->Shutdown();
    holdRequest_ = HoldRequest::None;
    if (asioDriver_.empty()) {
        ApplyFirstRunVolume();
    }
    if (!services_.makeDsd) {
        throw std::runtime_error("DSD output is not available in this build");
    }
    std::shared_ptr<DsdPlayback> engine = services_.makeDsd(source_, options);
    dsdEngine_ = engine;
    dsdPosition_ = position;
    dsdUserStopped_ = false;
    engine->seek(position);
    engine->setMute(muted_);
    engine->setLoop(false);
    engine->play();
    dsdErrorReported_ = false;
    transportState_ = TransportState::Paused;
    SetStatus("Preparing the complete DSD track in RAM. Play or Stop cancels preparation.");
}

void PlayerWindow::MirrorDsdStatus() {
    PruneCancellingEngines();
    if (cancellingEngines_.empty() && reopenAfterCancel_) {
        reopenAfterCancel_ = false;
        OpenSelectedOutput(false);
    }
    if (!dsdSelected_ || !dsdEngine_) {
        return;
    }
    dsdEngine_->setMute(muted_);
    dsdEngine_->setLoop(false);
    const audio::DsdEngineStatus status = dsdEngine_->status();
    PlayerLabels labels;
    labels.capturedAt = CapturedText();
    labels.playingAt = "Playing At: " + DsdRateLabel();
    labels.time = std::to_string(static_cast<long long>(status.position)) + " / " +
                  std::to_string(static_cast<long long>(status.duration)) + " s";
    if (status.duration > 0.0) {
        labels.trackbar =
            static_cast<int>(std::clamp(status.position / status.duration, 0.0, 1.0) * 10000.0);
    }
    view_.ShowLabels(labels);
    if (stylusReturning_) {
        return;
    }
    switch (status.state) {
        case audio::DsdEngineState::Preparing:
            SetStatus("PLEASE WAIT \u2014 Preparing " + DsdRateLabel() + ": " +
                      Fixed(status.progress * 100.0, 1) + "% | " +
                      Fixed(static_cast<double>(status.memoryBytes) / 1048576.0, 1) +
                      " MiB in RAM. Play or Stop cancels.");
            transportState_ = TransportState::Paused;
            SetPlayCaption("Cancel preparation");
            break;
        case audio::DsdEngineState::Failed:
            transportState_ = TransportState::Stopped;
            if (playCaption_ != "Play") {
                SetPlayCaption("Play");
            }
            if (!dsdErrorReported_) {
                dsdErrorReported_ = true;
                const std::string text = "DSD: " + PrintableText(status.failureText);
                SetStatus(text);
                view_.ShowMessage(text, "Auralith DSD output", MessageIcon::Error);
            }
            break;
        default:
            if (dsdUserStopped_) {
                break;
            }
            if (status.state == audio::DsdEngineState::Playing) {
                transportState_ = TransportState::Playing;
                dsdPosition_ = status.position;
            } else if (status.state == audio::DsdEngineState::Ended) {
                transportState_ = TransportState::Stopped;
            } else {
                transportState_ = TransportState::Paused;
            }
            {
                const std::string caption =
                    transportState_ == TransportState::Playing ? "Pause" : "Play";
                if (caption != playCaption_) {
                    SetPlayCaption(caption);
                }
            }
            {
                std::string text = DsdRateLabel() + " | whole track prepared | " +
                                   Fixed(status.position, 1) + " / " + Fixed(status.duration, 1) +
                                   " s";
                if (!status.meterFailureText.empty()) {
                    text += " | Meters unavailable: " + PrintableText(status.meterFailureText);
                }
                if (text != status_) {
                    SetStatus(text);
                }
            }
            break;
    }
}

}  // namespace al::app
