// Where a threshold engine takes each pixel's offset fraction from: the
// tiled matrix of ordered dither, or the noise stream of random dither.
#pragma once

#include <cstddef>

#include "matrices/matrices.h"
#include "ordered/threshold_dither.h"

namespace grainel {

// The matrix tiled from the image's top-left corner; the column index wraps
// instead of being divided out per pixel.
struct MatrixOffsets {
    const ThresholdMatrix& matrix;
    const float* row = nullptr;
    std::size_t column = 0;

    void start_row(std::size_t y) {
        row = matrix.thresholds.data() + (y % matrix.height) * matrix.width;
        column = 0;
    }
    float next() {
        const float d = row[column] - 0.5f;
        if (++column == matrix.width) column = 0;
        return d;
    }
};

// One draw per pixel in row-major order, shared by the pixel's channels.
struct RandomOffsets {
    NoiseStream stream;

    void start_row(std::size_t) {}
    float next() { return stream.next_offset(); }
};

}  // namespace grainel
