#pragma once
// Interruption requests (Ctrl+C, a termination request) as a flag that a
// long-running command polls, so it can stop at a safe point and clean up
// instead of dying half-way.

namespace al::platform {

// While an InterruptWatch exists, interruption requests set its flag instead
// of ending the process; destruction restores the previous handling. One at
// a time (the latest one wins). requested() may be called from any thread.
class InterruptWatch {
  public:
    InterruptWatch() noexcept;
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool requested() const noexcept;
};

}  // namespace al::platform
