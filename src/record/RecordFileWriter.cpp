#include "record/RecordFileWriter.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "record/Crc32.h"
#include "record/EncodedSegment.h"

namespace al::file {

namespace {

template <typename T>
void put(std::vector<std::byte>& out, T value) {
    const auto at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

std::string display(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

std::vector<ControlPoint> rebuildPoints(const EncodedSegment& segment) {
    std::vector<ControlPoint> points;
    points.reserve(segment.pointCount());
    for (std::size_t k = 0; k < segment.pointCount(); ++k) {
        points.push_back({rebuiltTime(segment, k), rebuiltValue(segment, k)});
    }
    return points;
}

void appendEncodedSegment(std::vector<std::byte>& out, const EncodedSegment& segment) {
    const std::size_t n = segment.pointCount();
    if (n < 2 || n > 0xFFFF || segment.valueOffsets.size() != segment.timeOffsets.size()) {
        throw std::invalid_argument("Encoded segment needs 2 to 65535 control points");
    }
    // Appended in three copies, without first zero-filling the room (an
    // encoder appends hundreds of thousands of small segments).
    std::array<std::byte, 20> head;
    const auto kind = static_cast<std::uint8_t>(segment.kind);
    const std::uint8_t flags = 0;
    const auto count = static_cast<std::uint16_t>(n);
    std::memcpy(head.data(), &kind, 1);
    std::memcpy(head.data() + 1, &flags, 1);
    std::memcpy(head.data() + 2, &count, 2);
    std::memcpy(head.data() + 4, &segment.anchorTime, 8);
    std::memcpy(head.data() + 12, &segment.anchorValue, 8);
    const auto* times = reinterpret_cast<const std::byte*>(segment.timeOffsets.data());
    const auto* values = reinterpret_cast<const std::byte*>(segment.valueOffsets.data());
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), times, times + 4 * (n - 1));
    out.insert(out.end(), values, values + 4 * (n - 1));
}

std::vector<std::byte> encodeFileHeader(const RecordHeader& header) {
    std::vector<std::byte> out;
    out.reserve(kFileHeaderSize);
    for (char c : {'A', 'U', 'R'}) {
        out.push_back(static_cast<std::byte>(c));
    }
    put(out, header.version);
    put(out, header.revision);
    put(out, header.channelCount);
    put(out, header.capturedSampleRate);
    put(out, header.capturedBitDepth);
    put(out, header.frameCount);
    put(out, header.sourcePeak);
    put(out, header.duration);
    return out;
}

std::filesystem::path RecordFileWriter::temporaryFor(const std::filesystem::path& target) {
    std::filesystem::path temporary = target;
    temporary += ".partial";
    return temporary;
}

RecordFileWriter::RecordFileWriter(std::filesystem::path target)
    : target_(std::move(target)), temporary_(temporaryFor(target_)) {
    out_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!out_) {
        throw std::runtime_error("Cannot create " + display(temporary_));
    }
    // A placeholder header; the real one is written by commit().
    const auto header = encodeFileHeader(RecordHeader{});
    out_.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    bytes_ = header.size();
    check();
}

RecordFileWriter::~RecordFileWriter() {
    if (!committed_) {
        discard();
    }
}

void RecordFileWriter::discard() noexcept {
    if (out_.is_open()) {
        out_.close();
    }
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
}

void RecordFileWriter::check() {
    if (!out_) {
        throw std::runtime_error("Cannot write " + display(temporary_));
    }
}

void RecordFileWriter::writeBlock(std::uint16_t channel, std::uint16_t segmentCount,
                                  double ownershipStart, double ownershipEnd,
                                  std::span<const std::byte> payload) {
    if (committed_ || payload.empty() || payload.size() > kMaxPayloadSize || segmentCount == 0 ||
        sequence_ > 0xFFFFFFFFull) {
        throw std::invalid_argument("Record block cannot be written");
    }
    scratch_.clear();
    put(scratch_, channel);
    put(scratch_, static_cast<std::uint32_t>(sequence_));
    put(scratch_, segmentCount);
    put(scratch_, static_cast<std::uint32_t>(payload.size()));
    put(scratch_, ownershipStart);
    put(scratch_, ownershipEnd);
    const std::uint32_t crc = crc32(crc32(0, scratch_), payload);
    out_.write(reinterpret_cast<const char*>(scratch_.data()),
               static_cast<std::streamsize>(scratch_.size()));
    out_.write(reinterpret_cast<const char*>(payload.data()),
               static_cast<std::streamsize>(payload.size()));
    out_.write(reinterpret_cast<const char*>(&crc), sizeof crc);
    check();
    bytes_ += scratch_.size() + payload.size() + sizeof crc;
    ++sequence_;
}

void RecordFileWriter::commit(const RecordHeader& header) {
    if (committed_) {
        throw std::logic_error("Record already committed");
    }
    const char footer[6] = {'A', 'U', 'R', 'E', 'N', 'D'};
    out_.write(footer, sizeof footer);
    const auto bytes = encodeFileHeader(header);
    out_.seekp(0);
    out_.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    out_.flush();
    check();
    out_.close();
    if (out_.fail()) {
        throw std::runtime_error("Cannot write " + display(temporary_));
    }
    bytes_ += sizeof footer;
    std::error_code error;
    std::filesystem::rename(temporary_, target_, error);
    if (error) {
        throw std::runtime_error("Cannot replace " + display(target_));
    }
    committed_ = true;
}

}  // namespace al::file
