#include "platform/Interrupt.h"

#include <windows.h>

#include <atomic>

namespace al::platform {

namespace {

std::atomic<bool> gRequested{false};

BOOL WINAPI onControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            gRequested.store(true, std::memory_order_relaxed);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

InterruptWatch::InterruptWatch() noexcept {
    gRequested.store(false, std::memory_order_relaxed);
    SetConsoleCtrlHandler(onControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
    SetConsoleCtrlHandler(onControl, FALSE);
}

bool InterruptWatch::requested() const noexcept {
    return gRequested.load(std::memory_order_relaxed);
}

}  // namespace al::platform
