// M4A decoding over FFmpeg (libavformat + libavcodec), presented as the steps
// of a Media Foundation source reader. Failures become the closest HRESULT.

#include "platform/M4aDecoder.h"

#include <stdexcept>

#include "platform/DynamicLibrary.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace al::platform {

namespace {

// FFmpeg is loaded when the first M4A file is opened, not linked: its
// libraries pull in over a hundred others, whose loading and symbol binding
// would cost every start of the program (every encode, every render) tens of
// milliseconds. The headers fix the major versions, so the same ones are
// loaded.
#define AL_FFMPEG_FUNCTIONS          \
    X(av_dict_free)                  \
    X(av_dict_set)                   \
    X(av_frame_alloc)                \
    X(av_frame_free)                 \
    X(av_get_bytes_per_sample)       \
    X(av_log_set_level)              \
    X(av_packet_alloc)               \
    X(av_packet_free)                \
    X(av_packet_unref)               \
    X(av_read_frame)                 \
    X(av_sample_fmt_is_planar)       \
    X(avcodec_alloc_context3)        \
    X(avcodec_find_decoder)          \
    X(avcodec_free_context)          \
    X(avcodec_open2)                 \
    X(avcodec_parameters_to_context) \
    X(avcodec_receive_frame)         \
    X(avcodec_send_packet)           \
    X(avformat_close_input)          \
    X(avformat_find_stream_info)     \
    X(avformat_open_input)

struct FfmpegApi {
#define X(name) decltype(&::name) name = nullptr;
    AL_FFMPEG_FUNCTIONS
#undef X
    DynamicLibrary util;
    DynamicLibrary codec;
    DynamicLibrary format;
    bool loaded = false;

    FfmpegApi() {
        if (!util.open("libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR)) ||
            !codec.open("libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR)) ||
            !format.open("libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR))) {
            return;
        }
        bool all = true;
        const auto find = [&](const char* symbolName) {
            for (const DynamicLibrary* library : {&format, &codec, &util}) {
                if (const LibrarySymbol found = library->symbol(symbolName)) {
                    return found;
                }
            }
            all = false;
            return LibrarySymbol{};
        };
#define X(name) name = reinterpret_cast<decltype(name)>(find(#name));
        AL_FFMPEG_FUNCTIONS
#undef X
        loaded = all;
    }
};

// Loaded once, on first use, and kept for the life of the program (decoders
// may be made from any thread; a function-local static is initialised once).
const FfmpegApi& api() {
    static const FfmpegApi loaded;
    return loaded;
}

// HRESULTs a Media Foundation source reader gives for the same situations.
constexpr HResult kHrPointer = 0x80004003u;             // E_POINTER
constexpr HResult kHrUnexpected = 0x8000FFFFu;          // E_UNEXPECTED
constexpr HResult kHrOutOfMemory = 0x8007000Eu;         // E_OUTOFMEMORY
constexpr HResult kHrFileNotFound = 0x80070002u;        // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr HResult kHrPathNotFound = 0x80070003u;        // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
constexpr HResult kHrAccessDenied = 0x80070005u;        // E_ACCESSDENIED
constexpr HResult kHrUnsupportedByteStream = 0xC00D36C4u;  // MF_E_UNSUPPORTED_BYTESTREAM_TYPE
constexpr HResult kHrInvalidStreamNumber = 0xC00D36B3u;    // MF_E_INVALIDSTREAMNUMBER
constexpr HResult kHrInvalidMediaType = 0xC00D36B4u;       // MF_E_INVALIDMEDIATYPE
constexpr HResult kHrInvalidStreamData = 0xC00D36CBu;      // MF_E_INVALID_STREAM_DATA
constexpr HResult kHrCodecNotFound = 0xC00D5212u;          // MF_E_TOPO_CODEC_NOT_FOUND
constexpr HResult kHrAttributeNotFound = 0xC00D36E6u;      // MF_E_ATTRIBUTENOTFOUND

HResult translate(int error) noexcept {
    if (error == AVERROR(ENOENT)) {
        return kHrFileNotFound;
    }
    if (error == AVERROR(ENOTDIR)) {
        return kHrPathNotFound;
    }
    if (error == AVERROR(EACCES) || error == AVERROR(EPERM) || error == AVERROR(EISDIR)) {
        return kHrAccessDenied;
    }
    if (error == AVERROR(ENOMEM)) {
        return kHrOutOfMemory;
    }
    if (error == AVERROR_INVALIDDATA || error == AVERROR_DEMUXER_NOT_FOUND) {
        return kHrUnsupportedByteStream;
    }
    if (error == AVERROR_DECODER_NOT_FOUND) {
        return kHrCodecNotFound;
    }
    return kHrFail;
}

bool isFloatFormat(AVSampleFormat format) noexcept {
    return format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP;
}

bool isIntegerFormat(AVSampleFormat format) noexcept {
    switch (format) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_U8P:
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
            return true;
        default:
            return false;
    }
}

class FfmpegM4aDecoder final : public M4aDecoder {
public:
    FfmpegM4aDecoder() = default;
    FfmpegM4aDecoder(const FfmpegM4aDecoder&) = delete;
    FfmpegM4aDecoder& operator=(const FfmpegM4aDecoder&) = delete;

    ~FfmpegM4aDecoder() override {
        api().av_frame_free(&frame_);
        api().av_packet_free(&packet_);
        api().avcodec_free_context(&codec_);
        api().avformat_close_input(&input_);
    }

    HResult startup() noexcept override {
        // Decoder chatter on stderr helps nobody; failures come back as codes.
        api().av_log_set_level(AV_LOG_QUIET);
        return kHrOk;
    }

    HResult openSource(const std::filesystem::path& path) noexcept override {
        if (input_ != nullptr) {
            return kHrUnexpected;
        }
        try {
            // Only local MPEG-4 files: no playlists or other demuxers that
            // would follow references to further files or the network.
            AVDictionary* options = nullptr;
            api().av_dict_set(&options, "format_whitelist", "mov,mp4,m4a,3gp,3g2,mj2", 0);
            api().av_dict_set(&options, "protocol_whitelist", "file", 0);
            const std::string url = "file:" + path.string();
            int result = api().avformat_open_input(&input_, url.c_str(), nullptr, &options);
            api().av_dict_free(&options);
            if (result < 0) {
                return translate(result);
            }
            result = api().avformat_find_stream_info(input_, nullptr);
            return result < 0 ? translate(result) : kHrOk;
        } catch (const std::bad_alloc&) {
            return kHrOutOfMemory;
        }
    }

    HResult deselectAllStreams() noexcept override {
        if (input_ == nullptr) {
            return kHrUnexpected;
        }
        for (unsigned i = 0; i < input_->nb_streams; ++i) {
            input_->streams[i]->discard = AVDISCARD_ALL;
        }
        stream_ = nullptr;
        return kHrOk;
    }

    HResult selectFirstAudioStream() noexcept override {
        if (input_ == nullptr) {
            return kHrUnexpected;
        }
        for (unsigned i = 0; i < input_->nb_streams; ++i) {
            if (input_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                stream_ = input_->streams[i];
                stream_->discard = AVDISCARD_DEFAULT;
                return kHrOk;
            }
        }
        return kHrInvalidStreamNumber;
    }

    M4aCodec nativeCodec() noexcept override {
        if (stream_ == nullptr) {
            return M4aCodec::Unknown;
        }
        switch (stream_->codecpar->codec_id) {
            case AV_CODEC_ID_AAC:
                return M4aCodec::Aac;
            case AV_CODEC_ID_ALAC:
                return M4aCodec::Alac;
            default:
                return M4aCodec::Unknown;
        }
    }

    HResult createOutputType() noexcept override {
        requested_ = Requested{};
        requested_.created = true;
        return kHrOk;
    }

    HResult setOutputMajorTypeAudio() noexcept override {
        if (!requested_.created) {
            return kHrPointer;
        }
        requested_.audio = true;
        return kHrOk;
    }

    HResult setOutputSampleType(DecodedSampleType type) noexcept override {
        if (!requested_.created) {
            return kHrPointer;
        }
        requested_.type = type;
        requested_.typeSet = true;
        return kHrOk;
    }

    HResult applyOutputType() noexcept override {
        if (stream_ == nullptr) {
            return kHrInvalidStreamNumber;
        }
        if (!requested_.created || !requested_.audio || !requested_.typeSet) {
            return kHrInvalidMediaType;
        }
        if (codec_ == nullptr) {
            // A decoder that failed to open fails every later negotiation the
            // same way instead of reading on from a half-consumed stream.
            if (hrFailed(codecFailure_)) {
                return codecFailure_;
            }
            codecFailure_ = openCodec();
            if (hrFailed(codecFailure_)) {
                api().avcodec_free_context(&codec_);
                return codecFailure_;
            }
        }
        // The first frame, when there is one, is the truth: some decoders
        // (HE-AAC) learn the final rate only while decoding it.
        const bool fromFrame = primed_ && !endOfStream_;
        const auto format = static_cast<AVSampleFormat>(fromFrame ? frame_->format : codec_->sample_fmt);
        const bool deliverable = (requested_.type == DecodedSampleType::Float && isFloatFormat(format)) ||
                                 (requested_.type == DecodedSampleType::Pcm && isIntegerFormat(format));
        if (!deliverable) {
            return kHrInvalidMediaType;
        }
        current_ = requested_.type;
        currentSet_ = true;
        describe(format, fromFrame ? frame_->sample_rate : codec_->sample_rate,
                 fromFrame ? frame_->ch_layout.nb_channels : codec_->ch_layout.nb_channels);
        return kHrOk;
    }

    HResult readCurrentType() noexcept override { return currentSet_ ? kHrOk : kHrAttributeNotFound; }

    HResult readCurrentSampleType(DecodedSampleType& type) noexcept override {
        if (!currentSet_) {
            return kHrAttributeNotFound;
        }
        type = current_;
        return kHrOk;
    }

    DecodedAudioFormat currentFormat() noexcept override { return format_; }

    HResult readNext(DecodedRead& read) noexcept override {
        read = DecodedRead{};
        delivered_ = false;
        bufferReady_ = false;
        if (!currentSet_) {
            return kHrUnexpected;
        }
        if (!primed_) {
            const HResult next = decodeNextFrame();
            if (hrFailed(next)) {
                return next;
            }
        }
        primed_ = false;
        if (endOfStream_) {
            read.endOfStream = true;
            return kHrOk;
        }
        if (frame_->format != sampleFormat_ || frame_->sample_rate != static_cast<int>(format_.sampleRate) ||
            frame_->ch_layout.nb_channels != static_cast<int>(format_.channels)) {
            read.formatChanged = true;
            return kHrOk;
        }
        try {
            interleave();
        } catch (const std::bad_alloc&) {
            return kHrOutOfMemory;
        }
        read.hasSample = true;
        delivered_ = true;
        return kHrOk;
    }

    HResult collectBuffer() noexcept override {
        if (!delivered_) {
            return kHrPointer;
        }
        bufferReady_ = true;
        return kHrOk;
    }

    HResult lockBuffer(std::span<const std::byte>& bytes) noexcept override {
        if (!bufferReady_) {
            return kHrPointer;
        }
        bytes = std::span<const std::byte>(interleaved_.data(), interleaved_.size());
        return kHrOk;
    }

    HResult unlockBuffer() noexcept override { return bufferReady_ ? kHrOk : kHrPointer; }

private:
    struct Requested {
        bool created = false;
        bool audio = false;
        bool typeSet = false;
        DecodedSampleType type = DecodedSampleType::Other;
    };

    // Opens the stream's decoder and decodes the first frame, which is handed
    // out by the first read: some decoders name their output format only then.
    HResult openCodec() noexcept {
        const AVCodec* decoder = api().avcodec_find_decoder(stream_->codecpar->codec_id);
        if (decoder == nullptr) {
            return kHrCodecNotFound;
        }
        codec_ = api().avcodec_alloc_context3(decoder);
        packet_ = api().av_packet_alloc();
        frame_ = api().av_frame_alloc();
        if (codec_ == nullptr || packet_ == nullptr || frame_ == nullptr) {
            return kHrOutOfMemory;
        }
        int result = api().avcodec_parameters_to_context(codec_, stream_->codecpar);
        if (result < 0) {
            return translate(result);
        }
        codec_->pkt_timebase = stream_->time_base;
        result = api().avcodec_open2(codec_, decoder, nullptr);
        if (result < 0) {
            return translate(result);
        }
        const HResult first = decodeNextFrame();
        if (hrFailed(first)) {
            return first;
        }
        primed_ = true;
        return kHrOk;
    }

    void describe(AVSampleFormat format, int rate, int channels) noexcept {
        sampleFormat_ = format;
        const int bytes = api().av_get_bytes_per_sample(format);
        format_ = DecodedAudioFormat{};
        format_.sampleRate = rate > 0 ? static_cast<std::uint32_t>(rate) : 0;
        format_.channels = channels > 0 ? static_cast<std::uint32_t>(channels) : 0;
        format_.bitsPerSample = static_cast<std::uint32_t>(bytes * 8);
        format_.blockAlignment = format_.channels * static_cast<std::uint32_t>(bytes);
        // Integer decoders that fill only the high bits of a wider slot (ALAC
        // at 20 or 24 bits in 32-bit samples) report their true precision.
        const int raw = codec_->bits_per_raw_sample;
        if (isIntegerFormat(format) && raw > 0 && raw <= bytes * 8) {
            format_.validBitsPerSample = static_cast<std::uint32_t>(raw);
        }
    }

    // Leaves the next decoded frame in frame_, or sets endOfStream_.
    HResult decodeNextFrame() noexcept {
        for (;;) {
            const int received = api().avcodec_receive_frame(codec_, frame_);
            if (received >= 0) {
                return kHrOk;
            }
            if (received == AVERROR_EOF) {
                endOfStream_ = true;
                return kHrOk;
            }
            if (received != AVERROR(EAGAIN)) {
                return received == AVERROR_INVALIDDATA ? kHrInvalidStreamData : translate(received);
            }
            const HResult fed = feedPacket();
            if (hrFailed(fed)) {
                return fed;
            }
        }
    }

    HResult feedPacket() noexcept {
        for (;;) {
            const int result = api().av_read_frame(input_, packet_);
            if (result == AVERROR_EOF) {
                // Drain what the decoder still holds.
                const int flushed = api().avcodec_send_packet(codec_, nullptr);
                return flushed < 0 && flushed != AVERROR_EOF ? translate(flushed) : kHrOk;
            }
            if (result < 0) {
                return translate(result);
            }
            if (packet_->stream_index != stream_->index) {
                api().av_packet_unref(packet_);
                continue;
            }
            const int sent = api().avcodec_send_packet(codec_, packet_);
            api().av_packet_unref(packet_);
            if (sent < 0) {
                return sent == AVERROR_INVALIDDATA ? kHrInvalidStreamData : translate(sent);
            }
            return kHrOk;
        }
    }

    // Copies the frame into one little-endian interleaved buffer.
    void interleave() {
        const auto format = static_cast<AVSampleFormat>(frame_->format);
        const std::size_t width = static_cast<std::size_t>(api().av_get_bytes_per_sample(format));
        const std::size_t channels = static_cast<std::size_t>(frame_->ch_layout.nb_channels);
        const std::size_t frames = frame_->nb_samples > 0 ? static_cast<std::size_t>(frame_->nb_samples) : 0;
        interleaved_.resize(frames * channels * width);
        auto* out = interleaved_.data();
        if (api().av_sample_fmt_is_planar(format) == 0) {
            std::memcpy(out, frame_->extended_data[0], interleaved_.size());
        } else {
            for (std::size_t c = 0; c < channels; ++c) {
                const auto* plane = reinterpret_cast<const std::byte*>(frame_->extended_data[c]);
                for (std::size_t i = 0; i < frames; ++i) {
                    std::memcpy(out + (i * channels + c) * width, plane + i * width, width);
                }
            }
        }
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < interleaved_.size(); i += width) {
                std::reverse(out + i, out + i + width);
            }
        }
    }

    AVFormatContext* input_ = nullptr;
    AVStream* stream_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    Requested requested_;
    bool currentSet_ = false;
    DecodedSampleType current_ = DecodedSampleType::Other;
    AVSampleFormat sampleFormat_ = AV_SAMPLE_FMT_NONE;
    DecodedAudioFormat format_;
    HResult codecFailure_ = kHrOk;
    bool primed_ = false;       // frame_ holds a decoded frame not yet handed out
    bool endOfStream_ = false;  // the decoder has nothing more
    bool delivered_ = false;
    bool bufferReady_ = false;
    std::vector<std::byte> interleaved_;
};

}  // namespace

bool m4aDecoderAvailable() noexcept {
    try {
        return api().loaded;
    } catch (...) {
        return false;
    }
}

std::unique_ptr<M4aDecoder> createM4aDecoder() {
    if (!api().loaded) {
        throw std::runtime_error(
            "M4A support is unavailable because FFmpeg (libavformat.so." AV_STRINGIFY(
                LIBAVFORMAT_VERSION_MAJOR) ", libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR) ") is "
            "missing on the system");
    }
    return std::make_unique<FfmpegM4aDecoder>();
}

}  // namespace al::platform
