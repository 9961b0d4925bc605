// Ordered dither to levels as byte comparisons. With the matrix position fixed,
// the output byte is a non-decreasing step function of the input byte (the
// working value, the shift, the rounding and the level bytes all keep the
// order), so it is the position's output for byte 0 plus, for each higher output
// value, that value's rise wherever the byte is above the position's cut:
//
//     out = base + sum over steps j of (byte > cut[j] ? rise[j] : 0)
//
// a few byte compares per pixel that vector code does 16 or 32 at a time.
// The cuts are found by evaluating the exact rule, so the bytes are the
// rule's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simd/isa.h"
#include "matrices/matrices.h"
#include "buffers/raster.h"
#include "space/space.h"

namespace grainel {

// Every per-position byte pattern of one matrix row, laid out along an image row:
// pattern byte i belongs to image row byte i (column i / channels), repeated
// with the period of the matrix row, and padded with one more vector's worth
// so that a vector read at any offset below the period stays in the pattern.
struct LevelSteps {
    static constexpr std::size_t padding = 32;  // the widest vector

    std::size_t steps;        // compares per byte
    std::size_t period;       // matrix width (as far as the image reaches) x channels
    std::size_t stride;       // period + padding: bytes of one pattern
    std::size_t rows;         // matrix rows (as far as the image reaches)
    bool keeps_alpha;         // the alpha lanes keep their byte (a mask pattern)
    std::vector<std::uint8_t> rise;      // per step
    // Per matrix row: the base pattern, one cut pattern per step (each cut
    // stored XOR 0x80, for signed byte compares), then the alpha mask (0xFF
    // on alpha bytes) if any.
    std::vector<std::uint8_t> patterns;

    std::size_t patterns_per_row() const { return 1 + steps + keeps_alpha; }
    const std::uint8_t* row(std::size_t y) const {
        return patterns.data() + (y % rows) * patterns_per_row() * stride;
    }
};

// The distinct output bytes of the levels: one more than the most compares
// per byte that level_steps can give, cheap enough to decide on before
// building.
std::size_t distinct_outputs(const Levels& levels);

LevelSteps level_steps(const Raster& image, const Space& space, const Levels& levels,
                     float strength, const ThresholdMatrix& matrix);

}  // namespace grainel

// Rewrites the image in place; every byte equals the exact rule's.
GRAINEL_KERNEL(void apply_level_steps(Raster& image, const LevelSteps& steps))
