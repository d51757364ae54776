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

#include "output/FormatsCache.h"

namespace al::cli {

struct PlayOptions {
    std::optional<std::filesystem::path> file;  // the demo record when absent
    std::optional<std::u16string> device;       // the default endpoint when absent
    std::optional<std::string> format;          // 1-based index into the probed list, or a format label
    std::optional<double> bufferMs;             // Audio.buffer_ms of the settings file when absent
    bool loop = false;
    // Keys from the terminal and a live status line; otherwise it plays to
    // the end (looping forever with `loop`).
    bool interactive = false;
};

// Plays as the options say, choosing the format as the player does: the
// remembered one for this endpoint and channel count, else the last (richest)
// one probed; a format that fails to initialise is skipped for the next one
// below it. Status sentences go to `out`, failures to `err` as
// "error: <message>". Returns the exit status: 0 at the end of the material
// or when the user quits, 1 on failure.
int playWithOptions(const PlayOptions& options, const audio::FormatsCache& remembered, std::ostream& out,
                    std::ostream& err);

// `auralith play [FILE] [--device ID] [--format N|LABEL] [--buffer-ms X] [--loop]`.
int runPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Where the demo record is kept for `auralith play` without a file (written
// when missing).
std::filesystem::path demoRecordPath();

}  // namespace al::cli
