#include "record/RecordWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "record/Crc32.h"

namespace al::file {

namespace {

template <typename T>
void put(std::vector<std::byte>& out, T value) {
    const auto at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

std::string displayPath(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

void appendEncodedSegment(std::vector<std::byte>& out, const SegmentDraft& segment) {
    const auto n = segment.points.size();
    if (n < 2 || n > 0xFFFF) {
        throw std::invalid_argument("Encoded segment needs 2 to 65535 control points");
    }
    put(out, static_cast<std::uint8_t>(segment.kind));
    put(out, segment.flags);
    put(out, static_cast<std::uint16_t>(n));
    const ControlPoint anchor = segment.points.front();
    put(out, anchor.time);
    put(out, anchor.value);
    for (std::size_t k = 1; k < n; ++k) {
        put(out, static_cast<float>(segment.points[k].time - anchor.time));
    }
    for (std::size_t k = 1; k < n; ++k) {
        put(out, static_cast<float>(segment.points[k].value - anchor.value));
    }
}

RecordHeader makeRecordHeader(std::uint16_t channels, std::uint32_t sampleRate,
                              std::uint32_t bitDepth, std::uint64_t frameCount) {
    RecordHeader header;
    header.version = kRecordVersion;
    header.revision = kRecordRevision;
    header.channelCount = channels;
    header.capturedSampleRate = sampleRate;
    header.capturedBitDepth = bitDepth;
    header.frameCount = frameCount;
    header.sourcePeak = 0.0;
    header.duration = sampleRate == 0 ? 0.0
                                      : static_cast<double>(frameCount) /
                                            static_cast<double>(sampleRate);
    return header;
}

RecordWriter::RecordWriter(const RecordHeader& header) : header_(header) {}

std::uint64_t RecordWriter::chunkCount() const noexcept {
    return (header_.frameCount + kFramesPerChunk - 1) / kFramesPerChunk;
}

double RecordWriter::chunkStart(std::uint64_t chunk) const noexcept {
    return static_cast<double>(chunk * kFramesPerChunk) /
           static_cast<double>(header_.capturedSampleRate);
}

double RecordWriter::chunkEnd(std::uint64_t chunk) const noexcept {
    const std::uint64_t end = std::min<std::uint64_t>((chunk + 1) * kFramesPerChunk,
                                                      header_.frameCount);
    return static_cast<double>(end) / static_cast<double>(header_.capturedSampleRate);
}

void RecordWriter::addBlock(std::uint16_t channel, std::uint64_t chunk,
                            std::span<const SegmentDraft> segments) {
    BlockDraft block;
    block.channel = channel;
    block.chunk = chunk;
    block.ownershipStart = chunkStart(chunk);
    block.ownershipEnd = chunkEnd(chunk);
    block.segmentCount = static_cast<std::uint16_t>(segments.size());
    for (const auto& segment : segments) {
        appendEncodedSegment(block.payload, segment);
    }
    blocks_.push_back(std::move(block));
}

void RecordWriter::addRawBlock(BlockDraft block) { blocks_.push_back(std::move(block)); }

std::vector<std::byte> RecordWriter::image(BlockOrder order) const {
    std::vector<const BlockDraft*> ordered;
    ordered.reserve(blocks_.size());
    for (const auto& block : blocks_) {
        ordered.push_back(&block);
    }
    std::stable_sort(ordered.begin(), ordered.end(), [order](const BlockDraft* a, const BlockDraft* b) {
        if (order == BlockOrder::Canonical) {
            return a->chunk != b->chunk ? a->chunk < b->chunk : a->channel < b->channel;
        }
        return a->channel != b->channel ? a->channel < b->channel : a->chunk < b->chunk;
    });

    std::vector<std::byte> out;
    out.reserve(kFileHeaderSize + kFooterSize);
    const char magic[3] = {'A', 'U', 'R'};
    out.resize(3);
    std::memcpy(out.data(), magic, 3);
    put(out, header_.version);
    put(out, header_.revision);
    put(out, header_.channelCount);
    put(out, header_.capturedSampleRate);
    put(out, header_.capturedBitDepth);
    put(out, header_.frameCount);
    put(out, header_.sourcePeak);
    put(out, header_.duration);

    std::uint32_t sequence = 0;
    for (const BlockDraft* block : ordered) {
        const auto start = out.size();
        put(out, block->channel);
        put(out, sequence++);
        put(out, block->segmentCount);
        put(out, static_cast<std::uint32_t>(block->payload.size()));
        put(out, block->ownershipStart);
        put(out, block->ownershipEnd);
        out.insert(out.end(), block->payload.begin(), block->payload.end());
        const std::span<const std::byte> written(out.data() + start, out.size() - start);
        put(out, crc32(0, written));
    }
    const char footer[6] = {'A', 'U', 'R', 'E', 'N', 'D'};
    const auto at = out.size();
    out.resize(at + sizeof footer);
    std::memcpy(out.data() + at, footer, sizeof footer);
    return out;
}

void RecordWriter::save(const std::filesystem::path& path, BlockOrder order) const {
    const auto bytes = image(order);
    writeFileAtomically(path, bytes);
}

RecordWriter RecordWriter::fromSamples(std::uint32_t sampleRate, std::uint32_t bitDepth,
                                       const std::vector<std::vector<double>>& channels,
                                       SegmentKind kind) {
    if (channels.empty() || channels.size() > 0xFFFF || sampleRate == 0) {
        throw std::invalid_argument("fromSamples needs 1 to 65535 channels and a sample rate");
    }
    const std::uint64_t frames = channels[0].size();
    for (const auto& channel : channels) {
        if (channel.size() != frames) {
            throw std::invalid_argument("fromSamples needs channels of equal length");
        }
    }
    RecordWriter writer(makeRecordHeader(static_cast<std::uint16_t>(channels.size()), sampleRate,
                                         bitDepth, frames));
    double peak = 0.0;
    for (const auto& channel : channels) {
        for (double v : channel) {
            peak = std::max(peak, std::fabs(v));
        }
    }
    writer.header().sourcePeak = peak;
    const double rate = static_cast<double>(sampleRate);

    std::vector<SegmentDraft> segments;
    for (std::uint64_t chunk = 0; chunk < writer.chunkCount(); ++chunk) {
        const std::uint64_t first = chunk * kFramesPerChunk;
        const std::uint64_t end = std::min<std::uint64_t>(first + kFramesPerChunk, frames);
        for (std::size_t c = 0; c < channels.size(); ++c) {
            const auto& samples = channels[c];
            // Points first..end inclusive: frame `end` is the next chunk's first
            // frame, or for the last chunk the final value held to the duration.
            std::vector<ControlPoint> points;
            points.reserve(end - first + 1);
            for (std::uint64_t f = first; f <= end; ++f) {
                const double value = f < frames ? samples[f] : samples[frames - 1];
                points.push_back({static_cast<double>(f) / rate, value});
            }
            segments.clear();
            if (kind == SegmentKind::Linear) {
                for (std::size_t i = 0; i + 1 < points.size(); ++i) {
                    segments.push_back({SegmentKind::Linear, 0, {points[i], points[i + 1]}});
                }
            } else {
                segments.push_back({kind, 0, std::move(points)});
            }
            writer.addBlock(static_cast<std::uint16_t>(c), chunk, segments);
        }
    }
    return writer;
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::byte> bytes) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("Cannot create " + displayPath(temporary));
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("Cannot write " + displayPath(temporary));
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        throw std::runtime_error("Cannot replace " + displayPath(path));
    }
}

}  // namespace al::file
