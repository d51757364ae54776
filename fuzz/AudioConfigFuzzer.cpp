// Arbitrary bytes as the settings file's Audio section: a valid policy or one
// of the documented exceptions, nothing else.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "FuzzFile.h"
#include "output/AudioBufferSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto path = al::fuzz::scratchFile(".ini");
    al::fuzz::writeInput(path, data, size);
    try {
        const auto settings = al::audio::LoadAudioBufferSettings(path);
        // Whatever is accepted must be usable as a buffer policy.
        if (!(settings.bufferMs > 0.0) || !(settings.maxMs >= settings.bufferMs) ||
            !(settings.stepMs > 0.0) || !(settings.safetyMarginMs >= 0.0)) {
            std::abort();
        }
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
