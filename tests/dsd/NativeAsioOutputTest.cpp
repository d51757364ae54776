#include "dsd/NativeAsioOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeAsioDriver.h"
#include "dsd/NativeDsdUnpack.h"

namespace al::audio {
namespace {

using test::FakeAsio;

constexpr std::uint32_t kDsd64Frames = 176400;  // 2,822,400 bits/s / 16
const std::u16string kIdentity = u"{8F3A2C10-5B6D-4E7F-9A01-23456789ABCD}";
constexpr const char* kFault = "ASIO underrun, reset request or clock change; playback stopped";

// Frame words for buffer n, frame i: the channel 0 and channel 1 16-bit words
// (earliest bit most significant). Never 0x69 in either byte, so music and
// the idle pattern are told apart on the wire.
std::uint16_t word(std::uint32_t n, std::uint32_t i, int channel) {
    std::uint32_t x = n * 2654435761u + i * 40503u + static_cast<std::uint32_t>(channel) * 977u;
    x ^= x >> 13;
    std::uint16_t w = static_cast<std::uint16_t>(x * 2246822519u >> 16);
    if ((w & 0xFF) == 0x69)
        w ^= 0x01;
    if ((w >> 8) == 0x69)
        w ^= 0x0100;
    return w;
}

// The engine's DoP buffer: 3-byte carriers, later byte, earlier byte, marker.
std::vector<std::uint8_t> dopBuffer(std::uint32_t n, std::uint32_t frames) {
    std::vector<std::uint8_t> out(std::size_t{frames} * 6);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint8_t marker = i % 2 == 0 ? 0x05 : 0xFA;
        for (int c = 0; c < 2; ++c) {
            const std::uint16_t w = word(n, i, c);
            out[i * 6 + c * 3 + 0] = static_cast<std::uint8_t>(w & 0xFF);
            out[i * 6 + c * 3 + 1] = static_cast<std::uint8_t>(w >> 8);
            out[i * 6 + c * 3 + 2] = marker;
        }
    }
    return out;
}

// What channel c carries natively for buffer n (earlier byte first).
std::vector<std::uint8_t> nativeBytes(std::uint32_t n, std::uint32_t frames, int c, bool reversed) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint16_t w = word(n, i, c);
        out.push_back(static_cast<std::uint8_t>(w >> 8));
        out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    }
    if (reversed) {
        for (auto& b : out)
            b = morrow::dsd::reverseBits(b);
    }
    return out;
}

std::string openFailure(FakeAsio& fake, std::uint32_t frameRate = kDsd64Frames) {
    Native native(kIdentity, fake.system);
    try {
        native.open(u"ignored", frameRate);
    } catch (const std::runtime_error& e) {
        EXPECT_FALSE(native.isOpen()) << e.what();
        return e.what();
    }
    return "opened";
}

TEST(NativeAsioOpen, StepsInOrderAndTheFormatOfA4096BitBuffer) {
    FakeAsio fake;
    Native native(kIdentity, fake.system);
    EXPECT_EQ(native.queueDepth(), 8u);
    const DsdOutputFormat format = native.open(u"any endpoint", kDsd64Frames);
    EXPECT_EQ(format.frameRate, kDsd64Frames);
    EXPECT_EQ(format.framesPerBuffer, 256u);
    EXPECT_EQ(format.carrierBytes, 3u);
    EXPECT_EQ(format.bufferBytes(), 1536u);
    EXPECT_EQ(format.description, "Native ASIO DSD (no DoP on the wire)");

    const std::vector<std::string> expected = {
        "init",          "setIoFormat",         "canSampleRate",
        "setSampleRate", "getSampleRate",       "getChannels",
        "getBufferSize", "getChannelInfo(out)", "getChannelInfo(out)",
        "createBuffers"};
    EXPECT_EQ(fake.state.calls, expected);
    EXPECT_EQ(fake.state.comInits, 1);
    EXPECT_EQ(fake.state.ioFormatSeen, platform::kAsioFormatDsd);
    EXPECT_EQ(fake.state.rateSet, 2822400.0);
    EXPECT_EQ(fake.state.bufferSizeAsked, 4096);
    ASSERT_EQ(fake.state.infosAsked.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        EXPECT_FALSE(fake.state.infosAsked[c].isInput);
        EXPECT_EQ(fake.state.infosAsked[c].channel, c);
        for (int h = 0; h < 2; ++h) {
            const auto& half = fake.state.halves[c][h];
            ASSERT_EQ(half.size(), 512u);
            EXPECT_TRUE(std::all_of(half.begin(), half.end(), [](auto b) { return b == 0x69; }));
        }
    }
    EXPECT_EQ(fake.state.outputReadyCalls.load(), 1);  // the probe in open
    EXPECT_EQ(fake.state.callbacks.bufferSwitch != nullptr, true);
    EXPECT_EQ(fake.state.callbacks.bufferSwitchTimeInfo != nullptr, true);

    try {
        native.open(u"", kDsd64Frames);
        ADD_FAILURE() << "second open";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ASIO already open");
    }
}

TEST(NativeAsioOpen, EachFailingStepGivesItsMessageAndLeavesNothingHeld) {
    struct Case {
        const char* message;
        void (*setup)(test::FakeAsioState&);
    };
    const Case cases[] = {
        {"ASIO COM initialization failed", [](auto& s) { s.comInitResult = false; }},
        {"Invalid ASIO driver identity",
         [](auto& s) { s.createResult = platform::AsioCreateResult::InvalidIdentity; }},
        {"Cannot load selected 64-bit ASIO driver",
         [](auto& s) { s.createResult = platform::AsioCreateResult::CannotLoad; }},
        {"ASIO initialization failed", [](auto& s) { s.initResult = false; }},
        {"Driver does not accept native DSD mode",
         [](auto& s) { s.ioFormatResult = platform::kAsioNotPresent; }},
        {"Driver rejected native DSD", [](auto& s) { s.ioFormatAfter = platform::kAsioFormatPcm; }},
        {"Native DSD rate unsupported by driver",
         [](auto& s) { s.canRateResult = platform::kAsioNoClock; }},
        {"Cannot set native DSD rate",
         [](auto& s) { s.setRateResult = platform::kAsioInvalidMode; }},
        {"Cannot verify ASIO rate",
         [](auto& s) { s.getRateResult = platform::kAsioHwMalfunction; }},
        {"ASIO rate changed unexpectedly", [](auto& s) { s.rateReadBackOffset = -1.0; }},
        {"Cannot query ASIO channels",
         [](auto& s) { s.channelsResult = platform::kAsioNotPresent; }},
        {"ASIO stereo outputs unavailable", [](auto& s) { s.outputs = 1; }},
        {"Cannot query ASIO buffer size",
         [](auto& s) { s.bufferSizeResult = platform::kAsioNotPresent; }},
        {"Cannot query ASIO output type",
         [](auto& s) { s.channelInfoResult = platform::kAsioInvalidParameter; }},
        {"ASIO driver did not expose 1-bit DSD byte output", [](auto& s) { s.sampleType[1] = 18; }},
        {"ASIO DSD buffer allocation failed",
         [](auto& s) { s.createBuffersResult = platform::kAsioNoMemory; }},
        {"ASIO returned null output buffer", [](auto& s) { s.nullHalf = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        FakeAsio fake;
        c.setup(fake.state);
        EXPECT_EQ(openFailure(fake), c.message);
        EXPECT_EQ(fake.state.comUninits, fake.state.comInitResult ? 1 : 0);
        const auto& calls = fake.state.calls;
        if (!calls.empty()) {
            EXPECT_EQ(calls.back(), "release");
        }
        const bool created = std::find(calls.begin(), calls.end(), "createBuffers") != calls.end();
        const bool disposed =
            std::find(calls.begin(), calls.end(), "disposeBuffers") != calls.end();
        EXPECT_EQ(disposed, created && fake.state.createBuffersResult == platform::kAsioOk);
        // The process-wide slot is free again.
        FakeAsio other;
        Native next(kIdentity, other.system);
        EXPECT_NO_THROW(next.open(u"", kDsd64Frames));
    }
}

TEST(NativeAsioOpen, SuccessCodesAndTheRateReadBackExactly) {
    FakeAsio fake;
    fake.state.canRateResult = platform::kAsioSuccess;
    fake.state.ioFormatResult = platform::kAsioSuccess;
    fake.state.outputReadyResult = platform::kAsioNotPresent;
    Native native(kIdentity, fake.system);
    native.open(u"", 1411200);  // DSD512
    EXPECT_EQ(fake.state.rateSet, 22579200.0);

    // The sample-rate callback: the same rate is no change, any other faults.
    fake.state.callbacks.sampleRateDidChange(22579200.0);
    EXPECT_EQ(native.faults(), 0);
    fake.state.callbacks.sampleRateDidChange(22579199.0);
    EXPECT_EQ(native.faults(), Native::kFaultRateChange);

    FakeAsio offByOne;
    offByOne.state.rateReadBackOffset = -1.0;  // 2,822,399 after setting 2,822,400
    EXPECT_EQ(openFailure(offByOne), "ASIO rate changed unexpectedly");
}

TEST(NativeAsioOpen, PreferredBufferSizeLimits) {
    struct Case {
        platform::AsioBufferSize size;
        bool accepted;
    };
    const Case cases[] = {
        {{16, 0x1000000, 16, 16}, true},
        {{16, 0x1000000, 0x1000000, 16}, true},
        {{16, 0x1000000, 8, 8}, false},           // below 16
        {{16, 0x2000000, 0x1000010, 16}, false},  // above 16,777,216
        {{16, 0x1000000, 4088, 8}, false},        // not a multiple of 16
        {{8192, 0x1000000, 4096, 16}, false},     // below the driver's minimum
        {{16, 2048, 4096, 16}, false},            // above its maximum
        {{0, 0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.preferred);
        FakeAsio fake;
        fake.state.bufferSize = c.size;
        EXPECT_EQ(openFailure(fake),
                  c.accepted ? "opened" : "Unsupported native DSD buffer alignment/size");
    }
}

TEST(NativeAsioOpen, OnlyOneOutputInTheProcess) {
    FakeAsio first;
    FakeAsio second;
    {
        Native a(kIdentity, first.system);
        a.open(u"", kDsd64Frames);
        EXPECT_EQ(openFailure(second), "Another native ASIO output is active");
        // The refused one released its own driver but not the active slot.
        EXPECT_EQ(second.state.calls.back(), "release");
        a.submit(dopBuffer(0, 256));
        first.state.switchHalf(0);
        EXPECT_EQ(first.state.halves[0][0], nativeBytes(0, 256, 0, false));
    }
    FakeAsio third;
    EXPECT_EQ(openFailure(third), "opened");
}

TEST(NativeAsioOpen, WithoutInstalledDriversTheListIsEmptyAndOpenSaysSo) {
    if (!platform::platformAsioSystem().listDrivers().empty()) {
        GTEST_SKIP() << "this platform lists drivers";
    }
    EXPECT_TRUE(listAsioDrivers().empty());
    Native missing(kIdentity);
    try {
        missing.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot load selected 64-bit ASIO driver");
    }
    Native garbled(u"not a class id");
    try {
        garbled.open(u"", kDsd64Frames);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid ASIO driver identity");
    }
}

TEST(NativeAsioSubmit, LengthsBeforeOpenAndOverflow) {
    FakeAsio fake;
    Native native(kIdentity, fake.system);
    const auto buffer = dopBuffer(0, 256);
    EXPECT_THROW(native.submit(buffer), std::runtime_error);
    EXPECT_THROW(native.wait(0), std::runtime_error);
    EXPECT_THROW(native.start(), std::runtime_error);
    native.open(u"", kDsd64Frames);

    try {
        native.submit(std::span(buffer).first(1530));
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ASIO packing buffer mismatch");
    }
    const std::vector<std::uint8_t> longer(1542, 0);
    EXPECT_THROW(native.submit(longer), std::runtime_error);

    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(native.wait(0));
        native.submit(buffer);
    }
    EXPECT_FALSE(native.wait(20));  // full, and the driver takes nothing
    try {
        native.submit(buffer);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ASIO queue overflow");
    }
    // One half-buffer taken frees exactly one slot.
    fake.state.switchHalf(0);
    EXPECT_TRUE(native.wait(0));
    native.submit(buffer);
    EXPECT_THROW(native.submit(buffer), std::runtime_error);
}

TEST(NativeAsioSubmit, UnpacksEarlierByteFirstAndReversesForLsbFirst) {
    // One frame by hand: channel 0 word 0x1234, channel 1 word 0x5678.
    std::vector<std::uint8_t> dop(256 * 6, 0);
    const std::uint8_t frame[6] = {0x34, 0x12, 0x05, 0x78, 0x56, 0x05};
    std::copy(std::begin(frame), std::end(frame), dop.begin());

    struct Case {
        std::int32_t type0, type1;
        std::uint8_t expect[4];  // channel 0 bytes 0, 1; channel 1 bytes 0, 1
    };
    const Case cases[] = {
        {33, 33, {0x12, 0x34, 0x56, 0x78}},
        {32, 32, {0x48, 0x2C, 0x6A, 0x1E}},
        {33, 32, {0x12, 0x34, 0x6A, 0x1E}},
        {32, 33, {0x48, 0x2C, 0x56, 0x78}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type0) + "/" + std::to_string(c.type1));
        FakeAsio fake;
        fake.state.sampleType[0] = c.type0;
        fake.state.sampleType[1] = c.type1;
        Native native(kIdentity, fake.system);
        native.open(u"", kDsd64Frames);
        native.submit(dop);
        fake.state.switchHalf(1);
        EXPECT_EQ(fake.state.halves[0][1][0], c.expect[0]);
        EXPECT_EQ(fake.state.halves[0][1][1], c.expect[1]);
        EXPECT_EQ(fake.state.halves[1][1][0], c.expect[2]);
        EXPECT_EQ(fake.state.halves[1][1][1], c.expect[3]);
        EXPECT_EQ(fake.state.halves[0][1][2], 0x00);  // zero in either bit order
        // The other half still carries the idle pattern from open.
        EXPECT_EQ(fake.state.halves[0][0][0], 0x69);
    }
}

TEST(NativeAsioStream, PrefilledBuffersPlayInOrderThenStarvingPlaysIdleAndFaults) {
    for (const std::int32_t type : {platform::kAsioDsdMsbFirst, platform::kAsioDsdLsbFirst}) {
        SCOPED_TRACE(type);
        FakeAsio fake;
        fake.state.sampleType[0] = fake.state.sampleType[1] = type;
        Native native(kIdentity, fake.system);
        const DsdOutputFormat format = native.open(u"", kDsd64Frames);
        const std::uint32_t frames = format.framesPerBuffer;
        for (std::uint32_t n = 0; n < native.queueDepth(); ++n) {
            native.submit(dopBuffer(n, frames));
        }
        native.start();
        std::uint32_t next = 8;
        // 20 more buffers, one per half-buffer taken, alternately through both
        // forms of the callback.
        for (std::int32_t k = 0; k < 20; ++k) {
            const std::int32_t half = k % 2;
            if (k % 3 == 0) {
                fake.state.switchHalfWithTimeInfo(half);
            } else {
                fake.state.switchHalf(half);
            }
            fake.state.record(half);
            ASSERT_TRUE(native.wait(20));
            native.submit(dopBuffer(next++, frames));
        }
        // The engine stops feeding: 8 queued buffers drain, then the idle pattern.
        for (std::int32_t k = 20; k < 30; ++k) {
            fake.state.switchHalf(k % 2);
            fake.state.record(k % 2);
        }
        const bool reversed = type == platform::kAsioDsdLsbFirst;
        for (int c = 0; c < 2; ++c) {
            std::vector<std::uint8_t> expected;
            for (std::uint32_t n = 0; n < 28; ++n) {
                const auto bytes = nativeBytes(n, frames, c, reversed);
                expected.insert(expected.end(), bytes.begin(), bytes.end());
            }
            expected.insert(expected.end(), 2 * 512, 0x69);
            EXPECT_EQ(fake.state.wire[c], expected) << "channel " << c;
        }
        EXPECT_EQ(native.faults(), Native::kFaultUnderrun);
        for (int attempt = 0; attempt < 2; ++attempt) {  // sticky
            try {
                native.wait(20);
                ADD_FAILURE();
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), kFault);
            }
        }
        EXPECT_EQ(fake.state.outputReadyCalls.load(), 1 + 30);
    }
}

TEST(NativeAsioStream, IdleBeforeStartIsNoUnderrunAndOutputReadyOnlyWhenSupported) {
    FakeAsio fake;
    fake.state.outputReadyResult = platform::kAsioNotPresent;
    Native native(kIdentity, fake.system);
    native.open(u"", kDsd64Frames);
    fake.state.switchHalf(0);
    EXPECT_EQ(native.faults(), 0);
    EXPECT_EQ(fake.state.halves[0][0], std::vector<std::uint8_t>(512, 0x69));
    EXPECT_EQ(fake.state.outputReadyCalls.load(), 1);  // only the probe in open
    EXPECT_TRUE(native.wait(0));
}

TEST(NativeAsioCallbacks, MessageSelectorsAndFaults) {
    FakeAsio fake;
    Native native(kIdentity, fake.system);
    native.open(u"", kDsd64Frames);
    const auto message = fake.state.callbacks.message;
    ASSERT_NE(message, nullptr);
    const std::int32_t supported[] = {0, 0, 1, 1, 0, 1, 0, 1, 0, 0};  // values 0..9
    for (std::int32_t v = 0; v < 10; ++v) {
        EXPECT_EQ(message(platform::kAsioSelectorSupported, v, nullptr, nullptr), supported[v])
            << v;
    }
    EXPECT_EQ(message(platform::kAsioEngineVersion, 0, nullptr, nullptr), 2);
    EXPECT_EQ(message(platform::kAsioBufferSizeChange, 0, nullptr, nullptr), 0);
    EXPECT_EQ(message(platform::kAsioLatenciesChanged, 0, nullptr, nullptr), 0);
    EXPECT_EQ(message(platform::kAsioSupportsTimeCode, 0, nullptr, nullptr), 0);
    EXPECT_EQ(message(99, 0, nullptr, nullptr), 0);
    // Asking whether the host takes time information is a question, not a fault.
    EXPECT_EQ(message(platform::kAsioSupportsTimeInfo, 0, nullptr, nullptr), 1);
    EXPECT_EQ(native.faults(), 0);
    EXPECT_TRUE(native.wait(0));

    EXPECT_EQ(message(platform::kAsioResetRequest, 0, nullptr, nullptr), 1);
    EXPECT_EQ(native.faults(), Native::kFaultReset);
    EXPECT_THROW(native.wait(0), std::runtime_error);
}

TEST(NativeAsioCallbacks, ResyncRequestFaults) {
    FakeAsio fake;
    Native native(kIdentity, fake.system);
    native.open(u"", kDsd64Frames);
    EXPECT_EQ(fake.state.callbacks.message(platform::kAsioResyncRequest, 0, nullptr, nullptr), 1);
    EXPECT_EQ(native.faults(), Native::kFaultReset);
    try {
        native.wait(0);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), kFault);
    }
}

TEST(NativeAsioCallbacks, HalfIndexOutsideZeroAndOneFaultsWithoutTouchingMemory) {
    for (const std::int32_t bad : {2, -1, 1000}) {
        SCOPED_TRACE(bad);
        FakeAsio fake;
        Native native(kIdentity, fake.system);
        native.open(u"", kDsd64Frames);
        native.submit(dopBuffer(0, 256));
        fake.state.switchHalf(bad);
        EXPECT_EQ(native.faults(), Native::kFaultBadHalf);
        EXPECT_EQ(fake.state.halves[0][0], std::vector<std::uint8_t>(512, 0x69));
        EXPECT_EQ(fake.state.halves[0][1], std::vector<std::uint8_t>(512, 0x69));
        EXPECT_THROW(native.wait(0), std::runtime_error);
    }
}

TEST(NativeAsioCallbacks, NothingHappensWithoutAnOpenOutput) {
    FakeAsio fake;
    {
        Native native(kIdentity, fake.system);
        native.open(u"", kDsd64Frames);
    }
    const auto callbacks = fake.state.callbacks;
    callbacks.bufferSwitch(0, 1);
    callbacks.sampleRateDidChange(1.0);
    EXPECT_EQ(callbacks.message(platform::kAsioResetRequest, 0, nullptr, nullptr), 1);
    EXPECT_EQ(callbacks.message(platform::kAsioEngineVersion, 0, nullptr, nullptr), 2);
}

TEST(NativeAsioLifetime, DestructionStopsDisposesReleasesThenUndoesCom) {
    FakeAsio fake;
    {
        Native native(kIdentity, fake.system);
        native.open(u"", kDsd64Frames);
        native.start();
        native.stop();
        native.stop();  // only once to the driver
        native.start();
        fake.state.calls.clear();
    }
    const std::vector<std::string> expected = {"stop", "disposeBuffers", "release"};
    EXPECT_EQ(fake.state.calls, expected);
    EXPECT_EQ(fake.state.comInits, 1);
    EXPECT_EQ(fake.state.comUninits, 1);

    FakeAsio stopped;
    {
        Native native(kIdentity, stopped.system);
        native.open(u"", kDsd64Frames);
        stopped.state.calls.clear();
    }
    const std::vector<std::string> notStarted = {"disposeBuffers", "release"};
    EXPECT_EQ(stopped.state.calls, notStarted);
}

TEST(NativeAsioLifetime, AFailedStartLeavesTheOutputUnstarted) {
    FakeAsio fake;
    fake.state.startResult = platform::kAsioHwMalfunction;
    Native native(kIdentity, fake.system);
    native.open(u"", kDsd64Frames);
    try {
        native.start();
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ASIO start failed");
    }
    fake.state.switchHalf(0);  // a stray callback is no underrun of a stream never started
    EXPECT_EQ(native.faults(), 0);
    fake.state.calls.clear();
    native.stop();
    EXPECT_TRUE(fake.state.calls.empty());
}

// The driver's thread takes half-buffers as fast as it can while the engine
// thread waits and submits numbered buffers: every buffer reaches the wire
// once, whole and in order, with only idle half-buffers in between.
TEST(NativeAsioStream, TwoThreadsLoseNothingAndReorderNothing) {
    FakeAsio fake;
    fake.state.bufferSize = {16, 0x1000000, 256, 16};  // 16 frames, 32 bytes per channel
    Native native(kIdentity, fake.system);
    const DsdOutputFormat format = native.open(u"", kDsd64Frames);
    constexpr std::uint32_t kBuffers = 3000;
    std::atomic<bool> done{false};
    std::atomic<std::uint32_t> played{0};  // music half-buffers (never 0x69 in byte 0)
    std::thread driver([&] {
        std::int32_t half = 0;
        while (!done.load()) {
            fake.state.switchHalf(half);
            fake.state.record(half);
            if (fake.state.halves[0][half][0] != 0x69)
                played.fetch_add(1);
            half ^= 1;
        }
    });
    std::vector<std::vector<std::uint8_t>> buffers;
    for (std::uint32_t n = 0; n < kBuffers; ++n) {
        buffers.push_back(dopBuffer(n, format.framesPerBuffer));
    }
    std::uint32_t sent = 0;
    while (sent < kBuffers) {
        if (native.wait(100)) {
            native.submit(buffers[sent++]);
        }
    }
    for (int ms = 0; ms < 10000 && played.load() < kBuffers; ++ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done.store(true);
    driver.join();

    const std::size_t half = fake.state.halfBytes();
    for (int c = 0; c < 2; ++c) {
        const auto& wire = fake.state.wire[c];
        ASSERT_EQ(wire.size() % half, 0u);
        std::uint32_t n = 0;
        for (std::size_t at = 0; at < wire.size(); at += half) {
            const std::vector<std::uint8_t> piece(wire.begin() + at, wire.begin() + at + half);
            if (piece == std::vector<std::uint8_t>(half, 0x69))
                continue;
            ASSERT_LT(n, kBuffers);
            ASSERT_EQ(piece, nativeBytes(n, format.framesPerBuffer, c, false)) << "buffer " << n;
            ++n;
        }
        EXPECT_EQ(n, kBuffers) << "channel " << c;
    }
    EXPECT_EQ(native.faults(), 0);  // never started: idle is no underrun
}

}  // namespace
}  // namespace al::audio
