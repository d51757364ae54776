#include "CountingAllocator.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int counting = 0;
thread_local std::uint64_t allocations = 0;

void* allocate(std::size_t size) {
    if (counting > 0) {
        ++allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
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

namespace morrow::dsd::test {

AllocationCount::AllocationCount() noexcept : start_(allocations) {
    ++counting;
}
AllocationCount::~AllocationCount() {
    --counting;
}
std::uint64_t AllocationCount::count() const noexcept {
    return allocations - start_;
}

}  // namespace morrow::dsd::test
