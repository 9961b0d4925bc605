// How a levels pass of error diffusion quantises a pixel: one channel, its
// error a float, or a run of up to four channels side by side in the lanes
// of a four-float vector. Each returns the error to spread. The time a
// pass takes is the length of its chain of dependent steps per pixel (the
// error of one pixel is owed to the next), so these keep that chain short.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "space/space.h"

namespace grainel {

using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));

enum class LevelRule {
    two,      // two levels: v < 127.5 gives the first
    bounded,  // up to four levels: compares with the level bounds
    rounded,  // more: scaled by inv_step and rounded (level_index)
};

// For a few levels, the smallest working value whose nearest level is
// above level j, for each j, found once by bisection with the exact rule.
// The level index never decreases as the value grows, so counting the
// bounds a value reaches gives the rule's index: a compare and a count on
// the chain instead of a scaling, two conversions and a rounding.
struct LevelBounds {
    static constexpr std::size_t most = 3;  // four levels
    float lower[most];    // +inf past the last level: never reached
    float value_of[most + 1];  // levels.values, the last repeated

    static LevelRule rule_for(const Levels& levels) {
        const std::size_t n = levels.bytes.size();
        return n == 2 ? LevelRule::two : n <= most + 1 ? LevelRule::bounded : LevelRule::rounded;
    }

    explicit LevelBounds(const Levels& levels) {
        const std::size_t n = levels.bytes.size();
        for (std::size_t j = 0; j < most; ++j) {
            lower[j] = std::numeric_limits<float>::infinity();
            value_of[j] = levels.values[std::min(j, n - 1)];
        }
        value_of[most] = levels.values[std::min(most, n - 1)];
        if (n == 2) {
            lower[0] = 127.5f;  // the two-level rule compares with this
            return;
        }
        if (rule_for(levels) == LevelRule::bounded)
            for (std::size_t j = 0; j + 1 < n; ++j)
                lower[j] = smallest_reaching(levels, static_cast<std::uint32_t>(j + 1));
    }

private:
    // Floats in order as integers: the bit pattern for positive values, its
    // negated magnitude for negative ones.
    static std::int64_t key(float f) {
        std::int32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits >= 0 ? bits : -static_cast<std::int64_t>(bits & 0x7FFFFFFF);
    }
    static float from_key(std::int64_t k) {
        const auto bits = static_cast<std::uint32_t>(k >= 0 ? k : (-k) | 0x80000000);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    static float smallest_reaching(const Levels& levels, std::uint32_t level) {
        std::int64_t lo = key(-std::numeric_limits<float>::max());
        std::int64_t hi = key(std::numeric_limits<float>::max());
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (levels.nearest(from_key(mid)) >= level) hi = mid; else lo = mid + 1;
        }
        return from_key(lo);
    }
};

// Only the bounded rule carries bounds: the quantisers are copied into
// every scan of a band of rows, and should stay small enough for registers.
struct NoBounds {
    explicit NoBounds(const Levels&) {}
};
template <LevelRule Rule>
using BoundsFor = std::conditional_t<Rule == LevelRule::bounded, LevelBounds, NoBounds>;

// What both quantisers read. The tables are held as plain pointers and a
// quantiser is passed by value: a byte store could otherwise alias them and
// force a reload per pixel.
template <LevelRule Rule>
struct LevelTables {
    const float* decode;
    const std::uint8_t* bytes;
    const float* values;
    float inv_step, max_index;
    [[no_unique_address]] BoundsFor<Rule> bounds;

    LevelTables(const Space& space, const Levels& levels)
        : decode(space.decode.data()), bytes(levels.bytes.data()), values(levels.values.data()),
          inv_step(levels.inv_step), max_index(levels.max_index), bounds(levels) {}
};

template <LevelRule Rule>
struct LevelsQuantiser {
    using Error = float;
    LevelTables<Rule> levels;
    std::size_t channel;

    [[gnu::always_inline]] float operator()(std::uint8_t* pixel, float owed) const {
        std::uint8_t& byte = pixel[channel];
        const float v = levels.decode[byte] + owed;
        if constexpr (Rule == LevelRule::two) {
            // The level's value is chosen with a vector compare and blend:
            // a branch here would be mispredicted on every other pixel.
            const Float4 value =
                Float4{v} < 127.5f ? Float4{levels.values[0]} : Float4{levels.values[1]};
            byte = levels.bytes[!(v < 127.5f)];
            return v - value[0];
        } else {
            std::uint32_t k;
            if constexpr (Rule == LevelRule::bounded) {
                k = 0;
                for (std::size_t j = 0; j < LevelBounds::most; ++j)
                    k += v >= levels.bounds.lower[j];
            } else {
                k = level_index(v, levels.inv_step, levels.max_index);
            }
            byte = levels.bytes[k];
            return v - levels.values[k];
        }
    }
};

// Lane by lane the arithmetic of LevelsQuantiser. Lanes past the run hold
// 0, which is level 0 exactly (value 0, no error), so they stay 0.
template <LevelRule Rule>
struct LevelsLanesQuantiser {
    using Error = Float4;
    LevelTables<Rule> levels;
    std::size_t first, count;

    [[gnu::always_inline]] Float4 operator()(std::uint8_t* pixel, Float4 owed) const {
        std::uint8_t* run = pixel + first;
        Float4 decoded{levels.decode[run[0]], 0.0f, 0.0f, 0.0f};
        for (std::size_t lane = 1; lane < 4; ++lane)
            if (lane < count) decoded[lane] = levels.decode[run[lane]];
        const Float4 v = decoded + owed;
        Int4 k;
        Float4 value;
        if constexpr (Rule == LevelRule::rounded) {
            k = rounded_index(v);
            const float* values = levels.values;
            value = Float4{values[k[0]], values[k[1]], values[k[2]], values[k[3]]};
        } else {
            // reaches[j]: the lane's level is above j (a true compare is -1).
            Int4 reaches[LevelBounds::most];
            k = Int4{};
            for (std::size_t j = 0; j < LevelBounds::most; ++j) {
                reaches[j] = v >= levels.bounds.lower[j];
                k -= reaches[j];
            }
            // The level's value by halving the range twice, so that only
            // two selects follow the compares on the chain.
            const auto level = [&](std::size_t j) { return Float4{} + levels.bounds.value_of[j]; };
            value = reaches[1] ? (reaches[2] ? level(3) : level(2))
                               : (reaches[0] ? level(1) : level(0));
        }
        for (std::size_t lane = 0; lane < 4; ++lane)
            if (lane < count) run[lane] = levels.bytes[k[lane]];
        return v - value;
    }

    // level_index, lane by lane.
    Int4 rounded_index(Float4 v) const {
        Float4 t = v * levels.inv_step;
        t = t < -1.0f ? Float4{} - 1.0f : t;
        t = levels.max_index + 1.0f < t ? Float4{} + (levels.max_index + 1.0f) : t;
        const Int4 whole = __builtin_convertvector(t, Int4);  // toward zero
        const Float4 rest = t - __builtin_convertvector(whole, Float4);
        Int4 k = whole - (rest >= 0.5f) + (rest <= -0.5f);  // a true compare is -1
        const Int4 top = Int4{} + static_cast<std::int32_t>(levels.max_index);
        k = k < 0 ? Int4{} : k;
        return top < k ? top : k;
    }
};

}  // namespace grainel
