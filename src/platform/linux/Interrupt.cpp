#include "platform/Interrupt.h"

#include <signal.h>

#include <atomic>

namespace al::platform {

namespace {

std::atomic<bool> gRequested{false};
struct sigaction gPreviousInt {};
struct sigaction gPreviousTerm {};

extern "C" void onInterrupt(int) {
    gRequested.store(true, std::memory_order_relaxed);
}

}  // namespace

InterruptWatch::InterruptWatch() noexcept {
    gRequested.store(false, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &gPreviousInt);
    sigaction(SIGTERM, &action, &gPreviousTerm);
}

InterruptWatch::~InterruptWatch() {
    sigaction(SIGINT, &gPreviousInt, nullptr);
    sigaction(SIGTERM, &gPreviousTerm, nullptr);
}

bool InterruptWatch::requested() const noexcept {
    return gRequested.load(std::memory_order_relaxed);
}

}  // namespace al::platform
