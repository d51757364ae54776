// Thread processor time: a thread's own figure counts its own work only, so
// that a benchmark can tell one thread's share from the rest of the process.
#include "platform/CpuTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace al::platform {
namespace {

void spinFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    std::atomic<unsigned> sink{0};
    while (std::chrono::steady_clock::now() < end) {
        sink.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(CpuTime, AThreadsFigureHoldsItsOwnWorkAndNotAnothers) {
    const double self0 = threadCpuSeconds();
    const double process0 = processCpuSeconds();
    std::thread busy([] { spinFor(std::chrono::milliseconds(300)); });
    busy.join();  // this thread waits meanwhile
    const double selfWhileWaiting = threadCpuSeconds() - self0;
    const double process = processCpuSeconds() - process0;
    EXPECT_LT(selfWhileWaiting, 0.05);
    EXPECT_GT(process, 0.1);  // the busy thread's work is the process's

    double own = 0.0;
    std::thread worker([&own] {
        const double start = threadCpuSeconds();
        spinFor(std::chrono::milliseconds(300));
        own = threadCpuSeconds() - start;
    });
    worker.join();
    // At least part of the spin was on a processor even on a loaded machine,
    // and never more than the time that passed.
    EXPECT_GT(own, 0.02);
    EXPECT_LT(own, 0.35);
}

}  // namespace
}  // namespace al::platform
