#include "lib/matrix_arg.h"

#include "lib/messages.h"
#include "lib/names.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace grainel {
namespace {

std::optional<unsigned long long> as_unsigned(PyObject* matrix) {
    Ref number = PyLong_Check(matrix) ? Ref::borrow(matrix) : Ref::steal(PyNumber_Index(matrix));
    if (!number) {
        PyErr_Clear();
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

bool is_bayer_size(unsigned long long n) {
    return std::find(bayer_sizes.begin(), bayer_sizes.end(), n) != bayer_sizes.end();
}

// bayerNxN, NxN, bayerN or N after normalisation.
ThresholdMatrix parse_matrix_name(PyObject* matrix, std::string_view text) {
    std::string name = normalize(text);
    std::string_view rest = name;
    if (rest.starts_with("bayer")) rest.remove_prefix(5);
    const std::string_view size_text = rest.substr(0, rest.find('x'));
    const std::string_view digits =
        size_text.starts_with('+') ? size_text.substr(1) : size_text;
    unsigned long long n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        invalid_matrix_error(matrix);
    const std::string side = std::to_string(n);
    if ((rest != side && rest != side + "x" + side) || !is_bayer_size(n))
        invalid_matrix_error(matrix);
    return ThresholdMatrix::bayer(static_cast<unsigned>(n));
}

template <class Value>
std::vector<Value> list_as(PyObject* array, const char* dtype) {
    Ref converted = call_method(array, "astype", str(dtype).get());
    Ref flat = call_method(converted.get(), "flatten");
    Ref list = call_method(flat.get(), "tolist");
    Ref items = checked(PySequence_Fast(list.get(), "tolist() did not return a list"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<Value> values(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if constexpr (std::is_same_v<Value, double>)
            values[i] = PyFloat_AsDouble(item);
        else
            values[i] = PyLong_AsLongLong(item);
        if (values[i] == -1 && PyErr_Occurred()) throw PythonError{};
    }
    return values;
}

ThresholdMatrix parse_matrix_array(PyObject* matrix) {
    Ref numpy = checked(PyImport_ImportModule("numpy"));
    Ref array = call_method(numpy.get(), "asarray", matrix);
    Ref dtype = checked(PyObject_GetAttrString(array.get(), "dtype"));
    Ref kind_object = checked(PyObject_GetAttrString(dtype.get(), "kind"));
    Ref kind_text = checked(PyObject_Str(kind_object.get()));
    const std::string_view kind = utf8(kind_text.get());

    Ref shape_object = checked(PyObject_GetAttrString(array.get(), "shape"));
    Ref shape_items = checked(PySequence_Fast(shape_object.get(), "shape is not a sequence"));
    std::vector<std::size_t> shape;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(shape_items.get()); ++i) {
        const std::size_t extent = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(shape_items.get(), i));
        if (extent == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PythonError{};
        shape.push_back(extent);
    }

    if (shape.size() != 2 || shape[0] == 0 || shape[1] == 0)
        raise(PyExc_ValueError,
              "custom dither matrix must be a non-empty 2-D array, got shape " +
                  bracketed(shape) +
                  "; pass 'bayerNxN', the size as an int (2, 4, 8, 16), or a 2-D numpy array");
    // What asarray returned may be any object that says it is an array; its
    // values must fill the shape it claims before they are read as a grid.
    auto filled = [&](auto values) {
        std::size_t entries = 0;
        if (__builtin_mul_overflow(shape[0], shape[1], &entries) || values.size() != entries)
            raise(PyExc_ValueError, "custom dither matrix has " + std::to_string(values.size()) +
                                        " values for its shape " + bracketed(shape));
        return values;
    };
    MatrixOrError built = [&]() -> MatrixOrError {
        if (kind == "i" || kind == "u")
            return ThresholdMatrix::from_indices(
                shape[0], shape[1], filled(list_as<std::int64_t>(array.get(), "int64")));
        if (kind == "f")
            return ThresholdMatrix::from_thresholds(
                shape[0], shape[1], filled(list_as<double>(array.get(), "float64")));
        raise(PyExc_TypeError,
              "custom dither matrix must have an integer dtype (Bayer-style indices) or "
              "float dtype (thresholds in [0, 1]), got kind " + debug_string(kind_text.get()));
    }();
    if (auto* message = std::get_if<std::string>(&built)) raise(PyExc_ValueError, *message);
    return std::get<ThresholdMatrix>(std::move(built));
}

}  // namespace

void invalid_matrix_error(PyObject* name) {
    raise(PyExc_ValueError, "unknown dither matrix " + debug_string(name) +
                                "; valid values: " + quoted_list(matrix_names) +
                                ", the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix");
}

ThresholdMatrix parse_matrix(PyObject* matrix) {
    if (auto n = as_unsigned(matrix)) {
        if (is_bayer_size(*n)) return ThresholdMatrix::bayer(static_cast<unsigned>(*n));
        Ref digits = str(std::to_string(*n));
        invalid_matrix_error(digits.get());
    }
    if (PyUnicode_Check(matrix)) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(matrix, &size))
            return parse_matrix_name(matrix, std::string_view(text, static_cast<std::size_t>(size)));
        PyErr_Clear();
    }
    return parse_matrix_array(matrix);
}

}  // namespace grainel
