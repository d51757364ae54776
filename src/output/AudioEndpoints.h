#pragma once
// Render endpoints: which exist, which one is the default, and which exact
// formats one of them accepts for exclusive use. Runs over the platform's
// audio system, the virtual output, or both (see UseVirtualOutput).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/EndpointFormat.h"
#include "platform/AudioEndpoint.h"

namespace al::audio {

class VirtualOutput;

struct EndpointInfo {
    std::u16string id;    // the platform's endpoint identifier
    std::u16string name;  // friendly name, "Audio Device" when it has none
    bool isDefault = false;
};

// When the virtual output is among the endpoints.
enum class VirtualListing {
    Never,        // the platform's endpoints only
    WhenNoOther,  // only on a machine without any other endpoint (the default)
    Always,       // after the platform's endpoints (asked for by the user)
    Only,         // instead of the platform's endpoints (tests, rendering to a file)
};

// Chooses the virtual device and when it is listed, for every enumeration
// from now on. A null device keeps the current one. The virtual endpoint is
// the default endpoint when it is the only one listed. Call from the
// user-interface thread while no endpoint is in use.
void UseVirtualOutput(std::shared_ptr<VirtualOutput> device, VirtualListing listing);
// The virtual device (made with the standard configuration on first use).
std::shared_ptr<VirtualOutput> CurrentVirtualOutput();
VirtualListing CurrentVirtualListing();

// The device enumerator every endpoint user starts from: the platform's, the
// virtual output's, or both, as UseVirtualOutput says. The virtual endpoint
// can be opened by its identifier whenever it is listed, or would be.
platform::AudioResult CreateAudioDeviceEnumerator(std::unique_ptr<platform::AudioDeviceEnumerator>& enumerator) noexcept;

// The active render endpoints, the default first, the rest by name (ordinal
// order of UTF-16 code units; equal names keep the platform's order). A
// missing default is no error; an endpoint that fails to answer is left out.
// Throws WasapiError on other platform failures. User-interface thread.
std::vector<EndpointInfo> EnumerateRenderEndpoints();
// The same over a given enumerator.
std::vector<EndpointInfo> EnumerateRenderEndpoints(platform::AudioDeviceEnumerator& enumerator);

// The 23 sample rates probed, in order.
extern const std::array<std::uint32_t, 23> kProbedSampleRates;

// The candidate formats for one rate and channel count, in the order they are
// asked for: plain WAVEFORMATEX variants only for one or two channels.
std::vector<EndpointFormat> ExactFormatCandidates(std::uint32_t sampleRate, std::uint16_t channels);

// Stable sort by rate, then valid bits, then container bits, then kind
// preference: the last record is the richest format.
void SortExactFormats(std::vector<EndpointFormat>& formats);

// The exact formats the endpoint accepts in exclusive mode for this channel
// count, sorted. channels outside 1..8: std::invalid_argument before any
// endpoint is opened. A busy endpoint: WasapiError "The selected audio
// endpoint is currently in use". Other platform failures: WasapiError naming
// the step. User-interface thread, no stream open on the endpoint.
std::vector<EndpointFormat> ProbeExactFormats(const std::u16string& endpointId, int channels);

// Opens the device's properties and reads its name ("Audio Device" when the
// name is not a string). Throws WasapiError.
std::u16string ReadEndpointName(platform::AudioDevice& device);

}  // namespace al::audio
