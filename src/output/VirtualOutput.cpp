#include "output/VirtualOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

namespace al::audio {

using namespace al::platform;

namespace {

using Clock = std::chrono::steady_clock;

constexpr AudioResult kAudioBufferSizeError = audioResult(0x88890016u);
constexpr AudioResult kAudioBufferOperationPending = audioResult(0x8889000Bu);
// How long a free-running device waits for a writer before playing on.
constexpr std::chrono::milliseconds kAbsentWriter{200};
// How often a closed free-running gate is asked again.
constexpr std::chrono::microseconds kGatePoll{100};
// Buffers of room a capture keeps free for the writer.
constexpr std::size_t kCaptureReserveBuffers = 8;
// Longest buffer a stream may ask for.
constexpr std::int64_t kMaximumBufferDuration = 20'000'000;  // 2 s

std::uint32_t framesOf(std::int64_t duration, std::uint32_t rate) noexcept {
    return static_cast<std::uint32_t>(std::llround(static_cast<double>(duration) * rate / 1e7));
}

bool anyMatches(const std::vector<VirtualFormat>& formats,
                const WaveFormatFields& format) noexcept {
    return std::any_of(formats.begin(), formats.end(),
                       [&](const VirtualFormat& candidate) { return candidate.matches(format); });
}

}  // namespace

bool VirtualFormat::matches(const WaveFormatFields& format) const noexcept {
    if (structure == Structure::Plain && format.extensible) {
        return false;
    }
    if (structure == Structure::Extensible && !format.extensible) {
        return false;
    }
    const WaveSampleType type = format.sampleType();
    if (type == WaveSampleType::Other || (type == WaveSampleType::Float) != isFloat) {
        return false;
    }
    return format.consistent() && format.sampleRate == sampleRate && format.channels == channels &&
           format.bitsPerSample == containerBits && format.validBits == validBits;
}

std::vector<VirtualFormat> standardVirtualFormats() {
    struct Layout {
        std::uint16_t container;
        std::uint16_t valid;
        bool isFloat;
    };
    constexpr Layout kLayouts[] = {
        {32, 32, true}, {32, 32, false}, {32, 24, false}, {24, 24, false}, {16, 16, false}};
    constexpr std::uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    std::vector<VirtualFormat> formats;
    for (std::uint16_t channels = 1; channels <= 8; ++channels) {
        for (const std::uint32_t rate : kRates) {
            for (const Layout& layout : kLayouts) {
                formats.push_back({rate, channels, layout.container, layout.valid, layout.isFloat,
                                   VirtualFormat::Structure::Any});
            }
        }
    }
    return formats;
}

// One stream's state, shared by its client, render and clock services and its
// clock thread. The control side (client calls, the clock thread's
// bookkeeping) is guarded by `mutex`; the device's own mutex is only ever
// taken inside it, never the other way round.
//
// The writer's side (getBuffer, releaseBuffer, padding and position) takes no
// lock at all, so a render thread never waits for a clock thread that was
// preempted while holding one: frames written are one atomic counter, and
// the clock publishes each period's figures in one of two cells that a
// reader copies without waiting (see PeriodCells).
struct VirtualStream {
    explicit VirtualStream(std::shared_ptr<VirtualOutput> owner) : device(std::move(owner)) {
        // Never fails in practice; without it the free-running clock falls
        // back to polling for the writer.
        (void)writerEvent.create(Event::Reset::Automatic, false);
    }

    // The figures of the period now playing, as readers without the lock
    // see them.
    struct Period {
        std::uint64_t taken = 0;        // frames written and handed to the device so far
        std::uint64_t playing = 0;      // frames of the period now playing
        std::uint64_t playingData = 0;  // how many of them were written (the rest is silence)
        std::uint64_t playedBase = 0;   // frames played before that period
        std::int64_t sinceNs = 0;       // when it began, on Clock
    };

    // Two cells and a publication count: the holder of `mutex` announces the
    // publication it begins, fills the cell not in use and then makes it
    // current, so the current cell is always complete. A reader copies the
    // current cell and then checks that no publication reusing that cell has
    // begun meanwhile (one that began two publications after the cell was
    // made current); it retries then, but never waits for a writer: a writer
    // stopped halfway is filling the other cell.
    class PeriodCells {
      public:
        void publish(const Period& p) noexcept {
            const std::uint64_t next = count_.load(std::memory_order_relaxed) + 1;
            begun_.store(next, std::memory_order_seq_cst);
            Cell& cell = cells_[next & 1];
            cell.taken.store(p.taken, std::memory_order_seq_cst);
            cell.playing.store(p.playing, std::memory_order_seq_cst);
            cell.playingData.store(p.playingData, std::memory_order_seq_cst);
            cell.playedBase.store(p.playedBase, std::memory_order_seq_cst);
            cell.sinceNs.store(p.sinceNs, std::memory_order_seq_cst);
            count_.store(next, std::memory_order_seq_cst);
        }
        Period read() const noexcept {
            for (;;) {
                const std::uint64_t seen = count_.load(std::memory_order_seq_cst);
                const Cell& cell = cells_[seen & 1];
                Period copy;
                copy.taken = cell.taken.load(std::memory_order_seq_cst);
                copy.playing = cell.playing.load(std::memory_order_seq_cst);
                copy.playingData = cell.playingData.load(std::memory_order_seq_cst);
                copy.playedBase = cell.playedBase.load(std::memory_order_seq_cst);
                copy.sinceNs = cell.sinceNs.load(std::memory_order_seq_cst);
                if (begun_.load(std::memory_order_seq_cst) <= seen + 1) {
                    return copy;
                }
            }
        }

      private:
        struct Cell {
            std::atomic<std::uint64_t> taken{0};
            std::atomic<std::uint64_t> playing{0};
            std::atomic<std::uint64_t> playingData{0};
            std::atomic<std::uint64_t> playedBase{0};
            std::atomic<std::int64_t> sinceNs{0};
        };
        Cell cells_[2];
        std::atomic<std::uint64_t> count_{0};  // publications complete
        std::atomic<std::uint64_t> begun_{0};  // publications begun
    };

    std::shared_ptr<VirtualOutput> device;
    std::mutex mutex;
    std::condition_variable wake;  // the clock's timed waits; notified by stop only

    std::atomic<bool> initialised{false};
    bool needsNewClient = false;  // after a refusal for alignment
    bool holdsDevice = false;
    std::atomic<bool> invalid{false};
    bool started = false;
    std::atomic<bool> stopRequested{false};

    // Fixed once initialised (before any service exists).
    AudioShareMode mode = AudioShareMode::Exclusive;
    std::uint32_t rate = 0;
    std::uint32_t blockAlign = 0;
    std::uint32_t bufferFrames = 0;
    std::uint32_t periodFrames = 0;
    VirtualPace pace = VirtualPace::RealTime;
    std::uint32_t lateEvery = 0;
    std::int64_t lateByNs = 0;
    std::uint64_t invalidateAfter = 0;
    std::uint64_t silentAfter = 0;
    std::int64_t lateIntervalNs = 0;
    std::uint32_t lateBurst = 1;
    Clock::time_point nextLateAt{};
    std::uint32_t lateLeft = 0;
    bool capture = false;
    std::function<bool()> gate;
    std::function<void()> gateWait;

    Event* event = nullptr;
    std::vector<std::uint8_t> staging;

    // The writer's own state: the buffer it holds, and every frame it has
    // released. `bufferOut` is also read by reset.
    std::atomic<bool> bufferOut{false};
    std::uint32_t bufferOutFrames = 0;
    std::atomic<std::uint64_t> written{0};
    // Raised by the free-running clock before it waits for the writer; the
    // writer signals writerEvent only then (a flag and an event, never a
    // lock the clock could hold).
    std::atomic<bool> clockWaiting{false};
    Event writerEvent;
    // Free-running exclusive streams without injected faults: a writer whose
    // release finds the gate open and the stream lock free begins the next
    // period itself, as the clock would at once, instead of waking the clock
    // to wake it back. Two thread hand-overs fewer per period. Fixed once
    // initialised.
    bool writerTicks = false;

    // Clock bookkeeping, under `mutex`; `cells` is its published copy.
    Period period;
    PeriodCells cells;
    Clock::time_point playingSince{};
    std::uint64_t ticks = 0;
    std::uint64_t writtenAtTick = 0;  // frames released when the current period began
    std::thread clock;

    static std::int64_t nsOf(Clock::time_point t) noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    }

    // Frames of the period `p` already played at `nowNs`.
    std::uint64_t playedInPeriod(const Period& p, std::int64_t nowNs) const noexcept {
        if (pace == VirtualPace::FreeRunning || p.playing == 0) {
            return 0;
        }
        const double seconds = static_cast<double>(nowNs - p.sinceNs) * 1e-9;
        const auto frames = static_cast<std::uint64_t>(std::max(0.0, seconds) * rate);
        return std::min(frames, p.playing);
    }
    // Lock-free, from the published period.
    std::uint64_t position(Clock::time_point now) const noexcept {
        const Period p = cells.read();
        return p.playedBase + playedInPeriod(p, nsOf(now));
    }
    // Written frames not yet played. Lock-free.
    std::uint64_t padding(Clock::time_point now) const noexcept {
        const Period p = cells.read();
        const std::uint64_t played = playedInPeriod(p, nsOf(now));
        const std::uint64_t total = written.load(std::memory_order_acquire);
        const std::uint64_t pending = total > p.taken ? total - p.taken : 0;
        return pending + (p.playingData > played ? p.playingData - played : 0);
    }
    // Written frames the device has not taken yet. Lock-free.
    std::uint64_t pendingFrames() const noexcept {
        const std::uint64_t taken = cells.read().taken;
        const std::uint64_t total = written.load(std::memory_order_acquire);
        return total > taken ? total - taken : 0;
    }

    // Ends the period now playing and begins the next one. Returns false when
    // the device has gone away instead. Under `mutex`.
    bool tick(Clock::time_point now, bool& late) {
        std::lock_guard device_lock(device->mutex_);
        return tickWithDevice(now, late);
    }
    // The same with the device's lock already held as well.
    bool tickWithDevice(Clock::time_point now, bool& late) {
        period.playedBase += period.playing;
        const std::uint64_t total = written.load(std::memory_order_acquire);
        writtenAtTick = total;
        const std::uint64_t pending = total > period.taken ? total - period.taken : 0;
        const std::uint64_t take = std::min<std::uint64_t>(pending, periodFrames);
        period.taken += take;
        period.playing = periodFrames;  // missing frames play as silence
        period.playingData = take;
        period.sinceNs = nsOf(now);
        cells.publish(period);
        ++ticks;
        auto& statistics = device->statistics_;
        statistics.framesPlayed += periodFrames;
        if (take < periodFrames) {
            ++statistics.underruns;
        }
        if (invalidateAfter != 0 && ticks > invalidateAfter) {
            invalid.store(true);
            return false;
        }
        late = lateEvery != 0 && lateByNs > 0 && ticks % lateEvery == 0;
        if (lateIntervalNs > 0 && lateByNs > 0) {
            if (ticks == 1) {
                nextLateAt = now + std::chrono::nanoseconds(lateIntervalNs);
            } else if (lateLeft > 0) {
                --lateLeft;
                late = true;
            } else if (now >= nextLateAt) {
                late = true;
                lateLeft = lateBurst > 0 ? lateBurst - 1 : 0;
                nextLateAt = now + std::chrono::nanoseconds(lateIntervalNs);
            }
        }
        ++statistics.eventsSignalled;
        if (late) {
            ++statistics.lateEvents;
        }
        return true;
    }

    // Free-running: waits (without the lock) until the writer has released
    // something since `since`, stop is asked for, or kAbsentWriter passes.
    void waitForWriter(std::unique_lock<std::mutex>& lock, std::uint64_t since) {
        lock.unlock();
        const auto until = Clock::now() + kAbsentWriter;
        clockWaiting.store(true, std::memory_order_seq_cst);
        while (!stopRequested.load() && written.load(std::memory_order_seq_cst) == since) {
            const auto now = Clock::now();
            if (now >= until) {
                break;
            }
            if (writerEvent.valid()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
                waitFor(writerEvent, static_cast<std::uint32_t>(std::max<std::int64_t>(left, 1)));
            } else {
                std::this_thread::sleep_for(kGatePoll);
            }
        }
        clockWaiting.store(false, std::memory_order_relaxed);
        lock.lock();
    }

    void run() {
        const auto periodLength = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<double>(periodFrames) * 1e9 / rate));
        std::unique_lock lock(mutex);
        auto next = Clock::now();
        while (!stopRequested) {
            if (pace == VirtualPace::FreeRunning && gate) {
                while (!stopRequested && !gate()) {
                    if (gateWait) {
                        lock.unlock();
                        gateWait();
                        lock.lock();
                    } else {
                        wake.wait_for(lock, kGatePoll);
                    }
                }
                if (stopRequested) {
                    return;
                }
            }
            const auto now = Clock::now();
            bool late = false;
            if (!tick(now, late)) {
                return;
            }
            Event* target = silentAfter != 0 && ticks > silentAfter ? nullptr : event;
            if (late) {
                const auto signalAt = now + std::chrono::nanoseconds(lateByNs);
                wake.wait_until(lock, signalAt, [&] { return stopRequested.load(); });
                if (stopRequested) {
                    return;
                }
            }
            if (target != nullptr) {
                // Signalled without the lock: the writer it wakes must not
                // find the lock still held by this thread.
                lock.unlock();
                target->set();
                lock.lock();
            }
            next += periodLength;
            if (pace == VirtualPace::RealTime) {
                wake.wait_until(lock, next, [&] { return stopRequested.load(); });
            } else {
                // Free-running: the next period begins once the writer has
                // answered this event; a writer silent for longer than
                // kAbsentWriter is taken as gone and the device plays on.
                // A writer that began the next period itself (writerTicks)
                // is waited for again from that period on.
                for (;;) {
                    const std::uint64_t ticksBefore = ticks;
                    waitForWriter(lock, writtenAtTick);
                    if (ticks == ticksBefore || stopRequested) {
                        break;
                    }
                }
                next = Clock::now();
            }
        }
    }

    // The writer's side of writerTicks, after a release: begins the next
    // period when the clock would begin it at once (the gate open, the stream
    // running) and the stream's and the device's locks are free. Never waits:
    // when either lock is held, or the gate is closed, the clock thread
    // begins the period as usual. Returns whether it did.
    bool tickForWriter() noexcept {
        std::unique_lock lock(mutex, std::try_to_lock);
        if (!lock.owns_lock() || !started || stopRequested.load() || (gate && !gate())) {
            return false;
        }
        std::unique_lock device_lock(device->mutex_, std::try_to_lock);
        if (!device_lock.owns_lock()) {
            return false;
        }
        bool late = false;
        if (!tickWithDevice(Clock::now(), late)) {
            return true;  // gone away; never reached, invalidation excludes writerTicks
        }
        device_lock.unlock();
        Event* const target = event;
        lock.unlock();
        if (target != nullptr) {
            target->set();
        }
        return true;
    }

    // Called with the lock held and the thread joined: the unplayed part of
    // the current period goes back in front of what is pending.
    void fold(Clock::time_point now) noexcept {
        const std::uint64_t played = playedInPeriod(period, nsOf(now));
        period.playedBase += played;
        period.taken -= period.playingData > played ? period.playingData - played : 0;
        period.playing = 0;
        period.playingData = 0;
        cells.publish(period);
    }
};

// The writer's calls take no lock (see VirtualStream); only capturing, a
// test facility, takes the device's lock and allocates.
class VirtualRenderService final : public AudioRenderService {
  public:
    explicit VirtualRenderService(std::shared_ptr<VirtualStream> stream)
        : stream_(std::move(stream)) {}

    AudioResult getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept override {
        VirtualStream& s = *stream_;
        if (s.invalid.load(std::memory_order_acquire)) {
            return kAudioDeviceInvalidated;
        }
        if (s.bufferOut.load(std::memory_order_relaxed)) {
            return kAudioOutOfOrder;
        }
        const std::uint64_t queued =
            s.mode == AudioShareMode::Exclusive ? s.pendingFrames() : s.padding(Clock::now());
        if (frames > s.bufferFrames || queued + frames > s.bufferFrames) {
            return kAudioBufferTooLarge;
        }
        data = s.staging.data();
        s.bufferOut.store(true, std::memory_order_relaxed);
        s.bufferOutFrames = frames;
        return kAudioOk;
    }

    AudioResult releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept override {
        VirtualStream& s = *stream_;
        if (s.invalid.load(std::memory_order_acquire)) {
            return kAudioDeviceInvalidated;
        }
        if (!s.bufferOut.load(std::memory_order_relaxed)) {
            return kAudioOutOfOrder;
        }
        if (frames > s.bufferOutFrames) {
            return kAudioInvalidSize;
        }
        const std::size_t bytes = static_cast<std::size_t>(frames) * s.blockAlign;
        if ((flags & kAudioBufferSilent) != 0) {
            std::memset(s.staging.data(), 0, bytes);
        }
        s.bufferOut.store(false, std::memory_order_relaxed);
        AudioResult result = kAudioOk;
        if (s.capture) {
            std::lock_guard device_lock(s.device->mutex_);
            try {
                s.device->capture_.insert(s.device->capture_.end(), s.staging.begin(),
                                          s.staging.begin() + static_cast<std::ptrdiff_t>(bytes));
            } catch (const std::exception&) {
                result = kAudioOutOfMemory;
            }
        }
        if (result == kAudioOk) {
            s.device->framesWritten_.fetch_add(frames, std::memory_order_relaxed);
            s.written.fetch_add(frames, std::memory_order_seq_cst);
            const bool ticked = s.writerTicks && s.tickForWriter();
            if (!ticked && s.clockWaiting.load(std::memory_order_seq_cst)) {
                s.writerEvent.set();
            }
        }
        return result;
    }

  private:
    std::shared_ptr<VirtualStream> stream_;
};

class VirtualClockService final : public AudioClockService {
  public:
    explicit VirtualClockService(std::shared_ptr<VirtualStream> stream)
        : stream_(std::move(stream)) {}

    // The clock counts bytes, as many WASAPI devices do.
    AudioResult getFrequency(std::uint64_t& frequency) noexcept override {
        frequency = static_cast<std::uint64_t>(stream_->rate) * stream_->blockAlign;
        return kAudioOk;
    }
    // Lock-free: the render thread asks while it drains.
    AudioResult getPosition(std::uint64_t& position) noexcept override {
        if (stream_->invalid.load(std::memory_order_acquire)) {
            return kAudioDeviceInvalidated;
        }
        position = stream_->position(Clock::now()) * stream_->blockAlign;
        return kAudioOk;
    }

  private:
    std::shared_ptr<VirtualStream> stream_;
};

class VirtualClient final : public AudioClient {
  public:
    explicit VirtualClient(std::shared_ptr<VirtualOutput> device)
        : stream_(std::make_shared<VirtualStream>(std::move(device))) {}

    ~VirtualClient() override {
        stop();
        std::lock_guard lock(stream_->mutex);
        if (stream_->holdsDevice) {
            std::lock_guard device_lock(stream_->device->mutex_);
            stream_->device->streamOpen_ = false;
            stream_->holdsDevice = false;
        }
        // Services still held keep the state alive but may no longer signal.
        stream_->event = nullptr;
    }

    AudioResult isExclusiveFormatSupported(std::span<const std::uint8_t> format) noexcept override {
        const auto fields = parseWaveFormat(format);
        VirtualOutput& device = *stream_->device;
        std::lock_guard device_lock(device.mutex_);
        ++device.statistics_.formatQueries;
        if (device.config_.busy || (device.streamOpen_ && !stream_->holdsDevice)) {
            return kAudioDeviceInUse;
        }
        if (!fields || !fields->consistent() ||
            !anyMatches(device.config_.acceptedFormats, *fields)) {
            return device.config_.refuseWithClosestMatch ? kAudioFalse : kAudioUnsupportedFormat;
        }
        return kAudioOk;
    }

    AudioResult getDevicePeriod(std::int64_t& defaultPeriod,
                                std::int64_t& minimumPeriod) noexcept override {
        std::lock_guard device_lock(stream_->device->mutex_);
        defaultPeriod = stream_->device->config_.defaultPeriod;
        minimumPeriod = stream_->device->config_.minimumPeriod;
        return kAudioOk;
    }

    AudioResult initialize(AudioShareMode mode, std::int64_t bufferDuration,
                           std::int64_t periodicity,
                           std::span<const std::uint8_t> format) noexcept override {
        VirtualStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (s.initialised || s.needsNewClient) {
            return kAudioAlreadyInitialized;
        }
        const auto fields = parseWaveFormat(format);
        if (!fields || !fields->consistent()) {
            return kAudioUnsupportedFormat;
        }
        VirtualOutput& device = *s.device;
        std::lock_guard device_lock(device.mutex_);
        const VirtualOutputConfig& config = device.config_;
        if (config.busy || device.streamOpen_) {
            return kAudioDeviceInUse;
        }
        if (!anyMatches(config.acceptedFormats, *fields) ||
            anyMatches(config.refusedAtInitialize, *fields)) {
            return kAudioUnsupportedFormat;
        }
        const std::uint32_t rate = fields->sampleRate;
        std::uint32_t bufferFrames = 0;
        std::uint32_t periodFrames = 0;
        if (mode == AudioShareMode::Exclusive) {
            if (bufferDuration != periodicity) {
                return kAudioPeriodNotEqual;
            }
            if (periodicity < config.minimumPeriod) {
                return kAudioInvalidDevicePeriod;
            }
            if (bufferDuration > kMaximumBufferDuration) {
                return kAudioBufferSizeError;
            }
            const std::int64_t granted =
                config.maximumExclusiveBuffer > 0
                    ? std::min(bufferDuration, config.maximumExclusiveBuffer)
                    : bufferDuration;
            bufferFrames = framesOf(granted, rate);
            if (bufferFrames == 0) {
                return kAudioInvalidDevicePeriod;
            }
            const std::uint32_t alignment = config.bufferAlignmentFrames;
            if (alignment != 0 && bufferFrames % alignment != 0) {
                s.bufferFrames = std::max(alignment, bufferFrames / alignment * alignment);
                s.needsNewClient = true;
                return kAudioBufferSizeNotAligned;
            }
            periodFrames = bufferFrames;
        } else {
            if (bufferDuration < 0 || bufferDuration > kMaximumBufferDuration || periodicity != 0) {
                return kAudioInvalidArgument;
            }
            periodFrames = std::max<std::uint32_t>(1, framesOf(config.defaultPeriod, rate));
            bufferFrames = std::max(framesOf(bufferDuration, rate), 2 * periodFrames);
        }
        try {
            s.staging.assign(static_cast<std::size_t>(bufferFrames) * fields->blockAlign, 0);
            if (config.captureWrites) {
                // Room for the buffers a drainer lets pile up between two
                // takes, so that the capture does not grow (copying every
                // byte into fresh pages) while the writer writes.
                device.captureReserve_ = kCaptureReserveBuffers * s.staging.size();
                device.capture_.reserve(device.captureReserve_);
            }
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        s.mode = mode;
        s.rate = rate;
        s.blockAlign = fields->blockAlign;
        s.bufferFrames = bufferFrames;
        s.periodFrames = periodFrames;
        s.pace = config.pace;
        s.lateEvery = config.lateEveryNthEvent;
        s.lateByNs = config.lateByNs;
        s.lateIntervalNs = config.lateIntervalNs;
        s.lateBurst = config.lateBurst;
        s.lateLeft = 0;
        s.invalidateAfter = config.invalidateAfterEvents;
        s.silentAfter = config.silentAfterEvents;
        s.capture = config.captureWrites;
        s.gate = config.freeRunningGate;
        s.gateWait = config.freeRunningGateWait;
        s.writerTicks = s.pace == VirtualPace::FreeRunning && mode == AudioShareMode::Exclusive &&
                        s.lateEvery == 0 && s.lateIntervalNs == 0 && s.invalidateAfter == 0 &&
                        s.silentAfter == 0;
        s.initialised = true;
        s.holdsDevice = true;
        device.streamOpen_ = true;
        ++device.statistics_.streamsInitialized;
        return kAudioOk;
    }

    AudioResult setEventHandle(Event& event) noexcept override {
        std::lock_guard lock(stream_->mutex);
        if (!stream_->initialised) {
            return kAudioNotInitialized;
        }
        stream_->event = &event;
        return kAudioOk;
    }

    AudioResult getBufferSize(std::uint32_t& frames) noexcept override {
        std::lock_guard lock(stream_->mutex);
        if (!stream_->initialised && !stream_->needsNewClient) {
            return kAudioNotInitialized;
        }
        frames = stream_->bufferFrames;
        return kAudioOk;
    }

    // Lock-free: a shared-mode render thread asks before every pass.
    AudioResult getCurrentPadding(std::uint32_t& frames) noexcept override {
        if (stream_->invalid.load(std::memory_order_acquire)) {
            return kAudioDeviceInvalidated;
        }
        if (!stream_->initialised.load(std::memory_order_acquire)) {
            return kAudioNotInitialized;
        }
        frames = static_cast<std::uint32_t>(stream_->padding(Clock::now()));
        return kAudioOk;
    }

    AudioResult getRenderService(std::unique_ptr<AudioRenderService>& service) noexcept override {
        if (!initialised()) {
            return kAudioNotInitialized;
        }
        try {
            service = std::make_unique<VirtualRenderService>(stream_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

    AudioResult getClockService(std::unique_ptr<AudioClockService>& service) noexcept override {
        if (!initialised()) {
            return kAudioNotInitialized;
        }
        try {
            service = std::make_unique<VirtualClockService>(stream_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

    AudioResult start() noexcept override {
        VirtualStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (s.invalid) {
            return kAudioDeviceInvalidated;
        }
        if (!s.initialised) {
            return kAudioNotInitialized;
        }
        if (s.started) {
            return kAudioNotStopped;
        }
        if (s.event == nullptr) {
            return kAudioEventHandleNotSet;
        }
        s.stopRequested = false;
        try {
            s.clock = std::thread([stream = stream_] { stream->run(); });
        } catch (const std::exception&) {
            return kAudioFail;
        }
        s.started = true;
        return kAudioOk;
    }

    AudioResult stop() noexcept override {
        VirtualStream& s = *stream_;
        std::thread clock;
        {
            std::lock_guard lock(s.mutex);
            if (!s.started) {
                return s.initialised ? kAudioFalse : kAudioNotInitialized;
            }
            s.stopRequested = true;
            clock = std::move(s.clock);
        }
        s.wake.notify_all();
        s.writerEvent.set();
        clock.join();
        std::lock_guard lock(s.mutex);
        s.fold(Clock::now());
        s.started = false;
        return s.invalid ? kAudioDeviceInvalidated : kAudioOk;
    }

    AudioResult reset() noexcept override {
        VirtualStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (!s.initialised) {
            return kAudioNotInitialized;
        }
        if (s.started) {
            return kAudioNotStopped;
        }
        if (s.bufferOut.load()) {
            return kAudioBufferOperationPending;
        }
        s.period = VirtualStream::Period{};
        s.period.taken = s.written.load();
        s.cells.publish(s.period);
        return kAudioOk;
    }

  private:
    bool initialised() const {
        std::lock_guard lock(stream_->mutex);
        return stream_->initialised;
    }

    std::shared_ptr<VirtualStream> stream_;
};

class VirtualVolume final : public AudioVolumeControl {
  public:
    explicit VirtualVolume(std::shared_ptr<VirtualOutput> device) : device_(std::move(device)) {}

    AudioResult queryHardwareSupport(std::uint32_t& mask) noexcept override {
        std::lock_guard lock(device_->mutex_);
        mask = device_->config_.hardwareSupportMask;
        return kAudioOk;
    }
    AudioResult setMasterLevelScalar(float level) noexcept override {
        if (!(level >= 0.0f && level <= 1.0f)) {
            return kAudioInvalidArgument;
        }
        std::lock_guard lock(device_->mutex_);
        device_->level_ = level;
        return kAudioOk;
    }
    AudioResult getMasterLevelScalar(float& level) noexcept override {
        std::lock_guard lock(device_->mutex_);
        level = device_->level_;
        return kAudioOk;
    }

  private:
    std::shared_ptr<VirtualOutput> device_;
};

class VirtualDevice final : public AudioDevice {
  public:
    explicit VirtualDevice(std::shared_ptr<VirtualOutput> device) : device_(std::move(device)) {}

    AudioResult getId(std::u16string& id) noexcept override {
        try {
            id = device_->config().id;
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult openProperties() noexcept override {
        propertiesOpen_ = true;
        return kAudioOk;
    }
    AudioResult readFriendlyName(std::optional<std::u16string>& name) noexcept override {
        if (!propertiesOpen_) {
            return kAudioNotInitialized;
        }
        try {
            name = device_->config().name;
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult activateClient(std::unique_ptr<AudioClient>& client) noexcept override {
        try {
            client = std::make_unique<VirtualClient>(device_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult activateVolume(std::unique_ptr<AudioVolumeControl>& volume) noexcept override {
        try {
            volume = std::make_unique<VirtualVolume>(device_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

  private:
    std::shared_ptr<VirtualOutput> device_;
    bool propertiesOpen_ = false;
};

VirtualOutput::VirtualOutput(VirtualOutputConfig config) : config_(std::move(config)) {}

std::shared_ptr<VirtualOutput> VirtualOutput::create(VirtualOutputConfig config) {
    return std::shared_ptr<VirtualOutput>(new VirtualOutput(std::move(config)));
}

void VirtualOutput::configure(VirtualOutputConfig config) {
    std::lock_guard lock(mutex_);
    config_ = std::move(config);
}

VirtualOutputConfig VirtualOutput::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

std::unique_ptr<platform::AudioDevice> VirtualOutput::openDevice() {
    {
        std::lock_guard lock(mutex_);
        ++statistics_.devicesOpened;
    }
    return std::make_unique<VirtualDevice>(shared_from_this());
}

std::vector<std::uint8_t> VirtualOutput::captured() const {
    std::lock_guard lock(mutex_);
    return capture_;
}

std::vector<std::uint8_t> VirtualOutput::takeCaptured() {
    std::vector<std::uint8_t> taken;
    std::lock_guard lock(mutex_);
    taken.swap(capture_);
    return taken;
}

void VirtualOutput::takeCaptured(std::vector<std::uint8_t>& into) {
    into.clear();
    std::lock_guard lock(mutex_);
    into.swap(capture_);
    reserveCapture();
}

// The storage handed back by a take may be smaller (the caller's first
// vector): it becomes the room set aside at initialisation, its pages
// written once here on the draining thread, so that the writer neither
// grows the capture (copying it into fresh pages) nor takes the first touch
// of those pages.
void VirtualOutput::reserveCapture() {
    if (capture_.capacity() >= captureReserve_) {
        return;
    }
    const std::size_t held = capture_.size();
    capture_.reserve(captureReserve_);
    capture_.resize(captureReserve_);
    capture_.resize(held);
}

void VirtualOutput::clearCapture() {
    std::lock_guard lock(mutex_);
    capture_.clear();
}

VirtualOutputStatistics VirtualOutput::statistics() const {
    std::lock_guard lock(mutex_);
    VirtualOutputStatistics copy = statistics_;
    copy.framesWritten = framesWritten_.load(std::memory_order_relaxed);
    return copy;
}

float VirtualOutput::level() const {
    std::lock_guard lock(mutex_);
    return level_;
}

bool VirtualOutput::streamOpen() const {
    std::lock_guard lock(mutex_);
    return streamOpen_;
}

namespace {

// "8ms", "2s", "500us", "1.5ms" as nanoseconds; false when it is none.
bool parseDuration(const std::string& text, std::int64_t& ns) {
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    const std::string unit = text.substr(used);
    double scale = 0.0;
    if (unit == "us") {
        scale = 1e3;
    } else if (unit == "ms") {
        scale = 1e6;
    } else if (unit == "s") {
        scale = 1e9;
    } else {
        return false;
    }
    if (!std::isfinite(value) || value < 0.0 || value * scale > 3.6e12) {
        return false;
    }
    ns = static_cast<std::int64_t>(std::llround(value * scale));
    return true;
}

}  // namespace

std::optional<VirtualOutputConfig> ParseVirtualDeviceId(const std::string& id,
                                                        VirtualOutputConfig base) {
    const std::string prefix(base.id.begin(), base.id.end());
    if (base.id.empty() ||
        std::any_of(base.id.begin(), base.id.end(), [](char16_t c) { return c > 0x7F; })) {
        return std::nullopt;
    }
    if (id == prefix) {
        return base;
    }
    if (id.size() < prefix.size() + 1 || id.compare(0, prefix.size(), prefix) != 0 ||
        id[prefix.size()] != ':') {
        return std::nullopt;
    }
    std::string rest = id.substr(prefix.size() + 1);
    std::size_t start = 0;
    while (start <= rest.size()) {
        const std::size_t comma = rest.find(',', start);
        const std::string option =
            rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const auto invalid = [&] {
            return std::invalid_argument("Invalid virtual output option: " + option);
        };
        if (option == "busy") {
            base.busy = true;
        } else if (option.rfind("cap=", 0) == 0) {
            std::int64_t ns = 0;
            if (!parseDuration(option.substr(4), ns) || ns < 100) {
                throw invalid();
            }
            base.maximumExclusiveBuffer = ns / 100;
        } else if (option.rfind("late=", 0) == 0) {
            const std::string value = option.substr(5);
            const std::size_t slash = value.find('/');
            if (slash == std::string::npos) {
                throw invalid();
            }
            std::string interval = value.substr(slash + 1);
            std::uint32_t burst = 1;
            const std::size_t times = interval.find('x');
            if (times != std::string::npos) {
                const std::string count = interval.substr(times + 1);
                if (count.empty() || count.size() > 3 ||
                    count.find_first_not_of("0123456789") != std::string::npos) {
                    throw invalid();
                }
                burst = static_cast<std::uint32_t>(std::stoul(count));
                interval = interval.substr(0, times);
            }
            std::int64_t late = 0;
            std::int64_t every = 0;
            if (!parseDuration(value.substr(0, slash), late) || !parseDuration(interval, every) ||
                late <= 0 || every <= 0 || burst == 0) {
                throw invalid();
            }
            base.lateByNs = late;
            base.lateIntervalNs = every;
            base.lateBurst = burst;
        } else {
            throw invalid();
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return base;
}

}  // namespace al::audio
