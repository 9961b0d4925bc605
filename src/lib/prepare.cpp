#include "lib/prepare.h"

#include "lib/messages.h"

#include <optional>
#include <string>

namespace grainel {
namespace {

int hex_digit(Py_UCS4 ch) {
    if (ch >= '0' && ch <= '9') return static_cast<int>(ch - '0');
    if (ch >= 'a' && ch <= 'f') return static_cast<int>(ch - 'a' + 10);
    if (ch >= 'A' && ch <= 'F') return static_cast<int>(ch - 'A' + 10);
    return -1;
}

// '#rgb' or '#rrggbb', the '#' optional.
Rgb parse_hex_color(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t start = length > 0 && PyUnicode_READ_CHAR(text, 0) == '#' ? 1 : 0;
    int digits[6];
    const Py_ssize_t count = length - start;
    bool valid = count == 3 || count == 6;
    for (Py_ssize_t i = 0; valid && i < count; ++i)
        valid = (digits[i] = hex_digit(PyUnicode_READ_CHAR(text, start + i))) >= 0;
    if (!valid)
        raise(PyExc_ValueError, "invalid hex color " + debug_string(text) +
                                    "; expected '#rgb' or '#rrggbb'");
    Rgb color;
    for (int c = 0; c < 3; ++c)
        color[c] = static_cast<std::uint8_t>(count == 3 ? digits[c] * 17
                                                        : digits[2 * c] * 16 + digits[2 * c + 1]);
    return color;
}

// Every item through the integer protocol; nullopt when that fails.
std::optional<std::vector<std::int64_t>> as_integers(PyObject* entry) {
    if (!PySequence_Check(entry)) return std::nullopt;
    const Py_ssize_t size = PySequence_Size(entry);
    if (size < 0) return std::nullopt;
    std::vector<std::int64_t> items;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(entry, i));
        if (!item) return std::nullopt;
        const long long value = PyLong_AsLongLong(item.get());
        if (value == -1 && PyErr_Occurred()) return std::nullopt;
        items.push_back(value);
    }
    return items;
}

Rgb parse_component_color(PyObject* entry) {
    const auto components = as_integers(entry);
    if (!components) {
        PyErr_Clear();
        raise(PyExc_TypeError,
              "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples");
    }
    if (components->size() != 3)
        raise(PyExc_ValueError,
              "palette color must have exactly 3 components (r, g, b), got " +
                  std::to_string(components->size()));
    Rgb color;
    for (int c = 0; c < 3; ++c) {
        const std::int64_t value = (*components)[c];
        if (value < 0 || value > 255)
            raise(PyExc_ValueError, "palette color components must be in 0..=255, got " +
                                        bracketed(std::span<const std::int64_t>(*components)));
        color[c] = static_cast<std::uint8_t>(value);
    }
    return color;
}

}  // namespace

std::vector<Rgb> parse_palette(PyObject* palette) {
    if (PyUnicode_Check(palette))
        raise(PyExc_TypeError,
              "palette must be a sequence of colors, e.g. [\"#000\", \"#fff\"] or "
              "[(0, 0, 0), (255, 255, 255)]");
    Ref iterator = checked(PyObject_GetIter(palette));
    std::vector<Rgb> colors;
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        colors.push_back(PyUnicode_Check(entry.get()) ? parse_hex_color(entry.get())
                                                      : parse_component_color(entry.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    if (colors.size() < 2) raise(PyExc_ValueError, "palette must contain at least 2 colors");
    if (colors.size() > most_colors)
        raise(PyExc_ValueError, "palette must contain at most " + std::to_string(most_colors) + " colors");
    return colors;
}

Job prepare(PyObject* image, std::uint32_t levels, PyObject* palette, bool linear,
            bool preserve_alpha, float strength) {
    if (!(strength >= 0.0f && strength <= 1.0f))
        raise(PyExc_ValueError,
              "strength must be between 0.0 and 1.0, got " + format_float(strength));
    if (levels < 2 || levels > 256)
        raise(PyExc_ValueError,
              "levels must be between 2 and 256, got " + std::to_string(levels));
    if (palette && levels != 2)
        raise(PyExc_ValueError, "pass either levels or palette, not both");
    std::vector<Rgb> colors;
    if (palette) colors = parse_palette(palette);

    Img img = extract_image(image, preserve_alpha);
    if (palette && img.channels <= 2)
        raise(PyExc_ValueError,
              "palette dithering needs an RGB or RGBA image; for grayscale use `levels`, "
              "or stack to RGB with np.dstack([img] * 3)");

    Space space(linear);
    Target target = palette ? Target(std::in_place_type<Palette>, std::move(colors), space)
                            : Target(std::in_place_type<Levels>, levels, space);
    return Job{std::move(img), std::move(target), space, strength};
}

}  // namespace grainel
