#include "tools/remap/remap.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "tools/remap/dither_amounts.h"
#include "tools/threads/on_threads.h"
#include "tools/remap/remap_pixels.h"
#include "tools/remap/wavefront.h"

namespace grainel {

void perceptual_remap(Raster& image, const RemapPlan& plan, const RemapOptions& options) {
    if (image.height == 0 || image.width == 0) return;
    // More threads than bands would only wait.
    const std::size_t band_rows = options.serpentine ? 1 : wavefront_band_rows;
    const std::size_t threads =
        std::clamp<std::size_t>(options.threads, 1, (image.height + band_rows - 1) / band_rows);
    DitherAmounts amounts(image, plan.coded(), options.strength, threads);
    // A serpentine row starts where the row above it ended, so rows cannot
    // overlap: one thread scans them all while another makes the amounts
    // ahead of it. A left-to-right scan shares its bands out.
    const std::size_t scan_threads = options.serpentine ? 1 : threads;
    const bool making_ahead = options.serpentine && threads > 1;
    ColorSearch& search = plan.search_for(image.height * image.width);
    // Every pixel passes on its own share of its error: the kernel itself
    // runs at full strength.
    const KernelRows kernel = kernel_rows(*options.method, 1.0f);
    Wavefront rows(image.height, band_rows, scan_threads, ErrorRows::palette_row_floats(image.width));
    const std::size_t room_floats = band_rows * image.width;
    std::vector<float> rooms(scan_threads * room_floats);
    std::atomic<std::size_t> next_role{0};
    const RemapPass pass{image, *options.method, kernel, options.serpentine, plan.colors(),
                         plan.values(), search, amounts, rows};
    // The first threads to start scan: without a thread making amounts
    // ahead, the scan makes its own.
    run_on_threads(scan_threads + making_ahead, [&] {
        const std::size_t role = next_role.fetch_add(1, std::memory_order_relaxed);
        if (role < scan_threads)
            GRAINEL_DISPATCH(remap_pixels)(pass, rooms.data() + role * room_floats);
        else
            amounts.make_ahead();
    });
}

}  // namespace grainel
