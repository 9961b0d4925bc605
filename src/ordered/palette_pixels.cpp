#include "ordered/palette_pixels.h"

#include <algorithm>
#include <vector>

#include "ordered/byte_cube_cache.h"
#include "ordered/threshold_dither.h"
#include "search/grid_lookup.h"
#include "simd/target.h"

GRAINEL_TARGET_BEGIN
namespace {

// Where each pixel's shift comes from: the tiled matrix, one row of it at
// a time, each position's shift computed as the pixel would compute it, or the
// noise stream. The row holds only the columns the image reaches, so it
// wraps at the matrix width or never.
struct MatrixShifts {
    const ThresholdMatrix& matrix;
    Floats4 scale;
    Floats4* row;
    std::size_t used;
    std::size_t column = 0;

    void start_row(std::size_t y) {
        const float* thresholds = matrix.thresholds.data() + y % matrix.height * matrix.width;
        for (std::size_t k = 0; k < used; ++k) row[k] = scale * (thresholds[k] - 0.5f);
        column = 0;
    }
    Floats4 next() {
        const Floats4 shift = row[column];
        if (++column == used) column = 0;
        return shift;
    }
};

struct NoiseShifts {
    Floats4 scale;
    NoiseStream stream;

    void start_row(std::size_t) {}
    Floats4 next() { return scale * stream.next_offset(); }
};

template <bool Grid, class Shifts>
void quantise(const PalettePass& pass, Shifts shifts) {
    // Locals, so that the byte stores below cannot alias them.
    const ColorSearch::Lookup lookup = pass.search.lookup();
    const float* decode = pass.space.decode.data();
    const Rgb* colors = pass.palette.colors.data();
    const Raster& image = pass.image;
    const std::size_t channels = image.channels;
    constexpr std::size_t batch = 16;
    Floats4 w[batch];
    std::uint32_t cell[batch];
    const float* list[batch];
    for (std::size_t y = 0; y < image.height; ++y) {
        shifts.start_row(y);
        std::uint8_t* row = image.pixels + y * image.width * channels;
        for (std::size_t x0 = 0; x0 < image.width; x0 += batch) {
            const std::size_t n = std::min(batch, image.width - x0);
            std::uint8_t* pixel = row + x0 * channels;
            for (std::size_t i = 0; i < n; ++i, pixel += channels) {
                w[i] = shifts.next() + Floats4{decode[pixel[0]], decode[pixel[1]], decode[pixel[2]], 0.0f};
                if constexpr (Grid) {
                    cell[i] = lookup.cell_inside(w[i]);
                    list[i] = lookup.short_list(cell[i]);
                }
            }
            pixel = row + x0 * channels;
            for (std::size_t i = 0; i < n; ++i, pixel += channels) {
                const std::size_t best =
                    Grid ? nearest_in(lookup, w[i], cell[i], list[i]) : lookup.nearest(w[i]);
                const Rgb& color = colors[best];
                for (int c = 0; c < 3; ++c) pixel[c] = color[c];
            }
        }
    }
}

template <class Shifts>
void quantise(const PalettePass& pass, Shifts shifts) {
    if (pass.search.has_grid())
        quantise<true>(pass, shifts);
    else
        quantise<false>(pass, shifts);
}

// Every pixel shifted alike (a one-position matrix, as plain quantisation
// is): a pixel's colour is then a function of its three bytes, so the
// answers for recent byte triples are kept in a direct-mapped table and
// reused. A photo repeats most of its colours: a table of a sixteenth of
// its pixels (2 MiB at most) answered 83% of a 2048 x 2048 one's pixels,
// one of 2^15 entries only 66%. With few colours a scan of a cell's short
// list costs less than a visit to the table (measured: 0.89 times the
// speed without it at 16 colours, 1.28 times at 256 fitted to the photo).
constexpr std::size_t remembered_from = 33;  // colours
struct Remembered {
    std::uint32_t key;  // the bytes, or none: above any three bytes
    std::uint32_t index;
};

template <bool Grid>
void quantise_alike(const PalettePass& pass, Floats4 shift) {
    const ColorSearch::Lookup lookup = pass.search.lookup();
    const float* decode = pass.space.decode.data();
    const Rgb* colors = pass.palette.colors.data();
    const Raster& image = pass.image;
    const std::size_t channels = image.channels;
    const std::size_t pixels = image.height * image.width;
    int bits = 10;
    while (bits < 18 && std::size_t{16} << bits < pixels) ++bits;
    std::vector<Remembered> table(std::size_t{1} << bits, Remembered{~0u, 0});
    Remembered* remembered = table.data();
    std::uint8_t* pixel = image.pixels;
    for (std::size_t i = 0; i < pixels; ++i, pixel += channels) {
        const std::uint32_t key = pixel[0] | pixel[1] << 8 | pixel[2] << 16;
        Remembered& slot = remembered[(key * 0x9E3779B1u) >> (32 - bits)];
        if (slot.key != key) {
            const Floats4 w = shift + Floats4{decode[pixel[0]], decode[pixel[1]], decode[pixel[2]], 0.0f};
            std::size_t best;
            if constexpr (Grid) {
                const std::uint32_t cell = lookup.cell_inside(w);
                best = nearest_in(lookup, w, cell, lookup.short_list(cell));
            } else {
                best = lookup.nearest(w);
            }
            slot = {key, static_cast<std::uint32_t>(best)};
        }
        const Rgb& color = colors[slot.index];
        for (int c = 0; c < 3; ++c) pixel[c] = color[c];
    }
}

}  // namespace

void ordered_palette_pixels(const PalettePass& pass, Floats4 scale, const ThresholdMatrix& matrix,
                            Floats4* row) {
    if (matrix.width == 1 && matrix.height == 1 && pass.palette.colors.size() >= remembered_from) {
        const Floats4 shift = scale * (matrix.thresholds[0] - 0.5f);
        if (byte_cube_cache_pays(pass)) return quantise_by_byte_cube(pass, shift);
        if (pass.search.has_grid())
            return quantise_alike<true>(pass, shift);
        return quantise_alike<false>(pass, shift);
    }
    quantise(pass, MatrixShifts{matrix, scale, row, std::min(matrix.width, pass.image.width)});
}

void random_palette_pixels(const PalettePass& pass, Floats4 scale, std::uint64_t seed) {
    quantise(pass, NoiseShifts{scale, NoiseStream(seed)});
}

GRAINEL_TARGET_END
