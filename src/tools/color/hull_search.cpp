#include "tools/color/hull_search.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "tools/color/oklab_matrices.h"
#include "tools/threads/on_threads.h"

namespace grainel {
namespace {

using oklab::to_lab;
using oklab::to_lms;
// Gauss-Newton steps per face: the search has settled well below a byte.
constexpr int rounds = 4;

struct Vec {
    double x[3];
};

Vec mul(const double (&m)[3][3], const Vec& v) {
    Vec out;
    for (int r = 0; r < 3; ++r) out.x[r] = v.x[0] * m[r][0] + v.x[1] * m[r][1] + v.x[2] * m[r][2];
    return out;
}

double dot(const Vec& a, const Vec& b) { return a.x[0] * b.x[0] + a.x[1] * b.x[1] + a.x[2] * b.x[2]; }

// Cube roots by Newton's method from the exponent's third, so that no
// library's cbrt decides the last bit.
double cube_root(double x) {
    const double floor = x > 1e-30 ? x : 1e-30;
    std::int64_t bits;
    std::memcpy(&bits, &floor, sizeof bits);
    constexpr std::int64_t one = std::int64_t{1023} << 52;
    const std::int64_t offset = bits - one;
    // Rounded down, as an integer division of a negative offset must be here.
    const std::int64_t third = offset >= 0 ? offset / 3 : -((-offset + 2) / 3);
    const std::int64_t guess = third + one;
    double y;
    std::memcpy(&y, &guess, sizeof y);
    for (int i = 0; i < 6; ++i) y = y - (y * y * y - x) / (3.0 * y * y);
    return y;
}

Vec lab_of(const Vec& linear) {
    Vec lms = mul(to_lms, linear);
    for (double& c : lms.x) c = cube_root(c > 0.0 ? c : 0.0);
    return mul(to_lab, lms);
}

double clip01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

// The (u, v) in the triangle u, v >= 0, u + v <= 1 that makes
// miss + du (u' - u) + dv (v' - v) shortest.
void step_in_face(const Vec& miss, const Vec& du, const Vec& dv, double& u, double& v) {
    const double uu = dot(du, du), uv = dot(du, dv), vv = dot(dv, dv);
    const double mu = dot(du, miss), mv = dot(dv, miss);
    const double det_raw = uu * vv - uv * uv;
    const double det = det_raw > 1e-30 ? det_raw : 1e-30;
    Vec edge, from_corner;
    for (int c = 0; c < 3; ++c) {
        edge.x[c] = du.x[c] - dv.x[c];
        from_corner.x[c] = miss.x[c] - du.x[c] * u + dv.x[c] * (1.0 - v);
    }
    const double edge_length = dot(edge, edge);
    const double along_edge = clip01(-dot(from_corner, edge) / (edge_length > 1e-30 ? edge_length : 1e-30));
    const double candidates[4][2] = {
        {u - (vv * mu - uv * mv) / det, v - (uu * mv - uv * mu) / det},  // the plane's best
        {0.0, clip01(v - (mv - uv * u) / (vv > 1e-30 ? vv : 1e-30))},    // on u = 0
        {clip01(u - (mu - uv * v) / (uu > 1e-30 ? uu : 1e-30)), 0.0},    // on v = 0
        {along_edge, 1.0 - along_edge},                                  // on u + v = 1
    };
    double best = std::numeric_limits<double>::infinity(), best_u = u, best_v = v;
    for (const auto& [cu, cv] : candidates) {
        if (!(cu >= 0.0 && cv >= 0.0 && cu + cv <= 1.0)) continue;
        Vec left;
        for (int c = 0; c < 3; ++c) left.x[c] = miss.x[c] + du.x[c] * (cu - u) + dv.x[c] * (cv - v);
        const double length = dot(left, left);
        if (length < best) best = length, best_u = cu, best_v = cv;
    }
    u = best_u;
    v = best_v;
}

// The nearest point of one face to the colour whose OKLab is `goal`.
Vec nearest_on_face(const Vec& goal, const double* face) {
    Vec first, along_u, along_v;
    for (int c = 0; c < 3; ++c) {
        first.x[c] = face[c];
        along_u.x[c] = face[3 + c] - face[c];
        along_v.x[c] = face[6 + c] - face[c];
    }
    auto at = [&](double u, double v) {
        Vec p;
        for (int c = 0; c < 3; ++c) p.x[c] = first.x[c] + along_u.x[c] * u + along_v.x[c] * v;
        return p;
    };
    double u = 1.0 / 3.0, v = 1.0 / 3.0;
    for (int round = 0; round < rounds; ++round) {
        Vec roots = mul(to_lms, at(u, v));
        for (double& r : roots.x) r = cube_root(r > 1e-12 ? r : 1e-12);
        Vec miss = mul(to_lab, roots);
        for (int c = 0; c < 3; ++c) miss.x[c] -= goal.x[c];
        // OKLab's change along u and v: the cube roots' slopes 1 / (3 root^2) between the matrices.
        Vec lms_u = mul(to_lms, along_u), lms_v = mul(to_lms, along_v);
        for (int c = 0; c < 3; ++c) {
            const double slope = 1.0 / (3.0 * roots.x[c] * roots.x[c]);
            lms_u.x[c] *= slope;
            lms_v.x[c] *= slope;
        }
        step_in_face(miss, mul(to_lab, lms_u), mul(to_lab, lms_v), u, v);
    }
    return at(u, v);
}

}  // namespace

void nearest_on_faces(const double* colors, std::size_t count, const double* faces, std::size_t face_count,
                      const std::int64_t* only, double* found, std::int64_t* which, std::size_t threads) {
    constexpr std::size_t part = 1024;
    std::atomic<std::size_t> next{0};
    run_on_threads(threads, [&] {
        for (std::size_t start; (start = next.fetch_add(part, std::memory_order_relaxed)) < count;) {
            for (std::size_t i = start; i < std::min(count, start + part); ++i) {
                const Vec goal = lab_of(Vec{{colors[3 * i], colors[3 * i + 1], colors[3 * i + 2]}});
                const std::size_t from = only ? static_cast<std::size_t>(only[i]) : 0;
                const std::size_t to = only ? from + 1 : face_count;
                double best = std::numeric_limits<double>::infinity();
                for (std::size_t f = from; f < to; ++f) {
                    const Vec point = nearest_on_face(goal, faces + 9 * f);
                    const Vec lab = lab_of(point);
                    Vec miss;
                    for (int c = 0; c < 3; ++c) miss.x[c] = lab.x[c] - goal.x[c];
                    const double distance = dot(miss, miss);
                    if (distance < best) {
                        best = distance;
                        std::memcpy(found + 3 * i, point.x, sizeof point.x);
                        which[i] = static_cast<std::int64_t>(f);
                    }
                }
            }
        }
    });
}

}  // namespace grainel
