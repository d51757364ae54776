#pragma once
// Counts the allocations made on the calling thread while a scope is open.
// The global operator new of the test program (CountingAllocator.cpp) asks
// it; linking that file into a program replaces its allocator.

#include <cstdint>

namespace morrow::dsd::test {

class AllocationCount {
  public:
    AllocationCount() noexcept;
    ~AllocationCount();
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;

    std::uint64_t count() const noexcept;

  private:
    std::uint64_t start_;
};

}  // namespace morrow::dsd::test
