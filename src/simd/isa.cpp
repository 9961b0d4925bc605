#include "simd/isa.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace grainel {

#if defined(__x86_64__) && !defined(GRAINEL_BASELINE_ONLY)
namespace {

// AVX2 needs the CPU's feature bit and the operating system's support: it
// must save the 256-bit registers on a context switch (OSXSAVE set, and the
// SSE and AVX state bits of XCR0). Asked of the CPU itself rather than
// through __builtin_cpu_supports, whose runtime clang-cl does not link.
bool runs_avx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned xcr0, xcr0_high;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if ((xcr0 & 6) != 6) return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}

}  // namespace
#endif

Isa vector_isa() {
#if defined(__x86_64__) && !defined(GRAINEL_BASELINE_ONLY)
    static const Isa chosen = runs_avx2() ? Isa::avx2 : Isa::baseline;
    return chosen;
#else
    return Isa::baseline;
#endif
}

}  // namespace grainel
