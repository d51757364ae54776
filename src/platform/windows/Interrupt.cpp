#include "platform/Interrupt.h"

#include <windows.h>

#include <atomic>

namespace al::platform {

namespace {

std::atomic<bool> g_requested{false};

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_requested.store(true);
        return TRUE;  // handled: the process goes on and cleans up
    }
    return FALSE;
}

}  // namespace

InterruptWatch::InterruptWatch() noexcept {
    g_requested.store(false);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() { ::SetConsoleCtrlHandler(onConsoleControl, FALSE); }

bool InterruptWatch::requested() const noexcept { return g_requested.load(); }

void InterruptWatch::request() noexcept { g_requested.store(true); }

}  // namespace al::platform
