#include "tools/lib/buffers.h"

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

}  // namespace grainel
