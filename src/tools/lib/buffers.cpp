#include "tools/lib/buffers.h"

#include <cstring>
#include <string>
#include <string_view>

namespace grainel {

Bytes::Bytes(PyObject* object, const char* name, int dims, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    check(PyObject_GetBuffer(object, &view_, flags));
    const std::string_view format = view_.format ? view_.format : "B";
    if (view_.ndim != dims || view_.itemsize != 1 || (format != "B" && format != "=B" && format != "<B")) {
        PyBuffer_Release(&view_);
        raise(PyExc_TypeError, std::string(name) + " must be C-contiguous uint8 data in " +
                                   std::to_string(dims) + " dimensions");
    }
}

std::vector<Rgb> palette_colors(PyObject* palette_arg) {
    const Bytes palette(palette_arg, "palette", 2);
    if (palette.size(1) != 3 || palette.size(0) < 1 || palette.size(0) > most_colors)
        raise(PyExc_ValueError, "palette must hold 1 to " + std::to_string(most_colors) + " colours of 3 bytes");
    std::vector<Rgb> colors(palette.size(0));
    std::memcpy(colors.data(), palette.data(), colors.size() * sizeof(Rgb));
    return colors;
}

}  // namespace grainel
