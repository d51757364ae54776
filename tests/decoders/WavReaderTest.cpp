#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "WaveBytes.h"
#include "decoders/WavReader.h"
#include "platform/Process.h"

namespace al::test {
namespace {

using file::WavReader;

// The message of the runtime error a file's opening fails with.
std::string openFailure(const TempDir& dir, const Bytes& bytes) {
    const auto path = dir / "case.wav";
    writeBytes(path, bytes);
    try {
        WavReader reader(path);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "opened";
}

Bytes pcm16Stereo(const std::vector<std::int64_t>& samples) {
    return riffWave({{"fmt ", fmtBody(1, 2, 44100, 16)}, {"data", samplesLe(samples, 2)}});
}

TEST(WavReaderOpen, RefusesWhatIsNotALittleEndianWaveFile) {
    TempDir dir;
    EXPECT_EQ(openFailure(dir, Bytes(11, 0)), "WAVE file is missing, unreadable, or too small");
    Bytes header = riffWave({});
    header.resize(19, 0);  // 12..19 bytes: no room for a chunk header
    EXPECT_EQ(openFailure(dir, header), "WAVE source has no fmt chunk");
    EXPECT_EQ(openFailure(dir, riffWave({{"data", {}}}, "RF64")),
              "RF64 WAVE sources are not supported by Direct Playback yet");
    EXPECT_EQ(openFailure(dir, riffWave({{"data", {}}}, "RIFX")), "Source is not a little-endian RIFF/WAVE file");
    EXPECT_EQ(openFailure(dir, riffWave({{"data", {}}}, "RIFF", "AVI ")),
              "Source is not a little-endian RIFF/WAVE file");
    try {
        WavReader reader(dir / "absent.wav");
        ADD_FAILURE() << "a missing file opened";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "WAVE file is missing, unreadable, or too small");
    }
}

TEST(WavReaderOpen, WalksChunksAsStoredOnDisk) {
    TempDir dir;
    const Bytes fmt = fmtBody(1, 1, 8000, 16);
    const Bytes data = samplesLe({1, 2, 3}, 2);

    // An odd LIST body is followed by its pad byte; data is found after it.
    {
        const auto path = dir / "list.wav";
        writeBytes(path, riffWave({{"fmt ", fmt}, {"LIST", Bytes(7, 'x')}, {"data", data}}));
        WavReader reader(path);
        EXPECT_EQ(reader.dataOffset(), 12u + 8 + 16 + 8 + 8 + 8);
        EXPECT_EQ(reader.frameCount(), 3u);
        EXPECT_EQ(reader.ReadFrames(0, 3), (std::vector<double>{1 / 32768.0, 2 / 32768.0, 3 / 32768.0}));
    }
    // Data before fmt is fine, and the walk stops at fmt: a broken chunk
    // after it (running past the end) is never looked at.
    {
        const auto path = dir / "data-first.wav";
        writeBytes(path, riffWave({{"data", data}, {"fmt ", fmt}, {"junk", {}, 1000}}));
        WavReader reader(path);
        EXPECT_EQ(reader.dataOffset(), 20u);
        EXPECT_EQ(reader.dataSize(), 6u);
        EXPECT_EQ(reader.fileSize(), 12u + 8 + 6 + 8 + 16 + 8);
    }
    // The second fmt after data is never reached either.
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"data", data}, {"fmt ", fmt}})), "opened");

    // A placeholder data size is refused, not truncated to the file.
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"data", data, 0xFFFFFFFF}})),
              "WAVE chunk extends beyond the source file");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"data", data, 8}})),
              "WAVE chunk extends beyond the source file");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"fmt ", fmt}, {"data", data}})),
              "WAVE source contains multiple fmt chunks");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", Bytes(fmt.begin(), fmt.begin() + 14)}, {"data", data}})),
              "WAVE fmt chunk size is invalid");
    EXPECT_EQ(openFailure(dir, riffWave({{"data", data}})), "WAVE source has no fmt chunk");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"LIST", Bytes(4, 0)}})), "WAVE source has no data chunk");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"data", Bytes(5, 0)}})),
              "WAVE data size is not an integral number of frames");
    EXPECT_EQ(openFailure(dir, riffWave({{"fmt ", fmt}, {"data", {}}})), "WAVE source contains no audio frames");
}

TEST(WavReaderOpen, ValidatesTheFormatInOrder) {
    TempDir dir;
    const Bytes data(48, 0);
    auto with = [&](const Bytes& fmt) { return openFailure(dir, riffWave({{"fmt ", fmt}, {"data", data}})); };

    EXPECT_EQ(with(fmtBody(1, 0, 44100, 16, 2)), "WAVE channel count is unsupported");
    EXPECT_EQ(with(fmtBody(1, 9, 44100, 16)), "WAVE channel count is unsupported");
    EXPECT_EQ(with(fmtBody(1, 2, 0, 16)), "WAVE sample rate is unsupported");
    EXPECT_EQ(with(fmtBody(1, 2, 12'288'001, 16)), "WAVE sample rate is unsupported");
    EXPECT_EQ(with(fmtBody(1, 2, 12'288'000, 16)), "opened");
    EXPECT_EQ(with(fmtBody(1, 2, 44100, 12, 4)), "WAVE sample container width is invalid");
    EXPECT_EQ(with(fmtBody(1, 2, 44100, 16, 3)), "WAVE block alignment is inconsistent with its format");
    EXPECT_EQ(with(fmtBody(1, 1, 44100, 48)), "Unsupported WAVE PCM container width");
    EXPECT_EQ(with(fmtBody(3, 1, 44100, 16)), "Unsupported WAVE IEEE-float container width");
    // A compressed tag is only named as such once its layout passed.
    EXPECT_EQ(with(fmtBody(2, 2, 44100, 16)), "WAVE source uses a compressed or unsupported codec");
    EXPECT_EQ(with(fmtBody(2, 2, 44100, 4, 2048)), "WAVE sample container width is invalid");

    const Bytes extensible = extensibleFmtBody(2, 48000, 32, 24);
    EXPECT_EQ(with(Bytes(extensible.begin(), extensible.begin() + 24)), "WAVE extensible fmt chunk is truncated");
    Bytes shortExtension = extensible;
    shortExtension[16] = 10;
    EXPECT_EQ(with(shortExtension), "WAVE extensible fmt extension is incomplete");
    Bytes longExtension = extensible;
    longExtension[16] = 30;  // claims 8 bytes the body does not have
    EXPECT_EQ(with(longExtension), "WAVE extensible fmt extension is incomplete");
    Bytes foreignGuid = extensible;
    foreignGuid[39] ^= 0xFF;
    EXPECT_EQ(with(foreignGuid), "Unsupported WAVE extensible subformat");
    EXPECT_EQ(with(extensibleFmtBody(2, 48000, 32, 24, 2)), "Unsupported WAVE extensible subformat");
    EXPECT_EQ(with(extensibleFmtBody(2, 48000, 32, 0)), "WAVE PCM valid-bit depth is invalid");
    EXPECT_EQ(with(extensibleFmtBody(2, 48000, 16, 17)), "WAVE PCM valid-bit depth is invalid");
    EXPECT_EQ(with(extensibleFmtBody(2, 48000, 32, 24, 3)), "WAVE IEEE-float valid-bit depth is invalid");
}

TEST(WavReaderSamples, IntegerKnownAnswers) {
    TempDir dir;
    const auto path = dir / "pcm.wav";

    writeBytes(path, riffWave({{"fmt ", fmtBody(1, 1, 8000, 8)}, {"data", {0, 128, 255}}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE PCM 8 bit");
        EXPECT_EQ(reader.ReadFrames(0, 3), (std::vector<double>{-1.0, 0.0, 0.9921875}));
    }

    writeBytes(path, pcm16Stereo({-32768, 32767, 0, -1}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE PCM 16 bit");
        EXPECT_EQ(reader.bitDepth(), 16);
        EXPECT_EQ(reader.blockAlign(), 4);
        EXPECT_DOUBLE_EQ(reader.durationSeconds(), 2.0 / 44100.0);
        EXPECT_EQ(reader.ReadFrames(0, 2), (std::vector<double>{-1.0, 0.999969482421875, 0.0, -1.0 / 32768}));
    }

    writeBytes(path, riffWave({{"fmt ", fmtBody(1, 1, 96000, 24)},
                               {"data", samplesLe({-8388608, 8388607, 1, -2}, 3)}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE PCM 24 bit");
        const double lsb = std::ldexp(1.0, -23);
        EXPECT_EQ(reader.ReadFrames(0, 4), (std::vector<double>{-1.0, 1.0 - lsb, lsb, -2 * lsb}));
    }

    // 24 valid bits in 32-bit slots: the padding is divided away with
    // truncation toward zero, so -1 and -255 become 0, not -1.
    writeBytes(path, riffWave({{"fmt ", extensibleFmtBody(1, 48000, 32, 24)},
                               {"data", samplesLe({-1, -255, -256, -257, 0x7FFFFFFF, -0x80000000LL, 511}, 4)}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE PCM 24-in-32 bit");
        EXPECT_EQ(reader.containerBits(), 32);
        EXPECT_EQ(reader.validBits(), 24);
        EXPECT_EQ(reader.bitDepth(), 24);
        const double lsb = std::ldexp(1.0, -23);
        EXPECT_EQ(reader.ReadFrames(0, 7),
                  (std::vector<double>{0.0, 0.0, -lsb, -lsb, 1.0 - lsb, -1.0, lsb}));
    }

    writeBytes(path, riffWave({{"fmt ", fmtBody(1, 1, 48000, 32)},
                               {"data", samplesLe({-0x80000000LL, 0x7FFFFFFF, 1 << 30}, 4)}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.ReadFrames(0, 3), (std::vector<double>{-1.0, 1.0 - std::ldexp(1.0, -31), 0.5}));
    }
}

// Every 16-bit code, read in runs of odd lengths from odd starts (the block
// conversion and the samples left after its blocks): each is its code over
// 32768, exactly.
TEST(WavReaderSamples, EverySixteenBitCodeInRunsOfAnyLength) {
    TempDir dir;
    const auto path = dir / "codes.wav";
    std::vector<std::int64_t> codes;
    for (std::int64_t c = -32768; c <= 32767; ++c) {
        codes.push_back(c);
    }
    writeBytes(path, riffWave({{"fmt ", fmtBody(1, 1, 44100, 16)}, {"data", samplesLe(codes, 2)}}));
    WavReader reader(path);
    std::uint64_t start = 0;
    for (std::uint64_t run = 1; start < codes.size(); run = run % 23 + 1) {
        const std::uint64_t count = std::min<std::uint64_t>(run, codes.size() - start);
        const std::vector<double> got = reader.ReadFrames(start, count);
        ASSERT_EQ(got.size(), count);
        for (std::uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(got[i], static_cast<double>(codes[start + i]) / 32768.0) << "code " << codes[start + i];
        }
        start += count;
    }
}

TEST(WavReaderSamples, DepthsThatOpenButCannotBeScaledFailAtRead) {
    TempDir dir;
    const auto path = dir / "odd.wav";
    writeBytes(path, riffWave({{"fmt ", extensibleFmtBody(1, 48000, 16, 1)}, {"data", samplesLe({0}, 2)}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE PCM 1-in-16 bit");
        try {
            reader.ReadFrames(0, 1);
            ADD_FAILURE() << "a 1-bit read succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Unsupported WAVE PCM valid-bit depth");
        }
    }
    writeBytes(path, riffWave({{"fmt ", extensibleFmtBody(1, 48000, 8, 4)}, {"data", {0x80}}}));
    {
        WavReader reader(path);
        try {
            reader.ReadFrames(0, 1);
            ADD_FAILURE() << "a 4-in-8 read succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Unsupported WAVE 8-bit valid-bit depth");
        }
    }
}

TEST(WavReaderSamples, FloatValuesAndNonFiniteOnlyAtRead) {
    TempDir dir;
    const auto path = dir / "float.wav";
    // 0.5f, -1.25f (float data is not clamped), NaN, 2^-149 (smallest subnormal)
    writeBytes(path, riffWave({{"fmt ", fmtBody(3, 1, 48000, 32)},
                               {"data", samplesLe({0x3F000000, 0xBFA00000, 0x7FC00000, 0x00000001}, 4)}}));
    {
        WavReader reader(path);
        EXPECT_TRUE(reader.isFloat());
        EXPECT_EQ(reader.formatLabel(), "WAVE IEEE Float 32 bit");
        EXPECT_EQ(reader.ReadFrames(0, 2), (std::vector<double>{0.5, -1.25}));
        try {
            reader.ReadFrames(1, 2);
            ADD_FAILURE() << "a NaN was read";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "WAVE contains a nonfinite IEEE-float sample");
        }
        // The failed read leaves the reader usable.
        EXPECT_EQ(reader.ReadFrames(3, 1), (std::vector<double>{std::ldexp(1.0, -149)}));
    }
    writeBytes(path, riffWave({{"fmt ", extensibleFmtBody(1, 48000, 64, 64, 3)},
                               {"data", samplesLe({0x3FD5555555555555LL, 0x7FF0000000000000LL}, 8)}}));
    {
        WavReader reader(path);
        EXPECT_EQ(reader.formatLabel(), "WAVE IEEE Float 64 bit");
        EXPECT_EQ(reader.ReadFrames(0, 1), (std::vector<double>{1.0 / 3.0}));
        EXPECT_THROW(reader.ReadFrames(1, 1), std::runtime_error);
    }
}

TEST(WavReaderRead, RangesAndInterleaving) {
    TempDir dir;
    // A name outside ASCII checks that the native (wide on Windows) path reaches the file.
    const auto path = dir.path() / platform::pathFromUtf8("r\xC3\xA4ume \xE2\x99\xAA.wav");
    std::vector<std::int64_t> samples;
    for (int frame = 0; frame < 10; ++frame) {
        samples.push_back(frame);
        samples.push_back(-frame);
    }
    writeBytes(path, pcm16Stereo(samples));
    WavReader reader(path);

    EXPECT_TRUE(reader.ReadFrames(std::numeric_limits<std::uint64_t>::max(), 0).empty());
    EXPECT_EQ(reader.ReadFrames(3, 2), (std::vector<double>{3 / 32768.0, -3 / 32768.0, 4 / 32768.0, -4 / 32768.0}));
    EXPECT_EQ(reader.ReadFrames(0, 10).size(), 20u);
    try {
        reader.ReadFrames(10, 1);
        ADD_FAILURE();
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "WAVE frame request starts beyond the source");
    }
    try {
        reader.ReadFrames(9, 2);
        ADD_FAILURE();
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "WAVE frame request extends beyond the source");
    }
}

TEST(WavReaderRead, ConcurrentReadersSeeTheirOwnFrames) {
    TempDir dir;
    const auto path = dir / "shared.wav";
    constexpr int kFrames = 20000;
    std::mt19937 noise(1234);
    std::vector<std::int64_t> samples;
    for (int i = 0; i < kFrames * 2; ++i) {
        samples.push_back(static_cast<std::int64_t>(noise() % 65536) - 32768);
    }
    writeBytes(path, pcm16Stereo(samples));
    const WavReader reader(path);
    const std::vector<double> whole = reader.ReadFrames(0, kFrames);

    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 pick(static_cast<unsigned>(77 + t));
            for (int round = 0; round < 300; ++round) {
                const std::uint64_t start = pick() % (kFrames - 1100);
                const std::uint64_t count = 1 + pick() % 1027;
                const auto run = reader.ReadFrames(start, count);
                if (!std::equal(run.begin(), run.end(), whole.begin() + static_cast<std::ptrdiff_t>(start * 2))) {
                    ++mismatches[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace al::test
