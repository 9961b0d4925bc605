#include "tools/remap/window_sums.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "simd/target.h"

GRAINEL_TARGET_BEGIN
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
// The share of a 7 x 7 window's pixels whose nearest colour borders
// another at which the undithered picture counts as half varied. Smooth
// ramps, skies and glows take one colour in wide plateaus, and even a
// plateau a byte from the original shows as a band unless its error is
// passed on in full; in a picture at 64 colours and more, or where the
// original's own noise crosses between colours, most pixels border
// another. Chosen on the quality benchmark's tune half (0.15 to 1.5 tried).
constexpr double varied_share = 0.5;

// Window sums over (2r+1)^2 windows of `Planes` values per pixel, edge
// pixels standing in for the ones beyond the picture, a row at a time:
// column sums slide down the rows, and each row adds up its windows of
// them. `values(y, planes)` writes row y's values, planes[k][x] for value
// k of pixel x, once per row and in order, when the sums first reach row y:
// the last 2r+2 rows are kept until their column sums no longer need them.
// Rows come out top to bottom, in the same layout. All loops work on whole
// rows of one value, so the compiler vectorises them.
//
// Every sum is exact, so its order is free: integer values sum exactly in
// integers, and the distances summed in doubles are floats of at least 1
// (or 0) below 512, multiples of 2^-23, whose sums of up to 49 stay below
// 2^15 and so need at most 38 of a double's 53 bits.
template <int r, std::size_t Planes, class Sum, class Values>
class WindowSums {
public:
    WindowSums(std::size_t height, std::size_t width, Values values)
        : height_(height), width_(width), values_(values), kept_rows_(kept * Planes * width),
          columns_(Planes * width, Sum{}), row_sums_(Planes * width) {
        for (std::size_t k = 0; k < Planes; ++k) sums_[k] = row_sums_.data() + k * width;
        for (int dy = -r; dy <= r; ++dy) {
            const Sum* row = row_at(dy);
            for (std::size_t k = 0; k < Planes * width; ++k) columns_[k] += row[k];
        }
    }

    // The next row's window sums, top to bottom.
    Sum* const* next() {
        const auto y = static_cast<std::ptrdiff_t>(next_++);
        if (y > 0) {
            const Sum* in = row_at(y + r);
            const Sum* out = row_at(y - r - 1);
            for (std::size_t k = 0; k < Planes * width_; ++k) columns_[k] += in[k] - out[k];
        }
        for (std::size_t k = 0; k < Planes; ++k) sum_windows(columns_.data() + k * width_, sums_[k]);
        return sums_;
    }

private:
    static constexpr auto reach = static_cast<std::size_t>(r);
    static constexpr std::size_t kept = 2 * reach + 2;

    const Sum* row_at(std::ptrdiff_t y) {
        const auto clamped = static_cast<std::size_t>(
            std::clamp<std::ptrdiff_t>(y, 0, static_cast<std::ptrdiff_t>(height_) - 1));
        Sum* row = kept_rows_.data() + clamped % kept * Planes * width_;
        if (clamped >= computed_) {
            Sum* planes[Planes];
            for (std::size_t k = 0; k < Planes; ++k) planes[k] = row + k * width_;
            values_(clamped, planes);
            computed_ = clamped + 1;
        }
        return row;
    }

    void sum_windows(const Sum* column, Sum* sum) const {
        const std::size_t width = width_;
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

    std::size_t height_, width_;
    Values values_;
    std::vector<Sum> kept_rows_, columns_, row_sums_;
    Sum* sums_[Planes];
    std::size_t computed_ = 0;  // rows whose values have been written
    std::size_t next_ = 0;      // the row next() gives
};

// The share of a window's mean distance m, m^2 / (m^2 + d^2), is taken from
// the sum S = a m of its a distances as S^2 / (S^2 + (a d)^2): one division
// rather than two.
constexpr int coarse_area = (2 * coarse_radius + 1) * (2 * coarse_radius + 1);
constexpr double half_coarse_sum = coarse_distance * coarse_area;
constexpr double half_varied_edges = varied_share * coarse_area;

// Each pixel's distance to its nearest colour, in bytes. The picture's
// channels are a constant here, so that the loops over a row's pixels can
// be vectorised.
template <std::size_t Channels>
struct Distances {
    const std::uint8_t* original;
    const std::uint8_t* nearest;
    std::size_t width;

    void operator()(std::size_t y, double* const* planes) const {
        const std::uint8_t* pixel = original + y * width * Channels;
        const std::uint8_t* taken = nearest + y * width * Channels;
        double* distance = planes[0];
        for (std::size_t x = 0; x < width; ++x) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                const std::int32_t d = pixel[x * Channels + c] - taken[x * Channels + c];
                sum += d * d;
            }
            distance[x] = sum;
        }
        // The distances are kept as the floats they are rounded to. A sum
        // of three squares is a float exactly, and the float square root of
        // it is the double one rounded to float (a double holds more than
        // twice a float's digits): the same floats, eight at a time.
        for (std::size_t x = 0; x < width; ++x)
            distance[x] = std::sqrt(static_cast<float>(distance[x]));
    }
};

// Bytes, and their squares summed over the channels: whole numbers,
// summed exactly in 32 bits (75 squares of 255 at most). A channel's
// variance over a window of a pixels with sums S1 and S2 is
// (a S2 - S1^2) / a^2, whose numerator is a whole number, never negative;
// so the mean variance v of the three channels is their numerators' sum N
// over 3 a^2, where N = a (S2 of all three) - the three S1^2, below 2^28.
// Its share v / (v + b) is N / (N + 3 a^2 b): exact up to one division.
constexpr std::int32_t busy_area = (2 * busy_radius + 1) * (2 * busy_radius + 1);
constexpr double half_busy_spread = 3 * busy_area * busy_area * busy_variance;

template <std::size_t Channels>
struct BytesAndSquares {
    const std::uint8_t* original;
    std::size_t width;

    // Planes 0 to 2: the bytes of each channel; plane 3: their squares' sum.
    void operator()(std::size_t y, std::int32_t* const* planes) const {
        const std::uint8_t* row = original + y * width * Channels;
        std::int32_t* const squares = planes[3];
        for (std::size_t x = 0; x < width; ++x) squares[x] = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            std::int32_t* const bytes = planes[c];
            for (std::size_t x = 0; x < width; ++x) {
                const std::int32_t byte = row[x * Channels + c];
                bytes[x] = byte;
                squares[x] += byte * byte;
            }
        }
    }
};

// Whether each pixel's nearest colour differs from that of the pixel to
// its right or below it: 1 or 0. The last column and row compare with
// themselves.
template <std::size_t Channels>
struct Edges {
    const std::uint8_t* nearest;
    std::size_t height, width;

    static bool same(const std::uint8_t* a, const std::uint8_t* b) {
        return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
    }

    void operator()(std::size_t y, std::int32_t* const* planes) const {
        const std::uint8_t* row = nearest + y * width * Channels;
        const std::uint8_t* below = y + 1 < height ? row + width * Channels : row;
        std::int32_t* edge = planes[0];
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint8_t* pixel = row + x * Channels;
            const std::uint8_t* right = x + 1 < width ? pixel + Channels : pixel;
            edge[x] = !same(pixel, right) || !same(pixel, below + x * Channels);
        }
    }
};

template <std::size_t Channels>
class AmountsOf final : public AmountRows {
public:
    AmountsOf(const Raster& image, const std::uint8_t* nearest, float strength)
        : width_(image.width), strength_(strength),
          coarse_(image.height, image.width, Distances<Channels>{image.pixels, nearest, image.width}),
          edges_(image.height, image.width, Edges<Channels>{nearest, image.height, image.width}),
          busy_(image.height, image.width, BytesAndSquares<Channels>{image.pixels, image.width}) {}

    void next(float* amount) override {
        const double* const distance_sum = coarse_.next()[0];
        for (std::size_t x = 0; x < width_; ++x) {
            const double s2 = distance_sum[x] * distance_sum[x];
            amount[x] = static_cast<float>(s2 / (s2 + half_coarse_sum * half_coarse_sum));
        }
        std::int32_t* const* sums = busy_.next();
        const std::int32_t* edge_sum = edges_.next()[0];
        for (std::size_t x = 0; x < width_; ++x) {
            std::int32_t spread = busy_area * sums[3][x];
            for (std::size_t c = 0; c < 3; ++c) spread -= sums[c][x] * sums[c][x];
            const double busy = spread / (spread + half_busy_spread);
            const double coarse = amount[x];
            const double varied = edge_sum[x] / (edge_sum[x] + half_varied_edges);
            amount[x] = static_cast<float>(strength_ * (1.0 - varied * (1.0 - busy) * (1.0 - coarse)));
        }
    }

private:
    std::size_t width_;
    float strength_;
    WindowSums<coarse_radius, 1, double, Distances<Channels>> coarse_;
    WindowSums<coarse_radius, 1, std::int32_t, Edges<Channels>> edges_;
    WindowSums<busy_radius, 4, std::int32_t, BytesAndSquares<Channels>> busy_;
};

}  // namespace

std::unique_ptr<AmountRows> amount_rows(const Raster& image, const std::uint8_t* nearest,
                                                  float strength) {
    if (image.channels == 4) return std::make_unique<AmountsOf<4>>(image, nearest, strength);
    return std::make_unique<AmountsOf<3>>(image, nearest, strength);
}

GRAINEL_TARGET_END
