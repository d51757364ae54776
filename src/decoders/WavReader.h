#pragma once
// Little-endian RIFF/WAVE files read directly, without a codec library.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoders/AudioFileReader.h"

namespace al::file {

// A strictly validated WAVE file (integer PCM of 8, 16, 24 or 32 bits with
// optional fewer valid bits, or 32/64-bit IEEE float, plain or extensible
// header, 1..8 channels) serving random-access runs of whole frames.
//
// The constructor opens and validates (std::runtime_error with a fixed message
// on any failure), so a reader is always open. Properties never change after
// construction and may be read from any thread. ReadFrames may be called from
// any number of threads at once: the seek and read on the one file stream are
// serialised by a lock, the conversion to doubles runs outside it. A failed
// read leaves the reader usable.
class WavReader final : public AudioFileReader {
public:
    explicit WavReader(const std::filesystem::path& path);

    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    std::uint16_t channelCount() const noexcept override { return channels_; }
    std::uint32_t sampleRate() const noexcept override { return sampleRate_; }
    // The valid bits: what the file's samples really carry.
    std::uint16_t bitDepth() const noexcept override { return validBits_; }
    std::uint64_t frameCount() const noexcept override { return frameCount_; }
    double durationSeconds() const noexcept override { return durationSeconds_; }
    // "WAVE PCM 16 bit", "WAVE PCM 24-in-32 bit", "WAVE IEEE Float 32 bit".
    std::string formatLabel() const override;

    // Throws std::out_of_range for a run outside the file, std::runtime_error
    // for a failed read or a sample it cannot represent (a non-finite float,
    // a valid-bit depth it cannot scale). count 0 gives an empty vector.
    std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const override;
    void ReadFramesInto(std::uint64_t startFrame, std::uint64_t count, std::vector<double>& out) const override;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::string fileChangedText() const override {
        return fileChanged_.load() ? "WAVE file changed on disk while open" : std::string();
    }
    std::uint16_t containerBits() const noexcept { return containerBits_; }
    std::uint16_t validBits() const noexcept { return validBits_; }
    std::uint16_t blockAlign() const noexcept { return blockAlign_; }
    bool isFloat() const noexcept { return isFloat_; }
    std::uint64_t fileSize() const noexcept { return fileSize_; }
    std::uint64_t dataOffset() const noexcept { return dataOffset_; }
    std::uint64_t dataSize() const noexcept { return dataSize_; }

private:
    struct Format {
        std::uint16_t channels = 0;
        std::uint32_t sampleRate = 0;
        std::uint16_t containerBits = 0;
        std::uint16_t validBits = 0;
        std::uint16_t blockAlign = 0;
        bool isFloat = false;
    };

    void openLocked(const std::filesystem::path& path);
    void clearLocked() noexcept;
    static Format parseFormat(const std::vector<unsigned char>& body);
    void convert(const unsigned char* raw, std::uint64_t frames, double* out) const;

    std::filesystem::path path_;
    std::uint16_t channels_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t containerBits_ = 0;
    std::uint16_t validBits_ = 0;
    std::uint16_t blockAlign_ = 0;
    bool isFloat_ = false;
    std::uint64_t frameCount_ = 0;
    double durationSeconds_ = 0.0;
    std::uint64_t fileSize_ = 0;
    std::uint64_t dataOffset_ = 0;
    std::uint64_t dataSize_ = 0;
    mutable std::mutex lock_;
    static constexpr std::size_t kStreamBufferBytes = 256 * 1024;
    std::unique_ptr<char[]> streamBuffer_;  // the stream's buffer; outlives every open
    mutable std::ifstream stream_;
    // The frame the stream stands at after the last read (under lock_), so
    // that a read continuing where the last one ended needs no seek; the
    // largest value when unknown.
    mutable std::uint64_t streamFrame_ = UINT64_MAX;
    // Set when the data chunk, which fitted the file at open, no longer does.
    mutable std::atomic<bool> fileChanged_{false};
};

}  // namespace al::file
