// mix_dither(image, plan, thresholds, out): ordered dither by colour mixes
// of an (H, W, 3 or 4) picture into `out`, the same shape. `thresholds` is
// the matrix as (h, 4 * w) bytes: native 32-bit thresholds in units of
// 2^-24.
#include "tools/lib/entries.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/lib/buffers.h"
#include "tools/lib/mix_capsule.h"
#include "tools/mix/mix_dither.h"

namespace grainel {

PyObject* mix_dither_entry(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return guarded([&]() -> PyObject* {
        if (count != 4) raise(PyExc_TypeError, "mix_dither takes image, plan, thresholds and out");
        const Bytes image(args[0], "image", 3);
        const MixPlan& plan = plan_of(args[1]);
        const Bytes matrix(args[2], "thresholds", 2);
        const Bytes out(args[3], "out", 3, true);
        const std::size_t height = image.size(0), width = image.size(1), channels = image.size(2);
        if (channels != 3 && channels != 4) raise(PyExc_ValueError, "image must have 3 or 4 channels");
        if (out.size(0) != height || out.size(1) != width || out.size(2) != channels)
            raise(PyExc_ValueError, "out must have the image's shape");
        const std::size_t tile_height = matrix.size(0), tile_width = matrix.size(1) / 4;
        if (tile_height == 0 || tile_width == 0 || matrix.size(1) % 4)
            raise(PyExc_ValueError, "thresholds must hold whole 32-bit values");
        std::vector<std::uint32_t> thresholds(tile_height * tile_width);
        std::memcpy(thresholds.data(), matrix.data(), thresholds.size() * 4);
        if (std::any_of(thresholds.begin(), thresholds.end(), [](std::uint32_t q) { return q >> 24; }))
            raise(PyExc_ValueError, "thresholds must be below 2^24");
        {
            Detached released;
            // Each pixel depends on its own value alone, so `out` may be the
            // image itself; if the two overlap otherwise, the image is first
            // copied there and worked on in place.
            const std::size_t bytes = height * width * channels;
            const std::uint8_t* source = image.data();
            const auto from = reinterpret_cast<std::uintptr_t>(source);
            const auto to = reinterpret_cast<std::uintptr_t>(out.data());
            if (from < to + bytes && to < from + bytes) {
                std::memmove(out.data(), source, bytes);
                source = out.data();
            }
            Raster raster{out.data(), height, width, channels,
                          channels == 4 ? std::optional<std::size_t>(3) : std::nullopt};
            mix_dither(source, raster, plan, MixMatrix{thresholds.data(), tile_height, tile_width});
        }
        Py_RETURN_NONE;
    });
}

}  // namespace grainel
