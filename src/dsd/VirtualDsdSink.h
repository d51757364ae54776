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
    // Processor time the device thread has used so far, so that what the
    // engine costs can be told apart from what stands in for the device.
    double deviceCpuSeconds = 0.0;
    bool started = false;
    bool open = false;
};

class VirtualDsdSink;

// What a test sees of a sink and how it steers it, from any thread. Shared
// with the sink, so it outlives a sink that its owner (the engine) has
// already released: the capture is still there to compare. One sink at a
// time uses a monitor.
class VirtualDsdSinkMonitor {
  public:
    VirtualDsdSinkMonitor() noexcept;

    // What the device consumed, in order (a copy taken under the capture lock).
    std::vector<std::uint8_t> captured() const;
    // Hands over the capture and starts it afresh, in one step.
    std::vector<std::uint8_t> takeCaptured();
    VirtualDsdSinkStatistics statistics() const;
    // The format open() returned; nullopt before.
    std::optional<al::audio::DsdOutputFormat> openedFormat() const;

    // Fault switches.
    // false: the device stops taking buffers and signalling; true resumes.
    void setSignalling(bool on) noexcept;
    // The next wait() throws the underrun message (and every later one).
    void injectUnderrun() noexcept;

  private:
    friend class VirtualDsdSink;

    // The engine advances queued, the device thread consumed.
    std::atomic<std::uint64_t> queued{0};
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<bool> signalling{true};
    std::atomic<bool> fault{false};
    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> waits{0};
    std::atomic<std::uint64_t> waitTimeouts{0};
    std::atomic<double> deviceCpuSeconds{0.0};

    al::platform::Event dataEvent;   // set by submit: a buffer was queued
    al::platform::Event spaceEvent;  // set by the device: a slot was freed

    mutable std::mutex mutex;  // capture and opened
    std::vector<std::uint8_t> capture;
    std::optional<al::audio::DsdOutputFormat> opened;
};

// IAudioOutput methods: the engine thread only. Snapshots, statistics and
// fault switches: any thread, here or through the monitor.
class VirtualDsdSink final : public al::audio::IAudioOutput {
  public:
    // Throws std::invalid_argument "Invalid virtual DSD sink options" for a
    // carrier other than 3 or 4 or a queue depth outside 1..64. A null
    // monitor: the sink makes its own.
    explicit VirtualDsdSink(VirtualDsdSinkOptions options = {},
                            std::shared_ptr<VirtualDsdSinkMonitor> monitor = nullptr);
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

    const std::shared_ptr<VirtualDsdSinkMonitor>& monitor() const noexcept { return monitor_; }
    std::vector<std::uint8_t> captured() const { return monitor_->captured(); }
    std::vector<std::uint8_t> takeCaptured() { return monitor_->takeCaptured(); }
    VirtualDsdSinkStatistics statistics() const { return monitor_->statistics(); }
    std::optional<al::audio::DsdOutputFormat> openedFormat() const {
        return monitor_->openedFormat();
    }
    void setSignalling(bool on) noexcept { monitor_->setSignalling(on); }
    void injectUnderrun() noexcept { monitor_->injectUnderrun(); }
    const VirtualDsdSinkOptions& options() const noexcept { return options_; }

  private:
    void run();
    void consumeOne();

    const VirtualDsdSinkOptions options_;
    const std::shared_ptr<VirtualDsdSinkMonitor> monitor_;
    VirtualDsdSinkMonitor& m_;
    al::audio::DsdOutputFormat format_;
    std::vector<std::uint8_t> slots_;  // queueDepth x bufferBytes
    std::size_t bufferBytes_ = 0;
    bool open_ = false;
    std::atomic<bool> stopRequested_{false};
    std::uint64_t consumedSinceStart_ = 0;  // device thread only
    al::platform::Event stopEvent_;         // ends the device thread's waits
    std::thread device_;
};

}  // namespace morrow::dsd
