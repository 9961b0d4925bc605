// dither_step(image, palette, fixed, strength, threads=1): `palette` after
// one step toward how the remap at `strength` shows the (H, W, 3 or 4)
// picture, as bytes of r, g, b triples; the first `fixed` colours stay. The
// same bytes on any number of threads.
#include "tools/lib/entries.h"

#include <cstring>
#include <string>
#include <vector>

#include "lib/names.h"
#include "tools/fit/dither_step.h"
#include "tools/lib/buffers.h"

namespace grainel {

PyObject* dither_step_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"image", "palette", "fixed", "strength", "threads", nullptr};
        PyObject *image_arg, *palette_arg;
        Py_ssize_t fixed, threads = 1;
        float strength;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnf|n:dither_step", const_cast<char**>(keywords),
                                         &image_arg, &palette_arg, &fixed, &strength, &threads))
            return nullptr;
        if (threads < 1) raise(PyExc_ValueError, "threads must be at least 1");
        if (!(strength >= 0.0f && strength <= 1.0f)) raise(PyExc_ValueError, "strength must be in [0, 1]");
        const Bytes image(image_arg, "image", 3);
        const Bytes palette(palette_arg, "palette", 2);
        const std::size_t height = image.size(0), width = image.size(1), channels = image.size(2);
        if (channels != 3 && channels != 4) raise(PyExc_ValueError, "image must have 3 or 4 channels");
        if (palette.size(1) != 3 || palette.size(0) < 1 || palette.size(0) > most_colors)
            raise(PyExc_ValueError,
                  "palette must hold 1 to " + std::to_string(most_colors) + " colours of 3 bytes");
        std::vector<Rgb> colors(palette.size(0));
        std::memcpy(colors.data(), palette.data(), colors.size() * sizeof(Rgb));
        if (fixed < 0 || static_cast<std::size_t>(fixed) > colors.size())
            raise(PyExc_ValueError, "fixed must be between 0 and the palette's size");
        // The step measures each colour's mean error, which a left-to-right
        // scan, whose bands share every thread, finds as the serpentine
        // remap shows it: on the quality benchmark's tune half no figure
        // moved by more than a tenth of a percent either way.
        const RemapOptions options{parse_method("floyd_steinberg"), strength, false,
                                   static_cast<std::size_t>(threads)};
        std::vector<Rgb> moved;
        {
            Detached released;
            const Raster raster{image.data(), height, width, channels,
                                channels == 4 ? std::optional<std::size_t>(3) : std::nullopt};
            moved = toward_dither(raster, colors, static_cast<std::size_t>(fixed), options);
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(moved.data()),
                                         static_cast<Py_ssize_t>(moved.size() * sizeof(Rgb)));
    });
}

}  // namespace grainel
