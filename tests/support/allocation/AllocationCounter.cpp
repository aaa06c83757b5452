// Counting replacements of the global operator new and delete, every form. In a file of their
// own, so that the compiler sees no mismatch of new and free where a delete would be inlined.
#include "AllocationCounter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> allocationCount{0};

void* Allocate(std::size_t size, std::size_t alignment) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    size = size == 0 ? 1 : size;
    // aligned_alloc wants a size that is a multiple of the alignment.
    void* memory =
        alignment > alignof(std::max_align_t)
            ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
            : std::malloc(size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size, 0);
}
void* operator new[](std::size_t size) {
    return Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}

namespace Tarnwell::test {

std::uint64_t AllocationCount() noexcept {
    return allocationCount.load(std::memory_order_relaxed);
}

}  // namespace Tarnwell::test
