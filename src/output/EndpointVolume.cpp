#include "output/EndpointVolume.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "output/WasapiError.h"

namespace al::audio {

namespace {

void check(platform::AudioResult result, std::string_view step) {
    if (platform::audioFailed(result)) {
        throw std::runtime_error(HresultFailureText(step, result, HexDigits::Lower));
    }
}

[[noreturn]] void noHardwareVolume() { throw std::logic_error("Endpoint has no hardware volume control"); }

}  // namespace

void EndpointVolume::Open(const EndpointInfo& endpoint) {
    Close();
    std::unique_ptr<platform::AudioDeviceEnumerator> enumerator;
    check(CreateAudioDeviceEnumerator(enumerator), "Create MMDeviceEnumerator");
    std::unique_ptr<platform::AudioDevice> device;
    check(enumerator->openEndpoint(endpoint.id, device), "Open render endpoint");
    check(device->activateVolume(control_), "Activate IAudioEndpointVolume");
    check(control_->queryHardwareSupport(hardwareSupport_), "Query endpoint hardware support");
}

void EndpointVolume::Close() noexcept {
    control_.reset();
    hardwareSupport_ = 0;
}

bool EndpointVolume::HasHardwareVolume() const noexcept {
    return control_ != nullptr && (hardwareSupport_ & platform::kHardwareSupportVolume) != 0;
}

void EndpointVolume::SetLevel(float level) {
    if (!HasHardwareVolume()) {
        noHardwareVolume();
    }
    check(control_->setMasterLevelScalar(std::clamp(level, 0.0f, 1.0f)), "Set hardware volume");
}

float EndpointVolume::GetLevel() const {
    if (!HasHardwareVolume()) {
        noHardwareVolume();
    }
    float level = 0.0f;
    check(control_->getMasterLevelScalar(level), "Get hardware volume");
    return level;
}

}  // namespace al::audio
