// Chunks prepared ahead by the surrogate buffer: a stereo 48 kHz record
// through the buffer's own worker pool (as many workers as the placement
// plan gives on this machine), and a 44.1 kHz WAVE and a DSD64 DSF through
// the single producer. Each iteration jumps to a fresh window and waits
// until every chunk of it is ready.
//
// BM_RecordChunkPreparation shows how the workers' part scales: 1, 2 and 4
// threads each run the worker's two steps (load the blocks into its own
// buffer, then build the chunk) on their share of a 64-chunk window, as the
// dispatcher hands out a batch. chunks/s is summed over the threads per
// second of wall time; cpu_us_per_chunk is processor time per chunk.
#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <random>
#include <vector>

#include "dsd/DsfWriter.h"
#include "playback/CpuPlacement.h"

#include "playback/SurrogateBuffer.h"
#include "record/RecordWriter.h"
#include "support/WaveFiles.h"

namespace {

constexpr std::uint64_t kWindow = 64;

std::vector<std::vector<double>> music(std::size_t frames) {
    std::vector<std::vector<double>> out(2, std::vector<double>(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / 48000.0;
        out[0][i] = 0.4 * std::sin(2 * M_PI * 440 * t) + 0.1 * std::sin(2 * M_PI * 3150 * t);
        out[1][i] = 0.4 * std::sin(2 * M_PI * 660 * t);
    }
    return out;
}

void fillWindows(benchmark::State& state, al::surrogate::SurrogateBuffer& buffer,
                 double secondsPerChunk) {
    const std::uint64_t chunks = buffer.source().chunkCount();
    std::uint64_t start = 0;
    std::uint64_t prepared = 0;
    for (auto _ : state) {
        buffer.jumpTo(start);
        while (buffer.readyAhead(start) < kWindow) {
            std::this_thread::yield();
        }
        prepared += kWindow;
        start = (start + kWindow) % (chunks - kWindow);
    }
    state.counters["chunks/s"] =
        benchmark::Counter(static_cast<double>(prepared), benchmark::Counter::kIsRate);
    state.counters["audio_s/s"] = benchmark::Counter(
        static_cast<double>(prepared) * secondsPerChunk, benchmark::Counter::kIsRate);
}

void BM_RecordWorkers(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-surrogate.aur";
    al::file::RecordWriter::fromSamples(48000, 24, music(48000 * 30)).save(path);
    auto source = al::playback::createPlaybackSource(path);
    // The plan decides the worker count from the slot count and the machine;
    // the slot count is the window, the argument only labels the run.
    al::surrogate::SurrogateBuffer buffer(source, kWindow);
    buffer.start();
    state.SetLabel(std::to_string(buffer.workerCount()) + " worker(s)");
    fillWindows(state, buffer, 1024.0 / 48000.0);
    buffer.stop();
    std::filesystem::remove(path);
}
BENCHMARK(BM_RecordWorkers)->UseRealTime()->Unit(benchmark::kMillisecond);

std::shared_ptr<const al::playback::PlaybackSource> sharedRecord() {
    static const auto source = [] {
        const auto path = std::filesystem::temp_directory_path() / "auralith-bench-workers.aur";
        al::file::RecordWriter::fromSamples(48000, 24, music(48000 * 30)).save(path);
        auto opened = al::playback::createPlaybackSource(path);
        std::filesystem::remove(path);  // the reader keeps its mapping
        return opened;
    }();
    return source;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void BM_RecordChunkPreparation(benchmark::State& state) {
    const auto source = sharedRecord();
    const std::uint64_t chunks = source->chunkCount();
    const auto threads = static_cast<std::uint64_t>(state.threads());
    const auto self = static_cast<std::uint64_t>(state.thread_index());
    al::surrogate::LoadedBlocks blocks;
    std::uint64_t start = 0;
    std::uint64_t prepared = 0;
    const double cpuBefore = threadCpuSeconds();
    for (auto _ : state) {
        for (std::uint64_t k = self; k < kWindow; k += threads) {
            source->loadBlocks(start + k, blocks);
            auto chunk = source->prepareChunk(blocks);
            benchmark::DoNotOptimize(chunk.get());
            ++prepared;
        }
        start = (start + kWindow) % (chunks - kWindow);
    }
    const double cpu = threadCpuSeconds() - cpuBefore;
    state.counters["chunks/s"] =
        benchmark::Counter(static_cast<double>(prepared), benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_chunk"] = benchmark::Counter(
        1e6 * cpu / static_cast<double>(prepared), benchmark::Counter::kAvgThreads);
    if (self == 0) {
        state.SetLabel(
            "plan: " + std::to_string(al::surrogate::PlanWorkers(kWindow).placements.size()) +
            " worker(s) of " + std::to_string(std::thread::hardware_concurrency()) + " processors");
    }
}
BENCHMARK(BM_RecordChunkPreparation)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// 30 s of the stereo test music as a float WAVE at 44.1 kHz.
void writeMusicWave(const std::filesystem::path& path) {
    const auto channels = music(44100 * 30);
    std::vector<float> interleaved(channels[0].size() * 2);
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        interleaved[2 * i] = static_cast<float>(channels[0][i]);
        interleaved[2 * i + 1] = static_cast<float>(channels[1][i]);
    }
    al::test::writeFloatWave(path, 2, 44100, interleaved);
}

void BM_WaveProducer(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-surrogate.wav";
    writeMusicWave(path);
    auto source = al::playback::createPlaybackSource(path);
    al::surrogate::SurrogateBuffer buffer(source, kWindow);
    buffer.start();
    fillWindows(state, buffer, 1024.0 / 44100.0);
    buffer.stop();
    std::filesystem::remove(path);
}
BENCHMARK(BM_WaveProducer)->UseRealTime()->Unit(benchmark::kMillisecond);

// The producer's own work for a stereo WAVE, without its thread: every chunk
// of 30 s prepared in order, as a render at the source's rate asks for them.
void BM_WavePrepareChunks(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-prepare.wav";
    writeMusicWave(path);
    auto source = al::playback::createPlaybackSource(path);
    const std::uint64_t chunks = source->chunkCount();
    for (auto _ : state) {
        for (std::uint64_t b = 0; b < chunks; ++b) {
            benchmark::DoNotOptimize(source->prepareChunk(b));
        }
    }
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(source->metadata().frameCount),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    std::filesystem::remove(path);
}
BENCHMARK(BM_WavePrepareChunks)->Unit(benchmark::kMillisecond);

void BM_DsfProducer(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-surrogate.dsf";
    // 20 s of stereo DSD64 from a second-order modulator: music-like bits.
    const std::uint64_t samples = 2'822'400ull * 20;
    std::vector<morrow::dsd::DsdBitStream> streams(2);
    for (std::size_t c = 0; c < 2; ++c) {
        double i1 = 0.0, i2 = 0.0, y = 0.0;
        streams[c].reserve(samples);
        for (std::uint64_t n = 0; n < samples; ++n) {
            const double x = 0.4 * std::sin(2 * M_PI * (c == 0 ? 997.0 : 1499.0) *
                                            static_cast<double>(n) / 2'822'400.0);
            i1 += x - y;
            i2 += i1 - y;
            y = i2 >= 0.0 ? 1.0 : -1.0;
            streams[c].push(y > 0.0);
        }
    }
    morrow::dsd::writeDsfFile(path, streams, {2'822'400, 1});
    auto source = al::playback::createPlaybackSource(path);
    al::surrogate::SurrogateBuffer buffer(source, kWindow);
    buffer.start();
    fillWindows(state, buffer, 1024.0 / 88200.0);
    buffer.stop();
    std::filesystem::remove(path);
}
BENCHMARK(BM_DsfProducer)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
