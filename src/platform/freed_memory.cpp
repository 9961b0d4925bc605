#include "platform/freed_memory.h"

#include <cstdlib>  // any C library header defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace grainel {

void give_back_freed_buffers() noexcept {
#if defined(__GLIBC__)
    // Setting the threshold at all, even to its starting value, turns its
    // rise off.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

}  // namespace grainel
