#include "dsd/DsdEngineChoices.h"

#include <stdexcept>

#include "dsd/NativeAsioOutput.h"
#include "dsd/WasapiOutput.h"

namespace al::audio::detail {

std::unique_ptr<IAudioOutput> makeBuiltInDsdOutput(const DsdEngineOptions& options) {
    if (!options.asioDriver.empty()) {
        return std::make_unique<Native>(options.asioDriver);
    }
    return std::make_unique<morrow::dsd::WasapiOutput>();
}

}  // namespace al::audio::detail
