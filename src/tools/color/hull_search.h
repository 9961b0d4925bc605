// The nearest colour in OKLab on a hull's triangular faces, in linear
// light: where a colour a palette cannot mix moves to. Double precision,
// with only sums, products and quotients in a fixed order, so that every
// machine finds the same point.
#pragma once

#include <cstddef>
#include <cstdint>

namespace grainel {

// For each of `count` colours (3 doubles each), the nearest point in OKLab
// on any of `face_count` triangles of `faces` (9 doubles each: three
// corners), written to `found` (3 doubles each), and which face holds it to
// `which` (the first of equal ones); with `only`, on face only[i] alone,
// each below face_count. On each face, Gauss-Newton steps in its two
// barycentric coordinates walk from its centre; each is the exact
// least-squares step of the linearised problem within the triangle (inside
// it, or on the best of its edges). The colours are shared out between
// `threads` threads; the result is the same for any number.
void nearest_on_faces(const double* colors, std::size_t count, const double* faces, std::size_t face_count,
                      const std::int64_t* only, double* found, std::int64_t* which, std::size_t threads);

}  // namespace grainel
