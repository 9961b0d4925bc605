// Finding each matrix position's cuts with the exact rule, and laying them out
// along an image row for the vector pass.
#include "ordered/level_steps.h"

#include <algorithm>

namespace grainel {
namespace {

// The positions the image reaches: a matrix larger than the image is only ever
// read in its top-left corner.
struct UsedPositions {
    std::size_t width, height;
};

// One position's output byte for each input byte, by the exact rule.
struct PositionRule {
    const Space& space;
    const Levels& levels;
    float offset;

    std::uint8_t operator()(std::size_t byte) const {
        return levels.bytes[levels.nearest(offset + space.decode[byte])];
    }

    // The smallest byte from `from` on whose output reaches `value`, or 256
    // if none does: a binary search, the output being non-decreasing.
    std::size_t first_reaching(std::uint8_t value, std::size_t from) const {
        std::size_t lo = from, hi = 256;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if ((*this)(mid) >= value) hi = mid; else lo = mid + 1;
        }
        return lo;
    }
};

}  // namespace

std::size_t distinct_outputs(const Levels& levels) {
    // Level bytes never decrease, so the distinct ones are the changes.
    std::size_t count = 1;
    for (std::size_t i = 1; i < levels.bytes.size(); ++i)
        count += levels.bytes[i] != levels.bytes[i - 1];
    return count;
}

LevelSteps level_steps(const Raster& image, const Space& space, const Levels& levels,
                     float strength, const ThresholdMatrix& matrix) {
    const UsedPositions used{std::min(matrix.width, image.width),
                         std::min(matrix.height, image.height)};
    std::vector<std::uint8_t> outputs(levels.bytes);
    outputs.erase(std::unique(outputs.begin(), outputs.end()), outputs.end());
    const std::size_t candidates = outputs.size() - 1;

    // Step j (1-based) adds outputs[j] - outputs[j - 1] where the byte is
    // above the cut, one less than the first byte whose output reaches
    // outputs[j]. A position whose byte 0 already reaches it has the rise in its
    // base instead, and 255 as cut (no byte is above); a position that never
    // reaches it has 255 too. A step no position needs is dropped.
    const float scale = strength * levels.step;
    const std::size_t positions = used.width * used.height;
    std::vector<std::uint8_t> base(positions), cuts(positions * candidates);
    std::vector<bool> needed(candidates, false);
    for (std::size_t my = 0; my < used.height; ++my) {
        for (std::size_t mx = 0; mx < used.width; ++mx) {
            const std::size_t position = my * used.width + mx;
            const float threshold = matrix.thresholds[my * matrix.width + mx];
            const PositionRule rule{space, levels, scale * (threshold - 0.5f)};
            base[position] = rule(0);
            std::size_t from = 1;
            for (std::size_t j = 1; j <= candidates; ++j) {
                std::uint8_t cut = 255;
                if (outputs[j] > base[position]) {
                    from = rule.first_reaching(outputs[j], from);
                    if (from < 256) {
                        cut = static_cast<std::uint8_t>(from - 1);
                        needed[j - 1] = true;
                    }
                }
                cuts[position * candidates + j - 1] = cut;
            }
        }
    }

    LevelSteps plan;
    plan.steps = static_cast<std::size_t>(std::count(needed.begin(), needed.end(), true));
    plan.period = used.width * image.channels;
    plan.stride = plan.period + LevelSteps::padding;
    plan.rows = used.height;
    plan.keeps_alpha = image.alpha.has_value();
    for (std::size_t j = 1; j <= candidates; ++j)
        if (needed[j - 1])
            plan.rise.push_back(static_cast<std::uint8_t>(outputs[j] - outputs[j - 1]));
    plan.patterns.resize(plan.rows * plan.patterns_per_row() * plan.stride);
    for (std::size_t my = 0; my < plan.rows; ++my) {
        std::uint8_t* row = plan.patterns.data() + my * plan.patterns_per_row() * plan.stride;
        for (std::size_t i = 0; i < plan.stride; ++i) {
            const std::size_t at = i % plan.period;
            const std::size_t position = my * used.width + at / image.channels;
            if (image.alpha == at % image.channels) {
                // Base 0, never above a cut, and the mask lets the byte through.
                for (std::size_t s = 1; s <= plan.steps; ++s) row[s * plan.stride + i] = 255 ^ 0x80;
                row[(plan.steps + 1) * plan.stride + i] = 0xFF;
                continue;
            }
            row[i] = base[position];
            std::uint8_t* cut = row + plan.stride + i;
            for (std::size_t j = 0; j < candidates; ++j) {
                if (!needed[j]) continue;
                *cut = cuts[position * candidates + j] ^ 0x80;
                cut += plan.stride;
            }
        }
    }
    return plan;
}

}  // namespace grainel
