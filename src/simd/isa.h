// Instruction sets the vector kernels are built for. On x86-64 a kernel
// source is compiled once per set (see target.h) and defines its entry
// points as explicit specialisations for that set; callers pick the one
// vector_isa() names. Every set gives the same bytes: they differ only in
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

// Calls f.template operator()<I>() with I the set vector_isa() names.
template <class F>
decltype(auto) with_vector_isa(F&& f) {
#if defined(__x86_64__)
    if (vector_isa() == Isa::avx2) return f.template operator()<Isa::avx2>();
#endif
    return f.template operator()<Isa::baseline>();
}

}  // namespace grainel
