#include "amount_windows.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// Last: everything below is compiled once per instruction set.
#include "isa_target.h"

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

// Window sums over (2r+1)^2 windows of `planes` values per pixel, edge
// pixels standing in for the ones beyond the picture, a row at a time:
// column sums slide down the rows, and each row adds up its windows of
// them. `values(y, planes)` writes row y's values, planes[k][x] for value
// k of pixel x, once per row: the last 2r+2 rows are kept until their
// column sums no longer need them. `take_row(y, sums)` gets row y's window
// sums in the same layout. Both work on whole rows of one value, in loops
// the compiler vectorises.
//
// Every sum is exact, so its order is free: integer values sum exactly in
// integers, and the distances summed in doubles are floats of at least 1
// (or 0) below 512, multiples of 2^-23, whose sums of up to 49 stay below
// 2^15 and so need at most 38 of a double's 53 bits.
template <int r, std::size_t Planes, class Sum, class Values, class TakeRow>
void box_sums(std::size_t height, std::size_t width, Values values, TakeRow take_row) {
    constexpr auto reach = static_cast<std::size_t>(r);
    const std::size_t kept = 2 * reach + 2;
    std::vector<Sum> kept_rows(kept * Planes * width), columns(Planes * width, Sum{});
    std::vector<Sum> row_sums(Planes * width);
    Sum* sums[Planes];
    for (std::size_t k = 0; k < Planes; ++k) sums[k] = row_sums.data() + k * width;

    std::size_t computed = 0;  // rows whose values have been written
    auto row_values = [&](std::size_t y) {
        Sum* row = kept_rows.data() + y % kept * Planes * width;
        if (y >= computed) {
            Sum* planes[Planes];
            for (std::size_t k = 0; k < Planes; ++k) planes[k] = row + k * width;
            values(y, planes);
            computed = y + 1;
        }
        return row;
    };
    auto row_at = [&](std::ptrdiff_t y) {
        return row_values(static_cast<std::size_t>(
            std::clamp<std::ptrdiff_t>(y, 0, static_cast<std::ptrdiff_t>(height) - 1)));
    };
    for (int dy = -r; dy <= r; ++dy) {
        const Sum* row = row_at(dy);
        for (std::size_t k = 0; k < Planes * width; ++k) columns[k] += row[k];
    }
    for (std::size_t y = 0; y < height; ++y) {
        if (y > 0) {
            const Sum* in = row_at(static_cast<std::ptrdiff_t>(y) + r);
            const Sum* out = row_at(static_cast<std::ptrdiff_t>(y) - r - 1);
            for (std::size_t k = 0; k < Planes * width; ++k) columns[k] += in[k] - out[k];
        }
        for (std::size_t k = 0; k < Planes; ++k) {
            const Sum* column = columns.data() + k * width;
            Sum* sum = sums[k];
            // Windows reaching past an end take its column for those beyond.
            auto sum_at_edge = [&](std::size_t x) {
                const auto last = static_cast<std::ptrdiff_t>(width) - 1;
                Sum total{};
                for (std::ptrdiff_t dx = -r; dx <= r; ++dx)
                    total += column[std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(x) + dx, 0, last)];
                return total;
            };
            const std::size_t inside = std::min(reach, width);
            const std::size_t inside_end = std::max(inside, width - std::min(reach, width));
            for (std::size_t x = 0; x < inside; ++x) sum[x] = sum_at_edge(x);
            // Each window's sum afresh, in registers: a running sum would
            // chain every pixel's addition to the last one's.
            for (std::size_t x = inside; x < inside_end; ++x) {
                const Sum* window = column + (x - reach);
                Sum total = window[0];
                for (std::size_t i = 1; i <= 2 * reach; ++i) total += window[i];
                sum[x] = total;
            }
            for (std::size_t x = inside_end; x < width; ++x) sum[x] = sum_at_edge(x);
        }
        take_row(y, sums);
    }
}

// The picture's channels are a constant here, so that the loops over a
// row's pixels can be vectorised.
template <std::size_t Channels>
void amounts_of(const Raster& image, const std::uint8_t* nearest, float strength, float* amounts) {
    const std::size_t height = image.height, width = image.width;

    // The share of a window's mean distance m, m^2 / (m^2 + d^2), taken from
    // the sum S = a m of its a distances as S^2 / (S^2 + (a d)^2): one
    // division rather than two.
    constexpr int coarse_area = (2 * coarse_radius + 1) * (2 * coarse_radius + 1);
    const double half_coarse_sum = coarse_distance * coarse_area;
    auto distances = [&](std::size_t y, double* const* planes) {
        const std::uint8_t* original = image.pixels + y * width * Channels;
        const std::uint8_t* taken = nearest + y * width * Channels;
        double* distance = planes[0];
        for (std::size_t x = 0; x < width; ++x) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                const std::int32_t d = original[x * Channels + c] - taken[x * Channels + c];
                sum += d * d;
            }
            distance[x] = sum;
        }
        // The distances are kept as the floats they are rounded to.
        for (std::size_t x = 0; x < width; ++x)
            distance[x] = static_cast<float>(std::sqrt(distance[x]));
    };
    auto coarse_shares = [&](std::size_t y, double* const* sums) {
        float* amount = amounts + y * width;
        for (std::size_t x = 0; x < width; ++x) {
            const double s2 = sums[0][x] * sums[0][x];
            amount[x] = static_cast<float>(s2 / (s2 + half_coarse_sum * half_coarse_sum));
        }
    };
    box_sums<coarse_radius, 1, double>(height, width, distances, coarse_shares);

    // Bytes and their squares: whole numbers, summed exactly in 32 bits
    // (25 squares of 255 at most). A channel's variance over a window of a
    // pixels with sums S1 and S2 is (a S2 - S1^2) / a^2, whose numerator is a
    // whole number, never negative, below 2^26; so the mean variance v of
    // the three channels is their numerators' sum N over 3 a^2, and its
    // share v / (v + b) is N / (N + 3 a^2 b): exact up to one division.
    constexpr std::int32_t busy_area = (2 * busy_radius + 1) * (2 * busy_radius + 1);
    const double half_busy_spread = 3 * busy_area * busy_area * busy_variance;
    auto bytes_and_squares = [&](std::size_t y, std::int32_t* const* planes) {
        const std::uint8_t* row = image.pixels + y * width * Channels;
        for (std::size_t c = 0; c < 3; ++c) {
            std::int32_t* const bytes = planes[2 * c];
            std::int32_t* const squares = planes[2 * c + 1];
            for (std::size_t x = 0; x < width; ++x) {
                const std::int32_t byte = row[x * Channels + c];
                bytes[x] = byte;
                squares[x] = byte * byte;
            }
        }
    };
    auto amounts_of_row = [&](std::size_t y, std::int32_t* const* sums) {
        float* amount = amounts + y * width;
        for (std::size_t x = 0; x < width; ++x) {
            std::int32_t spread = 0;
            for (std::size_t c = 0; c < 3; ++c)
                spread += busy_area * sums[2 * c + 1][x] - sums[2 * c][x] * sums[2 * c][x];
            const double busy = spread / (spread + half_busy_spread);
            const double coarse = amount[x];
            amount[x] = static_cast<float>(strength * (1.0 - (1.0 - busy) * (1.0 - coarse)));
        }
    };
    box_sums<busy_radius, 6, std::int32_t>(height, width, bytes_and_squares, amounts_of_row);
}

}  // namespace

template <>
void amounts_from_windows<this_isa>(const Raster& image, const std::uint8_t* nearest, float strength,
                                    float* amounts) {
    if (image.channels == 4)
        amounts_of<4>(image, nearest, strength, amounts);
    else
        amounts_of<3>(image, nearest, strength, amounts);
}

}  // namespace grainel

#include "isa_target_end.h"
