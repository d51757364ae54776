#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace al::platform {

// An eventfd whose counter is non-zero while the event is set. An auto-reset
// event is taken by the waiter that manages to read (and so clear) the
// counter; another waiter woken by the same poll finds it empty and waits on.

namespace {

int fdOf(const Event& event) noexcept { return static_cast<int>(event.nativeHandle()); }

bool drain(int fd) noexcept {
    std::uint64_t value = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &value, sizeof value);
        if (got == static_cast<ssize_t>(sizeof value)) {
            return true;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

}  // namespace

Event::~Event() { close(); }

bool Event::create(Reset reset, bool initiallySet) noexcept {
    close();
    const int fd = ::eventfd(initiallySet ? 1u : 0u, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    handle_ = fd;
    reset_ = reset;
    return true;
}

void Event::close() noexcept {
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

void Event::set() noexcept {
    if (handle_ == -1) {
        return;
    }
    const std::uint64_t one = 1;
    // A full counter (never reached in practice) is still "set".
    while (::write(static_cast<int>(handle_), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::reset() noexcept {
    if (handle_ != -1) {
        drain(static_cast<int>(handle_));
    }
}

std::uint32_t waitForAny(std::span<Event* const> events, std::uint32_t timeoutMs) noexcept {
    constexpr std::size_t kMaximum = 64;
    if (events.empty() || events.size() > kMaximum) {
        return kWaitFailed;
    }
    pollfd fds[kMaximum];
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i] == nullptr || !events[i]->valid()) {
            return kWaitFailed;
        }
        fds[i] = pollfd{fdOf(*events[i]), POLLIN, 0};
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != kWaitInfinite) {
            // Rounded up: poll() counts whole milliseconds, and a remainder
            // rounded down to 0 would make this loop spin until the deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        const int ready = ::poll(fds, static_cast<nfds_t>(events.size()), wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kWaitFailed;
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                return kWaitFailed;
            }
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            if (events[i]->resetMode() == Event::Reset::Manual || drain(fds[i].fd)) {
                return static_cast<std::uint32_t>(i);
            }
        }
        if (ready == 0 && timeoutMs != kWaitInfinite && Clock::now() >= deadline) {
            return kWaitTimeout;
        }
    }
}

}  // namespace al::platform
