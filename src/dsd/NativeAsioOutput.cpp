#include "dsd/NativeAsioOutput.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "dsd/NativeDsdUnpack.h"

namespace al::audio {
namespace {

// The driver's callbacks carry no context: they find the open output here.
std::atomic<Native*> gActive{nullptr};

constexpr const char* kFaultMessage =
    "ASIO underrun, reset request or clock change; playback stopped";

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

void check(platform::AsioResult result, const char* message) {
    if (!platform::asioSucceeded(result)) {
        fail(message);
    }
}

morrow::dsd::DsdByteOrder orderOf(std::int32_t sampleType) noexcept {
    return sampleType == platform::kAsioDsdLsbFirst ? morrow::dsd::DsdByteOrder::LsbFirst
                                                    : morrow::dsd::DsdByteOrder::MsbFirst;
}

}  // namespace

std::vector<AsioDriverEntry> listAsioDrivers() {
    return platform::platformAsioSystem().listDrivers();
}

Native::Native(std::u16string driverIdentity)
    : Native(std::move(driverIdentity), platform::platformAsioSystem()) {}

Native::Native(std::u16string driverIdentity, platform::AsioSystem& system)
    : identity_(std::move(driverIdentity)), system_(system) {}

Native::~Native() {
    release();
}

DsdOutputFormat Native::open(const std::u16string& /*endpointId*/, std::uint32_t frameRate) {
    if (driver_ != nullptr) {
        fail("ASIO already open");
    }
    try {
        openSteps(frameRate);
    } catch (...) {
        release();
        throw;
    }
    DsdOutputFormat format;
    format.frameRate = frameRate;
    format.framesPerBuffer = bufferBits_ / 16u;
    format.carrierBytes = 3;
    format.description = "Native ASIO DSD (no DoP on the wire)";
    return format;
}

void Native::openSteps(std::uint32_t frameRate) {
    if (!system_.initializeCom()) {
        fail("ASIO COM initialization failed");
    }
    comOwned_ = true;

    std::unique_ptr<platform::AsioDriver> driver;
    const platform::AsioCreateResult created = system_.createDriver(identity_, driver);
    if (created == platform::AsioCreateResult::InvalidIdentity) {
        fail("Invalid ASIO driver identity");
    }
    if (created != platform::AsioCreateResult::Created || driver == nullptr) {
        fail("Cannot load selected 64-bit ASIO driver");
    }
    driver_ = std::move(driver);

    if (!driver_->init()) {
        fail("ASIO initialization failed");
    }

    std::int32_t formatType = platform::kAsioFormatDsd;
    check(driver_->setIoFormat(formatType), "Driver does not accept native DSD mode");
    if (formatType != platform::kAsioFormatDsd) {
        fail("Driver rejected native DSD");
    }

    dsdRate_ = static_cast<double>(frameRate) * 16.0;
    check(driver_->canSampleRate(dsdRate_), "Native DSD rate unsupported by driver");
    check(driver_->setSampleRate(dsdRate_), "Cannot set native DSD rate");
    double actualRate = 0.0;
    check(driver_->getSampleRate(actualRate), "Cannot verify ASIO rate");
    if (actualRate != dsdRate_) {
        fail("ASIO rate changed unexpectedly");
    }

    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    check(driver_->getChannels(inputs, outputs), "Cannot query ASIO channels");
    if (outputs < 2) {
        fail("ASIO stereo outputs unavailable");
    }

    platform::AsioBufferSize size;
    check(driver_->getBufferSize(size), "Cannot query ASIO buffer size");
    const std::int32_t preferred = size.preferred;
    if (preferred < 16 || preferred > 0x1000000 || preferred % 16 != 0 ||
        preferred < size.minimum || preferred > size.maximum) {
        fail("Unsupported native DSD buffer alignment/size");
    }
    bufferBits_ = static_cast<std::uint32_t>(preferred);
    halfBytes_ = bufferBits_ / 8u;

    for (std::int32_t channel = 0; channel < 2; ++channel) {
        std::int32_t type = 0;
        check(driver_->getChannelInfo(channel, false, type), "Cannot query ASIO output type");
        if (type != platform::kAsioDsdLsbFirst && type != platform::kAsioDsdMsbFirst) {
            fail("ASIO driver did not expose 1-bit DSD byte output");
        }
        sampleType_[channel] = type;
    }

    if (!wake_.create(platform::Event::Reset::Automatic, false)) {
        fail("Cannot create ASIO wake event");
    }
    queue_.assign(std::size_t{kQueueSlots} * 2u * halfBytes_, kIdle);
    queued_.store(0, std::memory_order_relaxed);
    consumed_.store(0, std::memory_order_relaxed);
    fault_.store(0, std::memory_order_relaxed);

    Native* expected = nullptr;
    if (!gActive.compare_exchange_strong(expected, this, std::memory_order_acq_rel)) {
        fail("Another native ASIO output is active");
    }

    platform::AsioBufferInfo infos[2];
    for (std::int32_t channel = 0; channel < 2; ++channel) {
        infos[channel].isInput = false;
        infos[channel].channel = channel;
    }
    platform::AsioCallbacks callbacks;
    callbacks.bufferSwitch = &Native::onBufferSwitch;
    callbacks.sampleRateDidChange = &Native::onSampleRateChange;
    callbacks.message = &Native::onMessage;
    callbacks.bufferSwitchTimeInfo = &Native::onBufferSwitchTimeInfo;
    check(driver_->createBuffers(infos, preferred, callbacks), "ASIO DSD buffer allocation failed");
    buffersCreated_ = true;
    for (const platform::AsioBufferInfo& info : infos) {
        for (void* half : info.buffers) {
            if (half == nullptr) {
                fail("ASIO returned null output buffer");
            }
        }
    }
    for (std::size_t channel = 0; channel < 2; ++channel) {
        buffers_[channel] = infos[channel];
        std::memset(infos[channel].buffers[0], kIdle, halfBytes_);
        std::memset(infos[channel].buffers[1], kIdle, halfBytes_);
    }

    outputReadySupported_.store(platform::asioSucceeded(driver_->outputReady()),
                                std::memory_order_release);
}

bool Native::wait(std::uint32_t timeoutMs) {
    if (driver_ == nullptr) {
        fail("Output not open");
    }
    if (fault_.load(std::memory_order_acquire) != 0) {
        fail(kFaultMessage);
    }
    const auto hasRoom = [this] {
        return queued_.load(std::memory_order_relaxed) - consumed_.load(std::memory_order_acquire) <
               kQueueSlots;
    };
    if (hasRoom()) {
        return true;
    }
    if (platform::waitFor(wake_, timeoutMs) == platform::kWaitFailed) {
        fail("ASIO event failed");
    }
    if (fault_.load(std::memory_order_acquire) != 0) {
        fail(kFaultMessage);
    }
    return hasRoom();
}

void Native::submit(std::span<const std::uint8_t> buffer) {
    if (driver_ == nullptr) {
        fail("Output not open");
    }
    const std::uint64_t queued = queued_.load(std::memory_order_relaxed);
    if (queued - consumed_.load(std::memory_order_acquire) > kQueueSlots - 1) {
        fail("ASIO queue overflow");
    }
    if (buffer.size() != std::size_t{bufferBits_ / 16u} * 6u) {
        fail("ASIO packing buffer mismatch");
    }
    std::uint8_t* target = slot(queued);
    const std::span<std::uint8_t> channel0(target, halfBytes_);
    const std::span<std::uint8_t> channel1(target + halfBytes_, halfBytes_);
    morrow::dsd::unpackDopFrames(buffer, channel0, channel1, orderOf(sampleType_[0]));
    if (sampleType_[1] != sampleType_[0]) {
        // The two outputs disagree on bit order: channel 1 was unpacked in
        // channel 0's order, so turn each of its bytes round.
        for (std::uint8_t& byte : channel1) {
            byte = morrow::dsd::reverseBits(byte);
        }
    }
    queued_.store(queued + 1, std::memory_order_release);
}

void Native::start() {
    if (driver_ == nullptr) {
        fail("Output not open");
    }
    started_.store(true, std::memory_order_release);
    if (!platform::asioSucceeded(driver_->start())) {
        started_.store(false, std::memory_order_release);
        fail("ASIO start failed");
    }
}

void Native::stop() {
    if (started_.load(std::memory_order_acquire)) {
        driver_->stop();
        started_.store(false, std::memory_order_release);
    }
}

void Native::release() noexcept {
    if (started_.load(std::memory_order_acquire) && driver_ != nullptr) {
        driver_->stop();
    }
    started_.store(false, std::memory_order_release);
    if (buffersCreated_ && driver_ != nullptr) {
        driver_->disposeBuffers();
    }
    buffersCreated_ = false;
    driver_.reset();
    Native* self = this;
    gActive.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    wake_.close();
    if (comOwned_) {
        system_.uninitializeCom();
        comOwned_ = false;
    }
    outputReadySupported_.store(false, std::memory_order_release);
    buffers_[0] = {};
    buffers_[1] = {};
}

std::uint8_t* Native::slot(std::uint64_t counter) noexcept {
    return queue_.data() + static_cast<std::size_t>(counter % kQueueSlots) * 2u * halfBytes_;
}

void Native::raiseFault(std::uint8_t reason) noexcept {
    fault_.fetch_or(reason, std::memory_order_acq_rel);
    wake_.set();
}

void Native::switchHalf(std::int32_t halfIndex) noexcept {
    if (halfIndex < 0 || halfIndex > 1) {
        raiseFault(kFaultBadHalf);
        return;
    }
    auto* channel0 = static_cast<std::uint8_t*>(buffers_[0].buffers[halfIndex]);
    auto* channel1 = static_cast<std::uint8_t*>(buffers_[1].buffers[halfIndex]);
    if (channel0 == nullptr || channel1 == nullptr) {
        return;  // buffers not (or no longer) there
    }
    const std::uint64_t consumed = consumed_.load(std::memory_order_relaxed);
    if (consumed < queued_.load(std::memory_order_acquire)) {
        const std::uint8_t* source = slot(consumed);
        std::memcpy(channel0, source, halfBytes_);
        std::memcpy(channel1, source + halfBytes_, halfBytes_);
        consumed_.store(consumed + 1, std::memory_order_release);
    } else {
        std::memset(channel0, kIdle, halfBytes_);
        std::memset(channel1, kIdle, halfBytes_);
        if (started_.load(std::memory_order_acquire)) {
            fault_.fetch_or(kFaultUnderrun, std::memory_order_acq_rel);
        }
    }
    if (outputReadySupported_.load(std::memory_order_acquire)) {
        driver_->outputReady();
    }
    wake_.set();
}

void Native::onBufferSwitch(std::int32_t halfIndex, std::int32_t /*directProcess*/) noexcept {
    if (Native* active = gActive.load(std::memory_order_acquire)) {
        active->switchHalf(halfIndex);
    }
}

void* Native::onBufferSwitchTimeInfo(void* /*timeInfo*/, std::int32_t halfIndex,
                                     std::int32_t directProcess) noexcept {
    onBufferSwitch(halfIndex, directProcess);
    return nullptr;
}

void Native::onSampleRateChange(double rate) noexcept {
    if (Native* active = gActive.load(std::memory_order_acquire)) {
        if (rate != active->dsdRate_) {
            active->raiseFault(kFaultRateChange);
        }
    }
}

std::int32_t Native::onMessage(std::int32_t selector, std::int32_t value, void* /*message*/,
                               double* /*opt*/) noexcept {
    switch (selector) {
        case platform::kAsioSelectorSupported:
            return (value == platform::kAsioEngineVersion || value == platform::kAsioResetRequest ||
                    value == platform::kAsioResyncRequest ||
                    value == platform::kAsioSupportsTimeInfo)
                       ? 1
                       : 0;
        case platform::kAsioEngineVersion:
            return 2;
        case platform::kAsioResetRequest:
        case platform::kAsioResyncRequest:
            if (Native* active = gActive.load(std::memory_order_acquire)) {
                active->raiseFault(kFaultReset);
            }
            return 1;
        case platform::kAsioSupportsTimeInfo:
            // Drivers ask this routinely right after createBuffers; it is a
            // question about the host, not an event, so it must not end playback.
            return 1;
        default:
            return 0;
    }
}

}  // namespace al::audio
