// Ordered and random dither to evenly spaced levels, each processed channel
// on its own.
#include "ordered/threshold_dither.h"

#include "ordered/level_steps.h"
#include "ordered/noise_draws.h"
#include "ordered/offsets.h"

#include <algorithm>
#include <vector>

namespace grainel {
namespace {

// The output byte of one processed channel value under a given offset.
inline std::uint8_t level_byte(const Space& space, const Levels& levels, float offset,
                               std::uint8_t byte) {
    return levels.bytes[levels.nearest(offset + space.decode[byte])];
}

template <class Offsets>
void threshold_levels(Raster& image, const Space& space, const Levels& levels,
                      float strength, Offsets offsets) {
    const float scale = strength * levels.step;
    const std::size_t channels = image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        offsets.start_row(y);
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        for (std::size_t x = 0; x < image.width; ++x, pixel += channels) {
            const float offset = scale * offsets.next();
            for (std::size_t c = 0; c < channels; ++c)
                if (image.alpha != c) pixel[c] = level_byte(space, levels, offset, pixel[c]);
        }
    }
}

// With the matrix position and the input byte fixed, the output byte is fixed:
// a table of positions x 256 outputs, filled with the exact rule, turns the
// pixel loop into lookups. It pays when the image has several values per
// table entry.
bool table_pays(const Raster& image, const ThresholdMatrix& matrix) {
    const std::size_t positions = matrix.width * matrix.height;
    return positions <= 65536 && positions * 256 <= image.height * image.width * image.channels / 2;
}

void ordered_levels_by_table(Raster& image, const Space& space, const Levels& levels,
                             float strength, const ThresholdMatrix& matrix) {
    const float scale = strength * levels.step;
    std::vector<std::uint8_t> table(matrix.thresholds.size() * 256);
    for (std::size_t position = 0; position < matrix.thresholds.size(); ++position) {
        const float offset = scale * (matrix.thresholds[position] - 0.5f);
        for (int byte = 0; byte < 256; ++byte)
            table[position * 256 + byte] =
                level_byte(space, levels, offset, static_cast<std::uint8_t>(byte));
    }
    const std::size_t channels = image.channels, width = matrix.width;
    for (std::size_t y = 0; y < image.height; ++y) {
        const std::uint8_t* table_row = table.data() + (y % matrix.height) * width * 256;
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        if (channels == 1) {
            // Gray: one matrix row's worth of columns at a time, no wrap test.
            for (std::size_t x = 0; x < image.width; x += width) {
                const std::size_t run = std::min(width, image.width - x);
                for (std::size_t j = 0; j < run; ++j) pixel[x + j] = table_row[j * 256 + pixel[x + j]];
            }
            continue;
        }
        for (std::size_t x = 0, column = 0; x < image.width; ++x, pixel += channels) {
            const std::uint8_t* position = table_row + column * 256;
            for (std::size_t c = 0; c < channels; ++c)
                if (image.alpha != c) pixel[c] = position[pixel[c]];
            if (++column == width) column = 0;
        }
    }
}

// For a fixed input byte the level only grows with the 24-bit draw r, and
// over the range of r it moves by at most one level, so one threshold per
// byte replaces the float work: r >= threshold gives the upper level.
struct DrawThresholds {
    std::uint8_t level[256][2];  // lower and upper output byte, indexed by
                                 // the comparison, which mispredicts as a branch
    std::uint32_t threshold[256];
    bool exact;  // false if some byte spans more than two levels

    DrawThresholds(const Space& space, const Levels& levels, float strength) : exact(true) {
        const float scale = strength * levels.step;
        auto index = [&](std::uint32_t r, int byte) {
            const float d = static_cast<float>(r) / 16777216.0f - 0.5f;
            return levels.nearest(scale * d + space.decode[byte]);
        };
        for (int byte = 0; byte < 256; ++byte) {
            const std::uint32_t k_low = index(0, byte), k_high = index(0xFFFFFF, byte);
            level[byte][0] = levels.bytes[k_low];
            level[byte][1] = levels.bytes[k_high];
            if (k_high > k_low + 1) exact = false;
            // The smallest r that reaches k_high.
            std::uint32_t lo = 0, hi = 0xFFFFFF;
            if (k_high == k_low) hi = 0;
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                if (index(mid, byte) == k_high) hi = mid; else lo = mid + 1;
            }
            threshold[byte] = hi;
        }
    }
};

// Random dither to levels through the per-byte draw thresholds. (Drawing a
// block ahead in vector lanes and then looking up measured slower than
// this: the lookups, not the draws, bound this loop.)
void random_levels_by_thresholds(Raster& image, const DrawThresholds& draws, std::uint64_t seed) {
    NoiseStream stream(seed);
    const std::size_t channels = image.channels, count = image.height * image.width;
    std::uint8_t* pixel = image.pixels;
    if (channels == 1) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t r = stream.next24();
            const std::uint8_t byte = pixel[i];
            pixel[i] = draws.level[byte][r >= draws.threshold[byte]];
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i, pixel += channels) {
        const std::uint32_t r = stream.next24();
        for (std::size_t c = 0; c < channels; ++c) {
            if (image.alpha == c) continue;
            const std::uint8_t byte = pixel[c];
            pixel[c] = draws.level[byte][r >= draws.threshold[byte]];
        }
    }
}

// The byte compares beat the per-(position, byte) table up to 16 compares per
// byte (at 16 levels, 1.5 times its speed with 32-byte vectors, about even
// with 16-byte ones), and cost some nine evaluations of the rule per position
// and compare to set up, against one per value for the plain rule.
bool steps_pay(const Raster& image, const Levels& levels, const ThresholdMatrix& matrix) {
    const std::size_t steps = distinct_outputs(levels) - 1;
    const std::size_t positions = std::min(matrix.width, image.width) *
                              std::min(matrix.height, image.height);
    const std::size_t values = image.height * image.width * image.channels;
    return steps <= 16 && positions * (1 + 9 * steps) <= values / 2;
}

}  // namespace

void ordered_levels(Raster& image, const Space& space, const Levels& levels,
                    float strength, const ThresholdMatrix& matrix) {
    if (steps_pay(image, levels, matrix)) {
        const LevelSteps plan = level_steps(image, space, levels, strength, matrix);
        GRAINEL_DISPATCH(apply_level_steps)(image, plan);
    } else if (table_pays(image, matrix))
        ordered_levels_by_table(image, space, levels, strength, matrix);
    else
        threshold_levels(image, space, levels, strength, MatrixOffsets{matrix});
}

void random_levels(Raster& image, const Space& space, const Levels& levels,
                   float strength, std::uint64_t seed) {
    if (image.channels == 1 && !space.linear && levels.bytes.size() == 2) {
        // One float compare per pixel, in vector lanes with the draws.
        NoiseStream stream(seed);
        const TwoRawLevels two{strength * levels.step, levels.inv_step, levels.bytes[0],
                               levels.bytes[1]};
        GRAINEL_DISPATCH(random_two_raw_levels)(stream, image.pixels, image.height * image.width, two);
        return;
    }
    // The thresholds cost some 6000 evaluations of the rule to find; below
    // that many pixels the rule itself is cheaper.
    if (image.height * image.width >= 16384) {
        const DrawThresholds draws(space, levels, strength);
        if (draws.exact) {
            random_levels_by_thresholds(image, draws, seed);
            return;
        }
    }
    threshold_levels(image, space, levels, strength, RandomOffsets{NoiseStream(seed)});
}

}  // namespace grainel
