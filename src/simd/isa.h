// Instruction sets the vector kernels are built for. On x86-64 a kernel
// source is compiled once per set (see target.h), into a namespace per set
// that holds its entry points; callers take the one vector_isa() names
// through GRAINEL_DISPATCH. Every set gives the same bytes: they differ only in
// vector width. Elsewhere the baseline is the only set: the kernels are
// written in the compiler's vector extensions, which it maps to the target's
// own vectors (NEON on aarch64, which every aarch64 CPU has).
#pragma once

namespace grainel {

#if defined(__x86_64__)
enum class Isa { baseline, avx2 };
#else
enum class Isa { baseline };
#endif

// The widest set this CPU runs, decided once per process. A build with
// GRAINEL_BASELINE_ONLY always answers baseline, so that the baseline
// kernels can be tested on machines that have AVX2.
Isa vector_isa();

}  // namespace grainel

// GRAINEL_KERNEL(declaration): a kernel's entry point, declared in its
// family's header, outside any namespace, for every set: as
// grainel::baseline::f and, on x86-64, grainel::avx2::f.
// GRAINEL_DISPATCH(f): a pointer to the f of the set vector_isa() names.
#if defined(__x86_64__)
#define GRAINEL_KERNEL(...)                    \
    namespace grainel::baseline {              \
    __VA_ARGS__;                               \
    }                                          \
    namespace grainel::avx2 {                  \
    __VA_ARGS__;                               \
    }
#define GRAINEL_DISPATCH(f) \
    (::grainel::vector_isa() == ::grainel::Isa::avx2 ? &::grainel::avx2::f : &::grainel::baseline::f)
#else
#define GRAINEL_KERNEL(...)       \
    namespace grainel::baseline { \
    __VA_ARGS__;                  \
    }
#define GRAINEL_DISPATCH(f) (&::grainel::baseline::f)
#endif
