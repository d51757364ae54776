#pragma once
// A playback source whose channels are real curves: channel 0 a sine as two
// overlapping PCHIP segments per chunk, channel 1 a polyline zig-zag. Lets
// the snapshot tests compare pieces against the channel's own evaluation.

#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "playback/PlaybackSource.h"

namespace al::test {

class CurveSource final : public playback::PlaybackSource {
  public:
    static constexpr std::uint64_t kChunkFrames = 1024;

    CurveSource(std::uint32_t rate, std::uint64_t frames, double frequency,
                std::uint16_t channels = 2)
        : frequency_(frequency) {
        metadata_.kind = 1;
        metadata_.channelCount = channels;
        metadata_.sampleRate = rate;
        metadata_.frameCount = frames;
        metadata_.duration = static_cast<double>(frames) / rate;
        chunks_ = (frames + kChunkFrames - 1) / kChunkFrames;
    }

    double sine(double t) const { return 0.8 * std::sin(2.0 * std::numbers::pi * frequency_ * t); }
    double zigzag(std::uint64_t frame) const { return (frame / 7) % 2 == 0 ? -0.5 : 0.5; }

    const playback::SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return chunks_; }
    std::uint64_t chunkIndexAt(double t) const noexcept override {
        if (!(t > 0.0)) {
            return 0;
        }
        const auto frame = static_cast<std::uint64_t>(std::floor(t * metadata_.sampleRate));
        return std::min(frame / kChunkFrames, chunks_ - 1);
    }
    std::shared_ptr<const surrogate::PlaybackChunk> prepareChunk(
        std::uint64_t index) const override {
        if (index >= chunks_) {
            throw std::out_of_range("chunk");
        }
        const double rate = metadata_.sampleRate;
        const std::uint64_t first = index * kChunkFrames;
        const std::uint64_t last = std::min((index + 1) * kChunkFrames, metadata_.frameCount);
        auto chunk = std::make_shared<surrogate::PlaybackChunk>();
        chunk->index = index;
        chunk->ownershipStart = static_cast<double>(first) / rate;
        chunk->ownershipEnd = static_cast<double>(last) / rate;
        // Sine: frames first..mid+4 and mid..last (overlapping by four frames).
        const std::uint64_t mid = first + (last - first) / 2;
        std::vector<file::CurveSegment> pieces;
        for (auto [a, b] : {std::pair{first, std::min(mid + 4, last)}, std::pair{mid, last}}) {
            std::vector<file::ControlPoint> points;
            for (std::uint64_t f = a; f <= b; ++f) {
                const double t = static_cast<double>(f) / rate;
                points.push_back({t, sine(t)});
            }
            pieces.emplace_back(file::SegmentKind::Pchip, 0, std::move(points));
        }
        chunk->channels.emplace_back(0, chunk->ownershipStart, chunk->ownershipEnd,
                                     std::move(pieces));
        if (metadata_.channelCount > 1) {
            std::vector<file::ControlPoint> points;
            for (std::uint64_t f = first; f <= last; ++f) {
                points.push_back({static_cast<double>(f) / rate, zigzag(f)});
            }
            std::vector<file::CurveSegment> zig;
            zig.emplace_back(file::SegmentKind::Polyline, 0, std::move(points));
            chunk->channels.emplace_back(1, chunk->ownershipStart, chunk->ownershipEnd,
                                         std::move(zig));
        }
        return chunk;
    }
    bool supportsPreparedReconstruction() const noexcept override { return false; }
    using PlaybackSource::prepareChunk;

  private:
    double frequency_;
    playback::SourceMetadata metadata_;
    std::uint64_t chunks_ = 0;
};

}  // namespace al::test
