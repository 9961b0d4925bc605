#include "lib/entries.h"

#include "lib/args.h"
#include "lib/engines.h"
#include "lib/matrix_arg.h"
#include "lib/messages.h"
#include "lib/names.h"

namespace grainel {
namespace {

using enum Param;

constexpr Param image_method[] = {image, method};
constexpr Param image_matrix[] = {image, matrix};
constexpr Param image_only[] = {image};

constexpr Param dither_keywords[] = {levels, palette, serpentine, seed, strength, linear, preserve_alpha};
constexpr Param ordered_keywords[] = {levels, palette, strength, linear, preserve_alpha};
constexpr Param diffusion_keywords[] = {levels, palette, serpentine, strength, linear, preserve_alpha};
constexpr Param random_keywords[] = {levels, palette, seed, strength, linear, preserve_alpha};

constexpr Signature dither_signature{"dither", image_method, dither_keywords};
constexpr Signature ordered_signature{"ordered_dither", image_matrix, ordered_keywords};
constexpr Signature diffusion_signature{"error_diffusion", image_method, diffusion_keywords};
constexpr Signature random_signature{"random_dither", image_only, random_keywords};

bool names_a_matrix(PyObject* text) {
    try {
        parse_matrix(text);
        return true;
    } catch (const PythonError&) {
        PyErr_Clear();
        return false;
    }
}

[[noreturn]] void raise_unknown_dither_method(PyObject* method) {
    raise(PyExc_ValueError, "unknown dither method " + debug_string(method) +
                                "; valid values: " + quoted_list(method_names()) + ", " +
                                quoted_list(matrix_names) + ", 'random'");
}

template <std::size_t N>
PyObject* name_list(const std::array<std::string_view, N>& names) {
    Ref list = checked(PyList_New(N));
    for (std::size_t i = 0; i < N; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str(names[i]).release());
    }
    return list.release();
}

}  // namespace

PyObject* dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const Arguments a = parse_arguments(dither_signature, args, nargsf, kwnames);
        const std::string_view name = a.method ? utf8(a.method) : "floyd_steinberg";
        if (parse_method(name))
            return error_diffusion(a.image, a.method, a.levels, a.palette, a.serpentine,
                                   a.linear, a.preserve_alpha, a.strength).release();
        if (normalize(name) == "random")
            return random_dither(a.image, a.levels, a.palette, a.seed, a.linear,
                                 a.preserve_alpha, a.strength).release();
        Ref matrix_name = str(name);
        if (!names_a_matrix(matrix_name.get())) raise_unknown_dither_method(a.method);
        return ordered_dither(a.image, matrix_name.get(), a.levels, a.palette, a.linear,
                              a.preserve_alpha, a.strength).release();
    });
}

PyObject* ordered_dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return guarded([&] {
        const Arguments a = parse_arguments(ordered_signature, args, nargsf, kwnames);
        return ordered_dither(a.image, a.matrix, a.levels, a.palette, a.linear,
                              a.preserve_alpha, a.strength).release();
    });
}

PyObject* error_diffusion_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return guarded([&] {
        const Arguments a = parse_arguments(diffusion_signature, args, nargsf, kwnames);
        return error_diffusion(a.image, a.method, a.levels, a.palette, a.serpentine, a.linear,
                               a.preserve_alpha, a.strength).release();
    });
}

PyObject* random_dither_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return guarded([&] {
        const Arguments a = parse_arguments(random_signature, args, nargsf, kwnames);
        return random_dither(a.image, a.levels, a.palette, a.seed, a.linear, a.preserve_alpha,
                             a.strength).release();
    });
}

PyObject* available_methods_entry(PyObject*, PyObject*) {
    return guarded([] { return name_list(method_names()); });
}

PyObject* available_matrices_entry(PyObject*, PyObject*) {
    return guarded([] { return name_list(matrix_names); });
}

}  // namespace grainel
