#include "decoders/MediaFoundationAudioReader.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace al::file {

namespace {

using platform::DecodedAudioFormat;
using platform::DecodedSampleType;
using platform::HResult;

constexpr std::uint32_t kMaxChannels = 8;

std::string stepFailureText(std::string_view step, HResult code) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), kDigits[code & 0xFu]);
        code >>= 4;
    } while (code != 0);
    std::string text(step);
    text += " failed (HRESULT 0x";
    text += hex;
    text += ')';
    return text;
}

void check(HResult code, std::string_view step) {
    if (platform::hrFailed(code)) {
        throw std::runtime_error(stepFailureText(step, code));
    }
}

// Bits the decoder says are significant: valid bits, else bits per sample,
// else 0 (unknown).
std::uint32_t reportedIntegerBits(const DecodedAudioFormat& format) noexcept {
    return format.validBitsPerSample != 0 ? format.validBitsPerSample : format.bitsPerSample;
}

std::uint32_t littleEndian32(const std::byte* p) noexcept {
    return std::to_integer<std::uint32_t>(p[0]) | (std::to_integer<std::uint32_t>(p[1]) << 8) |
           (std::to_integer<std::uint32_t>(p[2]) << 16) | (std::to_integer<std::uint32_t>(p[3]) << 24);
}

using Samples = MediaFoundationAudioReader::SampleBlocks;

// Converts `count` samples starting at `in` into the store, block by block.
template <typename Convert>
void appendConverted(Samples& samples, const std::byte* in, std::size_t count, std::size_t bytesPerSample,
                     Convert convert) {
    samples.checkRoom(count);
    while (count > 0) {
        const std::span<double> out = samples.tail(count);
        for (double& value : out) {
            value = convert(in);
            in += bytesPerSample;
        }
        samples.commit(out.size());
        count -= out.size();
    }
}

void appendFloatBuffer(std::span<const std::byte> bytes, const DecodedAudioFormat& format, Samples& samples) {
    if (format.blockAlignment != format.channels * 4) {
        throw std::runtime_error("Media Foundation returned an unsupported floating-point alignment");
    }
    if (bytes.size() % 4 != 0 || bytes.size() % format.blockAlignment != 0) {
        throw std::runtime_error("Media Foundation returned a partial floating-point audio frame");
    }
    appendConverted(samples, bytes.data(), bytes.size() / 4, 4, [](const std::byte* p) {
        const std::uint32_t bits = littleEndian32(p);
        if ((bits & 0x7F800000u) == 0x7F800000u) {
            throw std::runtime_error("Media Foundation produced a nonfinite floating-point sample");
        }
        return static_cast<double>(std::bit_cast<float>(bits));
    });
}

// Little-endian two's complement of 2, 3 or 4 bytes, sign-extended.
std::int64_t signedSample(const std::byte* p, std::uint32_t bytesPerSample) noexcept {
    std::uint32_t raw = 0;
    for (std::uint32_t b = 0; b < bytesPerSample; ++b) {
        raw |= std::to_integer<std::uint32_t>(p[b]) << (8 * b);
    }
    const std::uint32_t width = bytesPerSample * 8;
    const std::int64_t value = static_cast<std::int64_t>(raw);
    const std::int64_t signBit = std::int64_t{1} << (width - 1);
    return (value ^ signBit) - signBit;
}

void appendPcmBuffer(std::span<const std::byte> bytes, const DecodedAudioFormat& format, Samples& samples) {
    if (bytes.size() % format.blockAlignment != 0) {
        throw std::runtime_error("Media Foundation returned a partial PCM frame");
    }
    const std::uint32_t container = format.blockAlignment / format.channels * 8;
    if (container != 8 && container != 16 && container != 24 && container != 32) {
        throw std::runtime_error("Media Foundation returned an unsupported PCM sample width");
    }
    const std::uint32_t reported = reportedIntegerBits(format);
    const std::uint32_t precision = reported != 0 ? reported : container;
    if (precision > container) {
        throw std::runtime_error("Media Foundation PCM precision exceeds its container");
    }
    if (container == 8 && precision != 8) {
        throw std::runtime_error("Media Foundation returned unsupported 8-bit PCM precision");
    }
    if (precision < 2 || precision > 32) {
        throw std::runtime_error("Media Foundation returned an unsupported PCM precision");
    }

    const std::uint32_t width = container / 8;
    const std::size_t count = bytes.size() / width;
    if (container == 8) {
        appendConverted(samples, bytes.data(), count, 1,
                        [](const std::byte* p) { return (std::to_integer<int>(*p) - 128) * 0.0078125; });
        return;
    }
    // Exact: every step is an integer operation or a power-of-two scale.
    const unsigned shift = container - precision;
    const std::int64_t roundUp = (std::int64_t{1} << shift) - 1;
    const std::int64_t high = (std::int64_t{1} << (precision - 1)) - 1;
    const std::int64_t low = -(std::int64_t{1} << (precision - 1));
    const double scale = 1.0 / static_cast<double>(std::int64_t{1} << (precision - 1));
    appendConverted(samples, bytes.data(), count, width, [=](const std::byte* p) {
        std::int64_t v = signedSample(p, width);
        // Division by 2^shift truncating toward zero, as a shift that first
        // lifts negative values (a bare arithmetic shift would round down).
        v = (v < 0 ? v + roundUp : v) >> shift;
        v = v < low ? low : (v > high ? high : v);
        return static_cast<double>(v) * scale;
    });
}

// Unlocks a locked buffer when conversion throws; the normal path unlocks
// through the checked step instead.
class BufferLock {
public:
    explicit BufferLock(platform::M4aDecoder& decoder) noexcept : decoder_(&decoder) {}
    ~BufferLock() {
        if (decoder_ != nullptr) {
            static_cast<void>(decoder_->unlockBuffer());
        }
    }
    BufferLock(const BufferLock&) = delete;
    BufferLock& operator=(const BufferLock&) = delete;
    void release() {
        check(std::exchange(decoder_, nullptr)->unlockBuffer(), "Releasing decoded M4A audio");
    }

private:
    platform::M4aDecoder* decoder_;
};

}  // namespace

MediaFoundationAudioReader::MediaFoundationAudioReader(const std::filesystem::path& path)
    : MediaFoundationAudioReader(path, platform::createM4aDecoder()) {}

MediaFoundationAudioReader::MediaFoundationAudioReader(const std::filesystem::path& path,
                                                       std::unique_ptr<platform::M4aDecoder> decoder)
    : path_(path) {
    if (!decoder) {
        throw std::invalid_argument("M4A decoder session is missing");
    }
    // The session dies here on every path out, releasing the platform objects.
    const std::unique_ptr<platform::M4aDecoder> session = std::move(decoder);
    decode(*session);
}

void MediaFoundationAudioReader::decode(platform::M4aDecoder& decoder) {
    check(decoder.startup(), "Media Foundation startup");
    check(decoder.openSource(path_), "Opening M4A source");
    check(decoder.deselectAllStreams(), "Deselecting non-audio streams");
    check(decoder.selectFirstAudioStream(), "Selecting M4A audio stream");

    std::string name = "M4A";
    switch (decoder.nativeCodec()) {
        case platform::M4aCodec::Aac:
            name = "M4A / AAC";
            break;
        case platform::M4aCodec::Alac:
            name = "M4A / ALAC";
            break;
        case platform::M4aCodec::Unknown:
            break;
    }

    // Float keeps every decoder's full resolution; integer PCM is the fallback
    // for decoders that only deliver integers.
    check(decoder.createOutputType(), "Creating decoded M4A media type");
    check(decoder.setOutputMajorTypeAudio(), "Selecting audio media type");
    check(decoder.setOutputSampleType(DecodedSampleType::Float), "Selecting floating-point decoder output");
    if (platform::hrFailed(decoder.applyOutputType())) {
        check(decoder.createOutputType(), "Creating decoded PCM media type");
        check(decoder.setOutputMajorTypeAudio(), "Selecting audio media type");
        check(decoder.setOutputSampleType(DecodedSampleType::Pcm), "Selecting decoded PCM output");
        check(decoder.applyOutputType(), "Configuring M4A decoder");
    }

    check(decoder.readCurrentType(), "Reading decoded M4A audio format");
    DecodedSampleType sampleType = DecodedSampleType::Other;
    check(decoder.readCurrentSampleType(sampleType), "Reading decoded M4A sample type");
    if (sampleType != DecodedSampleType::Float && sampleType != DecodedSampleType::Pcm) {
        throw std::runtime_error("Media Foundation returned an unsupported uncompressed M4A sample type");
    }
    const bool isFloat = sampleType == DecodedSampleType::Float;
    const DecodedAudioFormat format = decoder.currentFormat();

    if (format.sampleRate == 0) {
        throw std::runtime_error("M4A decoder returned no sample rate");
    }
    if (format.channels < 1 || format.channels > kMaxChannels) {
        throw std::runtime_error("M4A source must contain between 1 and 8 channels");
    }
    if (format.blockAlignment == 0 || format.blockAlignment % format.channels != 0) {
        throw std::runtime_error("M4A decoder returned invalid PCM alignment");
    }

    SampleBlocks samples;
    for (;;) {
        platform::DecodedRead read;
        check(decoder.readNext(read), "Decoding M4A audio");
        if (read.formatChanged) {
            throw std::runtime_error("M4A decoder changed format during playback preparation");
        }
        if (read.endOfStream) {
            break;
        }
        if (!read.hasSample) {
            continue;
        }
        check(decoder.collectBuffer(), "Collecting decoded M4A audio");
        std::span<const std::byte> bytes;
        check(decoder.lockBuffer(bytes), "Accessing decoded M4A audio");
        BufferLock lock(decoder);
        if (isFloat) {
            appendFloatBuffer(bytes, format, samples);
        } else {
            appendPcmBuffer(bytes, format, samples);
        }
        lock.release();
    }

    if (samples.size() == 0 || samples.size() % format.channels != 0) {
        throw std::runtime_error("M4A source contains no complete decoded audio frames");
    }

    channels_ = static_cast<std::uint16_t>(format.channels);
    sampleRate_ = format.sampleRate;
    frameCount_ = samples.size() / format.channels;
    durationSeconds_ = static_cast<double>(frameCount_) / static_cast<double>(sampleRate_);
    formatName_ = std::move(name);
    // Every PCM buffer passed the precision checks, so the reported bits are 0..32.
    bitDepth_ = static_cast<std::uint16_t>(isFloat ? 32 : reportedIntegerBits(format));
    samples_ = std::move(samples);
}

std::vector<double> MediaFoundationAudioReader::ReadFrames(std::uint64_t startFrame,
                                                          std::uint64_t count) const {
    if (count == 0) {
        return {};
    }
    if (startFrame >= frameCount_) {
        throw std::out_of_range("M4A frame request starts beyond the source");
    }
    if (frameCount_ - startFrame < count) {
        throw std::out_of_range("M4A frame request extends beyond the source");
    }
    constexpr std::uint64_t kSizeLimit = std::numeric_limits<std::size_t>::max();
    if (startFrame > kSizeLimit / channels_) {
        throw std::overflow_error("M4A frame offset exceeds platform limits");
    }
    if (count > kSizeLimit / channels_) {
        throw std::overflow_error("M4A frame request exceeds platform limits");
    }
    std::vector<double> out(static_cast<std::size_t>(count * channels_));
    samples_.copy(startFrame * channels_, out);
    return out;
}

void MediaFoundationAudioReader::SampleBlocks::checkRoom(std::size_t extra) const {
    // The limit of one array of doubles, so that no decoded track is larger
    // than the single array it stands for.
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
    if (extra > kLimit - size_) {
        throw std::overflow_error("Decoded M4A audio is too large for memory");
    }
}

std::span<double> MediaFoundationAudioReader::SampleBlocks::tail(std::size_t wanted) {
    const auto used = static_cast<std::size_t>(size_ % kBlockSamples);
    if (used == 0 && size_ / kBlockSamples == blocks_.size()) {
        blocks_.push_back(std::make_unique_for_overwrite<double[]>(kBlockSamples));
    }
    const std::size_t room = kBlockSamples - used;
    return {blocks_.back().get() + used, wanted < room ? wanted : room};
}

void MediaFoundationAudioReader::SampleBlocks::copy(std::uint64_t first, std::span<double> out) const noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t index = first + done;
        const auto offset = static_cast<std::size_t>(index % kBlockSamples);
        const std::size_t run = std::min(kBlockSamples - offset, out.size() - done);
        std::copy_n(blocks_[static_cast<std::size_t>(index / kBlockSamples)].get() + offset, run, out.data() + done);
        done += run;
    }
}

}  // namespace al::file
