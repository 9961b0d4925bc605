#include "dither_amounts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "palette_pixels.h"

namespace grainel {
namespace {

// Neighbourhoods, as radii of square windows: the variance that hides
// grain over 5 x 5 pixels (about the window the eye and SSIM average
// over), the distance to the palette over 7 x 7.
constexpr int busy_radius = 2;
constexpr int coarse_radius = 3;
// Variance (per channel, in bytes squared) at which a neighbourhood hides
// half the grain: eight times SSIM's contrast constant (0.03 * 255)^2,
// where added grain of a palette step costs a smooth area most of its
// structural similarity.
constexpr double busy_variance = 8 * 58.5225;
// Mean distance to the nearest colour, in bytes, at which the palette
// counts as half coarse: about nine steps of a byte.
constexpr double coarse_distance = 9.0;

// Clamps a window's row or column to the picture: edge pixels stand in for
// the ones beyond it.
std::size_t clamped(std::ptrdiff_t i, std::size_t size) {
    return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(i, 0, static_cast<std::ptrdiff_t>(size) - 1));
}

// Box means over (2r+1)^2 windows of `planes` values per pixel, for each
// pixel row by row: column sums slide down the rows, row sums along the
// columns, both in Sum, always added and subtracted in the same order.
// `value(y, x, k)` gives value k of pixel (y, x); `take(y, x, means)` gets
// the means of pixel (y, x). With integer values Sum can be an integer
// type: every sum is then exact, and so the same as in doubles.
template <std::size_t Planes, class Sum, class Value, class Take>
void box_means(std::size_t height, std::size_t width, int r, Value value, Take take) {
    std::vector<Sum> columns(width * Planes, Sum{});
    const double area = static_cast<double>((2 * r + 1) * (2 * r + 1));
    auto add_row = [&](std::size_t y) {
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t k = 0; k < Planes; ++k) columns[x * Planes + k] += value(y, x, k);
    };
    auto subtract_row = [&](std::size_t y) {
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t k = 0; k < Planes; ++k) columns[x * Planes + k] -= value(y, x, k);
    };
    for (int dy = -r; dy <= r; ++dy) add_row(clamped(dy, height));
    Sum sums[Planes];
    double means[Planes];
    auto slide = [&](std::size_t in, std::size_t out) {
        for (std::size_t k = 0; k < Planes; ++k)
            sums[k] += columns[in * Planes + k] - columns[out * Planes + k];
    };
    auto give = [&](std::size_t y, std::size_t x) {
        for (std::size_t k = 0; k < Planes; ++k) means[k] = static_cast<double>(sums[k]) / area;
        take(y, x, means);
    };
    // Columns whose window reaches past neither edge need no clamping.
    const auto reach = static_cast<std::size_t>(r);
    const std::size_t inner_end = width > reach ? width - reach : 0;
    for (std::size_t y = 0; y < height; ++y) {
        if (y > 0) {
            add_row(clamped(static_cast<std::ptrdiff_t>(y) + r, height));
            subtract_row(clamped(static_cast<std::ptrdiff_t>(y) - r - 1, height));
        }
        std::fill(sums, sums + Planes, Sum{});
        for (int dx = -r; dx <= r; ++dx)
            for (std::size_t k = 0; k < Planes; ++k) sums[k] += columns[clamped(dx, width) * Planes + k];
        give(y, 0);
        std::size_t x = 1;
        for (; x < width && x <= reach; ++x) {
            slide(clamped(static_cast<std::ptrdiff_t>(x) + r, width),
                  clamped(static_cast<std::ptrdiff_t>(x) - r - 1, width));
            give(y, x);
        }
        for (; x < inner_end; ++x) {
            slide(x + reach, x - reach - 1);
            give(y, x);
        }
        for (; x < width; ++x) {
            slide(clamped(static_cast<std::ptrdiff_t>(x) + r, width),
                  clamped(static_cast<std::ptrdiff_t>(x) - r - 1, width));
            give(y, x);
        }
    }
}

}  // namespace

std::vector<float> dither_amounts(const Raster& image, const Palette& palette, float strength) {
    const std::size_t height = image.height, width = image.width, channels = image.channels;
    const std::size_t pixels = height * width;

    // How far each pixel is from its nearest colour, without dither.
    std::vector<std::uint8_t> nearest(image.pixels, image.pixels + pixels * channels);
    Raster quantised{nearest.data(), height, width, channels, image.alpha};
    nearest_palette(quantised, Space(false), palette);
    std::vector<float> distance(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
        double sum = 0.0;
        for (std::size_t c = 0; c < 3; ++c) {
            const double d = static_cast<double>(image.pixels[i * channels + c]) - nearest[i * channels + c];
            sum += d * d;
        }
        distance[i] = static_cast<float>(std::sqrt(sum));
    }

    std::vector<float> amounts(pixels);
    box_means<1, double>(height, width, coarse_radius,
                 [&](std::size_t y, std::size_t x, std::size_t) { return distance[y * width + x]; },
                 [&](std::size_t y, std::size_t x, const double* mean) {
                     const double m2 = mean[0] * mean[0];
                     amounts[y * width + x] = static_cast<float>(m2 / (m2 + coarse_distance * coarse_distance));
                 });
    // Bytes and their squares: whole numbers, summed exactly in 32 bits
    // (25 squares of 255 at most).
    box_means<6, std::int32_t>(height, width, busy_radius,
                 [&](std::size_t y, std::size_t x, std::size_t k) {
                     const std::int32_t v = image.pixels[(y * width + x) * channels + k / 2];
                     return k % 2 ? v * v : v;
                 },
                 [&](std::size_t y, std::size_t x, const double* mean) {
                     double variance = 0.0;
                     for (int c = 0; c < 3; ++c)
                         variance += std::max(mean[2 * c + 1] - mean[2 * c] * mean[2 * c], 0.0);
                     variance /= 3.0;
                     const double busy = variance / (variance + busy_variance);
                     float& amount = amounts[y * width + x];
                     const double coarse = amount;
                     amount = static_cast<float>(strength * (1.0 - (1.0 - busy) * (1.0 - coarse)));
                 });
    return amounts;
}

}  // namespace grainel
