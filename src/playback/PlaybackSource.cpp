#include "playback/PlaybackSource.h"

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "decoders/DsfSurrogateReader.h"
#include "decoders/MediaFoundationAudioReader.h"
#include "decoders/ReadAheadReader.h"
#include "decoders/SndFileReader.h"
#include "decoders/WavReader.h"

namespace al::playback {

using surrogate::ChannelGeometry;
using surrogate::LoadedBlocks;
using surrogate::PlaybackChunk;

void PlaybackSource::loadBlocks(std::uint64_t, LoadedBlocks&) const {
    throw std::logic_error("Playback source does not support prepared reconstruction");
}

std::shared_ptr<const PlaybackChunk> PlaybackSource::prepareChunk(const LoadedBlocks&) const {
    throw std::logic_error("Playback source does not support prepared reconstruction");
}

namespace {

constexpr std::uint64_t kChunkFrames = 1024;

// The control points of one channel's interleaved samples, frame after
// frame, as an iterator a vector appends from in one pass: the time of frame
// f is f / rate, as f times the reciprocal (frame numbers are converted as
// signed integers, one instruction and the same exact value, as they stay
// far below 2^53). Iterators compare by frame alone.
class FramePoints {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = file::ControlPoint;
    using difference_type = std::ptrdiff_t;
    using pointer = const file::ControlPoint*;
    using reference = file::ControlPoint;

    FramePoints(const double* sample, std::uint64_t stride, std::int64_t frame, double inv) noexcept
        : sample_(sample), stride_(stride), frame_(frame), inv_(inv) {}

    file::ControlPoint operator*() const noexcept {
        return {static_cast<double>(frame_) * inv_, *sample_};
    }
    FramePoints& operator++() noexcept {
        sample_ += stride_;
        ++frame_;
        return *this;
    }
    FramePoints& operator--() noexcept {
        sample_ -= stride_;
        --frame_;
        return *this;
    }
    FramePoints& operator+=(difference_type by) noexcept {
        sample_ += by * static_cast<difference_type>(stride_);
        frame_ += by;
        return *this;
    }
    difference_type operator-(const FramePoints& other) const noexcept { return frame_ - other.frame_; }
    bool operator==(const FramePoints& other) const noexcept { return frame_ == other.frame_; }

  private:
    const double* sample_;
    std::uint64_t stride_;
    std::int64_t frame_;
    double inv_;
};

class RecordPlaybackSource final : public PlaybackSource {
public:
    explicit RecordPlaybackSource(std::shared_ptr<const file::RecordReader> reader)
        : reader_(requireOpen(std::move(reader))), loader_(reader_) {
        const auto& h = reader_->header();
        metadata_.kind = 0;
        metadata_.path = reader_->path();
        metadata_.channelCount = h.channelCount;
        metadata_.sampleRate = h.capturedSampleRate;
        metadata_.bitDepth = h.capturedBitDepth;
        metadata_.frameCount = h.frameCount;
        metadata_.duration = h.duration;
        metadata_.formatLabel = "Auralith AUR";
    }

    const SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return reader_->chunkCount(); }
    std::uint64_t chunkIndexAt(double seconds) const noexcept override {
        return reader_->chunkIndexAt(seconds);
    }
    std::shared_ptr<const PlaybackChunk> prepareChunk(std::uint64_t chunkIndex) const override {
        return loader_.prepareChunk(chunkIndex);
    }
    bool supportsPreparedReconstruction() const noexcept override { return true; }
    void loadBlocks(std::uint64_t chunkIndex, LoadedBlocks& blocks) const override {
        loader_.loadBlocks(chunkIndex, blocks);
    }
    std::shared_ptr<const PlaybackChunk> prepareChunk(const LoadedBlocks& blocks) const override {
        return loader_.prepareChunk(blocks);
    }
    std::string fileChangedText() const override {
        return reader_->fileChanged() ? "Auralith record file changed on disk while open" : std::string();
    }
    std::uint64_t controlPointCount() const override {
        std::uint64_t points = 0;
        const auto& channels = reader_->channelBlocks();
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            for (std::uint64_t chunk = 0; chunk < channels[channel].size(); ++chunk) {
                points += file::countControlPoints(reader_->block(channel, chunk, false));
            }
        }
        return points;
    }

private:
    static std::shared_ptr<const file::RecordReader> requireOpen(
        std::shared_ptr<const file::RecordReader> reader) {
        if (!reader || !reader->isOpen()) {
            throw std::invalid_argument("Record playback source requires an open AUR record");
        }
        return reader;
    }

    std::shared_ptr<const file::RecordReader> reader_;
    surrogate::ChunkLoader loader_;
    SourceMetadata metadata_;
};

// A decoded-samples source: each chunk is one PCHIP curve per channel through
// the chunk's samples plus one frame of left and two of right context, so a
// boundary sample is an interior point of both neighbouring curves.
class DirectPlaybackSource : public PlaybackSource {
public:
    DirectPlaybackSource(std::shared_ptr<const file::AudioFileReader> reader,
                         const std::filesystem::path& path, bool reportsBitDepth)
        : reader_(std::move(reader)) {
        metadata_.kind = 1;
        metadata_.path = path;
        metadata_.channelCount = reader_->channelCount();
        metadata_.sampleRate = reader_->sampleRate();
        metadata_.bitDepth = reportsBitDepth ? reader_->bitDepth() : 0;
        metadata_.frameCount = reader_->frameCount();
        metadata_.duration = reader_->durationSeconds();
        metadata_.formatLabel = reader_->formatLabel();
        if (metadata_.frameCount == 0) {
            throw std::runtime_error("WAV DIRECT source contains no playback chunks");
        }
        chunkCount_ = (metadata_.frameCount + kChunkFrames - 1) / kChunkFrames;
    }

    const SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return chunkCount_; }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;
    std::string fileChangedText() const override { return reader_->fileChangedText(); }

    std::uint64_t chunkIndexAt(double t) const noexcept override {
        if (chunkCount_ == 0 || !(t > 0.0)) {
            return 0;
        }
        if (t >= metadata_.duration) {
            return chunkCount_ - 1;
        }
        const double frame = std::floor(static_cast<double>(metadata_.sampleRate) * t);
        const auto index = static_cast<std::uint64_t>(frame) / kChunkFrames;
        return std::min(index, chunkCount_ - 1);
    }

    std::shared_ptr<const PlaybackChunk> prepareChunk(std::uint64_t b) const override {
        if (b >= chunkCount_) {
            throw std::out_of_range("WAV DIRECT playback chunk index is out of range");
        }
        const std::uint64_t n = metadata_.channelCount;
        const std::uint64_t frames = metadata_.frameCount;
        const double duration = metadata_.duration;
        const std::uint64_t c = kChunkFrames * b;
        const std::uint64_t e = std::min(frames, c + kChunkFrames);
        const std::uint64_t d = c == 0 ? 0 : c - 1;
        const std::uint64_t readEnd = frames - e >= 3 ? e + 2 : frames;
        if (d >= readEnd) {
            throw std::runtime_error("WAV DIRECT playback chunk has no source context");
        }
        const std::uint64_t count = readEnd - d;
        if (n == 0) {
            throw std::runtime_error("WAV DIRECT decoder returned an invalid frame count");
        }
        // The frames in two parts: those kept from the last read, then those
        // read now. Per-thread buffers, reused from chunk to chunk.
        thread_local std::vector<double> kept;
        thread_local std::vector<double> fresh;
        readSamples(d, count, kept, fresh);
        if (kept.size() + fresh.size() != n * count) {
            throw std::runtime_error("WAV DIRECT decoder returned an invalid frame count");
        }
        const std::uint64_t keptFrames = kept.size() / n;

        const double inv = 1.0 / static_cast<double>(metadata_.sampleRate);
        auto chunk = std::make_shared<PlaybackChunk>();
        chunk->index = b;
        chunk->ownershipStart = static_cast<double>(c) * inv;
        chunk->ownershipEnd = std::min(static_cast<double>(e) * inv, duration);
        chunk->channels.reserve(n);
        const double lastTime = static_cast<double>(frames - 1) * inv;
        for (std::uint64_t k = 0; k < n; ++k) {
            std::vector<file::CurveSegment> segments;
            if (frames == 1) {
                const double s = keptFrames > 0 ? kept[k] : fresh[k];
                segments.emplace_back(file::SegmentKind::Polyline, 0,
                                      std::vector<file::ControlPoint>{{0.0, s}, {duration, s}});
            } else {
                // Reserved once, then each part appended as one range: every
                // point is written once (sizing the vector first would zero
                // it), and the capacity is checked per part, not per point.
                const auto firstFrame = static_cast<std::int64_t>(d);
                const auto keptEnd = firstFrame + static_cast<std::int64_t>(keptFrames);
                const auto pointsEnd = firstFrame + static_cast<std::int64_t>(count);
                std::vector<file::ControlPoint> points;
                points.reserve(count);
                const double* keptFrom = keptFrames > 0 ? kept.data() + k : fresh.data();
                const double* freshFrom = fresh.data() + k;
                points.insert(points.end(), FramePoints(keptFrom, n, firstFrame, inv),
                              FramePoints(keptFrom, n, keptEnd, inv));
                points.insert(points.end(), FramePoints(freshFrom, n, keptEnd, inv),
                              FramePoints(freshFrom, n, pointsEnd, inv));
                const double last = points.back().value;
                segments.emplace_back(file::SegmentKind::Pchip, 0, std::move(points));
                if (e == frames && duration > lastTime) {
                    // Hold the last sample to the duration so the geometry covers it.
                    segments.emplace_back(
                        file::SegmentKind::Polyline, 0,
                        std::vector<file::ControlPoint>{{lastTime, last}, {duration, last}});
                }
            }
            chunk->channels.emplace_back(static_cast<std::int32_t>(k), chunk->ownershipStart,
                                         chunk->ownershipEnd, std::move(segments));
        }
        return chunk;
    }

private:
    // Chunks prepared in order read overlapping ranges: the next chunk starts
    // three frames before the last one's read ended. Those frames are kept
    // here, so that the reader is asked only for what follows and continues
    // where it stopped instead of seeking back (a FLAC or MP3 seek searches
    // the stream and decodes again). The values are the decoder's own, so
    // the chunks are the same whichever order they are prepared in.
    static constexpr std::uint64_t kTailFrames = 8;
    struct Tail {
        std::mutex lock;
        std::uint64_t first = 0;  // frames [first, end) are in `samples`
        std::uint64_t end = 0;
        std::vector<double> samples;
    };

    // Frames [d, d + count): `kept` gets those still held from the last
    // read (none when it does not continue there), `fresh` the rest, read
    // now. Two parts rather than one buffer, so the frames read are never
    // copied again. Either comes back short when the reader gave too few.
    void readSamples(std::uint64_t d, std::uint64_t count, std::vector<double>& kept,
                     std::vector<double>& fresh) const {
        const std::uint64_t n = metadata_.channelCount;
        const std::uint64_t readEnd = d + count;
        std::uint64_t cached = 0;
        {
            std::lock_guard guard(tail_.lock);
            if (tail_.first <= d && d < tail_.end && tail_.end < readEnd) {
                cached = tail_.end - d;
                const auto from = tail_.samples.begin() + static_cast<std::ptrdiff_t>((d - tail_.first) * n);
                kept.assign(from, from + static_cast<std::ptrdiff_t>(cached * n));
            }
        }
        if (cached == 0) {
            kept.clear();
        }
        reader_->ReadFramesInto(d + cached, count - cached, fresh);
        if (fresh.size() != (count - cached) * n) {
            return;  // reported as an invalid frame count
        }
        // The last frames of both parts, for the next chunk.
        const std::uint64_t keep = std::min(count, kTailFrames);
        const std::size_t fromFresh = std::min(fresh.size(), static_cast<std::size_t>(keep * n));
        const std::size_t fromKept = static_cast<std::size_t>(keep * n) - fromFresh;
        std::lock_guard guard(tail_.lock);
        tail_.first = readEnd - keep;
        tail_.end = readEnd;
        // Never more than kTailFrames frames: after the first chunk this
        // reuses the storage and does not allocate.
        tail_.samples.assign(kept.end() - static_cast<std::ptrdiff_t>(fromKept), kept.end());
        tail_.samples.insert(tail_.samples.end(), fresh.end() - static_cast<std::ptrdiff_t>(fromFresh),
                             fresh.end());
    }

    std::shared_ptr<const file::AudioFileReader> reader_;
    SourceMetadata metadata_;
    std::uint64_t chunkCount_ = 0;
    mutable Tail tail_;
};

class DirectWavPlaybackSource final : public DirectPlaybackSource {
public:
    explicit DirectWavPlaybackSource(const std::filesystem::path& path)
        : DirectPlaybackSource(std::make_shared<const file::WavReader>(path), path, true) {}
};

// Decoders that cost more than the curves built from their frames decode
// ahead on a thread of their own: about a second and a half at 44.1 kHz.
// (Not the DSF surrogate: its filters already keep two threads busy.)
std::shared_ptr<const file::AudioFileReader> decodingAhead(
    std::shared_ptr<const file::AudioFileReader> reader) {
    return std::make_shared<const file::ReadAheadReader>(std::move(reader), 16384, 4);
}

class SndFilePlaybackSource final : public DirectPlaybackSource {
public:
    explicit SndFilePlaybackSource(const std::filesystem::path& path)
        : DirectPlaybackSource(decodingAhead(std::make_shared<const file::SndFileReader>(path)), path,
                               true) {}
};

// The platform decoder hands over decoded samples whose bit depth it does not
// vouch for, so such sources report 0.
class MediaFoundationPlaybackSource final : public DirectPlaybackSource {
public:
    explicit MediaFoundationPlaybackSource(const std::filesystem::path& path)
        : DirectPlaybackSource(
              decodingAhead(std::make_shared<const file::MediaFoundationAudioReader>(path)), path, false) {}
};

class DsfPlaybackSource final : public DirectPlaybackSource {
public:
    explicit DsfPlaybackSource(const std::filesystem::path& path)
        : DirectPlaybackSource(std::make_shared<const file::DsfSurrogateReader>(path), path, true) {}
};

enum class SourceKind { None, Record, Wav, Dsf, SndFile, MediaFoundation };

SourceKind kindFor(const std::string& extension) {
    if (extension == ".aur") return SourceKind::Record;
    if (extension == ".wav" || extension == ".wave") return SourceKind::Wav;
    if (extension == ".dsf") return SourceKind::Dsf;
    if (extension == ".flac" || extension == ".mp3" || extension == ".aif" ||
        extension == ".aiff" || extension == ".aifc") {
        return SourceKind::SndFile;
    }
    if (extension == ".m4a") return SourceKind::MediaFoundation;
    return SourceKind::None;
}

}  // namespace

std::string playbackExtension(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    std::string name(text.begin(), text.end());
    if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    if (const auto colon = name.find(':'); colon != std::string::npos) {
        name.erase(colon);
    }
    if (name == "." || name == "..") {
        return {};
    }
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos) {
        return {};
    }
    std::string extension = name.substr(dot);
    for (char& ch : extension) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return extension;
}

bool isSupportedPlaybackPath(const std::filesystem::path& path) {
    return kindFor(playbackExtension(path)) != SourceKind::None;
}

std::shared_ptr<const PlaybackSource> createRecordPlaybackSource(
    std::shared_ptr<const file::RecordReader> reader) {
    return std::make_shared<const RecordPlaybackSource>(std::move(reader));
}

std::shared_ptr<const PlaybackSource> createPlaybackSource(const std::filesystem::path& path) {
    switch (kindFor(playbackExtension(path))) {
        case SourceKind::Record:
            return createRecordPlaybackSource(std::make_shared<const file::RecordReader>(path));
        case SourceKind::Wav:
            return std::make_shared<const DirectWavPlaybackSource>(path);
        case SourceKind::Dsf:
            return std::make_shared<const DsfPlaybackSource>(path);
        case SourceKind::SndFile:
            return std::make_shared<const SndFilePlaybackSource>(path);
        case SourceKind::MediaFoundation:
            return std::make_shared<const MediaFoundationPlaybackSource>(path);
        case SourceKind::None:
            break;
    }
    throw std::runtime_error(
        "Unsupported playback source. Open a supported Auralith or WAV DIRECT file.");
}

std::string formatSampleRate(std::uint32_t rate) {
    char text[32];
    if (rate < 1000) {
        std::snprintf(text, sizeof text, "%u Hz", rate);
    } else if (rate < 1'000'000) {
        std::snprintf(text, sizeof text, rate % 1000 == 0 ? "%.0f kHz" : "%.1f kHz",
                      static_cast<double>(rate) / 1000.0);
    } else {
        std::snprintf(text, sizeof text, rate % 1'000'000 == 0 ? "%.0f MHz" : "%.3f MHz",
                      static_cast<double>(rate) / 1'000'000.0);
    }
    return text;
}

}  // namespace al::playback
