#pragma once
// Native DSD playback devices: a hardware playback device that takes raw DSD
// bytes in one of ALSA's DSD sample formats, so no DoP markers reach the wire.
// Narrow on purpose: the native DSD output asks which formats and rates a
// device takes exactly, configures one stream, and writes interleaved bytes;
// everything else (which format to pick, byte layout, pacing) is portable and
// tested over a simulated device.
//
// Linux: ALSA hw devices (never plug, so nothing is converted). Windows: not
// available (native DSD goes through ASIO there); every call says so.
//
// Threads: a device and its stream belong to the thread that opened them.
// No call throws.

#include <cstdint>
#include <memory>
#include <string>

namespace al::platform {

// The DSD sample formats, in the order the native output prefers them. The
// bit order inside every byte is earliest bit most significant; the formats
// differ in how many bytes of one channel form a sample and in which order
// those bytes sit in memory.
enum class DsdSampleFormat : std::uint8_t {
    U32Be = 0,  // 4 bytes a sample, earliest byte first
    U32Le = 1,  // 4 bytes a sample, earliest byte last
    U16Be = 2,
    U16Le = 3,
    U8 = 4,  // 1 byte a sample
};

inline constexpr DsdSampleFormat kDsdSampleFormats[] = {
    DsdSampleFormat::U32Be, DsdSampleFormat::U32Le, DsdSampleFormat::U16Be, DsdSampleFormat::U16Le,
    DsdSampleFormat::U8};

// Bytes of one channel in one sample: 4, 4, 2, 2, 1.
constexpr std::uint32_t dsdSampleBytes(DsdSampleFormat format) noexcept {
    switch (format) {
        case DsdSampleFormat::U32Be:
        case DsdSampleFormat::U32Le:
            return 4;
        case DsdSampleFormat::U16Be:
        case DsdSampleFormat::U16Le:
            return 2;
        case DsdSampleFormat::U8:
            break;
    }
    return 1;
}

constexpr bool dsdSampleBigEndian(DsdSampleFormat format) noexcept {
    return format == DsdSampleFormat::U32Be || format == DsdSampleFormat::U16Be ||
           format == DsdSampleFormat::U8;
}

// "DSD_U32_BE", "DSD_U32_LE", "DSD_U16_BE", "DSD_U16_LE", "DSD_U8".
constexpr const char* dsdSampleFormatName(DsdSampleFormat format) noexcept {
    switch (format) {
        case DsdSampleFormat::U32Be:
            return "DSD_U32_BE";
        case DsdSampleFormat::U32Le:
            return "DSD_U32_LE";
        case DsdSampleFormat::U16Be:
            return "DSD_U16_BE";
        case DsdSampleFormat::U16Le:
            return "DSD_U16_LE";
        case DsdSampleFormat::U8:
            break;
    }
    return "DSD_U8";
}

enum class DsdResult : std::uint8_t {
    Ok,
    Unsupported,  // the device does not take this exactly
    Busy,         // another program holds the device
    Gone,         // no such device, or it went away
    Underrun,     // the device ran out of data
    Unavailable,  // no native DSD on this platform
    Failed,       // anything else; see detail()
};

// The stream a device is asked for and what it granted. Rates and sizes are
// in the format's samples (frames of `channels` samples), so a DSD rate of
// 2,822,400 bits per second is 88,200 frames per second in a 32-bit format.
struct DsdStreamSettings {
    DsdSampleFormat format = DsdSampleFormat::U32Be;
    std::uint32_t channels = 2;
    std::uint32_t rate = 0;
    std::uint32_t periodFrames = 0;  // asked near; granted
    std::uint32_t bufferFrames = 0;  // asked near; granted
    // The stream counts as ready to write while at least this many frames are
    // free.
    std::uint32_t availMin = 0;
};

// One opened hardware device.
class DsdPlaybackDevice {
  public:
    virtual ~DsdPlaybackDevice() = default;
    // Whether the device offers the format at all (any rate, any channels).
    virtual DsdResult offersFormat(DsdSampleFormat format) noexcept = 0;
    // Whether it takes exactly this format, channel count and rate.
    virtual DsdResult supports(DsdSampleFormat format, std::uint32_t channels,
                               std::uint32_t rate) noexcept = 0;
    // Configures the one stream (format, channels and rate exactly; period and
    // buffer near the asked sizes, granted sizes written back). The stream is
    // then prepared and not running.
    virtual DsdResult configure(DsdStreamSettings& settings) noexcept = 0;
    // Waits up to timeoutMs until at least availMin frames are free: ready is
    // true then, false on time-out. Underrun when the device ran dry.
    virtual DsdResult waitWritable(std::uint32_t timeoutMs, bool& ready) noexcept = 0;
    // Writes `frames` interleaved frames completely, or fails: no partial
    // writes are left behind as success.
    virtual DsdResult write(const std::uint8_t* data, std::uint32_t frames) noexcept = 0;
    virtual DsdResult start() noexcept = 0;
    // Stops at once, dropping what is queued.
    virtual DsdResult stop() noexcept = 0;
    // The platform's own words for the last failure, for messages and logs.
    virtual std::string detail() const = 0;
};

// Opens a playback device by the endpoint identifier the audio endpoints use
// ("hw:CARD=<id>,DEV=<n>" on Linux). Gone when no such hardware device
// exists, Busy when another program holds it, Unavailable on a platform
// without native DSD devices.
DsdResult openDsdPlaybackDevice(const std::u16string& endpointId,
                                std::unique_ptr<DsdPlaybackDevice>& device) noexcept;

// Whether this platform has native DSD devices at all.
bool nativeDsdDevicesAvailable() noexcept;

}  // namespace al::platform
