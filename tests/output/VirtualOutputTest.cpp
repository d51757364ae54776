#include "output/VirtualOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "output/EndpointFormat.h"
#include "platform/Event.h"

namespace al::audio {
namespace {

using namespace al::platform;

// One exclusive stream on a virtual device, driven the way the exact output
// drives an endpoint.
struct Stream {
    std::shared_ptr<VirtualOutput> device;
    std::unique_ptr<AudioDevice> endpoint;
    std::unique_ptr<AudioClient> client;
    std::unique_ptr<AudioRenderService> render;
    std::unique_ptr<AudioClockService> clock;
    Event event;
    std::uint32_t frames = 0;
    std::uint32_t blockAlign = 4;
    std::uint8_t next = 0;
    std::vector<std::uint8_t> written;

    explicit Stream(VirtualOutputConfig config) : device(VirtualOutput::create(std::move(config))) {
        endpoint = device->openDevice();
        EXPECT_EQ(endpoint->activateClient(client), kAudioOk);
        EXPECT_TRUE(event.create(Event::Reset::Automatic, false));
    }
    ~Stream() {
        clock.reset();
        render.reset();
        client.reset();
    }

    AudioResult open(std::int64_t duration, AudioShareMode mode = AudioShareMode::Exclusive) {
        const auto bytes = MakePlainWaveFormat(1, 2, 48000, 16);
        const AudioResult result = client->initialize(
            mode, duration, mode == AudioShareMode::Exclusive ? duration : 0, bytes);
        if (result != kAudioOk) {
            return result;
        }
        EXPECT_EQ(client->setEventHandle(event), kAudioOk);
        EXPECT_EQ(client->getBufferSize(frames), kAudioOk);
        EXPECT_EQ(client->getRenderService(render), kAudioOk);
        EXPECT_EQ(client->getClockService(clock), kAudioOk);
        return result;
    }

    // Writes n frames of a counting pattern (or silence).
    AudioResult write(std::uint32_t n, bool silent = false) {
        std::uint8_t* data = nullptr;
        if (const AudioResult got = render->getBuffer(n, data); got != kAudioOk) {
            return got;
        }
        for (std::uint32_t i = 0; i < n * blockAlign; ++i) {
            data[i] = next++;
            written.push_back(silent ? 0 : data[i]);
        }
        return render->releaseBuffer(n, silent ? kAudioBufferSilent : 0);
    }

    std::uint64_t positionFrames() {
        std::uint64_t frequency = 0;
        std::uint64_t position = 0;
        EXPECT_EQ(clock->getFrequency(frequency), kAudioOk);
        EXPECT_EQ(clock->getPosition(position), kAudioOk);
        EXPECT_EQ(frequency, 48000u * blockAlign);  // the clock counts bytes
        return position / blockAlign;
    }
};

VirtualOutputConfig freeRunning() {
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.captureWrites = true;
    return config;
}

TEST(VirtualOutput, CapturesEveryByteAndDrainsByTheClock) {
    Stream s(freeRunning());
    ASSERT_EQ(s.open(100'000), kAudioOk);  // 10 ms
    ASSERT_EQ(s.frames, 480u);
    ASSERT_EQ(s.write(s.frames), kAudioOk);  // prefill
    std::uint32_t padding = 0;
    ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    EXPECT_EQ(padding, 480u);
    EXPECT_EQ(s.positionFrames(), 0u);
    ASSERT_EQ(s.client->start(), kAudioOk);
    for (int period = 0; period < 20; ++period) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
        ASSERT_EQ(s.write(s.frames), kAudioOk);
    }
    const std::uint64_t total = s.written.size() / s.blockAlign;
    // Drain: silence until the clock has covered everything written.
    int silentPeriods = 0;
    while (s.positionFrames() < total) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
        ASSERT_EQ(s.write(s.frames, true), kAudioOk);
        ASSERT_LT(++silentPeriods, 10);
    }
    EXPECT_GE(silentPeriods, 1);  // the last period written was still playing
    ASSERT_EQ(s.client->stop(), kAudioOk);
    EXPECT_EQ(s.device->captured(), s.written);
    EXPECT_EQ(s.device->statistics().framesWritten, s.written.size() / s.blockAlign);
    ASSERT_EQ(s.client->reset(), kAudioOk);
    EXPECT_EQ(s.positionFrames(), 0u);
    ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    EXPECT_EQ(padding, 0u);
}

// Drained into one vector again and again, a capture loses and repeats
// nothing, and goes on in the storage handed back.
TEST(VirtualOutput, CaptureDrainedIntoOneVectorKeepsEveryByteOnce) {
    Stream s(freeRunning());
    ASSERT_EQ(s.open(100'000), kAudioOk);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    std::vector<std::uint8_t> drained;
    std::vector<std::uint8_t> taken(4096, 0xEE);  // stale bytes must not survive
    for (int period = 0; period < 12; ++period) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
        ASSERT_EQ(s.write(s.frames), kAudioOk);
        if (period % 3 == 2) {
            s.device->takeCaptured(taken);
            drained.insert(drained.end(), taken.begin(), taken.end());
        }
    }
    ASSERT_EQ(s.client->stop(), kAudioOk);
    s.device->takeCaptured(taken);
    drained.insert(drained.end(), taken.begin(), taken.end());
    EXPECT_EQ(drained, s.written);
    s.device->takeCaptured(taken);
    EXPECT_TRUE(taken.empty());
}

TEST(VirtualOutput, AWriterMayNotOverfillOrReleaseOutOfOrder) {
    Stream s(freeRunning());
    ASSERT_EQ(s.open(100'000), kAudioOk);
    std::uint8_t* data = nullptr;
    EXPECT_EQ(s.render->releaseBuffer(1, 0), kAudioOutOfOrder);
    ASSERT_EQ(s.render->getBuffer(100, data), kAudioOk);
    EXPECT_EQ(s.render->getBuffer(100, data), kAudioOutOfOrder);
    EXPECT_EQ(s.render->releaseBuffer(101, 0), kAudioInvalidSize);
    ASSERT_EQ(s.render->releaseBuffer(100, 0), kAudioOk);
    EXPECT_EQ(s.render->getBuffer(381, data), kAudioBufferTooLarge);
    EXPECT_EQ(s.render->getBuffer(380, data), kAudioOk);
    EXPECT_EQ(s.client->start(), kAudioOk);
    EXPECT_EQ(s.client->start(), kAudioNotStopped);
    EXPECT_EQ(s.client->reset(), kAudioNotStopped);
    EXPECT_EQ(s.render->releaseBuffer(380, 0), kAudioOk);
    EXPECT_EQ(s.client->stop(), kAudioOk);
    EXPECT_EQ(s.client->stop(), kAudioFalse);
}

TEST(VirtualOutput, ExclusiveInitialisationFollowsThePeriodAndAlignmentRules) {
    VirtualOutputConfig config;
    config.bufferAlignmentFrames = 128;  // 10 ms (480 frames) aligns down to 384
    config.minimumPeriod = 30'000;
    {
        Stream s(config);
        EXPECT_EQ(s.client->initialize(AudioShareMode::Exclusive, 50'000, 40'000,
                                       MakePlainWaveFormat(1, 2, 48000, 16)),
                  kAudioPeriodNotEqual);
        EXPECT_EQ(s.open(20'000), kAudioInvalidDevicePeriod);
        EXPECT_EQ(s.open(100'000), kAudioBufferSizeNotAligned);
        std::uint32_t aligned = 0;
        EXPECT_EQ(s.client->getBufferSize(aligned), kAudioOk);
        EXPECT_EQ(aligned, 384u);
        EXPECT_EQ(s.open(100'000), kAudioAlreadyInitialized);  // this client is spent
    }
    Stream retry(config);
    // frames × 10^7 / rate + 0.5, truncated: the retry the exact output makes.
    const auto duration = static_cast<std::int64_t>(384 * 10'000'000.0 / 48000 + 0.5);
    EXPECT_EQ(retry.open(duration), kAudioOk);
    EXPECT_EQ(retry.frames, 384u);
}

TEST(VirtualOutput, OneStreamAtATimeAndBusyOrRefusedFormats) {
    VirtualOutputConfig config;
    config.refusedAtInitialize = {{48000, 2, 16, 16, false, VirtualFormat::Structure::Any}};
    Stream first(VirtualOutputConfig{});
    ASSERT_EQ(first.open(100'000), kAudioOk);
    std::unique_ptr<AudioClient> second;
    ASSERT_EQ(first.endpoint->activateClient(second), kAudioOk);
    const auto bytes = MakePlainWaveFormat(1, 2, 48000, 16);
    EXPECT_EQ(second->isExclusiveFormatSupported(bytes), kAudioDeviceInUse);
    EXPECT_EQ(second->initialize(AudioShareMode::Exclusive, 100'000, 100'000, bytes),
              kAudioDeviceInUse);
    first.client.reset();
    EXPECT_FALSE(first.device->streamOpen());
    EXPECT_EQ(second->initialize(AudioShareMode::Exclusive, 100'000, 100'000, bytes), kAudioOk);

    Stream refusing(config);
    EXPECT_EQ(refusing.client->isExclusiveFormatSupported(bytes), kAudioOk);
    EXPECT_EQ(refusing.open(100'000), kAudioUnsupportedFormat);

    config.busy = true;
    Stream busy(config);
    EXPECT_EQ(busy.client->isExclusiveFormatSupported(bytes), kAudioDeviceInUse);
    EXPECT_EQ(busy.open(100'000), kAudioDeviceInUse);

    // Structures that contradict themselves are refused whatever is accepted.
    auto wrongAlign = bytes;
    wrongAlign[12] = 8;
    Stream fresh(VirtualOutputConfig{});
    EXPECT_EQ(fresh.client->isExclusiveFormatSupported(wrongAlign), kAudioUnsupportedFormat);
    EXPECT_EQ(fresh.client->isExclusiveFormatSupported(
                  std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 17)),
              kAudioUnsupportedFormat);
}

TEST(VirtualOutput, AWriterThatFallsBehindHearsSilenceAndTheClockRunsOn) {
    Stream s(freeRunning());
    ASSERT_EQ(s.open(30'000), kAudioOk);  // 144 frames
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    // Ignore three events: the device plays silence for each missing period.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
    }
    ASSERT_EQ(waitFor(s.event, 2000), 0u);
    ASSERT_EQ(s.client->stop(), kAudioOk);
    EXPECT_GE(s.device->statistics().underruns, 3u);
    EXPECT_GE(s.positionFrames(), 3u * s.frames);
}

// The clock thread asks the gate with its stream lock held, so a gate that
// does not answer keeps that lock: the writer's calls must still complete,
// since a render thread may never wait for a device thread.
TEST(VirtualOutput, TheWriterNeverWaitsForTheClockThread) {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.freeRunningGate = [&] {
        entered.store(true);
        while (!open.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    };
    Stream s(config);
    ASSERT_EQ(s.open(30'000), kAudioOk);  // 144 frames
    ASSERT_EQ(s.client->start(), kAudioOk);
    while (!entered.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    struct Answers {
        AudioResult write = kAudioFail;
        AudioResult overfill = kAudioFail;
        std::uint32_t padding = 0;
        std::uint64_t position = 1;
    };
    auto writer = std::async(std::launch::async, [&] {
        Answers a;
        a.write = s.write(s.frames);
        std::uint8_t* data = nullptr;
        a.overfill = s.render->getBuffer(1, data);
        EXPECT_EQ(s.client->getCurrentPadding(a.padding), kAudioOk);
        EXPECT_EQ(s.clock->getPosition(a.position), kAudioOk);
        return a;
    });
    const bool finished = writer.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    open.store(true);
    const Answers a = writer.get();
    EXPECT_TRUE(finished) << "the writer waited for the clock thread's lock";
    EXPECT_EQ(a.write, kAudioOk);
    EXPECT_EQ(a.overfill, kAudioBufferTooLarge);  // the buffer is full until the clock takes it
    EXPECT_EQ(a.padding, s.frames);
    EXPECT_EQ(a.position, 0u);
    // Once the gate opens the clock takes the period and signals as usual.
    ASSERT_EQ(waitFor(s.event, 2000), 0u);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->stop(), kAudioOk);
    EXPECT_EQ(s.device->statistics().framesWritten, 2u * s.frames);
}

// A writer that can say when its material is ready waits for the clock in
// its own way; the clock holds no lock meanwhile and still stops.
TEST(VirtualOutput, TheGateWaitsThroughTheWritersWait) {
    std::atomic<int> waits{0};
    std::atomic<bool> closed{false};
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.freeRunningGate = [&] { return !closed.load() && waits.load() >= 3; };
    config.freeRunningGateWait = [&] {
        waits.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Stream s(config);
    ASSERT_EQ(s.open(30'000), kAudioOk);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    ASSERT_EQ(waitFor(s.event, 2000), 0u);
    EXPECT_EQ(waits.load(), 3);
    // Closed for good: the clock keeps waiting the writer's way, and a stop
    // still ends it.
    closed.store(true);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    while (waits.load() < 6) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::uint32_t padding = 0;
    EXPECT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    ASSERT_EQ(s.client->stop(), kAudioOk);
    EXPECT_EQ(s.device->statistics().framesWritten, 2u * s.frames);
}

// Free-running with the gate open, a release begins the next period at
// once on the writer's thread: its event is already set when the release
// returns, and the clock thread, woken by nothing, begins no period twice.
// A closed gate leaves the period to the clock thread, as before.
TEST(VirtualOutput, AnOpenGateLetsTheReleaseBeginTheNextPeriod) {
    std::atomic<bool> open{true};
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.freeRunningGate = [&] { return open.load(); };
    Stream s(config);
    ASSERT_EQ(s.open(30'000), kAudioOk);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    ASSERT_EQ(waitFor(s.event, 2000), 0u);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(s.write(s.frames), kAudioOk);
        ASSERT_EQ(waitFor(s.event, 0), 0u) << "period " << i << " was not begun by the release";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(s.device->statistics().eventsSignalled, 11u);
    EXPECT_EQ(s.device->statistics().framesPlayed, 11u * s.frames);

    open.store(false);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    EXPECT_EQ(waitFor(s.event, 20), kWaitTimeout);
    open.store(true);
    ASSERT_EQ(waitFor(s.event, 2000), 0u);
    ASSERT_EQ(s.client->stop(), kAudioOk);
    const VirtualOutputStatistics stats = s.device->statistics();
    EXPECT_EQ(stats.eventsSignalled, 12u);
    EXPECT_EQ(stats.underruns, 0u);
    EXPECT_EQ(stats.framesWritten, 12u * s.frames);
}

TEST(VirtualOutput, LateEventsAndAVanishingDevice) {
    VirtualOutputConfig config = freeRunning();
    config.lateEveryNthEvent = 2;
    config.lateByNs = 1'000'000;
    config.invalidateAfterEvents = 6;
    Stream s(config);
    ASSERT_EQ(s.open(30'000), kAudioOk);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    int events = 0;
    AudioResult last = kAudioOk;
    while (last == kAudioOk && events < 20) {
        if (waitFor(s.event, 500) != 0u) {
            break;
        }
        ++events;
        last = s.write(s.frames);
    }
    EXPECT_EQ(events, 6);
    std::uint32_t padding = 0;
    EXPECT_EQ(s.client->getCurrentPadding(padding), kAudioDeviceInvalidated);
    EXPECT_EQ(s.client->stop(), kAudioDeviceInvalidated);
    const auto statistics = s.device->statistics();
    EXPECT_EQ(statistics.eventsSignalled, 6u);
    EXPECT_EQ(statistics.lateEvents, 3u);
}

TEST(VirtualOutput, RealTimePaceAdvancesTheClockWithinThePeriod) {
    VirtualOutputConfig config;
    config.captureWrites = true;
    Stream s(config);
    ASSERT_EQ(s.open(100'000), kAudioOk);
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    ASSERT_EQ(s.client->start(), kAudioOk);
    for (int period = 0; period < 5; ++period) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
        ASSERT_EQ(s.write(s.frames), kAudioOk);
    }
    const std::uint64_t position = s.positionFrames();
    ASSERT_EQ(s.client->stop(), kAudioOk);
    // Five periods began, so four were played whatever the writer did; what
    // was written and not played is still padding (a late writer adds
    // silence to the clock, never loses data).
    EXPECT_GE(position, 4u * s.frames);
    std::uint32_t padding = 0;
    ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    EXPECT_GE(s.positionFrames() + padding, s.written.size() / s.blockAlign);
    EXPECT_LE(padding, 2u * s.frames);
    EXPECT_EQ(s.device->captured(), s.written);
}

TEST(VirtualOutput, SharedStreamsReportTheFreePartOfTheirBuffer) {
    VirtualOutputConfig config = freeRunning();
    Stream s(config);
    ASSERT_EQ(s.open(0, AudioShareMode::Shared), kAudioOk);
    EXPECT_EQ(s.frames, 960u);  // two default periods
    ASSERT_EQ(s.write(s.frames), kAudioOk);
    std::uint32_t padding = 0;
    ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    EXPECT_EQ(padding, 960u);
    std::uint8_t* data = nullptr;
    EXPECT_EQ(s.render->getBuffer(1, data), kAudioBufferTooLarge);
    ASSERT_EQ(s.client->start(), kAudioOk);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(waitFor(s.event, 2000), 0u);
        ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
        if (padding < s.frames) {
            ASSERT_EQ(s.write(s.frames - padding), kAudioOk);
        }
    }
    ASSERT_EQ(s.client->stop(), kAudioOk);
    ASSERT_EQ(s.client->getCurrentPadding(padding), kAudioOk);
    EXPECT_EQ(s.positionFrames() + padding, s.written.size() / s.blockAlign);
}

}  // namespace
}  // namespace al::audio

namespace al::audio {
namespace {

// Runs `events` periods of a free-running stream and returns its statistics.
VirtualOutputStatistics runEvents(VirtualOutputConfig config, int events,
                                  std::uint32_t* frames = nullptr) {
    Stream s(config);
    EXPECT_EQ(s.open(100'000), kAudioOk);
    if (frames != nullptr) {
        *frames = s.frames;
    }
    EXPECT_EQ(s.write(s.frames), kAudioOk);
    EXPECT_EQ(s.client->start(), kAudioOk);
    for (int i = 0; i < events; ++i) {
        if (waitFor(s.event, 500) != 0u) {
            break;
        }
        EXPECT_EQ(s.write(s.frames), kAudioOk);
    }
    EXPECT_EQ(s.client->stop(), kAudioOk);
    return s.device->statistics();
}

TEST(VirtualOutputFaults, TimedLateEventsComeInBursts) {
    VirtualOutputConfig config = freeRunning();
    config.lateByNs = 200'000;
    config.lateIntervalNs = 3'600'000'000'000;  // an hour: never within the test
    config.lateBurst = 3;
    EXPECT_EQ(runEvents(config, 6).lateEvents, 0u);
    config.lateIntervalNs =
        1;  // always due: the first event starts the clock, every later one is late
    const VirtualOutputStatistics late = runEvents(config, 6);
    EXPECT_GE(late.eventsSignalled, 6u);
    EXPECT_EQ(late.lateEvents, late.eventsSignalled - 1);
}

TEST(VirtualOutputFaults, CappedEndpointGrantsNoMoreThanItsCap) {
    VirtualOutputConfig config = freeRunning();
    config.maximumExclusiveBuffer = 50'000;  // 5 ms
    std::uint32_t frames = 0;
    runEvents(config, 1, &frames);  // asks for 10 ms
    EXPECT_EQ(frames, 240u);
}

TEST(VirtualOutputFaults, DeviceIdOptions) {
    VirtualOutputConfig base;
    EXPECT_FALSE(ParseVirtualDeviceId("card", base).has_value());
    EXPECT_FALSE(ParseVirtualDeviceId("virtualx", base).has_value());
    ASSERT_TRUE(ParseVirtualDeviceId("virtual", base).has_value());

    const auto late = ParseVirtualDeviceId("virtual:late=8ms/2s", base);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->id, u"virtual");
    EXPECT_EQ(late->lateByNs, 8'000'000);
    EXPECT_EQ(late->lateIntervalNs, 2'000'000'000);
    EXPECT_EQ(late->lateBurst, 1u);

    const auto all = ParseVirtualDeviceId("virtual:late=1.5ms/500msx2,cap=6ms,busy", base);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->lateByNs, 1'500'000);
    EXPECT_EQ(all->lateIntervalNs, 500'000'000);
    EXPECT_EQ(all->lateBurst, 2u);
    EXPECT_EQ(all->maximumExclusiveBuffer, 60'000);
    EXPECT_TRUE(all->busy);

    for (const char* bad : {"virtual:late=8ms", "virtual:late=8/2s", "virtual:late=8ms/2sx0",
                            "virtual:cap=-1ms", "virtual:loud", "virtual:"}) {
        EXPECT_THROW(ParseVirtualDeviceId(bad, base), std::invalid_argument) << bad;
    }
    try {
        ParseVirtualDeviceId("virtual:late=8ms,cap=1ms", base);
        FAIL();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Invalid virtual output option: late=8ms");
    }
}

}  // namespace
}  // namespace al::audio
