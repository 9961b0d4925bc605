// The functions' docstrings: a signature line, "--" and an empty line,
// which CPython turns into __text_signature__, then the help text.
#pragma once

#define GRAINEL_DOC_IMAGE                                                        \
    "    image: uint8 numpy array \u2014 2-D grayscale or 3-D (H, W, C) \u2014 or a PIL\n" \
    "        image (a PIL image is returned in that case).\n"
#define GRAINEL_DOC_LEVELS \
    "    levels: number of output levels per channel (2 = black & white).\n"
#define GRAINEL_DOC_PALETTE                                                        \
    "    palette: dither to these colors instead of gray levels \u2014 a sequence\n" \
    "        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)\n"       \
    "        image; the alpha channel is always passed through. Mutually\n"         \
    "        exclusive with levels.\n"
#define GRAINEL_DOC_STRENGTH \
    "    strength: dithering strength in [0, 1]; 0 = plain quantization.\n"
#define GRAINEL_DOC_LINEAR                                                   \
    "    linear: do the math in linear light instead of raw sRGB values\n" \
    "        (gamma-correct; preserves perceived brightness).\n"
#define GRAINEL_DOC_ALPHA                                                         \
    "    preserve_alpha: leave the last channel untouched for 2- or 4-channel\n" \
    "        images (LA / RGBA).\n"
#define GRAINEL_DOC_RETURNS \
    "\n"                    \
    "Returns:\n"            \
    "    A new uint8 array (or PIL image) of the same shape."

namespace grainel::doc {

inline constexpr char random_dither[] =
    "random_dither(image, *, levels=2, palette=None, seed=None, strength=1.0, linear=False, "
    "preserve_alpha=True)\n"
    "--\n"
    "\n"
    "Apply random (white-noise) threshold dithering.\n"
    "\n"
    "Args:\n"
    GRAINEL_DOC_IMAGE GRAINEL_DOC_LEVELS GRAINEL_DOC_PALETTE
    "    seed: optional seed for reproducible output; random when omitted.\n"
    GRAINEL_DOC_STRENGTH GRAINEL_DOC_LINEAR GRAINEL_DOC_ALPHA GRAINEL_DOC_RETURNS;

inline constexpr char ordered_dither[] =
    "ordered_dither(image, matrix=None, *, levels=2, palette=None, strength=1.0, linear=False, "
    "preserve_alpha=True)\n"
    "--\n"
    "\n"
    "Apply ordered (Bayer / threshold-matrix) dithering.\n"
    "\n"
    "Args:\n"
    GRAINEL_DOC_IMAGE
    "    matrix: 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'\n"
    "        (case-insensitive), the size as an int (2, 4, 8, 16), or a custom\n"
    "        2-D numpy matrix: integer dtype = Bayer-style indices,\n"
    "        float dtype = thresholds in [0, 1].\n"
    GRAINEL_DOC_LEVELS GRAINEL_DOC_PALETTE GRAINEL_DOC_STRENGTH GRAINEL_DOC_LINEAR
    GRAINEL_DOC_ALPHA GRAINEL_DOC_RETURNS;

inline constexpr char error_diffusion[] =
    "error_diffusion(image, method=\"floyd_steinberg\", *, levels=2, palette=None, "
    "serpentine=False, strength=1.0, linear=False, preserve_alpha=True)\n"
    "--\n"
    "\n"
    "Apply error-diffusion dithering (Floyd\u2013Steinberg and friends).\n"
    "\n"
    "Args:\n"
    GRAINEL_DOC_IMAGE
    "    method: 'floyd_steinberg', 'false_floyd_steinberg',\n"
    "        'jarvis_judice_ninke', 'stucki', 'atkinson', 'burkes', 'sierra',\n"
    "        'sierra_two_row' or 'sierra_lite' (case-insensitive; '-' and '_'\n"
    "        interchangeable; aliases like 'fs', 'jjn', 'sierra2' work).\n"
    GRAINEL_DOC_LEVELS GRAINEL_DOC_PALETTE
    "    serpentine: alternate scan direction every row; reduces directional\n"
    "        worm artifacts.\n"
    "    strength: fraction of the quantization error diffused, in [0, 1].\n"
    GRAINEL_DOC_LINEAR GRAINEL_DOC_ALPHA GRAINEL_DOC_RETURNS;

inline constexpr char dither[] =
    "dither(image, method=\"floyd_steinberg\", *, levels=2, palette=None, serpentine=False, "
    "seed=None, strength=1.0, linear=False, preserve_alpha=True)\n"
    "--\n"
    "\n"
    "Dither an image \u2014 the one-stop entry point.\n"
    "\n"
    "Dispatches on `method`: an error-diffusion name ('floyd_steinberg', 'fs',\n"
    "'atkinson', ...), an ordered matrix name ('bayer8x8', ...), or 'random'.\n"
    "See `error_diffusion`, `ordered_dither` and `random_dither` for the\n"
    "method-specific parameters; parameters that don't apply to the chosen\n"
    "method are ignored.\n"
    "\n"
    "Args:\n"
    GRAINEL_DOC_IMAGE
    "    method: what to dither with; default 'floyd_steinberg'.\n"
    GRAINEL_DOC_LEVELS
    "    palette: dither to these colors instead of gray levels \u2014 a sequence\n"
    "        of '#rrggbb' hex strings or (r, g, b) tuples; the alpha channel\n"
    "        is always passed through.\n"
    "    serpentine: (error diffusion) alternate scan direction every row.\n"
    "    seed: (random) optional seed for reproducible output.\n"
    GRAINEL_DOC_STRENGTH GRAINEL_DOC_LINEAR GRAINEL_DOC_ALPHA GRAINEL_DOC_RETURNS;

inline constexpr char available_methods[] =
    "available_methods()\n"
    "--\n"
    "\n"
    "List the valid `method` values for `error_diffusion`.";

inline constexpr char available_matrices[] =
    "available_matrices()\n"
    "--\n"
    "\n"
    "List the valid `matrix` values for `ordered_dither`.";

}  // namespace grainel::doc
