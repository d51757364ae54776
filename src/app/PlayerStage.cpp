// The geometry views as the player window drives them: the poll tick's
// update, the fullscreen stage's open and close (F11), its scenes (F9 and the
// faceplate's two stage regions) and the requests the stage sends back. The
// views are optional; without them every stage command answers with the
// absent-stage text and the player keeps working.

#include <algorithm>

#include "app/PlayerWindow.h"

namespace al::app {

namespace {

constexpr const char* kStageClosedText =
    "Fullscreen geometry stage closed. Press F11 to reopen it.";
constexpr const char* kNoHardwareText = "Hardware Direct3D geometry is unavailable.";
constexpr const char* kStageFailedText = "Unable to open the fullscreen geometry stage.";
constexpr const char* kStageKeysText = " active. F9 switches view; Esc or F11 closes it.";

// The stage's requests, as offsets from WM_APP.
constexpr unsigned kStageHoldStylus = 0x8C;
constexpr unsigned kStageResume = 0x8D;
constexpr unsigned kStageVolumeBegin = 0x8E;
constexpr unsigned kStageVolumeSet = 0x8F;
constexpr unsigned kStageVolumeEnd = 0x90;
constexpr unsigned kStageQueryPaused = 0x91;
constexpr unsigned kStageCompleteAndToggle = 0x92;
constexpr unsigned kStageColour = 0x93;

}  // namespace

void PlayerWindow::UpdateGeometryViews() {
    if (views_ == nullptr) {
        return;
    }
    GeometryTick tick;
    tick.sourceLoaded = source_ != nullptr;
    tick.time = positionSeconds();
    tick.duration = durationSeconds();
    tick.sampleRate = source_ ? static_cast<double>(source_->metadata().sampleRate) : 0.0;
    tick.playing = transportState_ == TransportState::Playing;
    tick.pausedWithoutHold =
        transportState_ == TransportState::Paused && holdRequest_ == HoldRequest::None;
    tick.playerView = !statsView_;
    tick.minimised = minimised_;
    tick.volumeAvailable = volume_->HasHardwareVolume();
    tick.volumeLevel = volumeRead_ ? volumeCurrent_ : shownVolume_;
    const std::string text = views_->Update(tick);
    if (!text.empty() && text != status_) {
        SetStatus(text);
    }
}

void PlayerWindow::ShowStageStatus(const std::string& portText, const char* fallback) {
    SetStatus(portText.empty() ? std::string(fallback) : portText);
}

void PlayerWindow::ToggleStage() {
    if (views_ == nullptr) {
        SetStatus(kNoHardwareText);
        return;
    }
    if (views_->stageOpen()) {
        views_->ToggleStage(muted_);
        view_.ShowStageOpen(false);
        SetStatus(kStageClosedText);
        return;
    }
    const std::string text = views_->ToggleStage(muted_);
    if (!views_->stageOpen()) {
        ShowStageStatus(text, kStageFailedText);
        return;
    }
    view_.ShowStageOpen(true);
    UpdateGeometryViews();
    SetStatus(views_->rendererLabel() + " " + views_->stageSceneName() + kStageKeysText);
}

void PlayerWindow::SwitchStageView() {
    if (!stageOpen()) {
        SetStatus("Open the fullscreen geometry stage with F11 before switching views.");
        return;
    }
    views_->SwitchStageView();
    UpdateGeometryViews();
    SetStatus(views_->stageSceneName() + kStageKeysText);
}

void PlayerWindow::OpenStageScene(StageScene scene) {
    if (views_ == nullptr) {
        SetStatus(kNoHardwareText);
        return;
    }
    const bool wasOpen = views_->stageOpen();
    const std::string text = views_->OpenStageScene(scene, muted_);
    if (!views_->stageOpen()) {
        ShowStageStatus(text, kStageFailedText);
        return;
    }
    if (!wasOpen) {
        view_.ShowStageOpen(true);
    }
    UpdateGeometryViews();
    SetStatus(views_->rendererLabel() +
              (scene == StageScene::WaveMotionSea
                   ? " Wave Motion active. Touch to Pause; while Paused tap the screen center to "
                     "Resume; drag the right edge for Output Level; tap the lower title area to "
                     "return."
                   : " Surrogate Corridor active. Touch to Pause; while Paused tap the center "
                     "horizon to Resume; drag the right edge for Output Level; tap the lower "
                     "title area to return."));
}

void PlayerWindow::StageClosed() {
    if (views_ != nullptr) {
        views_->StageClosed();
    }
    view_.ShowStageOpen(false);
    SetStatus(kStageClosedText);
}

std::intptr_t PlayerWindow::HandleStageRequest(unsigned offset, std::uint64_t parameter) {
    const bool pausedWithoutHold =
        transportState_ == TransportState::Paused && holdRequest_ == HoldRequest::None;
    if (offset == kStageQueryPaused) {
        return pausedWithoutHold ? 1 : 0;
    }
    const double level = std::min(static_cast<double>(parameter) / 10000.0, 1.0);
    Execute([&] {
        switch (offset) {
            case kStageHoldStylus:
                HoldStylusUp();
                break;
            case kStageResume:
                if (pausedWithoutHold) {
                    TogglePlay();
                }
                break;
            case kStageVolumeBegin:
                BeginVolumeDrag();
                break;
            case kStageVolumeSet:
                DragVolume(level);
                break;
            case kStageVolumeEnd:
                EndVolumeDrag(level);
                break;
            case kStageCompleteAndToggle:
                CompleteHold();
                TogglePlay();
                break;
            case kStageColour:
                CycleWaveformColor();
                break;
            default:
                return;
        }
        UpdateControls();
        UpdateLabels();
    });
    return 0;
}

}  // namespace al::app
