#pragma once
// Native DSD on hardware devices that take raw DSD bytes (ALSA's DSD sample
// formats on Linux): no DoP markers reach the wire. The engine still packs
// its buffers as DoP with 3-byte carriers; this output drops the markers and
// lays the DSD bytes out as the device's format wants them.
//
// Written over the native DSD device port; tests run it over a simulated
// device. On a platform without such devices open() refuses with a message.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dsd/AudioOutput.h"
#include "platform/DsdDevice.h"
#include "platform/ThreadScheduling.h"

namespace morrow::dsd {

using DsdDeviceOpener = std::function<al::platform::DsdResult(
    const std::u16string& endpointId, std::unique_ptr<al::platform::DsdPlaybackDevice>& device)>;

// Samples per second of a DSD format at a DSD rate (bits per second per
// channel): dsdRate / (8 x bytes a sample); 0 when that is not a whole number.
std::uint32_t nativeDsdSampleRate(al::platform::DsdSampleFormat format,
                                  std::uint64_t dsdRate) noexcept;

// The first format, in the order DSD_U32_BE, DSD_U32_LE, DSD_U16_BE,
// DSD_U16_LE, DSD_U8, that the device takes exactly for stereo at this DSD
// rate; nullopt when none.
std::optional<al::platform::DsdSampleFormat> chooseNativeDsdFormat(
    al::platform::DsdPlaybackDevice& device, std::uint64_t dsdRate) noexcept;

// Interleaves two channels' DSD bytes (time order, earliest bit most
// significant) into the format's frames: per frame channel 0's sample, then
// channel 1's, each sample's bytes earliest first (big-endian formats and
// DSD_U8) or earliest last (little-endian). Both channels hold the same
// count, a multiple of the sample size; out holds twice that. Allocates
// nothing; std::invalid_argument "Invalid native DSD packing span" otherwise.
void interleaveNativeDsd(std::span<const std::uint8_t> channel0,
                         std::span<const std::uint8_t> channel1,
                         al::platform::DsdSampleFormat format, std::span<std::uint8_t> out);

// IAudioOutput over a native DSD device. Every method runs on the engine
// thread. queueDepth is 2. A device that runs dry or fails while playing
// makes every later wait and submit throw "Native DSD underrun or device
// failure; playback stopped".
class AlsaDsdOutput final : public al::audio::IAudioOutput {
  public:
    // The platform's devices.
    AlsaDsdOutput();
    // Devices from the given opener (tests).
    explicit AlsaDsdOutput(DsdDeviceOpener opener);
    ~AlsaDsdOutput() override;

    al::audio::DsdOutputFormat open(const std::u16string& endpointId,
                                    std::uint32_t frameRate) override;
    bool wait(std::uint32_t timeoutMs) override;
    void submit(std::span<const std::uint8_t> buffer) override;
    std::uint32_t queueDepth() const override { return 2; }
    void start() override;
    void stop() override;

    // The chosen format once open.
    std::optional<al::platform::DsdSampleFormat> format() const noexcept;
    // Device frames written by each submit.
    std::uint32_t deviceFramesPerBuffer() const noexcept { return deviceFramesPerBuffer_; }

  private:
    [[noreturn]] void fault();

    DsdDeviceOpener opener_;
    std::unique_ptr<al::platform::DsdPlaybackDevice> device_;
    al::platform::DsdSampleFormat format_ = al::platform::DsdSampleFormat::U32Be;
    std::uint32_t framesPerBuffer_ = 0;        // DoP frames
    std::uint32_t deviceFramesPerBuffer_ = 0;  // frames of the device's format
    std::vector<std::uint8_t> channel0_;
    std::vector<std::uint8_t> channel1_;
    std::vector<std::uint8_t> staging_;
    bool started_ = false;
    bool faulted_ = false;
    al::platform::ProAudioScheduling scheduling_;
};

}  // namespace morrow::dsd
