// palette_indices(pixels, entries): the place in `entries` ((m, C) uint8,
// 1 to 256 entries) of each pixel of `pixels` ((H, W, C) uint8, C from 1
// to 4), the first of equal entries, as H * W bytes; None where some
// pixel is none of the entries.
#include "tools/lib/entries.h"

#include "tools/color/palette_indices.h"
#include "tools/lib/buffers.h"

namespace grainel {

PyObject* palette_indices_entry(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return guarded([&]() -> PyObject* {
        if (count != 2) raise(PyExc_TypeError, "palette_indices takes pixels and entries");
        const Bytes pixels(args[0], "pixels", 3);
        const Bytes entries(args[1], "entries", 2);
        const std::size_t channels = pixels.size(2);
        if (channels < 1 || channels > 4 || entries.size(1) != channels)
            raise(PyExc_ValueError, "pixels and entries must have the same 1 to 4 channels");
        if (entries.size(0) < 1 || entries.size(0) > 256) raise(PyExc_ValueError, "entries must hold 1 to 256");
        const std::size_t pixel_count = pixels.size(0) * pixels.size(1);
        Ref indices = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pixel_count)));
        bool found;
        {
            Detached released;
            found = palette_indices(pixels.data(), pixel_count, channels, entries.data(), entries.size(0),
                                    reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(indices.get())));
        }
        if (!found) Py_RETURN_NONE;
        return indices.release();
    });
}

}  // namespace grainel
