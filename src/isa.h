// Instruction sets the vector kernels are built for. A kernel source is
// compiled once per set (see isa_target.h) and defines its entry points as
// explicit specialisations for that set; callers pick the one vector_isa()
// names. Every set gives the same bytes: they differ only in vector width.
#pragma once

namespace grainel {

enum class Isa { baseline, avx2 };

// The widest set this CPU runs, decided once per process. A build with
// GRAINEL_BASELINE_ONLY always answers baseline, so that the baseline
// kernels can be tested on machines that have AVX2.
Isa vector_isa();

// Calls f.template operator()<I>() with I the set vector_isa() names.
template <class F>
decltype(auto) with_vector_isa(F&& f) {
    if (vector_isa() == Isa::avx2) return f.template operator()<Isa::avx2>();
    return f.template operator()<Isa::baseline>();
}

}  // namespace grainel
