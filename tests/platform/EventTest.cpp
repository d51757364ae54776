#include "platform/Event.h"
#include "platform/CpuTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace al::platform {
namespace {

TEST(Event, AutoResetReleasesOneWaitAndClears) {
    Event event;
    ASSERT_TRUE(event.create(Event::Reset::Automatic, true));
    EXPECT_EQ(waitFor(event, 0), 0u);
    EXPECT_EQ(waitFor(event, 0), kWaitTimeout);
    event.set();
    event.set();  // setting twice is still one release
    EXPECT_EQ(waitFor(event, 0), 0u);
    EXPECT_EQ(waitFor(event, 10), kWaitTimeout);
}

TEST(Event, ManualResetStaysSetUntilReset) {
    Event event;
    ASSERT_TRUE(event.create(Event::Reset::Manual, false));
    EXPECT_EQ(waitFor(event, 0), kWaitTimeout);
    event.set();
    EXPECT_EQ(waitFor(event, 0), 0u);
    EXPECT_EQ(waitFor(event, 0), 0u);
    event.reset();
    EXPECT_EQ(waitFor(event, 0), kWaitTimeout);
}

TEST(Event, TheLowestSetIndexWinsAndOnlyItIsConsumed) {
    Event close;
    Event pause;
    Event render;
    ASSERT_TRUE(close.create(Event::Reset::Manual, false));
    ASSERT_TRUE(pause.create(Event::Reset::Automatic, false));
    ASSERT_TRUE(render.create(Event::Reset::Automatic, false));
    Event* const all[] = {&close, &pause, &render};
    render.set();
    pause.set();
    EXPECT_EQ(waitForAny(all, 0), 1u);
    EXPECT_EQ(waitForAny(all, 0), 2u);
    EXPECT_EQ(waitForAny(all, 0), kWaitTimeout);
    close.set();
    render.set();
    EXPECT_EQ(waitForAny(all, 0), 0u);
    close.reset();
    EXPECT_EQ(waitForAny(all, 0), 2u);
}

TEST(Event, ASetFromAnotherThreadWakesTheWaiter) {
    Event event;
    ASSERT_TRUE(event.create(Event::Reset::Automatic, false));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.set();
    });
    EXPECT_EQ(waitFor(event, kWaitInfinite), 0u);
    setter.join();
}

TEST(Event, EachAutoResetSetReleasesExactlyOneOfTwoWaiters) {
    Event event;
    Event stop;
    Event acknowledged;
    ASSERT_TRUE(event.create(Event::Reset::Automatic, false));
    ASSERT_TRUE(stop.create(Event::Reset::Manual, false));
    ASSERT_TRUE(acknowledged.create(Event::Reset::Automatic, false));
    std::atomic<int> woken{0};
    auto waiter = [&] {
        Event* const both[] = {&stop, &event};
        while (waitForAny(both, kWaitInfinite) == 1u) {
            woken.fetch_add(1);
            acknowledged.set();
        }
    };
    std::thread a(waiter);
    std::thread b(waiter);
    constexpr int kSets = 200;
    for (int i = 0; i < kSets; ++i) {
        event.set();
        ASSERT_EQ(waitFor(acknowledged, 5000), 0u);
    }
    // A second waiter released by the same set would show up here.
    EXPECT_EQ(waitFor(acknowledged, 50), kWaitTimeout);
    stop.set();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), kSets);
}

// A timed wait sleeps until its deadline. A wait whose remainder is under a
// millisecond must not poll with a zero timeout over and over (a device
// thread pacing itself with such waits burned a fifth of a core); the
// processor time over many timed-out waits stays a small part of their time.
TEST(Event, TimedOutWaitsSleepInsteadOfSpinning) {
    Event event;
    ASSERT_TRUE(event.create(Event::Reset::Automatic, false));
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(waitFor(event, 4), kWaitTimeout);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = processCpuSeconds() - cpu0;
    EXPECT_GE(wall, 0.2);  // never returns early
    EXPECT_LT(cpu, 0.05 * wall) << "cpu " << cpu << " s over " << wall << " s";
}

TEST(Event, WaitingOnNothingOrAClosedEventFails) {
    EXPECT_EQ(waitForAny({}, 0), kWaitFailed);
    Event closed;
    EXPECT_FALSE(closed.valid());
    EXPECT_EQ(waitFor(closed, 0), kWaitFailed);
    Event event;
    ASSERT_TRUE(event.create(Event::Reset::Manual, true));
    event.close();
    EXPECT_EQ(waitFor(event, 0), kWaitFailed);
}

}  // namespace
}  // namespace al::platform
