// Method and matrix names: normalisation, the alias table, and the lists
// shown to callers.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "diffusion/diffusion.h"

namespace grainel {

// ASCII capitals lowered; spaces, '-' and '_' removed anywhere.
std::string normalize(std::string_view text);

// The method a caller's name (any spelling or alias) stands for, or null.
const DiffusionMethod* parse_method(std::string_view text);

inline constexpr std::array<unsigned, 4> bayer_sizes = {2, 4, 8, 16};
inline constexpr std::array<std::string_view, 4> matrix_names = {
    "bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"};

// The nine canonical method names in table order.
std::array<std::string_view, 9> method_names();

}  // namespace grainel
