// Pieces of the module's error messages: debug strings, shapes, floats,
// name lists, and the standard type errors.
#pragma once

#include "python/py.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace grainel {

// A caller's text in double quotes, with backslash escapes for quotes,
// backslashes, control characters, combining marks (every character with
// the property Grapheme_Extend) and other characters that would not show.
std::string debug_string(PyObject* text);

// "[480, 640, 3]"
std::string bracketed(std::span<const std::size_t> items);
std::string bracketed(std::span<const std::int64_t> items);

// The shortest decimal that reads back as the same float, never with an
// exponent; "NaN" and "inf" for the special values.
std::string format_float(float value);

// "'a', 'b', 'c'"
template <class Names>
std::string quoted_list(const Names& names) {
    std::string out;
    for (std::string_view name : names) {
        if (!out.empty()) out += ", ";
        out += '\'';
        out += name;
        out += '\'';
    }
    return out;
}

// TypeError "'int' object is not an instance of 'str'" (or "'None' is not
// an instance of ..."), as the argument conversions word it.
[[noreturn]] void raise_not_instance(PyObject* object, std::string_view expected);

// The same TypeError with None named by its type, "'NoneType' object ...".
[[noreturn]] void raise_type_not_instance(PyObject* object, std::string_view expected);

// The qualified name of the object's type.
std::string type_name(PyObject* object);

}  // namespace grainel
