// nearest_on_faces(colors, faces, only, found, which, threads): for each
// colour of `colors` (k * 3 doubles, as bytes), the nearest point in OKLab
// on the triangles of `faces` (n * 9 doubles), or with `only` (k 64-bit
// integers, or None) on face only[i] alone, into `found` (k * 3 doubles),
// and its face into `which` (k 64-bit integers).
#include "tools/lib/entries.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/color/hull_search.h"
#include "tools/lib/buffers.h"

namespace grainel {
namespace {

// A buffer's bytes as values of type T, copied: the buffers need not be aligned.
template <class T>
std::vector<T> copied(const Bytes& bytes) {
    std::vector<T> values(bytes.size(0) / sizeof(T));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

}  // namespace

PyObject* nearest_on_faces_entry(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return guarded([&]() -> PyObject* {
        if (count != 6) raise(PyExc_TypeError, "nearest_on_faces takes colors, faces, only, found, which and threads");
        const Bytes colors(args[0], "colors", 1);
        const Bytes faces(args[1], "faces", 1);
        const Bytes found(args[3], "found", 1, true);
        const Bytes which(args[4], "which", 1, true);
        const Py_ssize_t threads = PyLong_AsSsize_t(args[5]);
        if (threads == -1 && PyErr_Occurred()) return nullptr;
        if (threads < 1) raise(PyExc_ValueError, "threads must be at least 1");
        constexpr std::size_t color_bytes = 3 * sizeof(double), face_bytes = 9 * sizeof(double);
        const std::size_t color_count = colors.size(0) / color_bytes;
        const std::size_t face_count = faces.size(0) / face_bytes;
        if (colors.size(0) % color_bytes != 0 || faces.size(0) % face_bytes != 0 || face_count == 0)
            raise(PyExc_ValueError, "colors must hold 3 doubles each and faces 9 each, one face at least");
        if (found.size(0) != colors.size(0) || which.size(0) != color_count * sizeof(std::int64_t))
            raise(PyExc_ValueError, "found and which must hold a point and a face for every colour");
        std::vector<std::int64_t> only;
        if (args[2] != Py_None) {
            only = copied<std::int64_t>(Bytes(args[2], "only", 1));
            if (only.size() != color_count) raise(PyExc_ValueError, "only must hold a face for every colour");
            for (const std::int64_t f : only)
                if (f < 0 || static_cast<std::size_t>(f) >= face_count) raise(PyExc_ValueError, "only names no face");
        }
        const std::vector<double> in = copied<double>(colors), corners = copied<double>(faces);
        std::vector<double> out(3 * color_count);
        std::vector<std::int64_t> held(color_count);
        {
            Detached released;
            nearest_on_faces(in.data(), color_count, corners.data(), face_count, only.empty() ? nullptr : only.data(),
                             out.data(), held.data(), static_cast<std::size_t>(threads));
        }
        std::memcpy(found.data(), out.data(), found.size(0));
        std::memcpy(which.data(), held.data(), which.size(0));
        Py_RETURN_NONE;
    });
}

}  // namespace grainel
