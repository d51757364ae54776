#include "dsd/DsdEngineChoices.h"

#include <stdexcept>

#if __has_include("dsd/NativeAsioOutput.h")
#include "dsd/NativeAsioOutput.h"
#define AL_DSD_HAS_ASIO_OUTPUT 1
#else
#define AL_DSD_HAS_ASIO_OUTPUT 0
#endif

#if __has_include("dsd/WasapiOutput.h")
#include "dsd/WasapiOutput.h"
#define AL_DSD_HAS_DOP_OUTPUT 1
#else
#define AL_DSD_HAS_DOP_OUTPUT 0
#endif

namespace al::audio::detail {

std::unique_ptr<IAudioOutput> makeBuiltInDsdOutput(const DsdEngineOptions& options) {
    if (!options.asioDriver.empty()) {
#if AL_DSD_HAS_ASIO_OUTPUT
        return std::make_unique<Native>(options.asioDriver);
#else
        throw std::runtime_error("Native ASIO DSD output not available in this build");
#endif
    }
#if AL_DSD_HAS_DOP_OUTPUT
    return std::make_unique<morrow::dsd::WasapiOutput>();
#else
    throw std::runtime_error("DoP output not available in this build");
#endif
}

}  // namespace al::audio::detail
