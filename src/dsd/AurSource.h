#pragma once
// A record (.aur) made into DSD: the source re-reads and checks the file by
// itself and modulates every channel in a parallel pipeline, one conveyor
// per channel (a reader thread and a modulator thread) over a shared pool of
// pinned workers that evaluate the curves at every DSD instant.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "dsd/DsdSource.h"
#include "dsd/HiFreqFilter.h"
#include "record/CurveSegment.h"

namespace morrow::dsd {

class WorkerPool;
class ChannelConveyor;

// The DSD sample index of a time: rate x seconds rounded to the nearest
// integer when it lies within a relative 2^-46 of one, else rounded up.
// Throws std::runtime_error("Clock overflow") when the product is not
// finite, negative, or not below 2^64.
std::uint64_t sampleIndexAt(double seconds, double rate);

// A record block that owns at least one DSD sample.
struct BlockRef {
    std::uint64_t payloadOffset = 0;  // block start + 28
    std::uint64_t firstSample = 0;    // first DSD sample it owns
    std::uint64_t sampleCount = 0;    // DSD samples it owns
    std::array<std::uint8_t, 28> header{};
    std::uint32_t payloadSize = 0;
};

// One block of one channel after modulation: bit k of the block is bit k % 8
// of bits[k / 8], least significant first; a set bit is +1.
struct ModulatedBlock {
    std::uint32_t sequence = 0;
    std::uint16_t channel = 0;
    std::uint64_t firstSample = 0;
    std::uint64_t bitCount = 0;
    std::vector<std::uint8_t> bits;
};

// The segments of one record block payload, with this source's own texts
// (std::runtime_error): "Truncated segment", "Unknown primitive",
// "Unsupported segment flags", "Invalid CP count", "Truncated field",
// "Truncated CP arrays", "Payload has trailing data"; segment construction
// throws std::invalid_argument for impossible points. Any thread.
std::vector<al::file::CurveSegment> parseBlockSegments(std::span<const std::uint8_t> payload,
                                                       std::uint16_t segmentCount);

inline constexpr std::size_t kConveyorSlots = 26;
inline constexpr std::size_t kConveyorQueue = 26;

// Construction validates and indexes the whole record synchronously (every
// check with its fixed message, std::runtime_error), builds the pool and
// starts the conveyors, which then run ahead on their own: at most 26 blocks
// evaluated or in evaluation and 26 modulated blocks waiting per channel.
//
// readFrame must be called with 0, 1, 2, ... from one thread (not
// reentrant). Errors of the conveyor threads never end the process: they are
// stored and thrown by the next readFrame. Destruction stops every conveyor
// and the pool without waiting for outstanding evaluations to finish.
class AurSource final : public IDsdSource {
public:
    // dsdMultiple: 64, 128, ..., 2048; control: the shared cutoff switch,
    // latched per block when the block is modulated; modulationMode must be 0.
    AurSource(const std::filesystem::path& path, int dsdMultiple, std::shared_ptr<HiFreqControl> control,
              int modulationMode);
    ~AurSource() override;
    AurSource(const AurSource&) = delete;
    AurSource& operator=(const AurSource&) = delete;

    DsdInfo info() const noexcept override { return info_; }
    // Throws std::runtime_error("AUR source requires sequential frames") for
    // any index other than the next one, and whatever a conveyor stored.
    DsdFrame readFrame(std::uint64_t index) override;

    // The blocks of a channel that own DSD samples, in order.
    const std::vector<BlockRef>& blocks(std::size_t channel) const { return blocks_.at(channel); }
    std::size_t workerCount() const noexcept;
    // Bytes held by evaluated values and modulated bits right now, and the
    // most ever held at once (for memory figures). Any thread.
    std::uint64_t bufferedBytes() const noexcept { return buffered_.load(); }
    std::uint64_t peakBufferedBytes() const noexcept { return peakBuffered_.load(); }

private:
    friend class ChannelConveyor;

    struct Assembler {
        ModulatedBlock block;
        bool present = false;
    };

    std::uint16_t assemble(std::size_t channel, std::uint64_t bit);
    bool latchCutoff(std::uint32_t sequence);
    void account(std::int64_t bytes) noexcept;

    std::filesystem::path path_;
    DsdInfo info_;
    double rate_ = 0.0;
    std::shared_ptr<HiFreqControl> control_;
    std::vector<std::vector<BlockRef>> blocks_;
    std::mutex latchMutex_;
    std::map<std::uint32_t, bool> latch_;
    std::atomic<std::uint64_t> buffered_{0};
    std::atomic<std::uint64_t> peakBuffered_{0};
    std::unique_ptr<WorkerPool> pool_;
    std::vector<std::unique_ptr<ChannelConveyor>> conveyors_;
    std::vector<Assembler> assemblers_;
    std::uint64_t nextFrame_ = 0;
};

}  // namespace morrow::dsd
