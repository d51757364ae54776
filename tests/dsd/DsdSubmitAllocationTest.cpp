#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CountingAllocator.h"
#include "DsdOutputFixtures.h"
#include "FakeDsdDevice.h"
#include "dsd/AlsaDsdOutput.h"
#include "dsd/DopPacker.h"
#include "dsd/VirtualDsdSink.h"
#include "dsd/WasapiOutput.h"
#include "output/VirtualEndpointScope.h"

namespace morrow::dsd {
namespace {

using test::AllocationCount;
using test::Bytes;

constexpr std::uint32_t kDsd64Frames = 176'400;

// The steady state of playback: pack a buffer, submit it, wait for the next
// event. Counted on this thread only, after the output was opened and
// started.
std::uint64_t allocationsOfSteadyPlayback(al::audio::IAudioOutput& output,
                                          const al::audio::DsdOutputFormat& format, int buffers) {
    DopPacker packer(format.carrierBytes);
    Bytes buffer(format.bufferBytes());
    const std::vector<std::uint32_t> words = test::testWords(format.framesPerBuffer);
    for (std::uint32_t i = 0; i < output.queueDepth(); ++i) {
        packer.packFrames(buffer, words);
        output.submit(buffer);
    }
    output.start();
    AllocationCount counted;
    for (int i = 0; i < buffers; ++i) {
        if (!output.wait(2000)) {
            ADD_FAILURE() << "no event";
            break;
        }
        packer.packFrames(buffer, words);
        output.submit(buffer);
    }
    const std::uint64_t allocations = counted.count();
    output.stop();
    return allocations;
}

TEST(DsdSubmitAllocationTest, CounterSeesAllocations) {
    AllocationCount counted;
    auto p = std::make_unique<int>(1);
    EXPECT_EQ(counted.count(), 1u);
}

TEST(DsdSubmitAllocationTest, DopOutputSubmitsWithoutAllocating) {
    al::audio::VirtualOutputConfig config;
    config.id = u"dop";
    config.pace = al::audio::VirtualPace::FreeRunning;
    config.acceptedFormats = {
        {kDsd64Frames, 2, 24, 24, false, al::audio::VirtualFormat::Structure::Any}};
    al::audio::test::VirtualEndpointScope scope(config);
    WasapiOutput output;
    const auto format = output.open(u"dop", kDsd64Frames);
    EXPECT_EQ(allocationsOfSteadyPlayback(output, format, 20), 0u);
}

TEST(DsdSubmitAllocationTest, NativeOutputSubmitsWithoutAllocating) {
    auto state = std::make_shared<test::FakeDsdState>();
    state->accepted.insert({al::platform::DsdSampleFormat::U32Be, kDsd64Frames / 2});
    state->capture = false;
    state->writes.reserve(64);
    AlsaDsdOutput output(
        [state](const std::u16string&, std::unique_ptr<al::platform::DsdPlaybackDevice>& device) {
            device = std::make_unique<test::FakeDsdDevice>(state);
            return al::platform::DsdResult::Ok;
        });
    const auto format = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
    EXPECT_EQ(allocationsOfSteadyPlayback(output, format, 20), 0u);
}

TEST(DsdSubmitAllocationTest, VirtualSinkSubmitsWithoutAllocating) {
    VirtualDsdSinkOptions options;
    options.capture = false;
    VirtualDsdSink sink(options);
    const auto format = sink.open(u"sink", kDsd64Frames);
    EXPECT_EQ(allocationsOfSteadyPlayback(sink, format, 20), 0u);
}

}  // namespace
}  // namespace morrow::dsd
