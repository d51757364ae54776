#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "OutputFixtures.h"
#include "VirtualEndpointScope.h"
#include "output/ExactWasapiOutput.h"
#include "output/LatticePacing.h"
#include "output/WasapiError.h"
#include "support/TempDir.h"

namespace al::audio {
namespace {

using test::exactFormat;
using test::expectedBytes;
using test::makeRecordSource;
using test::VirtualEndpointScope;
using test::waitUntil;

VirtualOutputConfig freeRunning() {
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.captureWrites = true;
    return config;
}

// Plays the lattice from the start until the output reports the end.
void playToEnd(ExactWasapiOutput& output, playback::PlaybackLattice& lattice) {
    lattice.seekToFrame(0);
    output.Start();
    ASSERT_TRUE(waitUntil([&] { return !output.IsRunning(); }, std::chrono::milliseconds(20'000)));
    EXPECT_EQ(output.LastErrorMessage(), "");
    EXPECT_TRUE(output.TakeEnded());
}

bool allZero(const std::vector<std::uint8_t>& bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

class ExactOutputTest : public ::testing::Test {
protected:
    std::shared_ptr<const playback::PlaybackSource> source(std::uint32_t rate, std::size_t channels,
                                                           std::size_t frames) {
        return makeRecordSource(dir_ / ("track" + std::to_string(++count_) + ".aur"), rate, channels, frames);
    }

    al::test::TempDir dir_;
    int count_ = 0;
};

// Everything checked on the controlling thread fails before any endpoint is
// opened, and leaves the output shut down.
TEST_F(ExactOutputTest, ConfigurationChecksFailBeforeAnyEndpointIsTouched) {
    VirtualEndpointScope scope(freeRunning());
    playback::PlaybackLattice lattice(source(48000, 2, 4800));
    const EndpointFormat format = exactFormat(48000, 2, SampleKind::Pcm16);
    ExactWasapiOutput output;

    auto expectInvalid = [&](const std::u16string& id, const EndpointFormat& f, playback::PlaybackLattice* l,
                             WasapiBufferPolicy policy, const std::string& message) {
        try {
            output.Initialize(id, f, l, policy);
            ADD_FAILURE() << "no failure for " << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_FALSE(output.IsInitialized());
    };
    const std::string policy = "Invalid WASAPI buffer policy";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expectInvalid(u"virtual", format, &lattice, {0.5, 1.0}, policy);
    expectInvalid(u"virtual", format, &lattice, {250.0, 1.0}, policy);
    expectInvalid(u"virtual", format, &lattice, {5.0, -1.0}, policy);
    expectInvalid(u"virtual", format, &lattice, {5.0, nan}, policy);
    expectInvalid(u"virtual", format, &lattice, {nan, 1.0}, policy);
    expectInvalid(u"virtual", format, &lattice, {5.0, 50.5}, policy);
    const std::string incomplete = "Incomplete WASAPI stream configuration";
    expectInvalid(u"", format, &lattice, {}, incomplete);
    expectInvalid(u"virtual", format, nullptr, {}, incomplete);
    expectInvalid(u"virtual", EndpointFormat{}, &lattice, {}, incomplete);

    expectInvalid(u"virtual", exactFormat(44100, 2, SampleKind::Pcm16), &lattice, {},
                  "Playback lattice rate does not match the requested endpoint format");
    expectInvalid(u"virtual", exactFormat(48000, 6, SampleKind::Pcm16), &lattice, {},
                  "Playback lattice channel count does not match endpoint format");
    EndpointFormat misdescribed = exactFormat(48000, 2, SampleKind::Pcm24Packed);
    misdescribed.kind = SampleKind::Pcm16;
    expectInvalid(u"virtual", misdescribed, &lattice, {},
                  "Endpoint block alignment does not match the selected output converter");

    EXPECT_EQ(scope.device().statistics().devicesOpened, 0u);
    // The bounds themselves are allowed.
    output.Initialize(u"virtual", format, &lattice, {1.0, 0.0});
    EXPECT_TRUE(output.IsInitialized());
    output.Shutdown();
    output.Initialize(u"virtual", format, &lattice, {200.0, 50.0});
    EXPECT_TRUE(output.IsInitialized());
}

// The buffer asked for is the policy's, but never shorter than the device's
// minimum period: 5 ms asks 50,000 units on a 3 ms device, 100,000 on 10 ms.
TEST_F(ExactOutputTest, RequestedDurationFollowsTheDevicePeriod) {
    playback::PlaybackLattice lattice(source(48000, 2, 4800));
    const EndpointFormat format = exactFormat(48000, 2, SampleKind::Pcm16);
    struct Case {
        std::int64_t minimumPeriod;
        std::int64_t defaultPeriod;
        std::uint32_t frames;
    };
    for (const Case& c : {Case{30'000, 100'000, 240}, Case{100'000, 100'000, 480}, Case{0, 70'000, 336}}) {
        VirtualOutputConfig config = freeRunning();
        config.minimumPeriod = c.minimumPeriod;
        config.defaultPeriod = c.defaultPeriod;
        VirtualEndpointScope scope(config);
        ExactWasapiOutput output;
        output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
        const auto stats = output.Statistics();
        EXPECT_EQ(stats.bufferFrames, c.frames);
        EXPECT_EQ(stats.bufferDurationNs, static_cast<std::uint64_t>(c.frames) * 1'000'000'000ull / 48000);
    }
}

// A device that wants whole hardware blocks refuses the first size; the
// output asks once more with the size it proposes, and only once.
TEST_F(ExactOutputTest, AlignmentRefusalIsRetriedOnceWithTheProposedSize) {
    playback::PlaybackLattice lattice(source(48000, 2, 4800));
    const EndpointFormat format = exactFormat(48000, 2, SampleKind::Pcm16);
    {
        VirtualOutputConfig config = freeRunning();
        config.bufferAlignmentFrames = 96;  // 240 frames -> 192 (4 ms)
        VirtualEndpointScope scope(config);
        ExactWasapiOutput output;
        output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
        EXPECT_EQ(output.Statistics().bufferFrames, 192u);
        EXPECT_EQ(scope.device().statistics().streamsInitialized, 1u);
        playToEnd(output, lattice);
        EXPECT_EQ(output.Statistics().totalBytes, 25u * 192u * 4u);  // 4800 frames in 25 passes
    }
    {
        // 128 frames (2.7 ms) is below the 3 ms minimum: the retry is refused
        // and reported as is.
        VirtualOutputConfig config = freeRunning();
        config.bufferAlignmentFrames = 128;
        VirtualEndpointScope scope(config);
        ExactWasapiOutput output;
        try {
            output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
            ADD_FAILURE() << "initialised";
        } catch (const WasapiError& error) {
            EXPECT_STREQ(error.what(), "Initialize exact exclusive WASAPI format failed (HRESULT 0x88890020)");
            EXPECT_EQ(static_cast<std::uint32_t>(error.hresult()), 0x88890020u);
        }
        EXPECT_FALSE(output.IsInitialized());
        EXPECT_FALSE(scope.device().streamOpen());
    }
}

// Whatever the format, an endpoint receives exactly the lattice's frames in
// its container, the final partial buffer padded with silence, then drain
// silence until its clock has played every frame written.
TEST_F(ExactOutputTest, EndpointReceivesExactlyTheLatticeFramesThenSilence) {
    const auto track = source(48000, 2, 48000 / 2 + 100);
    struct Case {
        std::uint32_t rate;
        SampleKind kind;
    };
    for (const Case& c : {Case{48000, SampleKind::Pcm16}, Case{48000, SampleKind::Pcm24Packed},
                          Case{44100, SampleKind::Pcm24In32}, Case{96000, SampleKind::Float32},
                          Case{48000, SampleKind::Pcm32}}) {
        SCOPED_TRACE(c.rate);
        playback::PlaybackLattice lattice(track);
        lattice.setOutputRate(c.rate);
        VirtualOutputConfig config = freeRunning();
        ExactWasapiOutput output;
        config.freeRunningGate = [&] { return LatticeFramesReady(lattice, output.Statistics().bufferFrames); };
        VirtualEndpointScope scope(config);
        const EndpointFormat format = exactFormat(c.rate, 2, c.kind);
        output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
        playToEnd(output, lattice);
        ASSERT_EQ(lattice.missingFrames(), 0u);

        const std::vector<std::uint8_t> expected = expectedBytes(track, format);
        const std::vector<std::uint8_t> captured = scope.device().captured();
        ASSERT_GE(captured.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), captured.begin()));
        EXPECT_TRUE(allZero(captured, expected.size()));

        const std::uint64_t bufferFrames = output.Statistics().bufferFrames;
        const std::uint64_t total = lattice.totalFrames();
        const std::uint64_t passes = (total + bufferFrames - 1) / bufferFrames;
        const std::uint64_t written = passes * bufferFrames;
        EXPECT_EQ(output.Statistics().passCount, passes);
        EXPECT_EQ(output.Statistics().totalBytes, written * format.BlockAlign());
        // The drain ends only once the clock covers every frame written.
        EXPECT_GE(scope.device().statistics().framesPlayed, written);
        EXPECT_GT(captured.size(), written * format.BlockAlign());
    }
}

TEST_F(ExactOutputTest, NearMissesCountLateEventsUnlessTheMarginSwallowsTheBuffer) {
    const auto track = source(48000, 2, 48000);
    for (const double margin : {1.0, 5.0, 8.0}) {
        SCOPED_TRACE(margin);
        VirtualOutputConfig config = freeRunning();
        config.lateEveryNthEvent = 25;
        config.lateByNs = 20'000'000;
        VirtualEndpointScope scope(config);
        playback::PlaybackLattice lattice(track);
        ExactWasapiOutput output;
        output.Initialize(u"virtual", exactFormat(48000, 2, SampleKind::Pcm16), &lattice, {5.0, margin});
        playToEnd(output, lattice);
        const auto stats = output.Statistics();
        // A 20 ms late event uses about 15 ms past a 5 ms deadline.
        EXPECT_GE(stats.maxDeadlineUseNs, 10'000'000u);
        EXPECT_GE(stats.maxDeadlineUseNs, stats.maxPassNs);
        if (margin < 5.0) {
            EXPECT_GE(stats.nearMissCount, 5u);
        } else {
            EXPECT_EQ(stats.nearMissCount, 0u);
        }
        output.ResetStatistics();
        EXPECT_EQ(output.Statistics().passCount, 0u);
        EXPECT_EQ(output.Statistics().maxDeadlineUseNs, 0u);
        EXPECT_EQ(output.Statistics().bufferFrames, 240u);
    }
}

// Pausing while the endpoint drains the last buffers stops at once, and the
// material does not count as ended.
TEST_F(ExactOutputTest, PauseWhileDrainingDoesNotMarkEnded) {
    VirtualOutputConfig config;  // real time
    VirtualEndpointScope scope(config);
    playback::PlaybackLattice lattice(source(48000, 1, 12000));
    ExactWasapiOutput output;
    // 200 ms buffers: the prefill and one pass hold the whole track, and the
    // drain lasts until about 400 ms.
    output.Initialize(u"virtual", exactFormat(48000, 1, SampleKind::Pcm16), &lattice, {200.0, 1.0});
    output.Start();
    ASSERT_TRUE(waitUntil([&] { return lattice.position() >= lattice.totalFrames(); }));
    ASSERT_TRUE(output.IsRunning());
    EXPECT_EQ(output.Pause(), 0u);
    EXPECT_FALSE(output.IsRunning());
    EXPECT_FALSE(output.TakeEnded());
    EXPECT_TRUE(output.IsInitialized());

    // Playing again from the start runs to the end and drains.
    output.TakeEnded();
    lattice.seekToFrame(0);
    output.Start();
    ASSERT_TRUE(waitUntil([&] { return !output.IsRunning(); }));
    EXPECT_TRUE(output.TakeEnded());
    EXPECT_FALSE(output.TakeEnded());
}

TEST_F(ExactOutputTest, PauseAndStartResumeFromTheLatticePosition) {
    VirtualEndpointScope scope(VirtualOutputConfig{});
    playback::PlaybackLattice lattice(source(48000, 2, 48000 * 5));
    ExactWasapiOutput output;
    EXPECT_EQ(output.Pause(), 0u);  // not initialised
    output.Initialize(u"virtual", exactFormat(48000, 2, SampleKind::Float32), &lattice, {5.0, 1.0});
    EXPECT_EQ(output.Pause(), 0u);  // not running
    output.Start();
    output.Start();  // no effect while running
    ASSERT_TRUE(waitUntil([&] { return lattice.position() > 4800; }));
    EXPECT_EQ(output.Pause(), 0u);
    const std::uint64_t at = lattice.position();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(lattice.position(), at);
    output.Start();
    ASSERT_TRUE(waitUntil([&] { return lattice.position() > at + 4800; }));
    output.RequestPause();
    ASSERT_TRUE(waitUntil([&] { return !output.IsRunning(); }));
    EXPECT_FALSE(output.TakeEnded());
    const auto stats = output.Statistics();
    EXPECT_GT(stats.passCount, 10u);
    EXPECT_GT(stats.lastThroughputBytesPerSecond, 0u);
    EXPECT_LE(stats.lastPassNs, stats.maxPassNs);
    EXPECT_LE(stats.maxPassNs, stats.totalPassNs);
}

// A failure of the render thread ends it; the next Start names the failure.
TEST_F(ExactOutputTest, StartAfterRenderThreadFailureNamesTheFailure) {
    VirtualOutputConfig config = freeRunning();
    config.invalidateAfterEvents = 5;
    VirtualEndpointScope scope(config);
    playback::PlaybackLattice lattice(source(48000, 2, 48000));
    ExactWasapiOutput output;
    output.Initialize(u"virtual", exactFormat(48000, 2, SampleKind::Pcm16), &lattice, {5.0, 1.0});
    output.Start();
    // The failure shows only once the output no longer runs: a controller
    // that sees it and plays again must build a new chain, not find this one
    // still running (watched without sleeping, so the order is what counts).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output.LastErrorMessage().empty() && std::chrono::steady_clock::now() < until) {
    }
    EXPECT_FALSE(output.IsRunning());
    EXPECT_FALSE(output.IsInitialized());
    const std::string stored = output.LastErrorMessage();
    ASSERT_FALSE(stored.empty());
    EXPECT_LT(output.LastErrorHresult(), 0);
    try {
        output.Start();
        ADD_FAILURE() << "started";
    } catch (const std::logic_error& error) {
        EXPECT_EQ(std::string(error.what()), "WASAPI playback chain is unavailable: " + stored);
    }
    output.Shutdown();
    EXPECT_EQ(output.LastErrorMessage(), stored);  // kept until the next Initialize or Start
    try {
        output.Start();
        ADD_FAILURE() << "started";
    } catch (const std::logic_error& error) {
        EXPECT_EQ(std::string(error.what()), "WASAPI playback chain is unavailable: " + stored);
    }
}

TEST_F(ExactOutputTest, RefusalsAtInitialisationLeaveTheOutputShutDown) {
    playback::PlaybackLattice lattice(source(48000, 2, 4800));
    const EndpointFormat format = exactFormat(48000, 2, SampleKind::Pcm16);
    ExactWasapiOutput output;
    {
        VirtualOutputConfig config = freeRunning();
        config.busy = true;
        VirtualEndpointScope scope(config);
        try {
            output.Initialize(u"virtual", format, &lattice, {});
            ADD_FAILURE() << "initialised";
        } catch (const WasapiError& error) {
            EXPECT_STREQ(error.what(), "Initialize exact exclusive WASAPI format failed (HRESULT 0x8889000A)");
            EXPECT_EQ(static_cast<std::uint32_t>(error.hresult()), 0x8889000Au);
        }
        EXPECT_FALSE(output.IsInitialized());
        try {
            output.Start();
            ADD_FAILURE() << "started";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "WASAPI playback chain is unavailable: Initialize exact exclusive WASAPI "
                                       "format failed (HRESULT 0x8889000A)");
        }
    }
    {
        VirtualEndpointScope scope(freeRunning());
        try {
            output.Initialize(u"no such endpoint", format, &lattice, {});
            ADD_FAILURE() << "initialised";
        } catch (const WasapiError& error) {
            EXPECT_STREQ(error.what(), "Open WASAPI endpoint failed (HRESULT 0x80070490)");
        }
        // The refused stream does not hold the device: the next one opens.
        output.Initialize(u"virtual", format, &lattice, {});
        EXPECT_TRUE(output.IsInitialized());
        EXPECT_EQ(output.LastErrorMessage(), "");
        output.Shutdown();
        EXPECT_FALSE(output.IsInitialized());
        EXPECT_EQ(output.Statistics().bufferFrames, 0u);
        try {
            output.Start();
            ADD_FAILURE() << "started";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "WASAPI playback chain is not initialized");
        }
    }
}

// The platform's own endpoints (none in a container; Wine's one null
// endpoint, which refuses exclusive streams): whatever the answer, it is a
// named step with its code, the output ends shut down, and nothing hangs.
TEST_F(ExactOutputTest, SystemEndpointAnswersWithANamedStep) {
    const auto previousDevice = CurrentVirtualOutput();
    const auto previousListing = CurrentVirtualListing();
    UseVirtualOutput(nullptr, VirtualListing::Never);
    std::vector<EndpointInfo> endpoints;
    try {
        endpoints = EnumerateRenderEndpoints();
    } catch (const WasapiError& error) {
        UseVirtualOutput(previousDevice, previousListing);
        GTEST_SKIP() << "no audio system: " << error.what();
    }
    if (endpoints.empty()) {
        UseVirtualOutput(previousDevice, previousListing);
        GTEST_SKIP() << "no render endpoints";
    }
    playback::PlaybackLattice lattice(source(48000, 2, 4800));
    ExactWasapiOutput output;
    const EndpointFormat format = exactFormat(48000, 2, SampleKind::Pcm16);
    try {
        output.Initialize(endpoints.front().id, format, &lattice, {10.0, 1.0});
        output.Shutdown();
    } catch (const WasapiError& error) {
        const std::string text = error.what();
        EXPECT_EQ(text, HresultFailureText(text.substr(0, text.find(" failed (")), error.hresult(), HexDigits::Upper));
        std::cout << "system endpoint: " << text << '\n';
    }
    EXPECT_FALSE(output.IsInitialized());
    EXPECT_FALSE(output.IsRunning());
    UseVirtualOutput(previousDevice, previousListing);
}

}  // namespace
}  // namespace al::audio
