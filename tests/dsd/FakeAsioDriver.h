#pragma once
// A simulated ASIO driver behind the driver port: every answer can be set,
// every call is logged, and the test plays the driver's thread by calling
// switchHalf() (which invokes the host's callback) and record() (which takes
// what the host left in a half-buffer, as the hardware would play it).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/AsioDriver.h"

namespace al::test {

struct FakeAsioState {
    // Answers.
    bool comInitResult = true;
    platform::AsioCreateResult createResult = platform::AsioCreateResult::Created;
    bool initResult = true;
    platform::AsioResult ioFormatResult = platform::kAsioOk;
    std::int32_t ioFormatAfter = platform::kAsioFormatDsd;
    platform::AsioResult canRateResult = platform::kAsioOk;
    platform::AsioResult setRateResult = platform::kAsioOk;
    platform::AsioResult getRateResult = platform::kAsioOk;
    double rateReadBackOffset = 0.0;  // added to the rate that was set
    platform::AsioResult channelsResult = platform::kAsioOk;
    std::int32_t outputs = 2;
    platform::AsioResult bufferSizeResult = platform::kAsioOk;
    platform::AsioBufferSize bufferSize{16, 0x1000000, 4096, 16};
    platform::AsioResult channelInfoResult = platform::kAsioOk;
    std::int32_t sampleType[2] = {platform::kAsioDsdMsbFirst, platform::kAsioDsdMsbFirst};
    platform::AsioResult createBuffersResult = platform::kAsioOk;
    bool nullHalf = false;  // createBuffers hands back one null half-buffer
    platform::AsioResult outputReadyResult = platform::kAsioOk;
    platform::AsioResult startResult = platform::kAsioOk;

    // Observations.
    std::vector<std::string> calls;
    int comInits = 0;
    int comUninits = 0;
    double rateSet = 0.0;
    std::int32_t ioFormatSeen = -1;
    std::int32_t bufferSizeAsked = 0;
    std::vector<platform::AsioBufferInfo> infosAsked;
    platform::AsioCallbacks callbacks;
    std::atomic<int> outputReadyCalls{0};
    std::vector<std::uint8_t> halves[2][2];  // [channel][half]
    std::vector<std::uint8_t> wire[2];       // what the hardware played, per channel

    std::size_t halfBytes() const { return static_cast<std::size_t>(bufferSize.preferred) / 8; }

    // The driver's thread asks the host for half-buffer index.
    void switchHalf(std::int32_t index) const { callbacks.bufferSwitch(index, 1); }
    void switchHalfWithTimeInfo(std::int32_t index) const {
        callbacks.bufferSwitchTimeInfo(nullptr, index, 1);
    }
    // The hardware plays half-buffer index of both channels.
    void record(std::int32_t index) {
        for (int channel = 0; channel < 2; ++channel) {
            const auto& half = halves[channel][index];
            wire[channel].insert(wire[channel].end(), half.begin(), half.end());
        }
    }
};

class FakeAsioDriver final : public platform::AsioDriver {
  public:
    explicit FakeAsioDriver(FakeAsioState& state) : state_(state) {}
    ~FakeAsioDriver() override { log("release"); }

    bool init() noexcept override {
        log("init");
        return state_.initResult;
    }
    platform::AsioResult setIoFormat(std::int32_t& formatType) noexcept override {
        log("setIoFormat");
        state_.ioFormatSeen = formatType;
        formatType = state_.ioFormatAfter;
        return state_.ioFormatResult;
    }
    platform::AsioResult canSampleRate(double) noexcept override {
        log("canSampleRate");
        return state_.canRateResult;
    }
    platform::AsioResult setSampleRate(double rate) noexcept override {
        log("setSampleRate");
        state_.rateSet = rate;
        return state_.setRateResult;
    }
    platform::AsioResult getSampleRate(double& rate) noexcept override {
        log("getSampleRate");
        rate = state_.rateSet + state_.rateReadBackOffset;
        return state_.getRateResult;
    }
    platform::AsioResult getChannels(std::int32_t& inputs,
                                     std::int32_t& outputs) noexcept override {
        log("getChannels");
        inputs = 0;
        outputs = state_.outputs;
        return state_.channelsResult;
    }
    platform::AsioResult getBufferSize(platform::AsioBufferSize& size) noexcept override {
        log("getBufferSize");
        size = state_.bufferSize;
        return state_.bufferSizeResult;
    }
    platform::AsioResult getChannelInfo(std::int32_t channel, bool isInput,
                                        std::int32_t& sampleType) noexcept override {
        log(isInput ? "getChannelInfo(in)" : "getChannelInfo(out)");
        sampleType = state_.sampleType[channel & 1];
        return state_.channelInfoResult;
    }
    platform::AsioResult createBuffers(std::span<platform::AsioBufferInfo> infos,
                                       std::int32_t bufferSize,
                                       const platform::AsioCallbacks& callbacks) noexcept override {
        log("createBuffers");
        state_.bufferSizeAsked = bufferSize;
        state_.infosAsked.assign(infos.begin(), infos.end());
        state_.callbacks = callbacks;
        if (state_.createBuffersResult != platform::kAsioOk) {
            return state_.createBuffersResult;
        }
        const std::size_t bytes = static_cast<std::size_t>(bufferSize) / 8;
        for (auto& info : infos) {
            for (int half = 0; half < 2; ++half) {
                auto& memory = state_.halves[info.channel & 1][half];
                memory.assign(bytes, 0xEE);  // anything but the idle pattern
                info.buffers[half] = memory.data();
            }
        }
        if (state_.nullHalf) {
            infos.back().buffers[1] = nullptr;
        }
        return platform::kAsioOk;
    }
    platform::AsioResult disposeBuffers() noexcept override {
        log("disposeBuffers");
        return platform::kAsioOk;
    }
    platform::AsioResult outputReady() noexcept override {
        // Called from the callback too: no log there, the log allocates.
        state_.outputReadyCalls.fetch_add(1);
        return state_.outputReadyResult;
    }
    platform::AsioResult start() noexcept override {
        log("start");
        return state_.startResult;
    }
    platform::AsioResult stop() noexcept override {
        log("stop");
        return platform::kAsioOk;
    }

  private:
    void log(const char* call) noexcept {
        try {
            state_.calls.emplace_back(call);
        } catch (...) {
        }
    }
    FakeAsioState& state_;
};

class FakeAsioSystem final : public platform::AsioSystem {
  public:
    explicit FakeAsioSystem(FakeAsioState& state) : state_(state) {}

    bool initializeCom() noexcept override {
        ++state_.comInits;
        return state_.comInitResult;
    }
    void uninitializeCom() noexcept override { ++state_.comUninits; }
    platform::AsioCreateResult createDriver(
        const std::u16string&, std::unique_ptr<platform::AsioDriver>& driver) noexcept override {
        if (state_.createResult == platform::AsioCreateResult::Created) {
            driver = std::make_unique<FakeAsioDriver>(state_);
        }
        return state_.createResult;
    }
    std::vector<platform::AsioDriverEntry> listDrivers() override {
        return {{u"{00000000-0000-0000-0000-000000000001}", u"Simulated ASIO"}};
    }

  private:
    FakeAsioState& state_;
};

// One simulated driver with its system, as a test holds it.
struct FakeAsio {
    FakeAsioState state;
    FakeAsioSystem system{state};
};

}  // namespace al::test
