#pragma once
// Native DSD through a 64-bit ASIO driver switched to its 1-bit mode, so no
// DoP markers reach the wire. The engine still hands over DoP-packed buffers
// with 3-byte carriers; they are unpacked here, on the engine thread, into an
// 8-slot queue that the driver's buffer-switch callback copies from.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dsd/AudioOutput.h"
#include "platform/AsioDriver.h"
#include "platform/Event.h"

namespace al::audio {

using AsioDriverEntry = platform::AsioDriverEntry;

// The installed 64-bit ASIO drivers (CLSID text and registry key name) in the
// system's order; empty when there are none. Any thread.
std::vector<AsioDriverEntry> listAsioDrivers();

// Threads: open, wait, submit, start, stop and destruction on the engine
// thread; the driver's callbacks on the driver's thread. They share the queue
// through two counters (the engine only advances queued, the callback only
// advances consumed) and a sticky fault byte; nothing on either side takes a
// lock or allocates after open. At most one Native is open in the process:
// the callbacks carry no context and reach it through a process-wide pointer.
class Native final : public IAudioOutput {
  public:
    static constexpr std::uint32_t kQueueSlots = 8;
    static constexpr std::uint8_t kIdle = 0x69;

    // Why the stream faulted (bits of faults()); every one ends playback.
    static constexpr std::uint8_t kFaultUnderrun = 1;
    static constexpr std::uint8_t kFaultReset = 2;  // reset or resync request
    static constexpr std::uint8_t kFaultRateChange = 4;
    static constexpr std::uint8_t kFaultBadHalf = 8;  // a half-buffer index other than 0 or 1

    // driverIdentity is the driver's CLSID text. Nothing is loaded until open.
    explicit Native(std::u16string driverIdentity);
    // Over a given driver system (tests); it must outlive this object.
    Native(std::u16string driverIdentity, platform::AsioSystem& system);
    // Stops, disposes the buffers, releases the driver and the process-wide
    // slot, closes the event and undoes an owned COM initialisation.
    ~Native() override;

    // Loads the driver, switches it to DSD at frameRate x 16 and creates its
    // buffers (filled with the idle pattern). endpointId is ignored. Throws
    // std::runtime_error with the step's message; a failed open releases what
    // it acquired, so the object is closed again.
    DsdOutputFormat open(const std::u16string& endpointId, std::uint32_t frameRate) override;
    // True at once while a queue slot is free; else waits for the driver to
    // take a half-buffer. Throws on a fault (sticky) or a failed wait.
    bool wait(std::uint32_t timeoutMs) override;
    // Unpacks one DoP buffer of (buffer bits / 16) x 6 bytes into the next
    // slot. Allocates nothing, takes no lock.
    void submit(std::span<const std::uint8_t> buffer) override;
    std::uint32_t queueDepth() const override { return kQueueSlots; }
    void start() override;
    void stop() override;

    std::uint8_t faults() const noexcept { return fault_.load(std::memory_order_acquire); }
    bool isOpen() const noexcept { return driver_ != nullptr; }

  private:
    static void onBufferSwitch(std::int32_t halfIndex, std::int32_t directProcess) noexcept;
    static void* onBufferSwitchTimeInfo(void* timeInfo, std::int32_t halfIndex,
                                        std::int32_t directProcess) noexcept;
    static void onSampleRateChange(double rate) noexcept;
    static std::int32_t onMessage(std::int32_t selector, std::int32_t value, void* message,
                                  double* opt) noexcept;

    void switchHalf(std::int32_t halfIndex) noexcept;
    void raiseFault(std::uint8_t reason) noexcept;
    void openSteps(std::uint32_t frameRate);
    void release() noexcept;
    std::uint8_t* slot(std::uint64_t counter) noexcept;

    std::u16string identity_;
    platform::AsioSystem& system_;
    std::unique_ptr<platform::AsioDriver> driver_;
    bool comOwned_ = false;
    bool buffersCreated_ = false;
    std::atomic<bool> outputReadySupported_{false};
    std::atomic<bool> started_{false};
    platform::Event wake_;
    double dsdRate_ = 0.0;
    std::uint32_t bufferBits_ = 0;
    std::size_t halfBytes_ = 0;
    std::int32_t sampleType_[2] = {0, 0};
    platform::AsioBufferInfo buffers_[2];
    std::vector<std::uint8_t> queue_;  // kQueueSlots x (channel 0 bytes, channel 1 bytes)
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> consumed_{0};
    std::atomic<std::uint8_t> fault_{0};
};

}  // namespace al::audio
