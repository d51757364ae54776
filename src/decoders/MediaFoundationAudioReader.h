#pragma once
// M4A (AAC or ALAC) files decoded whole by the platform's decoder.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "decoders/AudioFileReader.h"
#include "platform/M4aDecoder.h"

namespace al::file {

// An M4A file decoded completely into memory when it is opened, as
// interleaved doubles in -1..+1; reads copy from that array.
//
// The constructor drives the platform decoder on the calling thread and
// throws on any failure: a failed decoder step as "<step> failed (HRESULT
// 0x<HEX>)", bad decoded data with its own message. The decoder session is
// released before the constructor returns or throws. After construction the
// reader is immutable; every method may be called from any thread at once.
class MediaFoundationAudioReader final : public AudioFileReader {
public:
    // Decodes the file with the platform's decoder. Throws std::runtime_error
    // when the platform has none.
    explicit MediaFoundationAudioReader(const std::filesystem::path& path);
    // Decodes the file with the given decoder session (consumed).
    MediaFoundationAudioReader(const std::filesystem::path& path,
                               std::unique_ptr<platform::M4aDecoder> decoder);

    std::uint16_t channelCount() const noexcept override { return channels_; }
    std::uint32_t sampleRate() const noexcept override { return sampleRate_; }
    // 32 for floating-point output; otherwise the decoder's valid bits, else
    // its bits per sample, else 0.
    std::uint16_t bitDepth() const noexcept override { return bitDepth_; }
    std::uint64_t frameCount() const noexcept override { return frameCount_; }
    double durationSeconds() const noexcept override { return durationSeconds_; }
    // "M4A / AAC", "M4A / ALAC" or "M4A" when the decoder does not name the codec.
    std::string formatLabel() const override { return formatName_; }

    const std::filesystem::path& path() const noexcept { return path_; }

    // Throws std::out_of_range for a range outside the track and
    // std::overflow_error when the range cannot be addressed.
    std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const override;

    // The decoded track, interleaved, in fixed-size blocks: appending never
    // moves or zero-fills what is stored, and the memory held is what the
    // samples need (a doubling array would copy the track and hold up to
    // twice its size). Not thread-safe while being filled.
    class SampleBlocks {
    public:
        static constexpr std::size_t kBlockSamples = std::size_t{1} << 18;

        std::uint64_t size() const noexcept { return size_; }
        // Refuses, before anything is appended, a total the array could not hold.
        void checkRoom(std::size_t extra) const;
        // Where the next samples go: at least 1 and at most `wanted` of them.
        std::span<double> tail(std::size_t wanted);
        void commit(std::size_t written) noexcept { size_ += written; }
        // Copies samples [first, first + out.size()).
        void copy(std::uint64_t first, std::span<double> out) const noexcept;

    private:
        std::vector<std::unique_ptr<double[]>> blocks_;
        std::uint64_t size_ = 0;
    };

private:
    void decode(platform::M4aDecoder& decoder);

    std::filesystem::path path_;
    std::uint16_t channels_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t bitDepth_ = 0;
    std::uint64_t frameCount_ = 0;
    double durationSeconds_ = 0.0;
    std::string formatName_;
    SampleBlocks samples_;
};

}  // namespace al::file
