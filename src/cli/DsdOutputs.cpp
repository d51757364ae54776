#include "cli/DsdOutputs.h"

#include <stdexcept>

#if __has_include("dsd/VirtualDsdSink.h")
#include "dsd/VirtualDsdSink.h"
#define AL_CLI_HAS_VIRTUAL_DSD_SINK 1
#else
#define AL_CLI_HAS_VIRTUAL_DSD_SINK 0
#endif

#if __has_include("dsd/AlsaDsdOutput.h")
#include "dsd/AlsaDsdOutput.h"
#define AL_CLI_HAS_ALSA_DSD_OUTPUT 1
#else
#define AL_CLI_HAS_ALSA_DSD_OUTPUT 0
#endif

namespace al::cli {

std::unique_ptr<audio::IAudioOutput> makeVirtualDsdSink() {
#if AL_CLI_HAS_VIRTUAL_DSD_SINK
    return std::make_unique<morrow::dsd::VirtualDsdSink>();
#else
    throw std::runtime_error("Virtual DSD sink not available in this build");
#endif
}

std::unique_ptr<audio::IAudioOutput> makeAlsaDsdOutput() {
#if AL_CLI_HAS_ALSA_DSD_OUTPUT
    return std::make_unique<morrow::dsd::AlsaDsdOutput>();
#else
    throw std::runtime_error("Native ALSA DSD output not available in this build");
#endif
}

}  // namespace al::cli
