// The working space (byte -> 32-bit working value on the 0..255 scale) and
// the evenly spaced gray levels expressed in it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace grainel {

// Index of the level nearest to working value v: v * inv_step rounded half
// away from zero (the one rounding rule of every engine), clamped to
// 0 .. max_index. Rounded by truncation and the exact remainder, in
// integers and without branches: roundf is a library call on baseline x86,
// and this sits in every pixel loop.
inline std::uint32_t level_index(float v, float inv_step, float max_index) {
    // Limiting t first changes no result (anything beyond the ends clamps to
    // an end either way) and keeps it in int range.
    const float t = std::clamp(v * inv_step, -1.0f, max_index + 1.0f);
    const auto whole = static_cast<std::int32_t>(t);  // toward zero
    const float rest = t - static_cast<float>(whole);  // exact
    const std::int32_t k = whole + (rest >= 0.5f) - (rest <= -0.5f);
    return static_cast<std::uint32_t>(std::clamp(k, 0, static_cast<std::int32_t>(max_index)));
}

struct Space {
    explicit Space(bool linear);

    // decode[b] is the working value of byte b: b itself, or linear light x 255.
    std::array<float, 256> decode;
    bool linear;
};

struct Levels {
    Levels(std::uint32_t count, const Space& space);

    std::vector<std::uint8_t> bytes;  // output byte of each level
    std::vector<float> values;        // what each output byte decodes to
    float step;                       // 255 / (count - 1)
    float inv_step;
    float max_index;                  // count - 1

    std::uint32_t nearest(float v) const { return level_index(v, inv_step, max_index); }
};

}  // namespace grainel
