#include "platform/Interrupt.h"

#include <signal.h>

#include <atomic>

namespace al::platform {

namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
struct sigaction g_previousInt;
struct sigaction g_previousTerm;

extern "C" void onInterrupt(int) { g_requested.store(true); }

}  // namespace

InterruptWatch::InterruptWatch() noexcept {
    g_requested.store(false);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
}

InterruptWatch::~InterruptWatch() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
}

bool InterruptWatch::requested() const noexcept { return g_requested.load(); }

void InterruptWatch::request() noexcept { g_requested.store(true); }

}  // namespace al::platform
