#pragma once
// The player's settings file and state file: where they live, what they hold,
// and the single-key writes made when a value changes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

#include "output/AudioBufferSettings.h"
#include "output/FormatsCache.h"

namespace al::app {

// The folder of the running executable, or the current directory when the
// executable's path cannot be read.
std::filesystem::path ProgramFolder();

// "AuralithPlayer.ini" in the program folder.
std::filesystem::path SettingsPath(const std::filesystem::path& programFolder);
std::filesystem::path SettingsPath();

// "state.ini" in "Tessaly/Auralith Player" under the user's local state root
// (LOCALAPPDATA on Windows), creating the folder with its parents. Falls back
// to "AuralithPlayer.state.ini" in the program folder when the root is empty
// or the folder cannot be created. (The formats cache lives in the sibling
// folder "Tessaly/AuralithPlayer", without the space; files already on disk
// depend on both names.)
std::filesystem::path StatePath(const std::filesystem::path& stateRoot, const std::filesystem::path& programFolder);
std::filesystem::path StatePath();

// The part of the player window's state that is persisted: the waveform
// colour and the audio buffer policy from the settings file, the two one-time
// experience flags from the state file, and the formats cache.
//
// LoadSettings() reads everything once (the window's constructor calls it);
// afterwards each change writes exactly one key, at once; nothing is saved at
// exit. Reads fall back to the defaults silently; write failures are ignored
// and the value still changes in memory, so the behaviour holds for the rest
// of the run.
//
// Owned by the player window and used on the user-interface thread only.
class PlayerSettings {
public:
    static constexpr int kWaveformColorCount = 8;

    struct Files {
        std::filesystem::path settings;  // "AuralithPlayer.ini"
        std::filesystem::path state;     // "state.ini" or its fallback
        std::optional<std::filesystem::path> formats;  // none: formats remembered in memory only
    };

    // The files of this installation and user: SettingsPath(), StatePath()
    // and the formats cache's default file.
    static Files DefaultFiles();

    explicit PlayerSettings(Files files) : files_(std::move(files)) {}

    // Reads the Audio section first, so that an invalid buffer value fails
    // (with the message of LoadAudioBufferSettings) before anything else is
    // taken; then waveform_color (0..7, anything else read as 0), the two
    // Experience flags and the formats cache.
    void LoadSettings();

    const Files& files() const noexcept { return files_; }
    const audio::AudioBufferSettings& audioBuffer() const noexcept { return audioBuffer_; }
    int waveformColor() const noexcept { return waveformColor_; }
    bool streamerRemoved() const noexcept { return streamerRemoved_; }
    bool firstRunVolumePending() const noexcept { return firstRunVolumePending_; }
    audio::FormatsCache& formatsCache() noexcept { return formatsCache_; }
    const audio::FormatsCache& formatsCache() const noexcept { return formatsCache_; }

    // Takes the colour index (reduced modulo 8) and writes it to section
    // Visual of the settings file.
    void SaveWaveformColor(int index);
    // The next colour, modulo 8, saved as above; returns it.
    int CycleWaveformColor();
    // Sets the flag and writes remove_before_playback_removed=1 to section
    // Experience of the state file, once: nothing is written when it is set.
    void MarkStreamerRemoved();
    // Clears the pending first-run volume safety and writes
    // first_run_volume_initialized=1, once.
    void MarkFirstRunVolumeDone();

private:
    Files files_;
    audio::AudioBufferSettings audioBuffer_;
    int waveformColor_ = 0;
    bool streamerRemoved_ = false;
    bool firstRunVolumePending_ = true;
    audio::FormatsCache formatsCache_;
};

}  // namespace al::app
