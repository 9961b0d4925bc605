// Pixel and palette buffers handed over by grainel_tools' Python code:
// anything with the buffer protocol, C-contiguous bytes of a known number
// of dimensions. The Python wrappers shape and check what they pass; these
// checks make sure nothing else can make the native code read or write
// outside a buffer.
#pragma once

#include "python/py.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "palette/palette.h"

namespace grainel {

class Bytes {
public:
    // Raises TypeError unless `object` exports C-contiguous unsigned bytes
    // in `dims` dimensions (writable ones if asked); `name` is the argument.
    Bytes(PyObject* object, const char* name, int dims, bool writable = false);
    ~Bytes() { PyBuffer_Release(&view_); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    std::size_t size(int dim) const { return static_cast<std::size_t>(view_.shape[dim]); }
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }

private:
    Py_buffer view_;
};

// The colours of a (k, 3) palette argument of 1 to most_colors colours;
// raises ValueError for any other size.
std::vector<Rgb> palette_colors(PyObject* palette);

}  // namespace grainel
