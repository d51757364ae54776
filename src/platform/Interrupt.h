#pragma once
// Ctrl+C for long command-line jobs: noticed as a flag instead of ending the
// process, so the job can clean up (remove a half-written file) and leave.

namespace al::platform {

// While a watch lives, Ctrl+C (and, on Linux, SIGTERM) sets a flag instead of
// ending the process; destruction restores the handling found. One watch at
// a time; requested() may be read from any thread. Never throws.
class InterruptWatch {
public:
    InterruptWatch() noexcept;
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool requested() const noexcept;
    // Raises the flag as Ctrl+C would (tests).
    void request() noexcept;
};

}  // namespace al::platform
