// The perceptual remap: a picture to the colours of a palette, as it looks.
//
// Error is diffused in linear light, where mixing pixels mixes their light
// as the eye does, and each pixel's value is held inside the range of
// light the palette can show, so an error that no colour can pay back
// cannot run away. Each pixel then takes the colour nearest to it as sRGB
// codes it (close to how far apart colours look, and what keeps each
// channel's structure), and passes on as much of its error as
// dither_amounts gives it.
#pragma once

#include "diffusion/diffusion.h"
#include "tools/remap/remap_plan.h"
#include "buffers/raster.h"

namespace grainel {

struct RemapOptions {
    const DiffusionMethod* method;  // the kernel
    float strength;                 // 0 to 1: the most error any pixel passes on
    bool serpentine;
    std::size_t threads;            // at least 1; the bytes are the same for any number
};

// Rewrites the first three channels of every pixel with the plan's colours;
// other channels pass through.
void perceptual_remap(Raster& image, const RemapPlan& plan, const RemapOptions& options);

}  // namespace grainel
