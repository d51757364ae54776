#include "decoders/WavReader.h"

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace al::file {

namespace {

constexpr std::uint32_t kMaxSampleRate = 12'288'000;
constexpr std::uint16_t kMaxChannels = 8;
constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
// The twelve bytes that follow the format tag in every standard media sub-type
// identifier (KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT).
constexpr unsigned char kSubFormatSuffix[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t le16(const unsigned char* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t le64(const unsigned char* p) noexcept {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool sameId(const unsigned char* p, const char (&id)[5]) noexcept {
    return std::memcmp(p, id, 4) == 0;
}

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

// Reads exactly `size` bytes at the stream's position; false on a short read.
bool readExactly(std::ifstream& stream, unsigned char* into, std::uint64_t size) {
    stream.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
    return static_cast<std::uint64_t>(stream.gcount()) == size;
}

bool seekTo(std::ifstream& stream, std::uint64_t offset) {
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    return !stream.fail();
}

// Sign-extended little-endian two's-complement integer of Bytes bytes.
template <unsigned Bytes>
std::int32_t loadInteger(const unsigned char* p) noexcept {
    if constexpr (Bytes == 2) {
        return static_cast<std::int16_t>(le16(p));
    } else if constexpr (Bytes == 3) {
        const std::int32_t raw = static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
        return (raw ^ 0x800000) - 0x800000;
    } else {
        return static_cast<std::int32_t>(le32(p));
    }
}

// Integer samples with `shift` bits of padding below the valid bits. The
// padding is removed by division, which truncates toward zero (an arithmetic
// shift would round negative values down instead).
template <unsigned Bytes>
void convertIntegers(const unsigned char* raw, std::size_t samples, unsigned shift,
                     unsigned validBits, double* out) noexcept {
    const std::int64_t divisor = std::int64_t{1} << shift;
    const std::int64_t low = -(std::int64_t{1} << (validBits - 1));
    const std::int64_t high = (std::int64_t{1} << (validBits - 1)) - 1;
    // A power of two, so multiplying by it is exactly dividing by 2^(b-1).
    const double scale = 1.0 / static_cast<double>(std::int64_t{1} << (validBits - 1));
    if (shift == 0) {
        // Every bit valid: each code already lies within [low, high], so the
        // value is the code times the scale, exactly.
        std::size_t n = 0;
#if defined(__SSE2__)
        if constexpr (Bytes == 2) {
            const __m128d factor = _mm_set1_pd(scale);
            for (; n + 8 <= samples; n += 8) {
                const __m128i codes =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 2 * n));
                // Each 16-bit code into the top of a 32-bit lane, then shifted
                // down with its sign.
                const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(codes, codes), 16);
                const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(codes, codes), 16);
                const __m128i quads[2] = {lo, hi};
                for (int q = 0; q < 2; ++q) {
                    double* o = out + n + 4 * q;
                    _mm_storeu_pd(o, _mm_mul_pd(_mm_cvtepi32_pd(quads[q]), factor));
                    _mm_storeu_pd(
                        o + 2,
                        _mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(quads[q], 0xEE)), factor));
                }
            }
        }
#endif
        for (; n < samples; ++n) {
            out[n] = static_cast<double>(loadInteger<Bytes>(raw + Bytes * n)) * scale;
        }
        return;
    }
    for (std::size_t n = 0; n < samples; ++n, raw += Bytes) {
        std::int64_t value = loadInteger<Bytes>(raw);
        if (shift != 0) {
            value /= divisor;
        }
        value = value < low ? low : (value > high ? high : value);
        out[n] = static_cast<double>(value) * scale;
    }
}

}  // namespace

WavReader::WavReader(const std::filesystem::path& path) {
    std::lock_guard guard(lock_);
    try {
        openLocked(path);
    } catch (...) {
        clearLocked();
        throw;
    }
}

void WavReader::clearLocked() noexcept {
    if (stream_.is_open()) {
        stream_.close();
    }
    stream_.clear();
    path_.clear();
    channels_ = 0;
    sampleRate_ = 0;
    containerBits_ = 0;
    validBits_ = 0;
    blockAlign_ = 0;
    isFloat_ = false;
    frameCount_ = 0;
    durationSeconds_ = 0.0;
    fileSize_ = 0;
    dataOffset_ = 0;
    dataSize_ = 0;
}

void WavReader::openLocked(const std::filesystem::path& path) {
    clearLocked();

    std::error_code sizeError;
    const std::uintmax_t fileSize = std::filesystem::file_size(path, sizeError);
    if (sizeError || fileSize < 12) {
        fail("WAVE file is missing, unreadable, or too small");
    }
    // Chunks are read one after another in pieces of a few kilobytes; a
    // large stream buffer turns those into few system calls.
    if (!streamBuffer_) {
        streamBuffer_ = std::make_unique<char[]>(kStreamBufferBytes);
    }
    stream_.rdbuf()->pubsetbuf(streamBuffer_.get(), kStreamBufferBytes);
    stream_.open(path, std::ios::binary);
    if (!stream_.is_open()) {
        fail("Unable to open WAVE source");
    }

    unsigned char riff[12];
    if (!readExactly(stream_, riff, sizeof riff)) {
        fail("Unexpected end of WAVE file");
    }
    // The RIFF size field is not trusted: recorders leave it stale.
    if (!(sameId(riff, "RIFF") && sameId(riff + 8, "WAVE"))) {
        if (sameId(riff, "RF64")) {
            fail("RF64 WAVE sources are not supported by Direct Playback yet");
        }
        fail("Source is not a little-endian RIFF/WAVE file");
    }

    bool haveFormat = false;
    bool haveData = false;
    Format format;
    std::uint64_t dataOffset = 0;
    std::uint64_t dataSize = 0;
    if (fileSize >= 20) {
        std::uint64_t offset = 12;
        while (offset <= fileSize && fileSize - offset >= 8) {
            if (!seekTo(stream_, offset)) {
                fail("Unable to seek within WAVE source");
            }
            unsigned char header[8];
            if (!readExactly(stream_, header, sizeof header)) {
                fail("Unexpected end of WAVE file");
            }
            const std::uint64_t bodySize = le32(header + 4);
            const std::uint64_t bodyStart = offset + 8;
            // Every chunk must fit, the data chunk included: a placeholder
            // size left by an interrupted recorder is refused, not guessed.
            if (bodyStart > fileSize || bodySize > fileSize - bodyStart) {
                fail("WAVE chunk extends beyond the source file");
            }
            if (sameId(header, "fmt ")) {
                if (haveFormat) {
                    fail("WAVE source contains multiple fmt chunks");
                }
                if (bodySize < 16 || bodySize > 4096) {
                    fail("WAVE fmt chunk size is invalid");
                }
                std::vector<unsigned char> body(static_cast<std::size_t>(bodySize));
                if (!readExactly(stream_, body.data(), bodySize)) {
                    fail("Unexpected end of WAVE file");
                }
                format = parseFormat(body);
                haveFormat = true;
            } else if (sameId(header, "data") && !haveData) {
                dataOffset = bodyStart;
                dataSize = bodySize;
                haveData = true;
            }
            if (haveFormat && haveData) {
                break;
            }
            const std::uint64_t padded = bodySize + (bodySize & 1);
            if (padded > std::numeric_limits<std::uint64_t>::max() - 8 - offset) {
                fail("WAVE chunk offset overflow");
            }
            offset += 8 + padded;
        }
    }
    if (!haveFormat) {
        fail("WAVE source has no fmt chunk");
    }
    if (!haveData) {
        fail("WAVE source has no data chunk");
    }
    if (dataSize % format.blockAlign != 0) {
        fail("WAVE data size is not an integral number of frames");
    }
    const std::uint64_t frames = dataSize / format.blockAlign;
    if (frames == 0) {
        fail("WAVE source contains no audio frames");
    }

    path_ = path;
    channels_ = format.channels;
    sampleRate_ = format.sampleRate;
    containerBits_ = format.containerBits;
    validBits_ = format.validBits;
    blockAlign_ = format.blockAlign;
    isFloat_ = format.isFloat;
    frameCount_ = frames;
    durationSeconds_ = static_cast<double>(frames) / static_cast<double>(format.sampleRate);
    fileSize_ = fileSize;
    dataOffset_ = dataOffset;
    dataSize_ = dataSize;
}

WavReader::Format WavReader::parseFormat(const std::vector<unsigned char>& body) {
    const unsigned char* p = body.data();
    std::uint16_t tag = le16(p);
    Format format;
    format.channels = le16(p + 2);
    format.sampleRate = le32(p + 4);
    const std::uint16_t blockAlignField = le16(p + 12);
    format.containerBits = le16(p + 14);

    if (tag == kTagExtensible) {
        if (body.size() < 40) {
            fail("WAVE extensible fmt chunk is truncated");
        }
        const std::uint16_t extensionSize = le16(p + 16);
        if (extensionSize < 22 || body.size() < std::size_t{extensionSize} + 18) {
            fail("WAVE extensible fmt extension is incomplete");
        }
        format.validBits = le16(p + 18);
        const std::uint32_t subTag = le32(p + 24);
        if ((subTag != kTagPcm && subTag != kTagFloat) ||
            std::memcmp(p + 28, kSubFormatSuffix, sizeof kSubFormatSuffix) != 0) {
            fail("Unsupported WAVE extensible subformat");
        }
        tag = static_cast<std::uint16_t>(subTag);
    } else {
        format.validBits = format.containerBits;
    }

    if (format.channels == 0 || format.channels > kMaxChannels) {
        fail("WAVE channel count is unsupported");
    }
    if (format.sampleRate == 0 || format.sampleRate > kMaxSampleRate) {
        fail("WAVE sample rate is unsupported");
    }
    if (format.containerBits == 0 || format.containerBits % 8 != 0) {
        fail("WAVE sample container width is invalid");
    }
    const std::uint32_t expectedAlign = std::uint32_t{format.containerBits} / 8 * format.channels;
    if (expectedAlign == 0 || expectedAlign > 65535 || blockAlignField != expectedAlign) {
        fail("WAVE block alignment is inconsistent with its format");
    }
    format.blockAlign = blockAlignField;

    if (tag == kTagPcm) {
        const std::uint16_t bits = format.containerBits;
        if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
            fail("Unsupported WAVE PCM container width");
        }
        if (format.validBits < 1 || format.validBits > bits) {
            fail("WAVE PCM valid-bit depth is invalid");
        }
    } else if (tag == kTagFloat) {
        if (format.containerBits != 32 && format.containerBits != 64) {
            fail("Unsupported WAVE IEEE-float container width");
        }
        if (format.validBits != format.containerBits) {
            fail("WAVE IEEE-float valid-bit depth is invalid");
        }
        format.isFloat = true;
    } else {
        fail("WAVE source uses a compressed or unsupported codec");
    }
    return format;
}

std::string WavReader::formatLabel() const {
    std::string label = isFloat_ ? "WAVE IEEE Float " : "WAVE PCM ";
    label += std::to_string(validBits_);
    if (containerBits_ != validBits_) {
        label += "-in-";
        label += std::to_string(containerBits_);
    }
    label += " bit";
    return label;
}

std::vector<double> WavReader::ReadFrames(std::uint64_t startFrame, std::uint64_t count) const {
    std::vector<double> samples;
    ReadFramesInto(startFrame, count, samples);
    return samples;
}

void WavReader::ReadFramesInto(std::uint64_t startFrame, std::uint64_t count,
                               std::vector<double>& out) const {
    if (path_.empty()) {
        fail("WAVE source is not open");
    }
    if (count == 0) {
        out.clear();
        return;
    }
    if (startFrame >= frameCount_) {
        throw std::out_of_range("WAVE frame request starts beyond the source");
    }
    if (frameCount_ - startFrame < count) {
        throw std::out_of_range("WAVE frame request extends beyond the source");
    }
    if (count > std::numeric_limits<std::size_t>::max() / channels_) {
        throw std::overflow_error("WAVE decoded sample count overflows memory size");
    }

    // Within the data chunk, so neither product can overflow. The raw bytes
    // live in one buffer per thread, reused from read to read.
    const std::uint64_t byteCount = count * blockAlign_;
    thread_local std::vector<unsigned char> raw;
    raw.resize(static_cast<std::size_t>(byteCount));
    {
        std::lock_guard guard(lock_);
        if (streamFrame_ != startFrame) {
            streamFrame_ = UINT64_MAX;
            if (!seekTo(stream_, dataOffset_ + startFrame * blockAlign_)) {
                fail("Unable to seek to WAVE audio frames");
            }
        }
        if (!readExactly(stream_, raw.data(), byteCount)) {
            streamFrame_ = UINT64_MAX;
            std::error_code error;
            const auto size = std::filesystem::file_size(path_, error);
            if (error || size < dataOffset_ + (startFrame + count) * blockAlign_) {
                fileChanged_.store(true);
            }
            fail("Unable to read complete WAVE audio frames");
        }
        streamFrame_ = startFrame + count;
    }

    out.resize(static_cast<std::size_t>(count) * channels_);
    convert(raw.data(), count, out.data());
}

void WavReader::convert(const unsigned char* raw, std::uint64_t frames, double* out) const {
    // A frame is exactly channels x containerBits/8 bytes (checked at open),
    // so the samples of a run lie back to back.
    const std::size_t samples = static_cast<std::size_t>(frames) * channels_;
    if (isFloat_) {
        if (containerBits_ == 32) {
            for (std::size_t n = 0; n < samples; ++n, raw += 4) {
                const std::uint32_t bits = le32(raw);
                if ((bits & 0x7F80'0000u) == 0x7F80'0000u) {
                    fail("WAVE contains a nonfinite IEEE-float sample");
                }
                out[n] = static_cast<double>(std::bit_cast<float>(bits));
            }
        } else if (containerBits_ == 64) {
            for (std::size_t n = 0; n < samples; ++n, raw += 8) {
                const std::uint64_t bits = le64(raw);
                if ((bits & 0x7FF0'0000'0000'0000u) == 0x7FF0'0000'0000'0000u) {
                    fail("WAVE contains a nonfinite IEEE-float sample");
                }
                out[n] = std::bit_cast<double>(bits);
            }
        } else {
            fail("Unsupported WAVE IEEE-float container width");
        }
        return;
    }

    if (containerBits_ == 8) {
        // Unsigned offset binary: 128 is silence.
        if (validBits_ != 8) {
            fail("Unsupported WAVE 8-bit valid-bit depth");
        }
        for (std::size_t n = 0; n < samples; ++n) {
            out[n] = (static_cast<int>(raw[n]) - 128) * 0.0078125;
        }
        return;
    }
    if (containerBits_ != 16 && containerBits_ != 24 && containerBits_ != 32) {
        fail("Unsupported WAVE PCM integer container width");
    }
    if (validBits_ > containerBits_) {
        fail("WAVE valid bits exceed the PCM container width");
    }
    if (validBits_ < 2 || validBits_ > 32) {
        fail("Unsupported WAVE PCM valid-bit depth");
    }
    const unsigned shift = containerBits_ - validBits_;
    switch (containerBits_) {
        case 16:
            convertIntegers<2>(raw, samples, shift, validBits_, out);
            break;
        case 24:
            convertIntegers<3>(raw, samples, shift, validBits_, out);
            break;
        default:
            convertIntegers<4>(raw, samples, shift, validBits_, out);
            break;
    }
}

}  // namespace al::file
