#pragma once
// The hardware volume of one render endpoint. The player never scales samples
// for loudness; it sets the endpoint's own level, and only when the endpoint
// has a hardware control.

#include <cstdint>
#include <memory>

#include "output/AudioEndpoints.h"
#include "platform/AudioEndpoint.h"

namespace al::audio {

// Bound to one endpoint at a time. Levels are the platform's audio-tapered
// scalar in 0..1, not decibels. Failures are std::runtime_error "<step> failed
// (HRESULT 0x<lower-case hex>)", or std::logic_error "Endpoint has no hardware
// volume control". A failed Open keeps whatever it reached; callers Close.
// User-interface thread only.
class EndpointVolume {
public:
    EndpointVolume() = default;
    ~EndpointVolume() = default;
    EndpointVolume(const EndpointVolume&) = delete;
    EndpointVolume& operator=(const EndpointVolume&) = delete;

    void Open(const EndpointInfo& endpoint);
    void Close() noexcept;
    bool HasHardwareVolume() const noexcept;
    // Clamps to 0..1; not read back.
    void SetLevel(float level);
    float GetLevel() const;

    std::uint32_t HardwareSupport() const noexcept { return hardwareSupport_; }

private:
    std::unique_ptr<platform::AudioVolumeControl> control_;
    std::uint32_t hardwareSupport_ = 0;
};

}  // namespace al::audio
