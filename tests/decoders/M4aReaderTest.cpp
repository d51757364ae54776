// The M4A reader's steps, checks and conversions over a scripted decoder that
// hands it synthetic buffers, so every message is reached on every platform.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoders/MediaFoundationAudioReader.h"

namespace {

using al::file::MediaFoundationAudioReader;
using namespace al::platform;

struct Delivery {
    DecodedRead read;
    std::vector<std::byte> bytes;
};

// What the scripted decoder does, and what the test sees of it afterwards.
struct Script {
    std::map<std::string, HResult> failures;  // "step" or "step#2" (second call)
    bool refuseFloat = false;
    M4aCodec codec = M4aCodec::Aac;
    DecodedSampleType current = DecodedSampleType::Float;
    DecodedAudioFormat format{48000, 2, 32, 0, 8};
    std::vector<Delivery> reads;  // an exhausted script reports end of stream
    int locked = 0;
    bool destroyed = false;
};

class ScriptedDecoder final : public M4aDecoder {
public:
    explicit ScriptedDecoder(Script& script) : s_(script) {}
    ~ScriptedDecoder() override { s_.destroyed = true; }

    HResult startup() noexcept override { return step("startup"); }
    HResult openSource(const std::filesystem::path&) noexcept override { return step("openSource"); }
    HResult deselectAllStreams() noexcept override { return step("deselectAllStreams"); }
    HResult selectFirstAudioStream() noexcept override { return step("selectFirstAudioStream"); }
    M4aCodec nativeCodec() noexcept override { return s_.codec; }
    HResult createOutputType() noexcept override { return step("createOutputType"); }
    HResult setOutputMajorTypeAudio() noexcept override { return step("setOutputMajorTypeAudio"); }
    HResult setOutputSampleType(DecodedSampleType type) noexcept override {
        requested_ = type;
        return step("setOutputSampleType");
    }
    HResult applyOutputType() noexcept override {
        const HResult code = step("applyOutputType");
        return s_.refuseFloat && requested_ == DecodedSampleType::Float ? 0xC00D36B4u : code;
    }
    HResult readCurrentType() noexcept override { return step("readCurrentType"); }
    HResult readCurrentSampleType(DecodedSampleType& type) noexcept override {
        type = s_.current;
        return step("readCurrentSampleType");
    }
    DecodedAudioFormat currentFormat() noexcept override { return s_.format; }
    HResult readNext(DecodedRead& read) noexcept override {
        read = DecodedRead{};
        read.endOfStream = next_ >= s_.reads.size();
        if (!read.endOfStream) {
            read = s_.reads[next_++].read;
        }
        return step("readNext");
    }
    HResult collectBuffer() noexcept override { return step("collectBuffer"); }
    HResult lockBuffer(std::span<const std::byte>& bytes) noexcept override {
        bytes = s_.reads[next_ - 1].bytes;
        const HResult code = step("lockBuffer");
        s_.locked += hrFailed(code) ? 0 : 1;
        return code;
    }
    HResult unlockBuffer() noexcept override {
        --s_.locked;
        return step("unlockBuffer");
    }

private:
    HResult step(const std::string& name) {
        const int call = ++calls_[name];
        const auto found = s_.failures.find(call == 1 ? name : name + "#" + std::to_string(call));
        return found == s_.failures.end() ? kHrOk : found->second;
    }

    Script& s_;
    std::map<std::string, int> calls_;
    std::size_t next_ = 0;
    DecodedSampleType requested_ = DecodedSampleType::Other;
};

template <typename T>
void appendLittleEndian(std::vector<std::byte>& out, T value, int bytes) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (int b = 0; b < bytes; ++b) {
        out.push_back(static_cast<std::byte>((bits >> (8 * b)) & 0xFF));
    }
}

Delivery floats(const std::vector<float>& values) {
    Delivery d;
    d.read.hasSample = true;
    for (const float v : values) {
        appendLittleEndian(d.bytes, std::bit_cast<std::uint32_t>(v), 4);
    }
    return d;
}

Delivery integers(const std::vector<std::int64_t>& values, int bytesPerSample) {
    Delivery d;
    d.read.hasSample = true;
    for (const auto v : values) {
        appendLittleEndian(d.bytes, v, bytesPerSample);
    }
    return d;
}

Script pcmScript(std::uint32_t channels, std::uint32_t bits, std::uint32_t valid, std::uint32_t align) {
    Script s;
    s.refuseFloat = true;
    s.current = DecodedSampleType::Pcm;
    s.format = DecodedAudioFormat{44100, channels, bits, valid, align};
    return s;
}

std::unique_ptr<MediaFoundationAudioReader> open(Script& script) {
    return std::make_unique<MediaFoundationAudioReader>("song.m4a", std::make_unique<ScriptedDecoder>(script));
}

std::string failureOf(Script& script) {
    try {
        open(script);
    } catch (const std::exception& error) {
        EXPECT_TRUE(script.destroyed) << "decoder session outlived a failed open";
        EXPECT_EQ(script.locked, 0) << "buffer left locked";
        return error.what();
    }
    return "(opened)";
}

TEST(M4aReader, FloatOutputIsWidenedExactlyAndServedByRange) {
    Script s;
    s.reads = {floats({0.5f, -0.25f, 1.0f, -1.0f}), {}, floats({0x1p-24f, -0x1p-149f})};
    s.reads[1].read = DecodedRead{};  // a read without a sample: read again
    const auto reader = open(s);
    EXPECT_TRUE(s.destroyed);
    EXPECT_EQ(reader->formatLabel(), "M4A / AAC");
    EXPECT_EQ(reader->bitDepth(), 32);
    EXPECT_EQ(reader->channelCount(), 2);
    EXPECT_EQ(reader->sampleRate(), 48000u);
    EXPECT_EQ(reader->frameCount(), 3u);
    EXPECT_DOUBLE_EQ(reader->durationSeconds(), 3.0 / 48000.0);
    EXPECT_EQ(reader->ReadFrames(1, 2), (std::vector<double>{1.0, -1.0, 0x1p-24, -0x1p-149}));
    EXPECT_TRUE(reader->ReadFrames(99, 0).empty());
    EXPECT_THROW(reader->ReadFrames(3, 1), std::out_of_range);
    try {
        reader->ReadFrames(2, 2);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "M4A frame request extends beyond the source");
    }
    try {
        reader->ReadFrames(3, 1);
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "M4A frame request starts beyond the source");
    }
}

TEST(M4aReader, LongTracksReadAcrossStorageBlocks) {
    // Buffers of odd sizes so that they straddle the store's block edges.
    const std::size_t block = MediaFoundationAudioReader::SampleBlocks::kBlockSamples;
    Script s;
    std::size_t total = 0;
    for (const std::size_t size : {block - 6, std::size_t{10}, block + 2, std::size_t{40}}) {
        std::vector<float> values(size);
        for (float& v : values) {
            v = static_cast<float>(total++) * 0x1p-21f;
        }
        s.reads.push_back(floats(values));
    }
    const auto reader = open(s);
    ASSERT_EQ(reader->frameCount(), total / 2);
    for (const std::uint64_t first : {std::uint64_t{0}, block / 2 - 4, block - 3, total / 2 - 5}) {
        const auto frames = reader->ReadFrames(first, 5);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(frames[i], static_cast<double>(first * 2 + i) * 0x1p-21) << first << " + " << i;
        }
    }
    EXPECT_EQ(reader->ReadFrames(0, total / 2).size(), total);
}

TEST(M4aReader, CodecNamesTheFormat) {
    for (const auto& [codec, name] : {std::pair{M4aCodec::Alac, "M4A / ALAC"}, std::pair{M4aCodec::Unknown, "M4A"}}) {
        Script s;
        s.codec = codec;
        s.reads = {floats({0.0f, 0.0f})};
        EXPECT_EQ(open(s)->formatLabel(), name);
    }
}

TEST(M4aReader, EveryPlatformStepNamesItsFailure) {
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"startup", "Media Foundation startup"},
        {"openSource", "Opening M4A source"},
        {"deselectAllStreams", "Deselecting non-audio streams"},
        {"selectFirstAudioStream", "Selecting M4A audio stream"},
        {"createOutputType", "Creating decoded M4A media type"},
        {"setOutputMajorTypeAudio", "Selecting audio media type"},
        {"setOutputSampleType", "Selecting floating-point decoder output"},
        {"createOutputType#2", "Creating decoded PCM media type"},
        {"setOutputMajorTypeAudio#2", "Selecting audio media type"},
        {"setOutputSampleType#2", "Selecting decoded PCM output"},
        {"applyOutputType#2", "Configuring M4A decoder"},
        {"readCurrentType", "Reading decoded M4A audio format"},
        {"readCurrentSampleType", "Reading decoded M4A sample type"},
        {"readNext", "Decoding M4A audio"},
        {"collectBuffer", "Collecting decoded M4A audio"},
        {"lockBuffer", "Accessing decoded M4A audio"},
        {"unlockBuffer", "Releasing decoded M4A audio"},
    };
    for (const auto& [step, phrase] : steps) {
        Script s = pcmScript(1, 16, 0, 2);
        s.reads = {integers({1}, 2)};
        s.failures[step] = 0x8007000Eu;
        EXPECT_EQ(failureOf(s), phrase + " failed (HRESULT 0x8007000E)") << step;
    }
    Script s = pcmScript(1, 16, 0, 2);
    s.failures["openSource"] = 0xC00D36C4u;
    EXPECT_EQ(failureOf(s), "Opening M4A source failed (HRESULT 0xC00D36C4)");
}

TEST(M4aReader, FormatChecksInOrder) {
    const auto failure = [](DecodedSampleType type, DecodedAudioFormat format) {
        Script s;
        s.current = type;
        s.format = format;
        s.reads = {floats({0.0f})};
        return failureOf(s);
    };
    using T = DecodedSampleType;
    EXPECT_EQ(failure(T::Other, {0, 0, 0, 0, 0}),
              "Media Foundation returned an unsupported uncompressed M4A sample type");
    EXPECT_EQ(failure(T::Float, {0, 0, 32, 0, 0}), "M4A decoder returned no sample rate");
    EXPECT_EQ(failure(T::Float, {44100, 0, 32, 0, 4}), "M4A source must contain between 1 and 8 channels");
    EXPECT_EQ(failure(T::Float, {44100, 9, 32, 0, 36}), "M4A source must contain between 1 and 8 channels");
    EXPECT_EQ(failure(T::Float, {44100, 2, 32, 0, 0}), "M4A decoder returned invalid PCM alignment");
    EXPECT_EQ(failure(T::Float, {44100, 2, 32, 0, 7}), "M4A decoder returned invalid PCM alignment");
}

TEST(M4aReader, DecodingLoopRules) {
    Script changed;
    changed.reads = {floats({0.0f, 0.0f}), floats({0.0f, 0.0f})};
    changed.reads[1].read.formatChanged = true;
    EXPECT_EQ(failureOf(changed), "M4A decoder changed format during playback preparation");

    // A sample delivered together with end of stream is dropped.
    Script last;
    last.reads = {floats({0.25f, 0.5f}), floats({0.75f, 1.0f})};
    last.reads[1].read.endOfStream = true;
    EXPECT_EQ(open(last)->frameCount(), 1u);

    Script empty;
    EXPECT_EQ(failureOf(empty), "M4A source contains no complete decoded audio frames");
    Script onlyEmptyBuffers;
    onlyEmptyBuffers.reads = {floats({}), floats({})};
    EXPECT_EQ(failureOf(onlyEmptyBuffers), "M4A source contains no complete decoded audio frames");
}

TEST(M4aReader, FloatBuffersAreCheckedWhole) {
    const auto failure = [](std::vector<Delivery> reads, std::uint32_t align = 8) {
        Script s;
        s.format.blockAlignment = align;
        s.reads = std::move(reads);
        return failureOf(s);
    };
    EXPECT_EQ(failure({floats({0.0f, 0.0f})}, 4),
              "Media Foundation returned an unsupported floating-point alignment");
    EXPECT_EQ(failure({floats({0.0f, 0.0f, 0.0f})}), "Media Foundation returned a partial floating-point audio frame");
    Delivery ragged = floats({0.0f, 0.0f});
    ragged.bytes.pop_back();
    EXPECT_EQ(failure({ragged}), "Media Foundation returned a partial floating-point audio frame");
    // Infinity or NaN anywhere fails the open, not a later read.
    const float inf = std::numeric_limits<float>::infinity();
    for (const float bad : {inf, -inf, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(failure({floats({0.5f, 0.5f}), floats({0.0f, bad})}),
                  "Media Foundation produced a nonfinite floating-point sample");
    }
}

TEST(M4aReader, PcmFallbackConvertsLikeTheWaveReader) {
    Script s16 = pcmScript(2, 16, 16, 4);
    s16.reads = {integers({-32768, 32767, 0, -1}, 2)};
    const auto r16 = open(s16);
    EXPECT_EQ(r16->bitDepth(), 16);
    EXPECT_EQ(r16->ReadFrames(0, 2), (std::vector<double>{-1.0, 0.999969482421875, 0.0, -0x1p-15}));

    // 24 valid bits in 32-bit slots: divided by 256 toward zero, not shifted.
    Script s24 = pcmScript(1, 32, 24, 4);
    s24.reads = {integers({-257, 255, std::int64_t{-0x80000000LL}, 0x7FFFFFFF}, 4)};
    const auto r24 = open(s24);
    EXPECT_EQ(r24->bitDepth(), 24);
    EXPECT_EQ(r24->ReadFrames(0, 4), (std::vector<double>{-0x1p-23, 0.0, -1.0, 1.0 - 0x1p-23}));

    // Packed 24-bit with no bit attributes: precision is the container width.
    Script packed = pcmScript(1, 0, 0, 3);
    packed.reads = {integers({-0x800000, 0x400000}, 3)};
    const auto rp = open(packed);
    EXPECT_EQ(rp->bitDepth(), 0);
    EXPECT_EQ(rp->ReadFrames(0, 2), (std::vector<double>{-1.0, 0.5}));

    Script s8 = pcmScript(1, 8, 0, 1);
    s8.reads = {integers({0, 128, 255}, 1)};
    EXPECT_EQ(open(s8)->ReadFrames(0, 3), (std::vector<double>{-1.0, 0.0, 0.9921875}));
}

TEST(M4aReader, PcmBuffersAreCheckedInOrder) {
    const auto failure = [](std::uint32_t bits, std::uint32_t valid, std::uint32_t align, Delivery d) {
        Script s = pcmScript(1, bits, valid, align);
        s.reads = {std::move(d)};
        return failureOf(s);
    };
    EXPECT_EQ(failure(16, 0, 2, integers({0}, 3)), "Media Foundation returned a partial PCM frame");
    EXPECT_EQ(failure(40, 0, 5, integers({0}, 5)), "Media Foundation returned an unsupported PCM sample width");
    EXPECT_EQ(failure(32, 0, 2, integers({0}, 2)), "Media Foundation PCM precision exceeds its container");
    EXPECT_EQ(failure(16, 24, 2, integers({0}, 2)), "Media Foundation PCM precision exceeds its container");
    EXPECT_EQ(failure(8, 7, 1, integers({0}, 1)), "Media Foundation returned unsupported 8-bit PCM precision");
    EXPECT_EQ(failure(16, 1, 2, integers({0}, 2)), "Media Foundation returned an unsupported PCM precision");
}

}  // namespace
