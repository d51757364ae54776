#pragma once
// The one output interface every DSD path implements (DoP over an exact PCM
// endpoint, native ASIO, native ALSA, the virtual DSD sink), so the DSD engine
// drives them all the same way.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace al::audio {

// What an opened DSD output expects from the engine. Buffers are always DoP
// packed: framesPerBuffer frames of 2 x carrierBytes bytes. A native output
// takes 3-byte carriers and unpacks them itself.
struct DsdOutputFormat {
    std::uint32_t frameRate = 0;        // DoP frames per second: DSD rate / 16
    std::uint32_t framesPerBuffer = 0;  // frames in every submitted buffer
    std::uint32_t carrierBytes = 0;     // 3 or 4
    std::string description;            // for the status line, e.g. "24-bit in 24 bits"

    std::size_t bufferBytes() const noexcept {
        return std::size_t{framesPerBuffer} * 2u * carrierBytes;
    }
};

// Every method is called on one thread (the engine thread); an output is not
// shared. Failures are std::runtime_error with fixed messages.
class IAudioOutput {
public:
    virtual ~IAudioOutput() = default;
    // Opens the device at exactly frameRate DoP frames per second. Throws when
    // that cannot be had; never converts and never falls back.
    virtual DsdOutputFormat open(const std::u16string& endpointId, std::uint32_t frameRate) = 0;
    // Waits up to timeoutMs for the device to take a buffer: true when one more
    // buffer may be submitted, false on time-out. Throws on a device failure.
    virtual bool wait(std::uint32_t timeoutMs) = 0;
    // Hands over one buffer of exactly format.bufferBytes() bytes. Allocates
    // nothing and takes no lock.
    virtual void submit(std::span<const std::uint8_t> buffer) = 0;
    // How many buffers the engine submits before start.
    virtual std::uint32_t queueDepth() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;

protected:
    IAudioOutput() = default;
    IAudioOutput(const IAudioOutput&) = delete;
    IAudioOutput& operator=(const IAudioOutput&) = delete;
};

}  // namespace al::audio
