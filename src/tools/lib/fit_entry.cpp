// fit(image, count, keep, iterations, final_iterations, threads=1): a
// palette of at most `count` colours fitted to an (H, W, 3 or 4) picture,
// holding the (k, 3) colours of `keep`, as bytes of r, g, b triples; the
// same bytes on any number of threads.
#include "tools/lib/entries.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/lib/buffers.h"
#include "tools/fit/palette_fit.h"

namespace grainel {
namespace {

std::string hex(const Rgb& c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c[0], c[1], c[2]);
    return text;
}

}  // namespace

PyObject* fit_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"image",           "count",   "keep", "iterations",
                                         "final_iterations", "threads", nullptr};
        PyObject *image_arg, *keep_arg;
        Py_ssize_t count, iterations, final_iterations, threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOnn|n:fit", const_cast<char**>(keywords), &image_arg,
                                         &count, &keep_arg, &iterations, &final_iterations, &threads))
            return nullptr;
        if (count < 1 || static_cast<std::size_t>(count) > most_colors)
            raise(PyExc_ValueError, "count must be between 1 and " + std::to_string(most_colors));
        if (iterations < 1 || final_iterations < 1) raise(PyExc_ValueError, "iterations must be at least 1");
        if (threads < 1) raise(PyExc_ValueError, "threads must be at least 1");
        const Bytes image(image_arg, "image", 3);
        const Bytes keep(keep_arg, "keep", 2);
        const std::size_t height = image.size(0), width = image.size(1), channels = image.size(2);
        if (channels != 3 && channels != 4) raise(PyExc_ValueError, "image must have 3 or 4 channels");
        if (keep.size(1) != 3) raise(PyExc_ValueError, "keep must hold colours of 3 bytes");
        FitOptions options{static_cast<std::size_t>(count), std::vector<Rgb>(keep.size(0)),
                           static_cast<std::size_t>(iterations), static_cast<std::size_t>(final_iterations),
                           static_cast<std::size_t>(threads)};
        if (!options.keep.empty()) std::memcpy(options.keep.data(), keep.data(), options.keep.size() * sizeof(Rgb));
        // The picture is only read, so it is not copied: the buffer stays
        // exported (so alive and unmoved) while the interpreter runs on.
        const Raster raster{image.data(), height, width, channels,
                            channels == 4 ? std::optional<std::size_t>(3) : std::nullopt};
        ColorHistogram histogram;
        std::vector<Rgb> palette;
        {
            Detached released;
            histogram = color_histogram(raster);
            if (histogram.colors.size() > 1) palette = fit_palette(histogram, options);
        }
        if (histogram.colors.empty()) raise(PyExc_ValueError, "image has no pixel that is not fully transparent");
        if (histogram.colors.size() == 1)
            raise(PyExc_ValueError, "image has a single colour, " + hex(histogram.colors[0]) +
                                        ": there is nothing to fit (use it as the palette)");
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(palette.data()),
                                         static_cast<Py_ssize_t>(palette.size() * sizeof(Rgb)));
    });
}

}  // namespace grainel
