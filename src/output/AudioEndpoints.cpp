#include "output/AudioEndpoints.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "output/VirtualOutput.h"
#include "output/WasapiError.h"
#include "platform/WaveFormat.h"

namespace al::audio {

using platform::AudioDevice;
using platform::AudioDeviceEnumerator;
using platform::AudioResult;

namespace {

struct VirtualSetup {
    std::mutex mutex;
    std::shared_ptr<VirtualOutput> device;
    VirtualListing listing = VirtualListing::WhenNoOther;
};

VirtualSetup& setup() {
    static VirtualSetup instance;
    return instance;
}

// The platform's enumerator with the virtual endpoint added after its
// endpoints (or alone) as the listing says.
class ListingEnumerator final : public AudioDeviceEnumerator {
public:
    ListingEnumerator(std::unique_ptr<AudioDeviceEnumerator> system, std::shared_ptr<VirtualOutput> device,
                      VirtualListing listing)
        : system_(std::move(system)), virtual_(std::move(device)), listing_(listing) {}

    AudioResult getDefaultRenderEndpoint(std::unique_ptr<AudioDevice>& device) noexcept override {
        if (system_ != nullptr) {
            const AudioResult result = system_->getDefaultRenderEndpoint(device);
            if (result != platform::kAudioNotFound || listing_ == VirtualListing::Never) {
                return result;
            }
            // No default among the platform's endpoints: the virtual one is
            // the default if it is the only endpoint listed.
            std::uint32_t count = 0;
            const AudioResult listed = system_->enumerateActiveRenderEndpoints();
            if (platform::audioFailed(listed)) {
                return listed;
            }
            if (const AudioResult counted = system_->getRenderEndpointCount(count); platform::audioFailed(counted)) {
                return counted;
            }
            if (count != 0) {
                return platform::kAudioNotFound;
            }
        }
        return openVirtual(device);
    }

    AudioResult enumerateActiveRenderEndpoints() noexcept override {
        systemCount_ = 0;
        if (system_ != nullptr) {
            if (const AudioResult result = system_->enumerateActiveRenderEndpoints(); platform::audioFailed(result)) {
                return result;
            }
        }
        enumerated_ = true;
        return platform::kAudioOk;
    }

    AudioResult getRenderEndpointCount(std::uint32_t& count) noexcept override {
        if (!enumerated_) {
            return platform::kAudioPointer;
        }
        if (system_ != nullptr) {
            if (const AudioResult result = system_->getRenderEndpointCount(systemCount_); platform::audioFailed(result)) {
                return result;
            }
        }
        virtualListed_ = listing_ == VirtualListing::Only || listing_ == VirtualListing::Always ||
                         (listing_ == VirtualListing::WhenNoOther && systemCount_ == 0);
        count = systemCount_ + (virtualListed_ ? 1u : 0u);
        return platform::kAudioOk;
    }

    AudioResult getRenderEndpoint(std::uint32_t index, std::unique_ptr<AudioDevice>& device) noexcept override {
        if (index < systemCount_ && system_ != nullptr) {
            return system_->getRenderEndpoint(index, device);
        }
        if (virtualListed_ && index == systemCount_) {
            return openVirtual(device);
        }
        return platform::kAudioInvalidArgument;
    }

    AudioResult openEndpoint(const std::u16string& id, std::unique_ptr<AudioDevice>& device) noexcept override {
        if (listing_ != VirtualListing::Never) {
            try {
                if (id == virtual_->config().id) {
                    return openVirtual(device);
                }
            } catch (const std::exception&) {
                return platform::kAudioOutOfMemory;
            }
        }
        if (system_ == nullptr) {
            return platform::kAudioNotFound;
        }
        return system_->openEndpoint(id, device);
    }

private:
    AudioResult openVirtual(std::unique_ptr<AudioDevice>& device) noexcept {
        try {
            device = virtual_->openDevice();
        } catch (const std::exception&) {
            return platform::kAudioOutOfMemory;
        }
        return platform::kAudioOk;
    }

    std::unique_ptr<AudioDeviceEnumerator> system_;
    std::shared_ptr<VirtualOutput> virtual_;
    VirtualListing listing_;
    bool enumerated_ = false;
    bool virtualListed_ = false;
    std::uint32_t systemCount_ = 0;
};

struct Candidate {
    bool extensible;
    bool isFloat;
    std::uint16_t containerBits;
    std::uint16_t validBits;
    SampleKind kind;
};

constexpr Candidate kCandidates[] = {
    {false, true, 32, 32, SampleKind::Float32},      // WAVEFORMATEX float32
    {true, true, 32, 32, SampleKind::Float32},       // WAVEFORMATEXTENSIBLE float32
    {false, false, 32, 32, SampleKind::Pcm32},       // WAVEFORMATEX PCM32
    {true, false, 32, 32, SampleKind::Pcm32},        // WAVEFORMATEXTENSIBLE PCM32
    {true, false, 32, 24, SampleKind::Pcm24In32},    // WAVEFORMATEXTENSIBLE PCM24-in-32
    {true, false, 24, 24, SampleKind::Pcm24Packed},  // WAVEFORMATEXTENSIBLE packed PCM24
    {false, false, 16, 16, SampleKind::Pcm16},       // WAVEFORMATEX PCM16
    {true, false, 16, 16, SampleKind::Pcm16},        // WAVEFORMATEXTENSIBLE PCM16
};

}  // namespace

void UseVirtualOutput(std::shared_ptr<VirtualOutput> device, VirtualListing listing) {
    VirtualSetup& s = setup();
    std::lock_guard lock(s.mutex);
    if (device != nullptr) {
        s.device = std::move(device);
    }
    s.listing = listing;
}

std::shared_ptr<VirtualOutput> CurrentVirtualOutput() {
    VirtualSetup& s = setup();
    std::lock_guard lock(s.mutex);
    if (s.device == nullptr) {
        s.device = VirtualOutput::create();
    }
    return s.device;
}

VirtualListing CurrentVirtualListing() {
    VirtualSetup& s = setup();
    std::lock_guard lock(s.mutex);
    return s.listing;
}

AudioResult CreateAudioDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& enumerator) noexcept {
    try {
        const VirtualListing listing = CurrentVirtualListing();
        std::shared_ptr<VirtualOutput> device = CurrentVirtualOutput();
        std::unique_ptr<AudioDeviceEnumerator> system;
        if (listing != VirtualListing::Only) {
            if (const AudioResult created = platform::createSystemAudioEnumerator(system);
                platform::audioFailed(created)) {
                return created;
            }
        }
        enumerator = std::make_unique<ListingEnumerator>(std::move(system), std::move(device), listing);
        return platform::kAudioOk;
    } catch (const std::exception&) {
        return platform::kAudioOutOfMemory;
    }
}

std::u16string ReadEndpointName(AudioDevice& device) {
    CheckWasapi(device.openProperties(), "Open endpoint properties");
    std::optional<std::u16string> name;
    CheckWasapi(device.readFriendlyName(name), "Read endpoint name");
    return name.has_value() ? *name : u"Audio Device";
}

std::vector<EndpointInfo> EnumerateRenderEndpoints() {
    std::unique_ptr<AudioDeviceEnumerator> enumerator;
    CheckWasapi(CreateAudioDeviceEnumerator(enumerator), "Create MMDeviceEnumerator");
    return EnumerateRenderEndpoints(*enumerator);
}

std::vector<EndpointInfo> EnumerateRenderEndpoints(AudioDeviceEnumerator& enumerator) {
    std::optional<std::u16string> defaultId;
    {
        std::unique_ptr<AudioDevice> device;
        const AudioResult result = enumerator.getDefaultRenderEndpoint(device);
        if (result != platform::kAudioNotFound) {
            CheckWasapi(result, "Get default render endpoint");
            std::u16string id;
            CheckWasapi(device->getId(id), "Get endpoint ID");
            defaultId = std::move(id);
        }
    }

    CheckWasapi(enumerator.enumerateActiveRenderEndpoints(), "Enumerate render endpoints");
    std::uint32_t count = 0;
    CheckWasapi(enumerator.getRenderEndpointCount(count), "Get render endpoint count");

    std::vector<EndpointInfo> endpoints;
    for (std::uint32_t index = 0; index < count; ++index) {
        std::unique_ptr<AudioDevice> device;
        if (platform::audioFailed(enumerator.getRenderEndpoint(index, device)) || device == nullptr) {
            continue;
        }
        try {
            EndpointInfo info;
            CheckWasapi(device->getId(info.id), "Get endpoint ID");
            info.name = ReadEndpointName(*device);
            info.isDefault = defaultId.has_value() && info.id == *defaultId;
            endpoints.push_back(std::move(info));
        } catch (const WasapiError&) {
            // This endpoint only: the others are still worth listing.
        }
    }
    std::stable_sort(endpoints.begin(), endpoints.end(), [](const EndpointInfo& a, const EndpointInfo& b) {
        if (a.isDefault != b.isDefault) {
            return a.isDefault;
        }
        return a.name < b.name;
    });
    return endpoints;
}

const std::array<std::uint32_t, 23> kProbedSampleRates = {
    8000,   11025,  16000,  22050,   32000,   44100,   48000,   88200,   96000,    176400,   192000,  352800,
    384000, 705600, 768000, 1411200, 1536000, 2822400, 3072000, 5644800, 6144000, 11289600, 12288000};

std::vector<EndpointFormat> ExactFormatCandidates(std::uint32_t sampleRate, std::uint16_t channels) {
    std::vector<EndpointFormat> candidates;
    for (const Candidate& candidate : kCandidates) {
        if (!candidate.extensible && channels > 2) {
            continue;
        }
        EndpointFormat format;
        format.sampleRate = sampleRate;
        format.channels = channels;
        format.containerBits = candidate.containerBits;
        format.validBits = candidate.validBits;
        format.kind = candidate.kind;
        format.sharedFallback = false;
        format.waveFormat =
            candidate.extensible
                ? MakeExtensibleWaveFormat(candidate.isFloat, channels, sampleRate, candidate.containerBits,
                                           candidate.validBits, ChannelMask(channels))
                : MakePlainWaveFormat(candidate.isFloat ? platform::kWaveTagFloat : platform::kWaveTagPcm, channels,
                                      sampleRate, candidate.containerBits);
        candidates.push_back(std::move(format));
    }
    return candidates;
}

void SortExactFormats(std::vector<EndpointFormat>& formats) {
    std::stable_sort(formats.begin(), formats.end(), [](const EndpointFormat& a, const EndpointFormat& b) {
        if (a.sampleRate != b.sampleRate) {
            return a.sampleRate < b.sampleRate;
        }
        if (a.validBits != b.validBits) {
            return a.validBits < b.validBits;
        }
        if (a.containerBits != b.containerBits) {
            return a.containerBits < b.containerBits;
        }
        return KindPreferenceRank(a.kind) < KindPreferenceRank(b.kind);
    });
}

std::vector<EndpointFormat> ProbeExactFormats(const std::u16string& endpointId, int channels) {
    if (channels < 1 || channels > 8) {
        throw std::invalid_argument("WASAPI player currently supports one through eight channels");
    }
    std::unique_ptr<AudioDeviceEnumerator> enumerator;
    CheckWasapi(CreateAudioDeviceEnumerator(enumerator), "Create MMDeviceEnumerator");
    std::unique_ptr<AudioDevice> device;
    CheckWasapi(enumerator->openEndpoint(endpointId, device), "Open render endpoint");
    std::unique_ptr<platform::AudioClient> client;
    CheckWasapi(device->activateClient(client), "Activate IAudioClient");
    ReadEndpointName(*device);

    std::vector<EndpointFormat> kept;
    for (const std::uint32_t rate : kProbedSampleRates) {
        for (EndpointFormat& candidate : ExactFormatCandidates(rate, static_cast<std::uint16_t>(channels))) {
            const AudioResult answer = client->isExclusiveFormatSupported(candidate.waveFormat);
            if (answer == platform::kAudioDeviceInUse) {
                throw WasapiError("The selected audio endpoint is currently in use", answer);
            }
            if (answer != platform::kAudioOk) {
                continue;
            }
            const bool known = std::any_of(kept.begin(), kept.end(), [&](const EndpointFormat& format) {
                return SameFormat(format, candidate);
            });
            if (!known) {
                kept.push_back(std::move(candidate));
            }
        }
    }
    SortExactFormats(kept);
    return kept;
}

}  // namespace al::audio
