// M4A decoding through the Media Foundation source reader. Kept in its own
// translation unit: the Media Foundation headers clash with some others.

#include "platform/M4aDecoder.h"

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <mfreadwrite.h>
#include <objbase.h>

namespace al::platform {

namespace {

HResult toCode(HRESULT hr) noexcept { return static_cast<HResult>(hr); }

// Media subtypes are FOURCC or wave-format tags on the common media GUID
// suffix; the two stored codecs are spelled out here so that the answer does
// not depend on how complete the SDK's import library is.
constexpr GUID mediaSubtype(unsigned long tag) noexcept {
    return GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr GUID kSubtypeAac = mediaSubtype(0x1610);    // WAVE_FORMAT_MPEG_HEAAC
constexpr GUID kSubtypeAlac = mediaSubtype(0x6C61);   // WAVE_FORMAT_ALAC
constexpr GUID kSubtypeFloat = mediaSubtype(0x0003);  // WAVE_FORMAT_IEEE_FLOAT
constexpr GUID kSubtypePcm = mediaSubtype(0x0001);    // WAVE_FORMAT_PCM

constexpr DWORD kFirstAudioStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
constexpr DWORD kAllStreams = static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS);

// Owns one COM reference.
template <typename T>
class ComRef {
public:
    ComRef() noexcept = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T** put() noexcept {
        reset();
        return &pointer_;
    }
    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }
    void reset() noexcept {
        if (pointer_ != nullptr) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }

private:
    T* pointer_ = nullptr;
};

class MediaFoundationM4aDecoder final : public M4aDecoder {
public:
    MediaFoundationM4aDecoder() = default;
    MediaFoundationM4aDecoder(const MediaFoundationM4aDecoder&) = delete;
    MediaFoundationM4aDecoder& operator=(const MediaFoundationM4aDecoder&) = delete;

    ~MediaFoundationM4aDecoder() override {
        releaseSample();
        current_.reset();
        requested_.reset();
        reader_.reset();
        if (started_) {
            ::MFShutdown();
        }
        if (comInitialised_) {
            ::CoUninitialize();
        }
    }

    HResult startup() noexcept override {
        // The source reader creates its decoders through COM. A thread that
        // already runs COM in another apartment keeps it (RPC_E_CHANGED_MODE).
        comInitialised_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        const HRESULT hr = ::MFStartup(MF_VERSION, MFSTARTUP_LITE);
        started_ = SUCCEEDED(hr);
        return toCode(hr);
    }

    HResult openSource(const std::filesystem::path& path) noexcept override {
        return toCode(::MFCreateSourceReaderFromURL(path.c_str(), nullptr, reader_.put()));
    }

    HResult deselectAllStreams() noexcept override {
        if (!reader_) {
            return toCode(E_POINTER);
        }
        return toCode(reader_->SetStreamSelection(kAllStreams, FALSE));
    }

    HResult selectFirstAudioStream() noexcept override {
        if (!reader_) {
            return toCode(E_POINTER);
        }
        return toCode(reader_->SetStreamSelection(kFirstAudioStream, TRUE));
    }

    M4aCodec nativeCodec() noexcept override {
        if (!reader_) {
            return M4aCodec::Unknown;
        }
        ComRef<IMFMediaType> native;
        if (FAILED(reader_->GetNativeMediaType(kFirstAudioStream, 0, native.put()))) {
            return M4aCodec::Unknown;
        }
        GUID subtype{};
        if (FAILED(native->GetGUID(MF_MT_SUBTYPE, &subtype))) {
            return M4aCodec::Unknown;
        }
        if (IsEqualGUID(subtype, kSubtypeAac)) {
            return M4aCodec::Aac;
        }
        if (IsEqualGUID(subtype, kSubtypeAlac)) {
            return M4aCodec::Alac;
        }
        return M4aCodec::Unknown;
    }

    HResult createOutputType() noexcept override { return toCode(::MFCreateMediaType(requested_.put())); }

    HResult setOutputMajorTypeAudio() noexcept override {
        if (!requested_) {
            return toCode(E_POINTER);
        }
        return toCode(requested_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio));
    }

    HResult setOutputSampleType(DecodedSampleType type) noexcept override {
        if (!requested_) {
            return toCode(E_POINTER);
        }
        switch (type) {
            case DecodedSampleType::Float:
                return toCode(requested_->SetGUID(MF_MT_SUBTYPE, kSubtypeFloat));
            case DecodedSampleType::Pcm:
                return toCode(requested_->SetGUID(MF_MT_SUBTYPE, kSubtypePcm));
            case DecodedSampleType::Other:
                break;
        }
        return toCode(E_INVALIDARG);
    }

    HResult applyOutputType() noexcept override {
        if (!reader_ || !requested_) {
            return toCode(E_POINTER);
        }
        return toCode(reader_->SetCurrentMediaType(kFirstAudioStream, nullptr, requested_.get()));
    }

    HResult readCurrentType() noexcept override {
        if (!reader_) {
            return toCode(E_POINTER);
        }
        return toCode(reader_->GetCurrentMediaType(kFirstAudioStream, current_.put()));
    }

    HResult readCurrentSampleType(DecodedSampleType& type) noexcept override {
        if (!current_) {
            return toCode(E_POINTER);
        }
        GUID subtype{};
        const HRESULT hr = current_->GetGUID(MF_MT_SUBTYPE, &subtype);
        if (FAILED(hr)) {
            return toCode(hr);
        }
        if (IsEqualGUID(subtype, kSubtypeFloat)) {
            type = DecodedSampleType::Float;
        } else if (IsEqualGUID(subtype, kSubtypePcm)) {
            type = DecodedSampleType::Pcm;
        } else {
            type = DecodedSampleType::Other;
        }
        return toCode(hr);
    }

    DecodedAudioFormat currentFormat() noexcept override {
        DecodedAudioFormat format;
        format.sampleRate = attribute(MF_MT_AUDIO_SAMPLES_PER_SECOND);
        format.channels = attribute(MF_MT_AUDIO_NUM_CHANNELS);
        format.bitsPerSample = attribute(MF_MT_AUDIO_BITS_PER_SAMPLE);
        format.validBitsPerSample = attribute(MF_MT_AUDIO_VALID_BITS_PER_SAMPLE);
        format.blockAlignment = attribute(MF_MT_AUDIO_BLOCK_ALIGNMENT);
        return format;
    }

    HResult readNext(DecodedRead& read) noexcept override {
        read = DecodedRead{};
        releaseSample();
        if (!reader_) {
            return toCode(E_POINTER);
        }
        DWORD stream = 0;
        DWORD flags = 0;
        LONGLONG timestamp = 0;
        const HRESULT hr = reader_->ReadSample(kFirstAudioStream, 0, &stream, &flags, &timestamp, sample_.put());
        if (FAILED(hr)) {
            return toCode(hr);
        }
        // A stream error without a failing result would otherwise read forever.
        if ((flags & MF_SOURCE_READERF_ERROR) != 0) {
            return toCode(E_FAIL);
        }
        read.formatChanged = (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) != 0;
        read.endOfStream = (flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0;
        read.hasSample = static_cast<bool>(sample_);
        return toCode(hr);
    }

    HResult collectBuffer() noexcept override {
        if (!sample_) {
            return toCode(E_POINTER);
        }
        if (locked_) {
            buffer_->Unlock();
            locked_ = false;
        }
        return toCode(sample_->ConvertToContiguousBuffer(buffer_.put()));
    }

    HResult lockBuffer(std::span<const std::byte>& bytes) noexcept override {
        if (!buffer_) {
            return toCode(E_POINTER);
        }
        BYTE* data = nullptr;
        DWORD length = 0;
        const HRESULT hr = buffer_->Lock(&data, nullptr, &length);
        if (FAILED(hr)) {
            return toCode(hr);
        }
        locked_ = true;
        bytes = std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), length);
        return toCode(hr);
    }

    HResult unlockBuffer() noexcept override {
        if (!buffer_ || !locked_) {
            return toCode(E_POINTER);
        }
        locked_ = false;
        return toCode(buffer_->Unlock());
    }

private:
    std::uint32_t attribute(REFGUID key) const noexcept {
        UINT32 value = 0;
        if (!current_ || FAILED(current_->GetUINT32(key, &value))) {
            return 0;
        }
        return value;
    }

    void releaseSample() noexcept {
        if (locked_) {
            buffer_->Unlock();
            locked_ = false;
        }
        buffer_.reset();
        sample_.reset();
    }

    bool comInitialised_ = false;
    bool started_ = false;
    ComRef<IMFSourceReader> reader_;
    ComRef<IMFMediaType> requested_;
    ComRef<IMFMediaType> current_;
    ComRef<IMFSample> sample_;
    ComRef<IMFMediaBuffer> buffer_;
    bool locked_ = false;
};

}  // namespace

bool m4aDecoderAvailable() noexcept { return true; }

std::unique_ptr<M4aDecoder> createM4aDecoder() { return std::make_unique<MediaFoundationM4aDecoder>(); }

}  // namespace al::platform
