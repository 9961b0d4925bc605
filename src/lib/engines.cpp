#include "lib/engines.h"

#include "diffusion/diffusion.h"
#include "lib/matrix_arg.h"
#include "lib/messages.h"
#include "lib/names.h"
#include "ordered/threshold_dither.h"
#include "lib/prepare.h"
#include "platform/wall_clock.h"

namespace grainel {
namespace {

// Seeds from the wall clock's nanoseconds since 1970 when the caller gave
// no seed, modulo 2^64.
std::uint64_t clock_seed() {
    const std::optional<WallTime> now = read_wall_clock();
    if (!now) raise(PyExc_OSError, "cannot read the clock to seed random_dither");
    if (now->seconds < 0) return 0x9E3779B97F4A7C15ull;
    return static_cast<std::uint64_t>(now->seconds) * 1000000000ull + now->nanoseconds;
}

}  // namespace

Ref error_diffusion(PyObject* image, PyObject* method, std::uint32_t levels, PyObject* palette,
                    bool serpentine, bool linear, bool preserve_alpha, float strength) {
    const DiffusionMethod* kernel = parse_method(method ? utf8(method) : "floyd_steinberg");
    if (!kernel)
        raise(PyExc_ValueError, "unknown error-diffusion method " + debug_string(method) +
                                    "; valid values: " + quoted_list(method_names()));

    Job job = prepare(image, levels, palette, linear, preserve_alpha, strength);
    Raster raster = job.img.raster();
    if (auto* levels_target = std::get_if<Levels>(&job.target)) {
        ErrorRows errors = ErrorRows::for_levels(raster);
        Detached detached;
        diffuse_levels(raster, job.space, *levels_target, *kernel, job.strength, serpentine,
                       errors);
    } else {
        ErrorRows errors = ErrorRows::for_palette(raster.width);
        Detached detached;
        diffuse_palette(raster, job.space, std::get<Palette>(job.target), *kernel, job.strength,
                        serpentine, errors);
    }
    return into_output(std::move(job.img));
}

Ref ordered_dither(PyObject* image, PyObject* matrix, std::uint32_t levels, PyObject* palette,
                   bool linear, bool preserve_alpha, float strength) {
    const ThresholdMatrix thresholds = matrix ? parse_matrix(matrix) : ThresholdMatrix::bayer(8);
    Job job = prepare(image, levels, palette, linear, preserve_alpha, strength);
    Raster raster = job.img.raster();
    {
        Detached detached;
        if (auto* levels_target = std::get_if<Levels>(&job.target))
            ordered_levels(raster, job.space, *levels_target, job.strength, thresholds);
        else
            ordered_palette(raster, job.space, std::get<Palette>(job.target), job.strength,
                            thresholds);
    }
    return into_output(std::move(job.img));
}

Ref random_dither(PyObject* image, std::uint32_t levels, PyObject* palette,
                  std::optional<Int128> seed, bool linear, bool preserve_alpha, float strength) {
    Job job = prepare(image, levels, palette, linear, preserve_alpha, strength);
    // The seed modulo 2^64: -1 and 2^64 - 1 draw the same noise.
    const std::uint64_t word = seed ? static_cast<std::uint64_t>(*seed) : clock_seed();
    Raster raster = job.img.raster();
    {
        Detached detached;
        if (auto* levels_target = std::get_if<Levels>(&job.target))
            random_levels(raster, job.space, *levels_target, job.strength, word);
        else
            random_palette(raster, job.space, std::get<Palette>(job.target), job.strength, word);
    }
    return into_output(std::move(job.img));
}

}  // namespace grainel
