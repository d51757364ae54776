#pragma once
// Real-time scheduling of an audio render thread: the multimedia class "Pro
// Audio" at high priority on Windows, SCHED_FIFO on Linux when the process
// may use it. Joining is a request, never a requirement: when the platform
// refuses, the thread keeps its normal scheduling and plays on.

#include <cstdint>

namespace al::platform {

// Owned by the thread it schedules: join() and leave() (and destruction, which
// leaves) must be called on that thread. Never throws.
class ProAudioScheduling {
public:
    ProAudioScheduling() noexcept = default;
    ~ProAudioScheduling();
    ProAudioScheduling(const ProAudioScheduling&) = delete;
    ProAudioScheduling& operator=(const ProAudioScheduling&) = delete;

    // Moves the calling thread into the real-time class and raises it to the
    // class's high priority. False when the platform refused; the thread then
    // runs unchanged.
    bool join() noexcept;
    // Returns the thread to the scheduling it had before join(). Safe when
    // not joined.
    void leave() noexcept;
    bool joined() const noexcept { return joined_; }

private:
    bool joined_ = false;
    std::intptr_t handle_ = 0;   // Windows: the task handle
    std::intptr_t library_ = 0;  // Windows: the scheduling library, loaded at run time
    int savedPolicy_ = 0;        // Linux: policy and priority before join()
    int savedPriority_ = 0;
};

}  // namespace al::platform
