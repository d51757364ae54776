#pragma once
// Plays one track as DSD: makes the complete track in memory first (with
// progress and cancellation), then feeds a DSD output from that memory.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dsd/AudioOutput.h"
#include "dsd/DsdSource.h"

namespace al::playback {
class PlaybackSource;
}

namespace al::audio {

enum class DsdEngineState : std::int32_t {
    Preparing = 0,
    Ready = 1,  // track in memory, waiting for play
    Playing = 2,
    Paused = 3,
    Ended = 4,
    Stopped = 5,  // cancelled
    Failed = 6,
};

struct DsdEngineOptions {
    std::int32_t dsdMultiple = 64;  // 64, 128, 256, 512, 1024 or 2048 x 44,100
    bool dsfNative = false;         // ".dsf" tracks play their own bits at their own rate
    bool cutoff = false;            // the 18 kHz waveform cutoff (remodulation only)
    std::u16string endpointId;      // exact endpoint id for DoP
    std::u16string endpointName;    // carried for display, not read by the engine
    std::u16string asioDriver;      // CLSID text; non-empty selects native ASIO output
    // When set, makes the output instead of the built-in choices (tests, the
    // virtual DSD sink, native ALSA DSD).
    std::function<std::unique_ptr<IAudioOutput>()> outputFactory;
    std::function<void()> onStarted;  // called once when the output has started
    std::uint64_t ramBudget = 0;      // bytes allowed for the track; 0: from available memory
    // When set, makes the DSD source instead of the choice by extension.
    std::function<std::unique_ptr<morrow::dsd::IDsdSource>()> sourceFactory;
    // When set, answers the available physical memory instead of the system
    // (nullopt: the query failed).
    std::function<std::optional<std::uint64_t>()> availableMemory;
};

struct DsdEngineStatus {
    DsdEngineState state = DsdEngineState::Preparing;
    double progress = 0.0;  // 0..1 during preparation, 1 afterwards
    double position = 0.0;  // seconds played
    double duration = 0.0;  // DSD sample count / rate
    std::uint32_t rate = 0;  // DSD bits per second per channel
    std::uint64_t memoryBytes = 0;  // frameCount x 4
    std::array<float, 2> levels{};  // peaks of channel 0 and 1 for the last buffer
    std::string failureText;
    std::string meterFailureText;
    std::string outputDescription;  // the opened output's description, once open
};

// Construction starts the engine thread at once. Every public method is for
// the controlling (window) thread; status() may be polled at any rate.
class DsdEngine {
public:
    // Throws std::invalid_argument "No source for DSD" or "Invalid DSD rate".
    DsdEngine(std::shared_ptr<const playback::PlaybackSource> source, DsdEngineOptions options);
    ~DsdEngine();  // sets cancel and joins the engine thread
    DsdEngine(const DsdEngine&) = delete;
    DsdEngine& operator=(const DsdEngine&) = delete;

    bool play() noexcept;   // sets the play flag; returns the previous value
    bool pause() noexcept;  // clears it; returns the previous value
    void setLoop(bool on) noexcept;
    void setMute(bool on) noexcept;
    void seek(double seconds);  // ignored when not finite
    bool cancel() noexcept;     // sets cancel; returns and clears the ended flag
    bool takeEnded() noexcept;
    bool hasFinished() const noexcept;
    DsdEngineStatus status() const;
    std::array<float, 2> levels() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace al::audio
