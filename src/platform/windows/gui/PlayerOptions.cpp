#include "platform/windows/gui/PlayerOptions.h"

#include <optional>

#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"
#include "platform/Utf16.h"

namespace al::win {

namespace {

constexpr std::u16string_view kDeviceSwitch = u"--device=";

}  // namespace

void ApplyPlayerSwitches(const std::vector<std::u16string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (argument.rfind(kDeviceSwitch, 0) != 0) {
            continue;
        }
        const std::string device = platform::utf8FromUtf16(argument.substr(kDeviceSwitch.size()));
        const audio::VirtualOutputConfig base = audio::CurrentVirtualOutput()->config();
        const std::optional<audio::VirtualOutputConfig> wanted =
            audio::ParseVirtualDeviceId(device, base);
        if (!wanted) {
            continue;  // a real endpoint is chosen in the window
        }
        audio::UseVirtualOutput(audio::VirtualOutput::create(*wanted), audio::VirtualListing::Only);
    }
}

}  // namespace al::win
