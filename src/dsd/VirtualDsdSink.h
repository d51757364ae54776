#pragma once
// The virtual DSD sink: a DSD output without a sound card. It stands in for a
// DoP endpoint or a native DSD device in tests and on machines without one:
// it takes the engine's DoP-packed buffers into a small queue, a device
// thread of its own consumes one buffer per buffer duration (real time) or as
// soon as one is queued (free-running), every consumed byte can be captured,
// and it injects the faults the engine must survive: a device that stops
// signalling, an open that reports another rate, an underrun.
//
// Portable code; the device thread is owned by the sink, started by start()
// and joined by stop() and the destructor.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dsd/AudioOutput.h"
#include "platform/Event.h"

namespace morrow::dsd {

enum class DsdSinkPace {
    RealTime,     // one buffer per framesPerBuffer / frameRate seconds
    FreeRunning,  // the next buffer is taken as soon as it is queued
};

struct VirtualDsdSinkOptions {
    DsdSinkPace pace = DsdSinkPace::FreeRunning;
    std::uint32_t carrierBytes = 3;  // 3 or 4
    // Frames in every buffer; 0: 10 ms at the opened rate (at least 2).
    std::uint32_t framesPerBuffer = 0;
    std::uint32_t queueDepth = 2;  // 1..64 buffers
    bool capture = true;           // keep every consumed byte
    std::string description = "Virtual DSD sink (no sound card)";
    // open() refuses every endpoint id but this one; empty: any id.
    std::u16string endpointId;

    // Faults.
    // open() throws std::runtime_error with this text.
    std::string openFailure;
    // open() reports this frame rate instead of the one asked for.
    std::optional<std::uint32_t> reportedFrameRate;
    // open() reports this many frames per buffer (0 allowed) instead.
    std::optional<std::uint32_t> reportedFramesPerBuffer;
    // The device takes this many buffers after start, then stops signalling:
    // wait() times out from then on (0: never).
    std::uint64_t stopSignallingAfter = 0;
    // A period that finds the queue empty after start is an underrun; when
    // set, it is sticky and every later wait() throws the underrun message.
    bool failOnUnderrun = false;
};

struct VirtualDsdSinkStatistics {
    std::uint64_t buffersSubmitted = 0;
    std::uint64_t buffersConsumed = 0;
    std::uint64_t underruns = 0;  // periods after start that found no buffer
    std::uint64_t waits = 0;
    std::uint64_t waitTimeouts = 0;
    bool started = false;
    bool open = false;
};

// IAudioOutput methods: the engine thread only. Snapshots, statistics and
// fault switches: any thread.
class VirtualDsdSink final : public al::audio::IAudioOutput {
  public:
    // Throws std::invalid_argument "Invalid virtual DSD sink options" for a
    // carrier other than 3 or 4 or a queue depth outside 1..64.
    explicit VirtualDsdSink(VirtualDsdSinkOptions options = {});
    ~VirtualDsdSink() override;  // stops and joins the device thread

    al::audio::DsdOutputFormat open(const std::u16string& endpointId,
                                    std::uint32_t frameRate) override;
    bool wait(std::uint32_t timeoutMs) override;
    // Copies into a free queue slot; allocates nothing, takes no lock.
    // "Output not open", "DoP buffer size mismatch", "Virtual DSD sink queue
    // overflow" (no free slot).
    void submit(std::span<const std::uint8_t> buffer) override;
    std::uint32_t queueDepth() const override { return options_.queueDepth; }
    void start() override;
    void stop() override;

    // The message of a sticky underrun fault.
    static constexpr const char* kUnderrunText = "Virtual DSD sink underrun; playback stopped";

    // What the device consumed, in order (a copy taken under the capture lock).
    std::vector<std::uint8_t> captured() const;
    // Hands over the capture and starts it afresh, in one step.
    std::vector<std::uint8_t> takeCaptured();
    VirtualDsdSinkStatistics statistics() const;
    // The format open() returned; nullopt before.
    std::optional<al::audio::DsdOutputFormat> openedFormat() const;
    const VirtualDsdSinkOptions& options() const noexcept { return options_; }

    // Fault switches.
    // false: the device stops taking buffers and signalling; true resumes.
    void setSignalling(bool on) noexcept;
    // The next wait() throws the underrun message (and every later one).
    void injectUnderrun() noexcept;

  private:
    void run();
    void consumeOne();

    const VirtualDsdSinkOptions options_;
    al::audio::DsdOutputFormat format_;
    std::vector<std::uint8_t> slots_;  // queueDepth x bufferBytes
    std::size_t bufferBytes_ = 0;
    bool open_ = false;

    // The engine advances queued_, the device thread consumed_.
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> consumed_{0};
    std::atomic<bool> signalling_{true};
    std::atomic<bool> fault_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> started_{false};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint64_t> waits_{0};
    std::atomic<std::uint64_t> waitTimeouts_{0};
    std::uint64_t consumedSinceStart_ = 0;  // device thread only

    al::platform::Event dataEvent_;   // set by submit: a buffer was queued
    al::platform::Event spaceEvent_;  // set by the device: a slot was freed
    al::platform::Event stopEvent_;   // ends the device thread's waits
    std::thread device_;

    mutable std::mutex mutex_;  // capture_ and openedFormat_
    std::vector<std::uint8_t> capture_;
    std::optional<al::audio::DsdOutputFormat> openedFormat_;
};

}  // namespace morrow::dsd
