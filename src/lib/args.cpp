#include "lib/args.h"

#include "lib/messages.h"

#include <algorithm>
#include <climits>
#include <string>

namespace grainel {
namespace {

constexpr std::size_t param_count = 10;

constexpr std::string_view param_name(Param param) {
    constexpr std::string_view names[param_count] = {
        "image",      "method", "matrix",   "levels", "palette",
        "serpentine", "seed",   "strength", "linear", "preserve_alpha"};
    return names[static_cast<std::size_t>(param)];
}

std::string call_name(const Signature& signature) { return std::string(signature.name) + "()"; }

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t takes = signature.positional.size();
    std::string message = call_name(signature) + " takes ";
    message += takes == 1 ? "1" : "from 1 to " + std::to_string(takes);
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, message);
}

// A note that cannot be added is dropped; the original error stands.
void add_note_to(PyObject* error, std::string_view note) noexcept {
    try {
        call_method(error, "add_note", str(note).get());
    } catch (...) {
        PyErr_Clear();
    }
}

void add_note(std::string_view note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* error = PyErr_GetRaisedException();
    add_note_to(error, note);
    PyErr_SetRaisedException(error);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    add_note_to(value, note);
    PyErr_Restore(type, value, traceback);
#endif
}

// PyLong_AsLong's range and errors, as CPython raises them where long is 64
// bits. Where it is 32 (Windows), the same range and the same message, so
// that a count means one thing on every platform.
long long to_c_long(PyObject* value) {
#if LONG_MAX >= LLONG_MAX
    const long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    return number;
#else
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow) raise(PyExc_OverflowError, "Python int too large to convert to C long");
    return number;
#endif
}

std::uint32_t to_count(PyObject* value) {
    const long long number = to_c_long(value);
    if (number < 0 || number > 4294967295LL)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(number);
}

Int128 to_int128(PyObject* value) {
    Ref number = checked(PyNumber_Index(value));
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) throw PythonError{};
    if (!overflow) return small;
    // Wider than 64 bits: the low word modulo 2^64, the high word by an
    // arithmetic shift, which must itself fit in 64 bits.
    const unsigned long long low = PyLong_AsUnsignedLongLongMask(number.get());
    Ref shift = checked(PyLong_FromLong(64));
    Ref high_number = checked(PyNumber_Rshift(number.get(), shift.get()));
    const long long high = PyLong_AsLongLongAndOverflow(high_number.get(), &overflow);
    if (overflow) raise(PyExc_OverflowError, "Python int larger than 128 bits");
    return static_cast<Int128>((static_cast<unsigned __int128>(high) << 64) | low);
}

float to_float(PyObject* value) {
    if (PyFloat_CheckExact(value)) return static_cast<float>(PyFloat_AS_DOUBLE(value));
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw PythonError{};
    return static_cast<float>(number);
}

// NumPy's bool scalar type, recognised by its module and name so that
// NumPy need not be imported here.
bool is_numpy_bool_type(PyTypeObject* type) {
    auto text_of = [&](const char* attribute) -> std::string {
        Ref object = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
        const char* text = object && PyUnicode_Check(object.get()) ? PyUnicode_AsUTF8(object.get()) : nullptr;
        if (!text) {
            PyErr_Clear();
            return {};
        }
        return text;
    };
    const std::string name = text_of("__name__");
    return (name == "bool_" || name == "bool") && text_of("__module__") == "numpy";
}

bool to_bool(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    PyTypeObject* type = Py_TYPE(value);
    if (!is_numpy_bool_type(type)) raise_not_instance(value, "bool");
    inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (!truth)
        raise(PyExc_TypeError,
              "object of type '" + type_name(value) + "' does not define a '__bool__' conversion");
    const int result = truth(value);
    if (result < 0) throw PythonError{};
    return result != 0;
}

PyObject* to_str(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_not_instance(value, "str");
    // Lone surrogates fail here, with the encoding error.
    utf8(value);
    return value;
}

void convert(Param param, PyObject* value, Arguments& out) {
    switch (param) {
        case Param::image: out.image = value; break;
        case Param::method: out.method = to_str(value); break;
        case Param::matrix: out.matrix = value == Py_None ? nullptr : value; break;
        case Param::palette: out.palette = value == Py_None ? nullptr : value; break;
        case Param::levels: out.levels = to_count(value); break;
        case Param::serpentine: out.serpentine = to_bool(value); break;
        case Param::seed:
            if (value != Py_None) out.seed = to_int128(value);
            break;
        case Param::strength: out.strength = to_float(value); break;
        case Param::linear: out.linear = to_bool(value); break;
        case Param::preserve_alpha: out.preserve_alpha = to_bool(value); break;
    }
}

}  // namespace

Arguments parse_arguments(const Signature& signature, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto& positional = signature.positional;
    if (static_cast<std::size_t>(nargs) > positional.size())
        raise_too_many_positional(signature, nargs);

    PyObject* bound[param_count] = {};
    auto slot = [&](Param param) -> PyObject*& { return bound[static_cast<std::size_t>(param)]; };
    for (Py_ssize_t i = 0; i < nargs; ++i) slot(positional[i]) = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
        const std::string_view name = utf8(keyword);
        auto matches = [&](Param param) { return param_name(param) == name; };
        auto keyword_only = std::find_if(signature.keyword_only.begin(), signature.keyword_only.end(), matches);
        auto positional_at = std::find_if(positional.begin(), positional.end(), matches);
        Param param;
        if (keyword_only != signature.keyword_only.end())
            param = *keyword_only;
        else if (positional_at != positional.end())
            param = *positional_at;
        else
            raise(PyExc_TypeError, call_name(signature) + " got an unexpected keyword argument '" +
                                       std::string(name) + "'");
        if (slot(param))
            raise(PyExc_TypeError, call_name(signature) + " got multiple values for argument '" +
                                       std::string(name) + "'");
        slot(param) = args[nargs + i];
    }
    if (!slot(Param::image))
        raise(PyExc_TypeError,
              call_name(signature) + " missing 1 required positional argument: 'image'");

    Arguments out;
    auto convert_supplied = [&](Param param) {
        PyObject* value = slot(param);
        if (!value) return;
        try {
            convert(param, value, out);
        } catch (const PythonError&) {
            add_note("while processing '" + std::string(param_name(param)) + "'");
            throw;
        }
    };
    std::for_each(positional.begin(), positional.end(), convert_supplied);
    std::for_each(signature.keyword_only.begin(), signature.keyword_only.end(), convert_supplied);
    return out;
}

}  // namespace grainel
