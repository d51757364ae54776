#pragma once
// The test ASIO driver's own controls, exported beside its COM entry points:
// the test program loads the same DLL, sets the driver's behaviour before it
// is created, and afterwards reads what the driver saw and played.

#include <cstddef>
#include <cstdint>

namespace al::test::asio_driver {

// {6C1B4F0E-3A7D-4B52-9E8F-1D2C3B4A5F60}
inline constexpr const wchar_t* kClsidText = L"{6C1B4F0E-3A7D-4B52-9E8F-1D2C3B4A5F60}";
inline constexpr const wchar_t* kDriverName = L"Auralith Test ASIO";

struct Config {
    std::int32_t preferredBits = 4096;  // preferred buffer, DSD bits per channel
    std::int32_t minimumBits = 16;
    std::int32_t maximumBits = 0x1000000;
    std::int32_t sampleType = 33;         // 32: least significant bit first, 33: most
    double rateReadBackOffset = 0.0;      // -1 reads 2,822,399 back after 2,822,400
    std::int32_t dsdMode = 1;             // 0: future(kAsioSetIoFormat) is not present
    std::int32_t resetAfterSwitches = 0;  // >0: a reset request after that many switches
    std::int32_t useTimeInfo = 0;  // switch through bufferSwitchTimeInfo if the host takes it
    std::int32_t outputReady = 1;  // outputReady() answers ASE_OK (else ASE_NotPresent)
    std::int32_t captureLimitBytes = 16 << 20;  // per channel
};

struct Report {
    std::int32_t liveObjects = 0;        // driver objects not yet released
    std::int32_t initHandleNonNull = 0;  // init() got a window handle
    std::int32_t ioFormatReservedZero = 0;
    std::int32_t ioFormatType = -1;
    double rateSet = 0.0;
    std::int32_t bufferSizeAsked = 0;
    std::int32_t outputReadyCalls = 0;
    std::int32_t switches = 0;
    std::int32_t usedTimeInfo = 0;
    // The host's answers to the driver's messages after createBuffers.
    std::int32_t answerEngineVersion = -1;
    std::int32_t answerSupportsReset = -1;
    std::int32_t answerSupportsTimeInfo = -1;
    std::int32_t answerTimeInfo = -1;
    std::int32_t answerSupportsBufferSizeChange = -1;
};

using ConfigureFunction = void (*)(const Config*);
using ReportFunction = void (*)(Report*);
// Copies up to capacity bytes of what channel played; returns the total held.
using CaptureFunction = std::size_t (*)(std::int32_t channel, std::uint8_t* out,
                                        std::size_t capacity);
// Copies the call log ("init,future,..."), terminated; returns its length.
using LogFunction = std::size_t (*)(char* out, std::size_t capacity);

}  // namespace al::test::asio_driver
