#include "cli/DsdOutputs.h"

#include "dsd/AlsaDsdOutput.h"
#include "dsd/VirtualDsdSink.h"

namespace al::cli {

std::unique_ptr<audio::IAudioOutput> makeVirtualDsdSink() {
    return std::make_unique<morrow::dsd::VirtualDsdSink>();
}

std::unique_ptr<audio::IAudioOutput> makeAlsaDsdOutput() {
    return std::make_unique<morrow::dsd::AlsaDsdOutput>();
}

}  // namespace al::cli
