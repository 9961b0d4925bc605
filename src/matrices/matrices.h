// Threshold matrices for ordered dither: the tile of per-position
// thresholds in [0, 1) that is repeated over the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace grainel {

struct ThresholdMatrix;

// A constructor's outcome: the matrix, or the message of a bad value.
using MatrixOrError = std::variant<ThresholdMatrix, std::string>;

struct ThresholdMatrix {
    std::vector<float> thresholds;  // row-major, height x width
    std::size_t width;
    std::size_t height;

    // The recursive Bayer matrix of side n (2, 4, 8 or 16).
    static ThresholdMatrix bayer(unsigned n);
    // Rank indices, spread over max(largest + 1, count of positions) steps.
    static MatrixOrError from_indices(std::size_t height, std::size_t width,
                                      std::span<const std::int64_t> indices);
    // Thresholds in [0, 1]; 1 becomes the largest float below 1.
    static MatrixOrError from_thresholds(std::size_t height, std::size_t width,
                                         std::span<const double> thresholds);
};

}  // namespace grainel
