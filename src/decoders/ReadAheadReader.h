#pragma once
// Decoding ahead of a reader that is read front to back, on a thread of its
// own, so that decoding (FLAC or MP3 frames, say) overlaps what the caller
// does with the frames it already has.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "decoders/AudioFileReader.h"

namespace al::file {

// Wraps an open reader. Requests that continue the window of frames decoded
// ahead are served from it while the thread decodes the next blocks; any
// other request moves the window there. The frames are the wrapped reader's
// own, read front to back from where the window last moved, as a caller
// reading chunk after chunk would have read them itself.
//
// A failed read on the thread is not reported from there: the request that
// needs those frames reads them itself, on its own thread, and so throws the
// wrapped reader's own error; from then on every request reads directly.
//
// Threads: any, as for every reader; requests are served one at a time and a
// request may wait for the decoding thread (never call from a render thread).
// The thread starts with the first request and is joined by the destructor.
class ReadAheadReader final : public AudioFileReader {
public:
    // Throws std::invalid_argument("Read-ahead needs an open reader") for a
    // null reader, and for zero block frames or blocks.
    ReadAheadReader(std::shared_ptr<const AudioFileReader> inner, std::uint64_t blockFrames,
                    std::size_t blocksAhead);
    ~ReadAheadReader() override;
    ReadAheadReader(const ReadAheadReader&) = delete;
    ReadAheadReader& operator=(const ReadAheadReader&) = delete;

    std::uint16_t channelCount() const noexcept override { return inner_->channelCount(); }
    std::uint32_t sampleRate() const noexcept override { return inner_->sampleRate(); }
    std::uint16_t bitDepth() const noexcept override { return inner_->bitDepth(); }
    std::uint64_t frameCount() const noexcept override { return inner_->frameCount(); }
    double durationSeconds() const noexcept override { return inner_->durationSeconds(); }
    std::string formatLabel() const override { return inner_->formatLabel(); }
    std::string fileChangedText() const override { return inner_->fileChangedText(); }

    std::vector<double> ReadFrames(std::uint64_t startFrame, std::uint64_t count) const override;
    void ReadFramesInto(std::uint64_t startFrame, std::uint64_t count,
                        std::vector<double>& out) const override;

    // Window moves so far (the first request counts as one). Any thread.
    std::uint64_t restarts() const;

private:
    struct Block {
        std::uint64_t first = 0;
        std::vector<double> samples;  // whole frames, interleaved
    };

    void decodeAhead() const noexcept;
    // Under lock_: the frames [start, end) of the window into `out`.
    void copyOut(std::uint64_t start, std::uint64_t end, double* out) const noexcept;

    std::shared_ptr<const AudioFileReader> inner_;
    std::uint64_t blockFrames_;
    std::size_t blocksAhead_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    mutable std::deque<Block> blocks_;      // contiguous from windowStart_
    mutable std::vector<Block> spare_;      // emptied blocks kept for their storage
    mutable std::uint64_t windowStart_ = 0;
    mutable std::uint64_t decodedEnd_ = 0;  // the thread decodes from here next
    mutable std::uint64_t wantedEnd_ = 0;   // the end of the request served last
    mutable std::uint64_t generation_ = 0;  // bumped when the window moves
    mutable std::uint64_t restarts_ = 0;
    mutable bool failed_ = false;
    mutable bool stop_ = false;
    mutable std::thread thread_;
};

}  // namespace al::file
