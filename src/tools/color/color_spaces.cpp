#include "tools/color/color_spaces.h"

#include <algorithm>
#include <cmath>

#include "space/srgb_curve.h"

namespace grainel {
namespace {

// Linear sRGB to the cone responses, and their cube roots to OKLab.
constexpr double to_lms[3][3] = {{0.4122214708, 0.5363325363, 0.0514459929},
                                 {0.2119034982, 0.6806995451, 0.1073969566},
                                 {0.0883024619, 0.2817188376, 0.6299787005}};
constexpr double to_lab[3][3] = {{0.2104542553, 0.7936177850, -0.0040720468},
                                 {1.9779984951, -2.4285922050, 0.4505937099},
                                 {0.0259040371, 0.7827717662, -0.8086757660}};
// Their inverses.
constexpr double from_lab[3][3] = {{1.0, 0.3963377774, 0.2158037573},
                                   {1.0, -0.1055613458, -0.0638541728},
                                   {1.0, -0.0894841775, -1.2914855480}};
constexpr double from_lms[3][3] = {{4.0767416621, -3.3077115913, 0.2309699292},
                                   {-1.2684380046, 2.6097574011, -0.3413193965},
                                   {-0.0041960863, -0.7034186147, 1.7076147010}};

std::array<double, 3> times(const double (&m)[3][3], const std::array<double, 3>& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

}  // namespace

const std::array<float, 256>& linear_of_byte() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int b = 0; b < 256; ++b) t[b] = static_cast<float>(linear_of_srgb(b / 255.0));
        return t;
    }();
    return table;
}

SrgbEncoder::SrgbEncoder() {
    auto coded = [](int i) { return static_cast<float>(255.0 * srgb_of_linear(static_cast<double>(i) / steps)); };
    float previous = coded(0);
    for (int i = 0; i < steps; ++i) {
        const float next = coded(i + 1);
        ends_[2 * i] = previous;
        ends_[2 * i + 1] = next;
        previous = next;
    }
}

std::array<float, 3> oklab_of_linear(const std::array<float, 3>& rgb) {
    std::array<double, 3> lms = times(to_lms, {rgb[0], rgb[1], rgb[2]});
    for (double& c : lms) c = std::cbrt(c);
    const std::array<double, 3> lab = times(to_lab, lms);
    return {static_cast<float>(lab[0]), static_cast<float>(lab[1]), static_cast<float>(lab[2])};
}

std::array<float, 3> linear_of_oklab(const std::array<float, 3>& lab) {
    std::array<double, 3> lms = times(from_lab, {lab[0], lab[1], lab[2]});
    for (double& c : lms) c = c * c * c;
    const std::array<double, 3> rgb = times(from_lms, lms);
    return {static_cast<float>(rgb[0]), static_cast<float>(rgb[1]), static_cast<float>(rgb[2])};
}

std::uint8_t byte_of_linear(float v) {
    const double e = srgb_of_linear(std::clamp(static_cast<double>(v), 0.0, 1.0));
    return static_cast<std::uint8_t>(std::lround(255.0 * e));
}

}  // namespace grainel
