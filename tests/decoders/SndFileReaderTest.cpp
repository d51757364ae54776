#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SndFileWriter.h"
#include "support/TempDir.h"
#include "decoders/SndFileReader.h"
#include "platform/Process.h"

namespace al::test {
namespace {

using file::SndFileReader;
namespace sf = file::sndfile;

template <typename Open>
std::string failureOf(Open open) {
    try {
        open();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "opened";
}

TEST(SndFileReaderNames, FormatNameFromTheExtension) {
    EXPECT_EQ(SndFileReader::formatNameFor("music/Track.FLAC"), "FLAC");
    EXPECT_EQ(SndFileReader::formatNameFor("a.mp3"), "MP3");
    EXPECT_EQ(SndFileReader::formatNameFor("a.Aif"), "AIFF");
    EXPECT_EQ(SndFileReader::formatNameFor("a.aiff"), "AIFF");
    EXPECT_EQ(SndFileReader::formatNameFor("a.aifc:stream"), "AIFC");
    EXPECT_EQ(SndFileReader::formatNameFor("a.ogg"), "Audio");
    EXPECT_EQ(SndFileReader::formatNameFor("album.flac/track"), "Audio");
    EXPECT_EQ(SndFileReader::formatNameFor("album\\.."), "Audio");
}

// The stand-in library built beside this test: every check and message of
// the reader, on every platform.
class FakeLibrary : public ::testing::Test {
protected:
    platform::SndFileRuntime runtime(const char* library) const {
        const auto folder = platform::executableDirectory();
        auto real = platform::sndfileRuntime(folder);
        return {{folder / library}, real.openSymbol, "no stand-in library"};
    }
    std::filesystem::path describe(const std::string& line) const {
        const auto path = dir_.path() / platform::pathFromUtf8("d\xC3\xA9" "crit \xE2\x99\xAA.flac");
        std::ofstream(path) << line << '\n';
        return path;
    }
    std::string openFailure(const std::string& line) const {
        return failureOf([&] { SndFileReader reader(describe(line), runtime(AL_FAKE_SNDFILE)); });
    }
    TempDir dir_;
};

TEST_F(FakeLibrary, RefusesWhatThePlayerCannotPlay) {
    EXPECT_EQ(failureOf([&] { SndFileReader r(describe("2 44100 10 1 2 ok"), runtime("absent-library")); }),
              "no stand-in library");
    EXPECT_EQ(failureOf([&] { SndFileReader r(describe("2 44100 10 1 2 ok"), runtime(AL_FAKE_SNDFILE_NO_SEEK)); }),
              "libsndfile is missing symbol: sf_seek");
    EXPECT_EQ(openFailure("2 44100 10 1 2 refuse"),
              "Unable to open WAV DIRECT source with libsndfile: fake decoder refused the file");
    EXPECT_EQ(openFailure("2 44100 10 1 2 silentrefuse"),
              "Unable to open WAV DIRECT source with libsndfile: unknown decoder error");
    EXPECT_EQ(openFailure("9 44100 10 1 2 ok"), "WAV DIRECT source must contain between 1 and 8 channels");
    EXPECT_EQ(openFailure("0 44100 10 1 2 ok"), "WAV DIRECT source must contain between 1 and 8 channels");
    EXPECT_EQ(openFailure("2 12288001 10 1 2 ok"), "WAV DIRECT source sample rate is unsupported");
    EXPECT_EQ(openFailure("2 44100 0 1 2 ok"), "WAV DIRECT source contains no decoded audio frames");
    EXPECT_EQ(openFailure("2 44100 10 0 2 ok"), "WAV DIRECT source is not seekable");
    EXPECT_EQ(openFailure("8 12288000 1 1 2 ok"), "opened");
}

TEST_F(FakeLibrary, ReadsRunsAndReportsDecoderFailures) {
    const SndFileReader reader(describe("2 48000 12 1 3 ok"), runtime(AL_FAKE_SNDFILE));
    EXPECT_EQ(reader.formatLabel(), "FLAC");
    EXPECT_EQ(reader.bitDepth(), 24);
    EXPECT_EQ(reader.frameCount(), 12u);
    EXPECT_DOUBLE_EQ(reader.durationSeconds(), 12.0 / 48000.0);
    EXPECT_EQ(reader.ReadFrames(3, 2), (std::vector<double>{48 / 4096.0, 49 / 4096.0, 64 / 4096.0, 65 / 4096.0}));
    EXPECT_EQ(reader.ReadFrames(0, 12).size(), 24u);
    EXPECT_TRUE(reader.ReadFrames(1'000'000, 0).empty());
    EXPECT_EQ(failureOf([&] { reader.ReadFrames(12, 1); }), "WAV DIRECT frame request starts beyond the source");
    EXPECT_EQ(failureOf([&] { reader.ReadFrames(11, 2); }), "WAV DIRECT frame request extends beyond the source");
    EXPECT_THROW(reader.ReadFrames(12, 1), std::out_of_range);

    const SndFileReader nan(describe("1 48000 12 1 6 nan"), runtime(AL_FAKE_SNDFILE));
    EXPECT_EQ(failureOf([&] { nan.ReadFrames(4, 2); }), "WAV DIRECT decoder produced a nonfinite sample");
    EXPECT_EQ(nan.ReadFrames(6, 1), (std::vector<double>{96 / 4096.0}));  // still usable

    const SndFileReader shortRead(describe("1 48000 12 1 2 short"), runtime(AL_FAKE_SNDFILE));
    EXPECT_EQ(failureOf([&] { shortRead.ReadFrames(0, 4); }),
              "Unexpected end of WAV DIRECT source: decoder returned too few frames");

    const SndFileReader badSeek(describe("1 48000 12 1 2 badseek"), runtime(AL_FAKE_SNDFILE));
    EXPECT_EQ(failureOf([&] { badSeek.ReadFrames(2, 1); }), "Unable to seek within WAV DIRECT source: fake seek failure");
}

// The platform's real libsndfile: files written through it are read back
// through the reader. Where the platform has none (the Windows build has no
// sndfile.dll beside it), opening gives the orderly message instead.
class RealLibrary : public ::testing::Test {
protected:
    // Integer codes of a deterministic noise, the extremes included.
    static std::vector<double> integerCodes(std::size_t count, int bits, unsigned seed) {
        std::mt19937 noise(seed);
        const double full = std::ldexp(1.0, bits - 1);
        std::vector<double> codes{-full, full - 1};
        while (codes.size() < count) {
            codes.push_back(std::floor(std::ldexp(static_cast<double>(noise()), bits - 32)) - full);
        }
        return codes;
    }
    static std::vector<double> scaled(std::vector<double> codes, int bits) {
        for (auto& code : codes) {
            code = std::ldexp(code, 1 - bits);
        }
        return codes;
    }
    SndFileWriter writer_;
    TempDir dir_;
};

TEST_F(RealLibrary, LosslessFilesReadBackExactly) {
    struct Case {
        const char* name;
        int format;
        int bits;
        int channels;
        int rate;
        const char* label;
    };
    const Case cases[] = {
        {"st\xC3\xA9r\xC3\xA9o16.flac", sf::kTypeFlac | sf::kPcm16, 16, 2, 44100, "FLAC"},
        {"mono24.FLAC", sf::kTypeFlac | sf::kPcm24, 24, 1, 96000, "FLAC"},
        {"six16.aiff", sf::kTypeAiff | sf::kPcm16, 16, 6, 48000, "AIFF"},
        {"stereo24.aif", sf::kTypeAiff | sf::kPcm24, 24, 2, 88200, "AIFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir_.path() / platform::pathFromUtf8(c.name);
        const std::size_t frames = 5000;
        const auto codes = integerCodes(frames * static_cast<std::size_t>(c.channels), c.bits, 99);
        if (!writer_.available()) {
            const auto message = platform::sndfileRuntime(platform::executableDirectory()).missingMessage;
            EXPECT_EQ(failureOf([&] { SndFileReader reader(path); }), message);
            continue;
        }
        writer_.write(path, c.format, c.channels, c.rate, codes, true);
        const SndFileReader reader(path);
        EXPECT_EQ(reader.formatLabel(), c.label);
        EXPECT_EQ(reader.channelCount(), c.channels);
        EXPECT_EQ(reader.sampleRate(), static_cast<std::uint32_t>(c.rate));
        EXPECT_EQ(reader.bitDepth(), c.bits);
        ASSERT_EQ(reader.frameCount(), frames);
        const auto expected = scaled(codes, c.bits);
        EXPECT_EQ(reader.ReadFrames(0, frames), expected);
        const auto run = reader.ReadFrames(1023, 1027);
        EXPECT_TRUE(std::equal(run.begin(), run.end(), expected.begin() + 1023 * c.channels));
    }
}

TEST_F(RealLibrary, FloatAifcMp3AndRefusals) {
    if (!writer_.available()) {
        GTEST_SKIP() << "no libsndfile on this platform; the orderly message is checked above";
    }
    // AIFC with 32-bit float samples, exact.
    const std::vector<double> floats = {0.5, -0.25, 0.125, -1.0, 0.75, 0.0};
    writer_.write(dir_ / "float.aifc", sf::kTypeAiff | sf::kFloat, 2, 44100, floats, false);
    const SndFileReader aifc(dir_ / "float.aifc");
    EXPECT_EQ(aifc.formatLabel(), "AIFC");
    EXPECT_EQ(aifc.bitDepth(), 32);
    EXPECT_EQ(aifc.ReadFrames(0, 3), floats);

    // MP3 is lossy: no bit depth, and a sine comes back close to itself.
    std::vector<double> sine(44100);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = 0.5 * std::sin(2 * 3.141592653589793 * 441.0 * static_cast<double>(i) / 44100.0);
    }
    writer_.write(dir_ / "sine.mp3", sf::kTypeMpeg | sf::kMpegLayer3, 1, 44100, sine, false);
    const SndFileReader mp3(dir_ / "sine.mp3");
    EXPECT_EQ(mp3.formatLabel(), "MP3");
    EXPECT_EQ(mp3.bitDepth(), 0);
    EXPECT_EQ(mp3.sampleRate(), 44100u);
    // Within one MPEG frame: the encoder's gapless header normally makes it exact.
    EXPECT_NEAR(static_cast<double>(mp3.frameCount()), 44100.0, 1152.0);
    const auto decoded = mp3.ReadFrames(0, mp3.frameCount());
    double energy = 0.0;
    for (const double v : decoded) {
        energy += v * v;
    }
    EXPECT_NEAR(std::sqrt(energy / static_cast<double>(decoded.size())), 0.5 / std::sqrt(2.0), 0.03);

    // Nine channels decode but are refused.
    writer_.write(dir_ / "nine.aiff", sf::kTypeAiff | sf::kPcm16, 9, 44100, std::vector<double>(90, 0.0), true);
    EXPECT_EQ(failureOf([&] { SndFileReader reader(dir_ / "nine.aiff"); }),
              "WAV DIRECT source must contain between 1 and 8 channels");
    EXPECT_EQ(failureOf([&] { SndFileReader reader(dir_ / "absent.flac"); })
                  .rfind("Unable to open WAV DIRECT source with libsndfile: ", 0),
              0u);
}

TEST_F(RealLibrary, ConcurrentReadsOfOneReader) {
    if (!writer_.available()) {
        GTEST_SKIP() << "no libsndfile on this platform";
    }
    constexpr std::size_t kFrames = 30000;
    const auto codes = integerCodes(kFrames * 2, 16, 5);
    writer_.write(dir_ / "shared.flac", sf::kTypeFlac | sf::kPcm16, 2, 44100, codes, true);
    const SndFileReader reader(dir_ / "shared.flac");
    const auto expected = scaled(codes, 16);
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 pick(static_cast<unsigned>(t));
            for (int round = 0; round < 100; ++round) {
                const std::uint64_t start = pick() % (kFrames - 1100);
                const auto run = reader.ReadFrames(start, 1027);
                if (!std::equal(run.begin(), run.end(), expected.begin() + static_cast<std::ptrdiff_t>(start * 2))) {
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
