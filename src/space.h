// The working space (byte -> 32-bit working value on the 0..255 scale) and
// the evenly spaced gray levels expressed in it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace grainel {

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

    // Index of the level nearest to working value v: v * inv_step rounded
    // half away from zero, clamped to the levels.
    std::uint32_t nearest(float v) const;
};

// Round half away from zero, the one rounding rule of every engine.
inline float round_half_away(float x) { return __builtin_roundf(x); }

}  // namespace grainel
