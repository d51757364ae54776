// Chunks prepared ahead by the surrogate buffer: a stereo 48 kHz record with
// 1 and 2 reconstruction workers, and a 44.1 kHz WAVE through the single
// producer. Each iteration jumps to a fresh window and waits until every
// chunk of it is ready.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <vector>

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
    state.counters["audio_s/s"] = benchmark::Counter(static_cast<double>(prepared) * secondsPerChunk,
                                                     benchmark::Counter::kIsRate);
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

void BM_WaveProducer(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-surrogate.wav";
    const auto channels = music(44100 * 30);
    std::vector<float> interleaved(channels[0].size() * 2);
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        interleaved[2 * i] = static_cast<float>(channels[0][i]);
        interleaved[2 * i + 1] = static_cast<float>(channels[1][i]);
    }
    al::test::writeFloatWave(path, 2, 44100, interleaved);
    auto source = al::playback::createPlaybackSource(path);
    al::surrogate::SurrogateBuffer buffer(source, kWindow);
    buffer.start();
    fillWindows(state, buffer, 1024.0 / 44100.0);
    buffer.stop();
    std::filesystem::remove(path);
}
BENCHMARK(BM_WaveProducer)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
