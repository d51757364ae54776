#pragma once
// Audio render endpoints, shaped like the calls the player's outputs make on
// WASAPI: an enumerator lists devices, a device activates an audio client or a
// volume control, a client answers exact-format queries and runs one
// event-driven stream. Every call answers an HRESULT, so probing, the exact
// output and DoP are written once with their own step names and run unchanged
// over WASAPI, ALSA and the virtual output. Implementations that are not
// WASAPI translate their failures to the nearest code below (busy device:
// kAudioDeviceInUse; format refused: kAudioUnsupportedFormat; device gone:
// kAudioDeviceInvalidated; anything else: kAudioFail).
//
// Threads: an enumerator and everything obtained from it belong to the thread
// that created them (on Windows that thread's COM apartment), except that a
// running stream signals its event from the device's own thread. Objects are
// released in reverse order of acquisition: services, client, device,
// enumerator. No call throws.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/Event.h"

namespace al::platform {

// An HRESULT: negative values are failures.
using AudioResult = std::int32_t;

constexpr AudioResult audioResult(std::uint32_t bits) noexcept {
    return static_cast<AudioResult>(bits);
}
constexpr bool audioFailed(AudioResult result) noexcept { return result < 0; }

inline constexpr AudioResult kAudioOk = 0;
inline constexpr AudioResult kAudioFalse = 1;  // a query answered "no" without failing
inline constexpr AudioResult kAudioFail = audioResult(0x80004005u);
inline constexpr AudioResult kAudioPointer = audioResult(0x80004003u);
inline constexpr AudioResult kAudioInvalidArgument = audioResult(0x80070057u);
inline constexpr AudioResult kAudioOutOfMemory = audioResult(0x8007000Eu);
inline constexpr AudioResult kAudioNotFound = audioResult(0x80070490u);
inline constexpr AudioResult kAudioChangedMode = audioResult(0x80010106u);
inline constexpr AudioResult kAudioNotInitialized = audioResult(0x88890001u);
inline constexpr AudioResult kAudioAlreadyInitialized = audioResult(0x88890002u);
inline constexpr AudioResult kAudioDeviceInvalidated = audioResult(0x88890004u);
inline constexpr AudioResult kAudioNotStopped = audioResult(0x88890005u);
inline constexpr AudioResult kAudioBufferTooLarge = audioResult(0x88890006u);
inline constexpr AudioResult kAudioOutOfOrder = audioResult(0x88890007u);
inline constexpr AudioResult kAudioUnsupportedFormat = audioResult(0x88890008u);
inline constexpr AudioResult kAudioInvalidSize = audioResult(0x88890009u);
inline constexpr AudioResult kAudioDeviceInUse = audioResult(0x8889000Au);
inline constexpr AudioResult kAudioExclusiveModeOnly = audioResult(0x88890012u);
inline constexpr AudioResult kAudioPeriodNotEqual = audioResult(0x88890013u);
inline constexpr AudioResult kAudioEventHandleNotSet = audioResult(0x88890014u);
inline constexpr AudioResult kAudioBufferSizeNotAligned = audioResult(0x88890019u);
inline constexpr AudioResult kAudioInvalidDevicePeriod = audioResult(0x88890020u);

enum class AudioShareMode { Shared, Exclusive };

// releaseBuffer flag: the frames are to be played as silence whatever the
// buffer holds.
inline constexpr std::uint32_t kAudioBufferSilent = 0x2;

// Bit 0 of the hardware-support mask: the endpoint has a hardware volume.
inline constexpr std::uint32_t kHardwareSupportVolume = 0x1;

// The writable buffer of a stream (IAudioRenderClient).
class AudioRenderService {
public:
    virtual ~AudioRenderService() = default;
    // The next `frames` frames to write; valid until releaseBuffer.
    virtual AudioResult getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept = 0;
    // Hands over `frames` (at most as many as asked for) frames.
    virtual AudioResult releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept = 0;
};

// The device clock of a stream (IAudioClock): position / frequency is the
// time played since the stream was last reset.
class AudioClockService {
public:
    virtual ~AudioClockService() = default;
    virtual AudioResult getFrequency(std::uint64_t& frequency) noexcept = 0;
    virtual AudioResult getPosition(std::uint64_t& position) noexcept = 0;
};

// One stream on one endpoint (IAudioClient). Streams are always
// event-driven and never remembered by the platform across sessions.
// Durations and periods are in 100-nanosecond units.
class AudioClient {
public:
    virtual ~AudioClient() = default;
    // Whether the endpoint takes exactly this format for exclusive use:
    // kAudioOk, or kAudioUnsupportedFormat (or another failure) when not;
    // kAudioDeviceInUse when another program holds the device.
    virtual AudioResult isExclusiveFormatSupported(std::span<const std::uint8_t> format) noexcept = 0;
    virtual AudioResult getDevicePeriod(std::int64_t& defaultPeriod, std::int64_t& minimumPeriod) noexcept = 0;
    // After kAudioBufferSizeNotAligned, getBufferSize gives the aligned size
    // and the client must be replaced before another initialize.
    virtual AudioResult initialize(AudioShareMode mode, std::int64_t bufferDuration, std::int64_t periodicity,
                                   std::span<const std::uint8_t> format) noexcept = 0;
    // The event is signalled once per period while the stream runs; it must
    // outlive the client.
    virtual AudioResult setEventHandle(Event& event) noexcept = 0;
    virtual AudioResult getBufferSize(std::uint32_t& frames) noexcept = 0;
    // Frames written and not yet played.
    virtual AudioResult getCurrentPadding(std::uint32_t& frames) noexcept = 0;
    virtual AudioResult getRenderService(std::unique_ptr<AudioRenderService>& service) noexcept = 0;
    virtual AudioResult getClockService(std::unique_ptr<AudioClockService>& service) noexcept = 0;
    virtual AudioResult start() noexcept = 0;
    virtual AudioResult stop() noexcept = 0;
    // Discards what was written and sets the clock back to 0; stopped only.
    virtual AudioResult reset() noexcept = 0;
};

// The endpoint's own volume (IAudioEndpointVolume); levels are the
// platform's audio-tapered scalar in 0..1.
class AudioVolumeControl {
public:
    virtual ~AudioVolumeControl() = default;
    virtual AudioResult queryHardwareSupport(std::uint32_t& mask) noexcept = 0;
    virtual AudioResult setMasterLevelScalar(float level) noexcept = 0;
    virtual AudioResult getMasterLevelScalar(float& level) noexcept = 0;
};

// One render endpoint (IMMDevice).
class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    virtual AudioResult getId(std::u16string& id) noexcept = 0;
    // Opens the device's properties for reading; needed before readFriendlyName.
    virtual AudioResult openProperties() noexcept = 0;
    // The friendly name, or nullopt when the property is not a string.
    virtual AudioResult readFriendlyName(std::optional<std::u16string>& name) noexcept = 0;
    virtual AudioResult activateClient(std::unique_ptr<AudioClient>& client) noexcept = 0;
    virtual AudioResult activateVolume(std::unique_ptr<AudioVolumeControl>& volume) noexcept = 0;
};

// The render endpoints of one audio system (IMMDeviceEnumerator).
class AudioDeviceEnumerator {
public:
    virtual ~AudioDeviceEnumerator() = default;
    // The default render endpoint for the console role; kAudioNotFound when
    // there is none.
    virtual AudioResult getDefaultRenderEndpoint(std::unique_ptr<AudioDevice>& device) noexcept = 0;
    // Takes a snapshot of the active render endpoints; the two calls below
    // read it.
    virtual AudioResult enumerateActiveRenderEndpoints() noexcept = 0;
    virtual AudioResult getRenderEndpointCount(std::uint32_t& count) noexcept = 0;
    virtual AudioResult getRenderEndpoint(std::uint32_t index, std::unique_ptr<AudioDevice>& device) noexcept = 0;
    // kAudioNotFound when no endpoint has this identifier.
    virtual AudioResult openEndpoint(const std::u16string& id, std::unique_ptr<AudioDevice>& device) noexcept = 0;
};

// The platform's own audio system (WASAPI on Windows, ALSA on Linux).
AudioResult createSystemAudioEnumerator(std::unique_ptr<AudioDeviceEnumerator>& enumerator) noexcept;

// Makes the calling thread ready for audio calls (on Windows: joins the
// multithreaded COM apartment) and undoes that on destruction if join
// succeeded. kAudioChangedMode means the thread is already in another
// apartment, which works too but is not left at the end.
class AudioThreadApartment {
public:
    AudioThreadApartment() noexcept = default;
    ~AudioThreadApartment();
    AudioThreadApartment(const AudioThreadApartment&) = delete;
    AudioThreadApartment& operator=(const AudioThreadApartment&) = delete;

    AudioResult join() noexcept;
    bool joined() const noexcept { return joined_; }

private:
    bool joined_ = false;
};

}  // namespace al::platform
