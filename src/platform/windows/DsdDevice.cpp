#include "platform/DsdDevice.h"

namespace al::platform {

// Native DSD on Windows goes through ASIO drivers; there are no raw DSD
// playback devices to open here.
DsdResult openDsdPlaybackDevice(const std::u16string&,
                                std::unique_ptr<DsdPlaybackDevice>& device) noexcept {
    device.reset();
    return DsdResult::Unavailable;
}

bool nativeDsdDevicesAvailable() noexcept {
    return false;
}

}  // namespace al::platform
