// M4A decoding over FFmpeg (libavformat + libavcodec), presented as the steps
// of a Media Foundation source reader. Failures become the closest HRESULT.
//
// The libraries are opened when the first M4A file is, not when the program
// starts: linked in directly they pull in well over a hundred shared objects
// whose loading and relocation every run paid for, M4A or not.

#include "platform/M4aDecoder.h"

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
#include <stdexcept>
#include <string>
#include <vector>

namespace al::platform {

namespace {

// The FFmpeg functions this decoder calls, from the libraries of the major
// versions its headers describe (the structures it reads are theirs).
struct FfmpegApi {
    decltype(&::av_dict_free) av_dict_free = nullptr;
    decltype(&::av_dict_set) av_dict_set = nullptr;
    decltype(&::av_frame_alloc) av_frame_alloc = nullptr;
    decltype(&::av_frame_free) av_frame_free = nullptr;
    decltype(&::av_get_bytes_per_sample) av_get_bytes_per_sample = nullptr;
    decltype(&::av_log_set_level) av_log_set_level = nullptr;
    decltype(&::av_packet_alloc) av_packet_alloc = nullptr;
    decltype(&::av_packet_free) av_packet_free = nullptr;
    decltype(&::av_packet_unref) av_packet_unref = nullptr;
    decltype(&::av_read_frame) av_read_frame = nullptr;
    decltype(&::av_sample_fmt_is_planar) av_sample_fmt_is_planar = nullptr;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3 = nullptr;
    decltype(&::avcodec_find_decoder) avcodec_find_decoder = nullptr;
    decltype(&::avcodec_free_context) avcodec_free_context = nullptr;
    decltype(&::avcodec_open2) avcodec_open2 = nullptr;
    decltype(&::avcodec_parameters_to_context) avcodec_parameters_to_context = nullptr;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame = nullptr;
    decltype(&::avcodec_send_packet) avcodec_send_packet = nullptr;
    decltype(&::avformat_close_input) avformat_close_input = nullptr;
    decltype(&::avformat_find_stream_info) avformat_find_stream_info = nullptr;
    decltype(&::avformat_open_input) avformat_open_input = nullptr;
};

// The sonames of the libraries these headers describe (packaging names the
// same ones from the same headers' versions).
#define AL_SONAME_TEXT(major) #major
#define AL_SONAME(name, major) "lib" name ".so." AL_SONAME_TEXT(major)
constexpr const char* kAvutil = AL_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR);
constexpr const char* kAvcodec = AL_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR);
constexpr const char* kAvformat = AL_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR);
#undef AL_SONAME
#undef AL_SONAME_TEXT

struct FfmpegLibraries {
    DynamicLibrary libAvutil;
    DynamicLibrary libAvcodec;
    DynamicLibrary libAvformat;
    FfmpegApi api;
    std::string missing;  // empty once every function is found
};

// Looks a function up by its own name; false when the library lacks it.
template <typename Function>
bool bind(Function& slot, const DynamicLibrary& library, const char* name) noexcept {
    slot = reinterpret_cast<Function>(library.symbol(name));
    return slot != nullptr;
}

// Opened once, on first use, and kept for the rest of the run. Any thread.
const FfmpegLibraries& ffmpegLibraries() {
    // Never unloaded: FFmpeg keeps one-time allocations in its own globals,
    // which closing the libraries at exit would turn into leaks.
    static const FfmpegLibraries& loaded = *[] {
        auto* libraries = new FfmpegLibraries;
        FfmpegLibraries& l = *libraries;
        const std::string avutil = kAvutil;
        const std::string avcodec = kAvcodec;
        const std::string avformat = kAvformat;
        if (!l.libAvutil.open(avutil)) {
            l.missing = avutil;
        } else if (!l.libAvcodec.open(avcodec)) {
            l.missing = avcodec;
        } else if (!l.libAvformat.open(avformat)) {
            l.missing = avformat;
        }
        if (!l.missing.empty()) {
            return libraries;
        }
        bool complete = true;
        complete &= bind(l.api.av_dict_free, l.libAvutil, "av_dict_free");
        complete &= bind(l.api.av_dict_set, l.libAvutil, "av_dict_set");
        complete &= bind(l.api.av_frame_alloc, l.libAvutil, "av_frame_alloc");
        complete &= bind(l.api.av_frame_free, l.libAvutil, "av_frame_free");
        complete &= bind(l.api.av_get_bytes_per_sample, l.libAvutil, "av_get_bytes_per_sample");
        complete &= bind(l.api.av_log_set_level, l.libAvutil, "av_log_set_level");
        complete &= bind(l.api.av_sample_fmt_is_planar, l.libAvutil, "av_sample_fmt_is_planar");
        complete &= bind(l.api.av_packet_alloc, l.libAvcodec, "av_packet_alloc");
        complete &= bind(l.api.av_packet_free, l.libAvcodec, "av_packet_free");
        complete &= bind(l.api.av_packet_unref, l.libAvcodec, "av_packet_unref");
        complete &= bind(l.api.avcodec_alloc_context3, l.libAvcodec, "avcodec_alloc_context3");
        complete &= bind(l.api.avcodec_find_decoder, l.libAvcodec, "avcodec_find_decoder");
        complete &= bind(l.api.avcodec_free_context, l.libAvcodec, "avcodec_free_context");
        complete &= bind(l.api.avcodec_open2, l.libAvcodec, "avcodec_open2");
        complete &= bind(l.api.avcodec_parameters_to_context, l.libAvcodec,
                         "avcodec_parameters_to_context");
        complete &= bind(l.api.avcodec_receive_frame, l.libAvcodec, "avcodec_receive_frame");
        complete &= bind(l.api.avcodec_send_packet, l.libAvcodec, "avcodec_send_packet");
        complete &= bind(l.api.av_read_frame, l.libAvformat, "av_read_frame");
        complete &= bind(l.api.avformat_close_input, l.libAvformat, "avformat_close_input");
        complete &=
            bind(l.api.avformat_find_stream_info, l.libAvformat, "avformat_find_stream_info");
        complete &= bind(l.api.avformat_open_input, l.libAvformat, "avformat_open_input");
        if (!complete) {
            l.missing = avformat + " with every function this program needs";
        }
        return libraries;
    }();
    return loaded;
}

const FfmpegApi& ffmpeg() noexcept {
    return ffmpegLibraries().api;
}

// HRESULTs a Media Foundation source reader gives for the same situations.
constexpr HResult kHrPointer = 0x80004003u;       // E_POINTER
constexpr HResult kHrUnexpected = 0x8000FFFFu;    // E_UNEXPECTED
constexpr HResult kHrOutOfMemory = 0x8007000Eu;   // E_OUTOFMEMORY
constexpr HResult kHrFileNotFound = 0x80070002u;  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr HResult kHrPathNotFound = 0x80070003u;  // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
constexpr HResult kHrAccessDenied = 0x80070005u;  // E_ACCESSDENIED
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
        ffmpeg().av_frame_free(&frame_);
        ffmpeg().av_packet_free(&packet_);
        ffmpeg().avcodec_free_context(&codec_);
        ffmpeg().avformat_close_input(&input_);
    }

    HResult startup() noexcept override {
        // Decoder chatter on stderr helps nobody; failures come back as codes.
        ffmpeg().av_log_set_level(AV_LOG_QUIET);
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
            ffmpeg().av_dict_set(&options, "format_whitelist", "mov,mp4,m4a,3gp,3g2,mj2", 0);
            ffmpeg().av_dict_set(&options, "protocol_whitelist", "file", 0);
            const std::string url = "file:" + path.string();
            int result = ffmpeg().avformat_open_input(&input_, url.c_str(), nullptr, &options);
            ffmpeg().av_dict_free(&options);
            if (result < 0) {
                return translate(result);
            }
            result = ffmpeg().avformat_find_stream_info(input_, nullptr);
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
                ffmpeg().avcodec_free_context(&codec_);
                return codecFailure_;
            }
        }
        // The first frame, when there is one, is the truth: some decoders
        // (HE-AAC) learn the final rate only while decoding it.
        const bool fromFrame = primed_ && !endOfStream_;
        const auto format =
            static_cast<AVSampleFormat>(fromFrame ? frame_->format : codec_->sample_fmt);
        const bool deliverable =
            (requested_.type == DecodedSampleType::Float && isFloatFormat(format)) ||
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

    HResult readCurrentType() noexcept override {
        return currentSet_ ? kHrOk : kHrAttributeNotFound;
    }

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
        if (frame_->format != sampleFormat_ ||
            frame_->sample_rate != static_cast<int>(format_.sampleRate) ||
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
        const AVCodec* decoder = ffmpeg().avcodec_find_decoder(stream_->codecpar->codec_id);
        if (decoder == nullptr) {
            return kHrCodecNotFound;
        }
        codec_ = ffmpeg().avcodec_alloc_context3(decoder);
        packet_ = ffmpeg().av_packet_alloc();
        frame_ = ffmpeg().av_frame_alloc();
        if (codec_ == nullptr || packet_ == nullptr || frame_ == nullptr) {
            return kHrOutOfMemory;
        }
        int result = ffmpeg().avcodec_parameters_to_context(codec_, stream_->codecpar);
        if (result < 0) {
            return translate(result);
        }
        codec_->pkt_timebase = stream_->time_base;
        result = ffmpeg().avcodec_open2(codec_, decoder, nullptr);
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
        const int bytes = ffmpeg().av_get_bytes_per_sample(format);
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
            const int received = ffmpeg().avcodec_receive_frame(codec_, frame_);
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
            const int result = ffmpeg().av_read_frame(input_, packet_);
            if (result == AVERROR_EOF) {
                // Drain what the decoder still holds.
                const int flushed = ffmpeg().avcodec_send_packet(codec_, nullptr);
                return flushed < 0 && flushed != AVERROR_EOF ? translate(flushed) : kHrOk;
            }
            if (result < 0) {
                return translate(result);
            }
            if (packet_->stream_index != stream_->index) {
                ffmpeg().av_packet_unref(packet_);
                continue;
            }
            const int sent = ffmpeg().avcodec_send_packet(codec_, packet_);
            ffmpeg().av_packet_unref(packet_);
            if (sent < 0) {
                return sent == AVERROR_INVALIDDATA ? kHrInvalidStreamData : translate(sent);
            }
            return kHrOk;
        }
    }

    // Copies the frame into one little-endian interleaved buffer.
    void interleave() {
        const auto format = static_cast<AVSampleFormat>(frame_->format);
        const std::size_t width =
            static_cast<std::size_t>(ffmpeg().av_get_bytes_per_sample(format));
        const std::size_t channels = static_cast<std::size_t>(frame_->ch_layout.nb_channels);
        const std::size_t frames =
            frame_->nb_samples > 0 ? static_cast<std::size_t>(frame_->nb_samples) : 0;
        interleaved_.resize(frames * channels * width);
        auto* out = interleaved_.data();
        if (ffmpeg().av_sample_fmt_is_planar(format) == 0) {
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
        return ffmpegLibraries().missing.empty();
    } catch (...) {
        return false;
    }
}

std::unique_ptr<M4aDecoder> createM4aDecoder() {
    const FfmpegLibraries& libraries = ffmpegLibraries();
    if (!libraries.missing.empty()) {
        throw std::runtime_error("M4A support is unavailable because " + libraries.missing +
                                 " is missing on the system");
    }
    return std::make_unique<FfmpegM4aDecoder>();
}

}  // namespace al::platform
