#pragma once
// The endpoint buffer policy: six keys in the Audio section of the settings file.

#include <cstdint>
#include <filesystem>

namespace al::audio {

// A plain value, copied freely. Times are milliseconds. The defaults are the
// policy used when the settings file says nothing.
struct AudioBufferSettings {
    double bufferMs = 5.0;             // buffer_ms: endpoint buffer asked for at first
    bool adaptiveBuffer = true;        // adaptive_buffer: grow after trouble
    double safetyMarginMs = 1.0;       // buffer_safety_margin_ms: a pass closer than this is a near miss
    double stepMs = 1.0;               // buffer_step_ms: growth per adaptation
    double maxMs = 20.0;               // buffer_max_ms: ceiling of the growth
    std::uint32_t nearMissCount = 2;   // buffer_near_miss_count: near misses that trigger growth

    friend bool operator==(const AudioBufferSettings&, const AudioBufferSettings&) = default;
};

// Reads the Audio section of the settings file at `path` (lines before any
// section header count as Audio too; ";" and "#" start a comment anywhere).
// A file that cannot be opened gives the defaults. A bad value throws
// std::runtime_error with a message naming the key; a number or integer that
// does not convert at all, or converts out of range, throws the standard
// conversion error (std::invalid_argument "invalid stod argument" / "invalid
// stoul argument", std::out_of_range "stod argument out of range" / "stoul
// argument out of range"). Called once, on the user-interface thread, when the
// main window is created; touches no shared state.
AudioBufferSettings LoadAudioBufferSettings(const std::filesystem::path& path);

}  // namespace al::audio
