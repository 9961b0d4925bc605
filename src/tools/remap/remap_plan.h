// What a perceptual remap to one palette sets up before it reaches the
// pixels: the colours as sRGB codes them and in linear light, and the
// nearest-colour search. Made once, a plan serves every frame of an
// animation, every picture of a batch and every thread; nothing about it
// changes what a remap gives, only how soon.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "diffusion/level_quantisers.h"
#include "palette/palette.h"
#include "search/color_search.h"

namespace grainel {

class RemapPlan {
public:
    explicit RemapPlan(const std::vector<Rgb>& colors);

    const std::vector<Rgb>& colors() const { return coded_.colors; }
    // The colours as sRGB codes them: a Palette over the raw byte space.
    const Palette& coded() const { return coded_; }
    // The colours in linear light, lane 3 zero.
    const Float4* values() const { return values_.data(); }
    // The search a picture of this many pixels is remapped with, made the
    // first time a picture of its kind needs it. Its cells fill as queries
    // reach them, safely from any number of threads.
    ColorSearch& search_for(std::size_t pixels) const;

private:
    Palette coded_;
    std::vector<Float4> values_;
    std::size_t distinct_colors_;
    // One search per kind of picture: too small for a grid, then the three
    // cell sizes (see search_for).
    static constexpr std::size_t kinds = 4;
    mutable std::array<std::once_flag, kinds> made_;
    mutable std::array<std::unique_ptr<ColorSearch>, kinds> searches_;
};

}  // namespace grainel
