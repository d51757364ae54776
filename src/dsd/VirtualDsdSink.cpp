#include "dsd/VirtualDsdSink.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/CpuTime.h"

namespace morrow::dsd {

namespace {

using Clock = std::chrono::steady_clock;

// How often a free-running device looks again while it has nothing to take
// or has been told to stop signalling.
constexpr std::uint32_t kIdlePollMs = 5;
constexpr std::uint32_t kMaximumQueueDepth = 64;

std::uint32_t millisecondsUntil(Clock::time_point when) noexcept {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0u : static_cast<std::uint32_t>(std::min<long long>(left, 60'000));
}

}  // namespace

VirtualDsdSink::VirtualDsdSink(VirtualDsdSinkOptions options,
                               std::shared_ptr<VirtualDsdSinkMonitor> monitor)
    : options_(std::move(options)),
      monitor_(monitor != nullptr ? std::move(monitor) : std::make_shared<VirtualDsdSinkMonitor>()),
      m_(*monitor_) {
    if ((options_.carrierBytes != 3 && options_.carrierBytes != 4) || options_.queueDepth == 0 ||
        options_.queueDepth > kMaximumQueueDepth) {
        throw std::invalid_argument("Invalid virtual DSD sink options");
    }
}

VirtualDsdSink::~VirtualDsdSink() {
    stop();
}

al::audio::DsdOutputFormat VirtualDsdSink::open(const std::u16string& endpointId,
                                                std::uint32_t frameRate) {
    if (open_) {
        throw std::runtime_error("Output is already open");
    }
    if (endpointId.empty()) {
        throw std::runtime_error("An exact endpoint ID is required");
    }
    if (!options_.endpointId.empty() && endpointId != options_.endpointId) {
        throw std::runtime_error("Selected audio endpoint is no longer active");
    }
    if (!options_.openFailure.empty()) {
        throw std::runtime_error(options_.openFailure);
    }
    if (frameRate == 0) {
        throw std::invalid_argument("Virtual DSD sink needs a frame rate");
    }
    const std::uint32_t frames = options_.framesPerBuffer != 0
                                     ? options_.framesPerBuffer
                                     : std::max<std::uint32_t>(2, frameRate / 100 / 2 * 2);
    if (!m_.dataEvent.valid() || !m_.spaceEvent.valid() ||
        !stopEvent_.create(al::platform::Event::Reset::Manual, false)) {
        throw std::runtime_error("Cannot create virtual DSD sink events");
    }
    format_.frameRate = frameRate;
    format_.framesPerBuffer = frames;
    format_.carrierBytes = options_.carrierBytes;
    format_.description = options_.description;
    bufferBytes_ = format_.bufferBytes();
    slots_.assign(bufferBytes_ * options_.queueDepth, 0);

    al::audio::DsdOutputFormat reported = format_;
    if (options_.reportedFrameRate) {
        reported.frameRate = *options_.reportedFrameRate;
    }
    if (options_.reportedFramesPerBuffer) {
        reported.framesPerBuffer = *options_.reportedFramesPerBuffer;
    }
    {
        std::lock_guard lock(m_.mutex);
        m_.opened = reported;
    }
    // Buffers a previous sink on this monitor left unplayed are not ours.
    m_.consumed.store(m_.queued.load(std::memory_order_relaxed), std::memory_order_release);
    open_ = true;
    return reported;
}

bool VirtualDsdSink::wait(std::uint32_t timeoutMs) {
    if (!open_) {
        throw std::runtime_error("Output not open");
    }
    m_.waits.fetch_add(1, std::memory_order_relaxed);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_.fault.load(std::memory_order_acquire)) {
            throw std::runtime_error(kUnderrunText);
        }
        const std::uint64_t queued = m_.queued.load(std::memory_order_relaxed);
        if (queued - m_.consumed.load(std::memory_order_acquire) < options_.queueDepth) {
            return true;
        }
        const std::uint32_t left = millisecondsUntil(deadline);
        const std::uint32_t result = al::platform::waitFor(m_.spaceEvent, left);
        if (result == al::platform::kWaitTimeout) {
            if (m_.queued.load(std::memory_order_relaxed) -
                    m_.consumed.load(std::memory_order_acquire) <
                options_.queueDepth) {
                return true;
            }
            m_.waitTimeouts.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        if (result != 0) {
            throw std::runtime_error("Audio event/device failure");
        }
    }
}

void VirtualDsdSink::submit(std::span<const std::uint8_t> buffer) {
    if (!open_) {
        throw std::runtime_error("Output not open");
    }
    if (buffer.size() != bufferBytes_) {
        throw std::runtime_error("DoP buffer size mismatch");
    }
    const std::uint64_t queued = m_.queued.load(std::memory_order_relaxed);
    if (queued - m_.consumed.load(std::memory_order_acquire) >= options_.queueDepth) {
        throw std::runtime_error("Virtual DSD sink queue overflow");
    }
    std::memcpy(slots_.data() + (queued % options_.queueDepth) * bufferBytes_, buffer.data(),
                bufferBytes_);
    m_.queued.store(queued + 1, std::memory_order_release);
    m_.dataEvent.set();
}

void VirtualDsdSink::start() {
    if (!open_) {
        throw std::runtime_error("Output not open");
    }
    if (m_.started.load(std::memory_order_relaxed)) {
        return;
    }
    stopRequested_.store(false, std::memory_order_relaxed);
    stopEvent_.reset();
    consumedSinceStart_ = 0;
    device_ = std::thread([this] { run(); });
    m_.started.store(true, std::memory_order_release);
}

void VirtualDsdSink::stop() {
    if (!m_.started.load(std::memory_order_relaxed)) {
        return;
    }
    stopRequested_.store(true, std::memory_order_release);
    stopEvent_.set();
    if (device_.joinable()) {
        device_.join();
    }
    m_.started.store(false, std::memory_order_release);
}

void VirtualDsdSink::consumeOne() {
    const std::uint64_t consumed = m_.consumed.load(std::memory_order_relaxed);
    if (options_.capture) {
        const std::uint8_t* slot = slots_.data() + (consumed % options_.queueDepth) * bufferBytes_;
        std::lock_guard lock(m_.mutex);
        m_.capture.insert(m_.capture.end(), slot, slot + bufferBytes_);
    }
    m_.consumed.store(consumed + 1, std::memory_order_release);
    ++consumedSinceStart_;
    m_.spaceEvent.set();
}

void VirtualDsdSink::run() {
    // The device thread never lets an exception out: a failure (a capture
    // that cannot grow) becomes the sticky fault the engine sees at its
    // next wait.
    try {
        const auto takes = [&] {
            return m_.signalling.load(std::memory_order_acquire) &&
                   (options_.stopSignallingAfter == 0 ||
                    consumedSinceStart_ < options_.stopSignallingAfter);
        };
        const auto hasBuffer = [&] {
            return m_.queued.load(std::memory_order_acquire) !=
                   m_.consumed.load(std::memory_order_relaxed);
        };
        if (options_.pace == DsdSinkPace::FreeRunning) {
            al::platform::Event* const events[] = {&stopEvent_, &m_.dataEvent};
            while (!stopRequested_.load(std::memory_order_acquire)) {
                if (takes() && hasBuffer()) {
                    consumeOne();
                    continue;
                }
                if (al::platform::waitForAny(events, kIdlePollMs) == 0) {
                    return;
                }
            }
            return;
        }
        const auto period = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<double>(format_.framesPerBuffer) * 1e9 /
                                      static_cast<double>(format_.frameRate)));
        auto next = Clock::now();
        const double cpu0 = al::platform::threadCpuSeconds();
        while (!stopRequested_.load(std::memory_order_acquire)) {
            m_.deviceCpuSeconds.store(al::platform::threadCpuSeconds() - cpu0,
                                      std::memory_order_relaxed);
            if (takes()) {
                if (hasBuffer()) {
                    consumeOne();
                } else {
                    m_.underruns.fetch_add(1, std::memory_order_relaxed);
                    if (options_.failOnUnderrun) {
                        m_.fault.store(true, std::memory_order_release);
                        m_.spaceEvent.set();
                    }
                }
            }
            next += period;
            // One wake-up per period: the wait runs to the next whole
            // millisecond at or after the period's end (periods stay on
            // their own grid, so the pace has no drift; each is at most
            // 1 ms late).
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            const auto ms = static_cast<std::uint32_t>(std::clamp<long long>(left, 0, 60'000));
            if (al::platform::waitFor(stopEvent_, ms) == 0) {
                return;
            }
        }
    } catch (...) {
        m_.fault.store(true, std::memory_order_release);
        m_.spaceEvent.set();
    }
}

VirtualDsdSinkMonitor::VirtualDsdSinkMonitor() noexcept {
    // Made once, so fault switches may be used from another thread at any
    // time; a sink that finds them invalid refuses to open.
    dataEvent.create(al::platform::Event::Reset::Automatic, false);
    spaceEvent.create(al::platform::Event::Reset::Automatic, false);
}

std::vector<std::uint8_t> VirtualDsdSinkMonitor::captured() const {
    std::lock_guard lock(mutex);
    return capture;
}

std::vector<std::uint8_t> VirtualDsdSinkMonitor::takeCaptured() {
    std::vector<std::uint8_t> taken;
    std::lock_guard lock(mutex);
    taken.swap(capture);
    return taken;
}

VirtualDsdSinkStatistics VirtualDsdSinkMonitor::statistics() const {
    VirtualDsdSinkStatistics s;
    s.buffersSubmitted = queued.load(std::memory_order_acquire);
    s.buffersConsumed = consumed.load(std::memory_order_acquire);
    s.underruns = underruns.load(std::memory_order_relaxed);
    s.waits = waits.load(std::memory_order_relaxed);
    s.waitTimeouts = waitTimeouts.load(std::memory_order_relaxed);
    s.deviceCpuSeconds = deviceCpuSeconds.load(std::memory_order_relaxed);
    s.started = started.load(std::memory_order_acquire);
    s.open = openedFormat().has_value();
    return s;
}

std::optional<al::audio::DsdOutputFormat> VirtualDsdSinkMonitor::openedFormat() const {
    std::lock_guard lock(mutex);
    return opened;
}

void VirtualDsdSinkMonitor::setSignalling(bool on) noexcept {
    signalling.store(on, std::memory_order_release);
    if (on) {
        dataEvent.set();
    }
}

void VirtualDsdSinkMonitor::injectUnderrun() noexcept {
    fault.store(true, std::memory_order_release);
    spaceEvent.set();
}

}  // namespace morrow::dsd
