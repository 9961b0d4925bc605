#include "isa.h"

namespace grainel {

Isa vector_isa() {
#ifdef GRAINEL_BASELINE_ONLY
    return Isa::baseline;
#else
    // GCC's check covers the operating system's support for the wide
    // registers too, not only the CPU's feature bit.
    static const Isa chosen = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? Isa::avx2 : Isa::baseline;
    }();
    return chosen;
#endif
}

}  // namespace grainel
