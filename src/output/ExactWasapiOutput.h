#pragma once
// PCM output at one exact endpoint format: the frames of a playback lattice,
// converted into the endpoint's container and nothing else (no resampling,
// no channel mapping, no dither), on an exclusive event-driven stream (shared
// only for a format marked as the shared fallback).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "output/EndpointFormat.h"
#include "output/RenderStatistics.h"
#include "platform/Event.h"

namespace al::playback {
class PlaybackLattice;
}

namespace al::audio {

// The endpoint buffer asked for and the deadline margin below which a render
// pass counts as a near miss, both in milliseconds.
struct WasapiBufferPolicy {
    double bufferMs = 5.0;        // 1..200
    double safetyMarginMs = 1.0;  // 0..50
};

// One output: a render thread that owns every audio object, driven by six
// events. All public methods belong to one controlling thread (the player's
// user-interface thread, or the command-line player's main thread); the
// readers (IsRunning .. LastErrorMessage, Statistics) may be called from any
// thread. The render thread never throws across its boundary: it stores its
// failure, which Initialize and Start turn into exceptions.
//
// The lattice is not owned and must outlive the output's use of it (until
// Shutdown or the next Initialize); its pull runs on the render thread.
class ExactWasapiOutput {
public:
    // Creates the six events. Throws std::runtime_error "Unable to create "
    // and the event's name when one cannot be made.
    ExactWasapiOutput();
    // Shuts down, then closes the events.
    ~ExactWasapiOutput();
    ExactWasapiOutput(const ExactWasapiOutput&) = delete;
    ExactWasapiOutput& operator=(const ExactWasapiOutput&) = delete;

    // Opens the endpoint at exactly `format` for the lattice's frames and
    // returns when the render thread waits for a play command. Throws
    // std::invalid_argument for an incomplete configuration, a policy out of
    // range or a lattice that does not match the format (all before any
    // endpoint is touched), WasapiError for a refused platform call, or
    // std::runtime_error; any failure leaves the output shut down.
    void Initialize(const std::u16string& endpointId, const EndpointFormat& format,
                    playback::PlaybackLattice* lattice, WasapiBufferPolicy policy);

    // Primes the lattice and starts rendering; returns once the stream runs
    // (or a very short track has already ended). No effect while running.
    // Throws std::logic_error when not initialised (naming a stored render
    // failure), std::runtime_error or WasapiError otherwise.
    void Start();

    // Asks the render thread to stop and waits up to 5 s: 0 when paused,
    // platform::kWaitTimeout (258) or platform::kWaitFailed. 0 at once when
    // not initialised or not running.
    std::uint32_t Pause() noexcept;
    // Signals the pause without waiting (only when initialised).
    void RequestPause() noexcept;

    // Ends the render thread and forgets the configuration; the last error
    // message stays until the next Initialize or Start.
    void Shutdown() noexcept;

    void ResetStatistics() noexcept { statistics_.reset(); }

    bool IsRunning() const noexcept { return running_.load(std::memory_order_acquire); }
    bool IsInitialized() const noexcept { return initialised_.load(std::memory_order_acquire); }
    // Whether the last play command ran the material to its end and drained
    // the endpoint; reading clears it.
    bool TakeEnded() noexcept { return ended_.exchange(false, std::memory_order_acq_rel); }
    RenderStatistics::Snapshot Statistics() const noexcept { return statistics_.snapshot(); }
    std::int32_t LastErrorHresult() const noexcept { return lastErrorHresult_.load(std::memory_order_acquire); }
    std::string LastErrorMessage() const;

    const EndpointFormat& Format() const noexcept { return format_; }
    const std::u16string& EndpointId() const noexcept { return endpointId_; }
    WasapiBufferPolicy Policy() const noexcept { return policy_; }

private:
    class RenderThread;
    friend class RenderThread;

    void StoreFailure(const std::string& message, std::int32_t hresult) noexcept;
    // Throws the stored failure (WasapiError when its HRESULT is negative),
    // or `fallback` when no message was stored.
    [[noreturn]] void ThrowStoredFailure(const char* fallback);
    void RenderThreadMain() noexcept;

    std::u16string endpointId_;
    EndpointFormat format_;
    WasapiBufferPolicy policy_;
    playback::PlaybackLattice* lattice_ = nullptr;

    std::atomic<bool> running_{false};
    std::atomic<bool> initialised_{false};
    std::atomic<bool> ended_{false};
    RenderStatistics statistics_;
    std::atomic<std::int32_t> lastErrorHresult_{0};

    std::thread renderThread_;
    platform::Event closeEvent_;
    platform::Event playEvent_;
    platform::Event pauseEvent_;
    platform::Event readyEvent_;
    platform::Event startedEvent_;
    platform::Event pausedEvent_;

    mutable std::mutex errorLock_;
    std::string lastErrorMessage_;
};

}  // namespace al::audio
