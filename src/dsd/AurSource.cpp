#include "dsd/AurSource.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>

#include "dsd/CurveWalker.h"
#include "dsd/WorkerPool.h"
#include "playback/CpuPlacement.h"
#include "record/Crc32.h"

namespace morrow::dsd {

namespace {

constexpr std::uint64_t kHeaderSize = 39;
constexpr std::uint64_t kBlockHeaderSize = 28;
constexpr std::uint64_t kMinimumFile = 45;
constexpr std::uint64_t kBlockOverhead = 38;  // block header, checksum and footer
constexpr std::uint32_t kMaxPayload = 0x10000000;
constexpr double kTwoPow64 = 18446744073709551616.0;
constexpr double kTwoPowMinus44 = 5.684341886080802e-14;
constexpr double kTwoPowMinus46 = 1.4210854715202004e-14;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

template <typename T>
T le(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);  // records are little-endian, as is every target
    return value;
}

void readAt(std::ifstream& file, std::uint64_t offset, std::uint8_t* into, std::size_t count) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
    if (!file || static_cast<std::size_t>(file.gcount()) != count) {
        fail("Truncated input");
    }
}

bool isDsdMultiple(int multiple) noexcept {
    return multiple >= 64 && multiple <= 2048 && (multiple & (multiple - 1)) == 0;
}

// Reverses the 16 bits of a word: least-significant-first packing to the
// frame word's earliest-bit-most-significant order.
std::uint16_t reverse16(std::uint32_t v) noexcept {
    v = (v & 0xFF00u) >> 8 | (v & 0x00FFu) << 8;
    v = (v & 0xF0F0u) >> 4 | (v & 0x0F0Fu) << 4;
    v = (v & 0xCCCCu) >> 2 | (v & 0x3333u) << 2;
    v = (v & 0xAAAAu) >> 1 | (v & 0x5555u) << 1;
    return static_cast<std::uint16_t>(v);
}

}  // namespace

std::uint64_t sampleIndexAt(double seconds, double rate) {
    const double x = rate * seconds;
    if (!std::isfinite(x) || x < 0.0 || !(x < kTwoPow64)) {
        fail("Clock overflow");
    }
    const double n = std::nearbyint(x);
    if (std::fabs(x - n) <= std::max(std::fabs(x), 1.0) * kTwoPowMinus46 && n < kTwoPow64) {
        return static_cast<std::uint64_t>(n);
    }
    return static_cast<std::uint64_t>(std::ceil(x));
}

std::vector<al::file::CurveSegment> parseBlockSegments(std::span<const std::uint8_t> payload,
                                                       std::uint16_t segmentCount) {
    std::size_t at = 0;
    auto left = [&] { return payload.size() - at; };
    std::vector<al::file::CurveSegment> segments;
    // A forged count cannot make us reserve more than the bytes can hold.
    segments.reserve(std::min<std::size_t>(segmentCount, payload.size() / 28));
    for (std::uint32_t s = 0; s < segmentCount; ++s) {
        if (left() < 4) {
            fail("Truncated segment");
        }
        const std::uint8_t id = payload[at];
        const std::uint8_t flags = payload[at + 1];
        const std::uint16_t count = le<std::uint16_t>(payload.data() + at + 2);
        at += 4;
        if (id < 1 || id > 3) {
            fail("Unknown primitive");
        }
        if (flags != 0) {
            fail("Unsupported segment flags");
        }
        if (count < 2) {
            fail("Invalid CP count");
        }
        if (left() < 16) {
            fail("Truncated field");
        }
        const double anchorTime = le<double>(payload.data() + at);
        const double anchorValue = le<double>(payload.data() + at + 8);
        at += 16;
        const std::size_t offsets = count - 1u;
        if (left() < 8 * offsets) {
            fail("Truncated CP arrays");
        }
        const std::uint8_t* times = payload.data() + at;
        const std::uint8_t* values = times + 4 * offsets;
        at += 8 * offsets;
        std::vector<al::file::ControlPoint> points;
        points.reserve(count);
        points.push_back({anchorTime, anchorValue});
        for (std::size_t k = 0; k < offsets; ++k) {
            points.push_back({anchorTime + static_cast<double>(le<float>(times + 4 * k)),
                              anchorValue + static_cast<double>(le<float>(values + 4 * k))});
        }
        segments.emplace_back(static_cast<al::file::SegmentKind>(id), flags, std::move(points));
    }
    if (at != payload.size()) {
        fail("Payload has trailing data");
    }
    return segments;
}

// ------------------------------------------------------------------ conveyor

// The pipeline of one channel. The reader thread parses block k and hands
// its evaluation to the pool (slot k mod 26); the modulator thread takes the
// slots in order, latches the block's cutoff flag, modulates the values and
// queues the packed bits for the assembler. One mutex and one condition
// variable (always notified to all) serve both directions. Any failure is
// stored and ends both threads; takeNext() throws it.
class ChannelConveyor {
public:
    ChannelConveyor(AurSource& source, std::size_t channel, WorkerPool& pool)
        : source_(source),
          channel_(channel),
          pool_(pool),
          blocks_(source.blocks_[channel]),
          filter_(source.rate_),
          cancelled_(std::make_shared<std::atomic<bool>>(false)) {
        file_.open(source.path_, std::ios::binary);
        if (!file_.is_open()) {
            fail("Cannot open channel source");
        }
        modulator_ = std::thread([this] { modulatorMain(); });
    }

    ~ChannelConveyor() {
        requestStop();
        if (modulator_.joinable()) {
            modulator_.join();
        }
    }
    ChannelConveyor(const ChannelConveyor&) = delete;
    ChannelConveyor& operator=(const ChannelConveyor&) = delete;

    // Sets the stop flag and tells outstanding evaluations to give up.
    void requestStop() noexcept {
        cancelled_->store(true);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

    // The next modulated block, waiting for it. Throws a stored failure, or
    // std::runtime_error("Channel conveyor exhausted") once the conveyor has
    // ended with nothing left.
    ModulatedBlock takeNext() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || finished_ || error_ || !queue_.empty(); });
        if (error_) {
            std::rethrow_exception(error_);
        }
        if (queue_.empty()) {
            fail("Channel conveyor exhausted");
        }
        ModulatedBlock block = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return block;
    }

private:
    struct Slot {
        std::uint32_t sequence = 0;
        std::uint16_t channel = 0;
        std::uint64_t firstSample = 0;
        std::future<std::vector<double>> values;
        bool filled = false;
    };

    void store(std::exception_ptr error) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = std::move(error);  // a later failure replaces an earlier one
        }
        changed_.notify_all();
    }

    void readerMain() noexcept {
        try {
            std::vector<std::uint8_t> payload;
            for (std::size_t k = 0; k < blocks_.size(); ++k) {
                Slot& slot = slots_[k % kConveyorSlots];
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [&] { return stop_ || !slot.filled; });
                    if (stop_) {
                        return;
                    }
                }
                const BlockRef& ref = blocks_[k];
                payload.resize(ref.payloadSize);
                readAt(file_, ref.payloadOffset, payload.data(), payload.size());
                const std::uint32_t sequence = le<std::uint32_t>(ref.header.data() + 2);
                const std::uint16_t segmentCount = le<std::uint16_t>(ref.header.data() + 6);
                auto segments = std::make_shared<const std::vector<al::file::CurveSegment>>(
                    parseBlockSegments(payload, segmentCount));

                const double rate = source_.rate_;
                const std::uint64_t first = ref.firstSample;
                const std::uint64_t count = ref.sampleCount;
                AurSource& source = source_;
                std::future<std::vector<double>> job =
                    pool_.submit([segments, rate, first, count, cancelled = cancelled_, &source] {
                        std::vector<double> values(static_cast<std::size_t>(count));
                        source.account(static_cast<std::int64_t>(count * sizeof(double)));
                        CurveWalker walker;
                        constexpr std::uint64_t kCancelCheck = 0x1000;
                        for (std::uint64_t i = 0; i < count; i += kCancelCheck) {
                            if (cancelled->load(std::memory_order_relaxed)) {
                                break;  // nobody will read these values
                            }
                            const auto n = static_cast<std::size_t>(std::min(kCancelCheck, count - i));
                            walker.fill(*segments, first + i, n, rate, values.data() + i);
                        }
                        return values;
                    });
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    slot.sequence = sequence;
                    slot.channel = static_cast<std::uint16_t>(channel_);
                    slot.firstSample = first;
                    slot.values = std::move(job);
                    slot.filled = true;
                }
                changed_.notify_all();
            }
        } catch (...) {
            store(std::current_exception());
        }
    }

    void modulatorMain() noexcept {
        try {
            reader_ = std::thread([this] { readerMain(); });
            for (std::size_t k = 0; k < blocks_.size(); ++k) {
                Slot& slot = slots_[k % kConveyorSlots];
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [&] {
                        return error_ || stop_ || (slot.filled && queue_.size() < kConveyorQueue);
                    });
                    if (error_) {
                        std::rethrow_exception(error_);
                    }
                    if (stop_) {
                        break;
                    }
                }
                // The reader leaves a filled slot alone, so it is ours until cleared.
                std::vector<double> values = slot.values.get();
                if (cancelled_->load()) {
                    break;  // stopping: the values may be incomplete
                }
                const bool cutoff = source_.latchCutoff(slot.sequence);
                ModulatedBlock block;
                block.sequence = slot.sequence;
                block.channel = slot.channel;
                block.firstSample = slot.firstSample;
                block.bitCount = values.size();
                block.bits.assign(static_cast<std::size_t>((values.size() + 7) / 8), 0);
                source_.account(static_cast<std::int64_t>(block.bits.size()));
                try {
                    modulateRun(filter_, state_, values.data(), values.size(), cutoff, true,
                                block.bits.data());
                } catch (...) {
                    source_.account(-static_cast<std::int64_t>(values.size() * sizeof(double) +
                                                               block.bits.size()));
                    throw;
                }
                source_.account(-static_cast<std::int64_t>(values.size() * sizeof(double)));
                values = {};
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    queue_.push_back(std::move(block));
                    slot.values = {};
                    slot.filled = false;
                }
                changed_.notify_all();
            }
        } catch (...) {
            store(std::current_exception());
        }
        // End of the list, stop or failure: the reader ends too.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (reader_.joinable()) {
            reader_.join();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Slot& slot : slots_) {
                slot.values = {};
                slot.filled = false;
            }
            finished_ = true;
        }
        changed_.notify_all();
    }

    AurSource& source_;
    std::size_t channel_;
    WorkerPool& pool_;
    const std::vector<BlockRef>& blocks_;
    std::ifstream file_;  // the reader thread's own stream
    HiFreqFilter filter_;
    ModulatorState state_;
    std::shared_ptr<std::atomic<bool>> cancelled_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<Slot, kConveyorSlots> slots_;
    std::deque<ModulatedBlock> queue_;
    bool stop_ = false;
    bool finished_ = false;
    std::exception_ptr error_;
    std::thread reader_;
    std::thread modulator_;
};

// ------------------------------------------------------------------- source

AurSource::AurSource(const std::filesystem::path& path, int dsdMultiple,
                     std::shared_ptr<HiFreqControl> control, int modulationMode)
    : path_(path), control_(std::move(control)) {
    if (!control_) {
        fail("Missing filter control");
    }
    if (modulationMode != 0) {
        fail("PoC supports continuous modulation only");
    }
    if (!isDsdMultiple(dsdMultiple)) {
        fail("Invalid DSD multiple");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        fail("Cannot open AUR");
    }
    // Throws std::filesystem::filesystem_error naming "file_size".
    const std::uint64_t size = std::filesystem::file_size(path);
    if (size < kMinimumFile) {
        fail("AUR too short");
    }

    std::uint8_t header[kHeaderSize];
    readAt(file, 0, header, sizeof header);
    if (std::memcmp(header, "AUR", 3) != 0 || header[3] != 2 || header[4] != 0) {
        fail("Expected AUR V2 revision 0");
    }
    const std::uint16_t channels = le<std::uint16_t>(header + 5);
    const std::uint32_t capturedRate = le<std::uint32_t>(header + 7);
    const std::uint64_t frames = le<std::uint64_t>(header + 15);
    const double duration = le<double>(header + 31);
    if (channels != 1 && channels != 2) {
        fail("Playback currently supports mono/stereo AUR");
    }
    if (capturedRate < 1 || capturedRate > 12'288'000 || !std::isfinite(duration) || !(duration > 0.0)) {
        fail("Invalid AUR header");
    }
    const double captured = static_cast<double>(capturedRate);
    if (!(std::fabs(static_cast<double>(frames) / captured - duration) <=
          std::max(0.5 / captured, 1e-12))) {
        fail("AUR duration mismatch");
    }

    const std::uint32_t rate = static_cast<std::uint32_t>(dsdMultiple) * 44'100u;
    rate_ = static_cast<double>(rate);
    const std::uint64_t sampleCount = sampleIndexAt(duration, rate_);
    if (sampleCount == 0) {
        fail("Empty AUR");
    }
    info_.channels = channels;
    info_.rate = rate;
    info_.sampleCount = sampleCount;
    info_.frameCount = sampleCount / 16 + (sampleCount % 16 != 0 ? 1 : 0);

    blocks_.assign(channels, {});
    std::vector<double> endTime(channels, 0.0);
    std::vector<std::uint64_t> dsdEnd(channels, 0);
    const std::uint64_t footer = size - 6;
    std::uint64_t offset = kHeaderSize;
    std::vector<std::uint8_t> payload;
    for (std::uint64_t i = 0; offset < footer; ++i) {
        if (size - offset < kBlockOverhead) {
            fail("Truncated AUR block");
        }
        BlockRef ref;
        readAt(file, offset, ref.header.data(), ref.header.size());
        const std::uint8_t* h = ref.header.data();
        const std::uint16_t channel = le<std::uint16_t>(h);
        const std::uint32_t sequence = le<std::uint32_t>(h + 2);
        const std::uint16_t segmentCount = le<std::uint16_t>(h + 6);
        const std::uint32_t payloadSize = le<std::uint32_t>(h + 8);
        const double start = le<double>(h + 12);
        const double end = le<double>(h + 20);
        if (channel >= channels || channel != i % channels || sequence != i) {
            fail("AUR sequence mismatch");
        }
        if (segmentCount == 0 || payloadSize == 0 || payloadSize > kMaxPayload ||
            payloadSize > size - offset - kBlockOverhead) {
            fail("Invalid AUR payload");
        }
        if (!std::isfinite(start) || !std::isfinite(end) || start < 0.0 || !(start < end)) {
            fail("Invalid AUR ownership");
        }
        const double h44 = std::max(end, 1.0) * kTwoPowMinus44;
        if (std::fabs(start - endTime[channel]) > h44 || end > duration + h44) {
            fail("AUR ownership gap/overlap");
        }
        payload.resize(payloadSize + 4u);
        readAt(file, offset + kBlockHeaderSize, payload.data(), payload.size());
        const std::uint32_t stored = le<std::uint32_t>(payload.data() + payloadSize);
        std::uint32_t crc = al::file::crc32(0, std::as_bytes(std::span(ref.header)));
        crc = al::file::crc32(crc, std::as_bytes(std::span(payload.data(), payloadSize)));
        if (crc != stored) {
            fail("AUR CRC mismatch");
        }
        const std::uint64_t first = std::min(sampleCount, sampleIndexAt(start, rate_));
        const std::uint64_t last = std::min(sampleCount, sampleIndexAt(end, rate_));
        if (first != dsdEnd[channel] || last < first) {
            fail("DSD ownership discontinuity");
        }
        if (last > first) {
            ref.payloadOffset = offset + kBlockHeaderSize;
            ref.firstSample = first;
            ref.sampleCount = last - first;
            ref.payloadSize = payloadSize;
            blocks_[channel].push_back(ref);
        }
        endTime[channel] = end;
        dsdEnd[channel] = last;
        offset += kBlockHeaderSize + payloadSize + 4;
    }
    if (offset != footer) {
        fail("Invalid AUR footer position");
    }
    std::uint8_t tail[6];
    readAt(file, footer, tail, sizeof tail);
    if (std::memcmp(tail, "AUREND", 6) != 0) {
        fail("Missing AUREND");
    }
    file.close();

    const al::surrogate::CpuWorkerPlan plan = al::surrogate::PlanWorkers(16);
    pool_ = std::make_unique<WorkerPool>(plan.placements.size(), [placements = plan.placements](std::size_t k) {
        placements[k].ApplyToCurrentThread();
    });

    assemblers_.resize(channels);
    try {
        for (std::uint16_t c = 0; c < channels; ++c) {
            if (dsdEnd[c] != sampleCount ||
                !(std::fabs(endTime[c] - duration) <= std::max(duration, 1.0) * kTwoPowMinus44)) {
                fail("Incomplete AUR channel");
            }
            conveyors_.push_back(std::make_unique<ChannelConveyor>(*this, c, *pool_));
        }
    } catch (...) {
        for (auto& conveyor : conveyors_) {
            conveyor->requestStop();
        }
        conveyors_.clear();
        pool_->stop();
        throw;
    }
}

AurSource::~AurSource() {
    // Stop every conveyor at once, then join them one by one; the pool runs
    // what is still queued, and each evaluation gives up at its next check.
    for (auto& conveyor : conveyors_) {
        conveyor->requestStop();
    }
    conveyors_.clear();
    if (pool_) {
        pool_->stop();
    }
}

std::size_t AurSource::workerCount() const noexcept { return pool_ ? pool_->size() : 0; }

void AurSource::account(std::int64_t bytes) noexcept {
    const std::uint64_t now = buffered_.fetch_add(static_cast<std::uint64_t>(bytes)) +
                              static_cast<std::uint64_t>(bytes);
    std::uint64_t peak = peakBuffered_.load();
    while (bytes > 0 && now > peak && !peakBuffered_.compare_exchange_weak(peak, now)) {
    }
}

bool AurSource::latchCutoff(std::uint32_t sequence) {
    std::lock_guard<std::mutex> lock(latchMutex_);
    const auto found = latch_.find(sequence);
    if (found != latch_.end()) {
        return found->second;
    }
    const bool on = control_->cutoff();
    latch_.emplace(sequence, on);
    return on;
}

DsdFrame AurSource::readFrame(std::uint64_t index) {
    if (index != nextFrame_ || index >= info_.frameCount) {
        fail("AUR source requires sequential frames");
    }
    DsdFrame frame;
    frame[0] = assemble(0, 16 * index);
    frame[1] = info_.channels == 2 ? assemble(1, 16 * index) : frame[0];
    ++nextFrame_;
    return frame;
}

std::uint16_t AurSource::assemble(std::size_t channel, std::uint64_t bit) {
    Assembler& a = assemblers_[channel];
    const std::uint64_t total = info_.sampleCount;
    auto inside = [&a](std::uint64_t n) {
        return a.present && n >= a.block.firstSample && n - a.block.firstSample < a.block.bitCount;
    };
    auto takeNext = [&] {
        if (a.present) {
            account(-static_cast<std::int64_t>(a.block.bits.size()));
        }
        a.block = conveyors_[channel]->takeNext();
        a.present = true;
    };
    if (bit < total && !inside(bit)) {
        takeNext();
        if (!inside(bit)) {
            fail("AUR bit ownership mismatch");
        }
    }
    if (inside(bit) && a.block.bitCount - (bit - a.block.firstSample) >= 16 && total - bit >= 16) {
        const std::uint64_t o = bit - a.block.firstSample;
        const std::uint8_t* p = a.block.bits.data() + o / 8;
        const unsigned shift = static_cast<unsigned>(o % 8);
        std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
        if (shift != 0) {
            v |= std::uint32_t{p[2]} << 16;
        }
        return reverse16((v >> shift) & 0xFFFFu);
    }
    std::uint16_t word = 0;
    for (unsigned j = 0; j < 16; ++j) {
        const std::uint64_t n = bit + j;
        bool one;
        if (n < total) {
            if (!inside(n)) {
                takeNext();
                if (!inside(n)) {
                    fail("AUR bit ownership mismatch");
                }
            }
            const std::uint64_t o = n - a.block.firstSample;
            one = (a.block.bits[static_cast<std::size_t>(o / 8)] >> (o % 8) & 1u) != 0;
        } else {
            one = (kDsdIdleWord >> (15 - j) & 1u) != 0;
        }
        if (one) {
            word = static_cast<std::uint16_t>(word | (1u << (15 - j)));
        }
    }
    return word;
}

}  // namespace morrow::dsd
