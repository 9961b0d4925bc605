#include "tools/fit/dither_step.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "space/srgb_curve.h"
#include "tools/color/color_spaces.h"

namespace grainel {
namespace {

// The eye's blur at a normal viewing distance, as the quality benchmark
// measures it: a Gaussian of 1.5 pixels, applied once to the picture and
// once to the remap's output, which for their difference is one of 1.5 * sqrt(2).
const double sigma = 1.5 * std::sqrt(2.0);
const int reach = static_cast<int>(std::ceil(3 * sigma));
// How many colours take the full step. With fewer, each colour covers large
// areas, and moving it toward what dithering needs adds grain all over them
// (on photos at 4 colours the full step traded more structure than it gained).
constexpr double full_step_from = 8;

std::vector<float> blur_taps() {
    std::vector<double> bell;
    for (int k = -reach; k <= reach; ++k) bell.push_back(std::exp(-0.5 * (k / sigma) * (k / sigma)));
    const double total = std::accumulate(bell.begin(), bell.end(), 0.0);
    std::vector<float> taps;
    for (double b : bell) taps.push_back(static_cast<float>(b / total));
    return taps;
}

// The slope of the cube root, at each byte's light, with the light of the
// first byte added: it is endless at black, and below that byte stops
// mattering (a floor from a fifth to seven times that gave the same
// palettes within 0.5%).
std::array<float, 256> slope_of_byte() {
    std::array<float, 256> slope{};
    const double floor = linear_of_srgb(1 / 255.0);
    for (int b = 0; b < 256; ++b)
        slope[b] = static_cast<float>(std::pow(linear_of_srgb(b / 255.0) + floor, -2.0 / 3.0));
    return slope;
}

// Where index i of a row or column of `size` reads from, mirrored about its
// first and last pixel.
std::size_t mirrored(std::ptrdiff_t i, std::size_t size) {
    const auto last = static_cast<std::ptrdiff_t>(size) - 1;
    i = i < 0 ? -i : i;
    if (i > last) i = 2 * last - i;
    return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(i, 0, last));
}

// A Gaussian blur of an (height, width) plane in place, columns first;
// `scratch` is a plane as large. Each output sums its taps in order.
void blur(std::vector<float>& plane, std::vector<float>& scratch, std::size_t height, std::size_t width,
          const std::vector<float>& taps) {
    for (std::size_t y = 0; y < height; ++y) {
        float* out = scratch.data() + y * width;
        std::fill(out, out + width, 0.0f);
        for (std::size_t k = 0; k < taps.size(); ++k) {
            const std::size_t from = mirrored(static_cast<std::ptrdiff_t>(y + k) - reach, height);
            const float* in = plane.data() + from * width;
            for (std::size_t x = 0; x < width; ++x) out[x] += taps[k] * in[x];
        }
    }
    // Each row mirrored into `row` first, so that the taps read it in order.
    std::vector<float> row(width + 2 * reach);
    for (std::size_t y = 0; y < height; ++y) {
        const float* in = scratch.data() + y * width;
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = in[mirrored(static_cast<std::ptrdiff_t>(i) - reach, width)];
        float* out = plane.data() + y * width;
        std::fill(out, out + width, 0.0f);
        for (std::size_t k = 0; k < taps.size(); ++k)
            for (std::size_t x = 0; x < width; ++x) out[x] += taps[k] * row[x + k];
    }
}

std::uint8_t byte_of_light(double light) {
    // Halves to the even byte, as the companion rounds light everywhere.
    return static_cast<std::uint8_t>(std::nearbyint(255.0 * srgb_of_linear(std::clamp(light, 0.0, 1.0))));
}

// byte_of_light for floats, by the light at which each byte from 1 up
// starts: the same bytes, without a pow() for every pixel. A table by
// light gives a byte to start from, and a step or two to either side
// finds the byte whose range holds the light: the cells are narrower than
// the narrowest byte (at black), so no cell holds more than one start.
class ByteOfLight {
public:
    ByteOfLight() {
        for (int b = 1; b < 256; ++b) {
            // The first float of [0, 1] (ordered as its bits are) that rounds to b or above.
            std::uint32_t low = 0, high = 0x3f800000;
            while (low < high) {
                const std::uint32_t middle = low + (high - low) / 2;
                if (byte_of_light(std::bit_cast<float>(middle)) >= b) high = middle;
                else low = middle + 1;
            }
            starts_[b - 1] = std::bit_cast<float>(low);
        }
        for (std::size_t k = 0; k < cells; ++k)
            first_[k] = static_cast<std::uint8_t>(
                std::upper_bound(starts_.begin(), starts_.end(), static_cast<float>(k) / cells) - starts_.begin());
    }
    // How many bytes start at or below `light`.
    std::uint8_t operator()(float light) const {
        const float scaled = light * cells;
        std::size_t b = first_[scaled > 0.0f ? std::min(static_cast<std::size_t>(scaled), cells - 1) : 0];
        while (b > 0 && starts_[b - 1] > light) --b;
        while (b < starts_.size() && starts_[b] <= light) ++b;
        return static_cast<std::uint8_t>(b);
    }

private:
    static constexpr std::size_t cells = 4096;
    std::array<float, 255> starts_;
    std::array<std::uint8_t, cells> first_;
};

std::uint32_t key_of(const std::uint8_t* rgb) {
    return (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
}

}  // namespace

std::vector<Rgb> toward_dither(const Raster& image, const std::vector<Rgb>& palette, std::size_t fixed,
                               const RemapOptions& options) {
    const std::size_t width = image.width, height = image.height, count = width * height;
    const std::size_t channels = image.channels;
    // Colours nobody sees must not diffuse into their neighbours: they take
    // the first colour, in a copy (the picture is only read).
    std::vector<std::uint8_t> opaque;
    const std::uint8_t* source = image.pixels;
    if (image.alpha) {
        opaque.assign(image.pixels, image.pixels + count * channels);
        for (std::size_t p = 0; p < count; ++p)
            if (opaque[p * channels + *image.alpha] == 0)
                std::copy(palette[0].begin(), palette[0].end(), opaque.begin() + p * channels);
        source = opaque.data();
    }
    auto weight = [&](std::size_t p) { return image.alpha ? source[p * channels + *image.alpha] / 255.0 : 1.0; };
    std::vector<std::uint8_t> shown(source, source + count * channels);
    Raster shown_raster{shown.data(), height, width, channels, image.alpha};
    perceptual_remap(shown_raster, RemapPlan(palette), options);

    // Which colour each pixel shows: the palette's colours are distinct.
    std::vector<std::pair<std::uint32_t, std::uint16_t>> sorted;
    for (std::size_t j = 0; j < palette.size(); ++j)
        sorted.emplace_back(key_of(palette[j].data()), static_cast<std::uint16_t>(j));
    std::sort(sorted.begin(), sorted.end());
    static_assert(most_colors <= 65536, "a palette index must fit 16 bits");
    std::vector<std::uint16_t> index(count);
    std::uint32_t last_key = key_of(palette[0].data());
    std::uint16_t last_index = 0;
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint32_t key = key_of(shown.data() + p * channels);
        // Runs of one colour skip the search.
        if (key != last_key) {
            last_key = key;
            last_index = std::lower_bound(sorted.begin(), sorted.end(), std::pair{key, std::uint16_t{0}})->second;
        }
        index[p] = last_index;
    }

    const auto& light = linear_of_byte();
    static const std::vector<float> taps = blur_taps();
    static const std::array<float, 256> slope = slope_of_byte();
    static const ByteOfLight byte_of;
    const double share = std::min(1.0, static_cast<double>(palette.size()) / full_step_from);
    std::vector<float> original(count), error(count), scratch(count);
    std::vector<double> owed(palette.size()), seen(palette.size());
    std::vector<Rgb> moved(palette.size());
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t p = 0; p < count; ++p) {
            original[p] = light[source[p * channels + c]];
            error[p] = original[p] - light[palette[index[p]][c]];
        }
        blur(original, scratch, height, width, taps);
        blur(error, scratch, height, width, taps);
        std::fill(owed.begin(), owed.end(), 0.0);
        std::fill(seen.begin(), seen.end(), 0.0);
        for (std::size_t p = 0; p < count; ++p) {
            const double eye = weight(p) * static_cast<double>(slope[byte_of(original[p])]);
            owed[index[p]] += eye * static_cast<double>(error[p]);
            seen[index[p]] += eye;
        }
        for (std::size_t j = 0; j < palette.size(); ++j) {
            const double step = j < fixed ? 0.0 : owed[j] / std::max(seen[j], 1e-12) * share;
            moved[j][c] = byte_of_light(linear_of_srgb(palette[j][c] / 255.0) + step);
        }
    }
    std::vector<Rgb> distinct;
    for (const Rgb& color : moved)
        if (std::find(distinct.begin(), distinct.end(), color) == distinct.end()) distinct.push_back(color);
    return distinct;
}

}  // namespace grainel
