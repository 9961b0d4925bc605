"""Error diffusion by levels: Floyd-Steinberg beside Pillow, raster and serpentine, every kernel."""

import grainel
from common import Image, bench, g_call


def rows(table, gray, rgb, small_gray, small_rgb, reps, reps_kernels):
    gray_px, rgb_px = gray.size, rgb.shape[0] * rgb.shape[1]
    table.section("error diffusion by levels, MP/s")
    fs = lambda im, **kw: grainel.error_diffusion(im, "floyd_steinberg", **kw)
    if Image is not None:
        peer, ps = bench(g_call(lambda im: Image.fromarray(im).convert("1"), gray),
                         gray_px, small_gray, reps)
    else:
        peer, ps = None, []
    raster, s = bench(g_call(fs, gray), gray_px, small_gray, reps)
    table.add("Floyd-Steinberg, 2 levels, gray", raster, "MP/s",
              'Pillow convert("1")' if Image is not None else "n/a", peer,
              extra={"samples_s": s, "peer_samples_s": ps, "pixels": gray_px})
    serp, ss = bench(g_call(lambda im: fs(im, serpentine=True), gray), gray_px, small_gray, reps)
    table.add("Floyd-Steinberg, serpentine, 2 levels, gray", serp, "MP/s", "same, raster",
              raster, extra={"samples_s": ss, "peer_samples_s": s, "pixels": gray_px})
    raster, s = bench(g_call(lambda im: fs(im, levels=4), rgb), rgb_px, small_rgb, reps)
    table.add("Floyd-Steinberg, 4 levels, RGB", raster, "MP/s",
              extra={"samples_s": s, "pixels": rgb_px})
    serp, ss = bench(g_call(lambda im: fs(im, levels=4, serpentine=True), rgb),
                     rgb_px, small_rgb, reps)
    table.add("Floyd-Steinberg, serpentine, 4 levels, RGB", serp, "MP/s", "same, raster",
              raster, extra={"samples_s": ss, "peer_samples_s": s, "pixels": rgb_px})


    table.section("error diffusion, 2 levels, gray, every kernel, MP/s; "
                  "serpentine rows compare with the same kernel's raster scan")
    for method in grainel.available_methods():
        raster, s = bench(g_call(lambda im, m=method: grainel.error_diffusion(im, m), gray),
                          gray_px, small_gray, reps_kernels)
        table.add(method, raster, "MP/s", extra={"samples_s": s, "pixels": gray_px})
        serp, s = bench(g_call(lambda im, m=method: grainel.error_diffusion(im, m, serpentine=True), gray),
                        gray_px, small_gray, reps_kernels)
        table.add(method + ", serpentine", serp, "MP/s", "same, raster", raster,
                  extra={"samples_s": s, "pixels": gray_px})
