// Counts every allocation in this test program, so the real-time side of the
// native output can be shown to allocate nothing: submit on the engine thread
// and both buffer-switch callbacks on the driver's thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "FakeAsioDriver.h"
#include "dsd/NativeAsioOutput.h"

namespace {
std::atomic<long> gAllocations{0};
}

// The replacements pair malloc with free; the compiler, seeing operator new
// and free inlined together, would otherwise take them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace al::audio {
namespace {

TEST(NativeAsioRealTime, SubmitWaitAndCallbacksAllocateNothing) {
    test::FakeAsio fake;
    fake.state.sampleType[0] = platform::kAsioDsdLsbFirst;  // the reversing path
    fake.state.sampleType[1] = platform::kAsioDsdMsbFirst;  // and the mixed one
    Native native(u"{8F3A2C10-5B6D-4E7F-9A01-23456789ABCD}", fake.system);
    const DsdOutputFormat format = native.open(u"", 176400);
    const std::vector<std::uint8_t> buffer(format.bufferBytes(), 0x5A);

    const long before = gAllocations.load();
    for (std::uint32_t i = 0; i < native.queueDepth(); ++i) {
        native.submit(buffer);
    }
    const long prefilled = gAllocations.load();
    native.start();
    const long afterStart = gAllocations.load();
    for (int k = 0; k < 1000; ++k) {
        if (k % 2 == 0) {
            fake.state.switchHalf(k % 2);
        } else {
            fake.state.switchHalfWithTimeInfo(k % 2);
        }
        ASSERT_TRUE(native.wait(20));
        native.submit(buffer);
    }
    const long after = gAllocations.load();
    EXPECT_EQ(prefilled - before, 0);
    EXPECT_EQ(after - afterStart, 0);
    // The counter itself counts: a vector's growth is seen.
    std::vector<int> probe(3);
    EXPECT_GT(gAllocations.load(), after);
}

}  // namespace
}  // namespace al::audio
