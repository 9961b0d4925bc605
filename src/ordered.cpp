#include "ordered.h"

namespace grainel {
namespace {

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

template <class Offsets>
void threshold_levels(Raster& image, const Space& space, const Levels& levels,
                      float strength, Offsets offsets) {
    const float scale = strength * levels.step;
    const std::size_t channels = image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        offsets.start_row(y);
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        for (std::size_t x = 0; x < image.width; ++x, pixel += channels) {
            const float offset = scale * offsets.next();
            for (std::size_t c = 0; c < channels; ++c) {
                if (image.alpha == c) continue;
                pixel[c] = levels.bytes[levels.nearest(offset + space.decode[pixel[c]])];
            }
        }
    }
}

template <class Offsets>
void threshold_palette(Raster& image, const Space& space, const Palette& palette,
                       float strength, Offsets offsets) {
    float scale[3];
    for (int c = 0; c < 3; ++c) scale[c] = strength * palette.spacing[c];
    const std::size_t channels = image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        offsets.start_row(y);
        std::uint8_t* pixel = image.pixels + y * image.width * channels;
        for (std::size_t x = 0; x < image.width; ++x, pixel += channels) {
            const float d = offsets.next();
            float w[3];
            for (int c = 0; c < 3; ++c) w[c] = scale[c] * d + space.decode[pixel[c]];
            const Rgb& color = palette.colors[palette.nearest(w)];
            for (int c = 0; c < 3; ++c) pixel[c] = color[c];
        }
    }
}

}  // namespace

void ordered_levels(Raster& image, const Space& space, const Levels& levels,
                    float strength, const ThresholdMatrix& matrix) {
    threshold_levels(image, space, levels, strength, MatrixOffsets{matrix});
}

void ordered_palette(Raster& image, const Space& space, const Palette& palette,
                     float strength, const ThresholdMatrix& matrix) {
    threshold_palette(image, space, palette, strength, MatrixOffsets{matrix});
}

void random_levels(Raster& image, const Space& space, const Levels& levels,
                   float strength, std::uint64_t seed) {
    threshold_levels(image, space, levels, strength, RandomOffsets{NoiseStream(seed)});
}

void random_palette(Raster& image, const Space& space, const Palette& palette,
                    float strength, std::uint64_t seed) {
    threshold_palette(image, space, palette, strength, RandomOffsets{NoiseStream(seed)});
}

}  // namespace grainel
