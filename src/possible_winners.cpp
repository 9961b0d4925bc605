#include "possible_winners.h"

#include <algorithm>

namespace grainel {

// Why leaving a colour out is safe.
//
// A query is a float triple x; the search computes its squared distance to
// colour c as f(x, c) = fl(fl(fl(dr*dr) + fl(dg*dg)) + fl(db*db)), with
// dr = fl(x_r - c_r) and so on, and takes the first colour of smallest f.
// With u = 2^-24, each difference carries a relative error of at most u,
// its square u more (twice over, squared), and each sum u; every term is
// non-negative, so f(x, c) lies within a factor (1 +- 6u) of the exact
// squared distance d(x, c), apart from underflow, which moves it by less
// than a = 1e-37 even with denormals flushed to zero.
//
// So colour j can never win in a box, not even a tie, if some colour i has
// d(x, i) (1 + 6u) + 2a < d(x, j) (1 - 6u) at every point x of it: there
// f(x, i) < f(x, j). Now d(x, i) - d(x, j) is the sum over channels of
// (c_j - c_i) (2 x - c_i - c_j), linear in each channel, so its largest
// value W over the box is taken at a corner, chosen channel by channel.
// With F_i and F_j the farthest squared distances of i and j from the box,
// W < -(r (F_i + F_j) + 1e-30) with r = 1e-5 (some 28 times 6u) implies the
// condition above, with room for the errors of the doubles it is computed
// in, which are near 1e-16 of the magnitudes involved. Then i outranks j
// and j is left out. Which colours are tried as i only decides how many
// are left out, never which answer a query gets.
//
// A colour that wins for some query in the box is never left out, and the
// list keeps palette order, so a scan of it that keeps the first of equally
// near colours finds the colour a scan of the whole palette finds.

namespace {

constexpr double relative_margin = 1e-5;
constexpr double absolute_margin = 1e-30;

}  // namespace

WinnerFilter::WinnerFilter(const float* const channel[3], std::size_t count)
    : channel_{channel[0], channel[1], channel[2]},
      value_{std::vector<double>(count), std::vector<double>(count), std::vector<double>(count)},
      reach_(count),
      centre_distance_(count),
      position_(count),
      order_(count),
      kept_(count),
      is_kept_(count) {}

namespace {

// The largest value over the box of d(x, i) - d(x, j), for colours i and j
// given by their values.
double worst_difference(const Box& box, const double i[3], const double j[3]) {
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
        const double delta = j[c] - i[c];
        worst += std::max(delta * (2 * box.hi[c] - i[c] - j[c]), delta * (2 * box.lo[c] - i[c] - j[c]));
    }
    return worst;
}

bool outranks(const Box& box, const double i[3], double reach_i, const double j[3], double reach_j) {
    return worst_difference(box, i, j) < -(relative_margin * (reach_i + reach_j) + absolute_margin);
}

}  // namespace

std::size_t WinnerFilter::filter(const Box& box, const std::uint16_t* from, std::size_t count,
                                 std::uint16_t* kept) {
    // Each colour's values, farthest squared distance to the box and
    // squared distance to its centre. A few colours are tried first against
    // all the others: the one whose farthest point of the box is nearest,
    // and the five nearest the centre, the likeliest to outrank the rest.
    constexpr std::size_t seed_count = 6;
    std::size_t seed[seed_count] = {};  // the least reaching, then the nearest in order
    std::size_t nearest = 0;
    double centre[3];
    for (int c = 0; c < 3; ++c) centre[c] = 0.5 * (box.lo[c] + box.hi[c]);
    for (std::size_t k = 0; k < count; ++k) {
        double reach = 0, distance = 0;
        for (int c = 0; c < 3; ++c) {
            const double v = channel_[c][from[k]];
            const double r = std::max(v - box.lo[c], box.hi[c] - v);
            value_[c][k] = v;
            reach += r * r;
            distance += (v - centre[c]) * (v - centre[c]);
        }
        reach_[k] = reach;
        centre_distance_[k] = distance;
        position_[k] = from[k];
        if (reach < reach_[seed[0]]) seed[0] = k;
        if (nearest == seed_count - 1 && distance >= centre_distance_[seed[nearest]]) continue;
        std::size_t at = nearest < seed_count - 1 ? ++nearest : nearest;
        for (; at > 1 && centre_distance_[seed[at - 1]] > distance; --at) seed[at] = seed[at - 1];
        seed[at] = k;
    }

    // The seeds against every colour; the arrays are compacted in place, so
    // the seeds are copied out first.
    double seed_value[seed_count][3], seed_reach[seed_count];
    for (std::size_t s = 0; s <= nearest; ++s) {
        for (int c = 0; c < 3; ++c) seed_value[s][c] = value_[c][seed[s]];
        seed_reach[s] = reach_[seed[s]];
    }
    std::size_t left = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double j[3] = {value_[0][k], value_[1][k], value_[2][k]};
        bool outranked = false;
        for (std::size_t s = 0; s <= nearest && !outranked; ++s)
            outranked = outranks(box, seed_value[s], seed_reach[s], j, reach_[k]);
        for (int c = 0; c < 3; ++c) value_[c][left] = j[c];
        reach_[left] = reach_[k];
        centre_distance_[left] = centre_distance_[k];
        position_[left] = position_[k];
        left += !outranked;
    }

    // Then what is left, nearest the centre first: each is kept unless one
    // of the first colours kept outranks it. (Trying only the first few
    // bounds the cost for large boxes, where many colours can win; a colour
    // kept needlessly costs time, not exactness.)
    constexpr std::size_t tried_at_most = 24;
    for (std::size_t k = 0; k < left; ++k) order_[k] = static_cast<std::uint32_t>(k);
    std::sort(order_.begin(), order_.begin() + left, [&](std::uint32_t a, std::uint32_t b) {
        return centre_distance_[a] < centre_distance_[b];
    });
    std::size_t count_kept = 0;
    for (std::size_t n = 0; n < left; ++n) {
        const std::uint32_t k = order_[n];
        const double j[3] = {value_[0][k], value_[1][k], value_[2][k]};
        bool outranked = false;
        for (std::size_t m = 0; m < std::min(count_kept, tried_at_most) && !outranked; ++m) {
            const std::uint32_t i = kept_[m];
            const double values[3] = {value_[0][i], value_[1][i], value_[2][i]};
            outranked = outranks(box, values, reach_[i], j, reach_[k]);
        }
        is_kept_[k] = !outranked;
        if (!outranked) kept_[count_kept++] = k;
    }
    // Back in the order given.
    for (std::size_t k = 0, n = 0; k < left; ++k)
        if (is_kept_[k]) kept[n++] = position_[k];
    return count_kept;
}

}  // namespace grainel
