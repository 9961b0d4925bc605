// Binding a fast call's arguments to parameters, and converting the scalar
// ones to native values, with CPython-style messages.
#pragma once

#include "lib/engines.h"
#include "python/py.h"

#include <cstdint>
#include <optional>
#include <span>

namespace grainel {

enum class Param { image, method, matrix, levels, palette, serpentine, seed, strength, linear, preserve_alpha };

struct Signature {
    const char* name;
    std::span<const Param> positional;    // the first one, image, is required
    std::span<const Param> keyword_only;
};

// The converted arguments; omitted parameters keep these defaults, and the
// Python objects are borrowed from the call.
struct Arguments {
    PyObject* image = nullptr;
    PyObject* method = nullptr;   // a str; null for the default method
    PyObject* matrix = nullptr;   // null for None
    PyObject* palette = nullptr;  // null for None
    std::uint32_t levels = 2;
    bool serpentine = false;
    std::optional<Int128> seed;
    float strength = 1.0f;
    bool linear = false;
    bool preserve_alpha = true;
};

Arguments parse_arguments(const Signature& signature, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace grainel
