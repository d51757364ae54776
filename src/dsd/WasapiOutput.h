#pragma once
// DoP on an exact PCM endpoint: the engine's DoP-packed buffers go bit-exactly
// to a render endpoint opened for exclusive use at DSD rate / 16, in the first
// of five integer carrier formats the endpoint accepts exactly. There is no
// PCM conversion and no shared-mode fallback: an endpoint that accepts none
// of the carriers is refused.
//
// Written once over the audio-endpoint port, so the same steps run over
// WASAPI, ALSA hw devices (where DoP is plain PCM at DSD rate / 16) and the
// virtual output.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dsd/AudioOutput.h"
#include "platform/AudioEndpoint.h"
#include "platform/Event.h"
#include "platform/ThreadScheduling.h"

namespace morrow::dsd {

// "<step> failed: 0x<code>", the code in lower-case hexadecimal without
// leading zeros (a failure code always has eight digits).
std::string dopFailureText(std::string_view step, al::platform::AudioResult result);
// Throws std::runtime_error with that text when result is a failure; success
// codes (S_FALSE included) pass.
void checkDop(al::platform::AudioResult result, std::string_view step);

// One DoP carrier format: stereo integer PCM at DSD rate / 16.
struct DopCarrier {
    bool extensible = true;  // WAVEFORMATEXTENSIBLE, else plain WAVEFORMATEX (tag 1)
    std::uint16_t containerBits = 0;
    std::uint16_t validBits = 0;
    std::uint32_t carrierBytes = 0;  // 3 or 4
    const char* description = "";    // e.g. "24-bit in 32 bits"
};

// The carriers in the order they are offered: 24 in 24, 24 in 32, 32 in 32
// (extensible), then 24 in 24 and 32 in 32 as legacy plain structures.
const std::array<DopCarrier, 5>& dopCarriers() noexcept;

// The exact structure bytes of a carrier at this frame rate: extensible with
// mask 3 and the PCM sub-format, or plain with tag 1 and extension size 0.
std::vector<std::uint8_t> dopCarrierFormat(const DopCarrier& carrier, std::uint32_t frameRate);

// Which carrier an endpoint takes for exclusive use at this frame rate.
struct DopCarrierAnswer {
    int index = -1;     // into dopCarriers(): the first answered S_OK; -1 for none
    bool busy = false;  // some answer said another program holds the device
};
// Asks the five carriers in order; only S_OK counts (S_FALSE, a closest-match
// answer, is a refusal). Stops at the first accepted one.
DopCarrierAnswer queryDopCarriers(al::platform::AudioClient& client, std::uint32_t frameRate);

// An active render endpoint as the DSD menu lists it.
struct DopEndpoint {
    std::u16string id;
    std::u16string name;  // "Unnamed" when the name property is not a string
};

// The active render endpoints in enumeration order (not sorted, no default
// marked). Failures name their step: "Audio enumeration", "Active outputs",
// "Device count", "Endpoint", "Endpoint properties", "Endpoint name". Runs on
// a thread that is ready for audio calls (see AudioThreadApartment).
std::vector<DopEndpoint> listDopEndpoints();
std::vector<DopEndpoint> listDopEndpoints(al::platform::AudioDeviceEnumerator& enumerator);

// IAudioOutput over one endpoint. Every method runs on the engine thread;
// start() puts that thread into the "Pro Audio" scheduling class. Failures
// are std::runtime_error with fixed texts. queueDepth is 1: the engine
// prefills one buffer, starts, then submits one buffer per event.
class WasapiOutput final : public al::audio::IAudioOutput {
  public:
    // Joins the multithreaded apartment for audio calls (a thread already in
    // another apartment is accepted, and then not left). Throws "COM
    // initialization failed: 0x..." otherwise.
    WasapiOutput();
    // Stops, releases the stream objects, closes the event, leaves an owned
    // apartment. Never throws.
    ~WasapiOutput() override;

    al::audio::DsdOutputFormat open(const std::u16string& endpointId,
                                    std::uint32_t frameRate) override;
    bool wait(std::uint32_t timeoutMs) override;
    void submit(std::span<const std::uint8_t> buffer) override;
    std::uint32_t queueDepth() const override { return 1; }
    void start() override;
    void stop() override;

    bool isOpen() const noexcept { return transport_ != nullptr; }
    bool isStarted() const noexcept;
    // The chosen carrier once open.
    std::optional<DopCarrier> carrier() const noexcept;

  private:
    struct Transport;

    al::platform::AudioThreadApartment apartment_;
    std::unique_ptr<Transport> transport_;
    al::platform::ProAudioScheduling scheduling_;
};

}  // namespace morrow::dsd
