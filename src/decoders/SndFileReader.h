#pragma once
// FLAC, MP3, AIFF and AIFC through libsndfile, loaded while the program runs.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoders/AudioFileReader.h"
#include "platform/DynamicLibrary.h"

namespace al::file {

// A file decoded by libsndfile. The library is optional: each reader loads it
// when it opens and unloads it when destroyed, so the program runs (and every
// other format plays) on a machine without it.
//
// The constructor loads the library, opens and checks the file, and throws
// std::runtime_error with a fixed message on any failure, releasing whatever
// it had reached; a constructed reader is open. Properties never change and
// may be read from any thread. ReadFrames may be called from several threads:
// each seek-plus-read on the decoder handle is atomic under the reader's lock.
// Samples come back in libsndfile's default normalisation (integer data to
// -1..+1 by 2^(bits-1)).
class SndFileReader final : public AudioFileReader {
public:
    // Loads the platform's libsndfile (beside the executable first).
    explicit SndFileReader(const std::filesystem::path& path);
    // Loads libsndfile as `runtime` describes: a chosen copy of the library.
    SndFileReader(const std::filesystem::path& path, const platform::SndFileRuntime& runtime);
    ~SndFileReader() override;

    SndFileReader(const SndFileReader&) = delete;
    SndFileReader& operator=(const SndFileReader&) = delete;

    std::uint16_t channelCount() const noexcept override;
    std::uint32_t sampleRate() const noexcept override;
    // Nominal bits of the coded samples; 0 for lossy codecs (MP3, Vorbis...).
    std::uint16_t bitDepth() const noexcept override;
    std::uint64_t frameCount() const noexcept override;
    double durationSeconds() const noexcept override;
    // The format name from the file extension: "FLAC", "MP3", "AIFF", "AIFC"
    // or "Audio".
    std::string formatLabel() const override;

    // Throws std::out_of_range for a run outside the file, std::overflow_error
    // for a run the decoder or memory cannot take, std::runtime_error for a
    // failed seek or read or a non-finite decoded sample.
    std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const override;
    void ReadFramesInto(std::uint64_t startFrame, std::uint64_t count, std::vector<double>& out) const override;

    const std::filesystem::path& path() const noexcept;
    const std::string& formatName() const noexcept;

    // The format name for a path, by its extension compared without regard to
    // ASCII case.
    static std::string formatNameFor(const std::filesystem::path& path);
    // Nominal bits per sample of a libsndfile format value (its low 16 bits).
    static std::uint32_t bitDepthFor(int sndfileFormat) noexcept;

private:
    struct State;
    void open(const std::filesystem::path& path, const platform::SndFileRuntime& runtime);
    void release() noexcept;

    std::unique_ptr<State> state_;
};

}  // namespace al::file
