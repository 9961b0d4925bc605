// Picture-sized buffers, given huge pages where the system offers them: a
// fresh buffer is faulted in page by page, and with 4 KiB pages that costs
// as much as the fastest pixel loops, and serialises threads of one
// process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace grainel {

// Like std::malloc, and freed with std::free, or null.
void* allocate_large(std::size_t size);

// Frees what allocate_large, malloc or calloc gave.
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(std::size_t n) {
        void* block = n <= SIZE_MAX / sizeof(T) ? allocate_large(n * sizeof(T)) : nullptr;
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) { std::free(block); }
    friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace grainel
