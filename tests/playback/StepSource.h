#pragma once
// A playback source whose channels hold one constant value per chunk, given
// by a function of (chunk, channel). Cheap to prepare, and every lattice
// frame inside a chunk evaluates to exactly that value.

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

#include "playback/PlaybackSource.h"

namespace al::test {

class StepSource final : public playback::PlaybackSource {
public:
    using Level = std::function<double(std::uint64_t chunk, std::uint16_t channel)>;
    static constexpr std::uint64_t kChunkFrames = 1024;

    StepSource(std::uint16_t channels, std::uint32_t rate, std::uint64_t frames, Level level)
        : level_(std::move(level)) {
        metadata_.kind = 1;
        metadata_.channelCount = channels;
        metadata_.sampleRate = rate;
        metadata_.frameCount = frames;
        metadata_.duration = static_cast<double>(frames) / rate;
        metadata_.formatLabel = "steps";
        chunks_ = (frames + kChunkFrames - 1) / kChunkFrames;
    }

    const playback::SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return chunks_; }
    std::uint64_t chunkIndexAt(double t) const noexcept override {
        if (!(t > 0.0)) {
            return 0;
        }
        const auto frame = static_cast<std::uint64_t>(std::floor(t * metadata_.sampleRate));
        return std::min(frame / kChunkFrames, chunks_ - 1);
    }
    std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(std::uint64_t index) const override {
        if (index >= chunks_) {
            throw std::out_of_range("chunk");
        }
        auto chunk = std::make_shared<surrogate::PlaybackChunk>();
        chunk->index = index;
        chunk->ownershipStart = static_cast<double>(index * kChunkFrames) / metadata_.sampleRate;
        chunk->ownershipEnd = std::min(static_cast<double>((index + 1) * kChunkFrames) / metadata_.sampleRate,
                                       metadata_.duration);
        for (std::uint16_t k = 0; k < metadata_.channelCount; ++k) {
            const double v = level_(index, k);
            std::vector<file::CurveSegment> segments;
            segments.emplace_back(file::SegmentKind::Linear, 0,
                                  std::vector<file::ControlPoint>{{chunk->ownershipStart, v},
                                                                  {chunk->ownershipEnd, v}});
            chunk->channels.emplace_back(k, chunk->ownershipStart, chunk->ownershipEnd, std::move(segments));
        }
        return chunk;
    }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;

private:
    Level level_;
    playback::SourceMetadata metadata_;
    std::uint64_t chunks_ = 0;
};

inline std::shared_ptr<const StepSource> stepSource(std::uint16_t channels, std::uint32_t rate,
                                                    std::uint64_t frames, StepSource::Level level) {
    return std::make_shared<const StepSource>(channels, rate, frames, std::move(level));
}

}  // namespace al::test
