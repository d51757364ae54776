// auralith play --dsd without a terminal: a DSF played from its own bits to
// the end through a paced test output, what it says, and its refusals.

#include <gtest/gtest.h>

#include <sstream>

#include "EngineFakes.h"
#include "cli/PlayDsd.h"
#include "dsd/DsfWriter.h"
#include "output/VirtualEndpointScope.h"
#include "support/TempDir.h"

namespace al::cli {
namespace {

struct Played {
    int status = 0;
    std::string out;
    std::string err;
};

constexpr std::uint64_t kBytesPerChannel = 176'400;  // 0.5 s of DSD64

std::uint8_t channelByte(int channel, std::uint64_t k) {
    return static_cast<std::uint8_t>(channel == 0 ? k * 37 + 11 : k * 91 + 5);
}

class PlayDsdCommandTest : public ::testing::Test {
protected:
    PlayDsdCommandTest() {
        std::vector<morrow::dsd::DsdBitStream> channels(2);
        for (int c = 0; c < 2; ++c) {
            for (std::uint64_t k = 0; k < kBytesPerChannel; ++k) {
                channels[c].pushByte(channelByte(c, k));
            }
        }
        morrow::dsd::writeDsfFile(dir_ / "half.dsf", channels, {});
        output_->format.framesPerBuffer = 4096;
        output_->period = std::chrono::milliseconds(1);
    }

    Played play(PlayDsdOptions options) {
        if (!options.file) {
            options.file = dir_ / "half.dsf";
        }
        std::ostringstream out;
        std::ostringstream err;
        Played played;
        played.status = playDsdWithOptions(options, out, err);
        played.out = out.str();
        played.err = err.str();
        return played;
    }

    PlayDsdOptions native() {
        PlayDsdOptions options;
        options.dsfNative = true;
        options.outputFactory = [out = output_] { return std::make_unique<test::FakeOutput>(out); };
        return options;
    }

    static Played run(const std::vector<std::string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        Played played;
        played.status = runPlayDsd(args, out, err);
        played.out = out.str();
        played.err = err.str();
        return played;
    }

    test::TempDir dir_;
    std::shared_ptr<test::FakeOutputState> output_ = std::make_shared<test::FakeOutputState>();
};

TEST_F(PlayDsdCommandTest, ADsfPlaysItsOwnBitsToTheEnd) {
    const Played played = play(native());
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.err, "");
    EXPECT_EQ(played.out,
              "Preparing the complete DSD track in RAM. Play or Stop cancels preparation.\n"
              "Whole track prepared in RAM: 0.3 MiB.\n"
              "DSD64 (~2.8224 MHz, 1-bit) on 24-bit in 24 bits.\n"
              "Playback complete.\n");
    const std::vector<std::uint32_t> words = test::wordsOf(output_->bytes(), 3);
    ASSERT_GE(words.size(), kBytesPerChannel / 2);
    for (std::uint64_t i = 0; i < kBytesPerChannel / 2; ++i) {
        const std::uint32_t lo = std::uint32_t{channelByte(0, 2 * i)} << 8 | channelByte(0, 2 * i + 1);
        const std::uint32_t hi = std::uint32_t{channelByte(1, 2 * i)} << 8 | channelByte(1, 2 * i + 1);
        ASSERT_EQ(words[i], lo | hi << 16) << i;
    }
    for (std::size_t i = kBytesPerChannel / 2; i < words.size(); ++i) {
        ASSERT_EQ(words[i], 0x69696969u) << i;
    }
}

TEST_F(PlayDsdCommandTest, TheCutoffIsDroppedWithANoteForADsfKeptAsItsOwnBits) {
    PlayDsdOptions options = native();
    options.cutoff = true;
    const Played played = play(options);
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.out.rfind("The 18 kHz waveform cutoff applies to remodulation only; the DSF plays its own "
                               "bits.\nPreparing the complete DSD track in RAM.",
                               0),
              0u)
        << played.out;
}

TEST_F(PlayDsdCommandTest, EngineFailuresAreErrors) {
    output_->format.frameRate = 44'100;
    const Played played = play(native());
    EXPECT_EQ(played.status, 1);
    EXPECT_EQ(played.err, "error: Output rate mismatch\n");

    const Played missing = play([&] {
        PlayDsdOptions options = native();
        options.file = dir_ / "missing.dsf";
        return options;
    }());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("error: "), std::string::npos);
}

TEST_F(PlayDsdCommandTest, WithoutASoundCardTheVirtualDsdSinkIsChosen) {
    audio::test::VirtualEndpointScope scope;
    PlayDsdOptions options;
    options.dsfNative = true;
    const Played played = play(options);
    EXPECT_EQ(played.out.rfind("No sound card found: playing on the virtual DSD sink in real time.\n", 0), 0u)
        << played.out;
}

TEST_F(PlayDsdCommandTest, ArgumentsNeedOneKnownMultipleAndAtMostOneOutput) {
    EXPECT_EQ(run({"x.dsf", "--dsd", "96"}).err, "error: --dsd must be 64, 128, 256, 512, 1024 or 2048\n");
    EXPECT_EQ(run({"x.dsf", "--dsd", "96"}).status, 1);
    EXPECT_EQ(run({"x.dsf", "--dsd"}).status, 2);
    EXPECT_EQ(run({"x.dsf", "--dsd", "64", "--asio", "{X}", "--alsa-dsd"}).status, 2);
    EXPECT_EQ(run({"x.dsf", "--dsd", "64", "--asio", "{X}", "--device", "d"}).status, 2);
    EXPECT_EQ(run({"x.dsf", "--dsd", "64", "--bogus"}).status, 2);
}

TEST(DsdDisplayText, RateLabelAndProgressBar) {
    EXPECT_EQ(dsdRateLabel(2'822'400), "DSD64 (~2.8224 MHz, 1-bit)");
    EXPECT_EQ(dsdRateLabel(90'316'800), "DSD2048 (~90.3168 MHz, 1-bit)");
    EXPECT_EQ(progressBar(0.0), "[------------------------------]   0.0%");
    EXPECT_EQ(progressBar(0.5), "[###############---------------]  50.0%");
    EXPECT_EQ(progressBar(2.0), "[##############################] 100.0%");
    EXPECT_EQ(progressBar(std::nan("")), "[------------------------------]   0.0%");
}

}  // namespace
}  // namespace al::cli
