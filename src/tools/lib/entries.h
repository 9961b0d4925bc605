// The functions of grainel_tools' native module, one source file each.
#pragma once

#include "python/py.h"

namespace grainel {

PyObject* remap_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* remap_plan_entry(PyObject* module, PyObject* palette) noexcept;
PyObject* fit_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* dither_step_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* mix_plan_entry(PyObject* module, PyObject* palette) noexcept;
PyObject* mix_dither_entry(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;
PyObject* mix_shares_entry(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;
PyObject* nearest_on_faces_entry(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;
PyObject* palette_indices_entry(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;
PyObject* linear_light_entry(PyObject* module, PyObject* unused) noexcept;
PyObject* srgb_bytes_entry(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;
PyObject* matrix_entry(PyObject* module, PyObject* matrix) noexcept;
PyObject* give_back_freed_buffers_entry(PyObject* module, PyObject* unused) noexcept;

}  // namespace grainel
