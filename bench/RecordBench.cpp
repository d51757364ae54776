// Opening and indexing records, and block checksums.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "record/Crc32.h"
#include "record/RecordReader.h"
#include "record/RecordWriter.h"

namespace {

std::vector<std::vector<double>> tone(std::size_t frames, std::size_t channels) {
    std::vector<std::vector<double>> out(channels, std::vector<double>(frames));
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            out[c][i] = 0.5 * std::sin(0.01 * static_cast<double>(i * (c + 1)));
        }
    }
    return out;
}

void BM_Crc32(benchmark::State& state) {
    std::vector<std::byte> data(static_cast<std::size_t>(state.range(0)), std::byte{0x5A});
    for (auto _ : state) {
        benchmark::DoNotOptimize(al::file::crc32(0, data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(8 * 1024)->Arg(1 << 20);

// Open = map + validate + index: one minute of stereo 48 kHz.
void BM_OpenRecord(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-open.aur";
    al::file::RecordWriter::fromSamples(48000, 24, tone(48000 * 60, 2)).save(path);
    for (auto _ : state) {
        al::file::RecordReader reader(path);
        benchmark::DoNotOptimize(reader.chunkCount());
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_OpenRecord)->Unit(benchmark::kMillisecond);

// Fetch with checksum of every block of one minute of stereo 48 kHz.
void BM_VerifyAllBlocks(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "auralith-bench-verify.aur";
    al::file::RecordWriter::fromSamples(48000, 24, tone(48000 * 60, 2)).save(path);
    al::file::RecordReader reader(path);
    for (auto _ : state) {
        for (std::uint64_t k = 0; k < reader.chunkCount(); ++k) {
            for (std::size_t c = 0; c < reader.header().channelCount; ++c) {
                benchmark::DoNotOptimize(reader.block(c, k, true).storedCrc);
            }
        }
    }
    state.counters["seconds_of_audio/s"] =
        benchmark::Counter(60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    std::filesystem::remove(path);
}
BENCHMARK(BM_VerifyAllBlocks)->Unit(benchmark::kMillisecond);

}  // namespace
