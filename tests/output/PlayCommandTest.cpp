// auralith play without a terminal: it opens the chain as the player does
// (remembered format, else the last; a failing format gives way to the next
// one below) and plays to the end.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "OutputFixtures.h"
#include "VirtualEndpointScope.h"
#include "cli/Play.h"
#include "support/TempDir.h"

namespace al::audio {
namespace {

struct Played {
    int status = 0;
    std::string out;
    std::string err;
};

class PlayCommandTest : public ::testing::Test {
  protected:
    PlayCommandTest() { test::makeRecordSource(dir_ / "short.aur", 48000, 2, 4800); }

    Played play(cli::PlayOptions options, const FormatsCache& remembered = FormatsCache()) {
        options.file = dir_ / "short.aur";
        options.files = app::PlayerSettings::Files{dir_ / "AuralithPlayer.ini", dir_ / "state.ini",
                                                   std::nullopt};
        std::ostringstream out;
        std::ostringstream err;
        Played played;
        played.status = cli::playWithOptions(options, remembered, out, err);
        // Adaptive growth depends on how busy the machine is while the track
        // plays in real time; its lines are left out (a test of its own
        // covers them).
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Increasing the endpoint buffer", 0) != 0 &&
                line.rfind("Adaptive buffer increased", 0) != 0) {
                played.out += line + '\n';
            }
        }
        played.err = err.str();
        return played;
    }

    static VirtualOutputConfig formats(std::vector<VirtualFormat> accepted) {
        VirtualOutputConfig config;  // real time
        config.acceptedFormats = std::move(accepted);
        return config;
    }

    al::test::TempDir dir_;
};

const VirtualFormat k44100x16{44100, 2, 16, 16, false, VirtualFormat::Structure::Any};
const VirtualFormat k48000x24in32{48000, 2, 32, 24, false, VirtualFormat::Structure::Any};
const VirtualFormat k96000xFloat{96000, 2, 32, 32, true, VirtualFormat::Structure::Any};

TEST_F(PlayCommandTest, PlaysTheLastFormatToTheEndAndStatesTheContract) {
    test::VirtualEndpointScope scope(formats({k44100x16, k48000x24in32, k96000xFloat}));
    const Played played = play({});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.err, "");
    EXPECT_EQ(played.out,
              "No sound card found: playing on the virtual output in real time.\n"
              "Reinitializing complete playback chain at 96000 Hz / 32-bit Float. Playback head is "
              "unchanged.\n"
              "Playback chain initialized at exact output contract 96000 Hz / 32-bit Float \u2014 "
              "Virtual Output "
              "Exclusive. Playback head preserved.\n"
              "Record ready. 9610 control points; Playback chain initialized at 96000 Hz / 32-bit "
              "Float \u2014 Virtual Output Exclusive.\n"
              "Virtual Output Exclusive playback at exact contract 96000 Hz / 32-bit Float.\n"
              "Playback complete. Stylus lifted; returning to zero.\n"
              "Playback complete. Stylus parked at zero; output chain retained.\n");
    // The whole track (0.1 s at 96 kHz) reached the endpoint.
    EXPECT_GE(scope.device().statistics().framesWritten, 9600u);
    EXPECT_FALSE(scope.device().streamOpen());
}

TEST_F(PlayCommandTest, ChoosesByIndexLabelOrMemory) {
    test::VirtualEndpointScope scope(formats({k44100x16, k48000x24in32, k96000xFloat}));
    cli::PlayOptions byIndex;
    byIndex.format = "1";
    EXPECT_NE(play(byIndex).out.find("at exact contract 44100 Hz / 16-bit Integer."),
              std::string::npos);

    cli::PlayOptions byLabel;
    byLabel.format = "48000 hz / 24-BIT integer in 32-bit container";
    EXPECT_NE(
        play(byLabel).out.find("at exact contract 48000 Hz / 24-bit Integer in 32-bit Container."),
        std::string::npos);

    FormatsCache remembered;
    remembered.RememberFormat(u"virtual", test::exactFormat(44100, 2, SampleKind::Pcm16));
    EXPECT_NE(play({}, remembered).out.find("at exact contract 44100 Hz / 16-bit Integer."),
              std::string::npos);

    cli::PlayOptions outOfRange;
    outOfRange.format = "4";
    const Played refused = play(outOfRange);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "error: --format 4 is not between 1 and 3\n");
    outOfRange.format = "44100 Hz / 32-bit Float";
    EXPECT_EQ(play(outOfRange).err,
              "error: The endpoint offers no exact format \"44100 Hz / 32-bit Float\"\n");
}

// The richest format is refused when the stream opens: the next one below
// is taken, and the refusal is reported with its step and code.
TEST_F(PlayCommandTest, RefusedFormatGivesWayToTheNextBelow) {
    VirtualOutputConfig config = formats({k44100x16, k48000x24in32, k96000xFloat});
    config.refusedAtInitialize = {k96000xFloat};
    test::VirtualEndpointScope scope(config);
    const Played played = play({});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_NE(
        played.out.find(
            "96000 Hz / 32-bit Float is unavailable: Initialize exact exclusive WASAPI format "
            "failed (HRESULT 0x88890008). Trying another exact format.\n"),
        std::string::npos);
    EXPECT_NE(
        played.out.find(
            "Virtual Output Exclusive playback at exact contract 48000 Hz / 24-bit Integer in "
            "32-bit Container.\n"),
        std::string::npos);

    config.refusedAtInitialize = {k44100x16, k48000x24in32, k96000xFloat};
    scope.device().configure(config);
    const Played none = play({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "error: No remaining exact output format could initialize. Playback head has been "
              "preserved. "
              "Refresh to probe again.\n");
}

TEST_F(PlayCommandTest, FailuresAreOrderlyMessages) {
    {
        VirtualOutputConfig config = formats({k44100x16});
        config.busy = true;
        test::VirtualEndpointScope scope(config);
        EXPECT_EQ(play({}).err,
                  "error: Audio device unavailable: Virtual Output is currently in use.\n");
    }
    {
        test::VirtualEndpointScope scope(formats({VirtualFormat{44100, 1, 16, 16, false}}));
        EXPECT_EQ(play({}).err,
                  "error: Selected endpoint exposes no exact WASAPI Exclusive format for 2 "
                  "channels. Shared "
                  "fallback is suppressed by policy.\n");
        cli::PlayOptions unknown;
        unknown.device = u"elsewhere";
        EXPECT_EQ(play(unknown).err, "error: No active render endpoint has the id \"elsewhere\"\n");
    }
    {
        test::VirtualEndpointScope scope(formats({k44100x16}));
        cli::PlayOptions policy;
        policy.bufferMs = 250.0;
        const Played played = play(policy);
        EXPECT_EQ(played.status, 1);
        EXPECT_EQ(played.err, "error: Invalid WASAPI buffer policy\n");
        EXPECT_EQ(scope.device().statistics().streamsInitialized, 0u);
    }
}

// Late events named in the device id: the player grows the endpoint buffer
// while the track plays, and says so.
TEST_F(PlayCommandTest, LateEventsInTheDeviceIdGrowTheBuffer) {
    test::VirtualEndpointScope scope(formats({k48000x24in32}));
    test::makeRecordSource(dir_ / "long.aur", 48000, 2, 48000 * 3);
    cli::PlayOptions options;
    options.device = u"virtual:late=8ms/500msx2";
    options.files =
        app::PlayerSettings::Files{dir_ / "AuralithPlayer.ini", dir_ / "state.ini", std::nullopt};
    options.file = dir_ / "long.aur";
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(cli::playWithOptions(options, FormatsCache(), out, err), 0) << err.str();
    EXPECT_NE(out.str().find("Playing on the virtual output in real time.\n"), std::string::npos);
    EXPECT_NE(
        out.str().find(
            "Increasing the endpoint buffer from 5.0 ms to 6.0 ms: deadline margin below safety "
            "target.\n"),
        std::string::npos)
        << out.str();
    EXPECT_NE(
        out.str().find(
            "Adaptive buffer increased to 6.0 ms actual (deadline margin below safety target). "
            "Playback head preserved.\n"),
        std::string::npos);

    options.device = u"virtual:loud";
    std::ostringstream refusedOut;
    std::ostringstream refused;
    EXPECT_EQ(cli::playWithOptions(options, FormatsCache(), refusedOut, refused), 1);
    EXPECT_EQ(refused.str(), "error: Invalid virtual output option: loud\n");
}

}  // namespace
}  // namespace al::audio
