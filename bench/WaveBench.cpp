// Decoding throughput of the WAVE reader and of FLAC through libsndfile, in
// seconds of stereo 44.1 kHz audio per second of work.
//
//   wave_bench [benchmark options]   Google Benchmark over generated files
//   wave_bench --decode FILE         decode FILE once the way the player does
//                                    (for hyperfine, beside flac -d and sox)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decoders/SndFileApi.h"
#include "decoders/SndFileReader.h"
#include "decoders/WavReader.h"
#include "decoders/SndFileWriter.h"
#include "platform/Process.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kSeconds = 30;
constexpr std::uint64_t kChunk = 1024;

// Deterministic pink-ish noise as integer codes of `bits`, so FLAC has
// something like music to compress.
std::vector<std::int32_t> noiseCodes(int bits) {
    std::mt19937 random(2024);
    std::normal_distribution<double> white(0.0, 1.0);
    const double full = std::ldexp(1.0, bits - 1);
    std::vector<std::int32_t> codes;
    codes.reserve(static_cast<std::size_t>(kRate) * kSeconds * kChannels);
    double state[kChannels] = {};
    for (int frame = 0; frame < kRate * kSeconds; ++frame) {
        for (double& s : state) {
            s = 0.98 * s + 0.02 * white(random) * 6.0;
            const double v = std::fmax(-1.0, std::fmin(1.0 - 1.0 / full, 0.3 * s));
            codes.push_back(static_cast<std::int32_t>(std::lround(v * full)));
        }
    }
    return codes;
}

void writeWave(const std::filesystem::path& path, int bits) {
    const auto codes = noiseCodes(bits);
    const int bytes = bits / 8;
    const std::uint32_t dataSize = static_cast<std::uint32_t>(codes.size()) * static_cast<std::uint32_t>(bytes);
    std::vector<unsigned char> out;
    auto put = [&out](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            out.push_back(static_cast<unsigned char>(value >> (8 * i)));
        }
    };
    auto id = [&out](const char* text) { out.insert(out.end(), text, text + 4); };
    id("RIFF");
    put(36 + dataSize, 4);
    id("WAVE");
    id("fmt ");
    put(16, 4);
    put(1, 2);
    put(kChannels, 2);
    put(kRate, 4);
    put(static_cast<std::uint32_t>(kRate * kChannels * bytes), 4);
    put(static_cast<std::uint32_t>(kChannels * bytes), 2);
    put(static_cast<std::uint32_t>(bits), 2);
    id("data");
    put(dataSize, 4);
    for (const auto code : codes) {
        put(static_cast<std::uint32_t>(code), bytes);
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
}

bool writeFlac(const std::filesystem::path& path) {
    const al::test::SndFileWriter writer;
    if (!writer.available()) {
        return false;
    }
    const auto codes = noiseCodes(16);
    writer.write(path, al::file::sndfile::kTypeFlac | al::file::sndfile::kPcm16, kChannels, kRate,
                 std::vector<double>(codes.begin(), codes.end()), true);
    return true;
}

// The benchmark files, made once per run and removed at exit.
struct Fixtures {
    std::filesystem::path folder;
    bool haveFlac = false;
    Fixtures() {
        folder = std::filesystem::temp_directory_path() / ("auralith-wave-bench-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder);
        writeWave(folder / "s16.wav", 16);
        writeWave(folder / "s24.wav", 24);
        haveFlac = writeFlac(folder / "s16.flac");
    }
    ~Fixtures() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

Fixtures& fixtures() {
    static Fixtures files;
    return files;
}

std::unique_ptr<al::file::AudioFileReader> openReader(const std::filesystem::path& path) {
    if (path.extension() == ".wav") {
        return std::make_unique<al::file::WavReader>(path);
    }
    return std::make_unique<al::file::SndFileReader>(path);
}

// Reads the whole file in the player's pattern: 1024-frame chunks, each with
// one frame of context before and two after. Returns a checksum.
double decodeLikeThePlayer(const al::file::AudioFileReader& reader) {
    const std::uint64_t frames = reader.frameCount();
    double sum = 0.0;
    for (std::uint64_t first = 0; first < frames; first += kChunk) {
        const std::uint64_t from = first == 0 ? 0 : first - 1;
        const std::uint64_t end = std::min(frames, first + kChunk);
        const std::uint64_t to = frames - end >= 3 ? end + 2 : frames;
        const auto samples = reader.ReadFrames(from, to - from);
        sum += samples[samples.size() / 2];
    }
    return sum;
}

void readFile(benchmark::State& state, const char* name, bool chunked) {
    const auto path = fixtures().folder / name;
    if (path.extension() == ".flac" && !fixtures().haveFlac) {
        state.SkipWithError("libsndfile is not available");
        return;
    }
    const auto reader = openReader(path);
    for (auto _ : state) {
        if (chunked) {
            benchmark::DoNotOptimize(decodeLikeThePlayer(*reader));
        } else {
            benchmark::DoNotOptimize(reader->ReadFrames(0, reader->frameCount()));
        }
    }
    state.counters["audio_s_per_s"] =
        benchmark::Counter(reader->durationSeconds(), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Wave16Chunked(benchmark::State& state) { readFile(state, "s16.wav", true); }
void BM_Wave24Chunked(benchmark::State& state) { readFile(state, "s24.wav", true); }
void BM_Flac16Chunked(benchmark::State& state) { readFile(state, "s16.flac", true); }
void BM_Wave16Whole(benchmark::State& state) { readFile(state, "s16.wav", false); }
void BM_Wave24Whole(benchmark::State& state) { readFile(state, "s24.wav", false); }
void BM_Flac16Whole(benchmark::State& state) { readFile(state, "s16.flac", false); }

BENCHMARK(BM_Wave16Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wave24Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flac16Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wave16Whole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wave24Whole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flac16Whole)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--decode") == 0) {
        try {
            const auto reader = openReader(al::platform::pathFromUtf8(argv[2]));
            const double sum = decodeLikeThePlayer(*reader);
            std::printf("%.6f s decoded (checksum %g)\n", reader->durationSeconds(), sum);
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "error: %s\n", error.what());
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
