// The noise of random dither, several draws at a time. The generator is a
// counter (the state grows by a constant per draw) run through a mixing
// function, so draw i of a block needs only the block's start: the draws of
// a block are independent, and vector lanes compute them side by side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/isa.h"
#include "ordered/threshold_dither.h"

namespace grainel {

// Random dither of `count` one-channel bytes to two levels with raw working
// values (each byte's value is itself): lower if inv_step x (scale x d + byte)
// is below one half, as the rule's rounding decides, else upper, with d the
// pixel's draw / 2^24 - 1/2. Lane by lane the same float operations as the rule.
struct TwoRawLevels {
    float scale;     // strength x step
    float inv_step;
    std::uint8_t lower, upper;
};

}  // namespace grainel

GRAINEL_KERNEL(void random_two_raw_levels(NoiseStream& stream, std::uint8_t* pixels, std::size_t count,
                                          const TwoRawLevels& levels))
