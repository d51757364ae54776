#include "decoders/ReadAheadReader.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace al::file {

ReadAheadReader::ReadAheadReader(std::shared_ptr<const AudioFileReader> inner,
                                 std::uint64_t blockFrames, std::size_t blocksAhead)
    : inner_(std::move(inner)), blockFrames_(blockFrames), blocksAhead_(blocksAhead) {
    if (!inner_ || blockFrames_ == 0 || blocksAhead_ == 0) {
        throw std::invalid_argument("Read-ahead needs an open reader");
    }
}

ReadAheadReader::~ReadAheadReader() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::uint64_t ReadAheadReader::restarts() const {
    std::lock_guard guard(lock_);
    return restarts_;
}

std::vector<double> ReadAheadReader::ReadFrames(std::uint64_t startFrame, std::uint64_t count) const {
    std::vector<double> out;
    ReadFramesInto(startFrame, count, out);
    return out;
}

void ReadAheadReader::ReadFramesInto(std::uint64_t startFrame, std::uint64_t count,
                                     std::vector<double>& out) const {
    const std::uint64_t frames = inner_->frameCount();
    const std::uint64_t n = inner_->channelCount();
    // Runs outside the file and empty runs get the wrapped reader's own answer.
    if (count == 0 || startFrame >= frames || count > frames - startFrame) {
        inner_->ReadFramesInto(startFrame, count, out);
        return;
    }
    const std::uint64_t end = startFrame + count;
    std::unique_lock guard(lock_);
    if (failed_) {
        guard.unlock();
        inner_->ReadFramesInto(startFrame, count, out);
        return;
    }
    // The window serves what starts inside it or right where it ends (a
    // caller reading on: its last request was decoded to its end); anything
    // else moves it.
    if (startFrame < windowStart_ || startFrame > decodedEnd_ || restarts_ == 0) {
        for (Block& block : blocks_) {
            spare_.push_back(std::move(block));
        }
        blocks_.clear();
        windowStart_ = startFrame;
        decodedEnd_ = startFrame;
        ++generation_;
        ++restarts_;
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { decodeAhead(); });
        }
    }
    // Blocks wholly before the request are done with: room for the thread.
    bool freed = false;
    while (!blocks_.empty() && blocks_.front().first + blocks_.front().samples.size() / n <= startFrame) {
        spare_.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
        windowStart_ = blocks_.empty() ? decodedEnd_ : blocks_.front().first;
        freed = true;
    }
    // A request longer than the window lets the thread decode past it.
    wantedEnd_ = end;
    if (freed || end > decodedEnd_) {
        changed_.notify_all();
    }
    changed_.wait(guard, [&] { return failed_ || decodedEnd_ >= end; });
    if (failed_) {
        guard.unlock();
        inner_->ReadFramesInto(startFrame, count, out);
        return;
    }
    out.resize(static_cast<std::size_t>(count * n));
    copyOut(startFrame, end, out.data());
}

void ReadAheadReader::copyOut(std::uint64_t start, std::uint64_t end, double* out) const noexcept {
    const std::uint64_t n = inner_->channelCount();
    for (const Block& block : blocks_) {
        const std::uint64_t blockEnd = block.first + block.samples.size() / n;
        const std::uint64_t from = std::max(start, block.first);
        const std::uint64_t to = std::min(end, blockEnd);
        if (from >= to) {
            continue;
        }
        std::copy(block.samples.begin() + static_cast<std::ptrdiff_t>((from - block.first) * n),
                  block.samples.begin() + static_cast<std::ptrdiff_t>((to - block.first) * n),
                  out + (from - start) * n);
    }
}

void ReadAheadReader::decodeAhead() const noexcept {
    const std::uint64_t frames = inner_->frameCount();
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] {
            return stop_ || (!failed_ && decodedEnd_ < frames &&
                             (blocks_.size() < blocksAhead_ || decodedEnd_ < wantedEnd_));
        });
        if (stop_) {
            return;
        }
        const std::uint64_t generation = generation_;
        const std::uint64_t first = decodedEnd_;
        const std::uint64_t count = std::min(blockFrames_, frames - first);
        Block block;
        if (!spare_.empty()) {
            block = std::move(spare_.back());
            spare_.pop_back();
        }
        block.first = first;
        guard.unlock();
        bool good = true;
        try {
            inner_->ReadFramesInto(first, count, block.samples);
            good = block.samples.size() == count * inner_->channelCount();
        } catch (...) {
            good = false;
        }
        guard.lock();
        if (generation != generation_) {
            // The window moved while this block was decoded: it is not wanted.
            spare_.push_back(std::move(block));
            continue;
        }
        if (!good) {
            failed_ = true;
        } else {
            decodedEnd_ = first + count;
            blocks_.push_back(std::move(block));
        }
        changed_.notify_all();
    }
}

}  // namespace al::file
