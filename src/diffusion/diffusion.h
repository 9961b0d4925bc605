// Error diffusion: the nine kernels, their weight rows at a given strength,
// and the two passes (per-channel levels, RGB palette).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "palette/palette.h"
#include "buffers/raster.h"
#include "space/space.h"

namespace grainel {

struct KernelTap {
    int dx;        // columns ahead in the scan direction, -2..2
    int dy;        // rows below the current one, 0..2
    float weight;  // numerator of the tap's share
};

struct DiffusionMethod {
    std::string_view name;
    std::span<const KernelTap> taps;
    float divisor;
};

// The nine methods in their canonical order.
std::span<const DiffusionMethod> diffusion_methods();

// Shares laid out so a pass updates eight consecutive slots per kernel row
// without edge tests: column c is image column x + c - 2 in both tables,
// and the mirrored table serves right-to-left scans.
struct KernelRows {
    float forward[3][8];
    float mirrored[3][8];
    bool active[3];
};

KernelRows kernel_rows(const DiffusionMethod& method, float strength);

// Error rows of (width + 8) slots, owned by the caller so that the passes
// allocate nothing: one row for each image row scanned at once and two for
// the rows below them. A levels pass over several channels keeps them in
// one slot of four lanes.
struct ErrorRows {
    static constexpr std::size_t rows = 6;
    static ErrorRows for_levels(const Raster& image);
    static ErrorRows for_palette(std::size_t width);
    // The floats of one row of a palette pass's error.
    static std::size_t palette_row_floats(std::size_t width);
    std::vector<float> storage;
    std::size_t row_floats;

private:
    ErrorRows(std::size_t width, std::size_t slot_floats);
};

// What a pass over a picture is given besides its quantiser.
struct ScanSetup {
    Raster& image;
    const DiffusionMethod& method;
    const KernelRows& kernel;
    bool serpentine;
    ErrorRows& rows;
};

// Each processed channel on its own, up to four channels per pass, side by
// side in the lanes of a slot.
void diffuse_levels(Raster& image, const Space& space, const Levels& levels,
                    const DiffusionMethod& method, float strength, bool serpentine,
                    ErrorRows& rows);

// The first three channels together, to the nearest palette colour.
void diffuse_palette(Raster& image, const Space& space, const Palette& palette,
                     const DiffusionMethod& method, float strength, bool serpentine,
                     ErrorRows& rows);

}  // namespace grainel
