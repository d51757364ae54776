#pragma once
// Builds presentation snapshots off the window thread. The window asks for a
// snapshot around a play position; one background thread (below normal
// priority, started on the first request) builds it from prepared chunks and
// publishes it whole, so a reader never sees a partly built snapshot.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "visual/GeometrySnapshot.h"

namespace al::ui {

// Requests and takeSnapshot: window thread. The build itself runs on the
// builder's own thread; failures there are kept as text (lastError), never
// thrown across threads.
class SnapshotBuilder {
  public:
    // `indexAt` and `lookup` are called on the builder thread only and must
    // be safe there (a surrogate buffer's get is).
    // `follow`, when given, is told the first chunk of each window before it
    // is built, so that a background buffer can keep the chunks around it.
    SnapshotBuilder(double duration, ChunkIndexAt indexAt, ChunkLookup lookup,
                    std::function<void(std::uint64_t)> follow = {});
    ~SnapshotBuilder();
    SnapshotBuilder(const SnapshotBuilder&) = delete;
    SnapshotBuilder& operator=(const SnapshotBuilder&) = delete;

    // Clamps the time to [0, duration] and the length to [0.001, 1] s; when
    // either moved by 1e-9 or more or a flag changed, counts a new request
    // and wakes the builder. Starts the builder on the first call. Returns
    // whether a new request was counted.
    bool request(double time, double windowLength, bool playing, bool extend);
    // The newest published snapshot (may be null).
    std::shared_ptr<const PresentationGeometrySnapshot> latest() const;
    void stop() noexcept;

    std::uint64_t requestCounter() const noexcept { return counter_.load(); }
    std::string lastError() const;

    // The most snapshots the builder keeps for reuse beside the published one.
    static constexpr std::size_t kSpareSnapshots = 3;

  private:
    void run() noexcept;
    // A snapshot to build into: a spare held by the builder alone, else a
    // new one (kept as a spare while there is room).
    std::shared_ptr<PresentationGeometrySnapshot> spare();

    double duration_;
    ChunkIndexAt indexAt_;
    ChunkLookup lookup_;
    std::function<void(std::uint64_t)> follow_;
    std::atomic<double> time_{-1.0};
    std::atomic<double> length_{0.0};
    std::atomic<bool> playing_{false};
    std::atomic<bool> extend_{false};
    std::atomic<std::uint64_t> counter_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    // Replaced whole under its own short lock; the previous snapshot is
    // released outside it.
    mutable std::mutex publishMutex_;
    std::shared_ptr<const PresentationGeometrySnapshot> published_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string error_;  // under mutex_
    // Snapshots built before and no longer published (builder thread only).
    // One that nobody else holds any more is built into again, keeping its
    // lists' storage, so that the steady state asks for no memory.
    std::vector<std::shared_ptr<PresentationGeometrySnapshot>> spares_;
    std::shared_ptr<PresentationGeometrySnapshot> publishedOwn_;  // builder thread only
    std::thread thread_;
};

}  // namespace al::ui
