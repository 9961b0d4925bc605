#include "buffers/large_buffers.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace grainel {

void* allocate_large(std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (size >= 2 * huge) {
        void* block = std::aligned_alloc(huge, (size + huge - 1) / huge * huge);
        if (block) madvise(block, size, MADV_HUGEPAGE);
        return block;
    }
#endif
    return std::malloc(size);
}

}  // namespace grainel
