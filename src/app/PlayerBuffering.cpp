// Adaptive buffering: while PCM plays, underruns of the surrogate buffer and
// render passes too close to their deadline reopen the chain with a larger
// endpoint buffer at the same exact format and position. An endpoint that
// does not grant more, or refuses the larger request, suspends growth until
// Refresh or a new source. Also the engineering statistics text.

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "app/PlayerText.h"
#include "app/PlayerWindow.h"
#include "output/WasapiError.h"
#include "platform/AudioEndpoint.h"

namespace al::app {

namespace {

constexpr std::int64_t kCoolDownNs = 1'999'999'999;
constexpr std::int64_t kWindowNs = 2'000'000'000;

std::string ms(double value) {
    return Fixed(value, 1);
}
std::string msOfNs(std::uint64_t ns) {
    return Fixed(static_cast<double>(ns) / 1e6, 1);
}

}  // namespace

void PlayerWindow::ResetBufferingCounters() noexcept {
    output_->ResetStatistics();
    if (lattice_) {
        lattice_->resetCounters();
    }
    meters_.reset();
    meterDrops_ = 0;
    seenUnderruns_ = 0;
    seenNearMisses_ = 0;
    windowNearMisses_ = 0;
    windowStart_ = 0;
    lastAdaptation_ = 0;
    growthSuspended_ = false;
    growthRequested_ = false;
    growthReason_.clear();
}

void PlayerWindow::WatchBuffering() {
    const audio::AudioBufferSettings& policy = settings_.audioBuffer();
    if (!policy.adaptiveBuffer || growthSuspended_ || !lattice_ || !output_->IsInitialized() ||
        !output_->IsRunning() || transportState_ != TransportState::Playing || chainBusy_ ||
        growthRequested_ || !(currentBufferMs_ < policy.maxMs)) {
        return;
    }
    const std::int64_t now = services_.now();
    if (lastAdaptation_ != 0 && now - lastAdaptation_ <= kCoolDownNs) {
        return;
    }
    auto request = [&](const char* reason) {
        if (growthRequested_ || chainBusy_ || !(currentBufferMs_ < policy.maxMs)) {
            return;
        }
        growthRequested_ = true;
        growthReason_ = reason;
        view_.PostGrowthRequest();
    };
    const std::uint64_t underruns = lattice_->missingFrames();
    if (seenUnderruns_ < underruns) {
        seenUnderruns_ = underruns;
        request("playback underrun");
        return;
    }
    const std::uint64_t nearMisses = output_->Statistics().nearMissCount;
    if (nearMisses < seenNearMisses_) {
        seenNearMisses_ = nearMisses;
        windowStart_ = 0;
        windowNearMisses_ = 0;
        return;
    }
    if (nearMisses == seenNearMisses_) {
        if (windowStart_ != 0 && now - windowStart_ >= kWindowNs + 1) {
            windowStart_ = 0;
            windowNearMisses_ = 0;
        }
        return;
    }
    if (windowStart_ == 0 || now - windowStart_ > kWindowNs) {
        windowStart_ = now;
        windowNearMisses_ = 0;
    }
    const std::uint64_t added = nearMisses - seenNearMisses_;
    seenNearMisses_ = nearMisses;
    const std::uint64_t sum = static_cast<std::uint64_t>(windowNearMisses_) + added;
    windowNearMisses_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
    if (windowNearMisses_ < policy.nearMissCount) {
        return;
    }
    request("deadline margin below safety target");
}

void PlayerWindow::ReopenForGrowth(const std::u16string& endpointId,
                                   const audio::EndpointFormat& format, double bufferMs,
                                   TransportState state, double positionSeconds) {
    PrepareLattice(format.sampleRate, positionSeconds,
                   "Playback surrogate could not be primed for adaptive buffering");
    output_->Initialize(endpointId, format, lattice_.get(),
                        {bufferMs, settings_.audioBuffer().safetyMarginMs});
    if (state == TransportState::Playing) {
        lattice_->setHold(false);
        output_->Start();
    }
}

void PlayerWindow::GrowEndpointBuffer() {
    if (!growthRequested_) {
        return;
    }
    growthRequested_ = false;
    const audio::EndpointInfo* selected = SelectedEndpointInfo();
    // The request was posted while playing; a pause or stop since then wins.
    // Reopening now would re-prime the head the stop returned to zero and
    // replace its status with one about a stream that is no longer playing.
    if (transportState_ != TransportState::Playing || holdRequest_ != HoldRequest::None) {
        return;
    }
    if (!lattice_ || !output_->IsInitialized() || chainBusy_ ||
        !FormatSelectable(selectedFormat_) || selected == nullptr) {
        return;
    }
    const audio::AudioBufferSettings& policy = settings_.audioBuffer();
    const double old = currentBufferMs_;
    const double target = std::min(old + policy.stepMs, policy.maxMs);
    if (old >= target) {
        return;
    }
    PollPlayback();
    if (stylusReturning_) {
        return;
    }
    const TransportState state = transportState_;
    const double position = lattice_->currentTime();
    const audio::EndpointFormat format = formats_[static_cast<std::size_t>(selectedFormat_)];
    const std::u16string endpointId = selected->id;
    const std::string endpointName = Utf8(selected->name);
    const std::uint64_t oldActual = output_->Statistics().bufferDurationNs;

    chainBusy_ = true;
    chainStatus_ = 1;
    SetStatus("Increasing the endpoint buffer from " + ms(old) + " ms to " + ms(target) +
              " ms: " + growthReason_ + ".");
    UpdateLabels();

    auto finish = [&](double bufferMs) {
        currentBufferMs_ = bufferMs;
        transportState_ = state;
        SetPlayCaption(state == TransportState::Playing ? "Pause" : "Play");
        chainBusy_ = false;
        chainStatus_ = 0;
    };
    auto busy = [&](const char* what) {
        chainBusy_ = false;
        transportState_ = TransportState::Stopped;
        SetPlayCaption("Play");
        chainStatus_ = 2;
        SetStatus("Audio device unavailable: " + endpointName + what);
        UpdateLabels();
        ShowDeviceBusyDialog(endpointName);
    };
    const std::int64_t now = services_.now();
    try {
        output_->Shutdown();
        ReopenForGrowth(endpointId, format, target, state, position);
    } catch (const std::exception& error) {
        output_->Shutdown();
        const auto* wasapi = dynamic_cast<const audio::WasapiError*>(&error);
        if (wasapi != nullptr && wasapi->hresult() == platform::kAudioDeviceInUse) {
            busy(
                " became busy during adaptive buffer reconfiguration. No exact formats were "
                "disabled.");
            return;
        }
        const std::string text = PrintableText(error.what());
        try {
            ReopenForGrowth(endpointId, format, old, state, position);
        } catch (const std::exception& again) {
            output_->Shutdown();
            const auto* wasapiAgain = dynamic_cast<const audio::WasapiError*>(&again);
            if (wasapiAgain != nullptr && wasapiAgain->hresult() == platform::kAudioDeviceInUse) {
                busy(
                    " became busy during adaptive buffer reconfiguration. No exact formats were "
                    "disabled.");
                return;
            }
            chainBusy_ = false;
            transportState_ = TransportState::Stopped;
            SetPlayCaption("Play");
            chainStatus_ = 2;
            SetStatus(
                "Adaptive buffer reconfiguration failed and the prior stream could not be "
                "restored: " +
                PrintableText(again.what()));
            UpdateLabels();
            return;
        }
        finish(old);
        growthSuspended_ = true;
        lastAdaptation_ = now;
        SetStatus(
            "Adaptive buffer increase was rejected; restored " +
            msOfNs(output_->Statistics().bufferDurationNs) +
            " ms actual. Further adaptive growth is suspended until Refresh or a new source. " +
            text);
        UpdateLabels();
        return;
    }
    finish(target);
    seenUnderruns_ = lattice_->missingFrames();
    seenNearMisses_ = 0;
    windowNearMisses_ = 0;
    windowStart_ = 0;
    lastAdaptation_ = now;
    const std::uint64_t newActual = output_->Statistics().bufferDurationNs;
    if (static_cast<double>(oldActual) / 1e6 + 0.01 >= static_cast<double>(newActual) / 1e6) {
        growthSuspended_ = true;
        SetStatus("Endpoint retained " + msOfNs(newActual) +
                  " ms actual after a larger buffer request. Adaptive growth is suspended until "
                  "Refresh or a new "
                  "source.");
    } else {
        SetStatus("Adaptive buffer increased to " + msOfNs(newActual) + " ms actual (" +
                  growthReason_ + "). Playback head preserved.");
    }
    UpdateLabels();
}

void PlayerWindow::RefreshStatisticsView() {
    if (dsdSelected_) {
        statisticsText_ =
            "DSD output selected. PCM buffering statistics are inactive.\nAlt+F12 returns to the "
            "player.";
        view_.ShowStatistics(statisticsText_);
        WatchBuffering();
        return;
    }
    std::string text;
    if (lattice_) {
        text = "Ready: " + Fixed(lattice_->bufferedSeconds() * 1000.0, 1) + " ms/" +
               std::to_string(lattice_->readyChunksAhead()) +
               "  |  U: " + std::to_string(lattice_->missingFrames()) +
               "  |  Fail: " + std::to_string(lattice_->surrogate().failures()) +
               "  |  Mdrop: " + std::to_string(meterDrops_);
    } else {
        text = "Ready: \u2014  |  U: 0  |  Fail: 0";
    }
    if (output_->IsInitialized()) {
        const audio::RenderStatistics::Snapshot stats = output_->Statistics();
        const double buffer = static_cast<double>(stats.bufferDurationNs) / 1e6;
        const double worst = static_cast<double>(stats.maxDeadlineUseNs) / 1e6;
        const double throughput = static_cast<double>(stats.lastThroughputBytesPerSecond);
        text += "\nBuf: " + Fixed(buffer, 1) + " ms  |  Worst: " + Fixed(worst, 1) +
                " ms  |  Margin: " + Fixed(std::max(0.0, buffer - worst), 1) + " ms  |  Fill: " +
                (throughput >= 1e9 ? Fixed(throughput / 1e9, 2) + " GB/s"
                                   : Fixed(throughput / 1e6, 1) + " MB/s");
    } else {
        text += "\nBuf: \u2014";
    }
    text += "  |  Log: " + std::to_string(logLevel_);
    statisticsText_ = text;
    view_.ShowStatistics(statisticsText_);
    WatchBuffering();
}

void PlayerWindow::ToggleStatisticsView() {
    statsView_ = !statsView_;
    view_.ShowStatisticsView(statsView_);
    RefreshStatisticsView();
    SetStatus(statsView_ ? "Engineering buffering statistics. Alt+F12 returns to the player."
                         : "Player view. Alt+F12 opens buffering statistics.");
}

}  // namespace al::app
