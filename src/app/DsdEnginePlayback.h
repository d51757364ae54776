#pragma once
// DsdPlayback over the real DSD engine. Header-only so that only a
// composition root that links the engine's implementation (al_dsd with
// DsdEngine.cpp) uses it: `window.SetDsdFactory(app::MakeDsdEnginePlayback)`.

#include <memory>
#include <utility>

#include "app/DsdPlayback.h"
#include "dsd/DsdEngine.h"

namespace al::app {

class DsdEnginePlayback final : public DsdPlayback {
  public:
    DsdEnginePlayback(std::shared_ptr<const playback::PlaybackSource> source,
                      audio::DsdEngineOptions options)
        : engine_(std::move(source), std::move(options)) {}

    bool play() noexcept override { return engine_.play(); }
    bool pause() noexcept override { return engine_.pause(); }
    void setLoop(bool on) noexcept override { engine_.setLoop(on); }
    void setMute(bool on) noexcept override { engine_.setMute(on); }
    void seek(double seconds) override { engine_.seek(seconds); }
    bool cancel() noexcept override { return engine_.cancel(); }
    bool takeEnded() noexcept override { return engine_.takeEnded(); }
    bool hasFinished() const noexcept override { return engine_.hasFinished(); }
    audio::DsdEngineStatus status() const override { return engine_.status(); }

  private:
    audio::DsdEngine engine_;
};

inline std::shared_ptr<DsdPlayback> MakeDsdEnginePlayback(
    std::shared_ptr<const playback::PlaybackSource> source,
    const audio::DsdEngineOptions& options) {
    return std::make_shared<DsdEnginePlayback>(std::move(source), options);
}

}  // namespace al::app
