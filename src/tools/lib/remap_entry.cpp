// remap(image, palette, out, method, strength, serpentine, threads=1): the
// perceptual remap of an (H, W, 3 or 4) picture into `out`, the same shape,
// to the colours of a (k, 3) palette or of a plan made by remap_plan, on
// `threads` threads.
#include "tools/lib/entries.h"

#include "tools/lib/buffers.h"
#include "tools/lib/remap_capsule.h"
#include "lib/names.h"
#include "tools/remap/remap.h"

#include <cstring>
#include <optional>
#include <string>

namespace grainel {

PyObject* remap_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"image", "palette", "out", "method", "strength", "serpentine",
                                         "threads", nullptr};
        PyObject *image_arg, *plan_arg, *out_arg;
        const char* method_name;
        float strength;
        int serpentine;
        Py_ssize_t threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOsfp|n:remap", const_cast<char**>(keywords),
                                         &image_arg, &plan_arg, &out_arg, &method_name, &strength,
                                         &serpentine, &threads))
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
        if (threads < 1) raise(PyExc_ValueError, "threads must be at least 1");
        std::optional<RemapPlan> own_plan;
        if (!PyCapsule_CheckExact(plan_arg)) own_plan.emplace(palette_colors(plan_arg));
        const RemapPlan& plan = own_plan ? *own_plan : remap_plan_of(plan_arg);
        const Bytes image(image_arg, "image", 3);
        const Bytes out(out_arg, "out", 3, true);
        const std::size_t height = image.size(0), width = image.size(1), channels = image.size(2);
        if (channels != 3 && channels != 4) raise(PyExc_ValueError, "image must have 3 or 4 channels");
        if (out.size(0) != height || out.size(1) != width || out.size(2) != channels)
            raise(PyExc_ValueError, "out must have the image's shape");
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
            perceptual_remap(raster, plan,
                             RemapOptions{method, strength, serpentine != 0, static_cast<std::size_t>(threads)});
        }
        Py_RETURN_NONE;
    });
}

}  // namespace grainel
