#pragma once
// Events that one thread sets and another waits on, alone or several at once.
// The render side of the player talks to its controller only through these,
// and an audio endpoint signals one once per period.

#include <cstdint>
#include <span>

namespace al::platform {

// One event object: set or clear. An auto-reset event releases one waiter and
// clears itself as that waiter wakes; a manual-reset event stays set until
// reset. set() and reset() may be called from any thread, including an audio
// device's own thread; create() and destruction belong to the owner.
class Event {
public:
    enum class Reset { Automatic, Manual };

    Event() noexcept = default;
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Creates the platform object (closing any held). Returns false on failure.
    bool create(Reset reset, bool initiallySet) noexcept;
    // Closes the platform object. Safe when none is held.
    void close() noexcept;

    void set() noexcept;
    void reset() noexcept;

    bool valid() const noexcept { return handle_ != -1; }
    Reset resetMode() const noexcept { return reset_; }
    // The platform's object: a HANDLE on Windows, an eventfd on Linux.
    std::intptr_t nativeHandle() const noexcept { return handle_; }

private:
    std::intptr_t handle_ = -1;
    Reset reset_ = Reset::Automatic;
};

// Results of waitForAny, numbered as the platform's wait functions number them.
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFFu;

// Waits until one of the events is set, at most timeoutMs milliseconds
// (kWaitInfinite: no limit). Returns the index of the set event (the lowest
// index when several are set; an auto-reset event it returns is cleared),
// kWaitTimeout, or kWaitFailed (no events, more than 64, or an invalid one).
std::uint32_t waitForAny(std::span<Event* const> events, std::uint32_t timeoutMs) noexcept;

// One event alone.
inline std::uint32_t waitFor(Event& event, std::uint32_t timeoutMs) noexcept {
    Event* const one[] = {&event};
    return waitForAny(one, timeoutMs);
}

}  // namespace al::platform
