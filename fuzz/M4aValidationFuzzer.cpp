// The M4A reader's own checks of what the platform decoder hands back: a
// decoder scripted by the input reports arbitrary step results, sample types,
// formats and buffers, and the reader must refuse or decode without reading
// past a buffer, overflowing a count or holding a locked buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include "decoders/MediaFoundationAudioReader.h"
#include "platform/M4aDecoder.h"

namespace {

using namespace al::platform;

struct Session {
    int locked = 0;
    bool destroyed = false;
};

class FuzzedDecoder final : public M4aDecoder {
  public:
    FuzzedDecoder(FuzzedDataProvider& input, Session& session) : in_(input), session_(session) {}
    ~FuzzedDecoder() override { session_.destroyed = true; }

    HResult startup() noexcept override { return step(); }
    HResult openSource(const std::filesystem::path&) noexcept override { return step(); }
    HResult deselectAllStreams() noexcept override { return step(); }
    HResult selectFirstAudioStream() noexcept override { return step(); }
    M4aCodec nativeCodec() noexcept override {
        return in_.PickValueInArray({M4aCodec::Unknown, M4aCodec::Aac, M4aCodec::Alac});
    }
    HResult createOutputType() noexcept override { return step(); }
    HResult setOutputMajorTypeAudio() noexcept override { return step(); }
    HResult setOutputSampleType(DecodedSampleType) noexcept override { return step(); }
    HResult applyOutputType() noexcept override { return step(); }
    HResult readCurrentType() noexcept override { return step(); }
    HResult readCurrentSampleType(DecodedSampleType& type) noexcept override {
        type = in_.PickValueInArray(
            {DecodedSampleType::Float, DecodedSampleType::Pcm, DecodedSampleType::Other});
        return step();
    }
    DecodedAudioFormat currentFormat() noexcept override {
        DecodedAudioFormat f;
        // Mostly plausible values, sometimes anything at all.
        const bool wild = in_.ConsumeIntegralInRange<int>(0, 7) == 0;
        f.sampleRate = wild ? in_.ConsumeIntegral<std::uint32_t>()
                            : in_.PickValueInArray({0u, 8000u, 44100u, 48000u, 192000u});
        f.channels =
            wild ? in_.ConsumeIntegral<std::uint32_t>() : in_.ConsumeIntegralInRange(0u, 9u);
        f.bitsPerSample = wild ? in_.ConsumeIntegral<std::uint32_t>()
                               : in_.PickValueInArray({0u, 8u, 16u, 20u, 24u, 32u, 64u});
        f.validBitsPerSample =
            wild ? in_.ConsumeIntegral<std::uint32_t>() : in_.ConsumeIntegralInRange(0u, 33u);
        f.blockAlignment =
            wild ? in_.ConsumeIntegral<std::uint32_t>() : in_.ConsumeIntegralInRange(0u, 40u);
        return f;
    }
    HResult readNext(DecodedRead& read) noexcept override {
        read = DecodedRead{};
        if (in_.remaining_bytes() == 0 || ++reads_ > 64) {
            read.endOfStream = true;
        } else {
            const auto flags = in_.ConsumeIntegral<std::uint8_t>();
            read.endOfStream = (flags & 0x30) == 0x30;
            read.formatChanged = (flags & 0x40) != 0 && (flags & 0x0F) == 0;
            read.hasSample = (flags & 0x80) == 0;
        }
        return step();
    }
    HResult collectBuffer() noexcept override { return step(); }
    HResult lockBuffer(std::span<const std::byte>& bytes) noexcept override {
        const auto length = in_.ConsumeIntegralInRange<std::size_t>(0, 4096);
        buffer_ = in_.ConsumeBytes<std::byte>(length);
        bytes = buffer_;
        const HResult code = step();
        if (!hrFailed(code))
            ++session_.locked;
        return code;
    }
    HResult unlockBuffer() noexcept override {
        --session_.locked;
        return step();
    }

  private:
    HResult step() noexcept {
        // One step in 32 fails, with an error or an unusual success code.
        if (in_.ConsumeIntegralInRange<int>(0, 31) != 0)
            return kHrOk;
        return in_.PickValueInArray<HResult>({kHrFail, 0xC00D36B4u, 0x80070057u, 0x00000001u});
    }

    FuzzedDataProvider& in_;
    Session& session_;
    std::vector<std::byte> buffer_;
    int reads_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Session session;
    try {
        const al::file::MediaFoundationAudioReader reader(
            "fuzz.m4a", std::make_unique<FuzzedDecoder>(input, session));
        const std::uint64_t frames = reader.frameCount();
        if (frames > 0) {
            (void)reader.ReadFrames(0, frames < 64 ? frames : 64);
            (void)reader.ReadFrames(frames - 1, 1);
        }
    } catch (const std::exception&) {
    }
    // The session must be released, and no buffer left locked, however the
    // decode ended.
    if (!session.destroyed || session.locked > 0)
        std::abort();
    return 0;
}
