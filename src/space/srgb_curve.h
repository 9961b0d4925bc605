// The sRGB transfer curve, written once for every conversion here: the
// module's working space evaluates it in 32-bit floats (powf), as its
// bytes are defined, and the palette tools in double precision (pow),
// rounding the results to float tables. Values are on the 0 to 1 scale.
#pragma once

#include <cmath>

namespace grainel {

// The light of an sRGB-coded value.
template <class T>
T linear_of_srgb(T coded) {
    return coded <= T(0.04045) ? coded / T(12.92) : std::pow((coded + T(0.055)) / T(1.055), T(2.4));
}

// The sRGB coding of light. The exponent is 1 / 2.4 rounded to T.
template <class T>
T srgb_of_linear(T light) {
    return light <= T(0.0031308) ? T(12.92) * light : T(1.055) * std::pow(light, T(1) / T(2.4)) - T(0.055);
}

}  // namespace grainel
