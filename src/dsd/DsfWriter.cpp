#include "dsd/DsfWriter.h"

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

}  // namespace

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
    const std::uint64_t dataBytes = blocks * channels.size() * kDsfBlockBytes;
    const std::uint64_t dataChunkSize = dataBytes + kDsfChunkHeaderSize;
    const std::uint64_t total = kDsfHeaderSize + kDsfFmtChunkSize + dataChunkSize;

    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(total));
    putId(out, "DSD ");
    put64(out, kDsfHeaderSize);
    put64(out, total);
    put64(out, 0);  // no metadata

    putId(out, "fmt ");
    put64(out, kDsfFmtChunkSize);
    put32(out, 1);  // format version
    put32(out, 0);  // raw DSD
    put32(out, static_cast<std::uint32_t>(channels.size()));  // channel type: 1 mono, 2 stereo
    put32(out, static_cast<std::uint32_t>(channels.size()));
    put32(out, options.rate);
    put32(out, options.bitsPerSample);
    put64(out, samples);
    put32(out, kDsfBlockBytes);
    put32(out, 0);  // reserved

    putId(out, "data");
    put64(out, dataChunkSize);
    // The streams are packed MSB first with zeros past their end, exactly what
    // an 8-bit (MSB first) file holds; 1-bit files hold every byte mirrored.
    std::uint8_t mirror[256];
    for (unsigned v = 0; v < 256; ++v) {
        unsigned r = 0;
        for (unsigned k = 0; k < 8; ++k) {
            r |= (v >> k & 1u) << (7 - k);
        }
        mirror[v] = static_cast<std::uint8_t>(r);
    }
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
