// The lattice: frames at k / rate, seeks, rate changes, mute ramp, hold, the
// level ring and its readers.
#include "playback/PlaybackLattice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>

#include "StepSource.h"
#include "support/RecordImages.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::playback {
namespace {

using test::stepSource;

// Makes every chunk ready (the sources here fit in the buffer's slots).
void waitAll(PlaybackLattice& lattice) {
    for (std::uint64_t c = 0; c < lattice.source()->chunkCount(); ++c) {
        ASSERT_TRUE(lattice.surrogate().waitForChunk(c, 10'000)) << "chunk " << c;
    }
}

std::vector<double> pullAll(PlaybackLattice& lattice, std::uint64_t block) {
    std::vector<double> all;
    std::vector<double> buffer(block * lattice.channelCount());
    for (;;) {
        const std::uint64_t got = lattice.pull(buffer.data(), block);
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got * lattice.channelCount()));
        if (got < block) {
            return all;
        }
    }
}

// Monotone cubic Hermite interpolation (Fritsch-Carlson slopes with the
// weighted harmonic mean inside and the shape-limited three-point formula at
// the ends), written out here independently of the library.
class ReferencePchip {
public:
    ReferencePchip(std::vector<double> x, std::vector<double> y) : x_(std::move(x)), y_(std::move(y)) {
        const std::size_t n = x_.size();
        std::vector<double> h(n - 1), delta(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            h[i] = x_[i + 1] - x_[i];
            delta[i] = (y_[i + 1] - y_[i]) / h[i];
        }
        auto sign = [](double v) { return (v > 0) - (v < 0); };
        auto endSlope = [&](double h0, double h1, double m0, double m1) {
            const double e = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
            if (sign(e) != sign(m0)) return 0.0;
            if (sign(m0) != sign(m1) && std::fabs(e) > 3 * std::fabs(m0)) return 3 * m0;
            return e;
        };
        d_.assign(n, 0.0);
        d_[0] = endSlope(h[0], h[1], delta[0], delta[1]);
        d_[n - 1] = endSlope(h[n - 2], h[n - 3], delta[n - 2], delta[n - 3]);
        for (std::size_t j = 1; j + 1 < n; ++j) {
            if (delta[j - 1] != 0 && delta[j] != 0 && sign(delta[j - 1]) == sign(delta[j])) {
                const double w1 = h[j - 1] + 2 * h[j];
                const double w2 = 2 * h[j - 1] + h[j];
                d_[j] = (w1 + w2) / (w1 / delta[j - 1] + w2 / delta[j]);
            }
        }
    }
    double operator()(double t) const {
        if (t >= x_.back()) return y_.back();
        std::size_t i = static_cast<std::size_t>(std::upper_bound(x_.begin(), x_.end(), t) - x_.begin()) - 1;
        const double h = x_[i + 1] - x_[i];
        const double s = (t - x_[i]) / h;
        // Hermite basis form: a different arithmetic path from the library's.
        const double h00 = (1 + 2 * s) * (1 - s) * (1 - s), h10 = s * (1 - s) * (1 - s);
        const double h01 = s * s * (3 - 2 * s), h11 = s * s * (s - 1);
        return h00 * y_[i] + h10 * h * d_[i] + h01 * y_[i + 1] + h11 * h * d_[i + 1];
    }

private:
    std::vector<double> x_, y_, d_;
};

TEST(PlaybackLattice, RefusesMissingOrEmptySources) {
    try {
        PlaybackLattice lattice(nullptr);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PlaybackLattice requires a playback source");
    }
    try {
        PlaybackLattice lattice(stepSource(1, 48000, 0, [](auto, auto) { return 0.0; }));
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PlaybackLattice source metadata is invalid");
    }
    EXPECT_EQ(PlaybackLattice::defaultLookahead(48000), 14u);
    EXPECT_EQ(PlaybackLattice::defaultLookahead(192000), 49u);
    EXPECT_EQ(PlaybackLattice::defaultLookahead(8000), 12u);
    EXPECT_EQ(PlaybackLattice::defaultLookahead(12'288'000), 256u);
    EXPECT_EQ(PlaybackLattice::ringSizeFor(2), 8192u);
    EXPECT_EQ(PlaybackLattice::ringSizeFor(64), 978u);
    EXPECT_EQ(PlaybackLattice::ringSizeFor(65535), 16u);
    PlaybackLattice lattice(stepSource(1, 48000, 4800, [](auto, auto) { return 0.0; }));
    EXPECT_EQ(lattice.lookaheadChunks(), 14u);
}

TEST(PlaybackLattice, FrameKIsTheGeometryAtKOverRate) {
    test::TempDir dir;
    test::sineRecord(2, 5000).save(dir / "sine.aur");
    const auto source = createPlaybackSource(dir / "sine.aur");
    PlaybackLattice lattice(source);
    waitAll(lattice);
    const std::vector<double> frames = pullAll(lattice, 777);
    ASSERT_EQ(frames.size(), 2u * 5000);
    for (std::uint64_t k = 0; k < 5000; ++k) {
        const double t = static_cast<double>(k) / 48000.0;
        const auto chunk = source->prepareChunk(source->chunkIndexAt(t));
        for (std::size_t c = 0; c < 2; ++c) {
            std::size_t cursor = 0;
            ASSERT_EQ(frames[2 * k + c], chunk->channels[c].valueAt(t, cursor)) << "frame " << k;
        }
    }
    EXPECT_EQ(lattice.missingFrames(), 0u);
    EXPECT_EQ(lattice.position(), 5000u);
}

TEST(PlaybackLattice, UpsampledWaveFollowsTheMonotoneCubicThroughItsSamples) {
    test::TempDir dir;
    constexpr std::uint64_t n = 3000;
    std::mt19937 random(20240611);
    std::uniform_real_distribution<float> level(-0.9F, 0.9F);
    std::vector<float> samples(2 * n);
    for (auto& s : samples) {
        s = level(random);
    }
    test::writeFloatWave(dir / "noise.wav", 2, 44100, samples);
    PlaybackLattice lattice(createPlaybackSource(dir / "noise.wav"));
    lattice.setOutputRate(96000);
    const double duration = static_cast<double>(n) / 44100.0;
    EXPECT_EQ(lattice.totalFrames(), PlaybackLattice::framesBefore(duration, 96000));
    waitAll(lattice);
    const std::vector<double> frames = pullAll(lattice, 1000);
    ASSERT_EQ(frames.size(), 2 * lattice.totalFrames());

    for (std::size_t c = 0; c < 2; ++c) {
        std::vector<double> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<double>(i) / 44100.0;
            y[i] = samples[2 * i + c];
        }
        const ReferencePchip curve(x, y);
        for (std::uint64_t k = 0; k < lattice.totalFrames(); ++k) {
            // Times carry rounding of about 1e-17 s and the slopes of this
            // noise reach 2e5 per second, so values agree to about 1e-11.
            ASSERT_NEAR(frames[2 * k + c], curve(static_cast<double>(k) / 96000.0), 1e-10) << "frame " << k;
        }
    }
}

TEST(PlaybackLattice, TotalFramesCountsLatticeTimesBeforeTheEnd) {
    EXPECT_EQ(PlaybackLattice::framesBefore(1.0, 48000), 48000u);
    EXPECT_EQ(PlaybackLattice::framesBefore(1.00001, 48000), 48001u);
    EXPECT_EQ(PlaybackLattice::framesBefore(0.0, 48000), 0u);
    PlaybackLattice lattice(stepSource(1, 48000, 48000, [](auto, auto) { return 0.0; }));
    EXPECT_EQ(lattice.totalFrames(), 48000u);
    lattice.setOutputRate(44100);
    EXPECT_EQ(lattice.totalFrames(), 44100u);
    lattice.setOutputRate(1);
    EXPECT_EQ(lattice.totalFrames(), 1u);
}

TEST(PlaybackLattice, RateChangeKeepsThePlaybackTime) {
    // 11 s at 48 kHz; each chunk holds its own index as the level.
    PlaybackLattice lattice(stepSource(1, 48000, 528000, [](std::uint64_t c, auto) { return c / 1000.0; }));
    lattice.seekToFrame(480000);
    std::vector<double> buffer(16);
    lattice.pull(buffer.data(), 0);
    EXPECT_EQ(lattice.position(), 480000u);

    lattice.setOutputRate(44100);
    EXPECT_EQ(lattice.pendingSeek(), 441000);
    EXPECT_EQ(lattice.currentTime(), 10.0);
    EXPECT_EQ(lattice.outputRate(), 44100u);
    ASSERT_TRUE(lattice.prime());
    ASSERT_EQ(lattice.pull(buffer.data(), 16), 16u);
    EXPECT_EQ(lattice.position(), 441016u);
    EXPECT_EQ(buffer[0], (480000 / 1024) / 1000.0);  // the chunk at 10 s

    for (std::uint32_t bad : {0u, 12'288'001u}) {
        try {
            lattice.setOutputRate(bad);
            FAIL() << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Playback sample rate is invalid");
        }
    }
    EXPECT_NO_THROW(lattice.setOutputRate(12'288'000));
    EXPECT_EQ(lattice.pendingSeek(),
              static_cast<std::int64_t>(std::floor(12'288'000.0 * (441016.0 / 44100.0))));
}

TEST(PlaybackLattice, SeekPastTheEndWithAndWithoutLoopAhead) {
    PlaybackLattice lattice(stepSource(1, 48000, 3000, [](std::uint64_t c, auto) { return c + 1.0; }));
    waitAll(lattice);
    std::vector<double> buffer(64, 9.0);

    lattice.seekToFrame(5000);
    EXPECT_EQ(lattice.pendingSeek(), 3000);
    EXPECT_EQ(lattice.pull(buffer.data(), 64), 0u);
    EXPECT_EQ(lattice.position(), 3000u);
    EXPECT_EQ(buffer[63], 0.0);

    lattice.setLoopAhead(true);
    lattice.seekToFrame(99999);
    ASSERT_EQ(lattice.pull(buffer.data(), 64), 64u);
    EXPECT_EQ(buffer[0], 1.0);
    EXPECT_EQ(buffer[63], 1.0);
    EXPECT_EQ(lattice.position(), 64u);

    // Wrapping inside one pull.
    lattice.seekToFrame(2990);
    ASSERT_EQ(lattice.pull(buffer.data(), 20), 20u);
    EXPECT_EQ(buffer[9], 3.0);
    EXPECT_EQ(buffer[10], 1.0);
    EXPECT_EQ(lattice.position(), 10u);
    EXPECT_EQ(lattice.missingFrames(), 0u);
}

TEST(PlaybackLattice, MuteRampsOverNinetyMillisecondsUnlessSnapped) {
    PlaybackLattice lattice(stepSource(1, 48000, 12 * 1024, [](auto, auto) { return 1.0; }));
    waitAll(lattice);
    std::vector<double> buffer(4320);
    ASSERT_EQ(lattice.pull(buffer.data(), 16), 16u);
    EXPECT_EQ(buffer[15], 1.0);

    lattice.setMuted(true);
    ASSERT_EQ(lattice.pull(buffer.data(), 4320), 4320u);
    EXPECT_DOUBLE_EQ(buffer[0], 1.0 - 1.0 / 4320);
    for (std::size_t j = 1; j < 4320; ++j) {
        ASSERT_LT(buffer[j], buffer[j - 1]) << j;
    }
    EXPECT_GT(buffer[4318], 0.0);
    EXPECT_EQ(buffer[4319], 0.0);
    EXPECT_EQ(lattice.gain(), 0.0);

    lattice.setMuted(false);
    ASSERT_EQ(lattice.pull(buffer.data(), 4320), 4320u);
    EXPECT_LT(buffer[4318], 1.0);
    EXPECT_EQ(buffer[4319], 1.0);

    lattice.setMuted(true);
    lattice.requestSnapGain();
    ASSERT_EQ(lattice.pull(buffer.data(), 1), 1u);
    EXPECT_EQ(buffer[0], 0.0);
    EXPECT_FALSE(lattice.snapGainPending());
}

TEST(PlaybackLattice, HoldAppliesOnlyAPendingSeek) {
    PlaybackLattice lattice(stepSource(2, 48000, 4096, [](auto, auto) { return 0.5; }));
    waitAll(lattice);
    lattice.setHold(true);
    lattice.seekToFrame(500);
    std::vector<double> buffer(64, 7.0);
    EXPECT_EQ(lattice.pull(buffer.data(), 32), 0u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0.0), 64);
    EXPECT_EQ(lattice.position(), 500u);
    EXPECT_EQ(lattice.pendingSeek(), -1);
    EXPECT_EQ(lattice.recordsPublished(), 0u);

    lattice.setHold(false);
    EXPECT_EQ(lattice.pull(buffer.data(), 32), 32u);
    EXPECT_EQ(lattice.position(), 532u);
}

TEST(PlaybackLattice, ChunksThatFailPlaySilenceAndAreCounted) {
    PlaybackLattice lattice(stepSource(1, 48000, 3 * 1024, [](std::uint64_t c, auto) -> double {
        if (c == 1) {
            throw std::runtime_error("damaged");
        }
        return 0.25;
    }));
    ASSERT_TRUE(lattice.surrogate().waitForChunk(0, 10'000));
    lattice.surrogate().setConsumerChunk(0);
    EXPECT_FALSE(lattice.surrogate().waitForChunk(1, 100));
    ASSERT_TRUE(lattice.surrogate().waitForChunk(2, 10'000));
    lattice.surrogate().setConsumerChunk(0);
    const std::vector<double> frames = pullAll(lattice, 500);
    ASSERT_EQ(frames.size(), 3072u);
    EXPECT_EQ(frames[1023], 0.25);
    EXPECT_EQ(std::count(frames.begin() + 1024, frames.begin() + 2048, 0.0), 1024);
    EXPECT_EQ(frames[2048], 0.25);
    EXPECT_EQ(lattice.missingFrames(), 1024u);
    EXPECT_GT(lattice.surrogate().failures(), 0u);
    lattice.resetCounters();
    EXPECT_EQ(lattice.missingFrames(), 0u);
    EXPECT_EQ(lattice.surrogate().failures(), 0u);
}

TEST(PlaybackLattice, ReadyChunksAheadAndBufferedSeconds) {
    PlaybackLattice lattice(stepSource(1, 48000, 3 * 1024, [](auto, auto) { return 0.0; }));
    waitAll(lattice);
    EXPECT_EQ(lattice.readyChunksAhead(), 3u);
    EXPECT_DOUBLE_EQ(lattice.bufferedSeconds(), 3072 / 48000.0);
    lattice.seekToFrame(2048);
    EXPECT_EQ(lattice.readyChunksAhead(), 1u);
    EXPECT_DOUBLE_EQ(lattice.bufferedSeconds(), 1024 / 48000.0);
}

TEST(PlaybackLattice, LevelRecordsDescribeEachPull) {
    PlaybackLattice lattice(stepSource(2, 48000, 4096, [](auto, std::uint16_t k) { return k == 0 ? 0.5 : -0.25; }));
    waitAll(lattice);
    std::vector<double> buffer(200);
    ASSERT_EQ(lattice.pull(buffer.data(), 100), 100u);

    LevelCursor cursor;
    std::vector<float> peaks(2), rms(2);
    LevelRecord record;
    std::vector<float> tooShort(1);
    EXPECT_FALSE(lattice.readLevels(cursor, tooShort, rms, record));
    ASSERT_TRUE(lattice.readLevels(cursor, peaks, rms, record));
    EXPECT_EQ(record.sequence, 2u);
    EXPECT_EQ(record.firstFrame, 0u);
    EXPECT_EQ(record.frames, 100u);
    EXPECT_EQ(record.rate, 48000u);
    EXPECT_EQ(peaks[0], 0.5F);
    EXPECT_EQ(peaks[1], 0.25F);
    EXPECT_NEAR(rms[0], 0.5F, 1e-6);
    EXPECT_NEAR(rms[1], 0.25F, 1e-6);
    EXPECT_FALSE(lattice.readLevels(cursor, peaks, rms, record));
    EXPECT_EQ(lattice.takePeak(0), 0.5);
    EXPECT_EQ(lattice.takePeak(0), 0.0);
    EXPECT_EQ(lattice.takePeak(1), 0.25);
    EXPECT_EQ(lattice.takePeak(2), 0.0);

    // A seek starts the readers afresh.
    ASSERT_EQ(lattice.pull(buffer.data(), 10), 10u);
    lattice.seekToFrame(0);
    ASSERT_EQ(lattice.pull(buffer.data(), 0), 0u);
    EXPECT_FALSE(lattice.readLevels(cursor, peaks, rms, record));
    EXPECT_EQ(cursor.skipped, 1u);
}

TEST(PlaybackLattice, ReaderFallingBehindSkipsToTheOldestRecord) {
    PlaybackLattice lattice(stepSource(1, 48000, 12 * 1024, [](auto, auto) { return 0.1; }));
    waitAll(lattice);
    const std::uint64_t ring = lattice.ringSize();
    ASSERT_EQ(ring, 8192u);
    double frame[1];
    for (std::uint64_t i = 0; i < ring + 10; ++i) {
        ASSERT_EQ(lattice.pull(frame, 1), 1u);
    }
    LevelCursor cursor;
    float peak[1], rms[1];
    LevelRecord record;
    ASSERT_TRUE(lattice.readLevels(cursor, peak, rms, record));
    EXPECT_EQ(cursor.skipped, 10u);
    EXPECT_EQ(record.firstFrame, 10u);
    EXPECT_EQ(record.sequence, 2u * 10 + 2);
    EXPECT_EQ(cursor.next, 11u);
}

// One thread pulls whole chunks while another reads the ring: every record
// read must be one pull's complete statistics, never a mixture.
TEST(PlaybackLattice, LevelRingStaysConsistentUnderConcurrentReading) {
    constexpr std::uint16_t channels = 8;
    auto level = [](std::uint64_t c, std::uint16_t k) { return static_cast<double>(c * channels + k + 1) / 128.0; };
    PlaybackLattice lattice(stepSource(channels, 48000, 12 * 1024, level));
    waitAll(lattice);
    lattice.setLoopAhead(true);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<double> buffer(1024 * channels);
        for (int i = 0; i < 4000; ++i) {
            lattice.pull(buffer.data(), 1024);
        }
        done = true;
    });
    LevelCursor cursor;
    std::vector<float> peaks(channels), rms(channels);
    LevelRecord record;
    std::uint64_t read = 0;
    std::uint64_t bad = 0;
    for (;;) {
        const bool finished = done.load();
        if (!lattice.readLevels(cursor, peaks, rms, record)) {
            if (finished) {
                break;
            }
            continue;
        }
        ++read;
        // A pull that begins at the end wraps at once: it reports the end as
        // its first frame.
        const std::uint64_t chunk = record.firstFrame / 1024 % 12;
        bad += record.frames != 1024 || record.firstFrame % 1024 != 0;
        for (std::uint16_t k = 0; k < channels; ++k) {
            const auto expected = static_cast<float>(level(chunk, k));
            bad += peaks[k] != expected || std::fabs(rms[k] - expected) > 1e-6F;
        }
    }
    writer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_GT(read, 0u);
    EXPECT_EQ(read + cursor.skipped, 4000u);
    EXPECT_EQ(lattice.missingFrames(), 0u);
}

// Chunks of a step source whose release is watched: the test asks on which
// thread the last reference went.
class ReleaseWatchingSource final : public PlaybackSource {
public:
    ReleaseWatchingSource(std::shared_ptr<const test::StepSource> inner, std::atomic<int>& releasedOnWatched)
        : inner_(std::move(inner)), releasedOnWatched_(releasedOnWatched) {}
    const SourceMetadata& metadata() const noexcept override { return inner_->metadata(); }
    std::uint64_t chunkCount() const noexcept override { return inner_->chunkCount(); }
    std::uint64_t chunkIndexAt(double t) const noexcept override { return inner_->chunkIndexAt(t); }
    std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(std::uint64_t index) const override {
        using Chunk = std::shared_ptr<const surrogate::PlaybackChunk>;
        std::shared_ptr<Chunk> holder(new Chunk(inner_->prepareChunk(index)), [this](const Chunk* p) {
            if (std::this_thread::get_id() == watched.load()) {
                releasedOnWatched_.fetch_add(1);
            }
            delete p;
        });
        const surrogate::PlaybackChunk* chunk = holder->get();
        return Chunk(std::move(holder), chunk);
    }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;

    std::atomic<std::thread::id> watched{};

private:
    std::shared_ptr<const test::StepSource> inner_;
    std::atomic<int>& releasedOnWatched_;
};

// A render thread pulls while the user-interface thread seeks at random: the
// frames are always whole chunks' values or silence, and the render thread
// never releases a chunk (that is left to the buffer's own thread). Run under
// the thread sanitizer too.
TEST(PlaybackLattice, RenderThreadAgainstSeeksNeverReleasesAChunk) {
    constexpr std::uint16_t channels = 2;
    constexpr std::uint64_t chunks = 200;
    auto level = [](std::uint64_t c, std::uint16_t k) { return static_cast<double>(c * channels + k + 1) / 1024.0; };
    std::atomic<int> releasedOnRender{0};
    auto source = std::make_shared<ReleaseWatchingSource>(stepSource(channels, 48000, chunks * 1024, level),
                                                          releasedOnRender);
    std::atomic<std::uint64_t> bad{0};
    std::atomic<std::uint64_t> produced{0};
    {
        PlaybackLattice lattice(source);
        ASSERT_TRUE(lattice.prime());
        lattice.setLoopAhead(true);
        std::atomic<bool> done{false};
        std::thread render([&] {
            source->watched.store(std::this_thread::get_id());
            std::vector<double> buffer(480 * channels);
            for (int i = 0; i < 3000; ++i) {
                const std::uint64_t got = lattice.pull(buffer.data(), 480);
                produced.fetch_add(got);
                for (std::uint64_t j = 0; j < got; ++j) {
                    const double v0 = buffer[j * channels];
                    if (v0 == 0.0) {
                        bad.fetch_add(buffer[j * channels + 1] != 0.0);
                        continue;
                    }
                    const auto c = static_cast<std::uint64_t>(std::llround(v0 * 1024.0 - 1.0)) / channels;
                    bad.fetch_add(v0 != level(c, 0) || buffer[j * channels + 1] != level(c, 1));
                }
            }
            source->watched.store(std::thread::id{});
            done.store(true);
        });
        std::mt19937 random(77);
        while (!done.load()) {
            lattice.seekToFrame(random() % (chunks * 1024));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        render.join();
        EXPECT_EQ(lattice.retireStalls(), 0u);
    }
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(produced.load(), 3000u * 480u);
    EXPECT_EQ(releasedOnRender.load(), 0);
}

}  // namespace
}  // namespace al::playback
