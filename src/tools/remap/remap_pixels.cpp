#include "tools/remap/remap_pixels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "diffusion/scan_loops.h"
#include "search/grid_lookup.h"
#include "simd/target.h"
#include "tools/color/color_spaces.h"

GRAINEL_TARGET_BEGIN
namespace {

// Quantises one pixel of a picture with Channels channels. Each pixel
// passes on its own amount of its error: those of the band being scanned.
template <std::size_t Channels>
struct RemapQuantiser {
    using Error = Float4;
    const float* linear;
    const SrgbEncoder* encode;
    const Rgb* colors;
    const Float4* values;  // the colours in linear light
    ColorSearch::Lookup search;
    float* amounts;              // those of the band being scanned
    const std::uint8_t* origin;  // the band's first row

    [[gnu::always_inline]] Float4 operator()(std::uint8_t* pixel, Float4 owed) const {
        Float4 v = Float4{linear[pixel[0]], linear[pixel[1]], linear[pixel[2]], 0.0f} + owed;
        v = v < 0.0f ? 0.0f : v;
        v = v > 1.0f ? 1.0f : v;
        const std::size_t best = nearest_inside(search, (*encode)(v));
        for (int c = 0; c < 3; ++c) pixel[c] = colors[best][c];
        const auto at = static_cast<std::size_t>(pixel - origin) / Channels;
        return (v - values[best]) * amounts[at];
    }
};

// Steps through a band's rounds in chunks, telling the band below how far
// its last row has come after each, so that the band below can follow a
// chunk behind rather than a whole band.
constexpr std::ptrdiff_t chunk_rounds = 64;

// One band of a left-to-right scan: the wavefront of scan_loops.h, whose
// rows start `lag` pixels apart. Pixel x of the band's first row needs the
// row above to have done x + 4, as a row within the band does. The
// quantiser is a copy of the band's own, which the pixels' byte stores
// cannot alias.
template <std::size_t Method, class Quantise>
void scan_band(const RemapPass& pass, std::size_t band, std::size_t count, const Quantise quantise) {
    using Scan = RowScan<Method, Quantise, 1>;
    constexpr std::size_t rows = wavefront_band_rows;
    constexpr std::ptrdiff_t lag = 4;
    Raster& image = pass.image;
    Wavefront& front = pass.rows;
    Shares<Method> share;
    load_shares<Method, 1>(pass.kernel, share);
    const auto width = static_cast<std::ptrdiff_t>(image.width);
    const std::size_t top = band * rows;
    Scan scans[rows];
    for (std::size_t r = 0; r < count; ++r)
        scans[r] = Scan{image.pixels + (top + r) * image.width * image.channels, image.channels,
                        {front.error_row(top + r), front.error_row(top + r + 1), front.error_row(top + r + 2)},
                        {}, {}};
    auto checked_round = [&](std::ptrdiff_t n) __attribute__((always_inline)) {
        for (std::size_t r = 0; r < count; ++r) {
            const std::ptrdiff_t x = n - lag * static_cast<std::ptrdiff_t>(r);
            if (x == 0) scans[r].start(0);
            if (x >= 0 && x < width) scans[r].step(x, share, quantise);
        }
    };
    // Rounds where some row is outside the image (the band's ramp-up and
    // ramp-down, or a short band) test each row; in between, every row
    // steps unconditionally, from locals that keep its running error in
    // registers. Both are inlined: a call would take the shares by address,
    // which the pixels' byte stores might alias, and reload them each step.
    auto steady_rounds = [&](std::ptrdiff_t from, std::ptrdiff_t to) __attribute__((always_inline)) {
        [&]<std::size_t... R>(std::index_sequence<R...>) __attribute__((always_inline)) {
            [&](auto... local) __attribute__((always_inline)) {
                const Quantise q = quantise;
                for (std::ptrdiff_t n = from; n < to; ++n)
                    (local.step(n - lag * static_cast<std::ptrdiff_t>(R), share, q), ...);
                ((scans[R] = local), ...);
            }(scans[R]...);
        }(std::make_index_sequence<rows>{});
    };
    const std::ptrdiff_t last_lag = lag * static_cast<std::ptrdiff_t>(count - 1);
    const std::ptrdiff_t rounds = width + last_lag;
    const std::ptrdiff_t steady_from = count == rows ? last_lag + 1 : rounds;
    for (std::ptrdiff_t n = 0; n < rounds;) {
        const std::ptrdiff_t end = std::min(rounds, n + chunk_rounds);
        if (band > 0) front.wait_for(band - 1, std::min(width, end + 4));
        for (; n < end && (n < steady_from || n >= width); ++n) checked_round(n);
        if (n < std::min(end, width)) {
            steady_rounds(n, std::min(end, width));
            n = std::min(end, width);
        }
        for (; n < end; ++n) checked_round(n);
        front.publish(band, std::clamp<std::ptrdiff_t>(end - last_lag, 0, width));
    }
}

// One row of a serpentine scan, odd rows right to left. Its first pixel
// takes error from the last pixel of the row above, scanned the other
// way: it waits for that row to be done.
template <std::size_t Method, class Quantise>
void scan_serpentine_row(const RemapPass& pass, std::size_t y, const Quantise quantise) {
    Raster& image = pass.image;
    Wavefront& front = pass.rows;
    const auto width = static_cast<std::ptrdiff_t>(image.width);
    if (y > 0) front.wait_for(y - 1, width);
    float* const below[3] = {front.error_row(y), front.error_row(y + 1), front.error_row(y + 2)};
    std::uint8_t* pixels = image.pixels + y * image.width * image.channels;
    Shares<Method> share;
    if (y & 1) {
        load_shares<Method, -1>(pass.kernel, share);
        scan_row<Method, -1>(pixels, image.channels, below, width, share, quantise);
    } else {
        load_shares<Method, 1>(pass.kernel, share);
        scan_row<Method, 1>(pixels, image.channels, below, width, share, quantise);
    }
    front.publish(y, width);
}

template <std::size_t Method, std::size_t Channels>
void scan_bands(const RemapPass& pass, RemapQuantiser<Channels> quantise) {
    Raster& image = pass.image;
    Wavefront& front = pass.rows;
    const auto width = static_cast<std::ptrdiff_t>(image.width);
    for (std::size_t band; front.take(band);) {
        const std::size_t top = band * front.band_rows();
        const std::size_t count = std::min(front.band_rows(), image.height - top);
        // A band's amounts read the picture's own bytes a few rows below
        // it: bands below it are scanned only after this band has started.
        front.wait_turn(band);
        for (std::size_t k = 0; k < count; ++k) pass.amounts.next_row(quantise.amounts + k * image.width);
        front.pass_turn(band);
        quantise.origin = image.pixels + top * image.width * Channels;
        front.clear_for(band, width);
        if (pass.serpentine)
            scan_serpentine_row<Method>(pass, band, quantise);
        else
            scan_band<Method>(pass, band, count, quantise);
    }
}

}  // namespace

void remap_pixels(const RemapPass& pass, float* amounts) {
    const auto& linear = linear_of_byte();
    const SrgbEncoder encode;
    const Raster& image = pass.image;
    auto run = [&]<std::size_t Channels>() {
        static constexpr auto by_method = []<std::size_t... M>(std::index_sequence<M...>) {
            return std::array<void (*)(const RemapPass&, RemapQuantiser<Channels>), sizeof...(M)>{
                &scan_bands<M, Channels>...};
        }(std::make_index_sequence<std::size(methods)>{});
        by_method[static_cast<std::size_t>(&pass.method - methods)](
            pass, RemapQuantiser<Channels>{linear.data(), &encode, pass.colors.data(), pass.values,
                                           pass.search.lookup(), amounts, image.pixels});
    };
    if (image.channels == 4)
        run.template operator()<4>();
    else
        run.template operator()<3>();
}

GRAINEL_TARGET_END
