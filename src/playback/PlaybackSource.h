#pragma once
// Everything the player can play, as one kind of object: a fixed description
// of the stream and the playback chunk of any chunk index.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "playback/ChunkLoader.h"

namespace al::playback {

struct SourceMetadata {
    std::int32_t kind = 0;  // 0 record, 1 "WAV DIRECT"
    std::filesystem::path path;
    std::uint16_t channelCount = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t bitDepth = 0;
    std::uint64_t frameCount = 0;
    double duration = 0.0;
    std::string formatLabel;
};

// A source is immutable after construction (apart from its reader's own
// serialised file access) and shared between the user-interface thread
// (metadata), the surrogate buffer's producer or workers (chunk preparation,
// several at once for records) and the lattice (chunkIndexAt).
class PlaybackSource {
public:
    virtual ~PlaybackSource() = default;

    virtual const SourceMetadata& metadata() const noexcept = 0;
    virtual std::uint64_t chunkCount() const noexcept = 0;
    virtual std::uint64_t chunkIndexAt(double seconds) const noexcept = 0;
    // The complete chunk, built synchronously. Throws on any failure.
    virtual std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(
        std::uint64_t chunkIndex) const = 0;
    virtual bool supportsPreparedReconstruction() const noexcept = 0;
    // The two-phase form used by the reconstruction workers. Sources without
    // it throw std::logic_error("Playback source does not support prepared
    // reconstruction").
    virtual void loadBlocks(std::uint64_t chunkIndex, surrogate::LoadedBlocks& blocks) const;
    virtual std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(
        const surrogate::LoadedBlocks& blocks) const;
    // The text to stop playback with when the file was truncated or rewritten
    // under a source that reads it in place; empty while it is intact (and
    // always for sources that read through a stream, whose reads fail with
    // their own message). Any thread.
    virtual std::string fileChangedText() const { return {}; }
    // The control points of a record's segments over the whole track (0 for
    // other sources), counted from the encoded segments without decoding
    // them. Reads every block once; user-interface thread at open.
    virtual std::uint64_t controlPointCount() const { return 0; }
};

// Opens a source by the path's extension. Throws std::runtime_error
// ("Unsupported playback source. Open a supported Auralith or WAV DIRECT
// file.") for an unknown extension; reader errors pass through unchanged.
std::shared_ptr<const PlaybackSource> createPlaybackSource(const std::filesystem::path& path);

// A record source over an opened reader. Throws std::invalid_argument
// ("Record playback source requires an open AUR record").
std::shared_ptr<const PlaybackSource> createRecordPlaybackSource(
    std::shared_ptr<const file::RecordReader> reader);

// Whether createPlaybackSource would pick a source for this path's extension.
bool isSupportedPlaybackPath(const std::filesystem::path& path);

// The extension as the factory judges it: from the file-name part (after the
// last '/' or '\'), cut at the first ':', the last '.' and what follows, with
// only ASCII A-Z lowered; empty for "." and "..". UTF-8.
std::string playbackExtension(const std::filesystem::path& path);

// "44.1 kHz", "48 kHz", "2.822 MHz", "800 Hz".
std::string formatSampleRate(std::uint32_t rate);

}  // namespace al::playback
