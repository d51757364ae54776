// The ring of prepared chunks, its producer, dispatcher and workers.
#include "playback/SurrogateBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "support/RecordImages.h"
#include "support/TempDir.h"

namespace al::surrogate {
namespace {

using namespace std::chrono_literals;

// A source of empty chunks that counts preparations and can hold a chunk's
// preparation until released.
class FakeSource final : public playback::PlaybackSource {
  public:
    FakeSource(std::uint64_t chunks, bool prepared) : chunks_(chunks), prepared_(prepared) {
        metadata_.channelCount = 1;
        metadata_.sampleRate = 1024;
        metadata_.frameCount = chunks * 1024;
        metadata_.duration = static_cast<double>(chunks);
    }
    const playback::SourceMetadata& metadata() const noexcept override { return metadata_; }
    std::uint64_t chunkCount() const noexcept override { return chunks_; }
    std::uint64_t chunkIndexAt(double seconds) const noexcept override {
        return seconds <= 0
                   ? 0
                   : std::min<std::uint64_t>(static_cast<std::uint64_t>(seconds), chunks_ - 1);
    }
    std::shared_ptr<const PlaybackChunk> prepareChunk(std::uint64_t index) const override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ++prepared_count_[index];
            if (index == held_) {
                holding_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return held_ != index; });
                holding_ = false;
            }
            if (index == broken_) {
                throw std::runtime_error("broken chunk");
            }
        }
        auto chunk = std::make_shared<PlaybackChunk>();
        chunk->index = index;
        chunk->ownershipStart = static_cast<double>(index);
        chunk->ownershipEnd = static_cast<double>(index + 1);
        return chunk;
    }
    bool supportsPreparedReconstruction() const noexcept override { return prepared_; }
    void loadBlocks(std::uint64_t index, LoadedBlocks& blocks) const override {
        blocks.chunkIndex = index;
    }
    std::shared_ptr<const PlaybackChunk> prepareChunk(const LoadedBlocks& blocks) const override {
        return prepareChunk(blocks.chunkIndex);
    }

    void hold(std::uint64_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = index;
    }
    void waitUntilHolding() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return holding_; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = UINT64_MAX;
        changed_.notify_all();
    }
    void breakChunk(std::uint64_t index) { broken_ = index; }
    int preparations(std::uint64_t index) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = prepared_count_.find(index);
        return it == prepared_count_.end() ? 0 : it->second;
    }
    std::uint64_t highestPrepared() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return prepared_count_.empty() ? 0 : prepared_count_.rbegin()->first;
    }

  private:
    std::uint64_t chunks_;
    bool prepared_;
    playback::SourceMetadata metadata_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::map<std::uint64_t, int> prepared_count_;
    std::uint64_t held_ = UINT64_MAX;
    mutable bool holding_ = false;
    std::atomic<std::uint64_t> broken_{UINT64_MAX};
};

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(SurrogateBuffer, SlotCountsAndConstruction) {
    auto source = std::make_shared<FakeSource>(10, false);
    for (auto [requested, slots] :
         {std::pair<std::uint64_t, std::uint64_t>{0, 3}, {2, 3}, {3, 3}, {1000, 256}}) {
        EXPECT_EQ(SurrogateBuffer(source, requested).slotCount(), slots) << requested;
    }
    try {
        SurrogateBuffer buffer(nullptr, 8);
        FAIL();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "SurrogateBuffer requires a playback source");
    }
    // The pool exists only for sources with prepared reconstruction, in playback mode.
    EXPECT_EQ(SurrogateBuffer(source, 8).workerCount(), 0u);
    auto prepared = std::make_shared<FakeSource>(10, true);
    EXPECT_GE(SurrogateBuffer(prepared, 8).workerCount(), 1u);
    EXPECT_EQ(SurrogateBuffer(prepared, 8, SurrogateBuffer::Background).workerCount(), 0u);
}

TEST(SurrogateBuffer, GenerationFollowsConsumerJumps) {
    auto source = std::make_shared<FakeSource>(100, false);
    SurrogateBuffer buffer(source, 8);  // not started: only the counters move
    buffer.jumpTo(10);
    const auto g = buffer.generation();
    buffer.setConsumerChunk(11);
    EXPECT_EQ(buffer.generation(), g);
    buffer.setConsumerChunk(19);  // forward by exactly slotCount
    EXPECT_EQ(buffer.generation(), g);
    buffer.setConsumerChunk(18);  // backward
    EXPECT_EQ(buffer.generation(), g + 1);
    buffer.setConsumerChunk(18 + 8 + 1);  // forward by more than slotCount
    EXPECT_EQ(buffer.generation(), g + 2);
    buffer.jumpTo(27);  // a seek always bumps
    EXPECT_EQ(buffer.generation(), g + 3);
    buffer.setConsumerChunk(5000);  // clamped to the last chunk
    EXPECT_EQ(buffer.consumerChunk(), 99u);
    buffer.jumpTo(5000);
    EXPECT_EQ(buffer.consumerChunk(), 99u);
}

TEST(SurrogateBuffer, ProducerFillsAheadWithinTheSource) {
    for (bool prepared : {false, true}) {
        auto source = std::make_shared<FakeSource>(5, prepared);
        SurrogateBuffer buffer(source, 12);
        ASSERT_TRUE(buffer.waitForChunk(0, 5000)) << prepared;
        EXPECT_TRUE(eventually([&] { return buffer.readyAhead(0) == 5; })) << prepared;
        EXPECT_EQ(buffer.readyUntil(0), 5.0);
        EXPECT_EQ(buffer.readyAhead(3), 2u);
        EXPECT_EQ(source->highestPrepared(), 4u);
        EXPECT_EQ(buffer.failures(), 0u);
        buffer.stop();
        EXPECT_FALSE(buffer.started());
    }
}

TEST(SurrogateBuffer, GetChecksTheChunkIndexOfTheSlot) {
    auto source = std::make_shared<FakeSource>(10, false);
    SurrogateBuffer buffer(source, 3);
    ASSERT_TRUE(buffer.waitForChunk(0, 5000));
    EXPECT_TRUE(eventually([&] { return buffer.readyAhead(0) == 3; }));
    buffer.stop();
    EXPECT_TRUE(buffer.get(0));
    EXPECT_FALSE(buffer.get(3));  // slot 0 holds chunk 0, not chunk 3
    EXPECT_EQ(buffer.readyUntil(5), 0.0);
}

TEST(SurrogateBuffer, BrokenChunkCountsFailuresWhileNeighboursArePrepared) {
    for (bool prepared : {false, true}) {
        auto source = std::make_shared<FakeSource>(20, prepared);
        source->breakChunk(2);
        SurrogateBuffer buffer(source, 6);
        ASSERT_TRUE(buffer.waitForChunk(0, 5000)) << prepared;
        EXPECT_TRUE(eventually([&] { return buffer.get(1) != nullptr; })) << prepared;
        EXPECT_FALSE(buffer.waitForChunk(2, 200)) << prepared;
        const auto failures = buffer.failures();
        EXPECT_GE(failures, 1u) << prepared;
        EXPECT_TRUE(eventually([&] { return buffer.failures() > failures + 2; })) << "retried";
        buffer.jumpTo(3);
        EXPECT_TRUE(buffer.waitForChunk(3, 5000));
        EXPECT_TRUE(eventually([&] { return buffer.readyAhead(3) == 6; }));
    }
}

TEST(SurrogateBuffer, RealRecordWithACorruptBlock) {
    test::TempDir dir;
    auto image = test::sineRecord(2, 1024 * 8).image();
    const auto index = file::indexRecordImage(image);
    const auto& entry = index.channelBlocks[1][4];
    image[entry.offset + file::kBlockHeaderSize + 30] ^= std::byte{0x40};
    std::ofstream(dir / "r.aur", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    auto source = playback::createPlaybackSource(dir / "r.aur");
    SurrogateBuffer buffer(source, 8);
    ASSERT_GE(buffer.workerCount(), 1u);
    EXPECT_TRUE(buffer.waitForChunk(0, 5000));
    EXPECT_FALSE(buffer.waitForChunk(4, 150));
    const auto failures = buffer.failures();
    EXPECT_GE(failures, 1u);
    EXPECT_TRUE(eventually([&] { return buffer.failures() > failures; }));
    buffer.jumpTo(5);
    EXPECT_TRUE(buffer.waitForChunk(5, 5000));
    EXPECT_TRUE(eventually([&] { return buffer.readyAhead(5) == 3; }));
    ASSERT_EQ(buffer.get(7)->channels.size(), 2u);
}

// While the preparing side is stuck inside a preparation, the render
// thread's calls still return at once, and a consumer it moves is served as
// soon as the preparation ends (the move wakes the sleeping side itself).
TEST(SurrogateBuffer, RenderSideNeverWaitsForThePreparingSide) {
    for (bool prepared : {false, true}) {
        auto source = std::make_shared<FakeSource>(40, prepared);
        SurrogateBuffer buffer(source, 4);
        source->hold(2);
        buffer.start();
        source->waitUntilHolding();
        auto render = std::async(std::launch::async, [&] {
            std::uint64_t seen = 0;
            for (std::uint64_t i = 0; i < 1000; ++i) {
                buffer.setConsumerChunk(i % 3);
                std::shared_ptr<const PlaybackChunk> chunk = buffer.get(i % 3);
                seen += chunk ? 1 : 0;
                seen += buffer.readyAhead(0);
                EXPECT_TRUE(buffer.retire(chunk));
            }
            buffer.setConsumerChunk(20);
            return seen;
        });
        const bool finished = render.wait_for(5s) == std::future_status::ready;
        source->release();
        render.get();
        EXPECT_TRUE(finished) << prepared;
        EXPECT_TRUE(eventually([&] { return buffer.readyAhead(20) == 4; })) << prepared;
    }
}

// A pacing thread waits for the chunk it needs and is woken by its store.
TEST(SurrogateBuffer, WaitForStoreEndsWithTheChunk) {
    for (bool prepared : {false, true}) {
        auto source = std::make_shared<FakeSource>(40, prepared);
        SurrogateBuffer buffer(source, 4);
        source->hold(2);
        buffer.start();
        source->waitUntilHolding();
        if (buffer.get(0)) {  // a batch of many workers may hold it back too
            EXPECT_FALSE(buffer.waitForStore(0, 30'000)) << prepared;  // there already
        }
        auto pacing = std::async(std::launch::async, [&] {
            const bool waited = buffer.waitForStore(2, 30'000);
            return waited && buffer.get(2) != nullptr;
        });
        EXPECT_EQ(pacing.wait_for(50ms), std::future_status::timeout) << prepared;
        source->release();
        ASSERT_EQ(pacing.wait_for(10s), std::future_status::ready) << "not woken by the store";
        EXPECT_TRUE(pacing.get()) << prepared;
    }
}

TEST(SurrogateBuffer, JumpDuringABatchDiscardsIt) {
    auto source = std::make_shared<FakeSource>(100, true);
    source->hold(10);
    SurrogateBuffer buffer(source, 4);
    buffer.jumpTo(10);
    buffer.start();
    source->waitUntilHolding();  // a batch starting at chunk 10 is in progress
    buffer.jumpTo(40);
    buffer.jumpTo(10);  // back: the window holds 10 again, but the generation moved
    source->release();
    ASSERT_TRUE(buffer.waitForChunk(10, 5000));
    // The held batch was thrown away and chunk 10 prepared again.
    EXPECT_GE(source->preparations(10), 2);
    EXPECT_EQ(buffer.failures(), 0u);
}

// Consumer movement against the workers: every chunk handed out is the one asked for.
TEST(SurrogateBuffer, StressConsumerAgainstWorkers) {
    for (bool prepared : {true, false}) {
        auto source = std::make_shared<FakeSource>(500, prepared);
        SurrogateBuffer buffer(source, 16);
        buffer.start();
        std::mt19937 random(1234);
        std::uint64_t position = 0;
        std::uint64_t seen = 0;
        const auto end = std::chrono::steady_clock::now() + 400ms;
        while (std::chrono::steady_clock::now() < end) {
            const auto step = random() % 100;
            if (step < 90) {
                position = std::min<std::uint64_t>(position + 1, 499);
                buffer.setConsumerChunk(position);
            } else {
                position = random() % 500;
                buffer.jumpTo(position);
            }
            for (std::uint64_t k = position; k < position + 16; ++k) {
                if (auto chunk = buffer.get(k)) {
                    ASSERT_EQ(chunk->index, k);
                    ++seen;
                }
            }
            (void)buffer.readyAhead(position);
            std::this_thread::sleep_for(100us);
        }
        // Still following after all that: the chunk at the final position arrives.
        EXPECT_TRUE(buffer.waitForChunk(position, 5000)) << prepared << " seen " << seen;
        buffer.stop();
        EXPECT_EQ(buffer.failures(), 0u);
    }
}

}  // namespace
}  // namespace al::surrogate

namespace al::surrogate {
namespace {

// A chunk the render thread lets go of is freed on the buffer's own thread.
TEST(SurrogateBuffer, RetiredChunksAreFreedInTheBackground) {
    for (bool prepared : {false, true}) {
        auto source = std::make_shared<FakeSource>(10, prepared);
        SurrogateBuffer buffer(source, 4);
        buffer.start();
        std::atomic<bool> freed{false};
        std::thread::id freedOn;
        std::mutex guard;
        auto chunk =
            std::shared_ptr<const PlaybackChunk>(new PlaybackChunk, [&](const PlaybackChunk* p) {
                {
                    std::lock_guard<std::mutex> lock(guard);
                    freedOn = std::this_thread::get_id();
                }
                delete p;
                freed.store(true);
            });
        EXPECT_TRUE(buffer.retire(chunk));
        EXPECT_FALSE(chunk);
        std::shared_ptr<const PlaybackChunk> none;
        EXPECT_TRUE(buffer.retire(none));
        EXPECT_TRUE(eventually([&] { return freed.load(); })) << prepared;
        std::lock_guard<std::mutex> lock(guard);
        EXPECT_NE(freedOn, std::this_thread::get_id()) << prepared;
    }
    // More than the ring holds, with nobody draining: the ring refuses the
    // rest and leaves each refused reference with the caller, so nothing is
    // released on the retiring thread and nothing is lost or leaked.
    auto source = std::make_shared<FakeSource>(10, false);
    int alive = 0;
    {
        SurrogateBuffer idle(source, 4);
        ASSERT_EQ(idle.retireCapacity(), RetiredChunks::kMinCapacity);
        std::vector<std::shared_ptr<const PlaybackChunk>> refused;
        for (std::size_t i = 0; i < RetiredChunks::kMinCapacity + 100; ++i) {
            ++alive;
            std::shared_ptr<const PlaybackChunk> chunk(new PlaybackChunk,
                                                       [&](const PlaybackChunk* p) {
                                                           --alive;
                                                           delete p;
                                                       });
            if (!idle.retire(chunk)) {
                ASSERT_TRUE(chunk);
                refused.push_back(std::move(chunk));
            }
        }
        EXPECT_EQ(refused.size(), 100U);
        EXPECT_EQ(alive, static_cast<int>(RetiredChunks::kMinCapacity) + 100);
        refused.clear();
        EXPECT_EQ(alive, static_cast<int>(RetiredChunks::kMinCapacity));
    }
    EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace al::surrogate

namespace al::surrogate {
namespace {

// Large buffers get a retire ring of eight entries per slot.
TEST(SurrogateBuffer, RetireRingGrowsWithTheSlotCount) {
    auto source = std::make_shared<FakeSource>(10, false);
    EXPECT_EQ(SurrogateBuffer(source, 3).retireCapacity(), RetiredChunks::kMinCapacity);
    EXPECT_EQ(SurrogateBuffer(source, 256).retireCapacity(), 2048U);
    RetiredChunks ring(2);
    auto a = std::make_shared<const PlaybackChunk>();
    auto b = std::make_shared<const PlaybackChunk>();
    auto c = std::make_shared<const PlaybackChunk>();
    std::weak_ptr<const PlaybackChunk> wa = a;
    EXPECT_TRUE(ring.push(a));
    EXPECT_TRUE(ring.push(b));
    EXPECT_FALSE(ring.push(c));
    EXPECT_TRUE(c);
    EXPECT_FALSE(wa.expired());
    ring.drain();
    EXPECT_TRUE(wa.expired());
    EXPECT_TRUE(ring.push(c));  // room again after the drain
}

// One reader takes chunks out of a slot while a writer replaces them: every
// chunk read is whole (its fields agree with each other), they come in the
// order written, a read asking for another index comes back empty, and
// every chunk is released exactly once. Run under the thread sanitizer too.
TEST(SurrogateBuffer, SlotReaderAgainstWriter) {
    std::atomic<int> alive{0};
    auto make = [&](std::uint64_t index) {
        alive.fetch_add(1);
        auto* raw = new PlaybackChunk;
        raw->index = index;
        raw->ownershipStart = static_cast<double>(index);
        raw->ownershipEnd = static_cast<double>(index) + 0.5;
        return std::shared_ptr<const PlaybackChunk>(raw, [&](const PlaybackChunk* p) {
            alive.fetch_sub(1);
            delete p;
        });
    };
    {
        ChunkSlot slot;
        std::atomic<bool> done{false};
        std::atomic<std::uint64_t> reads{0};
        std::atomic<std::uint64_t> wrong{0};
        std::thread reader([&] {
            std::uint64_t last = 0;
            while (!done.load()) {
                auto chunk = slot.load();
                if (!chunk) {
                    continue;
                }
                if (chunk->ownershipEnd != chunk->ownershipStart + 0.5 ||
                    chunk->ownershipStart != static_cast<double>(chunk->index) ||
                    chunk->index < last) {
                    wrong.fetch_add(1);
                }
                last = chunk->index;
                if (slot.loadIf(chunk->index + 1'000'000)) {
                    wrong.fetch_add(1);
                }
                auto same = slot.loadIf(chunk->index);
                if (same && same != chunk) {
                    wrong.fetch_add(1);
                }
                reads.fetch_add(1);
            }
        });
        for (std::uint64_t i = 1; i <= 20'000; ++i) {
            slot.store(make(i));
        }
        while (reads.load() == 0) {
            std::this_thread::yield();
        }
        done.store(true);
        reader.join();
        EXPECT_EQ(wrong.load(), 0U);
        EXPECT_EQ(slot.load()->index, 20'000U);
        EXPECT_EQ(alive.load(), 1);
    }
    EXPECT_EQ(alive.load(), 0);
}

}  // namespace
}  // namespace al::surrogate
