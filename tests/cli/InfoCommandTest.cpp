// `auralith info` describes every playable file as the factory opens it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/Commands.h"
#include "dsd/DsfWriter.h"
#include "support/RecordImages.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::cli {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runCommandLine(args, out, err);
    return {status, out.str(), err.str()};
}

std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return {text.begin(), text.end()};
}

TEST(InfoCommand, RecordWaveAndDsf) {
    test::TempDir dir;
    test::sineRecord(2, 2500, 44100).save(dir / "r.aur");
    const auto record = run({"info", utf8(dir / "r.aur")});
    EXPECT_EQ(record.status, 0) << record.err;
    EXPECT_EQ(record.out.substr(0, record.out.find("source peak")),
              "format: Auralith AUR\nchannels: 2\nsample rate: 44.1 kHz\nbit depth: 24\n"
              "frames: 2500\nduration: 0.056689 s\nchunks: 3\n");
    EXPECT_NE(record.out.find("version: 2.0\n"), std::string::npos);

    test::writeFloatWave(dir / "Tone.WAV", 1, 96000, std::vector<float>(3000, 0.5f));
    const auto wave = run({"info", utf8(dir / "Tone.WAV")});
    EXPECT_EQ(wave.status, 0) << wave.err;
    EXPECT_EQ(wave.out,
              "format: WAVE IEEE Float 32 bit\nchannels: 1\nsample rate: 96 kHz\nbit depth: 32\n"
              "frames: 3000\nduration: 0.031250 s\nchunks: 3\n");

    morrow::dsd::DsdBitStream bits;
    for (int i = 0; i < 2822400 / 100; ++i) {
        bits.push(i % 2 == 0);
    }
    morrow::dsd::writeDsfFile(dir / "t.dsf", {bits, bits}, {});
    const auto dsf = run({"info", utf8(dir / "t.dsf")});
    EXPECT_EQ(dsf.status, 0) << dsf.err;
    EXPECT_NE(dsf.out.find("sample rate: 88.2 kHz\n"), std::string::npos) << dsf.out;
    EXPECT_NE(dsf.out.find("DSD rate: 2822400 Hz (DSD64)\n"), std::string::npos) << dsf.out;
}

TEST(InfoCommand, FailuresGiveTheExactMessage) {
    test::TempDir dir;
    const auto unknown = run({"info", utf8(dir / "song.ogg")});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err,
              "error: Unsupported playback source. Open a supported Auralith or WAV DIRECT file.\n");

    auto image = test::sineRecord(1, 100).image();
    image[3] = std::byte{9};
    std::ofstream(dir / "bad.aur", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const auto bad = run({"info", utf8(dir / "bad.aur")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "error: Unsupported Auralith file version\n");
    EXPECT_EQ(bad.out, "");

    const auto usage = run({"info"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(run({"frobnicate"}).status, 2);
    EXPECT_EQ(run({"--help"}).status, 0);
}

}  // namespace
}  // namespace al::cli
