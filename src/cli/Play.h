#pragma once
// auralith play: a file (or the demo record) through the whole playback chain
// onto one render endpoint at an exact output contract, with transport keys
// and a live line of time, meters and deadline figures in a terminal.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/PlayerSettings.h"
#include "output/FormatsCache.h"

namespace al::cli {

struct PlayOptions {
    std::optional<std::filesystem::path> file;  // the demo record when absent
    // The default endpoint when absent; "virtual" (with ":" and faults such as
    // "late=8ms/2s") for the virtual output.
    std::optional<std::u16string> device;
    std::optional<std::string> format;          // 1-based index into the probed list, or a format label
    std::optional<double> bufferMs;             // Audio.buffer_ms of the settings file when absent
    bool loop = false;
    // Keys from the terminal and a live status line; otherwise it plays to
    // the end (looping forever with `loop`).
    bool interactive = false;
    // The settings and state files; the installation's when absent.
    std::optional<app::PlayerSettings::Files> files;
};

// Plays as the options say, through the player window object: the format is
// the remembered one for this endpoint and channel count, else the last
// (richest) one probed; a format that fails to initialise is disabled and the
// next one below it tried. Every status sentence of the player goes to
// `out`, failures to `err` as "error: <message>". Without keys it plays to the
// end and waits for the stylus to park. Returns the exit status: 0 at the end
// of the material or when the user quits, 1 on failure.
int playWithOptions(const PlayOptions& options, const audio::FormatsCache& remembered, std::ostream& out,
                    std::ostream& err);

// `auralith play [FILE] [--device ID] [--format N|LABEL] [--buffer-ms X] [--loop]`.
// --device virtual:OPTIONS injects faults into the virtual output (see
// audio::ParseVirtualDeviceId).
int runPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Where the demo record is kept for `auralith play` without a file (written
// when missing).
std::filesystem::path demoRecordPath();

}  // namespace al::cli
