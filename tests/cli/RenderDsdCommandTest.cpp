#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/RenderDsd.h"
#include "dsd/AurSource.h"
#include "dsd/DsfReader.h"
#include "dsd/DsfWriter.h"
#include "dsd/WaveformDsd.h"
#include "platform/Process.h"
#include "playback/PlaybackSource.h"
#include "record/Crc32.h"
#include "record/RecordWriter.h"
#include "support/RecordImages.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace {

using morrow::dsd::DsdFrame;

std::vector<DsdFrame> framesOf(morrow::dsd::IDsdSource& source) {
    std::vector<DsdFrame> out;
    for (std::uint64_t i = 0; i < source.info().frameCount; ++i) out.push_back(source.readFrame(i));
    return out;
}

std::vector<float> sine(std::uint32_t rate, double seconds, double hz, double amplitude, int channels) {
    std::vector<float> out;
    const auto n = static_cast<std::size_t>(rate * seconds);
    for (std::size_t i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) {
            out.push_back(static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / rate)));
        }
    }
    return out;
}

class RenderDsdCommandTest : public ::testing::Test {
protected:
    int run(std::vector<std::string> args) {
        out_.str("");
        err_.str("");
        args.insert(args.begin(), "render");
        return al::cli::runCommandLine(args, out_, err_);
    }
    std::string p(const std::string& name) { return al::platform::pathToUtf8(dir_ / name); }
    bool partialLeft() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            if (entry.path().extension() == ".partial") return true;
        }
        return false;
    }

    al::test::TempDir dir_;
    std::ostringstream out_, err_;
};

TEST_F(RenderDsdCommandTest, RecordIsWrittenAsTheRecordSourceMakesIt) {
    al::test::sineRecord(2, 5000).save(dir_ / "r.aur");
    ASSERT_EQ(run({p("r.aur"), "-o", p("r.dsf"), "--dsd", "128"}), 0) << err_.str();
    EXPECT_NE(out_.str().find("wrote "), std::string::npos);
    EXPECT_NE(out_.str().find("2 channels, 5644800 Hz (DSD128)"), std::string::npos) << out_.str();
    morrow::dsd::DsfReader written(dir_ / "r.dsf");
    morrow::dsd::AurSource direct(dir_ / "r.aur", 128, std::make_shared<morrow::dsd::HiFreqControl>(false), 0);
    EXPECT_EQ(written.info().sampleCount, direct.info().sampleCount);
    EXPECT_EQ(written.info().rate, 5'644'800u);
    EXPECT_EQ(written.bitsPerSample(), 1u);  // the common least-significant-first layout
    EXPECT_EQ(framesOf(written), framesOf(direct));

    // auralith info describes it like any DSF.
    std::ostringstream info, ignored;
    ASSERT_EQ(al::cli::runCommandLine({"info", p("r.dsf")}, info, ignored), 0);
    EXPECT_NE(info.str().find("DSD rate: 5644800 Hz (DSD128)"), std::string::npos) << info.str();
    EXPECT_FALSE(partialLeft());
}

TEST_F(RenderDsdCommandTest, MonoWaveBecomesAMonoDsfWithTheCutoff) {
    al::test::writeFloatWave(dir_ / "m.wav", 1, 44'100, sine(44'100, 0.2, 440.0, 0.4, 1));
    ASSERT_EQ(run({p("m.wav"), "-o", p("m.dsf"), "--dsd", "64", "--cutoff"}), 0) << err_.str();
    morrow::dsd::DsfReader written(dir_ / "m.dsf");
    EXPECT_EQ(written.info().channels, 1u);
    al::audio::WaveformDsd direct(al::playback::createPlaybackSource(dir_ / "m.wav"), 64, true);
    EXPECT_EQ(framesOf(written), framesOf(direct));
}

TEST_F(RenderDsdCommandTest, DsfAloneIsCopiedBitForBitAtItsOwnRate) {
    // An odd sample count and the most-significant-first layout.
    std::vector<morrow::dsd::DsdBitStream> channels(2);
    std::uint32_t x = 12345;
    for (int i = 0; i < 70'001; ++i) {
        x = x * 1103515245u + 12345u;
        channels[0].push((x >> 16 & 1u) != 0);
        channels[1].push((x >> 17 & 1u) != 0);
    }
    morrow::dsd::writeDsfFile(dir_ / "in.dsf", channels, {5'644'800, 8});
    ASSERT_EQ(run({p("in.dsf"), "-o", p("out.dsf")}), 0) << err_.str();
    EXPECT_NE(out_.str().find("bits copied"), std::string::npos);
    morrow::dsd::DsfReader in(dir_ / "in.dsf"), out(dir_ / "out.dsf");
    EXPECT_EQ(out.info().rate, 5'644'800u);
    EXPECT_EQ(out.info().sampleCount, 70'001u);
    EXPECT_EQ(framesOf(out), framesOf(in));
}

TEST_F(RenderDsdCommandTest, RefusalsAndFailuresLeaveTheOldFile) {
    al::test::sineRecord(1, 3000).save(dir_ / "r.aur");
    al::test::writeFloatWave(dir_ / "w.wav", 1, 48'000, sine(48'000, 0.05, 440.0, 0.4, 1));
    EXPECT_EQ(run({p("r.aur"), "-o", p("x.dsf"), "--dsd", "96"}), 1);
    EXPECT_NE(err_.str().find("--dsd must be 64, 128, 256, 512, 1024 or 2048"), std::string::npos);
    EXPECT_EQ(run({p("r.aur"), "-o", p("x.wav"), "--dsd", "64"}), 1);
    EXPECT_NE(err_.str().find("name the output *.dsf"), std::string::npos);
    EXPECT_EQ(run({p("w.wav"), "-o", p("x.dsf")}), 1);
    EXPECT_NE(err_.str().find("--dsd 64|128|256|512|1024|2048 is required"), std::string::npos);
    EXPECT_EQ(run({p("r.aur"), "-o", p("x.dsf"), "--dsd", "64", "--rate", "48000"}), 2);

    // A payload fault found by a conveyor thread midway: the error reaches
    // the command, and the existing output is untouched.
    auto image = al::test::sineRecord(1, 9000).image();
    std::size_t at = 39;
    for (int b = 0; b < 6; ++b) at += 28 + al::test::peek<std::uint32_t>(image, at + 8) + 4;
    al::test::poke<std::uint8_t>(image, at + 28 + 1, 1);  // flags of block 6's first segment
    const std::uint32_t size = al::test::peek<std::uint32_t>(image, at + 8);
    al::test::poke(image, at + 28 + size, al::file::crc32(0, std::span(image.data() + at, 28 + size)));
    al::file::writeFileAtomically(dir_ / "bad.aur", image);
    std::ofstream(dir_ / "old.dsf") << "old";
    EXPECT_EQ(run({p("bad.aur"), "-o", p("old.dsf"), "--dsd", "64"}), 1);
    EXPECT_NE(err_.str().find("error: Unsupported segment flags"), std::string::npos) << err_.str();
    std::ifstream old(dir_ / "old.dsf");
    std::string text;
    old >> text;
    EXPECT_EQ(text, "old");
    EXPECT_FALSE(partialLeft());
}

TEST_F(RenderDsdCommandTest, CancellationRemovesThePartialFile) {
    al::test::sineRecord(2, 48'000).save(dir_ / "r.aur");
    al::cli::DsdRenderOptions options;
    options.input = dir_ / "r.aur";
    options.output = dir_ / "r.dsf";
    options.dsdMultiple = 64;
    int checks = 0;
    try {
        al::cli::renderToDsf(options, {}, [&] { return ++checks == 3; });
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Interrupted");
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "r.dsf"));
    EXPECT_FALSE(partialLeft());
}

// ffmpeg, an independent DSD decoder, hears the sine that went in: at the
// modulator's gain of one half, a 0.5 sine at 1 kHz comes out at 0.25.
TEST_F(RenderDsdCommandTest, FfmpegDecodesTheSignal) {
    if (std::system("ffmpeg -version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    al::test::writeFloatWave(dir_ / "s.wav", 2, 48'000, sine(48'000, 1.0, 1000.0, 0.5, 2));
    ASSERT_EQ(run({p("s.wav"), "-o", p("s.dsf"), "--dsd", "64"}), 0) << err_.str();
    const std::string command = "ffmpeg -v error -y -i \"" + p("s.dsf") + "\" -ar 44100 -f f32le \"" +
                                p("s.raw") + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<float> left;
    {
        std::ifstream again(dir_ / "s.raw", std::ios::binary);
        float pair[2];
        while (again.read(reinterpret_cast<char*>(pair), sizeof pair)) left.push_back(pair[0]);
    }
    ASSERT_GT(left.size(), 40'000u);
    // Skip the decoder's start-up; measure 0.5 s.
    double peak = 0.0, squares = 0.0;
    int rising = 0;
    for (std::size_t i = 4410; i < 4410 + 22'050; ++i) {
        peak = std::max(peak, static_cast<double>(std::fabs(left[i])));
        squares += static_cast<double>(left[i]) * left[i];
        if (left[i - 1] < 0.0f && left[i] >= 0.0f) ++rising;
    }
    EXPECT_NEAR(rising, 500, 2);
    EXPECT_NEAR(std::sqrt(squares / 22'050), 0.25 / std::sqrt(2.0), 0.02);
    EXPECT_NEAR(peak, 0.25, 0.03);
}

}  // namespace
