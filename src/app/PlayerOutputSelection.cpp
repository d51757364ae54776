// Output selection and chain initialisation: the endpoint list, exact-format
// probing per channel count with its caches, the choice of format, opening
// the chain at the first format that works, and the DSD output choices. A
// failing format is disabled and another exact format is tried; there is no
// shared-mode or converted fallback.

#include <algorithm>
#include <stdexcept>

#include "app/PlayerText.h"
#include "app/PlayerWindow.h"
#include "output/WasapiError.h"
#include "platform/AudioEndpoint.h"

namespace al::app {

namespace {

constexpr std::int64_t kFailedFormatPauseNs = 350'000'000;

MenuItem Item(std::string text, int command, bool checked = false, bool greyed = false) {
    MenuItem item;
    item.text = std::move(text);
    item.command = command;
    item.checked = checked;
    item.greyed = greyed;
    return item;
}

MenuItem Separator() {
    MenuItem item;
    item.separator = true;
    return item;
}

bool deviceInUse(const audio::WasapiError& error) noexcept {
    return error.hresult() == platform::kAudioDeviceInUse;
}

}  // namespace

const audio::EndpointInfo* PlayerWindow::SelectedEndpointInfo() const noexcept {
    if (selectedEndpoint_ < 0 || static_cast<std::size_t>(selectedEndpoint_) >= endpoints_.size()) {
        return nullptr;
    }
    return &endpoints_[static_cast<std::size_t>(selectedEndpoint_)];
}

bool PlayerWindow::FormatSelectable(int index) const noexcept {
    return index >= 0 && static_cast<std::size_t>(index) < formats_.size() &&
           !disabledFormats_[static_cast<std::size_t>(index)];
}

std::string PlayerWindow::ProbeKey() const {
    return probeKey_;
}

void PlayerWindow::ListEndpoints(bool keepSelection) {
    std::u16string remembered;
    const audio::EndpointInfo* selected = SelectedEndpointInfo();
    const bool hadSelection = selected != nullptr;
    if (keepSelection && hadSelection) {
        remembered = selected->id;
    }
    endpoints_ = services_.enumerateEndpoints();
    std::vector<std::string> items;
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        items.push_back(EndpointItemText(i));
    }
    selectedEndpoint_ = -1;
    if (keepSelection) {
        for (std::size_t i = 0; hadSelection && i < endpoints_.size(); ++i) {
            if (endpoints_[i].id == remembered) {
                selectedEndpoint_ = static_cast<int>(i);
                break;
            }
        }
    } else if (!endpoints_.empty()) {
        selectedEndpoint_ = 0;
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            if (endpoints_[i].isDefault) {
                selectedEndpoint_ = static_cast<int>(i);
                break;
            }
        }
    }
    view_.ShowEndpoints(items, selectedEndpoint_);
}

void PlayerWindow::OpenSelectedOutput(bool refresh) {
    DiscardDsdEngine();
    if (!cancellingEngines_.empty()) {
        reopenAfterCancel_ = true;
        SetStatus("Closing previous DSD preparation before reopening the output...");
        return;
    }
    const double position = lattice_ ? lattice_->currentTime() : 0.0;
    output_->Shutdown();
    transportState_ = TransportState::Stopped;
    SetPlayCaption("Play");

    formats_.clear();
    disabledFormats_.clear();
    probeKey_.clear();
    selectedFormat_ = -1;
    chainStatus_ = 0;

    if (endpoints_.empty()) {
        chainStatus_ = 2;
        SetStatus("No active render endpoints found.");
        UpdateLabels();
        return;
    }
    const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
    if (endpoint == nullptr) {
        chainStatus_ = 2;
        SetStatus(
            "The previously selected audio endpoint is unavailable. Select an output endpoint to "
            "continue.");
        UpdateLabels();
        return;
    }
    const audio::EndpointInfo chosen = *endpoint;
    channelCount_ = source_ ? source_->metadata().channelCount : 2;
    probeKey_ = Utf8(chosen.id) + "|" + std::to_string(channelCount_);
    if (refresh) {
        formatListCache_.erase(probeKey_);
        disabledCache_.erase(probeKey_);
    }

    const auto cached = formatListCache_.find(probeKey_);
    if (cached != formatListCache_.end()) {
        formats_ = cached->second;
    } else {
        try {
            formats_ = services_.probeFormats(chosen.id, channelCount_);
        } catch (const audio::WasapiError& error) {
            if (!deviceInUse(error)) {
                throw;
            }
            formats_.clear();
            disabledFormats_.clear();
            chainStatus_ = 2;
            const std::string name = Utf8(chosen.name);
            SetStatus("Audio device unavailable: " + name + " is currently in use.");
            UpdateLabels();
            ShowDeviceBusyDialog(name);
            return;
        }
        formatListCache_[probeKey_] = formats_;
    }

    const auto disabled = disabledCache_.find(probeKey_);
    if (disabled != disabledCache_.end() && disabled->second.size() == formats_.size()) {
        disabledFormats_ = disabled->second;
    } else {
        disabledFormats_.assign(formats_.size(), false);
        disabledCache_[probeKey_] = disabledFormats_;
    }

    RefreshVolumeControl();

    if (formats_.empty()) {
        chainStatus_ = 2;
        SetStatus("Selected endpoint exposes no exact WASAPI Exclusive format for " +
                  std::to_string(channelCount_) +
                  " channels. Shared fallback is suppressed by policy.");
        UpdateLabels();
        return;
    }

    int choice = -1;
    if (const audio::RememberedFormat* known =
            settings_.formatsCache().Find(audio::FormatsCacheKey(chosen.id, channelCount_))) {
        for (std::size_t i = 0; i < formats_.size(); ++i) {
            if (known->Matches(formats_[i]) && !disabledFormats_[i]) {
                choice = static_cast<int>(i);
                break;
            }
        }
    }
    if (choice < 0) {
        choice = static_cast<int>(formats_.size()) - 1;
    }
    selectedFormat_ = choice;

    if (lattice_) {
        InitializeChain(choice, -1, TransportState::Stopped, position);
    } else {
        const audio::EndpointFormat& format = formats_[static_cast<std::size_t>(choice)];
        SetStatus("Endpoint reports " + std::to_string(formats_.size()) +
                  " exact output format(s). Selected " + FormatLabelText(choice) + " \u2014 " +
                  ModeLabel(format) + ".");
    }
    UpdateLabels();
}

void PlayerWindow::PrepareLattice(std::uint32_t rate, double positionSeconds,
                                  const char* primeFailure) {
    lattice_->setOutputRate(rate);
    lattice_->seekToTime(positionSeconds);
    lattice_->setMuted(muted_);
    lattice_->requestSnapGain();
    lattice_->setLoopAhead(false);
    if (!lattice_->prime()) {
        throw std::runtime_error(primeFailure);
    }
}

bool PlayerWindow::InitializeChain(int formatIndex, int direction, TransportState resumeState,
                                   double positionSeconds) {
    if (!lattice_ || formats_.empty() || endpoints_.empty()) {
        return false;
    }
    PollPlayback();
    if (stylusReturning_) {
        resumeState = TransportState::Stopped;
    }
    const audio::EndpointInfo* selected = SelectedEndpointInfo();
    if (selected == nullptr) {
        throw std::runtime_error("No valid playback endpoint is selected");
    }
    const audio::EndpointInfo endpoint = *selected;

    const int count = static_cast<int>(formats_.size());
    const int d = direction < 0 ? -1 : +1;
    std::vector<int> order;
    auto consider = [&](int index) {
        if (index >= 0 && index < count && !disabledFormats_[static_cast<std::size_t>(index)] &&
            std::find(order.begin(), order.end(), index) == order.end()) {
            order.push_back(index);
        }
    };
    consider(formatIndex);
    for (int i = formatIndex + d; i >= 0 && i < count; i += d) {
        consider(i);
    }
    for (int i = formatIndex - d; i >= 0 && i < count; i -= d) {
        consider(i);
    }

    output_->Shutdown();
    chainBusy_ = true;
    for (const int candidate : order) {
        const audio::EndpointFormat format = formats_[static_cast<std::size_t>(candidate)];
        const std::string label = FormatLabelText(candidate);
        selectedFormat_ = candidate;
        chainStatus_ = 1;
        SetStatus("Reinitializing complete playback chain at " + label +
                  ". Playback head is unchanged.");
        UpdateLabels();
        view_.RepaintNow();
        try {
            PrepareLattice(format.sampleRate, positionSeconds,
                           "Playback surrogate could not be primed for the new output format");
            output_->Initialize(endpoint.id, format, lattice_.get(),
                                {currentBufferMs_, settings_.audioBuffer().safetyMarginMs});
            if (resumeState == TransportState::Playing) {
                lattice_->setHold(false);
                output_->Start();
            }
        } catch (const audio::WasapiError& error) {
            output_->Shutdown();
            if (deviceInUse(error)) {
                chainBusy_ = false;
                transportState_ = TransportState::Stopped;
                SetPlayCaption("Play");
                chainStatus_ = 2;
                const std::string name = Utf8(endpoint.name);
                SetStatus("Audio device unavailable: " + name +
                          " is currently in use. No exact formats were disabled.");
                UpdateLabels();
                ShowDeviceBusyDialog(name);
                return false;
            }
            disabledFormats_[static_cast<std::size_t>(candidate)] = true;
            if (!endpoint.id.empty()) {
                disabledCache_[probeKey_] = disabledFormats_;
            }
            chainStatus_ = 2;
            SetStatus(label + " is unavailable: " + PrintableText(error.what()) +
                      ". Trying another exact format.");
            UpdateLabels();
            view_.RepaintNow();
            services_.wait(kFailedFormatPauseNs);
            continue;
        } catch (const std::exception& error) {
            output_->Shutdown();
            disabledFormats_[static_cast<std::size_t>(candidate)] = true;
            if (!endpoint.id.empty()) {
                disabledCache_[probeKey_] = disabledFormats_;
            }
            chainStatus_ = 2;
            SetStatus(label + " is unavailable: " + PrintableText(error.what()) +
                      ". Trying another exact format.");
            UpdateLabels();
            view_.RepaintNow();
            services_.wait(kFailedFormatPauseNs);
            continue;
        }
        transportState_ = resumeState;
        chainBusy_ = false;
        SetPlayCaption(resumeState == TransportState::Playing ? "Pause" : "Play");
        chainStatus_ = 0;
        settings_.formatsCache().RememberFormat(endpoint.id, format);
        SetStatus("Playback chain initialized at exact output contract " + label + " \u2014 " +
                  ModeLabel(format) + ". Playback head preserved.");
        UpdateLabels();
        return true;
    }
    chainBusy_ = false;
    transportState_ = TransportState::Stopped;
    SetPlayCaption("Play");
    chainStatus_ = 2;
    SetStatus(
        "No remaining exact output format could initialize. Playback head has been preserved. "
        "Refresh to probe "
        "again.");
    UpdateLabels();
    return false;
}

void PlayerWindow::StepFormat(int direction) {
    if (dsdSelected_) {
        DiscardDsdEngine();
        transportState_ = TransportState::Stopped;
        SetPlayCaption("Play");
        const std::uint32_t next = direction <= 0 ? dsdMultiple_ / 2 : dsdMultiple_ * 2;
        dsdMultiple_ = std::clamp<std::uint32_t>(next, 64, 2048);
        UpdateLabels();
        return;
    }
    if (formats_.empty() || selectedFormat_ < 0 || direction == 0 || chainBusy_) {
        return;
    }
    const int d = direction < 0 ? -1 : +1;
    int next = -1;
    for (int i = selectedFormat_ + d; i >= 0 && i < static_cast<int>(formats_.size()); i += d) {
        if (!disabledFormats_[static_cast<std::size_t>(i)]) {
            next = i;
            break;
        }
    }
    if (next < 0) {
        return;
    }
    if (lattice_) {
        InitializeChain(next, d, transportState_, lattice_->currentTime());
        return;
    }
    selectedFormat_ = next;
    chainStatus_ = 0;
    const audio::EndpointFormat& format = formats_[static_cast<std::size_t>(next)];
    if (const audio::EndpointInfo* endpoint = SelectedEndpointInfo()) {
        settings_.formatsCache().RememberFormat(endpoint->id, format);
    }
    SetStatus("Selected " + FormatLabelText(next) + " \u2014 " + ModeLabel(format) +
              ". The chain will initialize when a source opens.");
    UpdateLabels();
}

void PlayerWindow::ChooseFormat(int index) {
    if (!FormatSelectable(index) || index == selectedFormat_ || chainBusy_) {
        return;
    }
    const audio::EndpointInfo* endpoint = SelectedEndpointInfo();
    if (lattice_ && cancellingEngines_.empty()) {
        InitializeChain(index, index < selectedFormat_ ? -1 : +1, transportState_,
                        lattice_->currentTime());
        return;
    }
    selectedFormat_ = index;
    if (endpoint != nullptr) {
        settings_.formatsCache().RememberFormat(endpoint->id,
                                                formats_[static_cast<std::size_t>(index)]);
    }
    if (lattice_) {
        reopenAfterCancel_ = true;
        transportState_ = TransportState::Stopped;
        SetStatus("Closing the DSD output before opening PCM...");
    } else {
        chainStatus_ = 0;
    }
    UpdateLabels();
}

bool PlayerWindow::SourceIsDsf() const {
    return source_ && source_->metadata().formatLabel.rfind("DSF / DSD", 0) == 0;
}

std::uint32_t PlayerWindow::DsdRate() const {
    std::uint64_t multiple = dsdMultiple_;
    if (preserveDsf_ && SourceIsDsf()) {
        // The number after "DSF / DSD", as an unsigned decimal; a label that
        // does not parse raises the standard conversion error.
        multiple = std::stoul(source_->metadata().formatLabel.substr(9));
    }
    return static_cast<std::uint32_t>(multiple * 44100u);
}

std::string PlayerWindow::DsdRateLabel() const {
    const std::uint32_t rate = DsdRate();
    return "DSD" + std::to_string(rate / 44100) + " (~" + Fixed(rate / 1e6, 4) + " MHz, 1-bit)";
}

void PlayerWindow::ShowFormatMenu() {
    std::vector<MenuItem> menu;
    for (std::size_t i = 0; i < formats_.size(); ++i) {
        MenuItem item;
        item.text = FormatLabelText(static_cast<int>(i)) + " \u2014 " + ModeLabel(formats_[i]);
        item.command = command::kFormatMenuFirst + static_cast<int>(i);
        item.checked = static_cast<int>(i) == selectedFormat_;
        item.greyed = disabledFormats_[i];
        menu.push_back(std::move(item));
    }
    asioDrivers_ =
        services_.listAsioDrivers ? services_.listAsioDrivers() : std::vector<AsioDriverEntry>{};
    MenuItem dsd;
    dsd.text = "DSD output / preparation options";
    for (int k = 0; k < 6; ++k) {
        const std::uint32_t multiple = 64u << k;
        MenuItem item;
        item.text = "DSD" + std::to_string(multiple) + " \u2014 complete track in RAM";
        item.command = command::kDsdRateFirst + k;
        item.checked = dsdSelected_ && dsdMultiple_ == multiple;
        dsd.submenu.push_back(std::move(item));
    }
    dsd.submenu.push_back(Separator());
    dsd.submenu.push_back(
        Item("DoP \u2014 selected Windows output", command::kDsdDop, asioDriver_.empty()));
    for (std::size_t i = 0; i < asioDrivers_.size(); ++i) {
        dsd.submenu.push_back(Item("Native ASIO \u2014 " + Utf8(asioDrivers_[i].name),
                                   command::kDsdAsioFirst + static_cast<int>(i),
                                   asioDrivers_[i].clsid == asioDriver_));
    }
    if (asioDrivers_.empty()) {
        dsd.submenu.push_back(Item("No 64-bit ASIO drivers installed", 0, false, true));
    }
    dsd.submenu.push_back(Separator());
    dsd.submenu.push_back(Item("18 kHz waveform cutoff (remodulation only)", command::kDsdCutoff,
                               cutoff18k_, preserveDsf_ && SourceIsDsf()));
    dsd.submenu.push_back(
        Item("DSF: preserve original bits and native rate", command::kDsdPreserve, preserveDsf_));
    menu.push_back(std::move(dsd));

    const int chosen = view_.ShowPopupMenu(menu);
    if (chosen == 0 || ApplyDsdOption(chosen)) {
        UpdateLabels();
        return;
    }
    if (chosen >= command::kFormatMenuFirst &&
        chosen < command::kFormatMenuFirst + static_cast<int>(formats_.size())) {
        if (dsdSelected_) {
            DiscardDsdEngine();
            dsdSelected_ = false;
            RefreshVolumeControl();
        }
        ChooseFormat(chosen - command::kFormatMenuFirst);
    }
    UpdateLabels();
}

bool PlayerWindow::ApplyDsdOption(int commandId) {
    const bool rate = commandId >= command::kDsdRateFirst && commandId < command::kDsdRateFirst + 6;
    const bool asio = commandId >= command::kDsdAsioFirst &&
                      commandId < command::kDsdAsioFirst + static_cast<int>(asioDrivers_.size());
    if (!rate && !asio && commandId != command::kDsdDop && commandId != command::kDsdCutoff &&
        commandId != command::kDsdPreserve) {
        return false;
    }
    PollPlayback();
    CancelStylusReturn();
    const bool nativeBefore = dsdSelected_ && !asioDriver_.empty();
    const double position = positionSeconds();
    DiscardDsdEngine();
    output_->Shutdown();
    if (lattice_) {
        lattice_->seekToTime(position);
    }
    transportState_ = TransportState::Stopped;
    dsdSelected_ = true;
    SetPlayCaption("Play");
    if (commandId == command::kDsdDop) {
        asioDriver_.clear();
    } else if (commandId == command::kDsdCutoff) {
        cutoff18k_ = !cutoff18k_;
    } else if (commandId == command::kDsdPreserve) {
        preserveDsf_ = !preserveDsf_;
    } else if (asio) {
        asioDriver_ =
            asioDrivers_[static_cast<std::size_t>(commandId - command::kDsdAsioFirst)].clsid;
    } else {
        dsdMultiple_ = 64u << (commandId - command::kDsdRateFirst);
    }
    const bool nativeAfter = !asioDriver_.empty();
    if (nativeBefore != nativeAfter) {
        RefreshVolumeControl();
    }
    SetStatus(
        "DSD selected. Press Play to prepare the complete track. Unsupported device rates will "
        "report an error.");
    UpdateLabels();
    return true;
}

void PlayerWindow::ShowEndpointMenu() {
    if (transportState_ != TransportState::Stopped || chainBusy_) {
        SetStatus("Stop playback before changing the output endpoint.");
        return;
    }
    std::vector<MenuItem> menu;
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        menu.push_back(Item(EndpointItemText(i), command::kEndpointMenuFirst + static_cast<int>(i),
                            static_cast<int>(i) == selectedEndpoint_));
    }
    const int chosen = view_.ShowPopupMenu(menu);
    if (chosen >= command::kEndpointMenuFirst &&
        chosen < command::kEndpointMenuFirst + static_cast<int>(endpoints_.size())) {
        SelectEndpoint(chosen - command::kEndpointMenuFirst);
    }
}

void PlayerWindow::SelectEndpoint(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= endpoints_.size()) {
        return;
    }
    selectedEndpoint_ = index;
    std::vector<std::string> items;
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        items.push_back(EndpointItemText(i));
    }
    view_.ShowEndpoints(items, selectedEndpoint_);
    currentBufferMs_ = configuredBufferMs_;
    ResetBufferingCounters();
    OpenSelectedOutput(false);
}

void PlayerWindow::RefreshOutputs() {
    if (transportState_ != TransportState::Stopped) {
        return;
    }
    const std::vector<audio::EndpointInfo> before = endpoints_;
    ResetBufferingCounters();
    ListEndpoints(true);
    OpenSelectedOutput(true);
    std::string added;
    for (const audio::EndpointInfo& endpoint : endpoints_) {
        const bool known =
            std::any_of(before.begin(), before.end(),
                        [&](const audio::EndpointInfo& old) { return old.id == endpoint.id; });
        if (!known) {
            added += (added.empty() ? "" : ", ") + Utf8(endpoint.name);
        }
    }
    if (!added.empty()) {
        SetStatus("Detected: " + added + ". Select it from the output device menu.");
    } else if (!formats_.empty()) {
        SetStatus("Refresh complete. Output devices and capabilities rescanned.");
    }
}

void PlayerWindow::ShowDeviceBusyDialog(const std::string& endpointName) {
    const bool keepOpen = view_.AskYesNo(
        "The selected audio device is currently in use and cannot be opened in exclusive "
        "mode:\n\n" +
            endpointName +
            "\n\nChoose Yes to keep AuralithPlayer open and select another DAC or dongle. Choose "
            "No to exit.",
        "Audio device unavailable");
    if (keepOpen) {
        view_.OpenEndpointList();
    } else {
        closeRequested_ = true;
        view_.RequestClose();
    }
}

}  // namespace al::app
