#include "platform/ThreadScheduling.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace al::platform {

namespace {

// Well above ordinary real-time helpers, below the kernel's own threads and
// the audio server's watchdogs, which commonly sit near the top of the range.
constexpr int kRenderPriority = 70;

}  // namespace

ProAudioScheduling::~ProAudioScheduling() { leave(); }

bool ProAudioScheduling::join() noexcept {
    if (joined_) {
        return true;
    }
    int policy = 0;
    sched_param previous{};
    if (::pthread_getschedparam(::pthread_self(), &policy, &previous) != 0) {
        return false;
    }
    const int lowest = ::sched_get_priority_min(SCHED_FIFO);
    const int highest = ::sched_get_priority_max(SCHED_FIFO);
    if (lowest < 0 || highest < lowest) {
        return false;
    }
    sched_param wanted{};
    wanted.sched_priority = std::clamp(kRenderPriority, lowest, highest);
    // Without CAP_SYS_NICE or an RLIMIT_RTPRIO grant this is refused (EPERM)
    // and the thread stays as it was.
    if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &wanted) != 0) {
        return false;
    }
    savedPolicy_ = policy;
    savedPriority_ = previous.sched_priority;
    joined_ = true;
    return true;
}

void ProAudioScheduling::leave() noexcept {
    if (!joined_) {
        return;
    }
    sched_param previous{};
    previous.sched_priority = savedPriority_;
    ::pthread_setschedparam(::pthread_self(), savedPolicy_, &previous);
    joined_ = false;
}

}  // namespace al::platform
