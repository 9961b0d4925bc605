// OKLab's matrices (Ottosson 2020): linear sRGB to the cone responses
// (LMS), their cube roots to OKLab, and the inverses.
#pragma once

namespace grainel::oklab {

inline constexpr double to_lms[3][3] = {{0.4122214708, 0.5363325363, 0.0514459929},
                                        {0.2119034982, 0.6806995451, 0.1073969566},
                                        {0.0883024619, 0.2817188376, 0.6299787005}};
inline constexpr double to_lab[3][3] = {{0.2104542553, 0.7936177850, -0.0040720468},
                                        {1.9779984951, -2.4285922050, 0.4505937099},
                                        {0.0259040371, 0.7827717662, -0.8086757660}};
inline constexpr double from_lab[3][3] = {{1.0, 0.3963377774, 0.2158037573},
                                          {1.0, -0.1055613458, -0.0638541728},
                                          {1.0, -0.0894841775, -1.2914855480}};
inline constexpr double from_lms[3][3] = {{4.0767416621, -3.3077115913, 0.2309699292},
                                          {-1.2684380046, 2.6097574011, -0.3413193965},
                                          {-0.0041960863, -0.7034186147, 1.7076147010}};

}  // namespace grainel::oklab
