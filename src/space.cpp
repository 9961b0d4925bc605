#include "space.h"

#include <algorithm>
#include <cmath>

namespace grainel {

Space::Space(bool linear) : linear(linear) {
    for (int b = 0; b < 256; ++b) {
        float v = static_cast<float>(b) / 255.0f;
        if (!linear)
            decode[b] = static_cast<float>(b);
        else if (v <= 0.04045f)
            decode[b] = v / 12.92f * 255.0f;
        else
            decode[b] = powf((v + 0.055f) / 1.055f, 2.4f) * 255.0f;
    }
}

Levels::Levels(std::uint32_t count, const Space& space)
    : bytes(count), values(count) {
    step = 255.0f / static_cast<float>(count - 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        float x = std::min(step * static_cast<float>(i), 255.0f);
        float y = x;
        if (space.linear) {
            float u = x / 255.0f;
            float e = u <= 0.0031308f ? u * 12.92f
                                      : powf(u, 0.41666666f) * 1.055f - 0.055f;
            y = e * 255.0f;
        }
        // std::round takes halves away from zero.
        float rounded = std::clamp(std::round(y), 0.0f, 255.0f);
        bytes[i] = static_cast<std::uint8_t>(rounded);
        values[i] = space.decode[bytes[i]];
    }
    inv_step = 1.0f / step;
    max_index = static_cast<float>(count - 1);
}

}  // namespace grainel
