#pragma once
// The DSD outputs the command line makes itself rather than through the
// engine's built-in choice.

#include <memory>

#include "dsd/AudioOutput.h"

namespace al::cli {

// The virtual DSD sink, playing in real time. Throws std::runtime_error when
// this build has none.
std::unique_ptr<audio::IAudioOutput> makeVirtualDsdSink();

// Native DSD through ALSA (the endpoint id is given to open). Throws
// std::runtime_error when this build has none.
std::unique_ptr<audio::IAudioOutput> makeAlsaDsdOutput();

}  // namespace al::cli
