#pragma once
// The reader interface of the "WAV DIRECT" formats (WAVE, libsndfile formats,
// M4A, the DSF surrogate).

#include <cstdint>
#include <string>
#include <vector>

namespace al::file {

// An opened, validated audio file. Implementations open and validate in their
// constructor and throw on any failure, so a constructed reader is always
// open. Properties never change afterwards. ReadFrames may be called from any
// thread at once; implementations serialise their own file access.
class AudioFileReader {
public:
    virtual ~AudioFileReader() = default;

    virtual std::uint16_t channelCount() const noexcept = 0;
    virtual std::uint32_t sampleRate() const noexcept = 0;
    // Significant bits per sample, as the playback source reports them.
    virtual std::uint16_t bitDepth() const noexcept = 0;
    virtual std::uint64_t frameCount() const noexcept = 0;
    virtual double durationSeconds() const noexcept = 0;
    // Text for the user interface, e.g. "WAVE PCM 24-in-32 bit".
    virtual std::string formatLabel() const = 0;

    // Frames [startFrame, startFrame + count) as interleaved doubles in -1..+1,
    // count x channels values. Throws on a failed read or invalid data.
    virtual std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const = 0;
    // The same frames into `out` (resized to count x channels), so a caller
    // that reads chunk after chunk reuses one buffer. Readers that can fill
    // it directly override this; the default copies from ReadFrames.
    virtual void ReadFramesInto(std::uint64_t startFrame, std::uint64_t count, std::vector<double>& out) const {
        out = ReadFrames(startFrame, count);
    }
    // The text to stop playback with once a read found the file shorter than
    // it was when opened (truncated or rewritten by another program); empty
    // while nothing of the kind was seen. Any thread.
    virtual std::string fileChangedText() const { return {}; }
};

}  // namespace al::file
