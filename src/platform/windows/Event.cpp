#include "platform/Event.h"

#include <windows.h>

namespace al::platform {

namespace {

HANDLE handleOf(std::intptr_t value) noexcept { return reinterpret_cast<HANDLE>(value); }

}  // namespace

Event::~Event() { close(); }

bool Event::create(Reset reset, bool initiallySet) noexcept {
    close();
    HANDLE event = ::CreateEventW(nullptr, reset == Reset::Manual ? TRUE : FALSE,
                                  initiallySet ? TRUE : FALSE, nullptr);
    if (event == nullptr) {
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(event);
    reset_ = reset;
    return true;
}

void Event::close() noexcept {
    if (handle_ != -1) {
        ::CloseHandle(handleOf(handle_));
        handle_ = -1;
    }
}

void Event::set() noexcept {
    if (handle_ != -1) {
        ::SetEvent(handleOf(handle_));
    }
}

void Event::reset() noexcept {
    if (handle_ != -1) {
        ::ResetEvent(handleOf(handle_));
    }
}

std::uint32_t waitForAny(std::span<Event* const> events, std::uint32_t timeoutMs) noexcept {
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
        return kWaitFailed;
    }
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i] == nullptr || !events[i]->valid()) {
            return kWaitFailed;
        }
        handles[i] = handleOf(events[i]->nativeHandle());
    }
    const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), handles, FALSE,
                                                  timeoutMs == kWaitInfinite ? INFINITE : timeoutMs);
    if (result < WAIT_OBJECT_0 + events.size()) {
        return result - WAIT_OBJECT_0;
    }
    if (result == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    return kWaitFailed;
}

}  // namespace al::platform
