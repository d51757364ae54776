#include "platform/AudioEndpoint.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Utf16.h"
#include "platform/WaveFormat.h"

// ALSA endpoints: every playback PCM device of every sound card, opened as the
// raw hw device (never plug or dmix), so a format is either taken exactly as
// written or refused. The identifier names the card by its id string, which
// survives renumbering: "hw:CARD=<id>,DEV=<n>".

namespace al::platform {

namespace {

AudioResult fromErrno(int code) noexcept {
    switch (code < 0 ? -code : code) {
        case EBUSY:
        case EAGAIN:
            return kAudioDeviceInUse;
        case ENODEV:
        case ENOENT:
        case ENXIO:
        case EBADFD:
            return kAudioDeviceInvalidated;
        case EINVAL:
            return kAudioUnsupportedFormat;
        case ENOMEM:
            return kAudioOutOfMemory;
        default:
            return kAudioFail;
    }
}

struct PlaybackDevice {
    std::string cardId;
    int cardIndex = -1;
    int device = 0;
    std::string id;    // hw:CARD=<cardId>,DEV=<device>
    std::string name;  // "<card name>: <device name>"
};

struct CtlCloser {
    void operator()(snd_ctl_t* ctl) const noexcept { snd_ctl_close(ctl); }
};
struct CardInfoFree {
    void operator()(snd_ctl_card_info_t* info) const noexcept { snd_ctl_card_info_free(info); }
};
struct PcmInfoFree {
    void operator()(snd_pcm_info_t* info) const noexcept { snd_pcm_info_free(info); }
};
struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* params) const noexcept { snd_pcm_hw_params_free(params); }
};
struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* params) const noexcept { snd_pcm_sw_params_free(params); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

AudioResult listPlaybackDevices(std::vector<PlaybackDevice>& devices) {
    devices.clear();
    snd_ctl_card_info_t* rawCard = nullptr;
    snd_pcm_info_t* rawPcm = nullptr;
    if (snd_ctl_card_info_malloc(&rawCard) < 0) {
        return kAudioOutOfMemory;
    }
    std::unique_ptr<snd_ctl_card_info_t, CardInfoFree> cardInfo(rawCard);
    if (snd_pcm_info_malloc(&rawPcm) < 0) {
        return kAudioOutOfMemory;
    }
    std::unique_ptr<snd_pcm_info_t, PcmInfoFree> pcmInfo(rawPcm);
    int card = -1;
    for (;;) {
        if (const int error = snd_card_next(&card); error < 0) {
            return fromErrno(error);
        }
        if (card < 0) {
            return kAudioOk;
        }
        snd_ctl_t* rawCtl = nullptr;
        const std::string ctlName = "hw:" + std::to_string(card);
        if (snd_ctl_open(&rawCtl, ctlName.c_str(), 0) < 0) {
            continue;  // a card we may not open is not an endpoint of ours
        }
        std::unique_ptr<snd_ctl_t, CtlCloser> ctl(rawCtl);
        if (snd_ctl_card_info(ctl.get(), cardInfo.get()) < 0) {
            continue;
        }
        const std::string cardId = snd_ctl_card_info_get_id(cardInfo.get());
        const std::string cardName = snd_ctl_card_info_get_name(cardInfo.get());
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl.get(), &device) >= 0 && device >= 0) {
            snd_pcm_info_set_device(pcmInfo.get(), static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(pcmInfo.get(), 0);
            snd_pcm_info_set_stream(pcmInfo.get(), SND_PCM_STREAM_PLAYBACK);
            if (snd_ctl_pcm_info(ctl.get(), pcmInfo.get()) < 0) {
                continue;  // capture only
            }
            PlaybackDevice entry;
            entry.cardId = cardId;
            entry.cardIndex = card;
            entry.device = device;
            entry.id = "hw:CARD=" + cardId + ",DEV=" + std::to_string(device);
            const std::string pcmName = snd_pcm_info_get_name(pcmInfo.get());
            entry.name = pcmName.empty() ? cardName : cardName + ": " + pcmName;
            devices.push_back(std::move(entry));
        }
    }
}

// The card and device ALSA's default PCM plays on, when that is a hardware
// card: either a default defined directly as a hw device, or the stock
// default whose card and device come from defaults.pcm.card/device. A default
// redefined as anything else (a sound server, the null device) names no card.
bool defaultCardAndDevice(int& card, int& device) {
    if (snd_config_update() < 0 || snd_config == nullptr) {
        return false;
    }
    const auto readCard = [](snd_config_t* node, int& out) {
        long number = 0;
        const char* text = nullptr;
        if (snd_config_get_integer(node, &number) >= 0) {
            out = static_cast<int>(number);
            return true;
        }
        if (snd_config_get_string(node, &text) >= 0 && text != nullptr) {
            out = snd_card_get_index(text);
            return out >= 0;
        }
        return false;
    };
    const auto readDevice = [](snd_config_t* node, int& out) {
        long number = 0;
        if (snd_config_get_integer(node, &number) >= 0) {
            out = static_cast<int>(number);
            return true;
        }
        return false;
    };
    snd_config_t* pcmDefault = nullptr;
    if (snd_config_search(snd_config, "pcm.default", &pcmDefault) >= 0 &&
        snd_config_get_type(pcmDefault) == SND_CONFIG_TYPE_COMPOUND) {
        snd_config_t* typeNode = nullptr;
        const char* type = nullptr;
        if (snd_config_search(pcmDefault, "type", &typeNode) < 0 ||
            snd_config_get_string(typeNode, &type) < 0 || type == nullptr ||
            std::strcmp(type, "hw") != 0) {
            return false;
        }
        snd_config_t* node = nullptr;
        device = 0;
        if (snd_config_search(pcmDefault, "device", &node) >= 0) {
            readDevice(node, device);
        }
        return snd_config_search(pcmDefault, "card", &node) >= 0 && readCard(node, card);
    }
    snd_config_t* node = nullptr;
    device = 0;
    if (snd_config_search(snd_config, "defaults.pcm.device", &node) >= 0) {
        readDevice(node, device);
    }
    return snd_config_search(snd_config, "defaults.pcm.card", &node) >= 0 && readCard(node, card);
}

std::u16string wide(const std::string& text) {
    return utf16FromUtf8(text);
}

// The ALSA sample format of an exact structure; nothing when there is none.
bool alsaFormatOf(const WaveFormatFields& fields, snd_pcm_format_t& format) noexcept {
    const WaveSampleType type = fields.sampleType();
    const unsigned container = fields.bitsPerSample;
    const unsigned valid = fields.validBits;
    if (type == WaveSampleType::Float) {
        format = SND_PCM_FORMAT_FLOAT_LE;
        return container == 32 && valid == 32;
    }
    if (type != WaveSampleType::Pcm) {
        return false;
    }
    if (container == 16 && valid == 16) {
        format = SND_PCM_FORMAT_S16_LE;
    } else if (container == 24 && valid == 24) {
        format = SND_PCM_FORMAT_S24_3LE;
    } else if (container == 32 && valid == 24) {
        format = SND_PCM_FORMAT_S24_LE;
    } else if (container == 32 && valid == 32) {
        format = SND_PCM_FORMAT_S32_LE;
    } else {
        return false;
    }
    return true;
}

// Shared between a client, its services and its poll thread. Every ALSA call
// on the PCM is made under `mutex` (a PCM handle is not safe to share) and
// by the client's own threads only: the poll thread never touches the PCM
// nor the mutex. It polls the descriptors taken at start, whose POLLOUT on a
// hw device means the avail_min of one period is free and whose POLLERR
// means an underrun or a suspend, which the writer recovers from on its next
// buffer. So the render thread's lock is never contended by the poller and
// never waits for it. The writer wakes the poller through `armed` and the
// eventfd `wakeFd`, never through a condition variable.
struct AlsaStream {
    std::string name;
    std::mutex mutex;
    snd_pcm_t* pcm = nullptr;

    bool configured = false;
    bool needsNewClient = false;
    bool started = false;
    std::atomic<bool> armed{true};  // the next free period may be signalled
    bool invalid = false;

    std::uint32_t rate = 0;
    std::uint32_t blockAlign = 0;
    std::uint32_t channels = 0;
    bool repack24 = false;  // S24_LE wants the value in the low three bytes
    std::uint32_t periodFrames = 0;
    snd_pcm_uframes_t ringFrames = 0;
    std::vector<std::uint8_t> staging;
    bool bufferOut = false;
    std::uint32_t bufferOutFrames = 0;
    std::uint64_t framesWritten = 0;
    std::uint64_t stoppedPosition = 0;
    Event* event = nullptr;
    int wakeFd = -1;
    std::vector<pollfd> pollFds;        // the PCM's descriptors, then wakeFd; fixed while polling
    std::atomic<bool> stopping{false};  // read by the poller without the mutex
    std::atomic<bool> invalidFromPoller{false};  // poll() itself failed
    std::thread poller;

    ~AlsaStream() {
        if (pcm != nullptr) {
            snd_pcm_close(pcm);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    AudioResult open() noexcept {
        if (pcm != nullptr) {
            return kAudioOk;
        }
        const int error =
            snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (error < 0) {
            pcm = nullptr;
            return fromErrno(error);
        }
        return kAudioOk;
    }

    // Narrows a fresh configuration space to exactly this format.
    AudioResult restrict(snd_pcm_hw_params_t* params, const WaveFormatFields& fields) noexcept {
        snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
        if (!fields.consistent() || !alsaFormatOf(fields, format)) {
            return kAudioUnsupportedFormat;
        }
        if (const int error = snd_pcm_hw_params_any(pcm, params); error < 0) {
            return fromErrno(error);
        }
        unsigned rateValue = fields.sampleRate;
        if (snd_pcm_hw_params_set_rate_resample(pcm, params, 0) < 0 ||
            snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm, params, format) < 0 ||
            snd_pcm_hw_params_set_channels(pcm, params, fields.channels) < 0 ||
            snd_pcm_hw_params_set_rate(pcm, params, rateValue, 0) < 0) {
            return kAudioUnsupportedFormat;
        }
        return kAudioOk;
    }

    std::uint64_t positionLocked() noexcept {
        if (!started) {
            return stoppedPosition;
        }
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0) {
            delay = 0;
        }
        const auto queued = static_cast<std::uint64_t>(delay);
        return queued >= framesWritten ? 0 : framesWritten - queued;
    }

    // Invalid by an ALSA answer or because the poller's poll() failed.
    bool isInvalid() const noexcept { return invalid || invalidFromPoller.load(); }

    // After an underrun the stream is prepared again and restarted once data is
    // in it; a suspended device is resumed when it can be at once, else
    // prepared again. Never waits: the writer calls it on the render thread.
    AudioResult recover(int error) noexcept {
        if (error == -EPIPE) {
            return snd_pcm_prepare(pcm) < 0 ? kAudioFail : kAudioOk;
        }
        if (error == -ESTRPIPE) {
            int result = snd_pcm_resume(pcm);
            if (result < 0) {
                result = snd_pcm_prepare(pcm);
            }
            return result < 0 ? fromErrno(result) : kAudioOk;
        }
        invalid = invalid || fromErrno(error) == kAudioDeviceInvalidated;
        return fromErrno(error);
    }

    // Takes the PCM's poll descriptors for the poller; under `mutex`, before
    // the poller starts.
    bool takePollDescriptors() {
        const int count = snd_pcm_poll_descriptors_count(pcm);
        if (count <= 0) {
            return false;
        }
        pollFds.assign(static_cast<std::size_t>(count) + 1, pollfd{});
        if (snd_pcm_poll_descriptors(pcm, pollFds.data(), static_cast<unsigned>(count)) != count) {
            return false;
        }
        pollFds.back() = pollfd{wakeFd, POLLIN, 0};
        return true;
    }

    // The poller: one event per period that has come free since the writer
    // last wrote, and one for an underrun or suspend so that the writer
    // recovers. No ALSA call, no lock.
    void pollLoop() {
        const std::size_t pcmCount = pollFds.size() - 1;
        while (!stopping.load()) {
            if (!armed.load()) {
                // Until the writer has written: only the wake-up descriptor.
                pollfd wake{wakeFd, POLLIN, 0};
                (void)::poll(&wake, 1, 1000);
                drainWake();
                continue;
            }
            const int ready = ::poll(pollFds.data(), pollFds.size(), 1000);
            if ((pollFds.back().revents & POLLIN) != 0) {
                drainWake();  // a writer's wake-up, already answered by being armed
            }
            if (stopping.load()) {
                break;
            }
            if (ready < 0 && errno != EINTR) {
                invalidFromPoller.store(true);
                if (Event* target = event; target != nullptr) {
                    target->set();  // the writer then finds the stream invalid
                }
                break;
            }
            bool due = false;
            for (std::size_t i = 0; i < pcmCount; ++i) {
                due = due || (pollFds[i].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
            }
            if (!due) {
                continue;
            }
            armed.store(false);
            if (Event* target = event; target != nullptr) {
                target->set();
            }
        }
    }

    void drainWake() const noexcept {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t drained = ::read(wakeFd, &value, sizeof value);
    }

    // Writer side: one non-blocking eventfd write, no lock.
    void wakePoller() const noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    }

    void stopPoller() noexcept {
        std::thread thread;
        {
            std::lock_guard lock(mutex);
            stopping.store(true);
            thread = std::move(poller);
        }
        wakePoller();
        if (thread.joinable()) {
            thread.join();
        }
        drainWake();
    }
};

class AlsaRenderService final : public AudioRenderService {
  public:
    explicit AlsaRenderService(std::shared_ptr<AlsaStream> stream) : stream_(std::move(stream)) {}

    AudioResult getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (s.isInvalid()) {
            return kAudioDeviceInvalidated;
        }
        if (s.bufferOut) {
            return kAudioOutOfOrder;
        }
        if (frames > s.periodFrames) {
            return kAudioBufferTooLarge;
        }
        // Hand out only what the device can take now, as an exclusive
        // endpoint does, so that the release never has to wait for room.
        snd_pcm_sframes_t room = snd_pcm_avail_update(s.pcm);
        if (room < 0) {
            if (const AudioResult recovered = s.recover(static_cast<int>(room));
                audioFailed(recovered)) {
                return recovered;
            }
            room = snd_pcm_avail_update(s.pcm);
        }
        if (room >= 0 && static_cast<snd_pcm_uframes_t>(room) < frames) {
            return kAudioBufferTooLarge;
        }
        data = s.staging.data();
        s.bufferOut = true;
        s.bufferOutFrames = frames;
        return kAudioOk;
    }

    AudioResult releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept override {
        AlsaStream& s = *stream_;
        std::unique_lock lock(s.mutex);
        if (s.isInvalid()) {
            return kAudioDeviceInvalidated;
        }
        if (!s.bufferOut) {
            return kAudioOutOfOrder;
        }
        if (frames > s.bufferOutFrames) {
            return kAudioInvalidSize;
        }
        s.bufferOut = false;
        std::uint8_t* bytes = s.staging.data();
        if ((flags & kAudioBufferSilent) != 0) {
            std::memset(bytes, 0, static_cast<std::size_t>(frames) * s.blockAlign);
        } else if (s.repack24) {
            // The writer puts the 24-bit value in the top three bytes of each
            // 32-bit slot; this device wants it in the bottom three, sign
            // extended. The value itself is unchanged.
            const std::size_t samples = static_cast<std::size_t>(frames) * s.channels;
            for (std::size_t i = 0; i < samples; ++i) {
                std::uint8_t* slot = bytes + i * 4;
                slot[0] = slot[1];
                slot[1] = slot[2];
                slot[2] = slot[3];
                slot[3] = (slot[2] & 0x80) != 0 ? 0xFF : 0x00;
            }
        }
        // No waiting here, and no sleep under the mutex: the buffer was handed
        // out only with room for it, so a write that finds none (another
        // writer of the same device) is refused at once.
        std::uint32_t done = 0;
        while (done < frames) {
            const snd_pcm_sframes_t result = snd_pcm_writei(
                s.pcm, bytes + static_cast<std::size_t>(done) * s.blockAlign, frames - done);
            if (result >= 0) {
                done += static_cast<std::uint32_t>(result);
                continue;
            }
            if (result == -EAGAIN) {
                s.framesWritten += done;
                return kAudioBufferTooLarge;
            }
            if (const AudioResult recovered = s.recover(static_cast<int>(result));
                audioFailed(recovered)) {
                return recovered;
            }
        }
        s.framesWritten += frames;
        if (s.started && snd_pcm_state(s.pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(s.pcm);
        }
        lock.unlock();
        if (!s.armed.exchange(true)) {
            s.wakePoller();
        }
        return kAudioOk;
    }

  private:
    std::shared_ptr<AlsaStream> stream_;
};

class AlsaClockService final : public AudioClockService {
  public:
    explicit AlsaClockService(std::shared_ptr<AlsaStream> stream) : stream_(std::move(stream)) {}

    AudioResult getFrequency(std::uint64_t& frequency) noexcept override {
        std::lock_guard lock(stream_->mutex);
        frequency = stream_->rate;
        return kAudioOk;
    }
    AudioResult getPosition(std::uint64_t& position) noexcept override {
        std::lock_guard lock(stream_->mutex);
        if (stream_->isInvalid()) {
            return kAudioDeviceInvalidated;
        }
        position = stream_->positionLocked();
        return kAudioOk;
    }

  private:
    std::shared_ptr<AlsaStream> stream_;
};

class AlsaClient final : public AudioClient {
  public:
    explicit AlsaClient(std::string name) : stream_(std::make_shared<AlsaStream>()) {
        stream_->name = std::move(name);
    }

    ~AlsaClient() override {
        stop();
        std::lock_guard lock(stream_->mutex);
        stream_->event = nullptr;
    }

    AudioResult isExclusiveFormatSupported(std::span<const std::uint8_t> format) noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (const AudioResult opened = s.open(); audioFailed(opened)) {
            return opened;
        }
        const auto fields = parseWaveFormat(format);
        if (!fields) {
            return kAudioUnsupportedFormat;
        }
        snd_pcm_hw_params_t* raw = nullptr;
        if (snd_pcm_hw_params_malloc(&raw) < 0) {
            return kAudioOutOfMemory;
        }
        HwParams params(raw);
        return s.restrict(params.get(), *fields);
    }

    AudioResult getDevicePeriod(std::int64_t& defaultPeriod,
                                std::int64_t& minimumPeriod) noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (const AudioResult opened = s.open(); audioFailed(opened)) {
            return opened;
        }
        snd_pcm_hw_params_t* raw = nullptr;
        if (snd_pcm_hw_params_malloc(&raw) < 0) {
            return kAudioOutOfMemory;
        }
        HwParams params(raw);
        if (const int error = snd_pcm_hw_params_any(s.pcm, params.get()); error < 0) {
            return fromErrno(error);
        }
        unsigned microseconds = 0;
        int direction = 0;
        if (snd_pcm_hw_params_get_period_time_min(params.get(), &microseconds, &direction) < 0) {
            microseconds = 1000;
        }
        minimumPeriod = std::max<std::int64_t>(10, static_cast<std::int64_t>(microseconds) * 10);
        defaultPeriod = std::max<std::int64_t>(minimumPeriod, 100'000);
        return kAudioOk;
    }

    AudioResult initialize(AudioShareMode mode, std::int64_t bufferDuration,
                           std::int64_t periodicity,
                           std::span<const std::uint8_t> format) noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (s.configured || s.needsNewClient) {
            return kAudioAlreadyInitialized;
        }
        if (mode != AudioShareMode::Exclusive) {
            return kAudioExclusiveModeOnly;  // a hw device has no mixer to share
        }
        if (bufferDuration != periodicity) {
            return kAudioPeriodNotEqual;
        }
        const auto fields = parseWaveFormat(format);
        if (!fields) {
            return kAudioUnsupportedFormat;
        }
        if (const AudioResult opened = s.open(); audioFailed(opened)) {
            return opened;
        }
        snd_pcm_hw_params_t* rawHw = nullptr;
        if (snd_pcm_hw_params_malloc(&rawHw) < 0) {
            return kAudioOutOfMemory;
        }
        HwParams hw(rawHw);
        if (const AudioResult narrowed = s.restrict(hw.get(), *fields); audioFailed(narrowed)) {
            return narrowed;
        }
        const auto requested = static_cast<snd_pcm_uframes_t>(
            std::llround(static_cast<double>(bufferDuration) * fields->sampleRate / 1e7));
        if (requested == 0) {
            return kAudioInvalidDevicePeriod;
        }
        // One period per event, two periods in the ring: the device plays one
        // while the writer fills the other.
        snd_pcm_uframes_t period = requested;
        int direction = 0;
        if (snd_pcm_hw_params_set_period_size_near(s.pcm, hw.get(), &period, &direction) < 0) {
            return kAudioInvalidDevicePeriod;
        }
        if (period != requested) {
            s.periodFrames = static_cast<std::uint32_t>(period);
            s.needsNewClient = true;
            return kAudioBufferSizeNotAligned;
        }
        unsigned periods = 2;
        if (snd_pcm_hw_params_set_periods_near(s.pcm, hw.get(), &periods, &direction) < 0 ||
            periods < 2) {
            return kAudioInvalidDevicePeriod;
        }
        if (const int error = snd_pcm_hw_params(s.pcm, hw.get()); error < 0) {
            return fromErrno(error);
        }
        snd_pcm_hw_params_get_buffer_size(hw.get(), &s.ringFrames);

        snd_pcm_sw_params_t* rawSw = nullptr;
        if (snd_pcm_sw_params_malloc(&rawSw) < 0) {
            return kAudioOutOfMemory;
        }
        SwParams sw(rawSw);
        snd_pcm_uframes_t boundary = 0;
        if (snd_pcm_sw_params_current(s.pcm, sw.get()) < 0 ||
            snd_pcm_sw_params_get_boundary(sw.get(), &boundary) < 0 ||
            snd_pcm_sw_params_set_avail_min(s.pcm, sw.get(), period) < 0 ||
            snd_pcm_sw_params_set_start_threshold(s.pcm, sw.get(), boundary) < 0 ||
            snd_pcm_sw_params_set_stop_threshold(s.pcm, sw.get(), s.ringFrames) < 0 ||
            snd_pcm_sw_params(s.pcm, sw.get()) < 0) {
            return kAudioFail;
        }
        s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (s.wakeFd < 0) {
            return kAudioFail;
        }
        try {
            s.staging.assign(static_cast<std::size_t>(period) * fields->blockAlign, 0);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        s.rate = fields->sampleRate;
        s.blockAlign = fields->blockAlign;
        s.channels = fields->channels;
        s.repack24 = fields->bitsPerSample == 32 && fields->validBits == 24;
        s.periodFrames = static_cast<std::uint32_t>(period);
        s.configured = true;
        return kAudioOk;
    }

    AudioResult setEventHandle(Event& event) noexcept override {
        std::lock_guard lock(stream_->mutex);
        if (!stream_->configured) {
            return kAudioNotInitialized;
        }
        stream_->event = &event;
        return kAudioOk;
    }

    AudioResult getBufferSize(std::uint32_t& frames) noexcept override {
        std::lock_guard lock(stream_->mutex);
        if (!stream_->configured && !stream_->needsNewClient) {
            return kAudioNotInitialized;
        }
        frames = stream_->periodFrames;
        return kAudioOk;
    }

    AudioResult getCurrentPadding(std::uint32_t& frames) noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (!s.configured) {
            return kAudioNotInitialized;
        }
        snd_pcm_sframes_t available = snd_pcm_avail(s.pcm);
        if (available < 0) {
            if (available == -EPIPE) {
                frames = 0;
                return kAudioOk;
            }
            return s.recover(static_cast<int>(available));
        }
        const auto free = std::min(static_cast<snd_pcm_uframes_t>(available), s.ringFrames);
        frames = static_cast<std::uint32_t>(s.ringFrames - free);
        return kAudioOk;
    }

    AudioResult getRenderService(std::unique_ptr<AudioRenderService>& service) noexcept override {
        if (!configured()) {
            return kAudioNotInitialized;
        }
        try {
            service = std::make_unique<AlsaRenderService>(stream_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

    AudioResult getClockService(std::unique_ptr<AudioClockService>& service) noexcept override {
        if (!configured()) {
            return kAudioNotInitialized;
        }
        try {
            service = std::make_unique<AlsaClockService>(stream_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

    AudioResult start() noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (s.isInvalid()) {
            return kAudioDeviceInvalidated;
        }
        if (!s.configured) {
            return kAudioNotInitialized;
        }
        if (s.started) {
            return kAudioNotStopped;
        }
        if (s.event == nullptr) {
            return kAudioEventHandleNotSet;
        }
        if (snd_pcm_state(s.pcm) != SND_PCM_STATE_PREPARED) {
            if (const int error = snd_pcm_prepare(s.pcm); error < 0) {
                return fromErrno(error);
            }
        }
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(s.pcm, &delay) >= 0 && delay > 0) {
            if (const int error = snd_pcm_start(s.pcm); error < 0) {
                return fromErrno(error);
            }
        }
        try {
            if (!s.takePollDescriptors()) {
                snd_pcm_drop(s.pcm);
                return kAudioFail;
            }
        } catch (const std::exception&) {
            snd_pcm_drop(s.pcm);
            return kAudioOutOfMemory;
        }
        s.started = true;
        s.stopping.store(false);
        s.armed = true;
        try {
            s.poller = std::thread([stream = stream_] { stream->pollLoop(); });
        } catch (const std::exception&) {
            snd_pcm_drop(s.pcm);
            s.started = false;
            return kAudioFail;
        }
        return kAudioOk;
    }

    AudioResult stop() noexcept override {
        AlsaStream& s = *stream_;
        {
            std::lock_guard lock(s.mutex);
            if (!s.started) {
                return s.configured ? kAudioFalse : kAudioNotInitialized;
            }
        }
        s.stopPoller();
        std::lock_guard lock(s.mutex);
        s.stoppedPosition = s.positionLocked();
        s.framesWritten = s.stoppedPosition;  // what was not played is dropped
        snd_pcm_drop(s.pcm);
        s.started = false;
        s.stopping.store(false);
        return kAudioOk;
    }

    AudioResult reset() noexcept override {
        AlsaStream& s = *stream_;
        std::lock_guard lock(s.mutex);
        if (!s.configured) {
            return kAudioNotInitialized;
        }
        if (s.started) {
            return kAudioNotStopped;
        }
        snd_pcm_drop(s.pcm);
        if (const int error = snd_pcm_prepare(s.pcm); error < 0) {
            return fromErrno(error);
        }
        s.framesWritten = 0;
        s.stoppedPosition = 0;
        return kAudioOk;
    }

  private:
    bool configured() const {
        std::lock_guard lock(stream_->mutex);
        return stream_->configured;
    }

    std::shared_ptr<AlsaStream> stream_;
};

// The card's playback volume on the scale a listener hears: a control with a
// dB range wider than 24 dB maps through 10^(dB/60) (the usual audio taper of
// desktop mixers), a narrower one is linear in its raw steps.
class AlsaVolume final : public AudioVolumeControl {
  public:
    ~AlsaVolume() override {
        if (mixer_ != nullptr) {
            snd_mixer_close(mixer_);
        }
    }

    AudioResult open(int cardIndex) noexcept {
        if (const int error = snd_mixer_open(&mixer_, 0); error < 0) {
            mixer_ = nullptr;
            return fromErrno(error);
        }
        const std::string name = "hw:" + std::to_string(cardIndex);
        if (const int error = snd_mixer_attach(mixer_, name.c_str()); error < 0) {
            return fromErrno(error);
        }
        if (snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 || snd_mixer_load(mixer_) < 0) {
            return kAudioFail;
        }
        static const char* const kPreferred[] = {"Master", "PCM", "Speaker", "Headphone",
                                                 "Digital"};
        for (const char* wanted : kPreferred) {
            for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e != nullptr;
                 e = snd_mixer_elem_next(e)) {
                if (snd_mixer_selem_is_active(e) && snd_mixer_selem_has_playback_volume(e) &&
                    std::strcmp(snd_mixer_selem_get_name(e), wanted) == 0) {
                    element_ = e;
                    break;
                }
            }
            if (element_ != nullptr) {
                break;
            }
        }
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_);
             element_ == nullptr && e != nullptr; e = snd_mixer_elem_next(e)) {
            if (snd_mixer_selem_is_active(e) && snd_mixer_selem_has_playback_volume(e)) {
                element_ = e;
            }
        }
        if (element_ != nullptr) {
            snd_mixer_selem_get_playback_volume_range(element_, &rawMin_, &rawMax_);
            long dbMin = 0;
            long dbMax = 0;
            if (snd_mixer_selem_get_playback_dB_range(element_, &dbMin, &dbMax) >= 0 &&
                dbMax - dbMin > 2400) {
                tapered_ = true;
                dbMax_ = dbMax;
                floor_ = dbMin == SND_CTL_TLV_DB_GAIN_MUTE
                             ? 0.0
                             : std::pow(10.0, (dbMin - dbMax) / 6000.0);
            }
        }
        return kAudioOk;
    }

    AudioResult queryHardwareSupport(std::uint32_t& mask) noexcept override {
        mask = element_ != nullptr && rawMax_ > rawMin_ ? kHardwareSupportVolume : 0;
        return kAudioOk;
    }

    AudioResult setMasterLevelScalar(float level) noexcept override {
        if (element_ == nullptr || rawMax_ <= rawMin_) {
            return kAudioFail;
        }
        if (!(level >= 0.0f && level <= 1.0f)) {
            return kAudioInvalidArgument;
        }
        int error = 0;
        if (tapered_) {
            const double scaled = level * (1.0 - floor_) + floor_;
            if (scaled <= 0.0) {
                error = snd_mixer_selem_set_playback_volume_all(element_, rawMin_);
            } else {
                const long db = std::lround(6000.0 * std::log10(scaled)) + dbMax_;
                error = snd_mixer_selem_set_playback_dB_all(element_, db, 1);
            }
        } else {
            const long raw = rawMin_ + std::lround(level * static_cast<double>(rawMax_ - rawMin_));
            error = snd_mixer_selem_set_playback_volume_all(element_, raw);
        }
        return error < 0 ? fromErrno(error) : kAudioOk;
    }

    AudioResult getMasterLevelScalar(float& level) noexcept override {
        if (element_ == nullptr || rawMax_ <= rawMin_) {
            return kAudioFail;
        }
        snd_mixer_handle_events(mixer_);
        if (tapered_) {
            long db = 0;
            if (const int error =
                    snd_mixer_selem_get_playback_dB(element_, SND_MIXER_SCHN_FRONT_LEFT, &db);
                error < 0) {
                return fromErrno(error);
            }
            double value = std::pow(10.0, (db - dbMax_) / 6000.0);
            value = (value - floor_) / (1.0 - floor_);
            level = static_cast<float>(std::clamp(value, 0.0, 1.0));
        } else {
            long raw = 0;
            if (const int error =
                    snd_mixer_selem_get_playback_volume(element_, SND_MIXER_SCHN_FRONT_LEFT, &raw);
                error < 0) {
                return fromErrno(error);
            }
            level = static_cast<float>(static_cast<double>(raw - rawMin_) /
                                       static_cast<double>(rawMax_ - rawMin_));
        }
        return kAudioOk;
    }

  private:
    snd_mixer_t* mixer_ = nullptr;
    snd_mixer_elem_t* element_ = nullptr;
    long rawMin_ = 0;
    long rawMax_ = 0;
    bool tapered_ = false;
    long dbMax_ = 0;
    double floor_ = 0.0;
};

class AlsaDevice final : public AudioDevice {
  public:
    explicit AlsaDevice(PlaybackDevice device) : device_(std::move(device)) {}

    AudioResult getId(std::u16string& id) noexcept override {
        try {
            id = wide(device_.id);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult openProperties() noexcept override {
        propertiesOpen_ = true;
        return kAudioOk;
    }
    AudioResult readFriendlyName(std::optional<std::u16string>& name) noexcept override {
        if (!propertiesOpen_) {
            return kAudioNotInitialized;
        }
        try {
            name = wide(device_.name);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult activateClient(std::unique_ptr<AudioClient>& client) noexcept override {
        try {
            client = std::make_unique<AlsaClient>(device_.id);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }
    AudioResult activateVolume(std::unique_ptr<AudioVolumeControl>& volume) noexcept override {
        try {
            auto control = std::make_unique<AlsaVolume>();
            if (const AudioResult opened =
                    control->open(snd_card_get_index(device_.cardId.c_str()));
                audioFailed(opened)) {
                return opened;
            }
            volume = std::move(control);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

  private:
    PlaybackDevice device_;
    bool propertiesOpen_ = false;
};

class AlsaEnumerator final : public AudioDeviceEnumerator {
  public:
    AudioResult getDefaultRenderEndpoint(std::unique_ptr<AudioDevice>& device) noexcept override {
        try {
            std::vector<PlaybackDevice> devices;
            if (const AudioResult listed = listPlaybackDevices(devices); audioFailed(listed)) {
                return listed;
            }
            int card = -1;
            int number = 0;
            if (!defaultCardAndDevice(card, number)) {
                return kAudioNotFound;
            }
            for (const PlaybackDevice& entry : devices) {
                if (entry.cardIndex == card && entry.device == number) {
                    device = std::make_unique<AlsaDevice>(entry);
                    return kAudioOk;
                }
            }
            return kAudioNotFound;
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
    }

    AudioResult enumerateActiveRenderEndpoints() noexcept override {
        try {
            return listPlaybackDevices(snapshot_);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
    }

    AudioResult getRenderEndpointCount(std::uint32_t& count) noexcept override {
        count = static_cast<std::uint32_t>(snapshot_.size());
        return kAudioOk;
    }

    AudioResult getRenderEndpoint(std::uint32_t index,
                                  std::unique_ptr<AudioDevice>& device) noexcept override {
        if (index >= snapshot_.size()) {
            return kAudioInvalidArgument;
        }
        try {
            device = std::make_unique<AlsaDevice>(snapshot_[index]);
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
        return kAudioOk;
    }

    AudioResult openEndpoint(const std::u16string& id,
                             std::unique_ptr<AudioDevice>& device) noexcept override {
        try {
            std::vector<PlaybackDevice> devices;
            if (const AudioResult listed = listPlaybackDevices(devices); audioFailed(listed)) {
                return listed;
            }
            const std::string wanted = utf8FromUtf16(id);
            for (const PlaybackDevice& entry : devices) {
                if (entry.id == wanted) {
                    device = std::make_unique<AlsaDevice>(entry);
                    return kAudioOk;
                }
            }
            return kAudioNotFound;
        } catch (const std::exception&) {
            return kAudioOutOfMemory;
        }
    }

  private:
    std::vector<PlaybackDevice> snapshot_;
};

}  // namespace

AudioResult createSystemAudioEnumerator(
    std::unique_ptr<AudioDeviceEnumerator>& enumerator) noexcept {
    try {
        enumerator = std::make_unique<AlsaEnumerator>();
    } catch (const std::exception&) {
        return kAudioOutOfMemory;
    }
    return kAudioOk;
}

AudioThreadApartment::~AudioThreadApartment() = default;

AudioResult AudioThreadApartment::join() noexcept {
    joined_ = true;
    return kAudioOk;
}

}  // namespace al::platform
