// `auralith render` writes what an endpoint receives: the same bytes as the
// exact output captured on the virtual endpoint, for every sample kind, rate
// and start point.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "OutputFixtures.h"
#include "VirtualEndpointScope.h"
#include "cli/Commands.h"
#include "output/ExactWasapiOutput.h"
#include "output/LatticePacing.h"
#include "platform/Process.h"
#include "support/TempDir.h"

namespace al::audio {
namespace {

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The data chunk of a WAVE file written by render.
std::vector<std::uint8_t> waveData(const std::vector<std::uint8_t>& file) {
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 |
                                   static_cast<std::uint32_t>(file[at + 7]) << 24;
        if (std::equal(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at) + 4,
                       "data")) {
            return {file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                    file.begin() + static_cast<std::ptrdiff_t>(at + 8 + size)};
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

int render(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = cli::runCommandLine(args, out, err);
    EXPECT_EQ(err.str(), "");
    return status;
}

// What the exact output delivers to a free-running virtual endpoint for the
// whole track at `format`, trimmed to the track's frames.
std::vector<std::uint8_t> playedBytes(std::shared_ptr<const playback::PlaybackSource> source,
                                      const EndpointFormat& format) {
    playback::PlaybackLattice lattice(std::move(source));
    lattice.setOutputRate(format.sampleRate);
    ExactWasapiOutput output;
    VirtualOutputConfig config;
    config.pace = VirtualPace::FreeRunning;
    config.captureWrites = true;
    config.freeRunningGate = [&] { return LatticeFramesReady(lattice, output.Statistics().bufferFrames); };
    test::VirtualEndpointScope scope(config);
    output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
    output.Start();
    EXPECT_TRUE(test::waitUntil([&] { return !output.IsRunning(); }, std::chrono::milliseconds(20'000)));
    EXPECT_TRUE(output.TakeEnded());
    EXPECT_EQ(lattice.missingFrames(), 0u);
    std::vector<std::uint8_t> bytes = scope.device().captured();
    bytes.resize(static_cast<std::size_t>(lattice.totalFrames()) * format.BlockAlign());
    return bytes;
}

TEST(RenderPathTest, RenderedFileHoldsTheBytesAnEndpointReceives) {
    al::test::TempDir dir;
    const auto track = test::makeRecordSource(dir / "track.aur", 48000, 2, 48000 + 517);
    struct Case {
        const char* name;
        SampleKind kind;
        std::uint32_t rate;
    };
    for (const Case& c : {Case{"pcm16", SampleKind::Pcm16, 48000}, Case{"pcm24", SampleKind::Pcm24Packed, 44100},
                          Case{"pcm24in32", SampleKind::Pcm24In32, 96000}, Case{"pcm32", SampleKind::Pcm32, 48000},
                          Case{"float32", SampleKind::Float32, 192000}}) {
        SCOPED_TRACE(c.name);
        const EndpointFormat format = test::exactFormat(c.rate, 2, c.kind);
        const std::vector<std::uint8_t> played = playedBytes(track, format);
        EXPECT_EQ(played, test::expectedBytes(track, format));

        const auto wave = dir / (std::string(c.name) + ".wav");
        ASSERT_EQ(render({"render", platform::pathToUtf8(dir / "track.aur"), "-o", platform::pathToUtf8(wave),
                          "--format", c.name, "--rate", std::to_string(c.rate)}),
                  0);
        EXPECT_EQ(waveData(fileBytes(wave)), played);
    }
}

// A window of the track (--start, --seconds) is the same window of the
// whole, whatever the endpoint buffer size.
TEST(RenderPathTest, WindowIsTheSameSliceOfTheWholeTrack) {
    al::test::TempDir dir;
    const auto track = test::makeRecordSource(dir / "track.aur", 48000, 3, 48000 * 2);
    const EndpointFormat format = test::exactFormat(48000, 3, SampleKind::Pcm24Packed);
    const std::vector<std::uint8_t> whole = test::expectedBytes(track, format);
    const std::string input = platform::pathToUtf8(dir / "track.aur");
    ASSERT_EQ(render({"render", input, "-o", platform::pathToUtf8(dir / "w.wav"), "--format", "pcm24", "--start",
                      "0.5", "--seconds", "1.25"}),
              0);
    const std::vector<std::uint8_t> window = waveData(fileBytes(dir / "w.wav"));
    const std::size_t first = 24000 * 9;
    ASSERT_EQ(window.size(), 60000u * 9u);
    EXPECT_TRUE(std::equal(window.begin(), window.end(), whole.begin() + static_cast<std::ptrdiff_t>(first)));
    // The endpoint's previous listing is back after a render.
    EXPECT_NE(CurrentVirtualListing(), VirtualListing::Only);
}

}  // namespace
}  // namespace al::audio
