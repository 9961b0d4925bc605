// grainel_tools._native: the palette tools that need native speed (the
// perceptual remap), on plain buffers. The Python functions of
// grainel_tools check and shape the arguments; these only refuse what
// would be unsafe.
#include "tools/lib/entries.h"

#include "palette/palette.h"

namespace grainel {
namespace {

template <auto Entry>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef functions[] = {
    {"remap", as_cfunction<remap_entry>(), METH_VARARGS | METH_KEYWORDS,
     "remap(image, plan, out, method, strength, serpentine, threads)\n--\n\n"
     "The perceptual remap of image into out (see grainel_tools.remap)."},
    {"remap_plan", as_cfunction<remap_plan_entry>(), METH_O,
     "remap_plan(palette)\n--\n\nThe remap plan of a palette (see grainel_tools.RemapPlan)."},
    {"fit", as_cfunction<fit_entry>(), METH_VARARGS | METH_KEYWORDS,
     "fit(image, count, keep, iterations, final_iterations, threads=1)\n--\n\n"
     "A palette fitted to image, as bytes (see grainel_tools.fit_palette)."},
    {"dither_step", as_cfunction<dither_step_entry>(), METH_VARARGS | METH_KEYWORDS,
     "dither_step(image, palette, fixed, strength, threads=1)\n--\n\n"
     "palette after one step toward how the remap shows image, as bytes."},
    {"mix_plan", as_cfunction<mix_plan_entry>(), METH_O,
     "mix_plan(palette)\n--\n\n(plan, order): colour mixes (see grainel_tools.mix)."},
    {"mix_dither", as_cfunction<mix_dither_entry>(), METH_FASTCALL,
     "mix_dither(image, plan, thresholds, out)\n--\n\nOrdered dither by colour mixes into out."},
    {"mix_shares", as_cfunction<mix_shares_entry>(), METH_FASTCALL,
     "mix_shares(plan, colors)\n--\n\nThe mixes of colors, as 32-bit shares."},
    {"nearest_on_faces", as_cfunction<nearest_on_faces_entry>(), METH_FASTCALL,
     "nearest_on_faces(colors, faces, only, found, which, threads)\n--\n\n"
     "The nearest point in OKLab on the faces to each colour, and its face (see grainel_tools.gamut)."},
    {"palette_indices", as_cfunction<palette_indices_entry>(), METH_FASTCALL,
     "palette_indices(pixels, entries)\n--\n\nEach pixel's place in entries, as bytes; None where one is none."},
    {"linear_light", as_cfunction<linear_light_entry>(), METH_NOARGS,
     "linear_light()\n--\n\nThe light of each sRGB byte, 0 to 1, as 256 doubles."},
    {"srgb_bytes", as_cfunction<srgb_bytes_entry>(), METH_FASTCALL,
     "srgb_bytes(light, out)\n--\n\nThe sRGB byte of each double of light, into out."},
    {"matrix", as_cfunction<matrix_entry>(), METH_O,
     "matrix(matrix)\n--\n\ngrainel's reading of a matrix argument: (thresholds, height, width)."},
    {"give_back_freed_buffers", as_cfunction<give_back_freed_buffers_entry>(), METH_NOARGS,
     "give_back_freed_buffers()\n--\n\nFreed picture-sized buffers given back to the system at once, "
     "for the whole process: for a program's start."},
    {nullptr, nullptr, 0, nullptr},
};

// MAX_COLORS: the most colours a palette may hold.
int add_constants(PyObject* module) {
    return PyModule_AddIntConstant(module, "MAX_COLORS", static_cast<long>(most_colors));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "grainel_tools._native", "", 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace grainel

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&grainel::module_definition); }
