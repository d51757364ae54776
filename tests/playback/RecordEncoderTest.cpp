// auralith encode: records that play exactly like their sources at the
// source's rate, straight segments for silence and ramps, orderly failures
// and no partial output.
#include "playback/RecordEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

#include "../decoders/SndFileWriter.h"
#include "cli/Commands.h"
#include "cli/Render.h"
#include "decoders/SndFileApi.h"
#include "decoders/WavReader.h"
#include "dsd/DsfWriter.h"
#include "output/SampleConverters.h"
#include "platform/ChildProcess.h"
#include "record/RecordFileWriter.h"
#include "record/RecordReader.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::playback {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    const auto text = path.u8string();
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct CommandRun {
    int status;
    std::string out, err;
};

CommandRun run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = cli::runCommandLine(args, out, err);
    return {status, out.str(), err.str()};
}

// Integer PCM WAVE (16 or 24 bits) from sample codes.
void writePcmWave(const fs::path& path, std::uint16_t channels, std::uint32_t rate, unsigned bits,
                  const std::vector<std::int32_t>& codes) {
    const unsigned bytes = bits / 8;
    std::vector<char> out;
    auto put = [&](std::uint64_t v, unsigned n) {
        for (unsigned k = 0; k < n; ++k)
            out.push_back(static_cast<char>(v >> (8 * k)));
    };
    const auto dataBytes = static_cast<std::uint32_t>(codes.size() * bytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put(36 + dataBytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(1, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * bytes, 4);
    put(channels * bytes, 2);
    put(bits, 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put(dataBytes, 4);
    for (auto c : codes)
        put(static_cast<std::uint32_t>(c), bytes);
    std::ofstream(path, std::ios::binary)
        .write(out.data(), static_cast<std::streamsize>(out.size()));
}

// Music-like test material: two partials with a slow tremolo and a little
// noise, at `level` of full scale, as integer codes of `bits` bits.
std::vector<std::int32_t> musicCodes(std::size_t frames, std::uint16_t channels, std::uint32_t rate,
                                     unsigned bits, double level, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-0.01, 0.01);
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 1);
    std::vector<std::int32_t> codes;
    codes.reserve(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / rate;
        for (std::uint16_t c = 0; c < channels; ++c) {
            const double v =
                level * (0.6 * std::sin(2 * std::numbers::pi * (220.0 + 110.0 * c) * t) +
                         0.3 * std::sin(2 * std::numbers::pi * 1250.0 * t + c) *
                             (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3.0 * t)) +
                         noise(random));
            codes.push_back(
                static_cast<std::int32_t>(std::lround(std::clamp(v, -1.0, 1.0) * (full - 1))));
        }
    }
    return codes;
}

RecordEncodeOptions checked() {
    RecordEncodeOptions options;
    options.checkBlocks = true;
    return options;
}

fs::path render(const fs::path& input, const fs::path& output, audio::SampleKind kind,
                std::optional<std::uint32_t> rate = {}) {
    cli::RenderOptions options;
    options.input = input;
    options.output = output;
    options.kind = kind;
    options.rate = rate;
    cli::renderToWave(options);
    return output;
}

// Largest difference between two 24-bit renderings, in 24-bit steps.
std::int32_t maxStepDifference(const fs::path& a, const fs::path& b) {
    const auto x = readBytes(a);
    const auto y = readBytes(b);
    EXPECT_EQ(x.size(), y.size());
    std::int32_t most = 0;
    for (std::size_t k = 44; k + 3 <= std::min(x.size(), y.size()); k += 3) {
        auto value = [](const std::vector<std::uint8_t>& v, std::size_t at) {
            std::int32_t s = v[at] | v[at + 1] << 8 | v[at + 2] << 16;
            return s >= 1 << 23 ? s - (1 << 24) : s;
        };
        most = std::max(most, std::abs(value(x, k) - value(y, k)));
    }
    return most;
}

// Encodes, verifies and renders source and record at the source's rate in
// pcm16 and pcm24: the bytes must be identical.
void expectExactRoundTrip(const test::TempDir& dir, const fs::path& source) {
    const fs::path record = dir / "out.aur";
    const CommandRun encoded = run({"encode", utf8(source), "-o", utf8(record)});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.err, "");
    EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(record)));
    const CommandRun verified = run({"verify", utf8(record)});
    ASSERT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(run({"info", utf8(record), "--segments"}).status, 0);
    for (auto kind : {audio::SampleKind::Pcm16, audio::SampleKind::Pcm24Packed}) {
        const auto a = readBytes(render(source, dir / "a.wav", kind));
        const auto b = readBytes(render(record, dir / "b.wav", kind));
        ASSERT_GT(a.size(), 44u);
        EXPECT_TRUE(a == b) << "renderings differ for " << utf8(source);
    }
}

TEST(RecordEncoderRoundTrip, SixteenBitWaveRendersIdentically) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 2, 44100, 16, musicCodes(5000, 2, 44100, 16, 0.9, 1));
    expectExactRoundTrip(dir, dir / "in.wav");
    // The header tells the truth about the source.
    const file::RecordReader reader(dir / "out.aur");
    EXPECT_EQ(reader.header().capturedSampleRate, 44100u);
    EXPECT_EQ(reader.header().capturedBitDepth, 16u);
    EXPECT_EQ(reader.header().frameCount, 5000u);
    EXPECT_EQ(reader.header().channelCount, 2u);
    EXPECT_DOUBLE_EQ(reader.header().duration, 5000.0 / 44100.0);
    EXPECT_GT(reader.header().sourcePeak, 0.5);
    EXPECT_LE(reader.header().sourcePeak, 1.0);
    EXPECT_EQ(reader.chunkCount(), 5u);
}

TEST(RecordEncoderRoundTrip, TwentyFourBitWaveRendersIdentically) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 1, 48000, 24, musicCodes(4100, 1, 48000, 24, 0.98, 2));
    expectExactRoundTrip(dir, dir / "in.wav");
    EXPECT_EQ(file::RecordReader(dir / "out.aur").header().capturedBitDepth, 24u);
}

TEST(RecordEncoderRoundTrip, FloatWaveRendersIdentically) {
    test::TempDir dir;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> level(-0.9F, 0.9F);
    std::vector<float> samples(2 * 3000);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        samples[k] = 0.5F * std::sin(static_cast<float>(k) * 0.01F) + 0.2F * level(random);
    }
    test::writeFloatWave(dir / "in.wav", 2, 96000, samples);
    expectExactRoundTrip(dir, dir / "in.wav");
    EXPECT_EQ(file::RecordReader(dir / "out.aur").header().capturedBitDepth, 32u);
}

TEST(RecordEncoderRoundTrip, FlacRendersIdentically) {
    const test::SndFileWriter writer;
    if (!writer.available()) {
        GTEST_SKIP() << "no libsndfile on this platform";
    }
    test::TempDir dir;
    const auto codes = musicCodes(6000, 2, 44100, 16, 0.8, 4);
    writer.write(dir / "in.flac", file::sndfile::kTypeFlac | file::sndfile::kPcm16, 2, 44100,
                 std::vector<double>(codes.begin(), codes.end()), true);
    expectExactRoundTrip(dir, dir / "in.flac");
}

TEST(RecordEncoderRoundTrip, DsfRendersIdenticallyThroughItsSurrogate) {
    test::TempDir dir;
    // A first-order delta-sigma of a 1 kHz tone.
    std::vector<morrow::dsd::DsdBitStream> channels(2);
    double integrator[2] = {0.0, 0.0};
    const std::uint64_t bits = 2'822'400 / 10;
    for (std::uint64_t n = 0; n < bits; ++n) {
        const double x =
            0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(n) / 2'822'400.0);
        for (int c = 0; c < 2; ++c) {
            const bool one = integrator[c] >= 0.0;
            integrator[c] += x - (one ? 1.0 : -1.0);
            channels[c].push(one);
        }
    }
    morrow::dsd::writeDsfFile(dir / "in.dsf", channels, {});
    expectExactRoundTrip(dir, dir / "in.dsf");
    EXPECT_EQ(file::RecordReader(dir / "out.aur").header().capturedSampleRate, 88200u);
}

TEST(RecordEncoderRoundTrip, UpsampledRenderingsStayWithinOneStep) {
    // Moderate 16-bit material and loud 24-bit material: between the source's
    // frames the record follows the source's curve to within one 24-bit step.
    struct Case {
        unsigned bits;
        double level;
    };
    for (const Case c : {Case{16, 0.5}, Case{24, 0.9}}) {
        test::TempDir dir;
        writePcmWave(dir / "in.wav", 2, 44100, c.bits,
                     musicCodes(8192, 2, 44100, c.bits, c.level, 5));
        ASSERT_EQ(run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "out.aur")}).status, 0);
        for (std::uint32_t rate : {96000u, 192000u}) {
            const auto a =
                render(dir / "in.wav", dir / "a.wav", audio::SampleKind::Pcm24Packed, rate);
            const auto b =
                render(dir / "out.aur", dir / "b.wav", audio::SampleKind::Pcm24Packed, rate);
            EXPECT_LE(maxStepDifference(a, b), 1) << c.bits << "-bit at " << rate;
        }
    }
}

TEST(RecordEncoderRoundTrip, FullScaleHighSweepHasNoGrossPieces) {
    // A full-scale sweep through 12-15 kHz (three frames a period): some
    // pieces find no layout close enough between frames, and a one-frame
    // piece cut there with a one-sided end slope can be off by a fifth of full
    // scale while its frames still round right. Such a piece must lose to a
    // close one, so renderings at other rates stay within a few steps.
    test::TempDir dir;
    constexpr std::size_t kFrames = 44100;
    std::vector<std::int32_t> codes(kFrames);
    for (std::size_t f = 0; f < kFrames; ++f) {
        const double t = static_cast<double>(f) / 44100.0;
        const double phase = 2 * std::numbers::pi * (12000.0 * t + 1500.0 * t * t);
        codes[f] = static_cast<std::int32_t>(std::lround(std::sin(phase) * 8388607.0));
    }
    writePcmWave(dir / "in.wav", 1, 44100, 24, codes);
    ASSERT_EQ(run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "out.aur")}).status, 0);
    for (std::uint32_t rate : {96000u, 192000u}) {
        const auto a = render(dir / "in.wav", dir / "a.wav", audio::SampleKind::Pcm24Packed, rate);
        const auto b = render(dir / "out.aur", dir / "b.wav", audio::SampleKind::Pcm24Packed, rate);
        EXPECT_LE(maxStepDifference(a, b), 16) << rate;
    }
}

// ---------------------------------------------------------------- segments

TEST(RecordEncoderSegments, SilenceIsOneLinearSegmentPerChunk) {
    test::TempDir dir;
    std::vector<std::int32_t> codes(3 * 1024, 0);
    for (std::size_t f = 2048; f < codes.size(); ++f)
        codes[f] = 1000;  // a step, then a constant
    writePcmWave(dir / "in.wav", 1, 48000, 16, codes);
    const RecordEncoder encoder(dir / "in.wav");
    RecordEncodeStats stats;
    const auto first = encoder.encodeChunk(0, checked(), stats);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].size(), 1u);
    EXPECT_EQ(first[0][0].kind, file::SegmentKind::Linear);
    EXPECT_EQ(first[0][0].anchorValue, 0.0);
    EXPECT_EQ(first[0][0].valueOffsets[0], 0.0F);
    // The last chunk: the step is a short PCHIP piece, then the constant as a
    // LINEAR segment and the hold to the duration as a POLYLINE.
    const auto last = encoder.encodeChunk(2, checked(), stats);
    ASSERT_GE(last[0].size(), 3u);
    EXPECT_EQ(last[0].front().kind, file::SegmentKind::Pchip);
    EXPECT_EQ(last[0][last[0].size() - 2].kind, file::SegmentKind::Linear);
    EXPECT_EQ(last[0].back().kind, file::SegmentKind::Polyline);
    EXPECT_EQ(stats.unreproducedFrames, 0u);
}

TEST(RecordEncoderSegments, DigitalRampIsLinearAndRoundTrips) {
    test::TempDir dir;
    std::vector<std::int32_t> codes(2500);
    for (std::size_t f = 0; f < codes.size(); ++f)
        codes[f] = -20000 + 7 * static_cast<std::int32_t>(f);
    writePcmWave(dir / "in.wav", 1, 44100, 16, codes);
    const RecordEncoder encoder(dir / "in.wav");
    RecordEncodeStats stats;
    const auto chunk = encoder.encodeChunk(1, checked(), stats);
    std::size_t points = 0;
    for (const auto& s : chunk[0]) {
        EXPECT_EQ(s.kind, file::SegmentKind::Linear);
        points += s.pointCount();
    }
    EXPECT_LT(points, 100u);  // far fewer than the 1026 points of a PCHIP piece
    expectExactRoundTrip(dir, dir / "in.wav");
    const CommandRun info = run({"info", utf8(dir / "out.aur"), "--segments"});
    EXPECT_NE(info.out.find("linear segments: "), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("linear segments: 0\n"), std::string::npos) << info.out;
}

TEST(RecordEncoderSegments, OneFrameAndShortFilesRoundTrip) {
    for (std::size_t frames : {1u, 2u, 3u, 1025u, 1026u, 1027u}) {
        test::TempDir dir;
        writePcmWave(dir / "in.wav", 1, 8000, 16, musicCodes(frames, 1, 8000, 16, 0.7, 6));
        SCOPED_TRACE(frames);
        expectExactRoundTrip(dir, dir / "in.wav");
    }
}

TEST(RecordEncoderSegments, LongerPiecesCostFewerSegments) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 1, 44100, 16, musicCodes(4096, 1, 44100, 16, 0.3, 7));
    const RecordEncoder encoder(dir / "in.wav");
    RecordEncodeStats shortStats, longStats;
    RecordEncodeOptions shortPieces = checked();
    shortPieces.segmentFrames = 16;
    RecordEncodeOptions longPieces = checked();
    longPieces.segmentFrames = 512;
    for (std::uint64_t c = 0; c < 4; ++c) {
        encoder.encodeChunk(c, shortPieces, shortStats);
        encoder.encodeChunk(c, longPieces, longStats);
    }
    EXPECT_GT(shortStats.pchipSegments, longStats.pchipSegments);
    EXPECT_EQ(shortStats.unreproducedFrames, 0u);
    EXPECT_EQ(longStats.unreproducedFrames, 0u);
}

TEST(RecordEncoderSegments, LoudFramesNearARoundingBoundaryAreSearchedIntoPlace) {
    // Near full scale the f32 value steps are about half a 24-bit step, so
    // some frames only round as the source's after their knot is moved.
    test::TempDir dir;
    writePcmWave(dir / "loud.wav", 1, 44100, 24, musicCodes(4096, 1, 44100, 24, 0.95, 12));
    const RecordEncoder loud(dir / "loud.wav");
    RecordEncodeStats stats;
    for (std::uint64_t c = 0; c < 4; ++c) {
        loud.encodeChunk(c, checked(), stats);
    }
    EXPECT_GT(stats.valueMoves, 0u);
    EXPECT_EQ(stats.unreproducedFrames, 0u);
}

TEST(RecordEncoderSegments, BitDepthsMapToRecordDepths) {
    EXPECT_EQ(recordBitDepthFor(0), 32u);
    EXPECT_EQ(recordBitDepthFor(8), 8u);
    EXPECT_EQ(recordBitDepthFor(12), 16u);
    EXPECT_EQ(recordBitDepthFor(20), 24u);
    EXPECT_EQ(recordBitDepthFor(32), 32u);
    EXPECT_EQ(recordBitDepthFor(48), 64u);
    EXPECT_EQ(pcm16Code(0.5), 16384);  // 16383.5 rounds away from zero
    EXPECT_EQ(pcm16Code(-1.5), -32768);
    EXPECT_EQ(pcm24Code(16384.0 / 32768.0), 4194304);
    // The encoder's rounding is its own (no library call per frame); it must
    // be the converters' to the last code, halves and extremes included.
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> any(-1.1, 1.1);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  -1.0,
                                  2.0,
                                  -2.0,
                                  0.49999999999999994 / 32767.0,
                                  std::nan(""),
                                  std::numeric_limits<double>::infinity()};
    for (int k = -40; k <= 40; ++k) {
        values.push_back((k + 0.5) / 32767.0);
        values.push_back((k + 0.5) / 8388607.0);
        values.push_back(std::nextafter((k + 0.5) / 8388607.0, 0.0));
    }
    for (int k = 0; k < 20000; ++k) {
        values.push_back(any(random));
    }
    for (double v : values) {
        EXPECT_EQ(pcm16Code(v), audio::SampleToPcm16(v)) << v;
        EXPECT_EQ(pcm24Code(v), audio::SampleToPcm24(v)) << v;
    }
}

TEST(RecordEncoderSegments, TurningPointEndsLandExactlyOnTheirFrames) {
    // A piece that ends at a turning point holds flat to a copy of its last
    // knot; that knot must sit on its frame's own time, where the curve
    // bends hardest and a time error would move the sound most.
    test::TempDir dir;
    const auto codes = musicCodes(3072, 1, 44100, 16, 0.95, 13);
    writePcmWave(dir / "in.wav", 1, 44100, 16, codes);
    const RecordEncoder encoder(dir / "in.wav");
    RecordEncodeStats stats;
    const auto chunk = encoder.encodeChunk(1, checked(), stats);
    const double inv = 1.0 / 44100.0;
    std::size_t turning = 0;
    for (const auto& s : chunk[0]) {
        const std::size_t count = s.pointCount();
        if (s.kind != file::SegmentKind::Pchip || count < 3 ||
            file::rebuiltValue(s, count - 1) != file::rebuiltValue(s, count - 2)) {
            continue;
        }
        const double time = file::rebuiltTime(s, count - 2);
        const auto frame = static_cast<std::int64_t>(std::llround(time * 44100.0));
        EXPECT_EQ(time, static_cast<double>(frame) * inv) << frame;
        EXPECT_GT(file::rebuiltTime(s, count - 1), time);
        ++turning;
    }
    EXPECT_GT(turning, 4u);
    EXPECT_EQ(stats.turningPointCuts, turning);
    EXPECT_EQ(stats.unreproducedFrames, 0u);
}

// The encoder writes blocks straight from one channel encoder kept for the
// whole file; each block must still be exactly what a fresh encoding of its
// chunk gives (nothing of one chunk or channel may leak into the next).
TEST(RecordEncoderSegments, WrittenBlocksMatchChunkByChunkEncoding) {
    test::TempDir dir;
    // Loud music, then silence, a ramp, and music again, on two channels
    // that differ, ending inside a chunk.
    const std::size_t frames = 7 * 1024 + 300;
    auto codes = musicCodes(frames, 2, 44100, 16, 0.9, 7);
    for (std::size_t f = 2 * 1024 + 100; f < 4 * 1024; ++f) {
        codes[2 * f] = 0;
        codes[2 * f + 1] = static_cast<std::int32_t>(f % 512) - 256;
    }
    writePcmWave(dir / "in.wav", 2, 44100, 16, codes);
    RecordEncoder encoder(dir / "in.wav");
    const RecordEncodeOptions options;
    const RecordEncodeStats written = encoder.encode(dir / "out.aur", options);
    const file::RecordReader reader(dir / "out.aur");
    ASSERT_EQ(reader.chunkCount(), encoder.chunkCount());
    RecordEncodeStats separate;
    for (std::uint64_t c = 0; c < encoder.chunkCount(); ++c) {
        const auto chunk = encoder.encodeChunk(c, options, separate);
        ASSERT_EQ(chunk.size(), 2u);
        for (std::size_t k = 0; k < 2; ++k) {
            std::vector<std::byte> expected;
            for (const auto& segment : chunk[k]) {
                file::appendEncodedSegment(expected, segment);
            }
            const file::BlockView block = reader.block(k, c, true);
            EXPECT_EQ(block.header.segmentCount, chunk[k].size()) << "chunk " << c;
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), block.payload.begin(),
                                   block.payload.end()))
                << "chunk " << c << " channel " << k;
        }
    }
    EXPECT_EQ(written.pchipSegments, separate.pchipSegments);
    EXPECT_EQ(written.linearSegments, separate.linearSegments);
    EXPECT_EQ(written.controlPoints, separate.controlPoints);
    EXPECT_GT(written.linearSegments, 0u);
    EXPECT_EQ(written.unreproducedFrames, 0u);
    // The header's peak is the largest sample of either channel.
    std::int32_t largest = 0;
    for (auto c : codes) {
        largest = std::max(largest, std::abs(c));
    }
    EXPECT_EQ(reader.header().sourcePeak, largest / 32768.0);
}

TEST(RecordEncoderSegments, StreamedRecordHasTheStoredLayout) {
    test::TempDir dir;
    file::RecordHeader header;
    header.version = 2;
    header.channelCount = 1;
    header.capturedSampleRate = 1000;
    header.capturedBitDepth = 16;
    header.frameCount = 2;
    header.sourcePeak = 0.25;
    header.duration = 0.002;
    std::vector<std::byte> payload;
    file::EncodedSegment line;
    line.kind = file::SegmentKind::Linear;
    line.anchorValue = 0.25;
    line.push(0.002F, -0.25F);
    file::appendEncodedSegment(payload, line);
    ASSERT_EQ(payload.size(), 28u);
    {
        file::RecordFileWriter writer(dir / "r.aur");
        writer.writeBlock(0, 1, 0.0, 0.002, payload);
        writer.commit(header);
        EXPECT_EQ(writer.bytesWritten(), 39u + 28u + 28u + 4u + 6u);
    }
    const auto bytes = readBytes(dir / "r.aur");
    ASSERT_EQ(bytes.size(), 105u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "AUR");
    EXPECT_EQ(std::string(bytes.end() - 6, bytes.end()), "AUREND");
    double peak = 0.0;
    std::memcpy(&peak, bytes.data() + 23, 8);
    EXPECT_EQ(peak, 0.25);  // the header is written at the end, with the peak
    EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(dir / "r.aur")));
    const file::RecordReader reader(dir / "r.aur");
    EXPECT_EQ(reader.chunkCount(), 1u);
    EXPECT_EQ(run({"verify", utf8(dir / "r.aur")}).out, "ok: 1 chunks\n");
}

// ---------------------------------------------------------------- failures

TEST(RecordEncoderFailures, UnreadableInputGivesTheReadersMessageAndNoOutput) {
    test::TempDir dir;
    std::ofstream(dir / "bad.wav", std::ios::binary) << "RIFF\x04\0\0\0WAVEjunk";
    std::string expected;
    try {
        file::WavReader reader(dir / "bad.wav");
    } catch (const std::exception& error) {
        expected = error.what();
    }
    ASSERT_FALSE(expected.empty());
    const CommandRun result = run({"encode", utf8(dir / "bad.wav"), "-o", utf8(dir / "out.aur")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: " + expected + "\n");
    EXPECT_FALSE(fs::exists(dir / "out.aur"));
    EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(dir / "out.aur")));
}

TEST(RecordEncoderFailures, TruncatedInputIsRefusedWithoutOutput) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 2, 44100, 16, musicCodes(3000, 2, 44100, 16, 0.5, 8));
    auto bytes = readBytes(dir / "in.wav");
    bytes.resize(bytes.size() / 2);
    std::ofstream(dir / "cut.wav", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const CommandRun result = run({"encode", utf8(dir / "cut.wav"), "-o", utf8(dir / "out.aur")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("error: ", 0), 0u) << result.err;
    EXPECT_FALSE(fs::exists(dir / "out.aur"));
    EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(dir / "out.aur")));
}

TEST(RecordEncoderFailures, ExistingOutputNeedsForce) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 1, 8000, 16, musicCodes(100, 1, 8000, 16, 0.5, 9));
    std::ofstream(dir / "out.aur") << "keep";
    const CommandRun refused = run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "out.aur")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "error: " + utf8(dir / "out.aur") + " exists; use --force to replace it\n");
    EXPECT_EQ(readBytes(dir / "out.aur").size(), 4u);
    const CommandRun forced =
        run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "out.aur"), "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(run({"verify", utf8(dir / "out.aur")}).status, 0);
}

TEST(RecordEncoderFailures, BadCommandLinesAndInputs) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 1, 8000, 16, {1, 2, 3});
    EXPECT_EQ(run({"encode", utf8(dir / "in.wav")}).status, 2);
    EXPECT_EQ(
        run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "o.aur"), "--segment-frames", "4"})
            .status,
        2);
    const CommandRun wrongExtension =
        run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "o.wav")});
    EXPECT_EQ(wrongExtension.err, "error: Output must be a record file (.aur)\n");
    ASSERT_EQ(run({"encode", utf8(dir / "in.wav"), "-o", utf8(dir / "o.aur")}).status, 0);
    const CommandRun again = run({"encode", utf8(dir / "o.aur"), "-o", utf8(dir / "p.aur")});
    EXPECT_EQ(again.err, "error: Input is already an Auralith record\n");
    EXPECT_FALSE(fs::exists(dir / "p.aur"));
}

TEST(RecordEncoderFailures, UncommittedWriterLeavesNothing) {
    test::TempDir dir;
    {
        file::RecordFileWriter writer(dir / "x.aur");
        const std::byte payload[1] = {std::byte{1}};
        writer.writeBlock(0, 1, 0.0, 1.0, payload);
        EXPECT_TRUE(fs::exists(writer.temporaryPath()));
    }
    EXPECT_FALSE(fs::exists(dir / "x.aur"));
    EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(dir / "x.aur")));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RecordEncoderFailures, InterruptedEncoderLeavesNoPartialFile) {
    test::TempDir dir;
    // Long enough (3 minutes) to be stopped half-way.
    writePcmWave(dir / "in.wav", 2, 48000, 16, musicCodes(48000 * 180, 2, 48000, 16, 0.5, 10));
    const fs::path record = dir / "out.aur";
    platform::ChildProcess child(AL_AURALITH_BINARY,
                                 {"encode", utf8(dir / "in.wav"), "-o", utf8(record)},
                                 dir / "stdout.txt", dir / "stderr.txt");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readText(dir / "stderr.txt").find("encoding 5%") == std::string::npos &&
           std::chrono::steady_clock::now() < until && !child.wait(0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(child.wait(0)) << "finished before it could be interrupted";
    EXPECT_TRUE(fs::exists(file::RecordFileWriter::temporaryFor(record)));
    const bool graceful = child.interrupt();
    std::optional<int> status = child.wait(30000);
    if (!status) {
        child.kill();
        status = child.wait(10000);
    }
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(fs::exists(record));
    if (graceful && *status == 1) {
        EXPECT_NE(readText(dir / "stderr.txt").find("error: Encoding interrupted at chunk "),
                  std::string::npos);
        EXPECT_FALSE(fs::exists(file::RecordFileWriter::temporaryFor(record)));
    }
}

TEST(RecordEncoderFailures, KilledEncoderNeverLeavesTheTarget) {
    test::TempDir dir;
    writePcmWave(dir / "in.wav", 2, 48000, 16, musicCodes(48000 * 120, 2, 48000, 16, 0.5, 11));
    const fs::path record = dir / "out.aur";
    platform::ChildProcess child(AL_AURALITH_BINARY,
                                 {"encode", utf8(dir / "in.wav"), "-o", utf8(record)},
                                 dir / "stdout.txt", dir / "stderr.txt");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readText(dir / "stderr.txt").find("encoding 5%") == std::string::npos &&
           std::chrono::steady_clock::now() < until && !child.wait(0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(child.wait(0));
    child.kill();
    ASSERT_TRUE(child.wait(10000));
    // Only the temporary can remain after a kill; the target never appears.
    EXPECT_FALSE(fs::exists(record));
}

}  // namespace
}  // namespace al::playback
