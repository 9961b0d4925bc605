#include "tools/fit/activity_weights.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace grainel {
namespace {

// The spread of OKLab colours at which a pixel counts half: about two
// just-noticeable differences, where grain starts to hide error.
constexpr float half_weight_spread = 0.02f;

constexpr std::size_t prefetch_distance = 16;

// The three-pixel sums along a row of each OKLab channel (planes 0 to 2)
// and of its square (planes 3 to 5), into out[x * 6 + plane]. The row's
// colours are looked up once each, into `row`.
void row_sums(std::size_t width, const std::uint32_t* colors, const Lab* labs, Lab* row, float* out) {
    for (std::size_t x = 0; x < width; ++x) {
        // The colours of a photo's pixels lie all over the table: loading
        // ahead hides the wait.
        if (x + prefetch_distance < width) __builtin_prefetch(&labs[colors[x + prefetch_distance]]);
        row[x] = labs[colors[x]];
    }
    for (std::size_t x = 0; x < width; ++x) {
        const Lab& left = row[x > 0 ? x - 1 : 0];
        const Lab& middle = row[x];
        const Lab& right = row[x + 1 < width ? x + 1 : x];
        for (int k = 0; k < 3; ++k) {
            out[x * 6 + k] = (left[k] + middle[k]) + right[k];
            out[x * 6 + 3 + k] = (left[k] * left[k] + middle[k] * middle[k]) + right[k] * right[k];
        }
    }
}

}  // namespace

void add_activity_weights(const Raster& image, const std::uint32_t* color_of, const Lab* labs,
                          double* weights) {
    const std::size_t width = image.width, height = image.height;
    // The row sums of three consecutive rows, row y in slot y % 3.
    std::vector<float> sums(3 * width * 6);
    std::vector<Lab> row(width);
    auto slot = [&](std::size_t y) { return sums.data() + (y % 3) * width * 6; };
    row_sums(width, color_of, labs, row.data(), slot(0));
    for (std::size_t y = 0; y < height; ++y) {
        if (y + 1 < height) row_sums(width, color_of + (y + 1) * width, labs, row.data(), slot(y + 1));
        const float* above = slot(y > 0 ? y - 1 : 0);
        const float* middle = slot(y);
        const float* below = slot(y + 1 < height ? y + 1 : y);
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t p = y * width + x;
            if (x + prefetch_distance < width) __builtin_prefetch(&weights[color_of[p + prefetch_distance]]);
            float alpha = 1.0f;
            if (image.alpha) {
                const std::uint8_t a = image.pixels[p * image.channels + *image.alpha];
                if (a == 0) continue;
                alpha = static_cast<float>(a) / 255.0f;
            }
            float variance = 0.0f;
            for (std::size_t k = 0; k < 3; ++k) {
                const std::size_t i = x * 6 + k;
                const float mean = ((above[i] + middle[i]) + below[i]) / 9.0f;
                const float square = ((above[i + 3] + middle[i + 3]) + below[i + 3]) / 9.0f;
                variance += square - mean * mean;
            }
            const float spread = std::sqrt(std::max(variance, 0.0f));
            weights[color_of[p]] += alpha / (1.0f + spread / half_weight_spread);
        }
    }
}

}  // namespace grainel
