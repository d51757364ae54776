#pragma once
// Turns any file the player can open into a record (.aur) that plays back the
// same: the samples are read through the same source the player uses, and
// each chunk of each channel is stored as segments that rebuild the curve the
// player draws through that chunk's samples.
//
// What "the same" means here: at the source's own rate every frame of the
// record evaluates to a value that the 16- and 24-bit output converters round
// exactly as they round the source's own value (checked frame by frame while
// encoding); between the frames the record follows the source's curve.
//
// How: a chunk's curve is one PCHIP curve through its samples with one frame
// of context on the left and two on the right. The record stores it as PCHIP
// pieces that run from turning point to turning point (slope 0 in the curve,
// held flat to a copy of the knot one f32 step later, so the end is exact),
// each starting one knot early so that the slope at its first played frame
// comes from the same three samples as in the curve. A point's time is an f32
// offset and so lands slightly off its frame; the value stored for it is the
// curve's value at that time, so the piece lies on the curve and the time
// error does not move the sound. Where that makes the value steps finer, the
// values are offsets from an extra anchor one frame before the piece with the
// middle of the piece's range (it sets only the context knot's slope, which
// is never played). A frame that then sits closer to a rounding boundary than
// the f32 steps allow gets its knot's time and value searched a few f32 steps
// either way until it rounds as the source's. Each piece is also measured
// between frames against the curve, and shortened while it strays more than
// 0.4 of a 24-bit step (a very loud stretch near the top of the band may not
// get that close; the best piece found is kept and counted: of those within
// a 24-bit step between frames, the one with fewest frames rounding
// differently, so a full-scale high sweep may have a frame or two one step
// off at its own rate, counted as unreproduced, rather than a piece far off
// between frames).
// Runs of silence or constant steps become LINEAR segments; a piece next to
// one ends one knot into the run, where its end slope is the run's.
//
// Not thread-safe; one owner. Throws what the source's reader throws when it
// opens the file (unchanged), and for records ("Input is already an Auralith
// record").

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "playback/PlaybackSource.h"
#include "record/EncodedSegment.h"
#include "record/RecordFormat.h"

namespace al::playback {

struct RecordEncodeOptions {
    // Longest PCHIP piece in frames (8 .. 65000). Pieces end at turning
    // points well before the default; shorter limits cost more points and,
    // where no turning point is near, leave a one-sided end slope between
    // frames.
    std::uint32_t segmentFrames = 2048;
    // Called after each chunk with (chunks done, chunk count).
    std::function<void(std::uint64_t, std::uint64_t)> progress;
    // Polled before each chunk; true stops the encoding with
    // std::runtime_error("Encoding interrupted ...") and no output.
    std::function<bool()> cancelled;
    // Also rebuild every block as a reader will and check it against the
    // source frame by frame (slower; each piece is checked in any case).
    bool checkBlocks = false;
};

struct RecordEncodeStats {
    std::uint64_t chunks = 0;
    std::uint64_t blocks = 0;
    std::uint64_t linearSegments = 0;
    std::uint64_t pchipSegments = 0;
    std::uint64_t polylineSegments = 0;
    std::uint64_t controlPoints = 0;
    std::uint64_t fileBytes = 0;
    std::uint64_t turningPointCuts = 0;  // exact: slope 0 on both sides
    std::uint64_t lengthCuts = 0;        // the longest piece reached elsewhere
    std::uint64_t roundingCuts = 0;      // a straight run cut where a frame would round differently
    std::uint64_t valueMoves = 0;        // knots moved a few f32 steps to round as the source
    std::uint64_t loosePieces =
        0;  // no candidate stayed within 0.4 of a 24-bit step between frames
    std::uint64_t unreproducedFrames = 0;  // should stay 0
};

class RecordEncoder {
  public:
    explicit RecordEncoder(const std::filesystem::path& input);

    const SourceMetadata& metadata() const noexcept { return source_->metadata(); }
    std::uint64_t chunkCount() const noexcept { return source_->chunkCount(); }
    // The header the record gets (sourcePeak 0 until encoded).
    file::RecordHeader header() const noexcept;

    // Encodes the whole file into `output` through a temporary file beside it
    // (RecordFileWriter). Throws std::runtime_error naming the failed step:
    // "Decoding chunk N of M failed: <reader message>", "Writing the record
    // failed: ...", "Encoding interrupted at chunk N of M"; std::invalid_argument
    // for bad options. On failure nothing is left behind.
    RecordEncodeStats encode(const std::filesystem::path& output,
                             const RecordEncodeOptions& options);

    // The segments of one chunk, per channel, and the peak of its owned
    // samples. For tests and tools.
    std::vector<std::vector<file::EncodedSegment>> encodeChunk(std::uint64_t chunk,
                                                               const RecordEncodeOptions& options,
                                                               RecordEncodeStats& stats,
                                                               double* peak = nullptr) const;

  private:
    std::shared_ptr<const PlaybackSource> source_;
};

// The record bit depth for a reader's: 8, 16, 24, 32 or 64 (the next one up;
// 0, a decoder that does not say, is recorded as 32 for its float samples).
std::uint32_t recordBitDepthFor(std::uint32_t readerBitDepth) noexcept;

// Output codes of the 16- and 24-bit converters for a value (clamped,
// rounded half away from zero); the encoder keeps these equal.
std::int32_t pcm16Code(double value) noexcept;
std::int32_t pcm24Code(double value) noexcept;

}  // namespace al::playback
