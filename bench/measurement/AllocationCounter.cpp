// Counting replacements of the global operator new and delete. In a file of their own, so that
// the compiler sees no mismatch of new and free where a delete would be inlined.
#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> allocationCount{0};

}  // namespace

void* operator new(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}

namespace Tarnwell {

std::uint64_t AllocationCount() noexcept {
    return allocationCount.load(std::memory_order_relaxed);
}

}  // namespace Tarnwell
