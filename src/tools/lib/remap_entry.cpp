// remap(image, palette, out, method, strength, serpentine): the perceptual
// remap of an (H, W, 3 or 4) picture into `out`, the same shape.
#include "tools/lib/entries.h"

#include "tools/lib/buffers.h"
#include "lib/names.h"
#include "tools/remap/remap.h"

#include <cstring>
#include <string>
#include <vector>

namespace grainel {

PyObject* remap_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"image", "palette", "out", "method", "strength", "serpentine",
                                         nullptr};
        PyObject *image_arg, *palette_arg, *out_arg;
        const char* method_name;
        float strength;
        int serpentine;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOsfp:remap", const_cast<char**>(keywords),
                                         &image_arg, &palette_arg, &out_arg, &method_name, &strength,
                                         &serpentine))
            return nullptr;
        const DiffusionMethod* method = parse_method(method_name);
        if (!method) {
            std::string message = "unknown method '" + std::string(method_name) +
                                  "'; the remap takes the error-diffusion kernels";
            const char* separator = " ";
            for (std::string_view name : method_names()) {
                ((message += separator) += '\'') += name;
                message += '\'';
                separator = ", ";
            }
            raise(PyExc_ValueError, message);
        }
        if (!(strength >= 0.0f && strength <= 1.0f)) raise(PyExc_ValueError, "strength must be in [0, 1]");
        const Bytes image(image_arg, "image", 3);
        const Bytes palette(palette_arg, "palette", 2);
        const Bytes out(out_arg, "out", 3, true);
        const std::size_t height = image.size(0), width = image.size(1), channels = image.size(2);
        if (channels != 3 && channels != 4) raise(PyExc_ValueError, "image must have 3 or 4 channels");
        if (out.size(0) != height || out.size(1) != width || out.size(2) != channels)
            raise(PyExc_ValueError, "out must have the image's shape");
        if (palette.size(1) != 3 || palette.size(0) < 1 || palette.size(0) > most_colors)
            raise(PyExc_ValueError,
                  "palette must hold 1 to " + std::to_string(most_colors) + " colours of 3 bytes");
        std::vector<Rgb> colors(palette.size(0));
        std::memcpy(colors.data(), palette.data(), colors.size() * sizeof(Rgb));
        // The pass works in `out`, which starts as the image's bytes: moved
        // there, so that an `out` overlapping the image starts from them too,
        // and the image is not read again. (Another thread writing to `out`
        // meanwhile could only spoil the result: every byte read is a valid
        // value.)
        std::memmove(out.data(), image.data(), height * width * channels);
        {
            Detached released;
            Raster raster{out.data(), height, width, channels,
                          channels == 4 ? std::optional<std::size_t>(3) : std::nullopt};
            perceptual_remap(raster, colors, RemapOptions{method, strength, serpentine != 0});
        }
        Py_RETURN_NONE;
    });
}

}  // namespace grainel
