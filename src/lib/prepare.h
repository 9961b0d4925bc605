// Job preparation: the shared options validated in their fixed order, the
// palette parsed, the image taken in, and the quantisation target built.
#pragma once

#include "lib/image.h"
#include "palette/palette.h"
#include "python/py.h"
#include "space/space.h"

#include <cstdint>
#include <variant>
#include <vector>

namespace grainel {

using Target = std::variant<Levels, Palette>;

struct Job {
    Img img;
    Target target;
    Space space;
    float strength;
};

// `palette` is null when the caller gave none.
Job prepare(PyObject* image, std::uint32_t levels, PyObject* palette, bool linear,
            bool preserve_alpha, float strength);

// The palette argument as a list of 2 to 4096 colours.
std::vector<Rgb> parse_palette(PyObject* palette);

}  // namespace grainel
