// Arbitrary bytes as a settings or state file: reads never fail, and a
// single-key write reads back while the other keys keep their values.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzFile.h"
#include "platform/ProfileFile.h"

namespace {

// Names of the player's own keys, plus a few a file may hold.
struct Key {
    const char* section;
    const char* key;
};
constexpr Key kKeys[] = {
    {"Visual", "waveform_color"},
    {"Experience", "remove_before_playback_removed"},
    {"Experience", "first_run_volume_initialized"},
    {"Audio", "buffer_ms"},
    {"audio", "BUFFER_MAX_MS"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto path = al::fuzz::scratchFile(".ini");
    al::fuzz::writeInput(path, data, size);
    std::string before[std::size(kKeys)];
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        before[i] = al::platform::readProfileString(path, kKeys[i].section, kKeys[i].key, "<none>");
        (void)al::platform::readProfileInt(path, kKeys[i].section, kKeys[i].key, 7);
    }
    // The written key is the first one; the value comes from the input.
    const std::string value = size > 0 ? std::to_string(data[0]) : "1";
    if (al::platform::writeProfileString(path, kKeys[0].section, kKeys[0].key, value)) {
        if (al::platform::readProfileString(path, kKeys[0].section, kKeys[0].key, "<none>") != value) {
            std::abort();
        }
        for (std::size_t i = 1; i < std::size(kKeys); ++i) {
            // "Audio" and "audio" are one section; only a different key is checked.
            if (al::platform::readProfileString(path, kKeys[i].section, kKeys[i].key, "<none>") != before[i]) {
                std::abort();
            }
        }
    }
    return 0;
}
