// Image exchange: a caller's array or PIL image taken in as owned bytes,
// and the dithered bytes handed back in the caller's form.
#pragma once

#include "buffers/large_buffers.h"
#include "python/py.h"
#include "buffers/raster.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace grainel {

// malloc'd, so that the result array's owner can free it with std::free.
using PixelBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

struct Img {
    PixelBuffer pixels;
    std::size_t size;                 // bytes in pixels
    std::vector<std::size_t> shape;   // (H, W) or (H, W, C) as taken in
    std::size_t height;
    std::size_t width;
    std::size_t channels;
    std::optional<std::size_t> alpha;
    std::optional<std::string> mode;  // PIL mode of the result, for PIL input

    Raster raster() { return {pixels.get(), height, width, channels, alpha}; }
};

// Takes any image argument in as an Img with its own copy of the bytes.
Img extract_image(PyObject* image, bool preserve_alpha);

// Consumes the Img: a new uint8 array adopting its buffer, or a PIL image
// in the input's mode.
Ref into_output(Img&& img);

}  // namespace grainel
