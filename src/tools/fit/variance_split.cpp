#include "tools/fit/variance_split.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace grainel {
namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

// Cuts are searched among this many even steps along a cluster's axis
// rather than between every two of its points: as good a start for
// k-means, without sorting the points at every cut.
constexpr std::size_t steps = 1024;

double squared(const Centre& d) { return d[0] * d[0] + d[1] * d[1] + d[2] * d[2]; }

// Weight, weighted sum and weighted sum of squares of offsets from a point.
struct Moments {
    double weight = 0.0;
    Centre sum{};
    double squares = 0.0;

    void add(double w, const Centre& d) {
        weight += w;
        for (int k = 0; k < 3; ++k) sum[k] += w * d[k];
        squares += w * squared(d);
    }
    Moments plus(const Moments& part) const {
        return {weight + part.weight,
                {sum[0] + part.sum[0], sum[1] + part.sum[1], sum[2] + part.sum[2]},
                squares + part.squares};
    }
    Moments minus(const Moments& part) const {
        return {weight - part.weight,
                {sum[0] - part.sum[0], sum[1] - part.sum[1], sum[2] - part.sum[2]},
                squares - part.squares};
    }
    // The weighted sum of squared distances to the points' own mean.
    double error() const { return std::max(squares - squared(sum) / weight, 0.0); }
};

struct Cluster {
    std::size_t begin, end;  // a range of places in the order points are kept in
    Centre mean;
    double error;  // weighted sum of squared distances to the mean
    bool can_split;
};

class Splitter {
public:
    Splitter(const std::vector<Lab>& points, const std::vector<double>& weights)
        : points_(points), weights_(weights), order_(points.size()) {
        for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
    }

    // The point at place i: clusters are ranges of places.
    std::uint32_t point(std::size_t i) const { return order_[i]; }

    Cluster everything() const {
        Moments m;
        for (std::size_t i = 0; i < order_.size(); ++i) m.add(weights_[i], offset(i, Centre{}));
        return child(Cluster{0, order_.size(), {}, 0.0, true}, 0, order_.size(), m);
    }

    // Cuts `c` in two, or returns false (and marks it) when all its points
    // lie at one place along its axis.
    bool split(Cluster& c, Cluster& second) {
        const Centre axis = principal_axis(covariance(c));
        const std::size_t n = c.end - c.begin;
        along_.resize(n);
        double lo = INFINITY, hi = -INFINITY;
        for (std::size_t i = 0; i < n; ++i) {
            const Centre d = offset(c.begin + i, c.mean);
            along_[i] = d[0] * axis[0] + d[1] * axis[1] + d[2] * axis[2];
            lo = std::min(lo, along_[i]);
            hi = std::max(hi, along_[i]);
        }
        if (!(hi > lo)) {
            c.can_split = false;
            return false;
        }
        // Each point's step, and each step's moments about the mean.
        const double scale = static_cast<double>(steps) / (hi - lo);
        step_of_.resize(n);
        moments_.assign(steps, Moments{});
        for (std::size_t i = 0; i < n; ++i) {
            step_of_[i] = static_cast<std::uint16_t>(std::min(static_cast<std::size_t>((along_[i] - lo) * scale),
                                                              steps - 1));
            moments_[step_of_[i]].add(weights_[order_[c.begin + i]], offset(c.begin + i, c.mean));
        }
        Moments total, left, best_left;
        for (const Moments& m : moments_) total = total.plus(m);
        double best_error = INFINITY;
        std::size_t cut = steps;
        for (std::size_t s = 0; s + 1 < steps; ++s) {
            left = left.plus(moments_[s]);
            const Moments right = total.minus(left);
            if (!(left.weight > 0.0) || !(right.weight > 0.0) || !(moments_[s].weight > 0.0)) continue;
            const double error = left.error() + right.error();
            if (error < best_error) best_error = error, cut = s, best_left = left;
        }
        // Points of steps up to the cut first, each side in its old order.
        parted_.clear();
        for (std::size_t i = 0; i < n; ++i)
            if (step_of_[i] <= cut) parted_.push_back(order_[c.begin + i]);
        const std::size_t middle = c.begin + parted_.size();
        for (std::size_t i = 0; i < n; ++i)
            if (step_of_[i] > cut) parted_.push_back(order_[c.begin + i]);
        std::copy(parted_.begin(), parted_.end(), order_.begin() + static_cast<std::ptrdiff_t>(c.begin));
        second = child(c, middle, c.end, total.minus(best_left));
        c = child(c, c.begin, middle, best_left);
        return true;
    }

private:
    // The cluster of places [begin, end) of `parent`, given its moments
    // about the parent's mean.
    static Cluster child(const Cluster& parent, std::size_t begin, std::size_t end, const Moments& m) {
        Cluster c{begin, end, parent.mean, m.error(), end - begin > 1};
        for (int k = 0; k < 3; ++k) c.mean[k] += m.sum[k] / m.weight;
        return c;
    }

    Centre offset(std::size_t i, const Centre& mean) const {
        const Lab& p = points_[order_[i]];
        return {p[0] - mean[0], p[1] - mean[1], p[2] - mean[2]};
    }

    Matrix covariance(const Cluster& c) const {
        Matrix m{};
        for (std::size_t i = c.begin; i < c.end; ++i) {
            const double w = weights_[order_[i]];
            const Centre d = offset(i, c.mean);
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k) m[r][k] += w * d[r] * d[k];
        }
        return m;
    }

    // The eigenvector of the largest eigenvalue of a covariance matrix, by
    // squaring the matrix: after eight squarings every column of M^256
    // points along it unless the two largest eigenvalues nearly tie, and
    // then any mix of their axes cuts about as well.
    static Centre principal_axis(Matrix m) {
        for (int step = 0; step < 8; ++step) {
            const double trace = m[0][0] + m[1][1] + m[2][2];
            if (!(trace > 0.0)) break;
            Matrix p{};
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k)
                    p[r][k] = (m[r][0] * m[0][k] + m[r][1] * m[1][k] + m[r][2] * m[2][k]) / (trace * trace);
            m = p;
        }
        int column = 0;
        double longest = -1.0;
        for (int k = 0; k < 3; ++k) {
            const double length = m[0][k] * m[0][k] + m[1][k] * m[1][k] + m[2][k] * m[2][k];
            if (length > longest) longest = length, column = k;
        }
        if (!(longest > 0.0)) return {1.0, 0.0, 0.0};
        const double norm = std::sqrt(longest);
        return {m[0][column] / norm, m[1][column] / norm, m[2][column] / norm};
    }

    const std::vector<Lab>& points_;
    const std::vector<double>& weights_;
    std::vector<std::uint32_t> order_;
    // Scratch space of a split.
    std::vector<double> along_;
    std::vector<std::uint16_t> step_of_;
    std::vector<Moments> moments_;
    std::vector<std::uint32_t> parted_;
};

}  // namespace

Split variance_split(const std::vector<Lab>& points, const std::vector<double>& weights, std::size_t count) {
    Splitter splitter(points, weights);
    std::vector<Cluster> clusters{splitter.everything()};
    while (clusters.size() < count) {
        // The cluster with the largest error that can still be cut; the
        // first of equals, so the result never depends on anything else.
        std::size_t worst = clusters.size();
        for (std::size_t i = 0; i < clusters.size(); ++i)
            if (clusters[i].can_split && clusters[i].error > 0.0 &&
                (worst == clusters.size() || clusters[i].error > clusters[worst].error))
                worst = i;
        if (worst == clusters.size()) break;
        Cluster second{};
        if (splitter.split(clusters[worst], second)) clusters.push_back(second);
    }
    Split split{{}, std::vector<std::uint32_t>(points.size())};
    for (const Cluster& c : clusters) {
        for (std::size_t i = c.begin; i < c.end; ++i)
            split.cluster_of[splitter.point(i)] = static_cast<std::uint32_t>(split.centres.size());
        split.centres.push_back(c.mean);
    }
    return split;
}

}  // namespace grainel
