#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "VirtualEndpointScope.h"
#include "output/AudioEndpoints.h"
#include "output/EndpointVolume.h"
#include "output/VirtualOutput.h"
#include "output/WasapiError.h"

namespace al::audio {
namespace {

using platform::AudioResult;
using test::VirtualEndpointScope;
using Structure = VirtualFormat::Structure;

VirtualOutputConfig accepting(std::vector<VirtualFormat> formats) {
    VirtualOutputConfig config;
    config.acceptedFormats = std::move(formats);
    return config;
}

VirtualFormat pcm(std::uint32_t rate, std::uint16_t channels, std::uint16_t container, std::uint16_t valid,
                  Structure structure = Structure::Any) {
    return {rate, channels, container, valid, false, structure};
}

VirtualFormat ieee(std::uint32_t rate, std::uint16_t channels, Structure structure = Structure::Any) {
    return {rate, channels, 32, 32, true, structure};
}

TEST(ProbeExactFormats, APlainStructureBeatsItsExtensibleTwin) {
    VirtualEndpointScope scope(accepting({pcm(44100, 2, 16, 16)}));
    const auto formats = ProbeExactFormats(u"virtual", 2);
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(formats[0].sampleRate, 44100u);
    EXPECT_EQ(formats[0].kind, SampleKind::Pcm16);
    EXPECT_EQ(formats[0].waveFormat, MakePlainWaveFormat(1, 2, 44100, 16));
    // Every candidate of every rate was asked for.
    EXPECT_EQ(scope.device().statistics().formatQueries, 23u * 8u);
}

TEST(ProbeExactFormats, AnEndpointTakingOnlyExtensibleGetsTheExtensibleBytes) {
    VirtualEndpointScope scope(accepting({pcm(48000, 2, 16, 16, Structure::Extensible)}));
    const auto formats = ProbeExactFormats(u"virtual", 2);
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(formats[0].waveFormat, MakeExtensibleWaveFormat(false, 2, 48000, 16, 16, 0x3));
}

TEST(ProbeExactFormats, SixChannelsNeverTryPlainStructures) {
    VirtualEndpointScope scope(
        accepting({pcm(48000, 6, 16, 16, Structure::Plain), ieee(48000, 6), pcm(96000, 6, 32, 24)}));
    const auto formats = ProbeExactFormats(u"virtual", 6);
    EXPECT_EQ(scope.device().statistics().formatQueries, 23u * 5u);
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[0].kind, SampleKind::Float32);
    EXPECT_EQ(formats[1].kind, SampleKind::Pcm24In32);
    for (const EndpointFormat& format : formats) {
        ASSERT_EQ(format.waveFormat.size(), 40u);
        EXPECT_EQ(format.waveFormat[20], 0x3F);
        EXPECT_EQ(format.channels, 6);
    }
}

TEST(ProbeExactFormats, TheExampleEndpointSortsWithTheFloatFormatLast) {
    VirtualEndpointScope scope(accepting({ieee(48000, 2), pcm(44100, 2, 32, 24), pcm(44100, 2, 16, 16)}));
    const auto formats = ProbeExactFormats(u"virtual", 2);
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(FormatLabel(formats[0]), u"44100 Hz / 16-bit Integer");
    EXPECT_EQ(FormatLabel(formats[1]), u"44100 Hz / 24-bit Integer in 32-bit Container");
    EXPECT_EQ(FormatLabel(formats[2]), u"48000 Hz / 32-bit Float");
}

TEST(ProbeExactFormats, ExtremeRatesAndEveryLayoutAreOffered) {
    VirtualEndpointScope scope(accepting({pcm(8000, 1, 16, 16), pcm(12288000, 1, 24, 24), ieee(12288000, 1)}));
    const auto formats = ProbeExactFormats(u"virtual", 1);
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[0].sampleRate, 8000u);
    EXPECT_EQ(formats[1].kind, SampleKind::Pcm24Packed);
    EXPECT_EQ(formats[2].kind, SampleKind::Float32);
    EXPECT_EQ(formats[2].waveFormat.size(), 18u);
}

TEST(ProbeExactFormats, ABusyEndpointStopsProbingWithTheInUseError) {
    VirtualOutputConfig config;
    config.busy = true;
    VirtualEndpointScope scope(config);
    try {
        ProbeExactFormats(u"virtual", 2);
        FAIL() << "no throw";
    } catch (const WasapiError& error) {
        EXPECT_STREQ(error.what(), "The selected audio endpoint is currently in use");
        EXPECT_EQ(static_cast<std::uint32_t>(error.hresult()), 0x8889000Au);
    }
    EXPECT_EQ(scope.device().statistics().formatQueries, 1u);
}

TEST(ProbeExactFormats, AStreamHeldByAnotherClientMakesTheEndpointBusy) {
    VirtualEndpointScope scope;
    auto device = scope.device().openDevice();
    std::unique_ptr<platform::AudioClient> holder;
    ASSERT_EQ(device->activateClient(holder), platform::kAudioOk);
    const auto bytes = MakePlainWaveFormat(1, 2, 48000, 16);
    ASSERT_EQ(holder->initialize(platform::AudioShareMode::Exclusive, 100000, 100000, bytes), platform::kAudioOk);
    EXPECT_THROW(ProbeExactFormats(u"virtual", 2), WasapiError);
    holder.reset();
    EXPECT_FALSE(ProbeExactFormats(u"virtual", 2).empty());
}

TEST(ProbeExactFormats, ChannelCountsOutsideOneToEightFailBeforeAnyEndpointOpens) {
    VirtualEndpointScope scope;
    for (const int channels : {0, 9, -1}) {
        try {
            ProbeExactFormats(u"virtual", channels);
            FAIL() << channels;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "WASAPI player currently supports one through eight channels");
        }
    }
    EXPECT_EQ(scope.device().statistics().devicesOpened, 0u);
}

TEST(ProbeExactFormats, AnUnknownEndpointNamesTheOpenStep) {
    VirtualEndpointScope scope;
    try {
        ProbeExactFormats(u"no such endpoint", 2);
        FAIL() << "no throw";
    } catch (const WasapiError& error) {
        EXPECT_STREQ(error.what(), "Open render endpoint failed (HRESULT 0x80070490)");
    }
}

TEST(ProbeExactFormats, AnEndpointRefusingEverythingYieldsAnEmptyList) {
    VirtualEndpointScope scope(accepting({}));
    EXPECT_TRUE(ProbeExactFormats(u"virtual", 8).empty());
}

// Several virtual devices behind one enumerator, with a chosen default and a
// chosen endpoint that fails to answer.
class TableEnumerator final : public platform::AudioDeviceEnumerator {
public:
    std::vector<std::shared_ptr<VirtualOutput>> devices;
    std::optional<std::size_t> defaultIndex;
    std::optional<std::size_t> failingIndex;

    AudioResult getDefaultRenderEndpoint(std::unique_ptr<platform::AudioDevice>& device) noexcept override {
        if (!defaultIndex) {
            return platform::kAudioNotFound;
        }
        device = devices[*defaultIndex]->openDevice();
        return platform::kAudioOk;
    }
    AudioResult enumerateActiveRenderEndpoints() noexcept override { return platform::kAudioOk; }
    AudioResult getRenderEndpointCount(std::uint32_t& count) noexcept override {
        count = static_cast<std::uint32_t>(devices.size());
        return platform::kAudioOk;
    }
    AudioResult getRenderEndpoint(std::uint32_t index, std::unique_ptr<platform::AudioDevice>& device) noexcept override {
        if (failingIndex && *failingIndex == index) {
            return platform::kAudioDeviceInvalidated;
        }
        device = devices[index]->openDevice();
        return platform::kAudioOk;
    }
    AudioResult openEndpoint(const std::u16string&, std::unique_ptr<platform::AudioDevice>&) noexcept override {
        return platform::kAudioNotFound;
    }

    void add(std::u16string id, std::optional<std::u16string> name) {
        VirtualOutputConfig config;
        config.id = std::move(id);
        config.name = std::move(name);
        devices.push_back(VirtualOutput::create(std::move(config)));
    }
};

TEST(EnumerateRenderEndpoints, DefaultFirstThenByNameWithTiesInPlatformOrder) {
    TableEnumerator table;
    table.add(u"id-b1", u"Speakers");
    table.add(u"id-a", u"Amp");
    table.add(u"id-b2", u"Speakers");
    table.add(u"id-z", u"Zebra");
    table.add(u"id-lower", u"amp");  // code-unit order: "a" sorts after "Z"
    table.defaultIndex = 3;
    const auto endpoints = EnumerateRenderEndpoints(table);
    ASSERT_EQ(endpoints.size(), 5u);
    EXPECT_EQ(endpoints[0].id, u"id-z");
    EXPECT_TRUE(endpoints[0].isDefault);
    EXPECT_EQ(endpoints[1].id, u"id-a");
    EXPECT_EQ(endpoints[2].id, u"id-b1");
    EXPECT_EQ(endpoints[3].id, u"id-b2");
    EXPECT_EQ(endpoints[4].id, u"id-lower");
    for (std::size_t i = 1; i < endpoints.size(); ++i) {
        EXPECT_FALSE(endpoints[i].isDefault);
    }
}

TEST(EnumerateRenderEndpoints, WithoutADefaultEveryEndpointIsListedByName) {
    TableEnumerator table;
    table.add(u"2", u"Beta");
    table.add(u"1", u"Alpha");
    table.add(u"3", std::nullopt);  // a name that is not a string
    table.add(u"4", u"Gone");
    table.failingIndex = 3;
    const auto endpoints = EnumerateRenderEndpoints(table);
    ASSERT_EQ(endpoints.size(), 3u);
    EXPECT_EQ(endpoints[0].name, u"Alpha");
    EXPECT_EQ(endpoints[1].name, u"Audio Device");
    EXPECT_EQ(endpoints[2].name, u"Beta");
    for (const EndpointInfo& endpoint : endpoints) {
        EXPECT_FALSE(endpoint.isDefault);
    }
}

TEST(EnumerateRenderEndpoints, TheVirtualOutputAloneIsTheDefault) {
    VirtualEndpointScope scope;
    const auto endpoints = EnumerateRenderEndpoints();
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0].id, u"virtual");
    EXPECT_EQ(endpoints[0].name, u"Virtual Output");
    EXPECT_TRUE(endpoints[0].isDefault);
}

// The platform's own endpoints: none on a machine without a sound card, and
// under Wine whatever its audio driver offers. Listing must succeed, and
// probing an endpoint must either answer or fail with a WasapiError.
TEST(SystemEndpoints, EnumerationAndProbingRunWithoutCrashing) {
    const auto previousDevice = CurrentVirtualOutput();
    const auto previousListing = CurrentVirtualListing();
    UseVirtualOutput(nullptr, VirtualListing::Never);
    std::vector<EndpointInfo> endpoints;
    EXPECT_NO_THROW(endpoints = EnumerateRenderEndpoints());
    for (const EndpointInfo& endpoint : endpoints) {
        EXPECT_NE(endpoint.id, u"virtual");
        try {
            const auto formats = ProbeExactFormats(endpoint.id, 2);
            for (const EndpointFormat& format : formats) {
                EXPECT_EQ(format.channels, 2);
                EXPECT_FALSE(format.waveFormat.empty());
            }
        } catch (const WasapiError&) {
            // A busy or refusing endpoint is an acceptable answer here.
        }
        EndpointVolume volume;
        try {
            volume.Open(endpoint);
            if (volume.HasHardwareVolume()) {
                const float level = volume.GetLevel();
                EXPECT_GE(level, 0.0f);
                EXPECT_LE(level, 1.0f);
            }
        } catch (const std::runtime_error&) {
            // The endpoint may not offer a volume control at all.
        }
    }
    UseVirtualOutput(previousDevice, previousListing);
    // When the platform has no endpoint at all, the virtual output stands in.
    UseVirtualOutput(nullptr, VirtualListing::WhenNoOther);
    const auto listed = EnumerateRenderEndpoints();
    if (endpoints.empty()) {
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].id, u"virtual");
        EXPECT_TRUE(listed[0].isDefault);
    } else {
        EXPECT_EQ(listed.size(), endpoints.size());
    }
    UseVirtualOutput(previousDevice, previousListing);
}

}  // namespace
}  // namespace al::audio
