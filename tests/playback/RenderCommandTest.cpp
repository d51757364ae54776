// auralith render: exact bytes of a small render, the same output whatever the
// block size, the WAVE layouts, and files left alone on failure.
#include "cli/Render.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "cli/Commands.h"
#include "decoders/WavReader.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::cli {
namespace {

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct CommandRun {
    int status;
    std::string out, err;
};

CommandRun run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = runCommandLine(args, out, err);
    return {status, out.str(), err.str()};
}

std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return {text.begin(), text.end()};
}

std::vector<float> noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> level(-0.8F, 0.8F);
    std::vector<float> out(count);
    for (auto& v : out) {
        v = level(random);
    }
    return out;
}

TEST(RenderCommand, SmallRenderHasExactBytes) {
    test::TempDir dir;
    test::writeFloatWave(dir / "in.wav", 1, 8000, {0.0F, 0.3F, -0.3F, 0.6F, -0.7F, 0.1F});
    const CommandRun result = run({"render", utf8(dir / "in.wav"), "-o", utf8(dir / "out.wav"), "--format", "pcm16"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "wrote " + utf8(dir / "out.wav") + ": 6 frames, 1 channels, 8000 Hz\n");
    EXPECT_EQ(result.err, "");
    const std::vector<std::uint8_t> expected = {
        'R', 'I', 'F', 'F', 48, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
        1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 12, 0, 0, 0,
        0x00, 0x00,  // 0
        0x66, 0x26,  // 0.3 x 32767 = 9830.1 -> 9830
        0x9A, 0xD9,  // -9830
        0xCC, 0x4C,  // 19660
        0x67, 0xA6,  // -0.7 -> -22936.9 -> -22937
        0xCD, 0x0C,  // 3276.7 -> 3277
    };
    EXPECT_EQ(readBytes(dir / "out.wav"), expected);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav.partial"));
}

TEST(RenderCommand, OutputDoesNotDependOnTheBlockSize) {
    test::TempDir dir;
    test::writeFloatWave(dir / "in.wav", 2, 44100, noise(2 * 5000, 11));
    std::vector<std::uint8_t> first;
    for (std::uint64_t block : {4096u, 1u, 333u, 1024u}) {
        RenderOptions options;
        options.input = dir / "in.wav";
        options.output = dir / "out.wav";
        options.rate = 96000;
        options.blockFrames = block;
        const RenderResult result = renderToWave(options);
        EXPECT_EQ(result.frames, 10885u);  // frames k with k / 96000 < 5000 / 44100
        const auto bytes = readBytes(dir / "out.wav");
        if (first.empty()) {
            first = bytes;
        } else {
            EXPECT_EQ(bytes, first) << "block " << block;
        }
    }
}

TEST(RenderCommand, AtTheSourceRateFloatRendersGiveBackTheSamples) {
    test::TempDir dir;
    const std::vector<float> samples = noise(2 * 3000, 12);
    test::writeFloatWave(dir / "in.wav", 2, 48000, samples);
    RenderOptions options;
    options.input = dir / "in.wav";
    options.output = dir / "out.wav";
    options.startSeconds = 0.02;  // frame 960
    options.seconds = 0.01;       // 480 frames
    renderToWave(options);
    const file::WavReader reader(dir / "out.wav");
    ASSERT_EQ(reader.frameCount(), 480u);
    const std::vector<double> frames = reader.ReadFrames(0, 480);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(static_cast<float>(frames[i]), samples[2 * 960 + i]) << i;
    }
    const auto bytes = readBytes(dir / "out.wav");
    EXPECT_EQ(bytes[20], 3);  // IEEE float
    EXPECT_EQ(std::string(bytes.begin() + 38, bytes.begin() + 42), "fact");
}

TEST(RenderCommand, WaveLayoutsOfTheIntegerKinds) {
    // 24 valid bits in 32: the extensible structure with the PCM sub-format.
    const auto extensible = waveHeader(audio::SampleKind::Pcm24In32, 2, 96000, 10);
    ASSERT_EQ(extensible.size(), 12u + 8 + 40 + 8);
    EXPECT_EQ(extensible[16], 40);
    EXPECT_EQ(extensible[20], 0xFE);
    EXPECT_EQ(extensible[21], 0xFF);
    EXPECT_EQ(extensible[34], 32);  // container
    EXPECT_EQ(extensible[38], 24);  // valid bits
    EXPECT_EQ(extensible[44], 1);   // sub-format PCM
    EXPECT_EQ(extensible[64], 80);  // data bytes
    // Packed 24-bit mono with an odd byte count ends in a pad byte the RIFF size counts.
    const auto packed = waveHeader(audio::SampleKind::Pcm24Packed, 1, 44100, 3);
    ASSERT_EQ(packed.size(), 44u);
    EXPECT_EQ(packed[4], 36 + 9 + 1);
    EXPECT_EQ(packed[34], 24);
    EXPECT_EQ(packed[40], 9);
    EXPECT_EQ(parseRenderFormat("pcm24in32"), audio::SampleKind::Pcm24In32);
    EXPECT_EQ(parseRenderFormat("pcm8"), std::nullopt);
}

TEST(RenderCommand, FailuresLeaveTheExistingFileAlone) {
    test::TempDir dir;
    test::writeFloatWave(dir / "in.wav", 1, 8000, {0.1F, 0.2F});
    std::ofstream(dir / "out.wav") << "keep";
    const std::string in = utf8(dir / "in.wav");
    const std::string out = utf8(dir / "out.wav");

    CommandRun result = run({"render", in, "-o", out, "--rate", "0"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: Playback sample rate is invalid\n");
    result = run({"render", in, "-o", out, "--format", "pcm8"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: unknown --format \"pcm8\" (float32, pcm32, pcm24in32, pcm24, pcm16)\n");
    result = run({"render", utf8(dir / "missing.wav"), "-o", out});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("error: ", 0), 0u);
    result = run({"render", in, "-o", out, "--seconds", "-1"});
    EXPECT_EQ(result.err, "error: --seconds must be a number of seconds, 0 or more\n");
    result = run({"render", in, "-o", utf8(dir / "no such folder" / "out.wav")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readBytes(dir / "out.wav"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(run({"render", in}).status, 2);

    // A successful render replaces it.
    result = run({"render", in, "-o", out, "--format", "pcm16"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readBytes(dir / "out.wav").size(), 44u + 4);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav.partial"));
}

}  // namespace
}  // namespace al::cli
