// The DSD engine between a fake DSD source and a fake output whose device
// events the test counts out, so every buffer the engine fills is known.

#include <gtest/gtest.h>

#include <future>

#include "EngineFakes.h"
#include "dsd/DsdEngine.h"
#include "dsd/DsdEngineChoices.h"
#include "platform/MemoryBudget.h"

namespace al::audio {
namespace {

using namespace std::chrono_literals;
using test::eventually;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint32_t kIdle = 0x69696969u;
constexpr double kDsd64FrameRate = 176'400.0;

class DsdEngineTest : public ::testing::Test {
protected:
    // A DSD64 track of `frames` words, a constant-level PCM source beside it,
    // the fake output, 8 GiB "available".
    DsdEngineOptions options(std::uint64_t frames, std::uint32_t rate = test::kDsd64Rate) {
        source_ = test::fakeSource(frames, rate);
        output_->source = source_;
        DsdEngineOptions o;
        o.dsdMultiple = 64;
        o.sourceFactory = [s = source_]() -> std::unique_ptr<morrow::dsd::IDsdSource> {
            s->made.fetch_add(1);
            return std::make_unique<test::FakeDsdSource>(s);
        };
        o.outputFactory = [out = output_]() -> std::unique_ptr<IAudioOutput> {
            {
                std::lock_guard guard(out->mutex);
                ++out->made;
            }
            return std::make_unique<test::FakeOutput>(out);
        };
        o.availableMemory = [] { return std::optional<std::uint64_t>(8 * kGiB); };
        return o;
    }

    std::unique_ptr<DsdEngine> start(DsdEngineOptions o) {
        return std::make_unique<DsdEngine>(pcm_, std::move(o));
    }

    static bool inState(const DsdEngine& engine, DsdEngineState state) {
        return eventually([&] { return engine.status().state == state; });
    }

    int outputsMade() {
        std::lock_guard guard(output_->mutex);
        return output_->made;
    }

    // Expected DoP bytes for a run of frame words, markers counted from 0.
    static std::vector<std::uint8_t> dop(const std::vector<std::uint32_t>& words, std::uint32_t carrierBytes) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t k = 0; k < words.size(); ++k) {
            test::appendDopFrame(bytes, words[k], k, carrierBytes);
        }
        return bytes;
    }

    static std::vector<std::uint32_t> trackWords(std::uint64_t first, std::uint64_t count) {
        std::vector<std::uint32_t> words;
        for (std::uint64_t i = first; i < first + count; ++i) {
            words.push_back(test::fakeTrackWord(i));
        }
        return words;
    }

    static void append(std::vector<std::uint32_t>& to, const std::vector<std::uint32_t>& more) {
        to.insert(to.end(), more.begin(), more.end());
    }

    std::shared_ptr<const playback::PlaybackSource> pcm_ =
        test::stepSource(2, 88'200, 88'200, [](std::uint64_t, std::uint16_t c) { return c == 0 ? 0.8 : 0.4; });
    std::shared_ptr<test::FakeOutputState> output_ = std::make_shared<test::FakeOutputState>();
    std::shared_ptr<test::FakeDsdSourceState> source_;
};

template <typename E>
std::string thrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

TEST_F(DsdEngineTest, ConstructionRefusesNoSourceAndMultiplesThatAreNotPowersOfTwoFrom64To2048) {
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { DsdEngine engine(nullptr, options(16)); }),
              "No source for DSD");
    for (const std::int32_t bad : {0, 32, 96, 100, 4096, -64}) {
        DsdEngineOptions o = options(16);
        o.dsdMultiple = bad;
        EXPECT_EQ(thrownText<std::invalid_argument>([&] { DsdEngine engine(pcm_, o); }), "Invalid DSD rate")
            << bad;
    }
    for (const std::int32_t good : {64, 128, 256, 512, 1024, 2048}) {
        DsdEngineOptions o = options(16);
        o.dsdMultiple = good;
        EXPECT_NO_THROW(DsdEngine(pcm_, o)) << good;
    }
}

// ---- memory budget ----

TEST_F(DsdEngineTest, ThreeMinutesAtDsd2048FailWithTheRamMessageBeforePreparationWhen4GiBAreAvailable) {
    // 180 s x 90,316,800 / 16 words x 4 bytes: about 3.8 GiB against a 3.2 GiB budget.
    const std::uint64_t frames = 180ull * 90'316'800 / 16;
    DsdEngineOptions o = options(frames, 90'316'800);
    o.dsdMultiple = 2048;
    o.availableMemory = [] { return std::optional<std::uint64_t>(4 * kGiB); };
    auto engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    const DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Failed);
    EXPECT_EQ(status.failureText, "Complete DSD track will not fit in available RAM; select a lower rate");
    EXPECT_EQ(source_->reads.load(), 0u);
    EXPECT_EQ(outputsMade(), 0);
}

TEST_F(DsdEngineTest, BudgetIsFourFifthsOfAvailableMemoryOrTheGivenNumber) {
    // 1000 words need 4000 bytes. 4999 - 4999 / 5 = 4000 fits; 4998 - 999 = 3999 does not.
    const auto outcome = [&](std::uint64_t available, std::uint64_t ramBudget) {
        DsdEngineOptions o = options(1000);
        o.availableMemory = [available] { return std::optional<std::uint64_t>(available); };
        o.ramBudget = ramBudget;
        auto engine = start(o);
        EXPECT_TRUE(eventually([&] {
            const auto s = engine->status().state;
            return s == DsdEngineState::Ready || s == DsdEngineState::Failed;
        }));
        return engine->status();
    };
    EXPECT_EQ(outcome(4999, 0).state, DsdEngineState::Ready);
    EXPECT_EQ(outcome(4998, 0).state, DsdEngineState::Failed);
    EXPECT_EQ(outcome(1, 4000).state, DsdEngineState::Ready);
    const DsdEngineStatus refused = outcome(100 * kGiB, 3999);
    EXPECT_EQ(refused.state, DsdEngineState::Failed);
    EXPECT_EQ(refused.failureText, "Complete DSD track will not fit in available RAM; select a lower rate");
    EXPECT_EQ(outcome(5000, 0).memoryBytes, 4000u);
}

TEST_F(DsdEngineTest, MemoryQueryFailureAndFrameCountOverflowAreReportedBeforeTheOutputIsMade) {
    DsdEngineOptions o = options(1000);
    o.availableMemory = [] { return std::optional<std::uint64_t>(); };
    auto engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().failureText, "Cannot query available RAM");

    o = options(1ull << 62);
    engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().failureText, "DSD memory size overflow");
    EXPECT_EQ(outputsMade(), 0);
}

TEST(DsdMemoryBudget, TheSystemAnswersWithSomeAvailableMemory) {
    const std::optional<std::uint64_t> available = platform::availablePhysicalMemory();
    ASSERT_TRUE(available.has_value());
    EXPECT_GT(*available, 16u * 1024 * 1024);
}

// ---- output opening ----

TEST_F(DsdEngineTest, OutputIsOpenedOnTheEndpointAtRateOver16BeforeAnyFrameIsRead) {
    DsdEngineOptions o = options(1000);
    o.endpointId = u"endpoint-7";
    auto engine = start(o);
    ASSERT_TRUE(inState(*engine, DsdEngineState::Ready));
    const DsdEngineStatus status = engine->status();
    std::lock_guard guard(output_->mutex);
    EXPECT_EQ(output_->requestedRate, 176'400u);
    EXPECT_EQ(output_->requestedId, u"endpoint-7");
    EXPECT_EQ(output_->sourceReadsAtOpen, 0u);
    EXPECT_FALSE(output_->started);
    EXPECT_EQ(status.rate, 2'822'400u);
    EXPECT_DOUBLE_EQ(status.duration, 16000.0 / 2'822'400);
    EXPECT_EQ(status.memoryBytes, 4000u);
    EXPECT_EQ(status.progress, 1.0);
    EXPECT_EQ(status.outputDescription, "24-bit in 24 bits");
    EXPECT_EQ(source_->reads.load(), 1000u);
}

TEST_F(DsdEngineTest, AnOutputAnsweringAnotherRateOrNoBufferFailsBeforePreparation) {
    for (const auto& [rate, frames] : {std::pair<std::uint32_t, std::uint32_t>{176'401, 64}, {88'200, 64},
                                       {176'400, 0}}) {
        DsdEngineOptions o = options(1000);
        output_->format.frameRate = rate;
        output_->format.framesPerBuffer = frames;
        auto engine = start(o);
        ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
        EXPECT_EQ(engine->status().state, DsdEngineState::Failed);
        EXPECT_EQ(engine->status().failureText, "Output rate mismatch");
        EXPECT_EQ(source_->reads.load(), 0u);
    }
}

TEST_F(DsdEngineTest, NoOutputOrACarrierThePackerCannotFillFailsBeforePreparation) {
    DsdEngineOptions o = options(1000);
    o.outputFactory = [] { return std::unique_ptr<IAudioOutput>(); };
    auto engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().failureText, "No DSD output backend");

    o = options(1000);
    output_->format.carrierBytes = 2;
    engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().failureText, "DoP requires 24- or 32-bit integer carriers");
    EXPECT_EQ(source_->reads.load(), 0u);
}

// ---- preparation ----

TEST_F(DsdEngineTest, CancelDuringPreparationStopsAtTheNextCheckWithin4096Frames) {
    DsdEngineOptions o = options(100'000);
    std::promise<void> reached;
    std::future<void> reachedSignal = reached.get_future();
    std::promise<void> go;
    std::shared_future<void> goSignal = go.get_future().share();
    source_->beforeRead = [&, goSignal](std::uint64_t i) {
        if (i == 10'000) {
            reached.set_value();
            goSignal.wait();
        }
    };
    auto engine = start(o);
    reachedSignal.wait();
    DsdEngineStatus during = engine->status();
    EXPECT_EQ(during.state, DsdEngineState::Preparing);
    EXPECT_DOUBLE_EQ(during.progress, 8192.0 / 100'000);
    EXPECT_FALSE(engine->cancel());
    go.set_value();
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    const DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Stopped);
    EXPECT_DOUBLE_EQ(status.progress, 12'288.0 / 100'000);
    EXPECT_EQ(source_->reads.load(), 12'288u);
    EXPECT_EQ(status.failureText, "");
    std::lock_guard guard(output_->mutex);
    EXPECT_FALSE(output_->started);
}

TEST_F(DsdEngineTest, DestructionReturnsPromptlyWhilePreparingReadyOrPlaying) {
    {
        auto engine = start(options(20'000'000));  // preparing: cancel is seen within 4096 frames
        EXPECT_TRUE(eventually([&] { return source_->reads.load() > 0; }));
    }
    {
        auto engine = start(options(1000));
        EXPECT_TRUE(inState(*engine, DsdEngineState::Ready));
    }
    {
        auto engine = start(options(1000));
        engine->play();
        EXPECT_TRUE(output_->awaitSubmits(2));  // blocked in wait: no events released
    }
    std::lock_guard guard(output_->mutex);
    EXPECT_EQ(output_->stops, 1);
}

// ---- playback ----

TEST_F(DsdEngineTest, CapturedBytesAreTheDopPackingOfThePreparedTrackFrameForFrame) {
    for (const std::uint32_t carrier : {3u, 4u}) {
        output_ = std::make_shared<test::FakeOutputState>();
        output_->format.carrierBytes = carrier;
        output_->format.framesPerBuffer = 100;
        DsdEngineOptions o = options(1'000);
        // The layout by hand for the first word: 00 78 56 05 00 34 12 05 in 4-byte carriers.
        source_->word = [](std::uint64_t i) { return i == 0 ? 0x12345678u : test::fakeTrackWord(i); };
        int started = 0;
        o.onStarted = [&] { ++started; };
        auto engine = start(o);
        engine->play();
        ASSERT_TRUE(output_->awaitSubmits(2));
        output_->release(13);
        ASSERT_TRUE(output_->awaitSubmits(15));
        ASSERT_TRUE(inState(*engine, DsdEngineState::Ended));
        engine.reset();

        std::vector<std::uint32_t> words = trackWords(0, 1'000);
        words[0] = 0x12345678u;
        words.resize(1'500, kIdle);
        EXPECT_EQ(output_->bytes(), dop(words, carrier)) << carrier;
        const std::vector<std::uint8_t> head(output_->captured.begin(),
                                             output_->captured.begin() + 2 * carrier + 3);
        if (carrier == 4) {
            EXPECT_EQ(head, (std::vector<std::uint8_t>{0x00, 0x78, 0x56, 0x05, 0x00, 0x34, 0x12, 0x05,  //
                                                       0x00, 0x6B, 0xB0}));
        } else {
            EXPECT_EQ(head, (std::vector<std::uint8_t>{0x78, 0x56, 0x05, 0x34, 0x12, 0x05, 0x6B, 0xB0, 0xFA}));
        }
        EXPECT_EQ(started, 1);
    }
}

TEST_F(DsdEngineTest, PauseSendsIdleFramesKeepsThePositionAndMuteLetsThePositionRun) {
    auto engine = start(options(1'280));  // 20 buffers of 64
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(2));
    output_->release(3);
    ASSERT_TRUE(output_->awaitSubmits(5));
    EXPECT_DOUBLE_EQ(engine->status().position, 320 / kDsd64FrameRate);

    EXPECT_TRUE(engine->pause());
    output_->release(3);
    ASSERT_TRUE(output_->awaitSubmits(8));
    EXPECT_EQ(engine->status().state, DsdEngineState::Paused);
    EXPECT_DOUBLE_EQ(engine->status().position, 320 / kDsd64FrameRate);
    EXPECT_EQ(engine->levels(), (std::array<float, 2>{0.0f, 0.0f}));

    EXPECT_FALSE(engine->play());
    output_->release(2);
    ASSERT_TRUE(output_->awaitSubmits(10));
    engine->setMute(true);
    output_->release(2);
    ASSERT_TRUE(output_->awaitSubmits(12));
    EXPECT_EQ(engine->status().state, DsdEngineState::Playing);
    EXPECT_DOUBLE_EQ(engine->status().position, 576 / kDsd64FrameRate);
    engine->setMute(false);
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(13));
    engine.reset();

    std::vector<std::uint32_t> words = trackWords(0, 320);
    words.resize(words.size() + 192, kIdle);  // paused
    append(words, trackWords(320, 128));
    words.resize(words.size() + 128, kIdle);  // muted, position runs on
    append(words, trackWords(576, 64));
    EXPECT_EQ(output_->bytes(), dop(words, 3));
}

TEST_F(DsdEngineTest, LoopWrapsToZeroWithoutAGapAndNeverReportsEnded) {
    DsdEngineOptions o = options(160);  // two and a half buffers
    auto engine = start(o);
    engine->setLoop(true);
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(2));
    output_->release(10);
    ASSERT_TRUE(output_->awaitSubmits(12));
    EXPECT_EQ(engine->status().state, DsdEngineState::Playing);
    EXPECT_FALSE(engine->takeEnded());
    const std::vector<std::uint32_t> words = test::wordsOf(output_->bytes(), 3);
    ASSERT_EQ(words.size(), 768u);
    for (std::size_t k = 0; k < words.size(); ++k) {
        ASSERT_EQ(words[k], test::fakeTrackWord(k % 160)) << k;
    }
}

TEST_F(DsdEngineTest, EndIsReportedOnceOnTheSecondEventAfterTheLastFrame) {
    output_->depth = 1;
    auto engine = start(options(192));  // three buffers
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(1));
    output_->release(2);
    ASSERT_TRUE(output_->awaitSubmits(3));  // every frame delivered
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(4));  // first event after the last frame
    EXPECT_EQ(engine->status().state, DsdEngineState::Playing);
    EXPECT_FALSE(engine->takeEnded());
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(5));  // second
    DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Ended);
    EXPECT_DOUBLE_EQ(status.position, status.duration);
    EXPECT_TRUE(engine->takeEnded());
    EXPECT_FALSE(engine->takeEnded());
    output_->release(3);
    ASSERT_TRUE(output_->awaitSubmits(8));
    EXPECT_EQ(engine->status().state, DsdEngineState::Ended);
    EXPECT_FALSE(engine->takeEnded());

    // Played again from zero, the end shows in the state but raises no second event.
    engine->seek(0.0);
    engine->play();
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(9));
    EXPECT_EQ(engine->status().state, DsdEngineState::Playing);
    output_->release(4);
    ASSERT_TRUE(output_->awaitSubmits(13));
    EXPECT_EQ(engine->status().state, DsdEngineState::Ended);
    EXPECT_FALSE(engine->takeEnded());
    engine.reset();

    std::vector<std::uint32_t> words = trackWords(0, 192);
    words.resize(words.size() + 5 * 64, kIdle);
    append(words, trackWords(0, 192));
    words.resize(words.size() + 2 * 64, kIdle);
    EXPECT_EQ(output_->bytes(), dop(words, 3));
}

// A deep queue (ASIO's is 8 buffers) still holds the track's last buffers
// when every frame has been delivered: the end waits until the device has
// taken them all and asked once more, so stopping then loses nothing.
TEST_F(DsdEngineTest, TheEndWaitsUntilADeepQueueHasBeenTaken) {
    output_->depth = 8;
    auto engine = start(options(192));  // three buffers
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(8));  // the whole track and idle after it
    for (std::uint64_t k = 1; k <= 8; ++k) {
        output_->release(1);
        ASSERT_TRUE(output_->awaitSubmits(8 + k));
        ASSERT_EQ(engine->status().state, DsdEngineState::Playing) << "event " << k;
    }
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(17));
    EXPECT_EQ(engine->status().state, DsdEngineState::Ended);
    EXPECT_TRUE(engine->takeEnded());
}

TEST_F(DsdEngineTest, AnEventCountedAtTheEndDoesNotCarryOverASeekBack) {
    output_->depth = 1;
    auto engine = start(options(192));
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(1));
    output_->release(3);
    ASSERT_TRUE(output_->awaitSubmits(4));  // one event counted at the end
    engine->seek(0.0);
    output_->release(3);
    ASSERT_TRUE(output_->awaitSubmits(7));  // the whole track again
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(8));
    EXPECT_EQ(engine->status().state, DsdEngineState::Playing) << "ended one event early";
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(9));
    EXPECT_EQ(engine->status().state, DsdEngineState::Ended);
    EXPECT_TRUE(engine->takeEnded());
}

TEST_F(DsdEngineTest, SeekLandsOnTheTruncatedFrameAndBeyondTheEndOnTheEnd) {
    {
        auto engine = start(options(640));
        engine->seek(1.0 / 1024);  // 176,400 / 1024 = 172.27 frames
        engine->play();
        ASSERT_TRUE(output_->awaitSubmits(2));
        const std::vector<std::uint32_t> words = test::wordsOf(output_->bytes(), 3);
        EXPECT_EQ(words, trackWords(172, 128));
    }
    {
        output_ = std::make_shared<test::FakeOutputState>();
        auto engine = start(options(640));
        engine->seek(-3.0);
        engine->seek(std::nan(""));  // ignored: the head stays at zero
        engine->play();
        ASSERT_TRUE(output_->awaitSubmits(2));
        EXPECT_EQ(test::wordsOf(output_->bytes(), 3), trackWords(0, 128));
    }
    {
        output_ = std::make_shared<test::FakeOutputState>();
        auto engine = start(options(640));
        engine->seek(10.0);
        engine->play();
        ASSERT_TRUE(output_->awaitSubmits(2));
        output_->release(3);  // two queued buffers, then the device's next request
        ASSERT_TRUE(output_->awaitSubmits(5));
        const DsdEngineStatus status = engine->status();
        EXPECT_EQ(status.state, DsdEngineState::Ended);
        EXPECT_DOUBLE_EQ(status.position, status.duration);
        EXPECT_EQ(test::wordsOf(output_->bytes(), 3), std::vector<std::uint32_t>(320, kIdle));
    }
}

// ---- source choice ----

TEST(DsdSourceChoice, ExtensionFromTheLastDotOfTheFileNamePicksTheSource) {
    using detail::DsdSourceKind;
    EXPECT_EQ(detail::dsdExtension("music/Track.DSF"), ".dsf");
    EXPECT_EQ(detail::dsdExtension("a.b/archive.tar.AUR"), ".aur");
    EXPECT_EQ(detail::dsdExtension("folder.aur/noext"), "");
    EXPECT_EQ(detail::chooseDsdSourceKind("x.DSF", true, false), DsdSourceKind::DsfBits);
    EXPECT_EQ(detail::chooseDsdSourceKind("x.dsf", false, true), DsdSourceKind::Waveform);
    EXPECT_EQ(detail::chooseDsdSourceKind("x.aur", true, true), DsdSourceKind::Record);
    EXPECT_EQ(detail::chooseDsdSourceKind("x.flac", false, false), DsdSourceKind::Waveform);
    EXPECT_EQ(detail::chooseDsdSourceKind("folder.aur/noext", false, false), DsdSourceKind::Waveform);
}

TEST_F(DsdEngineTest, DsfBitsWithTheCutoffFailAtOnceAndWithoutItReadTheFileItself) {
    DsdEngineOptions o = options(16);
    o.sourceFactory = nullptr;
    o.dsfNative = true;
    o.cutoff = true;
    pcm_ = std::make_shared<test::NamedSource>(pcm_, "missing-track.dsf");
    auto engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().state, DsdEngineState::Failed);
    EXPECT_EQ(engine->status().failureText, "Direct DSF bit playback cannot apply a waveform cutoff");
    EXPECT_EQ(outputsMade(), 0);

    o.cutoff = false;
    engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().failureText, "Cannot open DSF");
    EXPECT_EQ(outputsMade(), 0);
}

// ---- failures ----

TEST_F(DsdEngineTest, TheFailureTextOfAThrowingSourceEndsTheEngineAndStopsTheOutput) {
    DsdEngineOptions o = options(1000);
    source_->beforeRead = [](std::uint64_t i) {
        if (i == 77) {
            throw std::runtime_error("fake read failed at 77");
        }
    };
    auto engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Failed);
    EXPECT_EQ(status.failureText, "fake read failed at 77");
    {
        std::lock_guard guard(output_->mutex);
        EXPECT_EQ(output_->stops, 1);
    }

    o = options(1000);
    source_->beforeRead = [](std::uint64_t i) {
        if (i == 5) {
            throw 42;
        }
    };
    engine = start(o);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    EXPECT_EQ(engine->status().state, DsdEngineState::Failed);
    EXPECT_EQ(engine->status().failureText, "Unknown DSD failure");
}

TEST_F(DsdEngineTest, ADeviceFailureWhilePlayingEndsTheEngineWithItsText) {
    output_->failWaitAfterEvents = 3;
    auto engine = start(options(10'000));
    engine->play();
    output_->release(10);
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    const DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Failed);
    EXPECT_EQ(status.failureText, "Audio event/device failure");
    EXPECT_EQ(status.levels, (std::array<float, 2>{0.0f, 0.0f}));
    EXPECT_EQ(output_->submitted(), 5u);
}

TEST_F(DsdEngineTest, CancelWhilePlayingStopsTheOutputAndKeepsThePosition) {
    auto engine = start(options(10'000));
    engine->play();
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(3));
    engine->cancel();
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }));
    const DsdEngineStatus status = engine->status();
    EXPECT_EQ(status.state, DsdEngineState::Stopped);
    EXPECT_DOUBLE_EQ(status.position, 192 / kDsd64FrameRate);
    std::lock_guard guard(output_->mutex);
    EXPECT_EQ(output_->stops, 1);
}

TEST_F(DsdEngineTest, ADeviceSilentForMoreThanTwoSecondsTimesOutButASlowOneDoesNot) {
    {
        output_->period = 700ms;  // 34 time-outs between events, never 2 s
        auto engine = start(options(100'000));
        engine->play();
        ASSERT_TRUE(output_->awaitSubmits(5, 10s));
        EXPECT_EQ(engine->status().state, DsdEngineState::Playing);
        EXPECT_EQ(engine->status().failureText, "");
    }
    output_ = std::make_shared<test::FakeOutputState>();
    auto engine = start(options(1'000));
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(2));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return engine->hasFinished(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
    EXPECT_EQ(engine->status().state, DsdEngineState::Failed);
    EXPECT_EQ(engine->status().failureText, "DSD output timeout/device disconnected");
}

// ---- levels ----

// Keeps the engine playing (looped) until the levels read as expected.
bool levelsReach(DsdEngine& engine, test::FakeOutputState& output, std::array<float, 2> expected) {
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t before = output.submitted();
        output.release(1);
        output.awaitSubmits(before + 1);
        const auto levels = engine.levels();
        if (std::fabs(levels[0] - expected[0]) < 1e-6f && std::fabs(levels[1] - expected[1]) < 1e-6f) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST_F(DsdEngineTest, LevelsAreHalfThePeaksOfTheRebuiltCurvesAndMonoFeedsBothChannels) {
    auto engine = start(options(17'640));  // 0.1 s
    engine->setLoop(true);
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(2));
    EXPECT_TRUE(levelsReach(*engine, *output_, {0.4f, 0.2f}));
    engine->setMute(true);
    const std::uint64_t before = output_->submitted();
    output_->release(1);
    ASSERT_TRUE(output_->awaitSubmits(before + 1));
    EXPECT_EQ(engine->levels(), (std::array<float, 2>{0.0f, 0.0f}));
    engine.reset();

    output_ = std::make_shared<test::FakeOutputState>();
    pcm_ = test::stepSource(1, 88'200, 88'200, [](std::uint64_t, std::uint16_t) { return -0.6; });
    engine = start(options(17'640));
    engine->setLoop(true);
    engine->play();
    ASSERT_TRUE(output_->awaitSubmits(2));
    EXPECT_TRUE(levelsReach(*engine, *output_, {0.3f, 0.3f}));
    EXPECT_EQ(engine->status().meterFailureText, "");
}

class FailingChunks final : public playback::PlaybackSource {
public:
    explicit FailingChunks(std::shared_ptr<const playback::PlaybackSource> inner) : inner_(std::move(inner)) {}
    const playback::SourceMetadata& metadata() const noexcept override { return inner_->metadata(); }
    std::uint64_t chunkCount() const noexcept override { return inner_->chunkCount(); }
    std::uint64_t chunkIndexAt(double t) const noexcept override { return inner_->chunkIndexAt(t); }
    std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(std::uint64_t) const override {
        throw std::runtime_error("chunk 0 is damaged");
    }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;

private:
    std::shared_ptr<const playback::PlaybackSource> inner_;
};

TEST_F(DsdEngineTest, AMeterFailureIsReportedAndPlaybackGoesOn) {
    pcm_ = std::make_shared<FailingChunks>(pcm_);
    auto engine = start(options(640));
    engine->play();
    ASSERT_TRUE(eventually([&] { return !engine->status().meterFailureText.empty(); }));
    EXPECT_EQ(engine->status().meterFailureText, "chunk 0 is damaged");
    output_->release(20);
    ASSERT_TRUE(inState(*engine, DsdEngineState::Ended));
    EXPECT_EQ(engine->status().failureText, "");
    EXPECT_TRUE(engine->takeEnded());
}

}  // namespace
}  // namespace al::audio
