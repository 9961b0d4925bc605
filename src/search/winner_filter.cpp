#include "search/winner_filter.h"

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
      is_kept_(count) {}

namespace {

// Two doubles, the width every x86-64 build has: this file is built once,
// and emulated wider vectors measured slower than plain doubles.
using Doubles = double __attribute__((vector_size(16)));
using DoubleMask = std::int64_t __attribute__((vector_size(16)));
constexpr std::size_t lanes = sizeof(Doubles) / sizeof(double);

// Up to Chunks * lanes colours that may outrank others in one box, tried
// against a colour a vector of them at a time. Whether any of them
// outranks it does not depend on the order they are tried in, so the
// answer is the one a colour-by-colour test gives. Lanes not filled hold
// a colour whose margin is so wide that it never outranks any.
template <std::size_t Chunks>
class Rivals {
public:
    explicit Rivals(const Box& box) : box_(box) {
        for (std::size_t k = 0; k < Chunks; ++k) {
            for (int c = 0; c < 3; ++c) value_[c][k] = above_[c][k] = below_[c][k] = Doubles{};
            reach_[k] = Doubles{} + 1e300;
        }
    }

    std::size_t size() const { return size_; }

    void add(const double value[3], double reach) {
        const std::size_t k = size_ / lanes, lane = size_ % lanes;
        for (int c = 0; c < 3; ++c) {
            value_[c][k][lane] = value[c];
            above_[c][k][lane] = 2 * box_.hi[c] - value[c];
            below_[c][k][lane] = 2 * box_.lo[c] - value[c];
        }
        reach_[k][lane] = reach;
        ++size_;
    }

    // Whether one of them can never be farther than colour j anywhere in
    // the box: the largest value over the box of d(x, i) - d(x, j) is
    // taken at a corner, chosen channel by channel.
    bool outrank(const double j[3], double reach_j) const {
        for (std::size_t k = 0; k < (size_ + lanes - 1) / lanes; ++k) {
            Doubles worst = Doubles{};
            for (int c = 0; c < 3; ++c) {
                const Doubles delta = j[c] - value_[c][k];
                const Doubles at_hi = delta * (above_[c][k] - j[c]), at_lo = delta * (below_[c][k] - j[c]);
                worst += at_hi < at_lo ? at_lo : at_hi;
            }
            const DoubleMask outranks = worst < -(relative_margin * (reach_[k] + reach_j) + absolute_margin);
            if (outranks[0] | outranks[1]) return true;
        }
        return false;
    }

private:
    const Box& box_;
    std::size_t size_ = 0;
    Doubles value_[3][Chunks], above_[3][Chunks], below_[3][Chunks], reach_[Chunks];
};

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
    Rivals<(seed_count + lanes - 1) / lanes> seeds(box);
    for (std::size_t s = 0; s <= nearest; ++s) {
        const double values[3] = {value_[0][seed[s]], value_[1][seed[s]], value_[2][seed[s]]};
        seeds.add(values, reach_[seed[s]]);
    }
    std::size_t left = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double j[3] = {value_[0][k], value_[1][k], value_[2][k]};
        const bool outranked = seeds.outrank(j, reach_[k]);
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
    Rivals<tried_at_most / lanes> first_kept(box);
    std::size_t count_kept = 0;
    for (std::size_t n = 0; n < left; ++n) {
        const std::uint32_t k = order_[n];
        const double j[3] = {value_[0][k], value_[1][k], value_[2][k]};
        const bool outranked = first_kept.outrank(j, reach_[k]);
        is_kept_[k] = !outranked;
        if (outranked) continue;
        if (count_kept++ < tried_at_most) first_kept.add(j, reach_[k]);
    }
    // Back in the order given.
    for (std::size_t k = 0, n = 0; k < left; ++k)
        if (is_kept_[k]) kept[n++] = position_[k];
    return count_kept;
}

}  // namespace grainel
