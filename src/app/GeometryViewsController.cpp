#include "app/GeometryViewsController.h"

#include <algorithm>
#include <stdexcept>

#include "playback/PlaybackSource.h"
#include "playback/SurrogateBuffer.h"
#include "visual/GeometryMaths.h"

namespace al::app {

namespace {

constexpr const char* kStageClosedText =
    "Fullscreen geometry stage closed. Press F11 to reopen it.";
constexpr const char* kStageActiveSuffix = " active. F9 switches view; Esc or F11 closes it.";
constexpr std::uint64_t kPresentationSlots = 192;

std::string sceneName(StageScene scene) {
    return scene == StageScene::SurrogateCorridor ? "Surrogate Corridor" : "Wave Motion Sea";
}

std::string orDefault(std::string text, const char* fallback) {
    return text.empty() ? std::string(fallback) : text;
}

}  // namespace

double geometryWindowLength(double sampleRate) noexcept {
    if (!(sampleRate > 0.0)) {
        return 0.05;
    }
    return std::clamp(8192.0 / sampleRate, 0.05, 0.2);
}

int nextPaletteIndex(int index) noexcept {
    return (ui::normalisePaletteIndex(index) + 1) % ui::kPaletteCount;
}

GeometryViewsController::GeometryViewsController(std::unique_ptr<HardwareGeometryRenderer> view,
                                                 std::unique_ptr<GeometryStageRenderer> stage,
                                                 SourceFactory factory)
    : view_(std::move(view)), stage_(std::move(stage)), factory_(std::move(factory)) {
    viewEnabled_ = view_ != nullptr;
}

GeometryViewsController::~GeometryViewsController() {
    Shutdown();
}

void GeometryViewsController::SourceOpened(const std::filesystem::path& path,
                                           const std::shared_ptr<const playback::PlaybackSource>&) {
    SourceClosed();
    auto source = factory_ ? factory_(path) : playback::createPlaybackSource(path);
    if (!source) {
        throw std::runtime_error("Presentation geometry could not be opened for the new source");
    }
    auto buffer = std::make_unique<surrogate::SurrogateBuffer>(
        source, kPresentationSlots, surrogate::SurrogateBuffer::Background);
    buffer->start();
    surrogate::SurrogateBuffer* raw = buffer.get();
    const playback::PlaybackSource* src = source.get();
    auto indexAt = [src](double t) { return src->chunkIndexAt(t); };
    auto lookup = [raw](std::uint64_t index) { return raw->get(index); };
    auto follow = [raw](std::uint64_t first) {
        const std::uint64_t consumer = raw->consumerChunk();
        if (first < consumer || first >= consumer + raw->slotCount() / 2) {
            raw->jumpTo(first);
        } else if (first > consumer) {
            raw->setConsumerChunk(first);
        }
    };
    builder_ =
        std::make_unique<ui::SnapshotBuilder>(source->metadata().duration, indexAt, lookup, follow);
    buffer_ = std::move(buffer);
    source_ = std::move(source);
}

void GeometryViewsController::SourceClosed() noexcept {
    if (builder_) {
        builder_->stop();
    }
    builder_.reset();
    if (buffer_) {
        buffer_->stop();
    }
    buffer_.reset();
    source_.reset();
    handled_.reset();
    picture_ = {};
}

std::string GeometryViewsController::upkeep(bool pictureNeeded) {
    if (!view_) {
        return {};
    }
    if (pictureNeeded && !view_->ready()) {
        if (view_->adapterPresent() && view_->enable()) {
            renderFailed_ = false;
            handled_.reset();
            return {};
        }
        std::string text =
            orDefault(view_->lastError(), "Hardware Direct3D geometry is unavailable.");
        view_->disable();
        viewEnabled_ = false;
        closeStage();
        return text;
    }
    if (!pictureNeeded && view_->ready()) {
        view_->disable();
        handled_.reset();
        picture_ = {};
    }
    return {};
}

std::string GeometryViewsController::Update(const GeometryTick& tick) {
    lastTick_ = tick;
    const bool open = stageOpen();
    const bool sea = open && scene_ == StageScene::WaveMotionSea;
    const bool corridor = open && scene_ == StageScene::SurrogateCorridor;
    const bool needed = inWindowActive() || sea;
    std::string status = upkeep(needed);
    if (!status.empty()) {
        return status;
    }
    if (stageOpen()) {
        stage_->setTransport(tick.playing, tick.pausedWithoutHold, tick.volumeAvailable,
                             tick.volumeLevel);
    }
    if (!needed && !stageOpen()) {
        return {};
    }
    if (!builder_ || !source_ || (needed && !(view_ && view_->ready()))) {
        return {};
    }
    const auto& meta = source_->metadata();
    if (meta.duration > 0.0 && meta.sampleRate != 0) {
        const double length = geometryWindowLength(static_cast<double>(meta.sampleRate));
        const double time = std::clamp(tick.time, 0.0, meta.duration);
        builder_->request(time, length, tick.playing, corridor);
    }
    auto snapshot = builder_->latest();
    if (!snapshot || snapshot == handled_) {
        return {};
    }
    if (needed) {
        if (!view_->render(*snapshot, kGeometryPictureWidth, kGeometryPictureHeight, sea)) {
            if (renderFailed_) {
                return {};
            }
            renderFailed_ = true;
            std::string text = orDefault(
                view_->lastError(), "Hardware Geometric View stopped after a rendering error.");
            closeStage();
            viewEnabled_ = false;
            view_->disable();
            handled_.reset();
            picture_ = {};
            return text;
        }
        picture_ = view_->picture();
    }
    handled_ = snapshot;
    if (stageOpen() && !stage_->feed(*snapshot, picture_)) {
        std::string text = orDefault(
            stage_->lastError(), "The fullscreen geometry stage stopped after a rendering error.");
        closeStage();
        return text;
    }
    return {};
}

std::string GeometryViewsController::openStage(bool muted) {
    if (!stage_) {
        return "The fullscreen Direct3D geometry stage is unavailable.";
    }
    if (!view_ || !view_->adapterPresent()) {
        return orDefault(stage_->lastError(), "Hardware Direct3D geometry is unavailable.");
    }
    stage_->setPalette(palette_);
    if (!stage_->open(scene_, muted)) {
        stage_->close();
        return orDefault(stage_->lastError(), "Unable to open the fullscreen geometry stage.");
    }
    handled_.reset();  // hand the open stage a snapshot at once
    return rendererLabel() + " " + stageSceneName() + kStageActiveSuffix;
}

void GeometryViewsController::closeStage() noexcept {
    if (stage_ && stage_->isOpen()) {
        stage_->close();
    }
}

std::string GeometryViewsController::ToggleStage(bool muted) {
    if (stageOpen()) {
        closeStage();
        return kStageClosedText;
    }
    return openStage(muted);
}

std::string GeometryViewsController::SwitchStageView() {
    if (!stageOpen()) {
        return "Open the fullscreen geometry stage with F11 before switching views.";
    }
    scene_ = scene_ == StageScene::WaveMotionSea ? StageScene::SurrogateCorridor
                                                 : StageScene::WaveMotionSea;
    stage_->setScene(scene_);
    handled_.reset();
    return stageSceneName() + kStageActiveSuffix;
}

std::string GeometryViewsController::OpenStageScene(StageScene scene, bool muted) {
    scene_ = scene;
    if (stageOpen()) {
        stage_->setScene(scene);
        handled_.reset();
        std::string status = Update(lastTick_);
        if (!status.empty()) {
            return status;
        }
    } else {
        std::string status = openStage(muted);
        if (!stageOpen()) {
            return status;
        }
    }
    if (scene == StageScene::WaveMotionSea) {
        return rendererLabel() +
               " Wave Motion active. Touch to Pause; while Paused tap the screen center to Resume; "
               "drag the "
               "right edge for Output Level; tap the lower title area to return.";
    }
    return rendererLabel() +
           " Surrogate Corridor active. Touch to Pause; while Paused tap the center horizon to "
           "Resume; drag "
           "the right edge for Output Level; tap the lower title area to return.";
}

std::string GeometryViewsController::StageClosed() {
    closeStage();
    return kStageClosedText;
}

void GeometryViewsController::SetMuted(bool muted) {
    if (stage_) {
        stage_->setMuted(muted);
    }
}

void GeometryViewsController::SetPalette(int index) {
    palette_ = ui::normalisePaletteIndex(index);
    if (view_) {
        view_->setPalette(palette_);
    }
    if (stage_) {
        stage_->setPalette(palette_);
    }
    handled_.reset();  // redraw the held snapshot in the new colour
}

bool GeometryViewsController::stageOpen() const noexcept {
    return stage_ && stage_->isOpen();
}

std::string GeometryViewsController::stageSceneName() const {
    return sceneName(scene_);
}

bool GeometryViewsController::inWindowActive() const noexcept {
    return view_ && viewEnabled_ && lastTick_.playerView && !lastTick_.minimised;
}

std::string GeometryViewsController::rendererLabel() const {
    if (view_ && view_->adapterPresent()) {
        return view_->adapterLabel();
    }
    return "Hardware geometry";
}

GeometryPicture GeometryViewsController::picture() const noexcept {
    if (!view_ || !view_->ready()) {
        return {};
    }
    return picture_;
}

void GeometryViewsController::Shutdown() noexcept {
    if (view_) {
        view_->disable();
    }
    picture_ = {};
    closeStage();
    SourceClosed();
}

}  // namespace al::app
