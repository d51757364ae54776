#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/PlayerSettings.h"
#include "support/TempDir.h"

namespace {

using al::app::PlayerSettings;

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

class PlayerSettingsTest : public ::testing::Test {
protected:
    PlayerSettings loaded() {
        PlayerSettings settings(files_);
        settings.LoadSettings();
        return settings;
    }

    al::test::TempDir programFolder_;
    al::test::TempDir stateRoot_;
    PlayerSettings::Files files_{al::app::SettingsPath(programFolder_.path()),
                                 al::app::StatePath(stateRoot_.path(), programFolder_.path()), std::nullopt};
};

TEST_F(PlayerSettingsTest, FileLocations) {
    EXPECT_EQ(files_.settings, programFolder_.path() / "AuralithPlayer.ini");
    EXPECT_EQ(files_.state, stateRoot_.path() / "Tessaly" / "Auralith Player" / "state.ini");
    EXPECT_TRUE(std::filesystem::is_directory(stateRoot_.path() / "Tessaly" / "Auralith Player"));

    // Missing parents are created; no root, or a folder that cannot be made,
    // sends the state beside the executable.
    const auto deep = stateRoot_ / "a" / "b";
    EXPECT_EQ(al::app::StatePath(deep, programFolder_.path()), deep / "Tessaly" / "Auralith Player" / "state.ini");
    const auto fallback = programFolder_.path() / "AuralithPlayer.state.ini";
    EXPECT_EQ(al::app::StatePath({}, programFolder_.path()), fallback);
    put(stateRoot_ / "plain-file", "x");
    EXPECT_EQ(al::app::StatePath(stateRoot_ / "plain-file", programFolder_.path()), fallback);

    // The real program folder is where this test executable lives.
    const auto folder = al::app::ProgramFolder();
    EXPECT_FALSE(folder.empty());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(al::app::SettingsPath(), folder / "AuralithPlayer.ini");
}

TEST_F(PlayerSettingsTest, NoFilesGiveTheDefaults) {
    const PlayerSettings settings = loaded();
    EXPECT_EQ(settings.audioBuffer(), al::audio::AudioBufferSettings{});
    EXPECT_EQ(settings.waveformColor(), 0);
    EXPECT_FALSE(settings.streamerRemoved());
    EXPECT_TRUE(settings.firstRunVolumePending());
    // Reading writes nothing.
    EXPECT_FALSE(std::filesystem::exists(files_.settings));
    EXPECT_FALSE(std::filesystem::exists(files_.state));
}

TEST_F(PlayerSettingsTest, ReadsColourBufferPolicyAndFormatsCache) {
    put(files_.settings, "[Visual]\r\nwaveform_color=6\r\n[Audio]\r\nbuffer_ms=8\r\nbuffer_max_ms=30\r\n");
    files_.formats = stateRoot_ / "formats.cfg";
    put(*files_.formats, "123 2 48000 32 24 2 0\n");
    const PlayerSettings settings = loaded();
    EXPECT_EQ(settings.waveformColor(), 6);
    EXPECT_EQ(settings.audioBuffer().bufferMs, 8.0);
    EXPECT_EQ(settings.audioBuffer().maxMs, 30.0);
    const auto* remembered = settings.formatsCache().Find(123);
    ASSERT_NE(remembered, nullptr);
    EXPECT_EQ(remembered->sampleRate, 48000u);
}

TEST_F(PlayerSettingsTest, ColourOutOfRangeStartsAtZeroAndEachPressWritesTheNext) {
    for (const char* value : {"9", "-1", "8", "x"}) {
        put(files_.settings, std::string("[Visual]\r\nwaveform_color=") + value + "\r\n[Audio]\r\nbuffer_ms=8\r\n");
        EXPECT_EQ(loaded().waveformColor(), 0) << value;
    }
    PlayerSettings settings = loaded();
    EXPECT_EQ(settings.CycleWaveformColor(), 1);
    EXPECT_EQ(contents(files_.settings), "[Visual]\r\nwaveform_color=1\r\n[Audio]\r\nbuffer_ms=8\r\n");

    settings.SaveWaveformColor(7);
    EXPECT_EQ(settings.CycleWaveformColor(), 0);  // modulo 8
    EXPECT_EQ(loaded().waveformColor(), 0);
    settings.SaveWaveformColor(11);
    EXPECT_EQ(loaded().waveformColor(), 3);
    // The state file is not touched by colour changes.
    EXPECT_FALSE(std::filesystem::exists(files_.state));
}

TEST_F(PlayerSettingsTest, InvalidBufferValueFailsTheLoad) {
    put(files_.settings, "[Visual]\r\nwaveform_color=2\r\n[Audio]\r\nbuffer_max_ms=4\r\n");
    PlayerSettings settings(files_);
    try {
        settings.LoadSettings();
        FAIL() << "loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Audio.buffer_max_ms must be at least buffer_ms and no more than 200 ms");
    }
}

TEST_F(PlayerSettingsTest, ExperienceFlagsAreWrittenOnceAsOne) {
    PlayerSettings settings = loaded();
    settings.MarkStreamerRemoved();
    EXPECT_TRUE(settings.streamerRemoved());
    EXPECT_EQ(contents(files_.state), "[Experience]\r\nremove_before_playback_removed=1\r\n");
    settings.MarkFirstRunVolumeDone();
    EXPECT_FALSE(settings.firstRunVolumePending());
    const std::string both =
        "[Experience]\r\nremove_before_playback_removed=1\r\nfirst_run_volume_initialized=1\r\n";
    EXPECT_EQ(contents(files_.state), both);

    // Already set: nothing more is written, even if the file changed meanwhile.
    put(files_.state, "[Experience]\r\n");
    settings.MarkStreamerRemoved();
    settings.MarkFirstRunVolumeDone();
    EXPECT_EQ(contents(files_.state), "[Experience]\r\n");

    put(files_.state, both);
    const PlayerSettings again = loaded();
    EXPECT_TRUE(again.streamerRemoved());
    EXPECT_FALSE(again.firstRunVolumePending());
    // The settings file is not touched by state changes.
    EXPECT_FALSE(std::filesystem::exists(files_.settings));
}

TEST_F(PlayerSettingsTest, FlagsAreAnyNonZeroIntegerAndDeletingTheFileReArmsThem) {
    const std::string text =
        "[experience]\r\nfirst_run_volume_initialized = 2\r\nremove_before_playback_removed=0\r\n";
    put(files_.state, text);
    PlayerSettings settings = loaded();
    EXPECT_FALSE(settings.firstRunVolumePending());
    EXPECT_FALSE(settings.streamerRemoved());
    settings.MarkFirstRunVolumeDone();  // already done: no write
    EXPECT_EQ(contents(files_.state), text);

    std::filesystem::remove(files_.state);
    const PlayerSettings fresh = loaded();
    EXPECT_TRUE(fresh.firstRunVolumePending());
    EXPECT_FALSE(fresh.streamerRemoved());
}

TEST_F(PlayerSettingsTest, WithoutAStateRootTheStateLivesBesideTheExecutable) {
    const PlayerSettings::Files files{al::app::SettingsPath(programFolder_.path()),
                                      al::app::StatePath({}, programFolder_.path()), std::nullopt};
    PlayerSettings settings(files);
    settings.LoadSettings();
    settings.MarkFirstRunVolumeDone();
    EXPECT_EQ(contents(programFolder_.path() / "AuralithPlayer.state.ini"),
              "[Experience]\r\nfirst_run_volume_initialized=1\r\n");
    PlayerSettings again(files);
    again.LoadSettings();
    EXPECT_FALSE(again.firstRunVolumePending());
    EXPECT_FALSE(again.streamerRemoved());
}

TEST_F(PlayerSettingsTest, WriteFailuresStillChangeTheValuesInMemory) {
    const auto gone = programFolder_ / "missing-folder";
    PlayerSettings settings({gone / "AuralithPlayer.ini", gone / "state.ini", gone / "formats.cfg"});
    settings.LoadSettings();
    settings.MarkStreamerRemoved();
    settings.MarkFirstRunVolumeDone();
    EXPECT_EQ(settings.CycleWaveformColor(), 1);
    EXPECT_TRUE(settings.streamerRemoved());
    EXPECT_FALSE(settings.firstRunVolumePending());
    EXPECT_FALSE(std::filesystem::exists(gone));
}

}  // namespace
