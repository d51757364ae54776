#include "dsd/DsdEngine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

#include "dsd/DopPacker.h"
#include "dsd/DsdEngineChoices.h"
#include "platform/MemoryBudget.h"
#include "playback/PlaybackSource.h"


namespace al::audio {

namespace {

using FramePacker = morrow::dsd::DopPacker;

constexpr std::uint32_t kIdleFrameWord = 0x69696969u;
constexpr std::uint64_t kCancelCheckFrames = 4096;
constexpr std::uint64_t kMaxFrameCount = (std::uint64_t{1} << 62) - 1;
constexpr std::uint32_t kWaitMs = 20;
constexpr auto kDeviceSilenceLimit = std::chrono::seconds(2);
constexpr auto kReadyPoll = std::chrono::milliseconds(10);

// The level track: one pair of peaks per 2 ms, computed in pieces of 0.1 s
// from the playback source at 88.2 kHz.
constexpr std::uint32_t kMeterRate = 88'200;
constexpr std::uint32_t kLevelBinsPerSecond = 500;
constexpr std::uint32_t kPieceSamples = 8'820;  // 0.1 s
constexpr std::uint32_t kBinsPerPiece = 50;
constexpr std::uint64_t kPiecesAhead = 50;  // at most 5 s ahead of the position
constexpr std::uint32_t kMeterCancelCheck = 1024;
constexpr auto kMeterIdle = std::chrono::milliseconds(10);

bool validMultiple(std::int32_t multiple) {
    return multiple >= 64 && multiple <= 2048 && (multiple & (multiple - 1)) == 0;
}

// Thrown where a cancel ends the engine in an orderly way rather than a failure.
struct Cancelled {};

}  // namespace

struct DsdEngine::Impl {
    Impl(std::shared_ptr<const playback::PlaybackSource> playbackSource, DsdEngineOptions engineOptions)
        : source(std::move(playbackSource)), options(std::move(engineOptions)) {}

    // What the engine thread alone touches while it plays.
    struct Playback {
        std::vector<std::uint32_t> track;
        std::uint64_t frameCount = 0;
        double frameRate = 0.0;  // DoP frames (16-bit words) per second
        double duration = 0.0;
        DsdOutputFormat format;
        std::vector<std::uint8_t> buffer;
        std::uint64_t position = 0;  // next frame to deliver
        std::uint64_t appliedGeneration = 0;
        std::uint32_t endEvents = 0;
        std::uint32_t endEventsNeeded = 2;  // the output's queue depth + 1
        bool endedLatched = false;
        bool endedFirstReport = false;
        bool endedRaised = false;
    };

    void run() noexcept;
    void runSteps(std::unique_ptr<IAudioOutput>& output, std::unique_ptr<morrow::dsd::IDsdSource>& dsd,
                  Playback& pb);
    void fill(Playback& pb, FramePacker& packer);
    void endCheck(Playback& pb);
    void finishStopped(double progress, std::optional<double> position);
    void startMeter(double duration, double scale);
    void stopMeter() noexcept;
    void meterLoop(double duration, double scale) noexcept;
    void computePiece(const playback::PlaybackSource& meterSource, std::uint64_t piece, std::uint64_t total,
                      double scale, std::array<std::array<float, 2>, kBinsPerPiece>& bins,
                      std::shared_ptr<const surrogate::PlaybackChunk>& chunk, std::uint64_t& chunkIndex,
                      std::array<std::size_t, 2>& cursors);

    std::shared_ptr<const playback::PlaybackSource> source;
    const DsdEngineOptions options;

    std::atomic<bool> cancelFlag{false};
    std::atomic<bool> playFlag{false};
    std::atomic<bool> muteFlag{false};
    std::atomic<bool> loopFlag{false};
    std::atomic<bool> endedFlag{false};
    std::atomic<bool> finishedFlag{false};
    std::atomic<double> positionSeconds{0.0};  // read by the meter thread

    mutable std::mutex lock;  // guards status, pendingSeek, seekGeneration
    DsdEngineStatus status;
    double pendingSeek = -1.0;
    std::uint64_t seekGeneration = 0;

    std::mutex levelMutex;  // guards levelTrack and pieceDone
    std::vector<std::array<float, 2>> levelTrack;
    std::vector<std::uint8_t> pieceDone;
    std::uint64_t pieceCount = 0;
    std::atomic<bool> meterStop{false};
    std::thread meterThread;

    std::thread engineThread;
};

void DsdEngine::Impl::run() noexcept {
    std::unique_ptr<IAudioOutput> output;
    std::unique_ptr<morrow::dsd::IDsdSource> dsd;
    Playback pb;
    const auto stopOutput = [&]() noexcept {
        if (output) {
            try {
                output->stop();
            } catch (...) {
                // The failure that brought us here is the one to report.
            }
        }
    };
    try {
        runSteps(output, dsd, pb);
    } catch (const Cancelled&) {
        // runSteps has set Stopped.
    } catch (const std::exception& error) {
        stopOutput();
        std::lock_guard guard(lock);
        status.state = cancelFlag.load() ? DsdEngineState::Stopped : DsdEngineState::Failed;
        status.levels = {0.0f, 0.0f};
        status.failureText = error.what();
    } catch (...) {
        stopOutput();
        std::lock_guard guard(lock);
        status.state = DsdEngineState::Failed;
        status.levels = {0.0f, 0.0f};
        status.failureText = "Unknown DSD failure";
    }
    // Whatever ended the engine, its meter thread ends with it.
    stopMeter();
    try {
        output.reset();
        dsd.reset();
        std::vector<std::uint32_t>().swap(pb.track);
    } catch (...) {
    }
    finishedFlag.store(true);
}

void DsdEngine::Impl::finishStopped(double progress, std::optional<double> position) {
    std::lock_guard guard(lock);
    status.state = DsdEngineState::Stopped;
    status.progress = progress;
    if (position) {
        status.position = *position;
    }
}

void DsdEngine::Impl::runSteps(std::unique_ptr<IAudioOutput>& output,
                               std::unique_ptr<morrow::dsd::IDsdSource>& dsd, Playback& pb) {
    // 1. The source, by the track's extension.
    const std::filesystem::path& path = source->metadata().path;
    const detail::DsdSourceKind kind = detail::chooseDsdSourceKind(path, options.dsfNative, options.cutoff);
    dsd = options.sourceFactory ? options.sourceFactory() : detail::makeDsdSource(kind, source, options);
    if (!dsd) {
        throw std::runtime_error("DSD source not available in this build");
    }

    // 2. Does the whole track fit in memory?
    const morrow::dsd::DsdInfo info = dsd->info();
    if (info.frameCount > kMaxFrameCount) {
        throw std::runtime_error("DSD memory size overflow");
    }
    const std::optional<std::uint64_t> available =
        options.availableMemory ? options.availableMemory() : platform::availablePhysicalMemory();
    if (!available) {
        throw std::runtime_error("Cannot query available RAM");
    }
    const std::uint64_t budget = options.ramBudget != 0 ? options.ramBudget : *available - *available / 5;
    const std::uint64_t memoryBytes = info.frameCount * 4u;
    if (budget < memoryBytes) {
        throw std::runtime_error("Complete DSD track will not fit in available RAM; select a lower rate");
    }
    const std::uint32_t frameRate = info.rate / 16u;
    if (frameRate == 0) {
        // A source without a usable clock would make every position a division by zero.
        throw std::runtime_error("Invalid DSD rate");
    }
    pb.frameCount = info.frameCount;
    pb.frameRate = frameRate;
    pb.duration = static_cast<double>(info.sampleCount) / info.rate;

    // 3.
    {
        std::lock_guard guard(lock);
        status.rate = info.rate;
        status.memoryBytes = memoryBytes;
        status.duration = pb.duration;
    }

    // 4. The device is opened before any preparation, so a track is never
    // prepared for an output that cannot play it.
    output = options.outputFactory ? options.outputFactory() : detail::makeBuiltInDsdOutput(options);
    if (!output) {
        throw std::runtime_error("No DSD output backend");
    }
    pb.format = output->open(options.endpointId, frameRate);
    if (pb.format.frameRate != frameRate || pb.format.framesPerBuffer == 0) {
        throw std::runtime_error("Output rate mismatch");
    }
    // Built now rather than after preparation: an output with a carrier the
    // packer cannot fill fails before minutes of preparation, not after.
    FramePacker packer(pb.format.carrierBytes);
    {
        std::lock_guard guard(lock);
        status.outputDescription = pb.format.description;
    }

    // 5. The whole track into memory.
    pb.track.assign(static_cast<std::size_t>(info.frameCount), 0u);
    for (std::uint64_t i = 0; i < info.frameCount; ++i) {
        if (i % kCancelCheckFrames == 0) {
            const double progress = static_cast<double>(i) / static_cast<double>(info.frameCount);
            if (cancelFlag.load()) {
                finishStopped(progress, std::nullopt);
                throw Cancelled{};
            }
            std::lock_guard guard(lock);
            status.state = DsdEngineState::Preparing;
            status.progress = progress;
            status.position = 0.0;
            status.levels = {0.0f, 0.0f};
        }
        const morrow::dsd::DsdFrame frame = dsd->readFrame(i);
        pb.track[static_cast<std::size_t>(i)] = std::uint32_t{frame[0]} | (std::uint32_t{frame[1]} << 16);
    }
    dsd.reset();

    // 6. The level track, and the meter thread that fills it.
    if (cancelFlag.load()) {
        finishStopped(1.0, std::nullopt);
        throw Cancelled{};
    }
    startMeter(pb.duration, kind == detail::DsdSourceKind::DsfBits ? 1.0 : 0.5);

    // 7.
    pb.buffer.assign(pb.format.bufferBytes(), 0u);

    // 8. Ready: wait for play.
    {
        std::lock_guard guard(lock);
        status.state = DsdEngineState::Ready;
        status.progress = 1.0;
    }
    while (!playFlag.load()) {
        if (cancelFlag.load()) {
            stopMeter();
            finishStopped(1.0, std::nullopt);
            throw Cancelled{};
        }
        std::this_thread::sleep_for(kReadyPoll);
    }

    // 9. Prefill, start.
    const std::uint32_t depth = output->queueDepth();
    // The native ASIO output copies a queued buffer into one of the driver's
    // two halves at a switch, and the device plays that half only from the
    // next switch on: one event more before its last half has been heard.
    const bool halfBuffered = !options.outputFactory && !options.asioDriver.empty();
    pb.endEventsNeeded = depth + (halfBuffered ? 2 : 1);
    for (std::uint32_t k = 0; k < depth; ++k) {
        fill(pb, packer);
        output->submit(pb.buffer);
    }
    output->start();
    if (options.onStarted) {
        options.onStarted();
    }

    // 10. One buffer per device event, until cancelled.
    auto lastEvent = std::chrono::steady_clock::now();
    for (;;) {
        if (cancelFlag.load()) {
            output->stop();
            stopMeter();
            finishStopped(1.0, static_cast<double>(pb.position) / pb.frameRate);
            throw Cancelled{};
        }
        if (!output->wait(kWaitMs)) {
            if (std::chrono::steady_clock::now() - lastEvent > kDeviceSilenceLimit) {
                throw std::runtime_error("DSD output timeout/device disconnected");
            }
            continue;
        }
        lastEvent = std::chrono::steady_clock::now();
        endCheck(pb);
        fill(pb, packer);
        output->submit(pb.buffer);
    }
}

// Every frame has been delivered once the position reaches the end. Up to
// queueDepth buffers may still wait in the output then, each taken at one
// event: the device has the last of them, and has asked for more after it,
// at the (queueDepth + 1)-th event, the second for a single-buffer output
// (one more for ASIO's halves, see the prefill). Ending sooner would stop a
// deeper output (ASIO queues 8) with the track's last buffers unplayed.
void DsdEngine::Impl::endCheck(Playback& pb) {
    if (pb.endedLatched) {
        return;
    }
    if (pb.position != pb.frameCount) {
        // Counted events only stand for the frames just delivered: a seek
        // away from the end and back must wait for them all again.
        pb.endEvents = 0;
        return;
    }
    bool seekPending = false;
    {
        std::lock_guard guard(lock);
        seekPending = pendingSeek >= 0.0;
    }
    if (loopFlag.load() || !playFlag.load() || seekPending) {
        return;
    }
    if (++pb.endEvents >= pb.endEventsNeeded) {
        playFlag.store(false);
        pb.endedLatched = true;
        pb.endedFirstReport = true;
        pb.endEvents = 0;
    }
}

void DsdEngine::Impl::fill(Playback& pb, FramePacker& packer) {
    // 1. A pending seek.
    double seekTo = -1.0;
    {
        std::lock_guard guard(lock);
        seekTo = pendingSeek;
        pendingSeek = -1.0;
        pb.appliedGeneration = seekGeneration;
    }
    if (seekTo >= 0.0) {
        pb.position = seekTo >= pb.duration
                          ? pb.frameCount
                          : std::min(pb.frameCount, static_cast<std::uint64_t>(seekTo * pb.frameRate));
        // After the end, only a seek moves the head again.
        pb.endedLatched = false;
        pb.endedFirstReport = false;
        pb.endEvents = 0;
    }

    // 2.
    positionSeconds.store(static_cast<double>(pb.position) / pb.frameRate);

    // 3. The frames, straight from memory.
    const bool playing = playFlag.load();
    const bool muted = muteFlag.load();
    const bool looping = loopFlag.load();
    // Whole runs at a time: a run of track frames packed straight from the
    // track, idle runs (paused, muted, past the end) packed as one repeated
    // word. The same frames and positions as deciding frame by frame.
    const std::size_t frameBytes = std::size_t{2} * pb.format.carrierBytes;
    const std::span<std::uint8_t> buffer(pb.buffer);
    const std::size_t frames = pb.format.framesPerBuffer;
    std::uint64_t levelFrom = pb.position;
    std::size_t k = 0;
    while (k < frames) {
        const std::span<std::uint8_t> rest = buffer.subspan(k * frameBytes);
        if (!playing || pb.frameCount == 0) {
            packer.packRepeated(rest, kIdleFrameWord, frames - k);
            break;
        }
        if (pb.position == pb.frameCount) {
            if (!looping) {
                packer.packRepeated(rest, kIdleFrameWord, frames - k);
                break;
            }
            pb.position = 0;
            levelFrom = 0;
        }
        const std::size_t run =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames - k, pb.frameCount - pb.position));
        if (muted) {
            packer.packRepeated(rest, kIdleFrameWord, run);
        } else {
            packer.packFrames(rest, std::span<const std::uint32_t>(pb.track).subspan(
                                        static_cast<std::size_t>(pb.position), run));
        }
        pb.position += run;
        k += run;
    }

    // 5 (computed before 4 so that one lock publishes both).
    std::array<float, 2> levels{0.0f, 0.0f};
    if (playing && !muted) {
        const auto bin = [&](std::uint64_t p) {
            return static_cast<std::uint64_t>(static_cast<double>(p) / pb.frameRate * kLevelBinsPerSecond);
        };
        std::lock_guard guard(levelMutex);
        if (!levelTrack.empty()) {
            const std::uint64_t last = std::min<std::uint64_t>(bin(pb.position), levelTrack.size() - 1);
            for (std::uint64_t b = bin(levelFrom); b <= last; ++b) {
                levels[0] = std::max(levels[0], levelTrack[static_cast<std::size_t>(b)][0]);
                levels[1] = std::max(levels[1], levelTrack[static_cast<std::size_t>(b)][1]);
            }
        }
    }

    // 4.
    std::lock_guard guard(lock);
    if (pb.endedLatched) {
        status.state = DsdEngineState::Ended;
        status.position = pb.duration;
    } else {
        status.state = playing ? DsdEngineState::Playing : DsdEngineState::Paused;
        status.position = static_cast<double>(pb.position) / pb.frameRate;
    }
    status.progress = 1.0;
    status.levels = levels;
    if (pb.endedFirstReport) {
        pb.endedFirstReport = false;
        // A seek made since this buffer was begun has already answered the end.
        if (seekGeneration == pb.appliedGeneration && !cancelFlag.load() && !pb.endedRaised) {
            pb.endedRaised = true;
            endedFlag.store(true);
        }
    }
}

void DsdEngine::Impl::startMeter(double duration, double scale) {
    const double bins = std::ceil(duration * kLevelBinsPerSecond);
    const double pieces = std::ceil(duration * 10.0);
    {
        std::lock_guard guard(levelMutex);
        levelTrack.assign(static_cast<std::size_t>(bins) + 1, std::array<float, 2>{0.0f, 0.0f});
        pieceCount = static_cast<std::uint64_t>(pieces);
        pieceDone.assign(static_cast<std::size_t>(pieceCount), 0u);
    }
    meterStop.store(false);
    meterThread = std::thread([this, duration, scale] { meterLoop(duration, scale); });
}

void DsdEngine::Impl::stopMeter() noexcept {
    meterStop.store(true);
    if (meterThread.joinable()) {
        meterThread.join();
    }
}

void DsdEngine::Impl::computePiece(const playback::PlaybackSource& meterSource, std::uint64_t piece,
                                   std::uint64_t total, double scale,
                                   std::array<std::array<float, 2>, kBinsPerPiece>& bins,
                                   std::shared_ptr<const surrogate::PlaybackChunk>& chunk,
                                   std::uint64_t& chunkIndex, std::array<std::size_t, 2>& cursors) {
    const bool mono = meterSource.metadata().channelCount < 2;
    const std::uint64_t first = piece * kPieceSamples;
    const std::uint64_t end = std::min(first + kPieceSamples, total);
    for (std::uint64_t j = first; j < end; ++j) {
        if ((j - first) % kMeterCancelCheck == 0 && (cancelFlag.load() || meterStop.load())) {
            throw Cancelled{};
        }
        const double t = static_cast<double>(j) / kMeterRate;
        if (!chunk || t < chunk->ownershipStart || t >= chunk->ownershipEnd) {
            const std::uint64_t index = meterSource.chunkIndexAt(t);
            if (!chunk || index != chunkIndex) {
                chunk = meterSource.prepareChunk(index);
                chunkIndex = index;
                cursors = {0, 0};
            }
        }
        const std::size_t bin = static_cast<std::size_t>(j * kLevelBinsPerSecond / kMeterRate - piece * kBinsPerPiece);
        const std::size_t channels = mono ? 1 : 2;
        for (std::size_t c = 0; c < channels && c < chunk->channels.size(); ++c) {
            const auto value =
                static_cast<float>(std::fabs(chunk->channels[c].valueAt(t, cursors[c])) * scale);
            bins[bin][c] = std::max(bins[bin][c], value);
        }
        if (mono) {
            bins[bin][1] = bins[bin][0];
        }
    }
}

void DsdEngine::Impl::meterLoop(double duration, double scale) noexcept {
    try {
        // A source of its own for the same track, so that the meters never
        // share a reader's state with anything else. Sources without a file
        // behind them are immutable and used as they are.
        const std::shared_ptr<const playback::PlaybackSource> meterSource =
            source->metadata().path.empty() ? source : playback::createPlaybackSource(source->metadata().path);
        const auto total = static_cast<std::uint64_t>(std::ceil(duration * kMeterRate));
        std::shared_ptr<const surrogate::PlaybackChunk> chunk;
        std::uint64_t chunkIndex = 0;
        std::array<std::size_t, 2> cursors{0, 0};
        while (!cancelFlag.load() && !meterStop.load()) {
            std::uint64_t piece = pieceCount;
            if (pieceCount > 0) {
                const double at = std::min(positionSeconds.load(), duration);
                const std::uint64_t p0 =
                    std::min(static_cast<std::uint64_t>(std::max(at, 0.0) * 10.0), pieceCount - 1);
                const std::uint64_t last = std::min(p0 + kPiecesAhead, pieceCount);
                std::lock_guard guard(levelMutex);
                for (std::uint64_t p = p0; p < last; ++p) {
                    if (pieceDone[static_cast<std::size_t>(p)] == 0) {
                        piece = p;
                        break;
                    }
                }
            }
            if (piece >= pieceCount) {
                std::this_thread::sleep_for(kMeterIdle);
                continue;
            }
            std::array<std::array<float, 2>, kBinsPerPiece> bins{};
            computePiece(*meterSource, piece, total, scale, bins, chunk, chunkIndex, cursors);
            std::lock_guard guard(levelMutex);
            for (std::size_t b = 0; b < kBinsPerPiece; ++b) {
                const std::uint64_t entry = piece * kBinsPerPiece + b;
                if (entry < levelTrack.size()) {
                    levelTrack[static_cast<std::size_t>(entry)] = bins[b];
                }
            }
            pieceDone[static_cast<std::size_t>(piece)] = 1;
        }
    } catch (const Cancelled&) {
    } catch (const std::exception& error) {
        std::lock_guard guard(lock);
        status.meterFailureText = error.what();
    } catch (...) {
        std::lock_guard guard(lock);
        status.meterFailureText = "Unknown meter failure";
    }
}

DsdEngine::DsdEngine(std::shared_ptr<const playback::PlaybackSource> source, DsdEngineOptions options) {
    if (!source) {
        throw std::invalid_argument("No source for DSD");
    }
    if (!validMultiple(options.dsdMultiple)) {
        throw std::invalid_argument("Invalid DSD rate");
    }
    impl_ = std::make_unique<Impl>(std::move(source), std::move(options));
    impl_->engineThread = std::thread([impl = impl_.get()] { impl->run(); });
}

DsdEngine::~DsdEngine() {
    impl_->cancelFlag.store(true);
    if (impl_->engineThread.joinable()) {
        impl_->engineThread.join();
    }
}

bool DsdEngine::play() noexcept { return impl_->playFlag.exchange(true); }
bool DsdEngine::pause() noexcept { return impl_->playFlag.exchange(false); }
void DsdEngine::setLoop(bool on) noexcept { impl_->loopFlag.store(on); }
void DsdEngine::setMute(bool on) noexcept { impl_->muteFlag.store(on); }

void DsdEngine::seek(double seconds) {
    if (!std::isfinite(seconds)) {
        return;
    }
    std::lock_guard guard(impl_->lock);
    ++impl_->seekGeneration;
    impl_->endedFlag.store(false);
    impl_->pendingSeek = std::max(seconds, 0.0);
}

bool DsdEngine::cancel() noexcept {
    impl_->cancelFlag.store(true);
    return impl_->endedFlag.exchange(false);
}

bool DsdEngine::takeEnded() noexcept { return impl_->endedFlag.exchange(false); }
bool DsdEngine::hasFinished() const noexcept { return impl_->finishedFlag.load(); }

DsdEngineStatus DsdEngine::status() const {
    std::lock_guard guard(impl_->lock);
    return impl_->status;
}

std::array<float, 2> DsdEngine::levels() const {
    std::lock_guard guard(impl_->lock);
    return impl_->status.levels;
}

}  // namespace al::audio
