#include <alsa/asoundlib.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/DsdDevice.h"
#include "platform/Utf16.h"

// Native DSD on ALSA hw devices. The device is opened non-blocking, so a busy
// device answers at once instead of hanging the caller; waits go through
// poll() on the PCM's descriptors.

namespace al::platform {

namespace {

snd_pcm_format_t alsaFormat(DsdSampleFormat format) noexcept {
    switch (format) {
        case DsdSampleFormat::U32Be:
            return SND_PCM_FORMAT_DSD_U32_BE;
        case DsdSampleFormat::U32Le:
            return SND_PCM_FORMAT_DSD_U32_LE;
        case DsdSampleFormat::U16Be:
            return SND_PCM_FORMAT_DSD_U16_BE;
        case DsdSampleFormat::U16Le:
            return SND_PCM_FORMAT_DSD_U16_LE;
        case DsdSampleFormat::U8:
            break;
    }
    return SND_PCM_FORMAT_DSD_U8;
}

DsdResult fromErrno(int code) noexcept {
    switch (code < 0 ? -code : code) {
        case EBUSY:
        case EAGAIN:
            return DsdResult::Busy;
        case ENODEV:
        case ENOENT:
        case ENXIO:
        case EBADFD:
            return DsdResult::Gone;
        case EINVAL:
            return DsdResult::Unsupported;
        case EPIPE:
            return DsdResult::Underrun;
        default:
            return DsdResult::Failed;
    }
}

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* params) const noexcept { snd_pcm_hw_params_free(params); }
};
struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* params) const noexcept { snd_pcm_sw_params_free(params); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

HwParams makeHwParams() noexcept {
    snd_pcm_hw_params_t* raw = nullptr;
    if (snd_pcm_hw_params_malloc(&raw) < 0) {
        return nullptr;
    }
    return HwParams(raw);
}

class AlsaDsdDevice final : public DsdPlaybackDevice {
  public:
    explicit AlsaDsdDevice(snd_pcm_t* pcm) : pcm_(pcm) {}
    ~AlsaDsdDevice() override {
        snd_pcm_drop(pcm_);
        snd_pcm_close(pcm_);
    }

    DsdResult offersFormat(DsdSampleFormat format) noexcept override {
        HwParams params = makeHwParams();
        if (params == nullptr) {
            return fail(-ENOMEM, "snd_pcm_hw_params_malloc");
        }
        if (const int error = snd_pcm_hw_params_any(pcm_, params.get()); error < 0) {
            return fail(error, "snd_pcm_hw_params_any");
        }
        return snd_pcm_hw_params_test_format(pcm_, params.get(), alsaFormat(format)) == 0
                   ? DsdResult::Ok
                   : DsdResult::Unsupported;
    }

    DsdResult supports(DsdSampleFormat format, std::uint32_t channels,
                       std::uint32_t rate) noexcept override {
        HwParams params = makeHwParams();
        if (params == nullptr) {
            return fail(-ENOMEM, "snd_pcm_hw_params_malloc");
        }
        return narrow(params.get(), format, channels, rate);
    }

    DsdResult configure(DsdStreamSettings& settings) noexcept override {
        HwParams params = makeHwParams();
        if (params == nullptr) {
            return fail(-ENOMEM, "snd_pcm_hw_params_malloc");
        }
        if (const DsdResult narrowed =
                narrow(params.get(), settings.format, settings.channels, settings.rate);
            narrowed != DsdResult::Ok) {
            return narrowed;
        }
        snd_pcm_uframes_t period = settings.periodFrames;
        snd_pcm_uframes_t buffer = settings.bufferFrames;
        int dir = 0;
        if (const int error =
                snd_pcm_hw_params_set_period_size_near(pcm_, params.get(), &period, &dir);
            error < 0) {
            return fail(error, "snd_pcm_hw_params_set_period_size_near");
        }
        if (const int error = snd_pcm_hw_params_set_buffer_size_near(pcm_, params.get(), &buffer);
            error < 0) {
            return fail(error, "snd_pcm_hw_params_set_buffer_size_near");
        }
        if (const int error = snd_pcm_hw_params(pcm_, params.get()); error < 0) {
            return fail(error, "snd_pcm_hw_params");
        }
        snd_pcm_hw_params_get_period_size(params.get(), &period, &dir);
        snd_pcm_hw_params_get_buffer_size(params.get(), &buffer);
        settings.periodFrames = static_cast<std::uint32_t>(period);
        settings.bufferFrames = static_cast<std::uint32_t>(buffer);

        snd_pcm_sw_params_t* rawSw = nullptr;
        if (snd_pcm_sw_params_malloc(&rawSw) < 0) {
            return fail(-ENOMEM, "snd_pcm_sw_params_malloc");
        }
        SwParams sw(rawSw);
        snd_pcm_uframes_t boundary = 0;
        if (const int error = snd_pcm_sw_params_current(pcm_, sw.get()); error < 0) {
            return fail(error, "snd_pcm_sw_params_current");
        }
        snd_pcm_sw_params_get_boundary(sw.get(), &boundary);
        const snd_pcm_uframes_t availMin = settings.availMin == 0 ? period : settings.availMin;
        // Started explicitly, never by the amount written.
        if (const int error = snd_pcm_sw_params_set_start_threshold(pcm_, sw.get(), boundary);
            error < 0) {
            return fail(error, "snd_pcm_sw_params_set_start_threshold");
        }
        if (const int error = snd_pcm_sw_params_set_avail_min(pcm_, sw.get(), availMin);
            error < 0) {
            return fail(error, "snd_pcm_sw_params_set_avail_min");
        }
        if (const int error = snd_pcm_sw_params(pcm_, sw.get()); error < 0) {
            return fail(error, "snd_pcm_sw_params");
        }
        settings.availMin = static_cast<std::uint32_t>(availMin);
        availMin_ = availMin;
        if (const int error = snd_pcm_prepare(pcm_); error < 0) {
            return fail(error, "snd_pcm_prepare");
        }
        const int count = snd_pcm_poll_descriptors_count(pcm_);
        if (count <= 0) {
            return fail(-EBADFD, "snd_pcm_poll_descriptors_count");
        }
        try {
            fds_.assign(static_cast<std::size_t>(count), pollfd{});
        } catch (const std::exception&) {
            return fail(-ENOMEM, "poll descriptors");
        }
        snd_pcm_poll_descriptors(pcm_, fds_.data(), static_cast<unsigned>(count));
        return DsdResult::Ok;
    }

    DsdResult waitWritable(std::uint32_t timeoutMs, bool& ready) noexcept override {
        ready = false;
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            if (avail < 0) {
                return fail(static_cast<int>(avail), "snd_pcm_avail_update");
            }
            if (static_cast<snd_pcm_uframes_t>(avail) >= availMin_) {
                ready = true;
                return DsdResult::Ok;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0 || fds_.empty()) {
                return DsdResult::Ok;
            }
            const int polled = ::poll(fds_.data(), fds_.size(), static_cast<int>(left));
            if (polled < 0 && errno != EINTR) {
                return fail(-errno, "poll");
            }
            if (polled > 0) {
                unsigned short revents = 0;
                snd_pcm_poll_descriptors_revents(pcm_, fds_.data(),
                                                 static_cast<unsigned>(fds_.size()), &revents);
                if ((revents & (POLLERR | POLLNVAL)) != 0) {
                    const snd_pcm_state_t state = snd_pcm_state(pcm_);
                    return fail(state == SND_PCM_STATE_XRUN ? -EPIPE : -ENODEV, "poll");
                }
            }
        }
    }

    DsdResult write(const std::uint8_t* data, std::uint32_t frames) noexcept override {
        const std::uint8_t* at = data;
        snd_pcm_uframes_t left = frames;
        const auto frameBytes = static_cast<std::size_t>(snd_pcm_frames_to_bytes(pcm_, 1));
        while (left > 0) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, at, left);
            if (written == -EAGAIN) {
                // The caller waited for room; a device that still has none
                // is given a moment, never an endless spin.
                if (snd_pcm_wait(pcm_, 100) <= 0) {
                    return fail(-EAGAIN, "snd_pcm_writei");
                }
                continue;
            }
            if (written < 0) {
                return fail(static_cast<int>(written), "snd_pcm_writei");
            }
            left -= static_cast<snd_pcm_uframes_t>(written);
            at += static_cast<std::size_t>(written) * frameBytes;
        }
        return DsdResult::Ok;
    }

    DsdResult start() noexcept override {
        if (const int error = snd_pcm_start(pcm_); error < 0) {
            return fail(error, "snd_pcm_start");
        }
        return DsdResult::Ok;
    }

    DsdResult stop() noexcept override {
        if (const int error = snd_pcm_drop(pcm_); error < 0) {
            return fail(error, "snd_pcm_drop");
        }
        return DsdResult::Ok;
    }

    std::string detail() const override { return detail_; }

  private:
    DsdResult narrow(snd_pcm_hw_params_t* params, DsdSampleFormat format, std::uint32_t channels,
                     std::uint32_t rate) noexcept {
        if (const int error = snd_pcm_hw_params_any(pcm_, params); error < 0) {
            return fail(error, "snd_pcm_hw_params_any");
        }
        if (snd_pcm_hw_params_set_rate_resample(pcm_, params, 0) < 0 ||
            snd_pcm_hw_params_set_access(pcm_, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm_, params, alsaFormat(format)) < 0 ||
            snd_pcm_hw_params_set_channels(pcm_, params, channels) < 0 ||
            snd_pcm_hw_params_set_rate(pcm_, params, rate, 0) < 0) {
            return DsdResult::Unsupported;
        }
        return DsdResult::Ok;
    }

    DsdResult fail(int error, const char* step) noexcept {
        try {
            detail_ = std::string(step) + ": " + snd_strerror(error);
        } catch (const std::exception&) {
            detail_.clear();
        }
        return fromErrno(error);
    }

    snd_pcm_t* pcm_;
    snd_pcm_uframes_t availMin_ = 1;
    std::vector<pollfd> fds_;
    std::string detail_;
};

}  // namespace

DsdResult openDsdPlaybackDevice(const std::u16string& endpointId,
                                std::unique_ptr<DsdPlaybackDevice>& device) noexcept {
    device.reset();
    try {
        const std::string name = utf8FromUtf16(endpointId);
        // Hardware devices only: a plug or a sound server would convert.
        if (name.rfind("hw:", 0) != 0) {
            return DsdResult::Gone;
        }
        snd_pcm_t* pcm = nullptr;
        if (const int error =
                snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
            error < 0) {
            return fromErrno(error);
        }
        try {
            device = std::make_unique<AlsaDsdDevice>(pcm);
        } catch (const std::exception&) {
            snd_pcm_close(pcm);
            return DsdResult::Failed;
        }
        return DsdResult::Ok;
    } catch (const std::exception&) {
        return DsdResult::Failed;
    }
}

bool nativeDsdDevicesAvailable() noexcept {
    return true;
}

}  // namespace al::platform
