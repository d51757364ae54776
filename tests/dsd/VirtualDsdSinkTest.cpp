#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "DsdOutputFixtures.h"
#include "dsd/VirtualDsdSink.h"

namespace morrow::dsd {
namespace {

using test::Bytes;

constexpr std::uint32_t kDsd64Frames = 176'400;

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

template <typename Predicate>
bool eventually(Predicate done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(VirtualDsdSinkTest, OpensAsADeviceWouldAndNamesItself) {
    VirtualDsdSink sink;
    const auto format = sink.open(u"any", kDsd64Frames);
    EXPECT_EQ(format.frameRate, kDsd64Frames);
    EXPECT_EQ(format.framesPerBuffer, 1764u);  // 10 ms
    EXPECT_EQ(format.carrierBytes, 3u);
    EXPECT_EQ(format.description, "Virtual DSD sink (no sound card)");
    EXPECT_EQ(sink.queueDepth(), 2u);
    EXPECT_EQ(sink.openedFormat()->framesPerBuffer, 1764u);
    VirtualDsdSinkOptions badCarrier;
    badCarrier.carrierBytes = 2;
    EXPECT_THROW(VirtualDsdSink{badCarrier}, std::invalid_argument);
    VirtualDsdSinkOptions noQueue;
    noQueue.queueDepth = 0;
    EXPECT_THROW(VirtualDsdSink{noQueue}, std::invalid_argument);
}

TEST(VirtualDsdSinkTest, CapturesEveryByteInOrderFreeRunningAndRealTime) {
    for (const DsdSinkPace pace : {DsdSinkPace::FreeRunning, DsdSinkPace::RealTime}) {
        for (const std::uint32_t carrier : {3u, 4u}) {
            VirtualDsdSinkOptions options;
            options.pace = pace;
            options.carrierBytes = carrier;
            options.framesPerBuffer = 882;  // 5 ms at DSD64
            options.queueDepth = 3;
            VirtualDsdSink sink(options);
            const auto format = sink.open(u"sink", kDsd64Frames);
            const Bytes submitted = test::playBuffers(sink, format, test::testWords(4001), 20);
            ASSERT_TRUE(eventually([&] { return sink.statistics().buffersConsumed == 20; }));
            sink.stop();
            EXPECT_TRUE(sink.captured() == submitted);
            EXPECT_TRUE(sink.takeCaptured() == submitted);
            EXPECT_TRUE(sink.captured().empty());
            EXPECT_EQ(sink.statistics().buffersSubmitted, 20u);
        }
    }
}

TEST(VirtualDsdSinkTest, ReportsAnotherRateWhenToldTo) {
    VirtualDsdSinkOptions options;
    options.reportedFrameRate = kDsd64Frames / 2;
    options.reportedFramesPerBuffer = 0;
    VirtualDsdSink sink(options);
    const auto format = sink.open(u"sink", kDsd64Frames);
    EXPECT_EQ(format.frameRate, kDsd64Frames / 2);
    EXPECT_EQ(format.framesPerBuffer, 0u);
}

TEST(VirtualDsdSinkTest, OpenFaultsAndChecks) {
    VirtualDsdSinkOptions options;
    options.endpointId = u"dsd-sink";
    options.openFailure = "Cannot load selected 64-bit ASIO driver";
    VirtualDsdSink sink(options);
    EXPECT_EQ(failureOf([&] { sink.open(u"", kDsd64Frames); }), "An exact endpoint ID is required");
    EXPECT_EQ(failureOf([&] { sink.open(u"other", kDsd64Frames); }),
              "Selected audio endpoint is no longer active");
    EXPECT_EQ(failureOf([&] { sink.open(u"dsd-sink", kDsd64Frames); }),
              "Cannot load selected 64-bit ASIO driver");
    EXPECT_FALSE(sink.statistics().open);
}

TEST(VirtualDsdSinkTest, StreamCallsAreChecked) {
    VirtualDsdSink sink;
    const Bytes six(6);
    EXPECT_EQ(failureOf([&] { sink.wait(0); }), "Output not open");
    EXPECT_EQ(failureOf([&] { sink.submit(six); }), "Output not open");
    EXPECT_EQ(failureOf([&] { sink.start(); }), "Output not open");
    const auto format = sink.open(u"sink", kDsd64Frames);
    EXPECT_EQ(failureOf([&] { sink.open(u"sink", kDsd64Frames); }), "Output is already open");
    EXPECT_EQ(failureOf([&] { sink.submit(six); }), "DoP buffer size mismatch");
    const Bytes buffer(format.bufferBytes());
    sink.submit(buffer);
    sink.submit(buffer);
    // Not started: the queue is full and nothing frees a slot.
    EXPECT_FALSE(sink.wait(5));
    EXPECT_EQ(failureOf([&] { sink.submit(buffer); }), "Virtual DSD sink queue overflow");
    EXPECT_EQ(sink.statistics().waitTimeouts, 1u);
}

TEST(VirtualDsdSinkTest, DeviceThatStopsSignallingTimesOutTheWait) {
    VirtualDsdSinkOptions options;
    options.stopSignallingAfter = 3;
    options.queueDepth = 1;
    VirtualDsdSink sink(options);
    const auto format = sink.open(u"sink", kDsd64Frames);
    EXPECT_EQ(failureOf([&] { test::playBuffers(sink, format, test::testWords(100), 10, 50); }),
              "output stopped taking buffers");
    EXPECT_EQ(sink.statistics().buffersConsumed, 3u);
    sink.setSignalling(true);
}

TEST(VirtualDsdSinkTest, SignallingSwitchPausesTheDevice) {
    VirtualDsdSinkOptions options;
    options.queueDepth = 1;
    VirtualDsdSink sink(options);
    const auto format = sink.open(u"sink", kDsd64Frames);
    sink.setSignalling(false);
    const Bytes buffer(format.bufferBytes(), 0x69);
    sink.submit(buffer);
    sink.start();
    EXPECT_FALSE(sink.wait(30));
    sink.setSignalling(true);
    EXPECT_TRUE(sink.wait(2000));
    EXPECT_EQ(sink.statistics().buffersConsumed, 1u);
}

TEST(VirtualDsdSinkTest, UnderrunFaultsAreSticky) {
    {
        VirtualDsdSink sink;
        const auto format = sink.open(u"sink", kDsd64Frames);
        sink.injectUnderrun();
        EXPECT_EQ(failureOf([&] { sink.wait(10); }), VirtualDsdSink::kUnderrunText);
        EXPECT_EQ(failureOf([&] { sink.wait(10); }), VirtualDsdSink::kUnderrunText);
        (void)format;
    }
    // Real time with a fatal underrun: a started device that finds nothing
    // queued fails the next wait.
    VirtualDsdSinkOptions options;
    options.pace = DsdSinkPace::RealTime;
    options.failOnUnderrun = true;
    options.framesPerBuffer = 176;  // 1 ms
    VirtualDsdSink sink(options);
    const auto format = sink.open(u"sink", kDsd64Frames);
    const Bytes buffer(format.bufferBytes(), 0x69);
    sink.submit(buffer);
    sink.start();
    ASSERT_TRUE(eventually([&] { return sink.statistics().underruns > 0; }));
    EXPECT_EQ(failureOf([&] { sink.wait(10); }), VirtualDsdSink::kUnderrunText);
}

// The engine owns and releases its output; the test keeps the monitor and
// still finds every byte, and a later sink on it starts clean.
TEST(VirtualDsdSinkTest, MonitorOutlivesTheSink) {
    auto monitor = std::make_shared<VirtualDsdSinkMonitor>();
    Bytes submitted;
    {
        auto sink = std::make_unique<VirtualDsdSink>(VirtualDsdSinkOptions{}, monitor);
        const auto format = sink->open(u"sink", kDsd64Frames);
        submitted = test::playBuffers(*sink, format, test::testWords(999), 6);
        ASSERT_TRUE(eventually([&] { return monitor->statistics().buffersConsumed == 6; }));
        const Bytes extra(format.bufferBytes(), 0x69);
        sink->stop();
        sink->submit(extra);  // left unplayed
    }
    EXPECT_TRUE(monitor->captured() == submitted);
    EXPECT_EQ(monitor->statistics().buffersSubmitted, 7u);

    VirtualDsdSinkOptions single;
    single.queueDepth = 1;
    VirtualDsdSink next(single, monitor);
    next.open(u"sink", kDsd64Frames);
    EXPECT_TRUE(next.wait(0));  // the old sink's unplayed buffer is not queued here
    monitor->injectUnderrun();
    EXPECT_EQ(failureOf([&] { next.wait(0); }), VirtualDsdSink::kUnderrunText);
}

}  // namespace
}  // namespace morrow::dsd
