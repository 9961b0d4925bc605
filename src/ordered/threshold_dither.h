// Threshold dither: every processed value is shifted by a per-pixel offset
// fraction d in [-0.5, 0.5) and then rounded to a level or matched to a
// palette colour. Ordered dither takes d from a tiled matrix, random dither
// from a SplitMix64 stream.
#pragma once

#include <cstdint>

#include "matrices/matrices.h"
#include "palette/palette.h"
#include "buffers/raster.h"
#include "space/space.h"

namespace grainel {

void ordered_levels(Raster& image, const Space& space, const Levels& levels,
                    float strength, const ThresholdMatrix& matrix);
void ordered_palette(Raster& image, const Space& space, const Palette& palette,
                     float strength, const ThresholdMatrix& matrix);

void random_levels(Raster& image, const Space& space, const Levels& levels,
                   float strength, std::uint64_t seed);
void random_palette(Raster& image, const Space& space, const Palette& palette,
                    float strength, std::uint64_t seed);

// SplitMix64 with a scrambled start; each draw yields the top 24 bits.
struct NoiseStream {
    explicit NoiseStream(std::uint64_t seed) : state(seed ^ 0xD1B54A32D192ED03ull) {}

    std::uint32_t next24() {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::uint32_t>(z >> 40);
    }

    // Uniform noise in [-0.5, 0.5 - 2^-24], exact in float.
    float next_offset() { return static_cast<float>(next24()) / 16777216.0f - 0.5f; }

    std::uint64_t state;
};

}  // namespace grainel
