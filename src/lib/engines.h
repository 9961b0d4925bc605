// The top level of the three engines: check what only they check, prepare
// the job, run the pixel loops detached from the interpreter, build the
// result.
#pragma once

#include "python/py.h"

#include <cstdint>
#include <optional>

namespace grainel {

using Int128 = __int128;

// `method` is a str, or null for "floyd_steinberg"; `palette` and `matrix`
// are null when absent.
Ref error_diffusion(PyObject* image, PyObject* method, std::uint32_t levels, PyObject* palette,
                    bool serpentine, bool linear, bool preserve_alpha, float strength);

Ref ordered_dither(PyObject* image, PyObject* matrix, std::uint32_t levels, PyObject* palette,
                   bool linear, bool preserve_alpha, float strength);

Ref random_dither(PyObject* image, std::uint32_t levels, PyObject* palette,
                  std::optional<Int128> seed, bool linear, bool preserve_alpha, float strength);

}  // namespace grainel
