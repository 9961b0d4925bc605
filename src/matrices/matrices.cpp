#include "matrices/matrices.h"

#include <algorithm>

namespace grainel {
namespace {

// 1 - 2^-23: every threshold stays strictly below 1, as Bayer's do, so
// t - 0.5 never reaches a whole half step.
constexpr float below_one = 0.99999988f;

}  // namespace

ThresholdMatrix ThresholdMatrix::bayer(unsigned n) {
    const unsigned bits = static_cast<unsigned>(__builtin_ctz(n));
    ThresholdMatrix m{std::vector<float>(n * n), n, n};
    for (unsigned y = 0; y < n; ++y) {
        for (unsigned x = 0; x < n; ++x) {
            // Bit pairs from the least significant bit of x and y upwards,
            // so the pair from bit 0 ends up most significant.
            unsigned index = 0;
            for (unsigned i = 0; i < bits; ++i)
                index = 4 * index + 2 * (((x ^ y) >> i) & 1) + ((y >> i) & 1);
            m.thresholds[y * n + x] = (static_cast<float>(index) + 0.5f) /
                                      static_cast<float>(n * n);
        }
    }
    return m;
}

MatrixOrError ThresholdMatrix::from_indices(std::size_t height, std::size_t width,
                                            std::span<const std::int64_t> indices) {
    const auto [smallest, largest] = std::minmax_element(indices.begin(), indices.end());
    if (*smallest < 0)
        return "integer matrix values must be >= 0, got " + std::to_string(*smallest) +
               " (note: unsigned 64-bit values above 2^63 overflow to negative)";
    if (*largest > 16777215)
        return "integer matrix values must be below 2^24, got " + std::to_string(*largest);
    const auto steps = std::max<std::size_t>(static_cast<std::size_t>(*largest) + 1,
                                             height * width);
    const float divisor = static_cast<float>(steps);
    ThresholdMatrix m{std::vector<float>(indices.size()), width, height};
    // (index + 0.5) / divisor is below 1, but near 2^24 the sum rounds up
    // to the divisor itself; a threshold of 1 would turn black into white,
    // so it is held below 1 like every other kind of threshold.
    for (std::size_t i = 0; i < indices.size(); ++i)
        m.thresholds[i] = std::min((static_cast<float>(indices[i]) + 0.5f) / divisor, below_one);
    return m;
}

MatrixOrError ThresholdMatrix::from_thresholds(std::size_t height, std::size_t width,
                                               std::span<const double> thresholds) {
    ThresholdMatrix m{std::vector<float>(thresholds.size()), width, height};
    for (std::size_t i = 0; i < thresholds.size(); ++i) {
        const double v = thresholds[i];
        if (!(v >= 0.0 && v <= 1.0)) return std::string("float matrix thresholds must be in [0, 1]");
        m.thresholds[i] = std::min(static_cast<float>(v), below_one);
    }
    return m;
}

}  // namespace grainel
