#include "tools/color/color_spaces.h"

#include <algorithm>
#include <cmath>

#include "space/srgb_curve.h"
#include "tools/color/oklab_matrices.h"

namespace grainel {
namespace {

using oklab::from_lab;
using oklab::from_lms;
using oklab::to_lab;
using oklab::to_lms;

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
