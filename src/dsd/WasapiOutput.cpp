#include "dsd/WasapiOutput.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "output/AudioEndpoints.h"
#include "output/EndpointFormat.h"
#include "platform/WaveFormat.h"

namespace morrow::dsd {

using namespace al::platform;

namespace {

// 20 ms in 100-ns units: long enough for a loaded engine thread, short enough
// that a seek or a pause is heard at once.
constexpr std::int64_t kDopBufferDuration = 200'000;

constexpr std::array<DopCarrier, 5> kCarriers = {{
    {true, 24, 24, 3, "24-bit in 24 bits"},
    {true, 32, 24, 4, "24-bit in 32 bits"},
    {true, 32, 32, 4, "32-bit in 32 bits"},
    {false, 24, 24, 3, "24-bit in 24 bits (legacy PCM carrier)"},
    {false, 32, 32, 4, "32-bit in 32 bits (legacy PCM carrier)"},
}};

}  // namespace

struct WasapiOutput::Transport {
    std::unique_ptr<AudioDeviceEnumerator> enumerator;
    std::unique_ptr<AudioDevice> device;
    // Declared before the client: the client may signal it until released.
    Event renderEvent;
    std::unique_ptr<AudioClient> client;
    std::unique_ptr<AudioRenderService> render;
    DopCarrier carrier;
    std::uint32_t frameRate = 0;
    std::uint32_t framesPerBuffer = 0;
    std::size_t bufferBytes = 0;
    bool started = false;
};

std::string dopFailureText(std::string_view step, AudioResult result) {
    char code[16];
    std::snprintf(code, sizeof code, "%x",
                  static_cast<unsigned>(static_cast<std::uint32_t>(result)));
    std::string text(step);
    text += " failed: 0x";
    text += code;
    return text;
}

void checkDop(AudioResult result, std::string_view step) {
    if (audioFailed(result)) {
        throw std::runtime_error(dopFailureText(step, result));
    }
}

const std::array<DopCarrier, 5>& dopCarriers() noexcept {
    return kCarriers;
}

std::vector<std::uint8_t> dopCarrierFormat(const DopCarrier& carrier, std::uint32_t frameRate) {
    if (carrier.extensible) {
        return al::audio::MakeExtensibleWaveFormat(false, 2, frameRate, carrier.containerBits,
                                                   carrier.validBits, al::audio::ChannelMask(2));
    }
    return al::audio::MakePlainWaveFormat(kWaveTagPcm, 2, frameRate, carrier.containerBits);
}

DopCarrierAnswer queryDopCarriers(AudioClient& client, std::uint32_t frameRate) {
    DopCarrierAnswer answer;
    for (std::size_t i = 0; i < kCarriers.size(); ++i) {
        const std::vector<std::uint8_t> format = dopCarrierFormat(kCarriers[i], frameRate);
        const AudioResult result = client.isExclusiveFormatSupported(format);
        if (result == kAudioOk) {
            answer.index = static_cast<int>(i);
            return answer;
        }
        answer.busy = answer.busy || result == kAudioDeviceInUse;
    }
    return answer;
}

std::vector<DopEndpoint> listDopEndpoints() {
    std::unique_ptr<AudioDeviceEnumerator> enumerator;
    checkDop(al::audio::CreateAudioDeviceEnumerator(enumerator), "Audio enumeration");
    return listDopEndpoints(*enumerator);
}

std::vector<DopEndpoint> listDopEndpoints(AudioDeviceEnumerator& enumerator) {
    checkDop(enumerator.enumerateActiveRenderEndpoints(), "Active outputs");
    std::uint32_t count = 0;
    checkDop(enumerator.getRenderEndpointCount(count), "Device count");
    std::vector<DopEndpoint> endpoints;
    endpoints.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        std::unique_ptr<AudioDevice> device;
        checkDop(enumerator.getRenderEndpoint(index, device), "Endpoint");
        if (device == nullptr) {
            checkDop(kAudioPointer, "Endpoint");
        }
        DopEndpoint entry;
        checkDop(device->getId(entry.id), "Endpoint");
        checkDop(device->openProperties(), "Endpoint properties");
        std::optional<std::u16string> name;
        checkDop(device->readFriendlyName(name), "Endpoint name");
        entry.name = name.has_value() ? std::move(*name) : u"Unnamed";
        endpoints.push_back(std::move(entry));
    }
    return endpoints;
}

WasapiOutput::WasapiOutput() {
    const AudioResult joined = apartment_.join();
    if (joined != kAudioChangedMode) {
        checkDop(joined, "COM initialization");
    }
}

WasapiOutput::~WasapiOutput() {
    try {
        stop();
    } catch (const std::exception&) {
        // A device that fails to stop is released all the same.
    }
    transport_.reset();
    scheduling_.leave();
}

al::audio::DsdOutputFormat WasapiOutput::open(const std::u16string& endpointId,
                                              std::uint32_t frameRate) {
    if (transport_ != nullptr) {
        throw std::runtime_error("Output is already open");
    }
    if (endpointId.empty()) {
        throw std::runtime_error("An exact endpoint ID is required");
    }
    auto t = std::make_unique<Transport>();
    t->frameRate = frameRate;
    checkDop(al::audio::CreateAudioDeviceEnumerator(t->enumerator), "Audio enumeration");

    // Only an endpoint that is active right now, under exactly this id.
    checkDop(t->enumerator->enumerateActiveRenderEndpoints(), "Active outputs");
    std::uint32_t count = 0;
    checkDop(t->enumerator->getRenderEndpointCount(count), "Device count");
    for (std::uint32_t index = 0; index < count && t->device == nullptr; ++index) {
        std::unique_ptr<AudioDevice> device;
        checkDop(t->enumerator->getRenderEndpoint(index, device), "Endpoint");
        if (device == nullptr) {
            checkDop(kAudioPointer, "Endpoint");
        }
        std::u16string id;
        checkDop(device->getId(id), "Endpoint");
        if (id == endpointId) {
            t->device = std::move(device);
        }
    }
    if (t->device == nullptr) {
        throw std::runtime_error("Selected audio endpoint is no longer active");
    }

    {
        std::unique_ptr<AudioClient> probe;
        checkDop(t->device->activateClient(probe), "Audio client activation");
        const DopCarrierAnswer answer = queryDopCarriers(*probe, frameRate);
        if (answer.index < 0) {
            throw std::runtime_error(
                "Exact DoP carrier rate/format unsupported; no PCM conversion or shared-mode "
                "fallback");
        }
        t->carrier = kCarriers[static_cast<std::size_t>(answer.index)];
        // The probing client is let go before the stream's own: a hardware
        // device may be held by whichever client touched it first.
    }
    const std::vector<std::uint8_t> format = dopCarrierFormat(t->carrier, frameRate);

    checkDop(t->device->activateClient(t->client), "Audio client activation");
    if (!t->renderEvent.create(Event::Reset::Automatic, false)) {
        throw std::runtime_error("Cannot create render event");
    }
    AudioResult result = t->client->initialize(AudioShareMode::Exclusive, kDopBufferDuration,
                                               kDopBufferDuration, format);
    if (result == kAudioBufferSizeNotAligned) {
        // The device wants whole hardware blocks: once more with the size it
        // proposes, on a fresh client.
        std::uint32_t alignedFrames = 0;
        checkDop(t->client->getBufferSize(alignedFrames), "Aligned buffer size");
        t->client.reset();
        checkDop(t->device->activateClient(t->client), "Audio client activation");
        const auto duration =
            static_cast<std::int64_t>(static_cast<double>(alignedFrames) * 1e7 / frameRate + 0.5);
        result = t->client->initialize(AudioShareMode::Exclusive, duration, duration, format);
    }
    checkDop(result, "Exclusive DoP transport initialization");
    checkDop(t->client->setEventHandle(t->renderEvent), "Render event");
    checkDop(t->client->getBufferSize(t->framesPerBuffer), "Buffer size");
    checkDop(t->client->getRenderService(t->render), "Render service");
    t->bufferBytes = std::size_t{t->framesPerBuffer} * t->carrier.carrierBytes * 2u;

    al::audio::DsdOutputFormat opened;
    opened.frameRate = frameRate;
    opened.framesPerBuffer = t->framesPerBuffer;
    opened.carrierBytes = t->carrier.carrierBytes;
    opened.description = t->carrier.description;
    transport_ = std::move(t);
    return opened;
}

bool WasapiOutput::wait(std::uint32_t timeoutMs) {
    if (transport_ == nullptr) {
        throw std::runtime_error("Output not open");
    }
    const std::uint32_t result = waitFor(transport_->renderEvent, timeoutMs);
    if (result == 0) {
        return true;
    }
    if (result == kWaitTimeout) {
        return false;
    }
    throw std::runtime_error("Audio event/device failure");
}

void WasapiOutput::submit(std::span<const std::uint8_t> buffer) {
    Transport* t = transport_.get();
    if (t == nullptr) {
        throw std::runtime_error("Output not open");
    }
    if (buffer.size() != t->bufferBytes) {
        throw std::runtime_error("DoP buffer size mismatch");
    }
    std::uint8_t* data = nullptr;
    AudioResult got = t->render->getBuffer(t->framesPerBuffer, data);
    // After a late pass the endpoint may signal an event it raised before it
    // took the previous buffer: it still holds that buffer and refuses a new
    // one as too large. That is not a device failure; the buffer goes out on
    // the next event (dropping it would lose audio, failing would end play).
    for (int retry = 0; got == kAudioBufferTooLarge && retry < 4; ++retry) {
        if (waitFor(t->renderEvent, 200) != 0) {
            break;
        }
        got = t->render->getBuffer(t->framesPerBuffer, data);
    }
    checkDop(got, "Render buffer");
    std::memcpy(data, buffer.data(), buffer.size());
    checkDop(t->render->releaseBuffer(t->framesPerBuffer, 0), "Submit DoP buffer");
}

void WasapiOutput::start() {
    Transport* t = transport_.get();
    if (t == nullptr) {
        throw std::runtime_error("Output not open");
    }
    if (t->started) {
        return;
    }
    // A refusal leaves the thread as it was and plays on.
    scheduling_.join();
    checkDop(t->client->start(), "Start");
    t->started = true;
}

void WasapiOutput::stop() {
    Transport* t = transport_.get();
    AudioResult result = kAudioOk;
    if (t != nullptr && t->started) {
        result = t->client->stop();
        t->started = false;
    }
    scheduling_.leave();
    checkDop(result, "Stop");
}

bool WasapiOutput::isStarted() const noexcept {
    return transport_ != nullptr && transport_->started;
}

std::optional<DopCarrier> WasapiOutput::carrier() const noexcept {
    if (transport_ == nullptr) {
        return std::nullopt;
    }
    return transport_->carrier;
}

}  // namespace morrow::dsd
