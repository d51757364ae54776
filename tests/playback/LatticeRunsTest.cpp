// Evaluating a run of lattice frames piece by piece must give exactly the
// bytes of evaluating every frame on its own: the same doubles out of the
// lattice, the same samples out of every converter, the same levels.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "cli/DemoRecord.h"
#include "output/SampleConverters.h"
#include "playback/ChannelGeometry.h"
#include "playback/PlaybackLattice.h"
#include "record/CurveSegment.h"
#include "record/RecordWriter.h"
#include "support/TempDir.h"
#include "support/WaveFiles.h"

namespace al::playback {
namespace {

using file::ControlPoint;
using file::CurveSegment;
using file::SegmentKind;

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ------------------------------------------------------------ one segment

// Times that hit the points exactly, repeat, fall between them and lie
// outside at both ends, in non-decreasing order.
std::vector<double> probeTimes(const std::vector<ControlPoint>& points, std::mt19937& random) {
    std::vector<double> times;
    const double first = points.front().time;
    const double last = points.back().time;
    std::uniform_real_distribution<double> within(first - 0.1 * (last - first), last + 0.1 * (last - first));
    for (int i = 0; i < 400; ++i) {
        times.push_back(within(random));
    }
    for (const ControlPoint& p : points) {
        times.push_back(p.time);
        times.push_back(p.time);
        times.push_back(std::nextafter(p.time, -std::numeric_limits<double>::infinity()));
        times.push_back(std::nextafter(p.time, std::numeric_limits<double>::infinity()));
    }
    std::sort(times.begin(), times.end());
    return times;
}

std::vector<ControlPoint> randomPoints(std::size_t count, double start, std::mt19937& random) {
    std::uniform_real_distribution<double> gap(1e-6, 4e-5);
    std::uniform_real_distribution<double> value(-1.2, 1.2);
    std::vector<ControlPoint> points;
    double t = start;
    for (std::size_t i = 0; i < count; ++i) {
        // Every fourth value keeps the sign of the last, so lines of both
        // forms (through zero, and on one side of it) are walked.
        double v = value(random);
        if (i % 4 == 3 && !points.empty() && (v > 0) != (points.back().value > 0)) {
            v = -v;
        }
        points.push_back({t, v});
        t += gap(random);
    }
    return points;
}

TEST(CurveSegmentRuns, EveryKindGivesTheBitsOfValueAt) {
    std::mt19937 random(7);
    for (const SegmentKind kind : {SegmentKind::Linear, SegmentKind::Polyline, SegmentKind::Pchip}) {
        for (const std::size_t count : {2u, 3u, 17u, 200u}) {
            if (kind == SegmentKind::Linear && count != 2) {
                continue;
            }
            const CurveSegment segment(kind, 0, randomPoints(count, 0.25, random));
            const std::vector<double> times = probeTimes(segment.points(), random);
            std::vector<double> out(times.size());
            segment.valuesAt(times.data(), times.size(), out.data());
            for (std::size_t i = 0; i < times.size(); ++i) {
                ASSERT_TRUE(sameBits(out[i], segment.valueAt(times[i])))
                    << "kind " << static_cast<int>(kind) << " points " << count << " time " << i;
            }
        }
    }
}

// Many times per interval (an output rate well above the source's), where
// runs of times that share an interval are evaluated two lanes at a time,
// with the points themselves and the times either side of them among them.
TEST(CurveSegmentRuns, DenseTimesGiveTheBitsOfValueAt) {
    std::mt19937 random(8);
    const CurveSegment segment(SegmentKind::Pchip, 0, randomPoints(300, 0.5, random));
    const auto& points = segment.points();
    std::vector<double> times;
    for (std::size_t p = 0; p + 1 < points.size(); ++p) {
        const double t0 = points[p].time, t1 = points[p + 1].time;
        times.push_back(std::nextafter(t0, -std::numeric_limits<double>::infinity()));
        for (int q = 0; q < 7 + static_cast<int>(p % 5); ++q) {
            times.push_back(t0 + (t1 - t0) * q / (7 + static_cast<double>(p % 5)));
        }
    }
    std::sort(times.begin(), times.end());
    for (const std::size_t from : {std::size_t{0}, std::size_t{3}, times.size() / 2}) {
        std::vector<double> out(times.size() - from);
        segment.valuesAt(times.data() + from, out.size(), out.data());
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(sameBits(out[i], segment.valueAt(times[from + i]))) << "from " << from << " time " << i;
        }
    }
}

// ------------------------------------------------------------ one channel

// Segments of all three kinds in transport order, some overlapping the one
// before, some starting exactly where it ends, plus times before the first
// and after the last.
TEST(ChannelGeometryRuns, OverlapsAndJoinsGiveTheBitsAndCursorOfValueAt) {
    std::mt19937 random(11);
    std::vector<CurveSegment> segments;
    double start = 0.0;
    const SegmentKind kinds[] = {SegmentKind::Pchip, SegmentKind::Linear, SegmentKind::Polyline};
    for (int s = 0; s < 30; ++s) {
        const SegmentKind kind = kinds[s % 3];
        auto points = randomPoints(kind == SegmentKind::Linear ? 2 : 3 + s % 9, start, random);
        const double end = points.back().time;
        segments.emplace_back(kind, 0, std::move(points));
        // Next start: at the end, or inside the segment just made (overlap).
        start = s % 2 == 0 ? end : segments.back().points()[segments.back().points().size() / 2].time;
    }
    const double first = segments.front().firstTime();
    const double last = segments.back().lastTime();
    const surrogate::ChannelGeometry channel(0, first, last, std::move(segments));

    std::vector<double> times;
    std::uniform_real_distribution<double> within(first - 1e-4, last + 1e-4);
    for (int i = 0; i < 5000; ++i) {
        times.push_back(within(random));
    }
    for (const CurveSegment& segment : channel.segments()) {
        for (const ControlPoint& p : segment.points()) {
            times.push_back(p.time);
        }
    }
    std::sort(times.begin(), times.end());

    // Runs of several lengths, each from the cursor the last one left.
    for (const std::size_t run : {1u, 7u, 256u, 100000u}) {
        std::size_t cursorOne = 0;
        std::size_t cursorRun = 0;
        std::vector<double> out(times.size());
        for (std::size_t at = 0; at < times.size(); at += run) {
            const std::size_t count = std::min(run, times.size() - at);
            channel.valuesAt(times.data() + at, count, out.data() + at, cursorRun);
            for (std::size_t i = at; i < at + count; ++i) {
                const double expected = channel.valueAt(times[i], cursorOne);
                ASSERT_TRUE(sameBits(out[i], expected)) << "run " << run << " time " << i;
            }
            ASSERT_EQ(cursorRun, cursorOne) << "run " << run << " at " << at;
        }
    }
}

// ------------------------------------------------------------ the lattice

// A record whose chunks hold chains of all three kinds with overlaps, on
// `channels` channels, values reaching past full scale so that the
// converters clamp.
file::RecordWriter mixedRecord(std::uint16_t channels, std::uint64_t frames, std::uint32_t rate) {
    file::RecordWriter writer(file::makeRecordHeader(channels, rate, 24, frames));
    std::mt19937 random(1234);
    std::uniform_real_distribution<double> value(-1.1, 1.1);
    for (std::uint64_t c = 0; c < writer.chunkCount(); ++c) {
        const double start = writer.chunkStart(c);
        const double end = writer.chunkEnd(c);
        const double frame = 1.0 / rate;
        for (std::uint16_t ch = 0; ch < channels; ++ch) {
            std::vector<file::SegmentDraft> drafts;
            double t = start;
            int k = 0;
            while (t < end) {
                file::SegmentDraft draft;
                draft.kind = k % 3 == 0 ? SegmentKind::Pchip : (k % 3 == 1 ? SegmentKind::Polyline : SegmentKind::Linear);
                const std::size_t points = draft.kind == SegmentKind::Linear ? 2 : 2 + (k * 7 + ch) % 40;
                double pt = t;
                for (std::size_t p = 0; p < points; ++p) {
                    draft.points.push_back({pt, value(random)});
                    pt += frame * (1.0 + static_cast<double>((p + k) % 3));
                }
                // Overlap the next segment with this one's last step now and then.
                const double next = draft.points.back().time;
                t = k % 4 == 1 ? draft.points[draft.points.size() - 2].time : next;
                if (t >= end) {
                    t = next;
                }
                drafts.push_back(std::move(draft));
                ++k;
            }
            writer.addBlock(ch, c, drafts);
        }
    }
    return writer;
}

// One pull schedule played through both ways of evaluating, with the
// controls a listener uses in between: mute (ramped and snapped), a seek,
// loop-ahead across the end.
struct Played {
    std::vector<double> samples;
    std::vector<std::uint64_t> produced;
    std::vector<float> peaks;
    std::vector<float> rms;
    std::uint64_t missing = 0;
};

Played play(const std::shared_ptr<const PlaybackSource>& source, std::uint32_t rate, bool perFrame) {
    PlaybackLattice lattice(source, 256);
    lattice.setOutputRate(rate);
    for (std::uint64_t c = 0; c < source->chunkCount(); ++c) {
        EXPECT_TRUE(lattice.surrogate().waitForChunk(c, 20'000)) << "chunk " << c;
    }
    lattice.surrogate().setConsumerChunk(0);
    EXPECT_TRUE(lattice.prime());
    const std::size_t n = lattice.channelCount();
    std::mt19937 random(rate);
    std::uniform_int_distribution<std::uint64_t> size(1, 6000);
    Played played;
    std::vector<double> buffer;
    LevelCursor levels;
    std::vector<float> peaks(n), rms(n);
    LevelRecord record;
    const std::uint64_t total = lattice.totalFrames();
    for (int pass = 0; pass < 400; ++pass) {
        switch (pass) {
            case 20: lattice.setMuted(true); break;
            case 30: lattice.setMuted(false); break;
            case 40: lattice.setMuted(true); lattice.requestSnapGain(); break;
            case 41: lattice.setMuted(false); break;
            case 60: lattice.seekToFrame(total / 3 + 17); break;
            case 80: lattice.setLoopAhead(true); lattice.seekToFrame(total - 5000); break;
            default: break;
        }
        const std::uint64_t frames = size(random);
        buffer.assign(frames * n, 99.0);  // stale samples must not survive
        const std::uint64_t got = perFrame ? lattice.pullPerFrame(buffer.data(), frames)
                                           : lattice.pull(buffer.data(), frames);
        played.produced.push_back(got);
        played.samples.insert(played.samples.end(), buffer.begin(), buffer.end());
        while (lattice.readLevels(levels, peaks, rms, record)) {
            played.peaks.insert(played.peaks.end(), peaks.begin(), peaks.end());
            played.rms.insert(played.rms.end(), rms.begin(), rms.end());
        }
        if (pass == 200) {
            lattice.setLoopAhead(false);
        }
    }
    played.missing = lattice.missingFrames();
    return played;
}

void expectSameBytes(const std::shared_ptr<const PlaybackSource>& source, std::uint32_t rate) {
    const Played runs = play(source, rate, false);
    const Played frames = play(source, rate, true);
    EXPECT_EQ(runs.missing, 0u);
    EXPECT_EQ(frames.missing, 0u);
    ASSERT_EQ(runs.produced, frames.produced) << "rate " << rate;
    ASSERT_EQ(runs.samples.size(), frames.samples.size());
    ASSERT_EQ(std::memcmp(runs.samples.data(), frames.samples.data(), runs.samples.size() * sizeof(double)), 0)
        << "rate " << rate;
    for (const audio::SampleKind kind :
         {audio::SampleKind::Float32, audio::SampleKind::Pcm32, audio::SampleKind::Pcm24In32,
          audio::SampleKind::Pcm24Packed, audio::SampleKind::Pcm16}) {
        const std::size_t bytes = runs.samples.size() * audio::BytesPerSample(kind);
        std::vector<std::uint8_t> a(bytes), b(bytes);
        ASSERT_TRUE(audio::ConverterFor(kind)(runs.samples.data(), runs.samples.size(), a.data(), bytes));
        ASSERT_TRUE(audio::reference::ConverterFor(kind)(frames.samples.data(), frames.samples.size(), b.data(),
                                                         bytes));
        ASSERT_EQ(a, b) << "rate " << rate << " kind " << static_cast<int>(kind);
    }
    EXPECT_EQ(runs.peaks, frames.peaks);
    EXPECT_EQ(runs.rms, frames.rms);
}

TEST(LatticeRuns, MixedRecordIsByteIdenticalToFrameByFrame) {
    test::TempDir dir;
    mixedRecord(3, 60 * 1024 + 333, 48000).save(dir / "mixed.aur");
    const auto source = createPlaybackSource(dir / "mixed.aur");
    for (const std::uint32_t rate : {48000u, 44100u, 96000u, 192000u, 37913u}) {
        expectSameBytes(source, rate);
    }
}

TEST(LatticeRuns, DemoRecordIsByteIdenticalToFrameByFrame) {
    test::TempDir dir;
    cli::makeDemoRecord(2.0).save(dir / "demo.aur");
    const auto source = createPlaybackSource(dir / "demo.aur");
    for (const std::uint32_t rate : {48000u, 88200u, 192000u}) {
        expectSameBytes(source, rate);
    }
}

TEST(LatticeRuns, WaveSourceIsByteIdenticalToFrameByFrame) {
    test::TempDir dir;
    std::mt19937 random(99);
    std::uniform_real_distribution<float> level(-1.0F, 1.0F);
    std::vector<float> samples(2 * 100'000);
    for (float& s : samples) {
        s = level(random);
    }
    test::writeFloatWave(dir / "noise.wav", 2, 44100, samples);
    const auto source = createPlaybackSource(dir / "noise.wav");
    for (const std::uint32_t rate : {44100u, 96000u, 192000u}) {
        expectSameBytes(source, rate);
    }
}

}  // namespace
}  // namespace al::playback
