#pragma once
// The DSD engine as the player window drives it. The window makes engines
// through a factory set by its composition root, so that the transport can be
// tested with an engine whose states the test decides, and so that a build
// without the DSD engine still has a complete player (DSD output then reports
// that it is unavailable).

#include <functional>
#include <memory>

#include "dsd/DsdEngine.h"

namespace al::playback {
class PlaybackSource;
}

namespace al::app {

// Same contracts as audio::DsdEngine: one track, preparation starts at
// construction, every method on the user-interface thread.
class DsdPlayback {
  public:
    virtual ~DsdPlayback() = default;
    virtual bool play() noexcept = 0;
    virtual bool pause() noexcept = 0;
    virtual void setLoop(bool on) noexcept = 0;
    virtual void setMute(bool on) noexcept = 0;
    virtual void seek(double seconds) = 0;
    virtual bool cancel() noexcept = 0;
    virtual bool takeEnded() noexcept = 0;
    virtual bool hasFinished() const noexcept = 0;
    virtual audio::DsdEngineStatus status() const = 0;
};

// Makes the engine for a source and options; throws as the engine's
// constructor does. Empty: DSD output is not available in this build.
using DsdPlaybackFactory = std::function<std::shared_ptr<DsdPlayback>(
    std::shared_ptr<const playback::PlaybackSource> source,
    const audio::DsdEngineOptions& options)>;

}  // namespace al::app
