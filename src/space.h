// The working space (byte -> 32-bit working value on the 0..255 scale) and
// the evenly spaced gray levels expressed in it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace grainel {

// Round half away from zero, the one rounding rule of every engine. Written
// out rather than calling roundf, which is a library call on baseline x86:
// truncation and the exact remainder decide the same way.
inline float round_half_away(float x) {
    if (!(x > -8388608.0f && x < 8388608.0f)) return x;  // integral, inf or NaN
    const float whole = static_cast<float>(static_cast<std::int32_t>(x));
    const float rest = x - whole;
    return rest >= 0.5f ? whole + 1.0f : (rest <= -0.5f ? whole - 1.0f : whole);
}

// Index of the level nearest to working value v: v * inv_step rounded half
// away from zero, clamped to 0 .. max_index. Done in integers after the
// truncation, without branches, as this sits in every pixel loop.
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
