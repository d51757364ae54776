#include "app/PlayerSettings.h"

#include <string>
#include <system_error>

#include "platform/ProfileFile.h"
#include "platform/Process.h"
#include "platform/UserFolders.h"

namespace al::app {

namespace {

constexpr const char* kSettingsFileName = "AuralithPlayer.ini";
constexpr const char* kStateFileName = "state.ini";
constexpr const char* kFallbackStateFileName = "AuralithPlayer.state.ini";
constexpr const char* kMakerFolder = "Tessaly";
constexpr const char* kStateFolder = "Auralith Player";

constexpr const char* kVisualSection = "Visual";
constexpr const char* kWaveformColorKey = "waveform_color";
constexpr const char* kExperienceSection = "Experience";
constexpr const char* kStreamerRemovedKey = "remove_before_playback_removed";
constexpr const char* kFirstRunVolumeKey = "first_run_volume_initialized";

}  // namespace

std::filesystem::path ProgramFolder() {
    std::filesystem::path folder = platform::executableDirectory();
    if (folder.empty()) {
        std::error_code error;
        folder = std::filesystem::current_path(error);
    }
    return folder;
}

std::filesystem::path SettingsPath(const std::filesystem::path& programFolder) {
    return programFolder / kSettingsFileName;
}

std::filesystem::path SettingsPath() { return SettingsPath(ProgramFolder()); }

std::filesystem::path StatePath(const std::filesystem::path& stateRoot, const std::filesystem::path& programFolder) {
    if (!stateRoot.empty()) {
        const std::filesystem::path folder = stateRoot / kMakerFolder / kStateFolder;
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (!error && std::filesystem::is_directory(folder, error)) {
            return folder / kStateFileName;
        }
    }
    return programFolder / kFallbackStateFileName;
}

std::filesystem::path StatePath() { return StatePath(platform::localStateRoot(), ProgramFolder()); }

PlayerSettings::Files PlayerSettings::DefaultFiles() {
    const std::filesystem::path programFolder = ProgramFolder();
    return Files{SettingsPath(programFolder), StatePath(platform::localStateRoot(), programFolder),
                 audio::FormatsCache::DefaultFile()};
}

void PlayerSettings::LoadSettings() {
    audioBuffer_ = audio::LoadAudioBufferSettings(files_.settings);

    const std::uint32_t color = platform::readProfileInt(files_.settings, kVisualSection, kWaveformColorKey, 0);
    waveformColor_ = color < kWaveformColorCount ? static_cast<int>(color) : 0;

    streamerRemoved_ = platform::readProfileInt(files_.state, kExperienceSection, kStreamerRemovedKey, 0) != 0;
    firstRunVolumePending_ = platform::readProfileInt(files_.state, kExperienceSection, kFirstRunVolumeKey, 0) == 0;

    formatsCache_ = files_.formats ? audio::FormatsCache(*files_.formats) : audio::FormatsCache();
    formatsCache_.Load();
}

void PlayerSettings::SaveWaveformColor(int index) {
    waveformColor_ = ((index % kWaveformColorCount) + kWaveformColorCount) % kWaveformColorCount;
    platform::writeProfileString(files_.settings, kVisualSection, kWaveformColorKey, std::to_string(waveformColor_));
}

int PlayerSettings::CycleWaveformColor() {
    SaveWaveformColor(waveformColor_ + 1);
    return waveformColor_;
}

void PlayerSettings::MarkStreamerRemoved() {
    if (streamerRemoved_) {
        return;
    }
    streamerRemoved_ = true;
    platform::writeProfileString(files_.state, kExperienceSection, kStreamerRemovedKey, "1");
}

void PlayerSettings::MarkFirstRunVolumeDone() {
    if (!firstRunVolumePending_) {
        return;
    }
    firstRunVolumePending_ = false;
    platform::writeProfileString(files_.state, kExperienceSection, kFirstRunVolumeKey, "1");
}

}  // namespace al::app
