#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DsdOutputFixtures.h"
#include "FakeDsdDevice.h"
#include "dsd/AlsaDsdOutput.h"
#include "dsd/DopPacker.h"
#include "dsd/NativeDsdUnpack.h"

namespace morrow::dsd {
namespace {

using al::platform::DsdResult;
using al::platform::DsdSampleFormat;
using test::Bytes;
using test::FakeDsdState;

constexpr std::uint32_t kDsd64Frames = 176'400;  // DoP frames per second
constexpr std::uint64_t kDsd64Rate = 2'822'400;  // bits per second per channel

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

// The stereo rates a format runs at for DSD64: 88.2 kHz in 32-bit samples,
// 176.4 kHz in 16-bit, 352.8 kHz in 8-bit.
std::uint32_t dsd64Rate(DsdSampleFormat format) {
    return nativeDsdSampleRate(format, kDsd64Rate);
}

std::shared_ptr<FakeDsdState> deviceTaking(std::initializer_list<DsdSampleFormat> formats,
                                           std::uint64_t dsdRate = kDsd64Rate) {
    auto state = std::make_shared<FakeDsdState>();
    for (const DsdSampleFormat format : formats) {
        state->accepted.insert({format, nativeDsdSampleRate(format, dsdRate)});
    }
    return state;
}

AlsaDsdOutput outputOver(const std::shared_ptr<FakeDsdState>& state,
                         DsdResult openAnswer = DsdResult::Ok) {
    return AlsaDsdOutput(
        [state, openAnswer](const std::u16string& id,
                            std::unique_ptr<al::platform::DsdPlaybackDevice>& device) {
            if (openAnswer != DsdResult::Ok) {
                return openAnswer;
            }
            if (id != u"hw:CARD=DAC,DEV=0") {
                return DsdResult::Gone;
            }
            device = std::make_unique<test::FakeDsdDevice>(state);
            return DsdResult::Ok;
        });
}

TEST(NativeDsdFormatTest, SampleRatesPerFormat) {
    EXPECT_EQ(dsd64Rate(DsdSampleFormat::U32Be), 88'200u);
    EXPECT_EQ(dsd64Rate(DsdSampleFormat::U32Le), 88'200u);
    EXPECT_EQ(dsd64Rate(DsdSampleFormat::U16Le), 176'400u);
    EXPECT_EQ(dsd64Rate(DsdSampleFormat::U8), 352'800u);
    EXPECT_EQ(nativeDsdSampleRate(DsdSampleFormat::U32Be, 45'158'400), 1'411'200u);  // DSD1024
    EXPECT_EQ(nativeDsdSampleRate(DsdSampleFormat::U32Be, 16), 0u);  // not whole samples
    EXPECT_EQ(nativeDsdSampleRate(DsdSampleFormat::U8, 0), 0u);
}

// Two DoP frames, words 0x12345678 and 0x9ABCDEF0: channel 0 plays 56 78 DE
// F0 (earlier byte first), channel 1 plays 12 34 9A BC.
TEST(NativeDsdFormatTest, ByteLayoutPerFormat) {
    const Bytes c0 = {0x56, 0x78, 0xDE, 0xF0};
    const Bytes c1 = {0x12, 0x34, 0x9A, 0xBC};
    const struct {
        DsdSampleFormat format;
        Bytes expected;
    } cases[] = {
        {DsdSampleFormat::U8, {0x56, 0x12, 0x78, 0x34, 0xDE, 0x9A, 0xF0, 0xBC}},
        {DsdSampleFormat::U16Be, {0x56, 0x78, 0x12, 0x34, 0xDE, 0xF0, 0x9A, 0xBC}},
        {DsdSampleFormat::U16Le, {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A}},
        {DsdSampleFormat::U32Be, {0x56, 0x78, 0xDE, 0xF0, 0x12, 0x34, 0x9A, 0xBC}},
        {DsdSampleFormat::U32Le, {0xF0, 0xDE, 0x78, 0x56, 0xBC, 0x9A, 0x34, 0x12}},
    };
    for (const auto& c : cases) {
        Bytes out(8);
        interleaveNativeDsd(c0, c1, c.format, out);
        EXPECT_EQ(out, c.expected) << al::platform::dsdSampleFormatName(c.format);
    }
    Bytes out(8);
    const Bytes three = {1, 2, 3};
    EXPECT_THROW(interleaveNativeDsd(three, three, DsdSampleFormat::U16Be, out),
                 std::invalid_argument);
    EXPECT_THROW(interleaveNativeDsd(c0, three, DsdSampleFormat::U8, out), std::invalid_argument);
    Bytes small(7);
    EXPECT_THROW(interleaveNativeDsd(c0, c1, DsdSampleFormat::U8, small), std::invalid_argument);
}

TEST(NativeDsdOutputTest, FirstFormatTheDeviceTakesExactlyWins) {
    const struct {
        std::initializer_list<DsdSampleFormat> offered;
        DsdSampleFormat expected;
    } cases[] = {
        {{DsdSampleFormat::U8, DsdSampleFormat::U16Le, DsdSampleFormat::U32Le,
          DsdSampleFormat::U32Be},
         DsdSampleFormat::U32Be},
        {{DsdSampleFormat::U8, DsdSampleFormat::U32Le}, DsdSampleFormat::U32Le},
        {{DsdSampleFormat::U16Le, DsdSampleFormat::U16Be}, DsdSampleFormat::U16Be},
        {{DsdSampleFormat::U8, DsdSampleFormat::U16Le}, DsdSampleFormat::U16Le},
        {{DsdSampleFormat::U8}, DsdSampleFormat::U8},
    };
    for (const auto& c : cases) {
        auto state = deviceTaking(c.offered);
        AlsaDsdOutput output = outputOver(state);
        const auto format = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
        EXPECT_EQ(output.format(), c.expected);
        EXPECT_EQ(state->settings.format, c.expected);
        EXPECT_EQ(state->settings.rate, dsd64Rate(c.expected));
        EXPECT_EQ(state->settings.channels, 2u);
        EXPECT_EQ(format.carrierBytes, 3u);
        EXPECT_EQ(format.frameRate, kDsd64Frames);
        EXPECT_EQ(format.description, std::string("Native DSD ") +
                                          al::platform::dsdSampleFormatName(c.expected) +
                                          " (no DoP on the wire)");
    }
    // Asked in order of preference until one is taken.
    auto state = deviceTaking({DsdSampleFormat::U16Le});
    AlsaDsdOutput output = outputOver(state);
    output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
    const std::vector<DsdSampleFormat> asked(state->asked.begin(), state->asked.begin() + 4);
    EXPECT_EQ(asked,
              (std::vector<DsdSampleFormat>{DsdSampleFormat::U32Be, DsdSampleFormat::U32Le,
                                            DsdSampleFormat::U16Be, DsdSampleFormat::U16Le}));
}

// A format the device offers only at another rate does not count there.
TEST(NativeDsdOutputTest, FormatIsChosenForTheRateAskedFor) {
    auto state = std::make_shared<FakeDsdState>();
    state->accepted.insert(
        {DsdSampleFormat::U32Be, nativeDsdSampleRate(DsdSampleFormat::U32Be, 2 * kDsd64Rate)});
    state->accepted.insert({DsdSampleFormat::U8, dsd64Rate(DsdSampleFormat::U8)});
    AlsaDsdOutput output = outputOver(state);
    output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
    EXPECT_EQ(output.format(), DsdSampleFormat::U8);
}

TEST(NativeDsdOutputTest, FrameCountsPerFormat) {
    // 10 ms of DSD64 is 1764 DoP frames: 3528 bytes a channel.
    const struct {
        DsdSampleFormat format;
        std::uint32_t deviceFrames;
    } cases[] = {
        {DsdSampleFormat::U32Be, 882}, {DsdSampleFormat::U16Le, 1764}, {DsdSampleFormat::U8, 3528}};
    for (const auto& c : cases) {
        auto state = deviceTaking({c.format});
        AlsaDsdOutput output = outputOver(state);
        const auto format = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
        EXPECT_EQ(format.framesPerBuffer, 1764u);
        EXPECT_EQ(output.deviceFramesPerBuffer(), c.deviceFrames);
        EXPECT_EQ(state->settings.availMin, c.deviceFrames);
        EXPECT_GE(state->settings.bufferFrames, 2 * c.deviceFrames);
        const Bytes buffer(format.bufferBytes(), 0);
        output.submit(buffer);
        ASSERT_EQ(state->writes.size(), 1u);
        EXPECT_EQ(state->writes[0], c.deviceFrames);
        EXPECT_EQ(state->written.size(), 2u * 1764u * 2u);
    }
}

// The device gets the DSD bytes of the packed buffers and no marker byte.
TEST(NativeDsdOutputTest, DeviceReceivesTheUnpackedBytesOfEveryBuffer) {
    for (const DsdSampleFormat format : al::platform::kDsdSampleFormats) {
        auto state = deviceTaking({format});
        AlsaDsdOutput output = outputOver(state);
        const auto opened = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
        const std::vector<std::uint32_t> words = test::testWords(5000);
        const Bytes submitted = test::playBuffers(output, opened, words, 5);
        output.stop();
        EXPECT_EQ(state->starts, 1);
        EXPECT_EQ(state->stops, 1);

        // Independently: channel bytes from the words, then the format's layout.
        const std::size_t frames = submitted.size() / 6;
        Bytes c0(2 * frames);
        Bytes c1(2 * frames);
        for (std::size_t i = 0; i < frames; ++i) {
            const std::uint32_t w = words[i % words.size()];
            c0[2 * i] = static_cast<std::uint8_t>(w >> 8);
            c0[2 * i + 1] = static_cast<std::uint8_t>(w);
            c1[2 * i] = static_cast<std::uint8_t>(w >> 24);
            c1[2 * i + 1] = static_cast<std::uint8_t>(w >> 16);
        }
        const std::size_t sample = al::platform::dsdSampleBytes(format);
        const bool big = al::platform::dsdSampleBigEndian(format);
        Bytes expected;
        for (std::size_t s = 0; s < c0.size() / sample; ++s) {
            for (const Bytes* channel : {&c0, &c1}) {
                for (std::size_t b = 0; b < sample; ++b) {
                    expected.push_back((*channel)[s * sample + (big ? b : sample - 1 - b)]);
                }
            }
        }
        EXPECT_TRUE(state->written == expected) << al::platform::dsdSampleFormatName(format);
    }
}

TEST(NativeDsdOutputTest, RefusalsSayWhy) {
    {
        auto state = std::make_shared<FakeDsdState>();
        AlsaDsdOutput output = outputOver(state);
        EXPECT_EQ(failureOf([&] { output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames); }),
                  "Device offers no native DSD sample format");
    }
    {
        auto state = deviceTaking({DsdSampleFormat::U32Be}, 4 * kDsd64Rate);
        AlsaDsdOutput output = outputOver(state);
        EXPECT_EQ(failureOf([&] { output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames); }),
                  "Native DSD rate unsupported by device");
        EXPECT_EQ(output.format(), std::nullopt);
    }
    auto state = deviceTaking({DsdSampleFormat::U8});
    EXPECT_EQ(failureOf([&] { outputOver(state).open(u"hw:CARD=Other,DEV=0", kDsd64Frames); }),
              "Selected audio endpoint is no longer active");
    EXPECT_EQ(failureOf([&] {
                  outputOver(state, DsdResult::Busy).open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
              }),
              "The selected audio endpoint is currently in use");
    EXPECT_EQ(
        failureOf([&] {
            outputOver(state, DsdResult::Unavailable).open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
        }),
        "Native DSD output is not available on this platform");
    EXPECT_EQ(failureOf([&] { outputOver(state).open(u"", kDsd64Frames); }),
              "An exact endpoint ID is required");
    state->shortBuffer = true;
    EXPECT_EQ(failureOf([&] { outputOver(state).open(u"hw:CARD=DAC,DEV=0", kDsd64Frames); }),
              "Native DSD device buffer too small");
}

TEST(NativeDsdOutputTest, StreamCallsAndBufferSizeAreChecked) {
    auto state = deviceTaking({DsdSampleFormat::U32Be});
    AlsaDsdOutput output = outputOver(state);
    const Bytes six(6);
    EXPECT_EQ(failureOf([&] { output.wait(0); }), "Output not open");
    EXPECT_EQ(failureOf([&] { output.submit(six); }), "Output not open");
    EXPECT_EQ(failureOf([&] { output.start(); }), "Output not open");
    const auto format = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
    EXPECT_EQ(failureOf([&] { output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames); }),
              "Output is already open");
    const Bytes wrong(format.bufferBytes() - 6);
    EXPECT_EQ(failureOf([&] { output.submit(wrong); }), "Native DSD packing buffer mismatch");
    EXPECT_TRUE(state->writes.empty());
    state->writable = false;
    EXPECT_FALSE(output.wait(5));
    state->writable = true;
    EXPECT_TRUE(output.wait(5));
}

// Missing data on a native device cannot be made good: the fault ends
// playback and stays.
TEST(NativeDsdOutputTest, UnderrunIsStickyAndOtherWriteFailuresNameTheDetail) {
    auto state = deviceTaking({DsdSampleFormat::U32Be});
    AlsaDsdOutput output = outputOver(state);
    const auto format = output.open(u"hw:CARD=DAC,DEV=0", kDsd64Frames);
    const Bytes buffer(format.bufferBytes(), 0x69);
    state->writeAnswer = DsdResult::Failed;
    EXPECT_EQ(failureOf([&] { output.submit(buffer); }),
              "Native DSD write failed: simulated device failure");
    state->writeAnswer = DsdResult::Ok;
    output.submit(buffer);
    output.start();
    state->waitAnswer = DsdResult::Underrun;
    const std::string underrun = "Native DSD underrun or device failure; playback stopped";
    EXPECT_EQ(failureOf([&] { output.wait(10); }), underrun);
    state->waitAnswer = DsdResult::Ok;
    EXPECT_EQ(failureOf([&] { output.wait(10); }), underrun);
    EXPECT_EQ(failureOf([&] { output.submit(buffer); }), underrun);
}

}  // namespace
}  // namespace morrow::dsd
