#pragma once
// The virtual output: a render endpoint without hardware. It is a real
// endpoint, not a mock: each running stream has its own clock thread that
// plays one period at a time, signals the stream's event once per period,
// advances its clock position and consumes what was written, and it reports
// padding honestly. It paces itself in real time (playing on a machine without
// a sound card, timing statistics) or runs free (as fast as the writer fills
// it), can capture every byte written, and can inject the faults an output
// must survive: a busy device, late events, formats refused at
// initialisation, a device that goes away.
//
// Portable code over the audio-endpoint interface of the platform layer; it
// makes no platform calls itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioEndpoint.h"
#include "platform/WaveFormat.h"

namespace al::audio {

// One exact format the virtual endpoint accepts.
struct VirtualFormat {
    enum class Structure { Any, Plain, Extensible };

    std::uint32_t sampleRate = 48000;
    std::uint16_t channels = 2;
    std::uint16_t containerBits = 16;
    std::uint16_t validBits = 16;
    bool isFloat = false;
    Structure structure = Structure::Any;

    bool matches(const platform::WaveFormatFields& format) const noexcept;
};

// Every rate from 44.1 to 192 kHz, 1 to 8 channels, in all five sample
// layouts (float 32, integer 32, 24 in 32, packed 24, 16), either structure.
std::vector<VirtualFormat> standardVirtualFormats();

enum class VirtualPace {
    RealTime,     // one period per period of wall-clock time
    FreeRunning,  // the next period starts as soon as the writer has written
};

struct VirtualOutputConfig {
    std::u16string id = u"virtual";
    // nullopt: the endpoint's name property is not a string.
    std::optional<std::u16string> name = u"Virtual Output";
    std::vector<VirtualFormat> acceptedFormats = standardVirtualFormats();
    // Refused formats are answered S_FALSE (a closest-match suggestion, as
    // some drivers answer) instead of kAudioUnsupportedFormat.
    bool refuseWithClosestMatch = false;
    // Accepted by the format query but refused when a stream is initialised.
    std::vector<VirtualFormat> refusedAtInitialize;
    std::int64_t defaultPeriod = 100'000;  // 100-ns units: 10 ms
    std::int64_t minimumPeriod = 30'000;   // 3 ms
    // Exclusive buffers must be a multiple of this many frames (0: any size);
    // other sizes are refused with kAudioBufferSizeNotAligned.
    std::uint32_t bufferAlignmentFrames = 0;
    VirtualPace pace = VirtualPace::RealTime;
    // Another program holds the device: queries and initialisation answer
    // kAudioDeviceInUse.
    bool busy = false;
    // Every Nth event is signalled lateByNs after its period began.
    std::uint32_t lateEveryNthEvent = 0;
    std::int64_t lateByNs = 0;
    // Time-based late events: once lateIntervalNs has passed since the last
    // burst (or since the stream started), the next lateBurst events are each
    // signalled lateByNs after their period began (0: off).
    std::int64_t lateIntervalNs = 0;
    std::uint32_t lateBurst = 1;
    // An endpoint that does not really grow: an exclusive buffer asked for
    // above this is granted at this duration, in 100-ns units (0: as asked).
    std::int64_t maximumExclusiveBuffer = 0;
    // After this many periods the device goes away (0: never).
    std::uint64_t invalidateAfterEvents = 0;
    // After this many periods the device keeps playing but stops signalling
    // its event, as a hung driver does (0: never).
    std::uint64_t silentAfterEvents = 0;
    bool captureWrites = false;
    // Free-running only: a period begins only once this answers true (asked
    // again every 100 microseconds), so a writer whose material is prepared in
    // the background, such as a playback lattice, is never asked ahead of it.
    // Called on the device's clock thread, and in exclusive mode also on the
    // writer's thread as it releases a buffer: an open gate then lets the
    // release begin the next period itself, without a round trip through the
    // clock thread (not with injected late events, silence or invalidation).
    std::function<bool()> freeRunningGate;
    // Free-running only, with a gate: how the clock waits before asking the
    // gate again, at most about a millisecond (it holds no lock meanwhile, and
    // notices a stop only afterwards). A writer that can say when its
    // material is ready so saves the clock a wake-up every 100 microseconds.
    // Without it the clock sleeps those 100 microseconds.
    std::function<void()> freeRunningGateWait;
    std::uint32_t hardwareSupportMask = platform::kHardwareSupportVolume;
};

// Faults named in a device identifier, as a user can give it on the command
// line: "virtual" optionally followed by ":" and comma-separated options:
//   late=D/I[xN]  every I, N consecutive events (default 1) each D late
//   cap=D         exclusive buffers larger than D are granted at D
//   busy          the device is held by another program
// Durations are a number with "us", "ms" or "s". Returns the configuration
// with those faults applied to `base` (its id unchanged, so the endpoint and
// its remembered formats stay the same), or nothing when `id` is not
// `base.id` or `base.id` followed by ":". Throws std::invalid_argument("Invalid virtual output
// option: " + the option) for an option it does not understand.
std::optional<VirtualOutputConfig> ParseVirtualDeviceId(const std::string& id,
                                                        VirtualOutputConfig base);

struct VirtualOutputStatistics {
    std::uint64_t devicesOpened = 0;  // endpoints opened on this device
    std::uint64_t formatQueries = 0;  // exact-format questions answered
    std::uint64_t streamsInitialized = 0;
    std::uint64_t eventsSignalled = 0;
    std::uint64_t lateEvents = 0;
    std::uint64_t underruns = 0;      // periods that began with less than a period written
    std::uint64_t framesPlayed = 0;   // including silence played for missing frames
    std::uint64_t framesWritten = 0;  // released by writers
};

// The device. Shared by the endpoints opened on it; any thread may configure
// and inspect it. Only one stream may be initialised on it at a time (the
// others are refused as in use), as with an exclusive hardware device.
class VirtualOutput : public std::enable_shared_from_this<VirtualOutput> {
  public:
    static std::shared_ptr<VirtualOutput> create(VirtualOutputConfig config = {});

    // Applies to calls made from now on; a stream keeps the pace and faults it
    // was initialised with.
    void configure(VirtualOutputConfig config);
    VirtualOutputConfig config() const;

    std::unique_ptr<platform::AudioDevice> openDevice();

    std::vector<std::uint8_t> captured() const;
    // Hands over what was captured so far and starts the capture afresh, in
    // one step: a long capture can be drained while the stream runs.
    std::vector<std::uint8_t> takeCaptured();
    // The same into `into`, whose old content is dropped and whose storage
    // the capture goes on with: a caller that drains into the same vector
    // again and again lets a long capture run without allocating.
    void takeCaptured(std::vector<std::uint8_t>& into);
    void clearCapture();
    VirtualOutputStatistics statistics() const;
    float level() const;
    bool streamOpen() const;

  private:
    explicit VirtualOutput(VirtualOutputConfig config);
    friend class VirtualClient;
    friend class VirtualRenderService;
    friend class VirtualVolume;
    friend class VirtualDevice;
    friend struct VirtualStream;

    void reserveCapture();  // under mutex_

    mutable std::mutex mutex_;
    VirtualOutputConfig config_;
    bool streamOpen_ = false;
    std::vector<std::uint8_t> capture_;
    std::size_t captureReserve_ = 0;  // bytes kept free for the capture, set when a stream opens
    VirtualOutputStatistics statistics_;  // framesWritten is framesWritten_
    // Counted by writers without the lock.
    std::atomic<std::uint64_t> framesWritten_{0};
    float level_ = 1.0f;
};

}  // namespace al::audio
