#pragma once
// A simulated native DSD device: which formats and rates it takes, what it
// was configured to, every byte written, and faults on demand. It answers as
// a hardware device would through the port, so the native output's choices,
// layouts and errors are tested without a DSD DAC.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/DsdDevice.h"

namespace morrow::dsd::test {

using al::platform::DsdResult;
using al::platform::DsdSampleFormat;

struct FakeDsdState {
    // (format, rate) pairs taken for stereo.
    std::set<std::pair<DsdSampleFormat, std::uint32_t>> accepted;
    bool shortBuffer = false;  // grant one period of buffer only
    DsdResult writeAnswer = DsdResult::Ok;
    DsdResult waitAnswer = DsdResult::Ok;
    bool writable = true;
    bool capture = true;

    bool configured = false;
    al::platform::DsdStreamSettings settings;
    std::vector<std::uint32_t> writes;  // frames per write
    std::vector<std::uint8_t> written;
    std::vector<DsdSampleFormat> asked;  // formats asked by supports(), in order
    int starts = 0;
    int stops = 0;
};

class FakeDsdDevice final : public al::platform::DsdPlaybackDevice {
  public:
    explicit FakeDsdDevice(std::shared_ptr<FakeDsdState> state) : state_(std::move(state)) {}

    DsdResult offersFormat(DsdSampleFormat format) noexcept override {
        for (const auto& entry : state_->accepted) {
            if (entry.first == format) {
                return DsdResult::Ok;
            }
        }
        return DsdResult::Unsupported;
    }
    DsdResult supports(DsdSampleFormat format, std::uint32_t channels,
                       std::uint32_t rate) noexcept override {
        state_->asked.push_back(format);
        return channels == 2 && state_->accepted.count({format, rate}) != 0
                   ? DsdResult::Ok
                   : DsdResult::Unsupported;
    }
    DsdResult configure(al::platform::DsdStreamSettings& settings) noexcept override {
        if (supports(settings.format, settings.channels, settings.rate) != DsdResult::Ok) {
            return DsdResult::Unsupported;
        }
        if (state_->shortBuffer) {
            settings.bufferFrames = settings.periodFrames;
        }
        state_->configured = true;
        state_->settings = settings;
        return DsdResult::Ok;
    }
    DsdResult waitWritable(std::uint32_t, bool& ready) noexcept override {
        ready = state_->writable;
        return state_->waitAnswer;
    }
    DsdResult write(const std::uint8_t* data, std::uint32_t frames) noexcept override {
        if (state_->writeAnswer != DsdResult::Ok) {
            return state_->writeAnswer;
        }
        state_->writes.push_back(frames);
        if (state_->capture) {
            const std::size_t bytes =
                std::size_t{frames} * 2 * al::platform::dsdSampleBytes(state_->settings.format);
            state_->written.insert(state_->written.end(), data, data + bytes);
        }
        return DsdResult::Ok;
    }
    DsdResult start() noexcept override {
        ++state_->starts;
        return DsdResult::Ok;
    }
    DsdResult stop() noexcept override {
        ++state_->stops;
        return DsdResult::Ok;
    }
    std::string detail() const override { return "simulated device failure"; }

  private:
    std::shared_ptr<FakeDsdState> state_;
};

}  // namespace morrow::dsd::test
