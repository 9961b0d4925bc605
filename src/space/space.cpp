#include "space/space.h"

#include <algorithm>
#include <cmath>

#include "space/srgb_curve.h"

namespace grainel {

Space::Space(bool linear) : linear(linear) {
    for (int b = 0; b < 256; ++b) {
        const float v = static_cast<float>(b) / 255.0f;
        decode[b] = linear ? linear_of_srgb(v) * 255.0f : static_cast<float>(b);
    }
}

Levels::Levels(std::uint32_t count, const Space& space)
    : bytes(count), values(count) {
    step = 255.0f / static_cast<float>(count - 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        float x = std::min(step * static_cast<float>(i), 255.0f);
        float y = x;
        if (space.linear) y = srgb_of_linear(x / 255.0f) * 255.0f;
        // std::round takes halves away from zero.
        float rounded = std::clamp(std::round(y), 0.0f, 255.0f);
        bytes[i] = static_cast<std::uint8_t>(rounded);
        values[i] = space.decode[bytes[i]];
    }
    inv_step = 1.0f / step;
    max_index = static_cast<float>(count - 1);
}

}  // namespace grainel
