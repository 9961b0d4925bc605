#include "tools/fit/kmeans.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "tools/threads/on_threads.h"

namespace grainel {
namespace {

constexpr float far_away = std::numeric_limits<float>::infinity();

// How many neighbours each centre lists, nearest first: a search seldom
// needs more than a handful, and one that runs past them scans every centre.
constexpr std::size_t listed_neighbours = 32;

// Points a thread takes at a time: enough that taking them costs nothing
// beside searching them, few enough that the threads finish together.
constexpr std::size_t points_per_part = 4096;

float squared_distance(const Lab& p, const Lab& c) {
    const float d0 = p[0] - c[0], d1 = p[1] - c[1], d2 = p[2] - c[2];
    return (d0 * d0 + d1 * d1) + d2 * d2;
}

double distance(const Centre& a, const Centre& b) {
    const double d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

// Each centre's nearest other centres, nearest first. A point at distance
// u from centre a is at least D - u from a centre D away from a, so a
// search from a walks a's list only until D - u reaches the second-nearest
// distance found: nothing further on can come nearer.
class Neighbours {
public:
    explicit Neighbours(std::size_t count)
        : count_(count), listed_(std::min(count - 1, listed_neighbours)), lists_(count * listed_),
          places_(count) {}

    // The distance from p to centre j, as the search measures it.
    float distance(const Lab& p, std::size_t j) const { return std::sqrt(squared_distance(p, places_[j])); }

    void set(const std::vector<Centre>& centres, std::size_t threads) {
        for (std::size_t j = 0; j < count_; ++j)
            places_[j] = {static_cast<float>(centres[j][0]), static_cast<float>(centres[j][1]),
                          static_cast<float>(centres[j][2])};
        share_parts(threads, count_, centres_per_part, [&](std::size_t from, std::size_t to) {
            std::vector<Entry> entries(count_);
            for (std::size_t a = from; a < to; ++a) {
                // Squared distances sort as distances do; only the listed few
                // need their roots.
                for (std::size_t j = 0; j < count_; ++j)
                    entries[j] = Entry{j == a ? far_away : squared_distance(places_[a], places_[j]),
                                       static_cast<std::uint32_t>(j)};
                const auto end = entries.begin() + static_cast<std::ptrdiff_t>(listed_);
                std::nth_element(entries.begin(), end - 1, entries.end(), before);
                std::sort(entries.begin(), end, before);
                Entry* list = lists_.data() + a * listed_;
                for (std::size_t i = 0; i < listed_; ++i)
                    list[i] = {std::sqrt(entries[i].distance), entries[i].index};
            }
        });
    }

    // Half the distance from centre a to its nearest other: a point nearer
    // than that to a has no nearer centre.
    float half_gap(std::size_t a) const { return listed_ ? lists_[a * listed_].distance / 2 : far_away; }

    // How far a's last listed neighbour is: every centre a does not list is
    // at least that far from a (no farther than any, when a lists them all).
    float reach(std::size_t a) const {
        return listed_ == count_ - 1 ? far_away : lists_[a * listed_ + listed_ - 1].distance;
    }

    // The most any centre a lists has moved, for each a.
    void most_moved_near(const std::vector<float>& moved, std::vector<float>& most) const {
        for (std::size_t a = 0; a < count_; ++a) {
            float m = 0.0f;
            for (std::size_t i = 0; i < listed_; ++i) m = std::max(m, moved[lists_[a * listed_ + i].index]);
            most[a] = m;
        }
    }

    struct Nearest {
        std::uint32_t index;
        float distance, runner_up;
    };

    // The nearest centre to p (the first of equals) and the distances to it
    // and to the next nearest, given that centre a is `from_a` away.
    Nearest search(const Lab& p, std::uint32_t a, float from_a) const {
        Nearest found{a, from_a, far_away};
        const Entry* list = lists_.data() + a * listed_;
        for (std::size_t i = 0; i < listed_; ++i) {
            if (list[i].distance - from_a >= found.runner_up) return found;
            consider(found, list[i].index, distance(p, list[i].index));
        }
        if (listed_ == count_ - 1) return found;
        found = Nearest{a, from_a, far_away};
        for (std::size_t j = 0; j < count_; ++j)
            if (j != a) consider(found, static_cast<std::uint32_t>(j), distance(p, j));
        return found;
    }

private:
    static constexpr std::size_t centres_per_part = 32;
    struct Entry {
        float distance;
        std::uint32_t index;
    };
    static bool before(const Entry& x, const Entry& y) {
        return x.distance < y.distance || (x.distance == y.distance && x.index < y.index);
    }
    static void consider(Nearest& found, std::uint32_t j, float d) {
        if (d < found.distance || (d == found.distance && j < found.index)) {
            found.runner_up = found.distance;
            found.distance = d;
            found.index = j;
        } else if (d < found.runner_up) {
            found.runner_up = d;
        }
    }

    std::size_t count_, listed_;
    std::vector<Entry> lists_;
    std::vector<Lab> places_;  // the centres in float
};

}  // namespace

KMeansResult weighted_kmeans(const std::vector<Lab>& points, const std::vector<double>& weights,
                             std::vector<Centre>& centres, std::size_t fixed, std::vector<std::uint32_t> start,
                             std::size_t max_iterations, std::size_t threads) {
    const std::size_t n = points.size(), k = centres.size();
    KMeansResult result{std::move(start), 0};
    std::vector<std::uint32_t>& nearest = result.nearest;
    Neighbours neighbours(k);
    neighbours.set(centres, threads);
    // Bounds: upper[i] at least the distance from point i to its centre,
    // lower[i] at most its distance to any other centre. Each point's
    // search depends only on the centres, so the points are shared out.
    std::vector<float> upper(n), lower(n);
    share_parts(threads, n, points_per_part, [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const auto found =
                neighbours.search(points[i], nearest[i], neighbours.distance(points[i], nearest[i]));
            nearest[i] = found.index;
            upper[i] = found.distance;
            lower[i] = found.runner_up;
        }
    });

    std::vector<double> totals(k);
    std::vector<Centre> sums(k);
    std::vector<float> moved(k), moved_near(k);
    while (true) {
        // Each movable centre to the weighted mean of its points, summed in
        // point order.
        std::fill(totals.begin(), totals.end(), 0.0);
        std::fill(sums.begin(), sums.end(), Centre{});
        for (std::size_t i = 0; i < n; ++i) {
            const double w = weights[i];
            totals[nearest[i]] += w;
            for (int c = 0; c < 3; ++c) sums[nearest[i]][c] += w * points[i][c];
        }
        float most = 0.0f, next_most = 0.0f;
        std::size_t farthest = k;
        for (std::size_t j = fixed; j < k; ++j) {
            moved[j] = 0.0f;
            if (!(totals[j] > 0.0)) continue;
            const Centre mean{sums[j][0] / totals[j], sums[j][1] / totals[j], sums[j][2] / totals[j]};
            moved[j] = static_cast<float>(distance(mean, centres[j]));
            centres[j] = mean;
            if (moved[j] > most) next_most = most, most = moved[j], farthest = j;
            else if (moved[j] > next_most) next_most = moved[j];
        }
        ++result.iterations;
        if (result.iterations >= max_iterations || most == 0.0f) break;
        neighbours.set(centres, threads);
        neighbours.most_moved_near(moved, moved_near);

        std::atomic<std::size_t> changed{0};
        share_parts(threads, n, points_per_part, [&](std::size_t from, std::size_t to) {
            std::size_t changed_here = 0;
            for (std::size_t i = from; i < to; ++i) {
                const std::uint32_t a = nearest[i];
                // No other centre came nearer than the most any moved. Nor did
                // one a lists by more than the most those moved, while one a
                // does not list is at least reach(a) from a, so at least
                // reach(a) - upper[i] from the point: where centres far off
                // moved most, that bound is the closer.
                upper[i] += moved[a];
                lower[i] = std::max(lower[i] - (a == farthest ? next_most : most),
                                    std::min(lower[i] - moved_near[a], neighbours.reach(a) - upper[i]));
                const float bound = std::max(neighbours.half_gap(a), lower[i]);
                if (upper[i] <= bound) continue;
                upper[i] = neighbours.distance(points[i], a);
                if (upper[i] <= bound) continue;
                const auto found = neighbours.search(points[i], a, upper[i]);
                if (found.index != a) ++changed_here;
                nearest[i] = found.index;
                upper[i] = found.distance;
                lower[i] = found.runner_up;
            }
            changed.fetch_add(changed_here, std::memory_order_relaxed);
        });
        if (changed.load(std::memory_order_relaxed) == 0) break;
    }
    return result;
}

}  // namespace grainel
