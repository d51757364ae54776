#pragma once
// Output frames on the exact sample grid of the output: frame k of every
// channel is the value of that channel's continuous curve at k / outputRate
// seconds. There is no resampling filter, only evaluation of the curves.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "playback/PlaybackSource.h"
#include "playback/SurrogateBuffer.h"

namespace al::playback {

// Header of one published level record: the statistics of one pull.
struct LevelRecord {
    std::uint64_t sequence = 0;    // 2n + 2 once record n is complete
    std::uint64_t firstFrame = 0;  // lattice position when the pull began
    std::uint32_t frames = 0;      // frames produced, saturated at 0xFFFFFFFF
    std::uint32_t rate = 0;        // lattice rate of the pull
};

// A reader's place in the level ring.
struct LevelCursor {
    std::uint64_t next = 0;     // next record number to read
    std::uint64_t skipped = 0;  // records lost because the reader fell behind
};

// Threads:
// - the render thread calls pull, and nothing else that changes state;
// - the user-interface thread calls the control operations (seeks, prime,
//   flags) and the queries; setOutputRate and setLoopAhead only while the
//   render thread is not pulling (the chain is held or being rebuilt);
// - one level reader (the meter feed) calls readLevels and takePeak.
// pull allocates nothing, takes no lock and never waits for a worker: a chunk
// that is not ready yet plays as silence and counts in missingFrames.
class PlaybackLattice {
public:
    // lookaheadChunks 0 picks the default: a quarter of a second of chunks
    // plus two, within 12..256. Starts the surrogate buffer at chunk 0.
    // Throws std::invalid_argument("PlaybackLattice requires a playback
    // source") or ("PlaybackLattice source metadata is invalid"), and
    // std::system_error when the buffer's threads cannot be made.
    explicit PlaybackLattice(std::shared_ptr<const PlaybackSource> source,
                             std::uint64_t lookaheadChunks = 0);
    ~PlaybackLattice();
    PlaybackLattice(const PlaybackLattice&) = delete;
    PlaybackLattice& operator=(const PlaybackLattice&) = delete;

    // Render thread. Writes up to `frames` interleaved frames (channelCount()
    // doubles each) and returns how many were produced: fewer only at the end
    // of the material without loop-ahead, none while held. The whole buffer
    // is zeroed first, so the unproduced tail is silence.
    std::uint64_t pull(double* buffer, std::uint64_t frames) noexcept;
    // The same as pull, frame by frame: every frame looks up its segment and
    // cubic interval through the cursors on its own. Gives the same bits as
    // pull (tests compare the two); pull evaluates the frames of one piece
    // in a row instead. Render thread.
    std::uint64_t pullPerFrame(double* buffer, std::uint64_t frames) noexcept;

    // Requests a new position, applied by the next pull. Clamped to
    // totalFrames. Workers are sent to the new place at once.
    void seekToFrame(std::uint64_t frame) noexcept;
    // Non-finite counts as 0; clamped to [0, duration].
    void seekToTime(double seconds) noexcept;
    // Changes the lattice rate, keeping the playback time. Throws
    // std::invalid_argument("Playback sample rate is invalid") outside
    // 1..12,288,000.
    void setOutputRate(std::uint32_t rate);
    // Waits (at most 10 s) until the chunk at the current time is ready.
    // Returns false when it did not become ready.
    bool prime();
    void setLoopAhead(bool on);

    void setMuted(bool on) noexcept { muted_.store(on, std::memory_order_relaxed); }
    void setHold(bool on) noexcept { hold_.store(on, std::memory_order_relaxed); }
    // The next frame jumps to the target gain instead of ramping.
    void requestSnapGain() noexcept { snapGain_.store(1, std::memory_order_relaxed); }

    bool muted() const noexcept { return muted_.load(std::memory_order_relaxed); }
    bool hold() const noexcept { return hold_.load(std::memory_order_relaxed); }
    bool loopAhead() const noexcept { return loopAhead_.load(std::memory_order_relaxed); }
    bool snapGainPending() const noexcept { return snapGain_.load(std::memory_order_relaxed) != 0; }
    // The gain applied to the last frame produced. Render-thread state: read
    // it elsewhere only while nothing pulls.
    double gain() const noexcept { return gain_; }

    std::uint64_t position() const noexcept { return position_.load(std::memory_order_acquire); }
    // -1 when none.
    std::int64_t pendingSeek() const noexcept { return pendingSeek_.load(std::memory_order_acquire); }
    std::uint64_t totalFrames() const noexcept { return totalFrames_.load(std::memory_order_acquire); }
    std::uint32_t outputRate() const noexcept { return outputRate_.load(std::memory_order_acquire); }
    std::uint16_t channelCount() const noexcept { return channels_; }
    // (pendingSeek if set, else position) / outputRate; 0 when the rate is 0.
    double currentTime() const noexcept;
    std::uint64_t missingFrames() const noexcept { return missingFrames_.load(std::memory_order_relaxed); }

    // Consecutive ready chunks from the chunk at currentTime (at most the
    // slot count), and the seconds they cover beyond currentTime.
    std::uint64_t readyChunksAhead() const noexcept;
    double bufferedSeconds() const noexcept;

    // The channel's peak since the last call (0 for a channel out of range).
    double takePeak(std::size_t channel) noexcept;
    // Reads the next level record into peaks and rms (channelCount() entries
    // each) and record. False when there is none, when the spans are too
    // short, or when the record was overwritten while being read. A reader
    // more than ringSize() records behind skips to the oldest one still held
    // and adds the number it missed to cursor.skipped.
    bool readLevels(LevelCursor& cursor, std::span<float> peaks, std::span<float> rms,
                    LevelRecord& record) const noexcept;
    // Readers start again from the records published from now on; peak-hold
    // values are cleared.
    void resetLevels() noexcept;
    // Clears missingFrames and the buffer's failure count, then resetLevels.
    void resetCounters() noexcept;
    std::uint64_t ringSize() const noexcept { return ringSize_; }
    std::uint64_t recordsPublished() const noexcept { return published_.load(std::memory_order_acquire); }

    // Chunk changes put off because the buffer's thread had not released
    // the chunks handed to it. Render-thread state, like gain().
    std::uint64_t retireStalls() const noexcept { return retireStalls_; }

    std::uint64_t lookaheadChunks() const noexcept { return surrogate_->slotCount(); }
    const std::shared_ptr<const PlaybackSource>& source() const noexcept { return source_; }
    surrogate::SurrogateBuffer& surrogate() noexcept { return *surrogate_; }
    const surrogate::SurrogateBuffer& surrogate() const noexcept { return *surrogate_; }

    // The default lookahead for a source rate.
    static std::uint64_t defaultLookahead(std::uint32_t sampleRate) noexcept;
    // Number of lattice frames k with k / rate < duration.
    static std::uint64_t framesBefore(double duration, std::uint32_t rate) noexcept;
    // Ring entries for a channel count: about 512 KiB of records.
    static std::uint64_t ringSizeFor(std::uint32_t channels) noexcept;

private:
    void applyPendingSeek() noexcept;
    void clearCursors() noexcept;
    void dropCurrentChunk() noexcept;
    // The render thread never releases a chunk itself: the current chunk is
    // handed to the surrogate buffer's retire ring. readyToReplace is false
    // while the ring is full and an earlier chunk still waits to be handed
    // over; only then may replaceCurrent be skipped, and it must be, since
    // it parks the outgoing chunk when the ring is full.
    bool readyToReplace() noexcept;
    void replaceCurrent(std::shared_ptr<const surrogate::PlaybackChunk> next) noexcept;
    // The frames of one chunk in a row, starting at frame j of the buffer at
    // `position`: at most `limit` frames whose times stay inside the current
    // chunk. Returns how many it produced.
    std::uint64_t pullRun(double* buffer, std::uint64_t j, std::uint64_t limit, std::uint64_t position,
                          double rateD, double target, double step) noexcept;
    // Takes the chunk at time t as the current chunk when the current one
    // does not own t (step c of a frame). Returns whether a chunk is there
    // to evaluate.
    bool followChunk(double t) noexcept;
    void wrapToStart() noexcept;
    void stepGain(double target, double step) noexcept;
    void finishPull(std::uint64_t firstFrame, std::uint64_t position, std::uint64_t missing,
                    std::uint64_t produced, std::uint32_t rate) noexcept;
    void publishLevels(std::uint64_t firstFrame, std::uint64_t produced, std::uint32_t rate) noexcept;
    std::uint64_t currentFrameTarget() const noexcept;

    std::shared_ptr<const PlaybackSource> source_;
    std::uint16_t channels_;
    double duration_;
    std::uint64_t chunkCount_;
    std::unique_ptr<surrogate::SurrogateBuffer> surrogate_;

    std::atomic<std::uint32_t> outputRate_;
    std::atomic<std::uint64_t> totalFrames_;
    std::atomic<std::uint64_t> position_{0};
    std::atomic<std::int64_t> pendingSeek_{-1};
    std::atomic<std::uint64_t> missingFrames_{0};
    std::atomic<bool> muted_{false};
    std::atomic<bool> hold_{false};
    std::atomic<std::uint8_t> snapGain_{0};
    std::atomic<bool> loopAhead_{false};

    // Render-thread state.
    double gain_ = 1.0;
    std::shared_ptr<const surrogate::PlaybackChunk> current_;
    std::int64_t currentIndex_ = -1;
    // A chunk let go of while the retire ring was full, handed over later.
    std::shared_ptr<const surrogate::PlaybackChunk> parked_;
    std::uint64_t retireStalls_ = 0;
    // Per channel: the segment used last (as channel evaluation keeps it) and,
    // inside a PCHIP segment, the cubic interval used last.
    struct ChannelCursor {
        std::size_t segment = 0;
        std::size_t interval = 0;
        std::size_t intervalSegment = static_cast<std::size_t>(-1);
    };
    static double evaluate(const surrogate::ChannelGeometry& channel, double t, ChannelCursor& cursor) noexcept;
    static void addLevels(const double* values, std::size_t count, std::uint64_t j0, double& peak,
                          double* lanes) noexcept;
    std::vector<ChannelCursor> cursors_;
    // Scratch of a run: its times, one channel's values, the gain per frame.
    static constexpr std::size_t kRunFrames = 1024;
    std::vector<double> runTimes_;
    std::vector<double> runValues_;
    std::vector<double> runGains_;
    std::vector<double> runOffsets_;  // 0, 1, 2, ... as doubles
    std::vector<double> pullPeak_;
    // Each channel's sum of squares in kSquareLanes partial sums: frame j of
    // a pull adds to lane j % kSquareLanes, in frame order, so that a run can
    // add four frames per vector and still give the frame-by-frame sums.
    static constexpr std::size_t kSquareLanes = 4;
    std::vector<double> pullSquares_;  // [channel * kSquareLanes + lane]

    // Chunk 0 kept for looping; written by the user-interface thread, taken
    // by the render thread at the loop point.
    surrogate::ChunkSlot loopStart_;

    // Level statistics. Peak-hold values are f64 bit patterns.
    std::unique_ptr<std::atomic<std::uint64_t>[]> peakHold_;
    std::uint64_t ringSize_;
    struct RingEntry {
        std::atomic<std::uint64_t> sequence{0};
        std::atomic<std::uint64_t> firstFrame{0};
        std::atomic<std::uint32_t> frames{0};
        std::atomic<std::uint32_t> rate{0};
    };
    std::unique_ptr<RingEntry[]> ring_;
    std::unique_ptr<std::atomic<float>[]> ringPeaks_;  // ringSize x channels
    std::unique_ptr<std::atomic<float>[]> ringRms_;
    std::uint64_t written_ = 0;  // render thread only
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::uint64_t> resetBase_{0};
};

}  // namespace al::playback
