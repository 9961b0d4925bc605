// The vector pass of ordered dither to levels: each image row against the
// patterns of its matrix row, a vector of bytes at a time.
#include "ordered/level_steps.h"

#include "simd/target.h"

GRAINEL_TARGET_BEGIN
namespace {

using Bytes = std::uint8_t __attribute__((vector_size(vector_bytes)));
using Signed = std::int8_t __attribute__((vector_size(vector_bytes)));

Bytes load(const std::uint8_t* from) {
    Bytes v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

void store(std::uint8_t* to, Bytes v) { __builtin_memcpy(to, &v, sizeof v); }

// The rises as vectors, held in registers when their number is known here
// (Steps > 0); otherwise read per use.
template <std::size_t Steps>
struct Rises {
    Bytes rise[Steps];
    explicit Rises(const LevelSteps& plan) {
        for (std::size_t j = 0; j < Steps; ++j) rise[j] = Bytes{} + plan.rise[j];
    }
    static constexpr std::size_t count(const LevelSteps&) { return Steps; }
    Bytes operator[](std::size_t j) const { return rise[j]; }
};

template <>
struct Rises<0> {
    const std::uint8_t* rise;
    std::size_t steps;
    explicit Rises(const LevelSteps& plan) : rise(plan.rise.data()), steps(plan.steps) {}
    std::size_t count(const LevelSteps&) const { return steps; }
    Bytes operator[](std::size_t j) const { return Bytes{} + rise[j]; }
};

// `at` points into the first pattern of the row; the others follow `stride` apart.
template <std::size_t Steps, bool KeepsAlpha>
[[gnu::always_inline]] inline Bytes dither(Bytes b, const std::uint8_t* at, std::size_t stride,
                                           const Rises<Steps>& rises, std::size_t steps) {
    // The cuts are stored biased by 0x80, so that one signed compare per
    // step orders the bytes as unsigned.
    const Signed biased = reinterpret_cast<Signed>(b ^ 0x80);
    Bytes out = load(at);
    for (std::size_t j = 0; j < steps; ++j)
        out += rises[j] & reinterpret_cast<Bytes>(
                              biased > reinterpret_cast<Signed>(load(at + (j + 1) * stride)));
    if constexpr (KeepsAlpha) out |= b & load(at + (steps + 1) * stride);
    return out;
}

// The same for one byte, for the end of a row narrower than a vector.
template <bool KeepsAlpha>
std::uint8_t dither_byte(std::uint8_t b, const std::uint8_t* at, std::size_t stride,
                         const LevelSteps& plan) {
    std::uint8_t out = at[0];
    for (std::size_t j = 0; j < plan.steps; ++j)
        if (b > (at[(j + 1) * stride] ^ 0x80)) out = static_cast<std::uint8_t>(out + plan.rise[j]);
    if constexpr (KeepsAlpha) out |= b & at[(plan.steps + 1) * stride];
    return out;
}

template <std::size_t Steps, bool KeepsAlpha>
void dither_rows(Raster& image, const LevelSteps& plan) {
    const Rises<Steps> rises(plan);
    const std::size_t steps = rises.count(plan), stride = plan.stride, period = plan.period;
    // Where the next vector starts in the pattern, relative to this one.
    const std::size_t advance = vector_bytes % period;
    const std::size_t row_bytes = image.width * image.channels;
    for (std::size_t y = 0; y < image.height; ++y) {
        std::uint8_t* pixels = image.pixels + y * row_bytes;
        const std::uint8_t* patterns = plan.row(y);
        std::size_t at = 0, i = 0;
        for (; i + vector_bytes <= row_bytes; i += vector_bytes) {
            store(pixels + i, dither<Steps, KeepsAlpha>(load(pixels + i), patterns + at, stride,
                                                        rises, steps));
            at += advance;
            if (at >= period) at -= period;
        }
        for (std::size_t k = 0; i < row_bytes; ++i, ++k)
            pixels[i] = dither_byte<KeepsAlpha>(pixels[i], patterns + at + k, stride, plan);
    }
}

template <bool KeepsAlpha>
void dither_rows_by_steps(Raster& image, const LevelSteps& plan) {
    switch (plan.steps) {
        case 1: return dither_rows<1, KeepsAlpha>(image, plan);
        case 2: return dither_rows<2, KeepsAlpha>(image, plan);
        case 3: return dither_rows<3, KeepsAlpha>(image, plan);
        default: return dither_rows<0, KeepsAlpha>(image, plan);
    }
}

}  // namespace

void apply_level_steps(Raster& image, const LevelSteps& plan) {
    if (plan.keeps_alpha)
        dither_rows_by_steps<true>(image, plan);
    else
        dither_rows_by_steps<false>(image, plan);
}

GRAINEL_TARGET_END
