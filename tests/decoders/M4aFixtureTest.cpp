// Real M4A files through the platform decoder. Fixtures are encoded at test
// time by the ffmpeg tool from WAVE files written here, so ALAC output can be
// compared with the exact samples that went in.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "decoders/MediaFoundationAudioReader.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using al::file::MediaFoundationAudioReader;

// How to run ffmpeg: from PATH, or, for a Windows build under Wine, the
// host's /usr/bin/ffmpeg. Wine starts host programs (`start /unix`) without
// waiting for them, so that route runs a small shell script that renames the
// finished output into place and then leaves a status file to wait for.
class FfmpegTool {
public:
    static std::optional<FfmpegTool> find() {
        const al::test::TempDir probe;
        const FfmpegTool onPath(false);
        if (onPath.run("-f lavfi -i anullsrc=r=8000 -t 0.01", probe / "probe.wav")) {
            return onPath;
        }
        std::error_code ignored;
        if (fs::exists("Z:/usr/bin/ffmpeg", ignored) && fs::exists("Z:/bin/sh", ignored)) {
            return FfmpegTool(true);
        }
        return std::nullopt;
    }

    // A path as ffmpeg must see it, quoted.
    std::string quoted(const fs::path& path) const { return '"' + hostPath(path) + '"'; }

    // Runs ffmpeg with the arguments; true when it wrote `output`.
    bool run(const std::string& arguments, const fs::path& output) const {
        std::error_code ignored;
        fs::remove(output, ignored);
        const fs::path dir = output.parent_path();
        const std::string command = "-nostdin -hide_banner -loglevel error -y " + arguments + " ";
        if (!wineHost_) {
            const std::string line = "ffmpeg " + command + quoted(output) + " > \"" +
                                     (dir / "ffmpeg.log").string() + "\" 2>&1";
            static_cast<void>(std::system(line.c_str()));
        } else {
            const fs::path partial = dir / ("partial-" + output.filename().string());
            const fs::path status = dir / "status";
            fs::remove(status, ignored);
            std::ofstream(dir / "encode.sh", std::ios::binary)
                << "/usr/bin/ffmpeg " << command << quoted(partial) << " > " << quoted(dir / "ffmpeg.log")
                << " 2>&1 && mv " << quoted(partial) << ' ' << quoted(output) << "\ntouch " << quoted(status)
                << '\n';
            // `start /unix` hands quotes on literally, so the script path goes bare.
            const std::string script = hostPath(dir / "encode.sh");
            if (script.find(' ') != std::string::npos) {
                return false;
            }
            static_cast<void>(std::system(("start /unix /bin/sh " + script).c_str()));
            for (int waited = 0; waited < 6000 && !fs::exists(status, ignored); ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return fs::exists(output, ignored) && fs::file_size(output, ignored) > 0;
    }

private:
    explicit FfmpegTool(bool wineHost) : wineHost_(wineHost) {}

    // Under Wine, drive Z: is the host's root and every drive is linked from
    // the prefix's dosdevices folder.
    std::string hostPath(const fs::path& path) const {
        if (!wineHost_) {
            return path.string();
        }
        std::string text = path.generic_string();
        const char* prefix = std::getenv("WINEPREFIX");
        if (text.size() > 2 && text[1] == ':') {
            const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
            text = drive == 'z' || prefix == nullptr ? text.substr(2)
                                                     : std::string(prefix) + "/dosdevices/" + drive + ":" + text.substr(2);
        }
        return text;
    }

    bool wineHost_;
};

const std::optional<FfmpegTool>& ffmpegTool() {
    static const std::optional<FfmpegTool> tool = FfmpegTool::find();
    return tool;
}

// A deterministic test signal covering both extremes of the sample range.
std::vector<std::int32_t> testSignal(std::size_t frames, std::uint16_t channels, int bits) {
    const std::int64_t top = (std::int64_t{1} << (bits - 1)) - 1;
    std::vector<std::int32_t> samples(frames * channels);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double tone = 0.6 * std::sin(static_cast<double>(i / channels) * 0.05 * (1 + i % channels));
        const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.2;
        samples[i] = static_cast<std::int32_t>(std::lround((tone + noise) * static_cast<double>(top)));
    }
    samples[channels] = static_cast<std::int32_t>(-top - 1);
    samples[channels * 2 + channels - 1] = static_cast<std::int32_t>(top);
    return samples;
}

void writeWave(const fs::path& path, const std::vector<std::int32_t>& samples, std::uint16_t channels,
               std::uint32_t rate, int bits) {
    const std::uint32_t width = static_cast<std::uint32_t>(bits / 8);
    const std::uint32_t dataSize = static_cast<std::uint32_t>(samples.size()) * width;
    std::string bytes;
    const auto put = [&bytes](std::uint64_t value, std::uint32_t count) {
        for (std::uint32_t b = 0; b < count; ++b) {
            bytes.push_back(static_cast<char>((value >> (8 * b)) & 0xFF));
        }
    };
    bytes += "RIFF";
    put(36 + dataSize, 4);
    bytes += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * width, 4);
    put(channels * width, 2);
    put(static_cast<std::uint32_t>(bits), 2);
    bytes += "data";
    put(dataSize, 4);
    for (const std::int32_t s : samples) {
        put(static_cast<std::uint32_t>(s), width);
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

constexpr const char* kNoFfmpeg = "no ffmpeg tool found (on PATH, or /usr/bin/ffmpeg through Wine)";

// Encodes the samples (written as a WAVE file first) into dir / name.
bool encode(const FfmpegTool& tool, const fs::path& dir, const char* name, const std::vector<std::int32_t>& samples,
            std::uint16_t channels, std::uint32_t rate, int bits, const std::string& codec) {
    writeWave(dir / "in.wav", samples, channels, rate, bits);
    return tool.run("-i " + tool.quoted(dir / "in.wav") + " -c:a " + codec, dir / name);
}

struct AlacCase {
    std::uint16_t channels;
    int bits;
};

class M4aAlacFile : public testing::TestWithParam<AlacCase> {};

TEST_P(M4aAlacFile, DecodesToExactlyTheEncodedSamples) {
    const auto [channels, bits] = GetParam();
    const al::test::TempDir dir;
    const std::size_t frames = 10000;  // not a whole number of ALAC packets
    const auto samples = testSignal(frames, channels, bits);
    const auto& tool = ffmpegTool();
    if (!tool) {
        GTEST_SKIP() << kNoFfmpeg;
    }
    ASSERT_TRUE(encode(*tool, dir.path(), "alac.m4a", samples, channels, 44100, bits, "alac"));
    if (!al::platform::m4aDecoderAvailable()) {
        EXPECT_THROW(MediaFoundationAudioReader(dir / "alac.m4a"), std::runtime_error);
        return;
    }
    const MediaFoundationAudioReader reader(dir / "alac.m4a");
    // Decoders that do not name the codec leave the plain name.
    EXPECT_TRUE(reader.formatLabel() == "M4A / ALAC" || reader.formatLabel() == "M4A") << reader.formatLabel();
    EXPECT_EQ(reader.channelCount(), channels);
    EXPECT_EQ(reader.sampleRate(), 44100u);
    // Integer output reports the encoded depth; float output reports 32.
    EXPECT_TRUE(reader.bitDepth() == bits || reader.bitDepth() == 32) << reader.bitDepth();
    ASSERT_EQ(reader.frameCount(), frames);
    const std::vector<double> decoded = reader.ReadFrames(0, frames);
    const double scale = std::ldexp(1.0, 1 - bits);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        mismatches += decoded[i] == samples[i] * scale ? 0 : 1;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(reader.ReadFrames(frames - 1, 1), std::vector<double>(decoded.end() - channels, decoded.end()));
}

INSTANTIATE_TEST_SUITE_P(MonoStereo16And24, M4aAlacFile,
                         testing::Values(AlacCase{1, 16}, AlacCase{2, 16}, AlacCase{1, 24}, AlacCase{2, 24}),
                         [](const testing::TestParamInfo<AlacCase>& param) {
                             return std::to_string(param.param.channels) + "ch" + std::to_string(param.param.bits);
                         });

class M4aAacFile : public testing::TestWithParam<std::uint16_t> {};

TEST_P(M4aAacFile, DecodesAsFloatCloseToTheTone) {
    const std::uint16_t channels = GetParam();
    const al::test::TempDir dir;
    const std::size_t frames = 48000;
    std::vector<std::int32_t> tone(frames * channels);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        const double t = static_cast<double>(i / channels) / 48000.0;
        tone[i] = static_cast<std::int32_t>(std::lround(16384.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * t)));
    }
    const auto& tool = ffmpegTool();
    if (!tool) {
        GTEST_SKIP() << kNoFfmpeg;
    }
    ASSERT_TRUE(encode(*tool, dir.path(), "aac.m4a", tone, channels, 48000, 16, "aac -b:a 160k"));
    if (!al::platform::m4aDecoderAvailable()) {
        EXPECT_THROW(MediaFoundationAudioReader(dir / "aac.m4a"), std::runtime_error);
        return;
    }
    const MediaFoundationAudioReader reader(dir / "aac.m4a");
    EXPECT_TRUE(reader.formatLabel() == "M4A / AAC" || reader.formatLabel() == "M4A") << reader.formatLabel();
    EXPECT_EQ(reader.bitDepth(), 32);
    EXPECT_EQ(reader.channelCount(), channels);
    EXPECT_EQ(reader.sampleRate(), 48000u);
    // Encoder delay and padding may or may not be trimmed, but stay below a few packets.
    EXPECT_GE(reader.frameCount(), frames - 1024);
    EXPECT_LE(reader.frameCount(), frames + 4096);
    EXPECT_NEAR(reader.durationSeconds(), static_cast<double>(reader.frameCount()) / 48000.0, 1e-12);
    // A lossy codec keeps the tone's level: RMS of a 0.5 sine is 0.3536.
    const auto middle = reader.ReadFrames(frames / 4, frames / 2);
    for (std::uint16_t c = 0; c < channels; ++c) {
        double energy = 0.0;
        for (std::size_t i = c; i < middle.size(); i += channels) {
            energy += middle[i] * middle[i];
        }
        EXPECT_NEAR(std::sqrt(energy / (frames / 2)), 0.5 / std::sqrt(2.0), 0.01) << "channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(MonoStereo, M4aAacFile, testing::Values(1, 2));

TEST(M4aFiles, UnreadableFilesFailWithTheirStep) {
    const al::test::TempDir dir;
    std::ofstream(dir / "text.m4a") << "This is not an MPEG-4 file, only text that claims the extension.\n";
    for (const char* name : {"absent.m4a", "text.m4a"}) {
        try {
            MediaFoundationAudioReader reader(dir / name);
            ADD_FAILURE() << name << " opened";
        } catch (const std::runtime_error& error) {
            const std::string text = error.what();
            if (!al::platform::m4aDecoderAvailable()) {
                EXPECT_EQ(text.rfind("M4A support is unavailable", 0), 0u) << text;
            } else if (std::string(name) == "absent.m4a") {
                EXPECT_EQ(text, "Opening M4A source failed (HRESULT 0x80070002)");
            } else {
                EXPECT_NE(text.find(" failed (HRESULT 0x"), std::string::npos) << text;
            }
        }
    }
}

}  // namespace
