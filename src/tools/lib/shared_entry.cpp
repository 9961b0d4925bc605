// What the Python side of grainel_tools takes from the native code instead
// of writing it again: the sRGB curve, the module's own reading of a
// threshold matrix argument, with its names and messages, and the
// allocator's setting for the command line.
#include "tools/lib/entries.h"

#include <cmath>
#include <cstring>

#include "tools/lib/buffers.h"
#include "lib/matrix_arg.h"
#include "platform/freed_memory.h"
#include "space/srgb_curve.h"

namespace grainel {

// give_back_freed_buffers(): see platform/freed_memory.h.
PyObject* give_back_freed_buffers_entry(PyObject*, PyObject*) noexcept {
    give_back_freed_buffers();
    Py_RETURN_NONE;
}

// linear_light(): the light of each sRGB byte, 256 doubles from 0 to 1.
PyObject* linear_light_entry(PyObject*, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        double light[256];
        for (int b = 0; b < 256; ++b) light[b] = linear_of_srgb(b / 255.0);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(light), sizeof light);
    });
}

// srgb_bytes(light, out): the sRGB byte of each double of `light` (given as
// its bytes), clamped to [0, 1], into `out`. Halves go to the even byte,
// as Python's round() takes them.
PyObject* srgb_bytes_entry(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return guarded([&]() -> PyObject* {
        if (count != 2) raise(PyExc_TypeError, "srgb_bytes takes light and out");
        const Bytes light(args[0], "light", 1);
        const Bytes out(args[1], "out", 1, true);
        if (light.size(0) != out.size(0) * sizeof(double))
            raise(PyExc_ValueError, "light must hold one double for each byte of out");
        const std::uint8_t* from = light.data();
        for (std::size_t i = 0; i < out.size(0); ++i, from += sizeof(double)) {
            double v;
            std::memcpy(&v, from, sizeof v);
            v = v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
            out.data()[i] = static_cast<std::uint8_t>(std::nearbyint(255.0 * srgb_of_linear(v)));
        }
        Py_RETURN_NONE;
    });
}

// matrix(matrix): what grainel.ordered_dither makes of its matrix argument,
// as (thresholds, height, width), the thresholds as float32 bytes; it
// raises what grainel raises.
PyObject* matrix_entry(PyObject*, PyObject* matrix) noexcept {
    return guarded([&]() -> PyObject* {
        const ThresholdMatrix parsed = parse_matrix(matrix);
        Ref thresholds = checked(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(parsed.thresholds.data()),
            static_cast<Py_ssize_t>(parsed.thresholds.size() * sizeof(float))));
        return Py_BuildValue("(Onn)", thresholds.get(), static_cast<Py_ssize_t>(parsed.height),
                             static_cast<Py_ssize_t>(parsed.width));
    });
}

}  // namespace grainel
