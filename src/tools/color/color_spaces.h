// sRGB bytes, linear light and OKLab: the spaces the palette tools measure
// colours in. Conversions are plain float arithmetic on tables built once
// from double-precision curves, so they give the same results on every
// platform and cost no library call per pixel.
#pragma once

#include <array>
#include <cstdint>

namespace grainel {

// The linear light, 0 to 1, of each sRGB byte.
const std::array<float, 256>& linear_of_byte();

// The sRGB coding of linear light on the byte scale: encoded(v) is close to
// 255 * srgb(v) for v in [0, 1] (within 0.005 of a byte), and maps the
// linear value of every byte back onto that byte's value give or take that
// much. Interpolated in a table of `steps` intervals: a multiply, a
// lookup and a blend.
class SrgbEncoder {
public:
    static constexpr int steps = 4096;
    SrgbEncoder();
    // v is clamped to [0, 1].
    [[gnu::always_inline]] float operator()(float v) const {
        const float t = (v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f) * static_cast<float>(steps);
        const int i = static_cast<int>(t) < steps ? static_cast<int>(t) : steps - 1;
        const float f = t - static_cast<float>(i);
        const float* ends = ends_.data() + 2 * i;
        return ends[0] + (ends[1] - ends[0]) * f;
    }

    // Lanes 0 to 2 of v at once, coded exactly as above, for v already in
    // [0, 1]: the caller's clamp is the only one. Lane 3 of the result is
    // left as it falls.
    using Floats4 = float __attribute__((vector_size(16)));
    [[gnu::always_inline]] Floats4 operator()(Floats4 v) const {
        using Ints4 = std::int32_t __attribute__((vector_size(16)));
        const Floats4 t = v * static_cast<float>(steps);
        Ints4 i = __builtin_convertvector(t, Ints4);
        i = i < steps ? i : steps - 1;
        const Floats4 f = t - __builtin_convertvector(i, Floats4);
        // Each lane's interval in one load: its two ends side by side.
        using Floats2 = float __attribute__((vector_size(8)));
        using Uints4 = std::uint32_t __attribute__((vector_size(16)));
        const Uints4 at = reinterpret_cast<Uints4>(i + i);
        auto ends = [&](int lane) {
            Floats2 pair;
            __builtin_memcpy(&pair, ends_.data() + at[lane], sizeof pair);
            return pair;
        };
        const Floats2 last = ends(2);
        const Floats4 first = __builtin_shufflevector(ends(0), ends(1), 0, 1, 2, 3);
        const Floats4 third = __builtin_shufflevector(last, last, 0, 1, -1, -1);
        const Floats4 lo = __builtin_shufflevector(first, third, 0, 2, 4, 4);
        const Floats4 hi = __builtin_shufflevector(first, third, 1, 3, 5, 5);
        return lo + (hi - lo) * f;
    }

private:
    // Interval i's two ends at 2i and 2i + 1: the coding of i / steps and
    // of (i + 1) / steps.
    std::array<float, 2 * steps> ends_;
};

// OKLab (Ottosson 2020) of linear-light RGB, and back. Cube roots are taken
// in double precision and rounded, so the results do not depend on the C
// library's float cbrt.
std::array<float, 3> oklab_of_linear(const std::array<float, 3>& rgb);
std::array<float, 3> linear_of_oklab(const std::array<float, 3>& lab);

// The sRGB byte nearest to linear light v (clamped to [0, 1]).
std::uint8_t byte_of_linear(float v);

}  // namespace grainel
