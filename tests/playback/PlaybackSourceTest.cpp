// The source factory and the decoded-samples chunk builder.
#include "playback/PlaybackSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include "decoders/SndFileWriter.h"
#include "dsd/DsfWriter.h"
#include "record/CurveSegment.h"
#include "record/RecordReader.h"
#include "support/RecordImages.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::playback {
namespace {

using test::writeFloatWave;

std::vector<float> ramp(std::size_t frames, std::uint16_t channels) {
    std::vector<float> out(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            out[f * channels + c] = static_cast<float>(std::sin(0.01 * static_cast<double>(f)) *
                                                       (c == 0 ? 0.5 : -0.25));
        }
    }
    return out;
}

TEST(PlaybackSourceFactory, ExtensionRules) {
    EXPECT_EQ(playbackExtension("music/Track.WAV"), ".wav");
    EXPECT_EQ(playbackExtension("C:\\music\\track.aur:stream.wav"), ".aur");
    EXPECT_EQ(playbackExtension("folder.v2/noextension"), "");
    EXPECT_EQ(playbackExtension("folder.v2\\noextension"), "");
    EXPECT_EQ(playbackExtension("."), "");
    EXPECT_EQ(playbackExtension("a/.."), "");
    EXPECT_EQ(playbackExtension("archive.tar.FLAC"), ".flac");
    EXPECT_EQ(playbackExtension(".hidden"), ".hidden");
    // Only ASCII letters are lowered.
    EXPECT_EQ(playbackExtension(std::filesystem::path(u8"x.\u00C4UR")), ".\xC3\x84ur");

    for (const char* yes : {"a.aur", "A.AUR", "b.wav", "b.WAVE", "c.dsf", "d.flac", "e.mp3",
                            "f.aif", "g.AIFF", "h.aifc", "i.m4a", "j.aur:zone"}) {
        EXPECT_TRUE(isSupportedPlaybackPath(yes)) << yes;
    }
    for (const char* no : {"a.txt", "a.ogg", "a", "x.aur/", "dir.wav/file", "a.m4a.bak"}) {
        EXPECT_FALSE(isSupportedPlaybackPath(no)) << no;
    }
    try {
        createPlaybackSource("song.ogg");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Unsupported playback source. Open a supported Auralith or WAV DIRECT file.");
    }
}

TEST(PlaybackSourceFactory, SampleRateText) {
    EXPECT_EQ(formatSampleRate(800), "800 Hz");
    EXPECT_EQ(formatSampleRate(999), "999 Hz");
    EXPECT_EQ(formatSampleRate(1000), "1 kHz");
    EXPECT_EQ(formatSampleRate(44100), "44.1 kHz");
    EXPECT_EQ(formatSampleRate(48000), "48 kHz");
    EXPECT_EQ(formatSampleRate(88200), "88.2 kHz");
    EXPECT_EQ(formatSampleRate(999999), "1000.0 kHz");
    EXPECT_EQ(formatSampleRate(1000000), "1 MHz");
    EXPECT_EQ(formatSampleRate(2822400), "2.822 MHz");
    EXPECT_EQ(formatSampleRate(12288000), "12.288 MHz");
}

TEST(RecordPlaybackSource, DescribesAndPreparesTheRecord) {
    test::TempDir dir;
    test::sineRecord(2, 3000, 44100).save(dir / "r.AUR");
    const auto source = createPlaybackSource(dir / "r.AUR");
    const auto& m = source->metadata();
    EXPECT_EQ(m.kind, 0);
    EXPECT_EQ(m.path, dir / "r.AUR");
    EXPECT_EQ(m.channelCount, 2);
    EXPECT_EQ(m.sampleRate, 44100u);
    EXPECT_EQ(m.bitDepth, 24u);
    EXPECT_EQ(m.frameCount, 3000u);
    EXPECT_EQ(m.formatLabel, "Auralith AUR");
    EXPECT_EQ(source->chunkCount(), 3u);
    EXPECT_EQ(source->chunkIndexAt(1024.0 / 44100.0), 1u);
    EXPECT_TRUE(source->supportsPreparedReconstruction());

    // The control points the player reports at open are those a full decode
    // of every block finds.
    const auto opened = std::make_shared<const file::RecordReader>(dir / "r.AUR");
    std::uint64_t decoded = 0;
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::uint64_t k = 0; k < 3; ++k) {
            for (const auto& segment : file::decodeSegments(opened->block(c, k, true))) {
                decoded += segment.points().size();
            }
        }
    }
    EXPECT_GT(decoded, 6u);
    EXPECT_EQ(source->controlPointCount(), decoded);
    test::writeFloatWave(dir / "w.wav", 1, 44100, std::vector<float>(3000, 0.25f));
    EXPECT_EQ(createPlaybackSource(dir / "w.wav")->controlPointCount(), 0u);

    surrogate::LoadedBlocks blocks;
    source->loadBlocks(2, blocks);
    const auto twoPhase = source->prepareChunk(blocks);
    const auto direct = source->prepareChunk(2);
    ASSERT_EQ(twoPhase->channels.size(), 2u);
    EXPECT_EQ(twoPhase->index, 2u);
    EXPECT_EQ(twoPhase->ownershipStart, direct->ownershipStart);
    std::size_t a = 0;
    std::size_t b = 0;
    EXPECT_EQ(twoPhase->channels[1].valueAt(0.05, a), direct->channels[1].valueAt(0.05, b));

    for (auto reader : {std::shared_ptr<const file::RecordReader>{},
                        std::make_shared<const file::RecordReader>()}) {
        try {
            createRecordPlaybackSource(reader);
            ADD_FAILURE();
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Record playback source requires an open AUR record");
        }
    }
}

TEST(DirectPlaybackSource, SamplesAreCurvePointsAcrossChunkBoundaries) {
    test::TempDir dir;
    const std::size_t frames = 2600;
    const auto samples = ramp(frames, 2);
    writeFloatWave(dir / "Track.WAV", 2, 48000, samples);
    const auto source = createPlaybackSource(dir / "Track.WAV");
    const auto& m = source->metadata();
    EXPECT_EQ(m.kind, 1);
    EXPECT_EQ(m.bitDepth, 32u);
    EXPECT_EQ(m.formatLabel, "WAVE IEEE Float 32 bit");
    EXPECT_FALSE(source->supportsPreparedReconstruction());
    ASSERT_EQ(source->chunkCount(), 3u);

    const double inv = 1.0 / 48000.0;
    for (std::uint64_t b = 0; b < 3; ++b) {
        const auto chunk = source->prepareChunk(b);
        EXPECT_EQ(chunk->index, b);
        EXPECT_EQ(chunk->ownershipStart, static_cast<double>(1024 * b) * inv);
        for (int c = 0; c < 2; ++c) {
            std::size_t cursor = 0;
            const auto& geometry = chunk->channels[static_cast<std::size_t>(c)];
            // Every owned frame, and the first frame of the next chunk, is met exactly.
            const std::size_t last = std::min<std::size_t>(frames - 1, 1024 * (b + 1));
            for (std::size_t f = 1024 * b; f <= last; ++f) {
                ASSERT_EQ(geometry.valueAt(static_cast<double>(f) * inv, cursor),
                          static_cast<double>(samples[f * 2 + static_cast<std::size_t>(c)]))
                    << "chunk " << b << " frame " << f;
            }
        }
    }
    // The boundary sample is an interior point of both neighbouring curves, so
    // its slope comes from the same three samples in both chunks.
    const auto c0 = source->prepareChunk(0);
    const auto c1 = source->prepareChunk(1);
    const auto& left = c0->channels[0].segments()[0].pchip().intervals();
    const auto& right = c1->channels[0].segments()[0].pchip().intervals();
    ASSERT_EQ(left.size(), 1025u);   // frames 0..1025
    ASSERT_EQ(right.size(), 1026u);  // frames 1023..2049
    EXPECT_EQ(left[1024].xLeft, right[1].xLeft);
    EXPECT_EQ(left[1024].a1, right[1].a1);

    EXPECT_EQ(source->chunkIndexAt(-1.0), 0u);
    EXPECT_EQ(source->chunkIndexAt(1023.0 * inv), 0u);
    EXPECT_EQ(source->chunkIndexAt(1024.0 * inv), 1u);
    EXPECT_EQ(source->chunkIndexAt(1e6), 2u);
    EXPECT_THROW(source->prepareChunk(3), std::out_of_range);
    surrogate::LoadedBlocks blocks;
    try {
        source->loadBlocks(0, blocks);
        FAIL();
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Playback source does not support prepared reconstruction");
    }
    EXPECT_THROW(source->prepareChunk(blocks), std::logic_error);
}

TEST(DirectPlaybackSource, OneFrameAndTheFinalHold) {
    test::TempDir dir;
    writeFloatWave(dir / "one.wav", 1, 1000, {0.25f});
    const auto one = createPlaybackSource(dir / "one.wav");
    ASSERT_EQ(one->chunkCount(), 1u);
    const auto chunk = one->prepareChunk(0);
    std::size_t cursor = 0;
    for (double t : {0.0, 0.0004, 0.001, 5.0}) {
        EXPECT_EQ(chunk->channels[0].valueAt(t, cursor), 0.25) << t;
    }
    EXPECT_EQ(chunk->channels[0].segments()[0].kind(), file::SegmentKind::Polyline);

    // 1025 frames: chunk 1 owns frame 1024 only and reads frames 1023..1024,
    // then holds the last sample to the duration.
    auto samples = ramp(1025, 1);
    writeFloatWave(dir / "two.wav", 1, 1000, samples);
    const auto two = createPlaybackSource(dir / "two.wav");
    ASSERT_EQ(two->chunkCount(), 2u);
    const auto last = two->prepareChunk(1);
    EXPECT_EQ(last->ownershipStart, 1.024);
    EXPECT_EQ(last->ownershipEnd, 1.025);
    const auto& segments = last->channels[0].segments();
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].kind(), file::SegmentKind::Pchip);
    ASSERT_EQ(segments[0].points().size(), 2u);
    EXPECT_EQ(segments[0].points()[0].time, 1023.0 * (1.0 / 1000.0));
    EXPECT_EQ(segments[1].kind(), file::SegmentKind::Polyline);
    EXPECT_EQ(segments[1].points()[1].time, 1.025);
    cursor = 0;
    EXPECT_EQ(last->channels[0].valueAt(1.0249, cursor), static_cast<double>(samples[1024]));
}

}  // namespace
}  // namespace al::playback

namespace al::playback {
namespace {

// Bit-for-bit equality of two chunks: bounds, segment kinds, control points
// and the cubic pieces built through them.
void expectSameChunk(const surrogate::PlaybackChunk& a, const surrogate::PlaybackChunk& b) {
    ASSERT_EQ(a.index, b.index);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.ownershipStart),
              std::bit_cast<std::uint64_t>(b.ownershipStart));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.ownershipEnd),
              std::bit_cast<std::uint64_t>(b.ownershipEnd));
    ASSERT_EQ(a.channels.size(), b.channels.size());
    for (std::size_t k = 0; k < a.channels.size(); ++k) {
        const auto& sa = a.channels[k].segments();
        const auto& sb = b.channels[k].segments();
        ASSERT_EQ(sa.size(), sb.size()) << "chunk " << a.index << " channel " << k;
        for (std::size_t i = 0; i < sa.size(); ++i) {
            ASSERT_EQ(sa[i].kind(), sb[i].kind());
            const auto& pa = sa[i].points();
            const auto& pb = sb[i].points();
            ASSERT_EQ(pa.size(), pb.size());
            for (std::size_t j = 0; j < pa.size(); ++j) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(pa[j].time),
                          std::bit_cast<std::uint64_t>(pb[j].time));
                ASSERT_EQ(std::bit_cast<std::uint64_t>(pa[j].value),
                          std::bit_cast<std::uint64_t>(pb[j].value))
                    << "chunk " << a.index << " channel " << k << " point " << j;
            }
            if (sa[i].kind() == file::SegmentKind::Pchip) {
                const auto& ia = sa[i].pchip().intervals();
                const auto& ib = sb[i].pchip().intervals();
                ASSERT_EQ(ia.size(), ib.size());
                for (std::size_t j = 0; j < ia.size(); ++j) {
                    ASSERT_EQ(std::memcmp(&ia[j], &ib[j], sizeof ia[j]), 0);
                }
            }
        }
    }
}

// Chunks prepared in order (each read continuing where the last ended, with
// the overlapping frames taken from the kept tail), in a random order (a
// seek for nearly every chunk), and in order again on the same source are
// the same chunks, bit for bit.
void expectOrderDoesNotMatter(const std::filesystem::path& path) {
    const auto inOrder = createPlaybackSource(path);
    const auto shuffled = createPlaybackSource(path);
    const std::uint64_t count = inOrder->chunkCount();
    std::vector<std::shared_ptr<const surrogate::PlaybackChunk>> first(count);
    for (std::uint64_t b = 0; b < count; ++b) {
        first[b] = inOrder->prepareChunk(b);
    }
    std::vector<std::uint64_t> order(count);
    for (std::uint64_t b = 0; b < count; ++b) {
        order[b] = b;
    }
    std::mt19937 random(4242);
    std::shuffle(order.begin(), order.end(), random);
    for (const std::uint64_t b : order) {
        expectSameChunk(*first[b], *shuffled->prepareChunk(b));
    }
    // Backwards, then forwards again, on the source that read in order.
    for (std::uint64_t b = count; b-- > 0;) {
        expectSameChunk(*first[b], *inOrder->prepareChunk(b));
    }
    for (std::uint64_t b = 0; b < count; ++b) {
        expectSameChunk(*first[b], *inOrder->prepareChunk(b));
    }
}

// 3 x 1024 + 515 frames: the last chunk is short and ends in a hold; two
// channels, a signal with no repeating pattern.
std::vector<double> noise(std::size_t frames, std::uint16_t channels) {
    std::mt19937 random(99);
    std::uniform_int_distribution<int> code(-32768, 32767);
    std::vector<double> out(frames * channels);
    for (double& v : out) {
        v = code(random);
    }
    return out;
}

TEST(DirectPlaybackSource, ChunksDoNotDependOnTheOrderOfPreparationWave) {
    test::TempDir dir;
    const auto codes = noise(3 * 1024 + 515, 2);
    std::vector<float> samples(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        samples[i] = static_cast<float>(codes[i] / 32768.0);
    }
    writeFloatWave(dir / "order.wav", 2, 44100, samples);
    expectOrderDoesNotMatter(dir / "order.wav");
}

TEST(DirectPlaybackSource, ChunksDoNotDependOnTheOrderOfPreparationFlac) {
    test::SndFileWriter writer;
    if (!writer.available()) {
        GTEST_SKIP() << "no libsndfile on this platform";
    }
    test::TempDir dir;
    namespace sf = file::sndfile;
    writer.write(dir / "order.flac", sf::kTypeFlac | sf::kPcm16, 2, 44100, noise(9 * 1024 + 515, 2),
                 true);
    expectOrderDoesNotMatter(dir / "order.flac");
}

// The DSF surrogate serves chunk requests from a run projected ahead; a
// chunk must not depend on whether its frames came from such a run or from
// a fresh one. About 9.5 chunks of random bits, so runs start mid-track.
TEST(DirectPlaybackSource, ChunksDoNotDependOnTheOrderOfPreparationDsf) {
    test::TempDir dir;
    std::mt19937 random(17);
    std::vector<morrow::dsd::DsdBitStream> streams(2);
    for (auto& bits : streams) {
        while (bits.size() < 32 * (9 * 1024 + 515)) {
            bits.pushByte(static_cast<std::uint8_t>(random()));
        }
    }
    morrow::dsd::writeDsfFile(dir / "order.dsf", streams, {2'822'400, 1});
    expectOrderDoesNotMatter(dir / "order.dsf");
}

}  // namespace
}  // namespace al::playback
