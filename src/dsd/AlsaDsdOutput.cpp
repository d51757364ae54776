#include "dsd/AlsaDsdOutput.h"

#include <algorithm>
#include <stdexcept>

#include "dsd/NativeDsdUnpack.h"

namespace morrow::dsd {

using al::platform::DsdPlaybackDevice;
using al::platform::DsdResult;
using al::platform::DsdSampleFormat;
using al::platform::DsdStreamSettings;

namespace {

constexpr const char* kFaultText = "Native DSD underrun or device failure; playback stopped";

// About 10 ms a buffer; the device holds four.
constexpr std::uint32_t kBuffersPerSecond = 100;
constexpr std::uint32_t kDeviceBuffers = 4;

[[noreturn]] void failWith(const char* what, const DsdPlaybackDevice& device) {
    std::string text(what);
    const std::string detail = device.detail();
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    throw std::runtime_error(text);
}

}  // namespace

std::uint32_t nativeDsdSampleRate(DsdSampleFormat format, std::uint64_t dsdRate) noexcept {
    const std::uint64_t bits = 8ull * al::platform::dsdSampleBytes(format);
    if (dsdRate == 0 || dsdRate % bits != 0 || dsdRate / bits > 0xFFFFFFFFull) {
        return 0;
    }
    return static_cast<std::uint32_t>(dsdRate / bits);
}

std::optional<DsdSampleFormat> chooseNativeDsdFormat(DsdPlaybackDevice& device,
                                                     std::uint64_t dsdRate) noexcept {
    for (const DsdSampleFormat format : al::platform::kDsdSampleFormats) {
        const std::uint32_t rate = nativeDsdSampleRate(format, dsdRate);
        if (rate != 0 && device.supports(format, 2, rate) == DsdResult::Ok) {
            return format;
        }
    }
    return std::nullopt;
}

void interleaveNativeDsd(std::span<const std::uint8_t> channel0,
                         std::span<const std::uint8_t> channel1, DsdSampleFormat format,
                         std::span<std::uint8_t> out) {
    const std::size_t bytes = al::platform::dsdSampleBytes(format);
    const std::size_t count = channel0.size();
    if (channel1.size() != count || count % bytes != 0 || out.size() < 2 * count) {
        throw std::invalid_argument("Invalid native DSD packing span");
    }
    const std::uint8_t* c0 = channel0.data();
    const std::uint8_t* c1 = channel1.data();
    std::uint8_t* o = out.data();
    const std::size_t samples = count / bytes;
    if (al::platform::dsdSampleBigEndian(format)) {
        for (std::size_t s = 0; s < samples; ++s) {
            for (std::size_t b = 0; b < bytes; ++b) {
                o[b] = c0[b];
                o[bytes + b] = c1[b];
            }
            c0 += bytes;
            c1 += bytes;
            o += 2 * bytes;
        }
    } else {
        for (std::size_t s = 0; s < samples; ++s) {
            for (std::size_t b = 0; b < bytes; ++b) {
                o[b] = c0[bytes - 1 - b];
                o[bytes + b] = c1[bytes - 1 - b];
            }
            c0 += bytes;
            c1 += bytes;
            o += 2 * bytes;
        }
    }
}

AlsaDsdOutput::AlsaDsdOutput() : AlsaDsdOutput(&al::platform::openDsdPlaybackDevice) {}

AlsaDsdOutput::AlsaDsdOutput(DsdDeviceOpener opener) : opener_(std::move(opener)) {}

AlsaDsdOutput::~AlsaDsdOutput() {
    if (device_ != nullptr && started_) {
        device_->stop();
    }
    device_.reset();
    scheduling_.leave();
}

al::audio::DsdOutputFormat AlsaDsdOutput::open(const std::u16string& endpointId,
                                               std::uint32_t frameRate) {
    if (device_ != nullptr) {
        throw std::runtime_error("Output is already open");
    }
    if (endpointId.empty()) {
        throw std::runtime_error("An exact endpoint ID is required");
    }
    std::unique_ptr<DsdPlaybackDevice> device;
    const DsdResult opened = opener_ ? opener_(endpointId, device) : DsdResult::Unavailable;
    switch (opened) {
        case DsdResult::Ok:
            break;
        case DsdResult::Unavailable:
            throw std::runtime_error("Native DSD output is not available on this platform");
        case DsdResult::Gone:
            throw std::runtime_error("Selected audio endpoint is no longer active");
        case DsdResult::Busy:
            throw std::runtime_error("The selected audio endpoint is currently in use");
        default:
            if (device != nullptr) {
                failWith("Cannot open native DSD device", *device);
            }
            throw std::runtime_error("Cannot open native DSD device");
    }
    if (device == nullptr) {
        throw std::runtime_error("Cannot open native DSD device");
    }

    const std::uint64_t dsdRate = std::uint64_t{frameRate} * 16u;
    const std::optional<DsdSampleFormat> chosen = chooseNativeDsdFormat(*device, dsdRate);
    if (!chosen) {
        bool offersAny = false;
        for (const DsdSampleFormat format : al::platform::kDsdSampleFormats) {
            offersAny = offersAny || device->offersFormat(format) == DsdResult::Ok;
        }
        throw std::runtime_error(offersAny ? "Native DSD rate unsupported by device"
                                           : "Device offers no native DSD sample format");
    }

    // Buffers of an even number of DoP frames, so that every format's
    // samples (1, 2 or 4 bytes a channel, 2 bytes a DoP frame) fit whole.
    const std::uint32_t sampleBytes = al::platform::dsdSampleBytes(*chosen);
    const std::uint32_t dopFrames =
        std::max<std::uint32_t>(2, frameRate / kBuffersPerSecond / 2 * 2);
    const std::uint32_t deviceFrames = dopFrames * 2 / sampleBytes;
    DsdStreamSettings settings;
    settings.format = *chosen;
    settings.channels = 2;
    settings.rate = nativeDsdSampleRate(*chosen, dsdRate);
    settings.periodFrames = deviceFrames;
    settings.bufferFrames = deviceFrames * kDeviceBuffers;
    settings.availMin = deviceFrames;
    if (device->configure(settings) != DsdResult::Ok) {
        failWith("Native DSD stream configuration failed", *device);
    }
    if (settings.bufferFrames < deviceFrames * queueDepth()) {
        throw std::runtime_error("Native DSD device buffer too small");
    }

    channel0_.assign(std::size_t{dopFrames} * 2, 0);
    channel1_.assign(std::size_t{dopFrames} * 2, 0);
    staging_.assign(std::size_t{dopFrames} * 4, 0);
    format_ = *chosen;
    framesPerBuffer_ = dopFrames;
    deviceFramesPerBuffer_ = deviceFrames;
    faulted_ = false;
    started_ = false;
    device_ = std::move(device);

    al::audio::DsdOutputFormat result;
    result.frameRate = frameRate;
    result.framesPerBuffer = dopFrames;
    result.carrierBytes = 3;
    result.description = std::string("Native DSD ") + al::platform::dsdSampleFormatName(*chosen) +
                         " (no DoP on the wire)";
    return result;
}

void AlsaDsdOutput::fault() {
    faulted_ = true;
    throw std::runtime_error(kFaultText);
}

bool AlsaDsdOutput::wait(std::uint32_t timeoutMs) {
    if (device_ == nullptr) {
        throw std::runtime_error("Output not open");
    }
    if (faulted_) {
        fault();
    }
    bool ready = false;
    if (device_->waitWritable(timeoutMs, ready) != DsdResult::Ok) {
        fault();
    }
    return ready;
}

void AlsaDsdOutput::submit(std::span<const std::uint8_t> buffer) {
    if (device_ == nullptr) {
        throw std::runtime_error("Output not open");
    }
    if (faulted_) {
        fault();
    }
    if (buffer.size() != std::size_t{framesPerBuffer_} * 6u) {
        throw std::runtime_error("Native DSD packing buffer mismatch");
    }
    unpackDopFrames(buffer, channel0_, channel1_, DsdByteOrder::MsbFirst);
    interleaveNativeDsd(channel0_, channel1_, format_, staging_);
    const DsdResult written = device_->write(staging_.data(), deviceFramesPerBuffer_);
    if (written == DsdResult::Underrun || written == DsdResult::Gone) {
        fault();
    }
    if (written != DsdResult::Ok) {
        failWith("Native DSD write failed", *device_);
    }
}

void AlsaDsdOutput::start() {
    if (device_ == nullptr) {
        throw std::runtime_error("Output not open");
    }
    if (started_) {
        return;
    }
    scheduling_.join();
    if (device_->start() != DsdResult::Ok) {
        failWith("Native DSD start failed", *device_);
    }
    started_ = true;
}

void AlsaDsdOutput::stop() {
    if (device_ != nullptr && started_) {
        started_ = false;
        const DsdResult stopped = device_->stop();
        scheduling_.leave();
        if (stopped != DsdResult::Ok) {
            failWith("Native DSD stop failed", *device_);
        }
        return;
    }
    scheduling_.leave();
}

std::optional<DsdSampleFormat> AlsaDsdOutput::format() const noexcept {
    if (device_ == nullptr) {
        return std::nullopt;
    }
    return format_;
}

}  // namespace morrow::dsd
