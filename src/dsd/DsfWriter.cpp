#include "dsd/DsfWriter.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "dsd/DsfReader.h"

namespace morrow::dsd {

namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}

void putId(std::vector<std::uint8_t>& out, const char (&id)[5]) {
    out.insert(out.end(), id, id + 4);
}

struct MirrorTable {
    std::uint8_t bytes[256];
    MirrorTable() noexcept {
        for (unsigned v = 0; v < 256; ++v) {
            unsigned r = 0;
            for (unsigned k = 0; k < 8; ++k) {
                r |= (v >> k & 1u) << (7 - k);
            }
            bytes[v] = static_cast<std::uint8_t>(r);
        }
    }
    std::uint8_t operator[](std::uint8_t v) const noexcept { return bytes[v]; }
};

const MirrorTable& mirrorTable() noexcept {
    static const MirrorTable table;
    return table;
}

}  // namespace

std::vector<std::uint8_t> dsfHeaderBytes(std::uint32_t channels, std::uint32_t rate,
                                         std::uint32_t bitsPerSample, std::uint64_t samples) {
    const std::uint64_t bitsPerBlock = std::uint64_t{kDsfBlockBytes} * 8;
    const std::uint64_t blocks = (samples + bitsPerBlock - 1) / bitsPerBlock;
    const std::uint64_t dataChunkSize = blocks * channels * kDsfBlockBytes + kDsfChunkHeaderSize;
    const std::uint64_t total = kDsfHeaderSize + kDsfFmtChunkSize + dataChunkSize;

    std::vector<std::uint8_t> out;
    out.reserve(kDsfHeaderSize + kDsfFmtChunkSize + kDsfChunkHeaderSize);
    putId(out, "DSD ");
    put64(out, kDsfHeaderSize);
    put64(out, total);
    put64(out, 0);  // no metadata

    putId(out, "fmt ");
    put64(out, kDsfFmtChunkSize);
    put32(out, 1);  // format version
    put32(out, 0);  // raw DSD
    put32(out, channels);  // channel type: 1 mono, 2 stereo
    put32(out, channels);
    put32(out, rate);
    put32(out, bitsPerSample);
    put64(out, samples);
    put32(out, kDsfBlockBytes);
    put32(out, 0);  // reserved

    putId(out, "data");
    put64(out, dataChunkSize);
    return out;
}

DsfFileWriter::DsfFileWriter(const std::filesystem::path& path, std::uint32_t channels, std::uint32_t rate,
                             std::uint64_t samples, std::uint32_t bitsPerSample)
    : channels_(channels), bitsPerSample_(bitsPerSample), frames_(samples / 16 + (samples % 16 != 0)) {
    if (channels != 1 && channels != 2) {
        throw std::invalid_argument("DSF writer needs one or two channels");
    }
    if (samples == 0) {
        throw std::invalid_argument("DSF writer needs equal non-empty channels");
    }
    if (bitsPerSample != 1 && bitsPerSample != 8) {
        throw std::invalid_argument("DSF writer supports 1 or 8 bits per sample");
    }
    file_.open(path, std::ios::binary | std::ios::trunc);
    if (!file_) {
        throw std::runtime_error("Cannot create DSF file");
    }
    const std::vector<std::uint8_t> header = dsfHeaderBytes(channels, rate, bitsPerSample, samples);
    file_.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    if (!file_) {
        throw std::runtime_error("DSF write failed");
    }
    idle_ = bitsPerSample == 8 ? kDsdIdleByte : mirrorTable()[kDsdIdleByte];
    group_.assign(std::size_t{channels} * kDsfBlockBytes, idle_);
}

void DsfFileWriter::writeFrame(const DsdFrame& frame) {
    if (finished_ || written_ >= frames_) {
        throw std::logic_error("DSF writer has every frame already");
    }
    const auto& mirror = mirrorTable();
    for (std::uint32_t c = 0; c < channels_; ++c) {
        std::uint8_t* at = group_.data() + c * kDsfBlockBytes + 2 * inGroup_;
        const auto high = static_cast<std::uint8_t>(frame[c] >> 8);
        const auto low = static_cast<std::uint8_t>(frame[c]);
        at[0] = bitsPerSample_ == 8 ? high : mirror[high];
        at[1] = bitsPerSample_ == 8 ? low : mirror[low];
    }
    ++written_;
    if (++inGroup_ == kDsfBlockBytes / 2) {
        flushGroup();
    }
}

void DsfFileWriter::flushGroup() {
    file_.write(reinterpret_cast<const char*>(group_.data()), static_cast<std::streamsize>(group_.size()));
    if (!file_) {
        throw std::runtime_error("DSF write failed");
    }
    std::fill(group_.begin(), group_.end(), idle_);
    inGroup_ = 0;
}

void DsfFileWriter::finish() {
    if (finished_) {
        return;
    }
    if (written_ != frames_) {
        throw std::logic_error("DSF writer was given too few frames");
    }
    if (inGroup_ != 0) {
        flushGroup();
    }
    file_.close();
    if (!file_) {
        throw std::runtime_error("DSF write failed");
    }
    finished_ = true;
}

std::vector<std::uint8_t> makeDsfImage(const std::vector<DsdBitStream>& channels,
                                       const DsfWriteOptions& options) {
    if (channels.empty() || channels.size() > 2) {
        throw std::invalid_argument("DSF writer needs one or two channels");
    }
    const std::uint64_t samples = channels[0].size();
    if (samples == 0 || (channels.size() == 2 && channels[1].size() != samples)) {
        throw std::invalid_argument("DSF writer needs equal non-empty channels");
    }
    if (options.bitsPerSample != 1 && options.bitsPerSample != 8) {
        throw std::invalid_argument("DSF writer supports 1 or 8 bits per sample");
    }
    const std::uint64_t bitsPerBlock = std::uint64_t{kDsfBlockBytes} * 8;
    const std::uint64_t blocks = (samples + bitsPerBlock - 1) / bitsPerBlock;
    std::vector<std::uint8_t> out = dsfHeaderBytes(static_cast<std::uint32_t>(channels.size()), options.rate,
                                                   options.bitsPerSample, samples);
    out.reserve(out.size() + static_cast<std::size_t>(blocks * channels.size() * kDsfBlockBytes));
    // The streams are packed MSB first with zeros past their end, exactly what
    // an 8-bit (MSB first) file holds; 1-bit files hold every byte mirrored.
    const auto& mirror = mirrorTable();
    for (std::uint64_t block = 0; block < blocks; ++block) {
        for (const auto& channel : channels) {
            const auto& bytes = channel.bytes();
            for (std::uint64_t b = block * kDsfBlockBytes; b < (block + 1) * kDsfBlockBytes; ++b) {
                const std::uint8_t byte = b < bytes.size() ? bytes[static_cast<std::size_t>(b)] : 0;
                out.push_back(options.bitsPerSample == 8 ? byte : mirror[byte]);
            }
        }
    }
    return out;
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        throw std::runtime_error("Cannot create DSF file");
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("DSF write failed");
    }
}

void writeDsfFile(const std::filesystem::path& path, const std::vector<DsdBitStream>& channels,
                  const DsfWriteOptions& options) {
    writeBytes(path, makeDsfImage(channels, options));
}

}  // namespace morrow::dsd
