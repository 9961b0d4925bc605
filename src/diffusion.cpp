#include "diffusion.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace grainel {
namespace {

constexpr KernelTap floyd_steinberg[] = {
    {1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
constexpr KernelTap false_floyd_steinberg[] = {{1, 0, 3}, {0, 1, 3}, {1, 1, 2}};
constexpr KernelTap jarvis_judice_ninke[] = {
    {1, 0, 7},  {2, 0, 5},                                          //
    {-2, 1, 3}, {-1, 1, 5}, {0, 1, 7}, {1, 1, 5}, {2, 1, 3},        //
    {-2, 2, 1}, {-1, 2, 3}, {0, 2, 5}, {1, 2, 3}, {2, 2, 1}};
constexpr KernelTap stucki[] = {
    {1, 0, 8},  {2, 0, 4},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2},        //
    {-2, 2, 1}, {-1, 2, 2}, {0, 2, 4}, {1, 2, 2}, {2, 2, 1}};
constexpr KernelTap atkinson[] = {
    {1, 0, 1}, {2, 0, 1}, {-1, 1, 1}, {0, 1, 1}, {1, 1, 1}, {0, 2, 1}};
constexpr KernelTap burkes[] = {
    {1, 0, 8},  {2, 0, 4},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}};
constexpr KernelTap sierra[] = {
    {1, 0, 5},  {2, 0, 3},                                          //
    {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5}, {1, 1, 4}, {2, 1, 2},        //
    {-1, 2, 2}, {0, 2, 3},  {1, 2, 2}};
constexpr KernelTap sierra_two_row[] = {
    {1, 0, 4},  {2, 0, 3},                                          //
    {-2, 1, 1}, {-1, 1, 2}, {0, 1, 3}, {1, 1, 2}, {2, 1, 1}};
constexpr KernelTap sierra_lite[] = {{1, 0, 2}, {-1, 1, 1}, {0, 1, 1}};

// Atkinson keeps divisor 8 although its weights add up to 6: a quarter of
// every error is deliberately dropped.
constexpr DiffusionMethod methods[] = {
    {"floyd_steinberg", floyd_steinberg, 16},
    {"false_floyd_steinberg", false_floyd_steinberg, 8},
    {"jarvis_judice_ninke", jarvis_judice_ninke, 48},
    {"stucki", stucki, 42},
    {"atkinson", atkinson, 8},
    {"burkes", burkes, 32},
    {"sierra", sierra, 32},
    {"sierra_two_row", sierra_two_row, 16},
    {"sierra_lite", sierra_lite, 4},
};

// The three rows of error owed to the current row and the two below it.
// Cell i of a row belongs to image column i - 2; the two cells before the
// image and six after it absorb shares that fall off the edges.
struct RowRing {
    float* row[3];
    std::size_t row_floats;

    explicit RowRing(ErrorRows& rows) : row_floats(rows.row_floats) {
        std::fill(rows.storage.begin(), rows.storage.end(), 0.0f);
        for (int i = 0; i < 3; ++i) row[i] = rows.storage.data() + i * row_floats;
    }

    // The finished row is cleared and becomes the last one.
    void advance() {
        std::memset(row[0], 0, row_floats * sizeof(float));
        std::rotate(row, row + 1, row + 3);
    }
};

// Adds share * e to the eight cells x .. x + 7 of every active kernel row;
// each product is rounded to float before it is added.
inline void spread(RowRing& ring, const float (*shares)[8], const bool* active,
                   std::size_t x, float e) {
    for (int dy = 0; dy < 3; ++dy) {
        if (!active[dy]) continue;
        float* cells = ring.row[dy] + x;
        for (int c = 0; c < 8; ++c) cells[c] += shares[dy][c] * e;
    }
}

inline void spread3(RowRing& ring, const float (*shares)[8], const bool* active,
                    std::size_t x, const float e[3]) {
    for (int dy = 0; dy < 3; ++dy) {
        if (!active[dy]) continue;
        float* cells = ring.row[dy] + 3 * x;
        for (int c = 0; c < 8; ++c)
            for (int ch = 0; ch < 3; ++ch) cells[3 * c + ch] += shares[dy][c] * e[ch];
    }
}

}  // namespace

std::span<const DiffusionMethod> diffusion_methods() { return methods; }

KernelRows kernel_rows(const DiffusionMethod& method, float strength) {
    KernelRows rows{};
    for (const KernelTap& tap : method.taps) {
        float share = strength * (tap.weight / method.divisor);
        rows.forward[tap.dy][tap.dx + 2] = share;
        rows.mirrored[tap.dy][2 - tap.dx] = share;
        if (share != 0.0f) rows.active[tap.dy] = true;
    }
    return rows;
}

ErrorRows::ErrorRows(std::size_t width, std::size_t cell_floats)
    : storage(3 * (width + 8) * cell_floats), row_floats((width + 8) * cell_floats) {}

void diffuse_levels(Raster& image, const Space& space, const Levels& levels,
                    const KernelRows& kernel, bool serpentine, ErrorRows& rows) {
    const std::size_t width = image.width, channels = image.channels;
    const bool two_levels = levels.bytes.size() == 2;
    for (std::size_t c = 0; c < channels; ++c) {
        if (image.alpha == c) continue;
        RowRing ring(rows);
        for (std::size_t y = 0; y < image.height; ++y) {
            const bool backwards = serpentine && (y & 1);
            const float(*shares)[8] = backwards ? kernel.mirrored : kernel.forward;
            std::uint8_t* row = image.pixels + y * width * channels + c;
            for (std::size_t i = 0; i < width; ++i) {
                const std::size_t x = backwards ? width - 1 - i : i;
                std::uint8_t& byte = row[x * channels];
                const float v = space.decode[byte] + ring.row[0][x + 2];
                const std::uint32_t k =
                    two_levels ? (v < 127.5f ? 0 : 1) : levels.nearest(v);
                byte = levels.bytes[k];
                spread(ring, shares, kernel.active, x, v - levels.values[k]);
            }
            ring.advance();
        }
    }
}

void diffuse_palette(Raster& image, const Space& space, const Palette& palette,
                     const KernelRows& kernel, bool serpentine, ErrorRows& rows) {
    const std::size_t width = image.width, channels = image.channels;
    RowRing ring(rows);
    for (std::size_t y = 0; y < image.height; ++y) {
        const bool backwards = serpentine && (y & 1);
        const float(*shares)[8] = backwards ? kernel.mirrored : kernel.forward;
        std::uint8_t* row = image.pixels + y * width * channels;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t x = backwards ? width - 1 - i : i;
            std::uint8_t* pixel = row + x * channels;
            const float* owed = ring.row[0] + 3 * (x + 2);
            float v[3];
            for (int ch = 0; ch < 3; ++ch) v[ch] = space.decode[pixel[ch]] + owed[ch];
            const std::size_t best = palette.nearest(v);
            float e[3];
            for (int ch = 0; ch < 3; ++ch) {
                pixel[ch] = palette.colors[best][ch];
                e[ch] = v[ch] - palette.values[best][ch];
            }
            spread3(ring, shares, kernel.active, x, e);
        }
        ring.advance();
    }
}

}  // namespace grainel
