#pragma once
// Keeps the playback chunks just ahead of the consumer prepared in memory, so
// the render thread only ever picks up finished chunks and never decodes.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "playback/CpuPlacement.h"
#include "playback/PlaybackSource.h"

namespace al::surrogate {

class SurrogateBuffer;

// One slot of the ring: a shared chunk handed over whole. Readers take a
// reference to a complete chunk, writers replace it, the last holder frees it.
//
// Readers (the render thread among them) never wait: they announce
// themselves in a counter, read which of two cells is current, copy that
// cell (one reference-count increment) and leave. A writer fills the other
// cell, makes it current, and then waits until no reader is inside before
// it empties the cell it retired, so the previous chunk is released on the
// writer's thread. Writers are serialised among themselves by a lock and may
// wait (sleeping, never spinning on the processor a reader needs); they are
// background or user-interface threads. No allocation on either side.
class ChunkSlot {
  public:
    // Wait-free.
    std::shared_ptr<const PlaybackChunk> load() const noexcept;
    // The chunk only if it is chunk `index`, else empty. Wait-free, and a
    // chunk of another index is never copied, so nothing is released here.
    std::shared_ptr<const PlaybackChunk> loadIf(std::uint64_t index) const noexcept;
    // Never call from the render thread: it waits for readers to leave.
    void store(std::shared_ptr<const PlaybackChunk> chunk) noexcept;

  private:
    std::shared_ptr<const PlaybackChunk> cells_[2];
    std::atomic<std::uint32_t> current_{0};
    mutable std::atomic<std::uint32_t> readers_{0};
    std::mutex writers_;
};

// Chunks the render thread lets go of, freed later on a background thread so
// that no deallocation happens on the render path. Single producer (the
// render thread), single consumer (the buffer's producer or dispatcher, or the
// owner after stop). Wait-free on both sides; the ring is sized once, when
// the buffer is made.
class RetiredChunks {
  public:
    // The smallest ring; larger buffers get eight entries per slot.
    static constexpr std::size_t kMinCapacity = 1024;

    explicit RetiredChunks(std::size_t capacity = kMinCapacity);

    // Takes the reference when there is room (leaving `chunk` empty) and
    // returns true. When the ring is full it returns false and leaves the
    // reference with the caller: nothing is ever released here.
    bool push(std::shared_ptr<const PlaybackChunk>& chunk) noexcept;
    // Releases every retired chunk.
    void drain() noexcept;
    std::size_t capacity() const noexcept { return items_.size(); }

  private:
    std::vector<std::shared_ptr<const PlaybackChunk>> items_;
    std::atomic<std::size_t> head_{0};  // next write
    std::atomic<std::size_t> tail_{0};  // next release
};

// A flag one thread raises and another waits for. Used for the hand-off
// between dispatcher and workers, never on the render path. (A mutex and a
// condition variable rather than atomic wait/notify: the latter loses
// wake-ups in some standard libraries without a native futex.)
class HandoffFlag {
  public:
    void raise() noexcept;
    void clear() noexcept;
    void wait() const noexcept;    // until raised
    void waitAndClear() noexcept;  // until raised, then lowers it

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable raised_;
    bool flag_ = false;
};

// One pinned thread that loads, checksums and decodes one chunk per job. The
// dispatcher is the only writer of the job fields and the only reader of the
// results; hand-off is through the job and done flags.
class ReconstructionWorker {
  public:
    struct Job {
        std::uint64_t generation = 0;
        std::uint64_t batch = 0;
        std::uint64_t serial = 0;
        std::uint64_t chunkIndex = 0;
        bool operator==(const Job&) const = default;
    };

    ReconstructionWorker(std::size_t index, CpuPlacement placement,
                         std::shared_ptr<const playback::PlaybackSource> source);
    ~ReconstructionWorker();
    ReconstructionWorker(const ReconstructionWorker&) = delete;
    ReconstructionWorker& operator=(const ReconstructionWorker&) = delete;

    // Controlling thread. start throws std::system_error if no thread can be made.
    void start();
    void stopAndJoin() noexcept;

    // Dispatcher thread only.
    void assign(const Job& job) noexcept;
    void waitDone() const noexcept;
    const Job& job() const noexcept { return job_; }
    const Job& echo() const noexcept { return echo_; }
    const std::shared_ptr<const PlaybackChunk>& result() const noexcept { return result_; }
    bool failed() const noexcept { return static_cast<bool>(error_); }
    void discardResult() noexcept;

  private:
    void run() noexcept;

    std::size_t index_;
    CpuPlacement placement_;
    std::shared_ptr<const playback::PlaybackSource> source_;
    LoadedBlocks blocks_;  // reused from job to job
    Job job_;
    Job echo_;
    std::shared_ptr<const PlaybackChunk> result_;
    std::exception_ptr error_;
    HandoffFlag jobFlag_;
    HandoffFlag doneFlag_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The dispatcher thread and one worker per entry of the placement plan.
class ReconstructionPool {
  public:
    ReconstructionPool(SurrogateBuffer& owner, const CpuWorkerPlan& plan,
                       std::shared_ptr<const playback::PlaybackSource> source);
    ~ReconstructionPool();
    ReconstructionPool(const ReconstructionPool&) = delete;
    ReconstructionPool& operator=(const ReconstructionPool&) = delete;

    void start();
    void stopAndJoin() noexcept;
    std::size_t workerCount() const noexcept { return workers_.size(); }

  private:
    void dispatch() noexcept;

    SurrogateBuffer& owner_;
    std::vector<std::unique_ptr<ReconstructionWorker>> workers_;
    std::thread dispatcher_;
    std::uint64_t batchNumber_ = 0;
    std::uint64_t serialBase_ = 0;
};

// A fixed ring of slots; chunk c may only live in slot c mod slotCount.
//
// Threads: the render thread calls get, readyAhead, readyUntil and
// setConsumerChunk (atomics, and at most one event set that cannot block; no
// lock, no wait, no release of a chunk); the user-interface thread
// seeks (jumpTo), primes (waitForChunk), starts and stops; producer,
// dispatcher and workers run inside. Preparation failures never reach the
// consumer: they only count in failures() and leave the chunk missing, to be
// retried by later passes.
class SurrogateBuffer {
  public:
    enum Mode : std::int32_t { Playback = 0, Background = 1 };

    // Throws std::invalid_argument("SurrogateBuffer requires a playback source").
    SurrogateBuffer(std::shared_ptr<const playback::PlaybackSource> source,
                    std::uint64_t requestedSlots, std::int32_t mode = Playback);
    ~SurrogateBuffer();
    SurrogateBuffer(const SurrogateBuffer&) = delete;
    SurrogateBuffer& operator=(const SurrogateBuffer&) = delete;

    // Starts the worker pool or the producer on the first call. Throws
    // std::system_error when a thread cannot be created.
    void start();
    // Sets stop, wakes everybody and joins every thread. Safe to repeat.
    void stop() noexcept;

    void setConsumerChunk(std::uint64_t chunk) noexcept;
    void jumpTo(std::uint64_t chunk) noexcept;
    std::shared_ptr<const PlaybackChunk> get(std::uint64_t chunk) const noexcept;
    // Hands a chunk reference the render thread no longer needs to the
    // buffer's own thread, which releases it (and frees the chunk if it was
    // the last reference). Render thread only; never blocks and never
    // releases anything: when the retire ring is full it returns false and
    // the reference stays with the caller, to be retired later. An empty
    // reference counts as retired.
    bool retire(std::shared_ptr<const PlaybackChunk>& chunk) noexcept;
    std::size_t retireCapacity() const noexcept { return retired_.capacity(); }
    // Starts if needed, moves the consumer, then polls every 2 ms.
    bool waitForChunk(std::uint64_t chunk, std::uint32_t timeoutMs);
    std::uint64_t readyAhead(std::uint64_t chunk) const noexcept;
    // Waits until chunk `chunk` is stored, at most `timeoutMs` milliseconds,
    // and returns true; returns false at once when it is in the buffer
    // already. For a thread pacing itself to the preparation (never the
    // render thread); one such thread at a time.
    bool waitForStore(std::uint64_t chunk, std::uint32_t timeoutMs) const noexcept;
    double readyUntil(std::uint64_t chunk) const noexcept;

    std::uint64_t slotCount() const noexcept { return slotCount_; }
    std::int32_t mode() const noexcept { return mode_; }
    std::uint64_t consumerChunk() const noexcept { return consumerChunk_.load(); }
    std::uint64_t generation() const noexcept { return generation_.load(); }
    std::uint64_t failures() const noexcept { return failures_.load(); }
    void resetFailures() noexcept { failures_.store(0); }
    bool started() const noexcept { return started_.load() != 0; }
    std::size_t workerCount() const noexcept { return pool_ ? pool_->workerCount() : 0; }
    const playback::PlaybackSource& source() const noexcept { return *source_; }

  private:
    friend class ReconstructionPool;

    void produce() noexcept;
    void store(const std::shared_ptr<const PlaybackChunk>& chunk) noexcept;
    void wake() noexcept;
    // Timed wait (at most 20 ms) while nothing the producer follows changes.
    // Woken through changed_: by the render thread moving the consumer to
    // wakeAt_ or beyond (only while sleeping_ is raised), by seeks and by stop.
    void waitForChange(std::uint64_t chunk, std::uint64_t generation);
    bool stopping() const noexcept { return stop_.load(); }

    std::shared_ptr<const playback::PlaybackSource> source_;
    std::uint64_t slotCount_;
    std::int32_t mode_;
    std::unique_ptr<ChunkSlot[]> slots_;
    RetiredChunks retired_;
    std::atomic<std::uint64_t> consumerChunk_{0};
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::uint8_t> started_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> sleeping_{false};  // the producer or dispatcher waits for a change
    // The consumer chunk that makes waking the sleeper worth it: a batch of
    // slots free, not one (each wake-up is a system call on the render thread
    // and a cross-processor wake-up).
    std::atomic<std::uint64_t> wakeAt_{0};
    platform::Event changed_;
    // The pacing thread in waitForStore: raised while it waits for chunk
    // storeWanted_ or a later one, which the storing thread then signals.
    mutable std::atomic<bool> storeWaiting_{false};
    mutable std::atomic<std::uint64_t> storeWanted_{0};
    mutable platform::Event stored_;
    std::thread producer_;
    std::unique_ptr<ReconstructionPool> pool_;
};

}  // namespace al::surrogate
