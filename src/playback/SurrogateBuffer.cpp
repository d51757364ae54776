#include "playback/SurrogateBuffer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "platform/CpuTopology.h"

namespace al::surrogate {

namespace {
constexpr std::uint64_t kMinSlots = 3;
constexpr std::uint64_t kMaxSlots = 256;
constexpr auto kProducerWait = std::chrono::milliseconds(20);
constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr auto kReaderWait = std::chrono::microseconds(50);
}  // namespace

// ---------------------------------------------------------------- slot

std::shared_ptr<const PlaybackChunk> ChunkSlot::load() const noexcept {
    // The announcement comes before the read of the current cell (both
    // sequentially consistent), so a writer that finds no reader after making
    // the other cell current knows every later reader sees the new cell.
    readers_.fetch_add(1, std::memory_order_seq_cst);
    std::shared_ptr<const PlaybackChunk> copy = cells_[current_.load(std::memory_order_seq_cst)];
    readers_.fetch_sub(1, std::memory_order_release);
    return copy;
}

std::shared_ptr<const PlaybackChunk> ChunkSlot::loadIf(std::uint64_t index) const noexcept {
    readers_.fetch_add(1, std::memory_order_seq_cst);
    const std::shared_ptr<const PlaybackChunk>& cell =
        cells_[current_.load(std::memory_order_seq_cst)];
    std::shared_ptr<const PlaybackChunk> copy;
    if (cell && cell->index == index) {
        copy = cell;
    }
    readers_.fetch_sub(1, std::memory_order_release);
    return copy;
}

void ChunkSlot::store(std::shared_ptr<const PlaybackChunk> chunk) noexcept {
    // Writers are background or user-interface threads and may wait for one
    // another; readers never take this lock.
    std::lock_guard<std::mutex> writer(writers_);
    const std::uint32_t from = current_.load(std::memory_order_relaxed);
    const std::uint32_t to = from ^ 1U;
    // Nobody reads the spare cell: the last writer emptied it once the
    // readers of its time had left.
    cells_[to] = std::move(chunk);
    current_.store(to, std::memory_order_seq_cst);
    // A reader stays inside for one reference-count increment; one that was
    // preempted there is waited for by sleeping, not by yielding, so this
    // thread does not compete for the processor the reader needs.
    for (unsigned spins = 0; readers_.load(std::memory_order_seq_cst) != 0; ++spins) {
        if (spins > 64) {
            std::this_thread::sleep_for(kReaderWait);
        }
    }
    // A reader that announced itself after this point reads cell `to`.
    std::shared_ptr<const PlaybackChunk> previous = std::move(cells_[from]);
    // `previous` is released here, on the writer's thread.
}

// ---------------------------------------------------------------- retired chunks

RetiredChunks::RetiredChunks(std::size_t capacity) : items_(std::max<std::size_t>(capacity, 1)) {}

bool RetiredChunks::push(std::shared_ptr<const PlaybackChunk>& chunk) noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == items_.size()) {
        return false;
    }
    // The slot is empty (drained), so this assignment frees nothing.
    items_[head % items_.size()] = std::move(chunk);
    head_.store(head + 1, std::memory_order_release);
    return true;
}

void RetiredChunks::drain() noexcept {
    std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t head = head_.load(std::memory_order_acquire);
    for (; tail != head; ++tail) {
        items_[tail % items_.size()].reset();
    }
    tail_.store(tail, std::memory_order_release);
}

// ---------------------------------------------------------------- hand-off

void HandoffFlag::raise() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        flag_ = true;
    }
    raised_.notify_all();
}

void HandoffFlag::clear() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    flag_ = false;
}

void HandoffFlag::wait() const noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    raised_.wait(lock, [this] { return flag_; });
}

void HandoffFlag::waitAndClear() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    raised_.wait(lock, [this] { return flag_; });
    flag_ = false;
}

// ---------------------------------------------------------------- worker

ReconstructionWorker::ReconstructionWorker(std::size_t index, CpuPlacement placement,
                                           std::shared_ptr<const playback::PlaybackSource> source)
    : index_(index), placement_(placement), source_(std::move(source)) {}

ReconstructionWorker::~ReconstructionWorker() {
    stopAndJoin();
}

void ReconstructionWorker::start() {
    stop_.store(false);
    jobFlag_.clear();
    doneFlag_.clear();
    thread_ = std::thread([this] { run(); });
}

void ReconstructionWorker::stopAndJoin() noexcept {
    if (!thread_.joinable()) {
        return;
    }
    stop_.store(true);
    jobFlag_.raise();
    thread_.join();
}

void ReconstructionWorker::assign(const Job& job) noexcept {
    job_ = job;
    result_.reset();
    error_ = nullptr;
    doneFlag_.clear();
    jobFlag_.raise();
}

void ReconstructionWorker::waitDone() const noexcept {
    doneFlag_.wait();
}

void ReconstructionWorker::discardResult() noexcept {
    result_.reset();
    error_ = nullptr;
}

void ReconstructionWorker::run() noexcept {
    (void)index_;
    (void)placement_.ApplyToCurrentThread();
    platform::setCurrentThreadBelowNormalPriority();
    for (;;) {
        jobFlag_.waitAndClear();
        if (stop_.load()) {
            doneFlag_.raise();
            return;
        }
        const Job job = job_;
        try {
            source_->loadBlocks(job.chunkIndex, blocks_);
            auto chunk = source_->prepareChunk(blocks_);
            if (!chunk || chunk->index != job.chunkIndex) {
                throw std::runtime_error("Reconstruction worker returned the wrong chunk");
            }
            result_ = std::move(chunk);
            echo_ = job;
        } catch (...) {
            error_ = std::current_exception();
            result_.reset();
        }
        // Release the block views (and the reader reference they hold) until the next job.
        blocks_.blocks.clear();
        doneFlag_.raise();
    }
}

// ---------------------------------------------------------------- pool

ReconstructionPool::ReconstructionPool(SurrogateBuffer& owner, const CpuWorkerPlan& plan,
                                       std::shared_ptr<const playback::PlaybackSource> source)
    : owner_(owner) {
    workers_.reserve(plan.placements.size());
    for (std::size_t i = 0; i < plan.placements.size(); ++i) {
        workers_.push_back(std::make_unique<ReconstructionWorker>(i, plan.placements[i], source));
    }
}

ReconstructionPool::~ReconstructionPool() {
    stopAndJoin();
}

void ReconstructionPool::start() {
    try {
        for (auto& worker : workers_) {
            worker->start();
        }
        dispatcher_ = std::thread([this] { dispatch(); });
    } catch (...) {
        stopAndJoin();
        throw;
    }
}

void ReconstructionPool::stopAndJoin() noexcept {
    // The dispatcher notices stop within one batch; it waits for the workers
    // it has given jobs to, so it is joined before they are stopped.
    if (dispatcher_.joinable()) {
        dispatcher_.join();
    }
    for (auto& worker : workers_) {
        worker->stopAndJoin();
    }
}

void ReconstructionPool::dispatch() noexcept {
    SurrogateBuffer& buffer = owner_;
    const std::uint64_t end = buffer.source_->chunkCount();
    while (!buffer.stopping()) {
        try {
            const std::uint64_t i = buffer.consumerChunk_.load();
            const std::uint64_t g = buffer.generation_.load();
            if (end == 0 || i >= end) {
                buffer.waitForChange(i, g);
                continue;
            }
            const std::uint64_t w = std::min(i + buffer.slotCount_, end);
            std::uint64_t r = i;
            while (r < w && buffer.get(r)) {
                ++r;
            }
            if (r == w) {
                buffer.waitForChange(i, g);
                continue;
            }
            std::size_t size = 0;
            while (size < workers_.size() && r + size < w && !buffer.get(r + size)) {
                ++size;
            }
            for (std::size_t k = 0; k < size; ++k) {
                workers_[k]->assign({g, batchNumber_, serialBase_ + k, r + k});
            }
            for (std::size_t k = 0; k < size; ++k) {
                workers_[k]->waitDone();
            }
            bool good = buffer.generation_.load() == g;
            for (std::size_t k = 0; k < size; ++k) {
                const auto& worker = *workers_[k];
                if (worker.failed()) {
                    good = false;
                    buffer.failures_.fetch_add(1);
                } else if (!(worker.echo() == worker.job())) {
                    good = false;
                    buffer.failures_.fetch_add(1);
                } else if (!worker.result() || worker.result()->index != r + k) {
                    good = false;
                }
            }
            if (good) {
                const std::uint64_t consumer = buffer.consumerChunk_.load();
                const std::uint64_t limit = std::min(consumer + buffer.slotCount_, end);
                for (std::size_t k = size; k-- > 0;) {
                    const std::uint64_t chunk = r + k;
                    if (chunk >= consumer && chunk < limit) {
                        buffer.store(workers_[k]->result());
                    }
                }
                serialBase_ += size;
            }
            for (std::size_t k = 0; k < size; ++k) {
                workers_[k]->discardResult();
            }
            buffer.retired_.drain();
            ++batchNumber_;
        } catch (...) {
            // Only allocation can throw here; count it and keep following.
            buffer.failures_.fetch_add(1);
        }
    }
}

// ---------------------------------------------------------------- buffer

SurrogateBuffer::SurrogateBuffer(std::shared_ptr<const playback::PlaybackSource> source,
                                 std::uint64_t requestedSlots, std::int32_t mode)
    : source_(std::move(source)),
      slotCount_(std::clamp(requestedSlots, kMinSlots, kMaxSlots)),
      mode_(mode),
      retired_(std::max<std::size_t>(RetiredChunks::kMinCapacity, 8 * slotCount_)) {
    if (!source_) {
        throw std::invalid_argument("SurrogateBuffer requires a playback source");
    }
    // Without the event (never seen in practice) the waits poll instead.
    (void)changed_.create(platform::Event::Reset::Automatic, false);
    (void)stored_.create(platform::Event::Reset::Automatic, false);
    slots_ = std::make_unique<ChunkSlot[]>(slotCount_);
    if (mode_ == Playback && source_->supportsPreparedReconstruction()) {
        pool_ = std::make_unique<ReconstructionPool>(*this, PlanWorkers(slotCount_), source_);
    }
    generation_.fetch_add(1);
    for (std::uint64_t s = 0; s < slotCount_; ++s) {
        slots_[s].store(nullptr);
    }
    wake();
}

SurrogateBuffer::~SurrogateBuffer() {
    stop();
}

void SurrogateBuffer::start() {
    std::uint8_t expected = 0;
    if (!started_.compare_exchange_strong(expected, 1)) {
        return;
    }
    stop_.store(false);
    try {
        if (pool_) {
            pool_->start();
        } else {
            producer_ = std::thread([this] { produce(); });
        }
    } catch (...) {
        started_.store(0);
        throw;
    }
}

void SurrogateBuffer::stop() noexcept {
    stop_.store(true);
    wake();
    if (pool_) {
        pool_->stopAndJoin();
    }
    if (producer_.joinable()) {
        producer_.join();
    }
    started_.store(0);
    retired_.drain();
}

bool SurrogateBuffer::retire(std::shared_ptr<const PlaybackChunk>& chunk) noexcept {
    return !chunk || retired_.push(chunk);
}

void SurrogateBuffer::wake() noexcept {
    changed_.set();
}

void SurrogateBuffer::setConsumerChunk(std::uint64_t chunk) noexcept {
    const std::uint64_t count = source_->chunkCount();
    if (count == 0) {
        return;
    }
    chunk = std::min(chunk, count - 1);
    const std::uint64_t previous = consumerChunk_.exchange(chunk);
    if (chunk == previous) {
        return;
    }
    if (chunk < previous || chunk - previous > slotCount_) {
        generation_.fetch_add(1);
    }
    // The render thread moves the consumer, so the wake-up takes no lock and
    // never waits: a flag the sleeping thread raised before it looked at the
    // consumer (both sequentially consistent, so either it sees the new
    // consumer or this sees the flag), and an event set only then. A step
    // short of wakeAt_ lets the sleeper be: its timed wait picks the step up.
    if (sleeping_.load() && (chunk < previous || chunk >= wakeAt_.load())) {
        changed_.set();
    }
}

void SurrogateBuffer::jumpTo(std::uint64_t chunk) noexcept {
    const std::uint64_t count = source_->chunkCount();
    if (count == 0) {
        return;
    }
    consumerChunk_.store(std::min(chunk, count - 1));
    generation_.fetch_add(1);
    wake();
}

std::shared_ptr<const PlaybackChunk> SurrogateBuffer::get(std::uint64_t chunk) const noexcept {
    return slots_[chunk % slotCount_].loadIf(chunk);
}

void SurrogateBuffer::store(const std::shared_ptr<const PlaybackChunk>& chunk) noexcept {
    slots_[chunk->index % slotCount_].store(chunk);
    // The slot's store comes before this load and the waiter's flag before
    // its look at the slot (all sequentially consistent): either the waiter
    // finds the chunk or this finds the flag.
    if (storeWaiting_.load() && chunk->index >= storeWanted_.load()) {
        stored_.set();
    }
}

bool SurrogateBuffer::waitForStore(std::uint64_t chunk, std::uint32_t timeoutMs) const noexcept {
    storeWanted_.store(chunk);
    storeWaiting_.store(true);
    if (get(chunk)) {
        storeWaiting_.store(false);
        return false;
    }
    if (stored_.valid()) {
        (void)platform::waitFor(stored_, std::max<std::uint32_t>(timeoutMs, 1));
    } else {
        std::this_thread::sleep_for(kPollInterval);
    }
    storeWaiting_.store(false);
    return true;
}

bool SurrogateBuffer::waitForChunk(std::uint64_t chunk, std::uint32_t timeoutMs) {
    start();
    setConsumerChunk(chunk);
    wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (get(chunk)) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return static_cast<bool>(get(chunk));
}

std::uint64_t SurrogateBuffer::readyAhead(std::uint64_t chunk) const noexcept {
    const std::uint64_t count = source_->chunkCount();
    std::uint64_t ready = 0;
    while (ready < slotCount_ && chunk + ready < count && get(chunk + ready)) {
        ++ready;
    }
    return ready;
}

double SurrogateBuffer::readyUntil(std::uint64_t chunk) const noexcept {
    const std::uint64_t ready = readyAhead(chunk);
    if (ready == 0) {
        return 0.0;
    }
    const auto last = get(chunk + ready - 1);
    return last ? last->ownershipEnd : 0.0;
}

void SurrogateBuffer::waitForChange(std::uint64_t chunk, std::uint64_t generation) {
    const auto deadline = std::chrono::steady_clock::now() + kProducerWait;
    const auto changed = [&] {
        return stop_.load() || generation_.load() != generation || consumerChunk_.load() != chunk;
    };
    // Woken early for a batch of a quarter of the slots, which the
    // free-running renderer would otherwise hand over one chunk at a time.
    wakeAt_.store(chunk + std::max<std::uint64_t>(1, slotCount_ / 4));
    for (;;) {
        retired_.drain();
        sleeping_.store(true);
        if (changed()) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        if (changed_.valid()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            (void)platform::waitFor(changed_,
                                    static_cast<std::uint32_t>(std::max<std::int64_t>(left, 1)));
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
        sleeping_.store(false);
    }
    sleeping_.store(false);
    retired_.drain();
}

void SurrogateBuffer::produce() noexcept {
    if (mode_ == Background) {
        platform::setCurrentThreadBelowNormalPriority();
    }
    while (!stopping()) {
        try {
            const std::uint64_t b = consumerChunk_.load();
            const std::uint64_t end = source_->chunkCount();
            const std::uint64_t g = generation_.load();
            for (std::uint64_t k = 0; k < slotCount_; ++k) {
                const std::uint64_t r = b + k;
                if (r >= end || stopping() || generation_.load() != g) {
                    break;
                }
                if (get(r)) {
                    continue;
                }
                std::shared_ptr<const PlaybackChunk> chunk;
                try {
                    chunk = source_->prepareChunk(r);
                } catch (...) {
                    failures_.fetch_add(1);
                    break;
                }
                if (chunk) {
                    store(chunk);
                }
                retired_.drain();
            }
            waitForChange(b, g);
        } catch (...) {
            failures_.fetch_add(1);
        }
    }
}

}  // namespace al::surrogate
