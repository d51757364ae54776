#include "output/ExactWasapiOutput.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "output/AudioEndpoints.h"
#include "output/SampleConverters.h"
#include "output/WasapiError.h"
#include "platform/AudioEndpoint.h"
#include "platform/ThreadScheduling.h"
#include "playback/PlaybackLattice.h"

namespace al::audio {

using namespace al::platform;

namespace {

constexpr std::uint32_t kReadyWaitMs = 10'000;
constexpr std::uint32_t kStartWaitMs = 10'000;
constexpr std::uint32_t kPauseWaitMs = 5'000;
constexpr std::uint32_t kRenderEventWaitMs = 2'000;

std::int64_t nowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

__extension__ typedef unsigned __int128 Wide;

// The frames a device clock has played cover `written` frames when
// position / frequency >= written / rate.
bool clockCovers(std::uint64_t position, std::uint64_t frequency, std::uint32_t rate, std::uint64_t written) noexcept {
    return static_cast<Wide>(rate) * position >= static_cast<Wide>(written) * frequency;
}

}  // namespace

// Everything the render thread owns, in order of acquisition; the members
// are released in reverse order by Release() (and, after a failure, by the
// same call in the thread's clean-up).
class ExactWasapiOutput::RenderThread {
public:
    explicit RenderThread(ExactWasapiOutput& output)
        : output_(output),
          lattice_(*output.lattice_),
          format_(output.format_),
          policy_(output.policy_),
          channels_(format_.channels),
          converter_(ConverterFor(format_.kind)),
          bytesPerFrame_(static_cast<std::uint64_t>(format_.channels) * BytesPerSample(format_.kind)) {}

    void Run();
    void Release() noexcept;

    bool readySet = false;
    bool joinedScheduling = false;
    ProAudioScheduling scheduling;
    Event renderEvent;

private:
    void OpenStream();
    void CommandLoop();
    // One play command: prefill, start, the event loop, stop. Returns true
    // when close was requested.
    bool PlayOnce();
    // The pass duration in nanoseconds; -1 only when `mayBeStale` and the
    // endpoint has no room for the buffer yet (nothing was written).
    std::int64_t RenderPass(std::uint32_t frames, bool mayBeStale = false);
    bool Exhausted() const noexcept;
    std::uint32_t SharedPadding(const char* step);

    ExactWasapiOutput& output_;
    playback::PlaybackLattice& lattice_;
    const EndpointFormat& format_;
    const WasapiBufferPolicy policy_;
    const std::uint32_t channels_;
    const SampleConverter converter_;
    const std::uint64_t bytesPerFrame_;
    const bool shared_ = format_.sharedFallback;

    std::unique_ptr<AudioDeviceEnumerator> enumerator_;
    std::unique_ptr<AudioDevice> device_;
    std::unique_ptr<AudioClient> client_;
    std::unique_ptr<AudioRenderService> render_;
    std::unique_ptr<AudioClockService> clock_;
    std::vector<double> scratch_;

    std::uint32_t bufferFrames_ = 0;
    std::uint64_t clockFrequency_ = 0;
    std::int64_t bufferDurationNs_ = 0;
    std::int64_t nearMissThresholdNs_ = 0;
};

void ExactWasapiOutput::RenderThread::Run() {
    OpenStream();
    CommandLoop();
}

void ExactWasapiOutput::RenderThread::OpenStream() {
    CheckWasapi(CreateAudioDeviceEnumerator(enumerator_), "Create MMDeviceEnumerator");
    CheckWasapi(enumerator_->openEndpoint(output_.endpointId_, device_), "Open WASAPI endpoint");
    CheckWasapi(device_->activateClient(client_), "Activate IAudioClient");

    const std::span<const std::uint8_t> waveFormat(format_.waveFormat);
    if (shared_) {
        CheckWasapi(client_->initialize(AudioShareMode::Shared, 0, 0, waveFormat),
                    "Initialize exact shared WASAPI format");
    } else {
        std::int64_t defaultPeriod = 0;
        std::int64_t minimumPeriod = 0;
        CheckWasapi(client_->getDevicePeriod(defaultPeriod, minimumPeriod), "Get endpoint period");
        const std::int64_t period = minimumPeriod > 0 ? minimumPeriod : defaultPeriod;
        const std::int64_t requested = std::llround(policy_.bufferMs * 10'000.0);
        std::int64_t duration = std::max(period, requested);
        AudioResult result = client_->initialize(AudioShareMode::Exclusive, duration, duration, waveFormat);
        if (result == kAudioBufferSizeNotAligned) {
            // The device wants a buffer of whole hardware blocks: ask once
            // more with the size it proposes, on a fresh client.
            std::uint32_t alignedFrames = 0;
            CheckWasapi(client_->getBufferSize(alignedFrames), "Get aligned WASAPI buffer size");
            client_.reset();
            CheckWasapi(device_->activateClient(client_), "Activate IAudioClient");
            duration = static_cast<std::int64_t>(
                std::floor(static_cast<double>(alignedFrames) * 10'000'000.0 / format_.sampleRate + 0.5));
            result = client_->initialize(AudioShareMode::Exclusive, duration, duration, waveFormat);
        }
        CheckWasapi(result, "Initialize exact exclusive WASAPI format");
    }

    if (!renderEvent.create(Event::Reset::Automatic, false)) {
        throw std::runtime_error("Create WASAPI render event failed");
    }
    CheckWasapi(client_->setEventHandle(renderEvent), "Set WASAPI render event handle");
    CheckWasapi(client_->getBufferSize(bufferFrames_), "Get WASAPI buffer size");
    CheckWasapi(client_->getRenderService(render_), "Get IAudioRenderClient");
    CheckWasapi(client_->getClockService(clock_), "Get endpoint audio clock");
    CheckWasapi(clock_->getFrequency(clockFrequency_), "Get endpoint clock frequency");
    if (clockFrequency_ == 0) {
        throw std::runtime_error("Invalid endpoint clock frequency");
    }

    // The only buffer of the render path, made before the first pass.
    scratch_.assign(static_cast<std::size_t>(bufferFrames_) * channels_, 0.0);

    bufferDurationNs_ = std::llround(static_cast<double>(bufferFrames_) * 1e9 / format_.sampleRate);
    output_.statistics_.publishBuffer(bufferFrames_, static_cast<std::uint64_t>(bufferDurationNs_));
    const std::int64_t marginNs = std::llround(policy_.safetyMarginMs * 1'000'000.0);
    nearMissThresholdNs_ = marginNs < bufferDurationNs_ ? bufferDurationNs_ - marginNs : 0;

    joinedScheduling = scheduling.join();

    output_.initialised_.store(true, std::memory_order_release);
    readySet = true;
    output_.readyEvent_.set();
}

void ExactWasapiOutput::RenderThread::CommandLoop() {
    Event* const commands[] = {&output_.closeEvent_, &output_.playEvent_};
    for (;;) {
        const std::uint32_t command = waitForAny(commands, kWaitInfinite);
        if (command == 0) {
            return;
        }
        if (command != 1) {
            throw std::runtime_error("WASAPI command wait failed");
        }
        if (PlayOnce()) {
            return;
        }
    }
}

bool ExactWasapiOutput::RenderThread::PlayOnce() {
    output_.pauseEvent_.reset();
    output_.pausedEvent_.reset();
    std::uint64_t written = 0;

    std::uint32_t prefill = bufferFrames_;
    if (shared_) {
        const std::uint32_t padding = SharedPadding("Get shared WASAPI padding");
        prefill = padding < bufferFrames_ ? bufferFrames_ - padding : 0;
    }
    bool exhausted = false;
    if (prefill > 0) {
        // Nothing was waited for yet: the deadline use of the prefill is its
        // duration alone, and it never counts as a near miss.
        output_.statistics_.recordDeadlineUse(static_cast<std::uint64_t>(RenderPass(prefill)));
        written = prefill;
        exhausted = Exhausted();
    }

    CheckWasapi(client_->start(), "Start exact WASAPI stream");
    output_.running_.store(true, std::memory_order_release);
    output_.startedEvent_.set();

    Event* const waits[] = {&output_.closeEvent_, &output_.pauseEvent_, &renderEvent};
    bool closeRequested = false;
    bool drained = false;
    bool firstEvent = true;
    std::int64_t previousEventNs = 0;
    for (;;) {
        const std::uint32_t woke = waitForAny(waits, kRenderEventWaitMs);
        if (woke == 0) {
            closeRequested = true;
            break;
        }
        if (woke == 1) {
            break;
        }
        if (woke == kWaitTimeout) {
            throw std::runtime_error("WASAPI render event timed out");
        }
        if (woke != 2) {
            throw std::runtime_error("WASAPI render wait failed");
        }
        if (!exhausted) {
            const std::int64_t now = nowNs();
            std::int64_t lateness = 0;
            if (!firstEvent) {
                lateness = std::max<std::int64_t>((now - previousEventNs) - bufferDurationNs_, 0);
            }
            firstEvent = false;
            std::uint32_t frames = bufferFrames_;
            if (shared_) {
                const std::uint32_t padding = SharedPadding("Get shared WASAPI padding");
                if (padding >= bufferFrames_) {
                    previousEventNs = now;
                    continue;
                }
                frames = bufferFrames_ - padding;
            }
            previousEventNs = now;
            const std::int64_t pass = RenderPass(frames, !shared_);
            if (pass < 0) {
                continue;  // a stale event: the endpoint still holds the last buffer
            }
            const std::int64_t use = lateness + pass;
            output_.statistics_.recordDeadlineUse(static_cast<std::uint64_t>(use));
            if (nearMissThresholdNs_ > 0 && use >= nearMissThresholdNs_) {
                output_.statistics_.countNearMiss();
            }
            written += frames;
            exhausted = Exhausted();
            continue;
        }
        // Drain: everything written since this start must be heard before
        // the material counts as ended.
        if (shared_) {
            if (SharedPadding("Drain shared WASAPI buffer") != 0) {
                continue;
            }
        } else {
            std::uint64_t position = 0;
            CheckWasapi(clock_->getPosition(position), "Drain exclusive WASAPI buffer");
            if (!clockCovers(position, clockFrequency_, format_.sampleRate, written)) {
                std::uint8_t* data = nullptr;
                const AudioResult got = render_->getBuffer(bufferFrames_, data);
                if (got == kAudioBufferTooLarge) {
                    continue;  // stale event, as in a render pass
                }
                CheckWasapi(got, "Get drain buffer");
                CheckWasapi(render_->releaseBuffer(bufferFrames_, kAudioBufferSilent), "Release drain silence");
                continue;
            }
        }
        drained = true;
        break;
    }

    CheckWasapi(client_->stop(), "Stop WASAPI stream");
    CheckWasapi(client_->reset(), "Reset WASAPI stream");
    if (drained) {
        output_.ended_.store(true, std::memory_order_release);
    }
    output_.running_.store(false, std::memory_order_release);
    output_.pausedEvent_.set();
    return closeRequested;
}

// Allocates nothing and takes no lock of ours: the lattice's pull, the
// conversion straight into the endpoint's buffer, atomic statistics.
//
// An exclusive stream signals once per period, but when a pass overran the
// period the device may signal again before it has taken the buffer just
// written; the endpoint then refuses a whole buffer as too large. That event
// is stale, not a failure: the pass is skipped and the next event is awaited.
std::int64_t ExactWasapiOutput::RenderThread::RenderPass(std::uint32_t frames, bool mayBeStale) {
    const std::int64_t t0 = nowNs();
    std::uint8_t* data = nullptr;
    const AudioResult got = render_->getBuffer(frames, data);
    if (mayBeStale && got == kAudioBufferTooLarge) {
        return -1;
    }
    CheckWasapi(got, "Get WASAPI render buffer");
    const std::uint64_t produced = lattice_.pull(scratch_.data(), frames);
    const std::size_t samples = static_cast<std::size_t>(frames) * channels_;
    if (produced < frames) {
        // The end of the material (or a held lattice): silence, never stale
        // samples of an earlier pass.
        const std::size_t from = static_cast<std::size_t>(produced) * channels_;
        std::memset(scratch_.data() + from, 0, (samples - from) * sizeof(double));
    }
    const std::uint64_t bytes = frames * bytesPerFrame_;
    converter_(scratch_.data(), samples, data, static_cast<std::size_t>(bytes));
    CheckWasapi(render_->releaseBuffer(frames, 0), "Release WASAPI render buffer");
    const std::int64_t duration = std::max<std::int64_t>(nowNs() - t0, 0);
    output_.statistics_.recordPass(static_cast<std::uint64_t>(duration), bytes);
    return duration;
}

bool ExactWasapiOutput::RenderThread::Exhausted() const noexcept {
    const std::int64_t seek = lattice_.pendingSeek();
    const std::uint64_t at = seek >= 0 ? static_cast<std::uint64_t>(seek) : lattice_.position();
    return at >= lattice_.totalFrames() && !lattice_.loopAhead();
}

std::uint32_t ExactWasapiOutput::RenderThread::SharedPadding(const char* step) {
    std::uint32_t padding = 0;
    CheckWasapi(client_->getCurrentPadding(padding), step);
    return padding;
}

void ExactWasapiOutput::RenderThread::Release() noexcept {
    scratch_ = {};
    clock_.reset();
    render_.reset();
    client_.reset();
    device_.reset();
    enumerator_.reset();
}

void ExactWasapiOutput::RenderThreadMain() noexcept {
    AudioThreadApartment apartment;
    std::unique_ptr<RenderThread> thread;
    // A failure is published only once the output no longer reports itself
    // running and initialised: a controller that sees the failure and plays
    // again must find a chain to build anew, not a running one to leave be.
    std::optional<std::pair<std::string, std::int32_t>> failure;
    auto remember = [&failure](const char* message, std::int32_t hresult) noexcept {
        try {
            failure.emplace(message, hresult);
        } catch (const std::exception&) {
            failure.emplace(std::string(), hresult);  // no memory for the text
        }
    };
    try {
        const AudioResult joined = apartment.join();
        if (joined != kAudioChangedMode) {
            CheckWasapi(joined, "Initialize COM audio thread");
        }
        thread = std::make_unique<RenderThread>(*this);
        thread->Run();
    } catch (const WasapiError& error) {
        remember(error.what(), error.hresult());
    } catch (const std::exception& error) {
        remember(error.what(), kAudioFail);
    } catch (...) {
        remember("Unknown render thread failure", kAudioFail);
    }
    if (thread) {
        thread->Release();
    }
    running_.store(false, std::memory_order_release);
    initialised_.store(false, std::memory_order_release);
    if (failure) {
        StoreFailure(failure->first, failure->second);
    }
    pausedEvent_.set();
    startedEvent_.set();
    if (!thread || !thread->readySet) {
        readyEvent_.set();
    }
    if (thread) {
        thread->scheduling.leave();
        thread->renderEvent.close();
    }
    // The apartment is left as `apartment` goes out of scope.
}

// ---------------------------------------------------------------------------
// The controlling thread.

ExactWasapiOutput::ExactWasapiOutput() {
    struct Wanted {
        Event& event;
        Event::Reset reset;
        bool initiallySet;
        const char* name;
    };
    const Wanted wanted[] = {
        {closeEvent_, Event::Reset::Manual, false, "WASAPI close event"},
        {playEvent_, Event::Reset::Automatic, false, "WASAPI play event"},
        {pauseEvent_, Event::Reset::Manual, false, "WASAPI pause event"},
        {readyEvent_, Event::Reset::Manual, false, "WASAPI ready event"},
        {startedEvent_, Event::Reset::Manual, false, "WASAPI started event"},
        {pausedEvent_, Event::Reset::Manual, true, "WASAPI paused event"},
    };
    for (const Wanted& one : wanted) {
        if (!one.event.create(one.reset, one.initiallySet)) {
            throw std::runtime_error(std::string("Unable to create ") + one.name);
        }
    }
}

ExactWasapiOutput::~ExactWasapiOutput() {
    Shutdown();
    pausedEvent_.close();
    startedEvent_.close();
    readyEvent_.close();
    pauseEvent_.close();
    playEvent_.close();
    closeEvent_.close();
}

std::string ExactWasapiOutput::LastErrorMessage() const {
    std::lock_guard lock(errorLock_);
    return lastErrorMessage_;
}

void ExactWasapiOutput::StoreFailure(const std::string& message, std::int32_t hresult) noexcept {
    std::lock_guard lock(errorLock_);
    try {
        lastErrorMessage_ = message;
    } catch (const std::exception&) {
        lastErrorMessage_.clear();
    }
    lastErrorHresult_.store(hresult, std::memory_order_release);
}

void ExactWasapiOutput::ThrowStoredFailure(const char* fallback) {
    std::string message = LastErrorMessage();
    const std::int32_t hresult = LastErrorHresult();
    if (message.empty()) {
        message = fallback;
    }
    if (hresult < 0) {
        throw WasapiError(message, hresult);
    }
    throw std::runtime_error(message);
}

void ExactWasapiOutput::Initialize(const std::u16string& endpointId, const EndpointFormat& format,
                                   playback::PlaybackLattice* lattice, WasapiBufferPolicy policy) {
    Shutdown();
    if (endpointId.empty() || format.waveFormat.empty() || lattice == nullptr) {
        throw std::invalid_argument("Incomplete WASAPI stream configuration");
    }
    const bool bufferValid = std::isfinite(policy.bufferMs) && policy.bufferMs >= 1.0 && policy.bufferMs <= 200.0;
    const bool marginValid =
        std::isfinite(policy.safetyMarginMs) && policy.safetyMarginMs >= 0.0 && policy.safetyMarginMs <= 50.0;
    if (!bufferValid || !marginValid) {
        throw std::invalid_argument("Invalid WASAPI buffer policy");
    }
    if (lattice->outputRate() != format.sampleRate) {
        throw std::invalid_argument("Playback lattice rate does not match the requested endpoint format");
    }
    if (lattice->channelCount() != format.channels) {
        throw std::invalid_argument("Playback lattice channel count does not match endpoint format");
    }
    if (static_cast<std::uint32_t>(format.channels) * BytesPerSample(format.kind) != format.BlockAlign()) {
        throw std::invalid_argument("Endpoint block alignment does not match the selected output converter");
    }

    try {
        endpointId_ = endpointId;
        format_ = format;
        policy_ = policy;
        lattice_ = lattice;
        running_.store(false);
        initialised_.store(false);
        ended_.store(false);
        statistics_.clear();
        lastErrorHresult_.store(0);
        {
            std::lock_guard lock(errorLock_);
            lastErrorMessage_.clear();
        }
        closeEvent_.reset();
        pauseEvent_.reset();
        readyEvent_.reset();
        startedEvent_.reset();
        pausedEvent_.set();
        renderThread_ = std::thread([this] { RenderThreadMain(); });
    } catch (...) {
        Shutdown();
        throw;
    }

    const std::uint32_t ready = waitFor(readyEvent_, kReadyWaitMs);
    if (ready == kWaitTimeout) {
        Shutdown();
        throw std::runtime_error("Timed out while initializing the exact WASAPI output format");
    }
    if (ready != 0) {
        Shutdown();
        throw std::runtime_error("WASAPI initialization wait failed");
    }
    if (IsInitialized()) {
        return;
    }
    std::string message = LastErrorMessage();
    const std::int32_t hresult = LastErrorHresult();
    Shutdown();
    if (message.empty()) {
        message = "The exact WASAPI output format could not be initialized";
    }
    if (hresult < 0) {
        throw WasapiError(message, hresult);
    }
    throw std::runtime_error(message);
}

void ExactWasapiOutput::Start() {
    if (IsRunning()) {
        return;
    }
    if (IsInitialized() && renderThread_.joinable() && lattice_ != nullptr) {
        if (!lattice_->prime()) {
            throw std::runtime_error("Playback surrogate could not be primed");
        }
        {
            std::lock_guard lock(errorLock_);
            lastErrorMessage_.clear();
            lastErrorHresult_.store(0);
        }
        pauseEvent_.reset();
        ended_.store(false);
        startedEvent_.reset();
        pausedEvent_.reset();
        playEvent_.set();
        const std::uint32_t started = waitFor(startedEvent_, kStartWaitMs);
        if (started == 0) {
            if (IsRunning() || ended_.load(std::memory_order_acquire)) {
                return;
            }
            ThrowStoredFailure("The initialized WASAPI chain did not start");
        }
        pauseEvent_.set();
        if (started == kWaitTimeout) {
            throw std::runtime_error("Timed out while starting the initialized WASAPI chain");
        }
        throw std::runtime_error("WASAPI start wait failed");
    }
    const std::string stored = LastErrorMessage();
    if (stored.empty()) {
        throw std::logic_error("WASAPI playback chain is not initialized");
    }
    throw std::logic_error("WASAPI playback chain is unavailable: " + stored);
}

std::uint32_t ExactWasapiOutput::Pause() noexcept {
    if (!IsInitialized() || !IsRunning()) {
        return 0;
    }
    pauseEvent_.set();
    return waitFor(pausedEvent_, kPauseWaitMs);
}

void ExactWasapiOutput::RequestPause() noexcept {
    if (IsInitialized()) {
        pauseEvent_.set();
    }
}

void ExactWasapiOutput::Shutdown() noexcept {
    if (renderThread_.joinable()) {
        closeEvent_.set();
        pauseEvent_.set();
        playEvent_.set();
        renderThread_.join();
    }
    running_.store(false);
    initialised_.store(false);
    ended_.store(false);
    statistics_.clear();
    lastErrorHresult_.store(0);
    lattice_ = nullptr;
    endpointId_.clear();
    format_ = EndpointFormat{};
    closeEvent_.reset();
    playEvent_.reset();
    pauseEvent_.reset();
    readyEvent_.reset();
    startedEvent_.reset();
    pausedEvent_.set();
}

}  // namespace al::audio
