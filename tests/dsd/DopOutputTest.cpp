#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DsdOutputFixtures.h"
#include "dsd/DopPacker.h"
#include "dsd/WasapiOutput.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualEndpointScope.h"
#include "output/VirtualOutput.h"
#include "platform/WaveFormat.h"

namespace morrow::dsd {
namespace {

using al::audio::VirtualFormat;
using al::audio::VirtualOutputConfig;
using al::audio::test::VirtualEndpointScope;
using test::Bytes;

constexpr std::uint32_t kDsd64Frames = 176'400;  // DoP frames per second at DSD64
constexpr std::uint32_t kDsd128Frames = 352'800;

struct Layout {
    std::uint16_t container;
    std::uint16_t valid;
    VirtualFormat::Structure structure;
};

VirtualOutputConfig dopEndpoint(const std::vector<Layout>& layouts,
                                std::vector<std::uint32_t> rates = {kDsd64Frames, kDsd128Frames}) {
    VirtualOutputConfig config;
    config.id = u"dop-endpoint";
    config.name = u"DoP DAC";
    config.pace = al::audio::VirtualPace::FreeRunning;
    config.captureWrites = true;
    config.acceptedFormats.clear();
    for (const std::uint32_t rate : rates) {
        for (const Layout& layout : layouts) {
            config.acceptedFormats.push_back(
                {rate, 2, layout.container, layout.valid, false, layout.structure});
        }
    }
    return config;
}

const std::vector<Layout> kAllLayouts = {{24, 24, VirtualFormat::Structure::Any},
                                         {32, 24, VirtualFormat::Structure::Any},
                                         {32, 32, VirtualFormat::Structure::Any}};

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(DopCarrierTest, FiveCarriersInOrderWithTheirStructures) {
    const auto& carriers = dopCarriers();
    const char* descriptions[] = {"24-bit in 24 bits", "24-bit in 32 bits", "32-bit in 32 bits",
                                  "24-bit in 24 bits (legacy PCM carrier)",
                                  "32-bit in 32 bits (legacy PCM carrier)"};
    const std::uint32_t carrierBytes[] = {3, 4, 4, 3, 4};
    for (std::size_t i = 0; i < carriers.size(); ++i) {
        EXPECT_STREQ(carriers[i].description, descriptions[i]);
        EXPECT_EQ(carriers[i].carrierBytes, carrierBytes[i]);
        const Bytes bytes = dopCarrierFormat(carriers[i], kDsd64Frames);
        const auto fields = al::platform::parseWaveFormat(bytes);
        ASSERT_TRUE(fields.has_value());
        EXPECT_TRUE(fields->consistent());
        EXPECT_EQ(fields->channels, 2);
        EXPECT_EQ(fields->sampleRate, kDsd64Frames);
        EXPECT_EQ(fields->blockAlign, 2 * carrierBytes[i]);
        EXPECT_EQ(fields->averageBytesPerSecond, kDsd64Frames * 2 * carrierBytes[i]);
        EXPECT_EQ(fields->sampleType(), al::platform::WaveSampleType::Pcm);
        if (i < 3) {
            EXPECT_EQ(bytes.size(), 40u);
            EXPECT_EQ(fields->extensionSize, 22);
            EXPECT_EQ(fields->channelMask, 3u);
        } else {
            EXPECT_EQ(bytes.size(), 18u);
            EXPECT_EQ(fields->formatTag, 1);
            EXPECT_EQ(fields->extensionSize, 0);
        }
    }
    // Entry 2: 24 valid bits in a 32-bit container.
    const auto second = al::platform::parseWaveFormat(dopCarrierFormat(carriers[1], kDsd64Frames));
    EXPECT_EQ(second->bitsPerSample, 32);
    EXPECT_EQ(second->validBits, 24);
}

TEST(DopCarrierTest, FailureTextNamesTheStepAndCode) {
    EXPECT_EQ(dopFailureText("Start", al::platform::kAudioDeviceInvalidated),
              "Start failed: 0x88890004");
    EXPECT_EQ(failureOf([] { checkDop(al::platform::kAudioFail, "Render buffer"); }),
              "Render buffer failed: 0x80004005");
    // Success codes pass, S_FALSE included.
    EXPECT_NO_THROW(checkDop(al::platform::kAudioFalse, "Stop"));
}

TEST(DopOutputTest, OpensTheFirstCarrierAtTwentyMilliseconds) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts));
    WasapiOutput output;
    const al::audio::DsdOutputFormat format = output.open(u"dop-endpoint", kDsd64Frames);
    EXPECT_EQ(format.frameRate, kDsd64Frames);
    EXPECT_EQ(format.carrierBytes, 3u);
    EXPECT_EQ(format.description, "24-bit in 24 bits");
    EXPECT_EQ(format.framesPerBuffer, 3528u);  // 20 ms of 176.4 kHz
    EXPECT_EQ(output.queueDepth(), 1u);
    EXPECT_TRUE(output.isOpen());
    EXPECT_FALSE(output.isStarted());
}

TEST(DopOutputTest, OnlyThirtyTwoBitContainersOpenWithTheSecondEntry) {
    VirtualEndpointScope scope(dopEndpoint(
        {{32, 24, VirtualFormat::Structure::Any}, {32, 32, VirtualFormat::Structure::Any}}));
    WasapiOutput output;
    const al::audio::DsdOutputFormat format = output.open(u"dop-endpoint", kDsd128Frames);
    EXPECT_EQ(format.carrierBytes, 4u);
    EXPECT_EQ(format.description, "24-bit in 32 bits");
    EXPECT_EQ(format.framesPerBuffer, 7056u);
}

TEST(DopOutputTest, LegacyPlainCarriersAreTriedAfterTheExtensibleOnes) {
    VirtualEndpointScope scope(dopEndpoint({{32, 32, VirtualFormat::Structure::Plain}}));
    WasapiOutput output;
    const al::audio::DsdOutputFormat format = output.open(u"dop-endpoint", kDsd64Frames);
    EXPECT_EQ(format.carrierBytes, 4u);
    EXPECT_EQ(format.description, "32-bit in 32 bits (legacy PCM carrier)");
    EXPECT_EQ(output.carrier()->extensible, false);
}

TEST(DopOutputTest, ClosestMatchAnswersAreRefusals) {
    VirtualOutputConfig config = dopEndpoint({{16, 16, VirtualFormat::Structure::Any}});
    config.refuseWithClosestMatch = true;
    VirtualEndpointScope scope(config);
    WasapiOutput output;
    EXPECT_EQ(
        failureOf([&] { output.open(u"dop-endpoint", kDsd64Frames); }),
        "Exact DoP carrier rate/format unsupported; no PCM conversion or shared-mode fallback");
    EXPECT_FALSE(output.isOpen());
    // Five questions were asked, one per carrier, and no stream was made.
    EXPECT_EQ(scope.device().statistics().formatQueries, 5u);
    EXPECT_EQ(scope.device().statistics().streamsInitialized, 0u);
}

TEST(DopOutputTest, RateTheEndpointLacksIsRefused) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts, {kDsd64Frames}));
    WasapiOutput output;
    EXPECT_EQ(
        failureOf([&] { output.open(u"dop-endpoint", kDsd128Frames); }),
        "Exact DoP carrier rate/format unsupported; no PCM conversion or shared-mode fallback");
}

TEST(DopOutputTest, OpenChecksComeFirst) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts));
    WasapiOutput output;
    EXPECT_EQ(failureOf([&] { output.open(u"", kDsd64Frames); }),
              "An exact endpoint ID is required");
    EXPECT_EQ(failureOf([&] { output.open(u"dop-endpoint-2", kDsd64Frames); }),
              "Selected audio endpoint is no longer active");
    output.open(u"dop-endpoint", kDsd64Frames);
    EXPECT_EQ(failureOf([&] { output.open(u"dop-endpoint", kDsd64Frames); }),
              "Output is already open");
}

TEST(DopOutputTest, EveryStreamCallNeedsAnOpenOutput) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts));
    WasapiOutput output;
    const Bytes buffer(6);
    EXPECT_EQ(failureOf([&] { output.wait(0); }), "Output not open");
    EXPECT_EQ(failureOf([&] { output.submit(buffer); }), "Output not open");
    EXPECT_EQ(failureOf([&] { output.start(); }), "Output not open");
    EXPECT_NO_THROW(output.stop());
}

TEST(DopOutputTest, BufferOfAnotherSizeIsRefused) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts));
    WasapiOutput output;
    const auto format = output.open(u"dop-endpoint", kDsd64Frames);
    const Bytes shortBuffer(format.bufferBytes() - 6);
    const Bytes longBuffer(format.bufferBytes() + 6);
    EXPECT_EQ(failureOf([&] { output.submit(shortBuffer); }), "DoP buffer size mismatch");
    EXPECT_EQ(failureOf([&] { output.submit(longBuffer); }), "DoP buffer size mismatch");
    EXPECT_TRUE(scope.device().captured().empty());
}

// 20 ms at 176.4 kHz is 3528 frames; a device of 1000-frame blocks proposes
// 3000, asked for again as 3000 x 10^7 / 176400 + 0.5 = 170068 units.
TEST(DopOutputTest, UnalignedBufferIsAskedForAgainOnAFreshClient) {
    VirtualOutputConfig config = dopEndpoint(kAllLayouts);
    config.bufferAlignmentFrames = 1000;
    VirtualEndpointScope scope(config);
    WasapiOutput output;
    const auto format = output.open(u"dop-endpoint", kDsd64Frames);
    EXPECT_EQ(format.framesPerBuffer, 3000u);
    EXPECT_EQ(scope.device().statistics().streamsInitialized, 1u);
}

TEST(DopOutputTest, RefusalAtInitializationNamesTheStep) {
    VirtualOutputConfig config = dopEndpoint(kAllLayouts);
    config.refusedAtInitialize = config.acceptedFormats;
    VirtualEndpointScope scope(config);
    WasapiOutput output;
    EXPECT_EQ(failureOf([&] { output.open(u"dop-endpoint", kDsd64Frames); }),
              "Exclusive DoP transport initialization failed: 0x88890008");
    EXPECT_FALSE(output.isOpen());
}

TEST(DopOutputTest, BusyEndpointRefusesTheCarriers) {
    VirtualOutputConfig config = dopEndpoint(kAllLayouts);
    config.busy = true;
    VirtualEndpointScope scope(config);
    WasapiOutput output;
    EXPECT_EQ(
        failureOf([&] { output.open(u"dop-endpoint", kDsd64Frames); }),
        "Exact DoP carrier rate/format unsupported; no PCM conversion or shared-mode fallback");
    auto enumerator = std::unique_ptr<al::platform::AudioDeviceEnumerator>();
    ASSERT_EQ(al::audio::CreateAudioDeviceEnumerator(enumerator), 0);
    std::unique_ptr<al::platform::AudioDevice> device;
    ASSERT_EQ(enumerator->openEndpoint(u"dop-endpoint", device), 0);
    std::unique_ptr<al::platform::AudioClient> client;
    ASSERT_EQ(device->activateClient(client), 0);
    const DopCarrierAnswer answer = queryDopCarriers(*client, kDsd64Frames);
    EXPECT_EQ(answer.index, -1);
    EXPECT_TRUE(answer.busy);
}

// What reaches the endpoint is exactly what was packed, for both carrier
// sizes, across many buffers and idle frames.
TEST(DopOutputTest, EndpointReceivesExactlyThePackedBytes) {
    for (const auto& layouts :
         {kAllLayouts, std::vector<Layout>{{32, 24, VirtualFormat::Structure::Extensible}}}) {
        VirtualEndpointScope scope(dopEndpoint(layouts));
        WasapiOutput output;
        const auto format = output.open(u"dop-endpoint", kDsd64Frames);
        const Bytes submitted = test::playBuffers(output, format, test::testWords(10'007), 12);
        EXPECT_TRUE(output.isStarted());
        output.stop();
        EXPECT_FALSE(output.isStarted());
        const Bytes captured = scope.device().captured();
        ASSERT_EQ(captured.size(), submitted.size());
        EXPECT_TRUE(captured == submitted) << "carrier " << format.carrierBytes;
        // The marker bytes alternate through the whole capture.
        const std::size_t frameBytes = 2u * format.carrierBytes;
        for (std::size_t f = 0; f < captured.size() / frameBytes; ++f) {
            ASSERT_EQ(captured[f * frameBytes + format.carrierBytes - 1], f % 2 == 0 ? 0x05 : 0xFA)
                << f;
        }
    }
}

TEST(DopOutputTest, StartTwiceIsOneStartAndStopIsRepeatable) {
    VirtualEndpointScope scope(dopEndpoint(kAllLayouts));
    WasapiOutput output;
    const auto format = output.open(u"dop-endpoint", kDsd64Frames);
    const Bytes silence(format.bufferBytes(), 0x69);
    output.submit(silence);
    output.start();
    output.start();
    EXPECT_TRUE(output.wait(2000));
    output.stop();
    output.stop();
    EXPECT_FALSE(output.isStarted());
}

TEST(DopOutputTest, DeviceThatGoesAwayFailsTheRenderBuffer) {
    VirtualOutputConfig config = dopEndpoint(kAllLayouts);
    config.invalidateAfterEvents = 2;
    VirtualEndpointScope scope(config);
    WasapiOutput output;
    const auto format = output.open(u"dop-endpoint", kDsd64Frames);
    // The device takes two buffers, then stops signalling: the engine's
    // time-out rule notices; the next render buffer names the loss.
    EXPECT_EQ(failureOf([&] { test::playBuffers(output, format, test::testWords(64), 50, 300); }),
              "output stopped taking buffers");
    const Bytes buffer(format.bufferBytes(), 0x69);
    EXPECT_EQ(failureOf([&] { output.submit(buffer); }), "Render buffer failed: 0x88890004");
    EXPECT_EQ(failureOf([&] { output.stop(); }), "Stop failed: 0x88890004");
    EXPECT_FALSE(output.isStarted());
}

TEST(DopOutputTest, EndpointListingKeepsEnumerationOrderAndNamesTheNameless) {
    VirtualOutputConfig config = dopEndpoint(kAllLayouts);
    config.name = std::nullopt;
    VirtualEndpointScope scope(config);
    const std::vector<DopEndpoint> endpoints = listDopEndpoints();
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0].id, u"dop-endpoint");
    EXPECT_EQ(endpoints[0].name, u"Unnamed");
}

}  // namespace
}  // namespace morrow::dsd
