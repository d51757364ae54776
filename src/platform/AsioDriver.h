#pragma once
// 64-bit ASIO drivers: in-process objects found in the system's driver list
// and driven through the published driver interface. This port carries only
// the calls the native DSD output makes, answering with the driver's own
// result codes, so that output is written once and runs unchanged over a real
// driver and over a simulated one in tests.
//
// Threads: a system's COM calls affect the calling thread. A driver belongs to
// the thread that created it, except that outputReady() may be called from the
// driver's own callback thread. The callbacks handed to createBuffers run on
// the driver's thread and carry no context of their own.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace al::platform {

// A driver result (ASIOError). ASE_OK and ASE_SUCCESS both mean success.
using AsioResult = std::int32_t;

inline constexpr AsioResult kAsioOk = 0;
inline constexpr AsioResult kAsioSuccess = 0x3F4847A0;
inline constexpr AsioResult kAsioNotPresent = -1000;
inline constexpr AsioResult kAsioHwMalfunction = -999;
inline constexpr AsioResult kAsioInvalidParameter = -998;
inline constexpr AsioResult kAsioInvalidMode = -997;
inline constexpr AsioResult kAsioNoClock = -995;
inline constexpr AsioResult kAsioNoMemory = -994;

constexpr bool asioSucceeded(AsioResult result) noexcept {
    return result == kAsioOk || result == kAsioSuccess;
}

// The future() selector that switches the driver between PCM and DSD, and the
// I/O format types it carries.
inline constexpr std::int32_t kAsioSetIoFormat = 0x23111961;
inline constexpr std::int32_t kAsioFormatPcm = 0;
inline constexpr std::int32_t kAsioFormatDsd = 1;

// Sample types of a DSD channel: bytes of 8 one-bit samples, the earliest bit
// in the least (32) or the most (33) significant bit.
inline constexpr std::int32_t kAsioDsdLsbFirst = 32;
inline constexpr std::int32_t kAsioDsdMsbFirst = 33;

// Selectors of the host message callback.
inline constexpr std::int32_t kAsioSelectorSupported = 1;
inline constexpr std::int32_t kAsioEngineVersion = 2;
inline constexpr std::int32_t kAsioResetRequest = 3;
inline constexpr std::int32_t kAsioBufferSizeChange = 4;
inline constexpr std::int32_t kAsioResyncRequest = 5;
inline constexpr std::int32_t kAsioLatenciesChanged = 6;
inline constexpr std::int32_t kAsioSupportsTimeInfo = 7;
inline constexpr std::int32_t kAsioSupportsTimeCode = 8;

// The host's callbacks, exactly as the driver calls them (32-bit integers
// where the driver interface has `long`; the time-info record is opaque).
struct AsioCallbacks {
    void (*bufferSwitch)(std::int32_t halfIndex, std::int32_t directProcess) = nullptr;
    void (*sampleRateDidChange)(double rate) = nullptr;
    std::int32_t (*message)(std::int32_t selector, std::int32_t value, void* message,
                            double* opt) = nullptr;
    void* (*bufferSwitchTimeInfo)(void* timeInfo, std::int32_t halfIndex,
                                  std::int32_t directProcess) = nullptr;
};

// One channel's pair of half-buffers, filled in by createBuffers.
struct AsioBufferInfo {
    bool isInput = false;
    std::int32_t channel = 0;
    void* buffers[2] = {nullptr, nullptr};
};

// getBufferSize's answer, in samples (bits for DSD).
struct AsioBufferSize {
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t preferred = 0;
    std::int32_t granularity = 0;
};

// One created driver. Destruction releases the driver object; it does not
// stop it or dispose its buffers (the owner does that first). No call throws.
class AsioDriver {
  public:
    virtual ~AsioDriver() = default;

    // init() with the desktop window as the system handle.
    virtual bool init() noexcept = 0;
    // future(kAsioSetIoFormat) with an I/O format record of this type and
    // zeroed reserved bytes; formatType receives the record's type afterwards.
    virtual AsioResult setIoFormat(std::int32_t& formatType) noexcept = 0;
    virtual AsioResult canSampleRate(double rate) noexcept = 0;
    virtual AsioResult setSampleRate(double rate) noexcept = 0;
    virtual AsioResult getSampleRate(double& rate) noexcept = 0;
    virtual AsioResult getChannels(std::int32_t& inputs, std::int32_t& outputs) noexcept = 0;
    virtual AsioResult getBufferSize(AsioBufferSize& size) noexcept = 0;
    virtual AsioResult getChannelInfo(std::int32_t channel, bool isInput,
                                      std::int32_t& sampleType) noexcept = 0;
    // The driver keeps using the callbacks until disposeBuffers().
    virtual AsioResult createBuffers(std::span<AsioBufferInfo> infos, std::int32_t bufferSize,
                                     const AsioCallbacks& callbacks) noexcept = 0;
    virtual AsioResult disposeBuffers() noexcept = 0;
    virtual AsioResult outputReady() noexcept = 0;
    virtual AsioResult start() noexcept = 0;
    virtual AsioResult stop() noexcept = 0;

  protected:
    AsioDriver() = default;
    AsioDriver(const AsioDriver&) = delete;
    AsioDriver& operator=(const AsioDriver&) = delete;
};

// One installed driver as the system lists it.
struct AsioDriverEntry {
    std::u16string clsid;  // identity, e.g. "{0F1E2D3C-...}"
    std::u16string name;   // registry key name, shown to the user
};

enum class AsioCreateResult { Created, InvalidIdentity, CannotLoad };

// How drivers are reached: the thread's COM apartment, creation from an
// identity, and the installed list.
class AsioSystem {
  public:
    virtual ~AsioSystem() = default;
    // Joins the calling thread to a single-threaded apartment. False on a
    // failing result; true (to be undone once) otherwise.
    virtual bool initializeCom() noexcept = 0;
    virtual void uninitializeCom() noexcept = 0;
    // Parses the identity and creates the in-process driver with it as class
    // and interface id. Fills driver only when Created.
    virtual AsioCreateResult createDriver(const std::u16string& identity,
                                          std::unique_ptr<AsioDriver>& driver) noexcept = 0;
    // Installed 64-bit drivers in the system's order; empty when none.
    virtual std::vector<AsioDriverEntry> listDrivers() = 0;

  protected:
    AsioSystem() = default;
    AsioSystem(const AsioSystem&) = delete;
    AsioSystem& operator=(const AsioSystem&) = delete;
};

// This platform's drivers. Linux has none: it lists nothing and creates
// nothing (an identity that is not a CLSID is still told apart).
AsioSystem& platformAsioSystem() noexcept;

// Whether this platform has ASIO drivers at all (Windows), so listings can
// say "none installed" there and stay silent elsewhere.
bool platformHasAsio() noexcept;

// True when text has the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} in hex.
inline bool looksLikeClsid(const std::u16string& text) noexcept {
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') {
        return false;
    }
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const char16_t c = text[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != u'-') {
                return false;
            }
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                     (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace al::platform
