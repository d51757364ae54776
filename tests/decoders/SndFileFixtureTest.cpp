// Real FLAC, AIFF and MP3 files through the libsndfile the program ships with:
// the system's libsndfile.so.1 on Linux, the sndfile.dll built by
// tools/build-sndfile-dll on Windows (run under Wine). Both must decode the
// committed fixtures (tests/decoders/fixtures, made by make-fixtures.sh) to
// the same frames: the lossless ones bit for bit, checked against checksums
// of the Linux decode; the MP3 to within float rounding of its Linux decode.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "decoders/SndFileReader.h"
#include "platform/Process.h"

namespace al::test {
namespace {

using file::SndFileReader;

std::filesystem::path fixture(const char* name) {
    return platform::executableDirectory() / "fixtures" / name;
}

// Opens the fixture, or says why the library is not there. A build that
// ships libsndfile (AL_SNDFILE_REQUIRED) must have it: a missing DLL fails.
std::optional<SndFileReader> openOrSkipReason(const char* name, std::string& reason) {
    try {
        return std::optional<SndFileReader>(std::in_place, fixture(name));
    } catch (const std::exception& error) {
        reason = error.what();
        return std::nullopt;
    }
}

#define AL_OPEN_FIXTURE(reader, name)                      \
    std::string reason_##reader;                           \
    auto reader = openOrSkipReason(name, reason_##reader); \
    if (!reader) {                                         \
        if (AL_SNDFILE_REQUIRED) {                         \
            FAIL() << name << ": " << reason_##reader;     \
        }                                                  \
        GTEST_SKIP() << reason_##reader;                   \
    }

// FNV-1a over the bit patterns of the doubles: equal only when every sample
// decodes to the very same value.
std::uint64_t checksum(const std::vector<double>& samples) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const double sample : samples) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &sample, sizeof bits);
        for (int byte = 0; byte < 8; ++byte) {
            hash ^= (bits >> (8 * byte)) & 0xFF;
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

// Per channel: the energy and the projection onto the channel's main tone at
// zero delay. A lost, swapped or shifted channel (decoder delay handled
// differently) moves the projection by far more than rounding does.
struct Signature {
    double leftEnergy = 0.0;
    double rightEnergy = 0.0;
    double leftAt440 = 0.0;
    double rightAt1000 = 0.0;
};

Signature signatureOf(const std::vector<double>& samples, double rate) {
    Signature s;
    for (std::size_t frame = 0; frame * 2 + 1 < samples.size(); ++frame) {
        const double left = samples[frame * 2];
        const double right = samples[frame * 2 + 1];
        const double t = static_cast<double>(frame) / rate;
        s.leftEnergy += left * left;
        s.rightEnergy += right * right;
        s.leftAt440 += left * std::sin(2.0 * std::numbers::pi * 440.0 * t);
        s.rightAt1000 += right * std::sin(2.0 * std::numbers::pi * 1000.0 * t);
    }
    return s;
}

std::string hex(std::uint64_t value) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

struct Lossless {
    const char* name;
    std::uint32_t rate;
    std::uint16_t bits;
    std::uint64_t frames;
    const char* format;
    std::uint64_t wholeChecksum;
};

class LosslessFixture : public ::testing::TestWithParam<Lossless> {};

TEST_P(LosslessFixture, DecodesToTheKnownFramesWholeAndInPieces) {
    const Lossless& expected = GetParam();
    AL_OPEN_FIXTURE(reader, expected.name);
    EXPECT_EQ(reader->channelCount(), 2);
    EXPECT_EQ(reader->sampleRate(), expected.rate);
    EXPECT_EQ(reader->bitDepth(), expected.bits);
    EXPECT_EQ(reader->formatName(), expected.format);
    ASSERT_EQ(reader->frameCount(), expected.frames);

    const std::vector<double> whole = reader->ReadFrames(0, expected.frames);
    ASSERT_EQ(whole.size(), expected.frames * 2);
    EXPECT_EQ(hex(checksum(whole)), hex(expected.wholeChecksum));

    // Every sample is an integer of the coded width over 2^(bits-1): the
    // library's normalisation, nothing rescaled or dithered on the way.
    const double scale = std::ldexp(1.0, expected.bits - 1);
    for (std::size_t i = 0; i < whole.size(); i += 97) {
        const double code = whole[i] * scale;
        ASSERT_EQ(code, std::round(code)) << "sample " << i;
    }

    // Backwards and forwards seeks land on the same frames as the whole read.
    for (const std::uint64_t start :
         {expected.frames - 700, std::uint64_t{1}, std::uint64_t{4095}}) {
        const std::vector<double> piece = reader->ReadFrames(start, 600);
        const std::vector<double> same(
            whole.begin() + static_cast<std::ptrdiff_t>(start * 2),
            whole.begin() + static_cast<std::ptrdiff_t>((start + 600) * 2));
        EXPECT_EQ(piece, same) << "600 frames from " << start;
    }
}

// Checksums of the decode by Debian's libsndfile 1.2.0 on Linux (the flac
// tool decodes the FLAC to the same samples).
INSTANTIATE_TEST_SUITE_P(Fixtures, LosslessFixture,
                         ::testing::Values(Lossless{"tone-24bit-48k.flac", 48000, 24, 9600, "FLAC",
                                                    0x4c5982d259bd2665ull},
                                           Lossless{"tone-16bit-44k.aiff", 44100, 16, 8820, "AIFF",
                                                    0xcd3ae71088823785ull}),
                         [](const auto& param) { return std::string(param.param.format); });

TEST(Mp3Fixture, DecodesLikeTheLinuxBuildToWithinRounding) {
    AL_OPEN_FIXTURE(reader, "tone-44k.mp3");
    EXPECT_EQ(reader->channelCount(), 2);
    EXPECT_EQ(reader->sampleRate(), 44100u);
    EXPECT_EQ(reader->bitDepth(), 0);
    EXPECT_EQ(reader->formatName(), "MP3");
    const std::uint64_t frames = reader->frameCount();
    ASSERT_EQ(frames, 13230u);  // the encoder delay and padding removed

    const std::vector<double> whole = reader->ReadFrames(0, frames);
    const Signature got = signatureOf(whole, 44100.0);
    // The Linux decode (Debian's libsndfile 1.2.0 with mpg123 1.31.2).
    const Signature reference{1492.6594647955239, 432.81111142633478, 3142.2825692758502,
                              1570.8746730037769};
    const auto near = [](double value, double expected) {
        return std::abs(value - expected) <= 1e-5 * std::abs(expected);
    };
    EXPECT_TRUE(near(got.leftEnergy, reference.leftEnergy)) << got.leftEnergy;
    EXPECT_TRUE(near(got.rightEnergy, reference.rightEnergy)) << got.rightEnergy;
    EXPECT_TRUE(near(got.leftAt440, reference.leftAt440)) << got.leftAt440;
    EXPECT_TRUE(near(got.rightAt1000, reference.rightAt1000)) << got.rightAt1000;

    // A seek into the middle of the stream resumes on the same decode.
    const std::vector<double> tail = reader->ReadFrames(frames / 2, frames - frames / 2);
    ASSERT_EQ(tail.size(), (frames - frames / 2) * 2);
    for (std::size_t i = 0; i < tail.size(); ++i) {
        ASSERT_NEAR(tail[i], whole[(frames / 2) * 2 + i], 1e-6) << "sample " << i;
    }
}

}  // namespace
}  // namespace al::test
