#pragma once
// The platform's M4A (AAC or ALAC in an MPEG-4 container) decoder, shaped like
// a Media Foundation source reader: the caller drives it step by step and names
// each step in its own words, so the checks, conversions and messages of the
// M4A reader are written once over every platform.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace al::platform {

// Result of one decoder step as an HRESULT bit pattern. Failure codes have the
// top bit set; success is 0 (or another code without the top bit). Decoders
// that are not Media Foundation translate their failures to the closest
// HRESULT, 0x80004005 (E_FAIL) when nothing closer fits.
using HResult = std::uint32_t;

inline constexpr HResult kHrOk = 0;
inline constexpr HResult kHrFail = 0x80004005u;

constexpr bool hrFailed(HResult code) noexcept { return (code & 0x80000000u) != 0; }

// Codec of the first audio stream as stored in the file.
enum class M4aCodec { Unknown, Aac, Alac };

// Uncompressed sample types the caller may ask for or be handed.
enum class DecodedSampleType {
    Float,  // 32-bit IEEE float, little-endian
    Pcm,    // little-endian two's complement integers (8-bit: unsigned, offset 128)
    Other,  // anything else the decoder reports
};

// The 32-bit attributes of the decoder's current output type; an attribute the
// decoder does not report reads as 0.
struct DecodedAudioFormat {
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerSample = 0;
    std::uint32_t validBitsPerSample = 0;
    std::uint32_t blockAlignment = 0;  // bytes per interleaved frame
};

// What one read delivered.
struct DecodedRead {
    bool endOfStream = false;
    bool formatChanged = false;  // the output type changed since it was read
    bool hasSample = false;      // a buffer of interleaved frames is ready
};

// One decoding session over one file. The caller calls the steps in this
// order: startup, openSource, deselectAllStreams, selectFirstAudioStream,
// nativeCodec, then one or more output-type negotiations (createOutputType,
// setOutputMajorTypeAudio, setOutputSampleType, applyOutputType), then
// readCurrentType, readCurrentSampleType, currentFormat, and finally readNext
// until end of stream, with collectBuffer, lockBuffer and unlockBuffer for
// each delivered sample. Every step returns its HRESULT and never throws.
// Destruction releases every platform object in reverse order of acquisition
// and shuts the platform decoder down, whatever step was reached (a locked
// buffer is unlocked first).
//
// Not thread-safe: one thread creates, drives and destroys a decoder.
class M4aDecoder {
public:
    virtual ~M4aDecoder() = default;

    // Starts the platform's decoding framework.
    virtual HResult startup() noexcept = 0;
    // Opens the file for reading.
    virtual HResult openSource(const std::filesystem::path& path) noexcept = 0;
    virtual HResult deselectAllStreams() noexcept = 0;
    virtual HResult selectFirstAudioStream() noexcept = 0;
    // Codec of the first audio stream; Unknown when it cannot be read.
    virtual M4aCodec nativeCodec() noexcept = 0;

    // Builds a new requested output type: create it, set the major type, set
    // the sample type, then ask the decoder to make it current. Applying a type
    // the decoder cannot deliver fails without harming the session, so the
    // caller may negotiate again with another sample type.
    virtual HResult createOutputType() noexcept = 0;
    virtual HResult setOutputMajorTypeAudio() noexcept = 0;
    virtual HResult setOutputSampleType(DecodedSampleType type) noexcept = 0;
    virtual HResult applyOutputType() noexcept = 0;

    // Reads the current output type, then its sample type and attributes.
    virtual HResult readCurrentType() noexcept = 0;
    virtual HResult readCurrentSampleType(DecodedSampleType& type) noexcept = 0;
    virtual DecodedAudioFormat currentFormat() noexcept = 0;

    // Reads the next sample of the selected stream (releasing the previous one).
    virtual HResult readNext(DecodedRead& read) noexcept = 0;
    // Makes the delivered sample's data one contiguous buffer.
    virtual HResult collectBuffer() noexcept = 0;
    // Locks that buffer; bytes stays valid until unlockBuffer or the next read.
    virtual HResult lockBuffer(std::span<const std::byte>& bytes) noexcept = 0;
    virtual HResult unlockBuffer() noexcept = 0;
};

// Whether this build has an M4A decoder at all.
bool m4aDecoderAvailable() noexcept;

// A fresh decoding session. Throws std::runtime_error with an orderly message
// when the build has no M4A decoder.
std::unique_ptr<M4aDecoder> createM4aDecoder();

}  // namespace al::platform
