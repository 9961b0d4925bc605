#include "lib/messages.h"

#include <charconv>
#include <cmath>

namespace grainel {
namespace {

void append_utf8(std::string& out, Py_UCS4 ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

// The characters with the Unicode property Grapheme_Extend that are not
// marks of category Mn or Me: Other_Grapheme_Extend of Unicode 14.0
// (PropList.txt), as ranges. unicodedata gives categories but not this
// property, so the short list is kept here.
struct CodePoints {
    Py_UCS4 first, last;
};
constexpr CodePoints other_grapheme_extend[] = {
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE},   {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},   {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},   {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F},
};

bool is_other_grapheme_extend(Py_UCS4 ch) {
    for (const CodePoints& range : other_grapheme_extend)
        if (ch >= range.first && ch <= range.last) return true;
    return false;
}

// Non-ASCII characters are judged by their Unicode category: controls,
// format characters, separators of lines and paragraphs, private-use,
// surrogate and unassigned code points do not show, and combining marks
// would fuse with the quote or backslash before them.
bool hidden_category(std::string_view category) {
    static constexpr std::string_view hidden[] = {"Cc", "Cf", "Cs", "Co", "Cn",
                                                  "Zl", "Zp", "Mn", "Me"};
    for (std::string_view h : hidden)
        if (category == h) return true;
    return false;
}

bool needs_escape(PyObject* unicodedata, Py_UCS4 ch) {
    if (ch < 0x20 || ch == 0x7F) return true;
    if (ch < 0x7F) return false;
    if (is_other_grapheme_extend(ch)) return true;
    if (!unicodedata) return !Py_UNICODE_ISPRINTABLE(ch);
    Ref character = checked(PyUnicode_FromOrdinal(static_cast<int>(ch)));
    Ref category = call_method(unicodedata, "category", character.get());
    return hidden_category(utf8(category.get()));
}

template <class Int>
std::string bracketed_list(std::span<const Int> items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(items[i]);
    }
    return out + "]";
}

}  // namespace

std::string debug_string(PyObject* text) {
    // Only non-ASCII text needs the category table; it is an error path.
    Ref unicodedata;
    if (PyUnicode_MAX_CHAR_VALUE(text) > 0x7F) {
        unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
        if (!unicodedata) PyErr_Clear();
    }
    std::string out = "\"";
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
        switch (ch) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (needs_escape(unicodedata.get(), ch)) {
                    char hex[16];
                    auto end = std::to_chars(hex, hex + sizeof hex, ch, 16).ptr;
                    out += "\\u{";
                    out.append(hex, end);
                    out += '}';
                } else {
                    append_utf8(out, ch);
                }
        }
    }
    return out + "\"";
}

std::string bracketed(std::span<const std::size_t> items) { return bracketed_list(items); }
std::string bracketed(std::span<const std::int64_t> items) { return bracketed_list(items); }

std::string format_float(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; they are
    // then written out positionally, padded with zeros (1e20 is a 1 and
    // twenty zeros, not the float's exact value 100000002004087734272).
    char buffer[64];
    const char* end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    std::string out = value < 0 || (value == 0 && std::signbit(value)) ? "-" : "";
    std::string digits;
    for (char ch : text.substr(0, e))
        if (ch >= '0' && ch <= '9') digits += ch;
    int exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    // digits d0 d1 d2 ... mean d0.d1d2... x 10^exponent.
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string type_name(PyObject* object) {
    Ref name = checked(PyType_GetQualName(Py_TYPE(object)));
    return std::string(utf8(name.get()));
}

void raise_type_not_instance(PyObject* object, std::string_view expected) {
    std::string message = "'";
    message += type_name(object);
    message += "' object is not an instance of '";
    message += expected;
    message += '\'';
    raise(PyExc_TypeError, message);
}

void raise_not_instance(PyObject* object, std::string_view expected) {
    if (object != Py_None) raise_type_not_instance(object, expected);
    std::string message = "'None' is not an instance of '";
    message += expected;
    message += '\'';
    raise(PyExc_TypeError, message);
}

}  // namespace grainel
