"""Ordered and random dither by levels, named matrices and colour mixes."""

import statistics
import time

import numpy as np

import grainel
from common import bench, g_call, mps


def ordered_cut_tile(gray, matrix_side):
    """The byte each pixel of `gray` must exceed to come out white under grainel's ordered
    dither (Bayer, 2 levels), found by asking grainel for every byte in every cell: what
    NumPy needs to give the same 0/255 image with one comparison."""
    probe = np.tile(np.arange(256, dtype=np.uint8)[:, None, None], (1, matrix_side, matrix_side))
    out = grainel.ordered_dither(probe.reshape(-1, matrix_side), matrix_side)
    white = out.reshape(256, matrix_side, matrix_side) == 255
    first_white = np.where(white.any(axis=0), white.argmax(axis=0), 256)   # per cell
    cut = (first_white - 1).astype(np.uint8)                              # img > cut
    h, w = gray.shape
    return np.ascontiguousarray(np.tile(cut, (-(-h // matrix_side), -(-w // matrix_side)))[:h, :w])


def rows(table, gray, rgb, small_gray, small_rgb, reps):
    """Ordered and random dither against a plain copy of the same image (the ceiling: the
    module copies the image, then rewrites it in place) and NumPy doing the same in one
    comparison; then large named matrices against Bayer 8x8."""
    gray_px, rgb_px = gray.size, rgb.shape[0] * rgb.shape[1]
    table.section("threshold engines by levels, MP/s; the copy rows are "
                  "ndarray.copy() of the same image, the ceiling of a copy-and-rewrite engine")
    copy_gray, cs = bench(g_call(lambda im: im.copy(), gray), gray_px, small_gray, reps)
    copy_rgb, crs = bench(g_call(lambda im: im.copy(), rgb), rgb_px, small_rgb, reps)
    cut = ordered_cut_tile(gray, 8)
    into = np.empty_like(gray)
    numpy_new = lambda im: (im > cut).view(np.uint8) * np.uint8(255)
    numpy_into = lambda im: np.greater(im, cut, out=into.view(np.bool_))
    same = bool(np.array_equal(numpy_new(gray), grainel.ordered_dither(gray, 8)))
    new_np, ns = bench(lambda which: numpy_new(gray), gray_px, None, reps)
    into_np, ins = bench(lambda which: numpy_into(gray), gray_px, None, reps)
    for n in (2, 4):
        ours, s = bench(g_call(lambda im, n=n: grainel.ordered_dither(im, 8, levels=n), gray),
                        gray_px, small_gray, reps)
        case = "ordered Bayer 8x8, %d levels, gray" % n
        extra = {"samples_s": s, "pixels": gray_px}
        table.add(case, ours, "MP/s", "ndarray.copy()", copy_gray,
                  extra=dict(extra, peer_samples_s=cs))
        row = table.add(case, ours, "MP/s", "NumPy (img > cut) * 255, new", new_np,
                        extra=dict(extra, peer_samples_s=ns, same_output_as_peer=same))
        if not same and n == 2:
            row["peer_note"] = "(output differs)"
        table.add(case, ours, "MP/s", "NumPy greater(out=), 0/1", into_np,
                  extra=dict(extra, peer_samples_s=ins))
    ours, s = bench(g_call(lambda im: grainel.ordered_dither(im, 8, levels=4), rgb),
                    rgb_px, small_rgb, reps)
    table.add("ordered Bayer 8x8, 4 levels, RGB", ours, "MP/s", "ndarray.copy()", copy_rgb,
              extra={"samples_s": s, "peer_samples_s": crs, "pixels": rgb_px})

    def numpy_pcg64(im):
        draws = np.random.default_rng(1).integers(0, 256, im.shape, dtype=np.uint8)
        return (im > draws).view(np.uint8) * np.uint8(255)
    ours, s = bench(g_call(lambda im: grainel.random_dither(im, seed=1), gray),
                    gray_px, small_gray, reps)
    peer, ps = bench(g_call(numpy_pcg64, gray), gray_px, small_gray, reps)
    table.add("random, 2 levels, gray", ours, "MP/s", "NumPy PCG64 uint8 draws + compare",
              peer, extra={"samples_s": s, "peer_samples_s": ps, "pixels": gray_px})
    named_matrix_rows(table, gray, small_gray, reps)


NAMED_MATRICES = ("bluenoise64", "halftone8")


def named_matrix_rows(table, gray, warm, repeats):
    """Ordered dither, 2 levels, with large named tiles and with Bayer 8x8 on one image.

    A 64x64 tile holds 4096 thresholds where Bayer's holds 64, so this shows
    what the larger tile costs. The calls alternate, matrix by matrix, so
    that a change in the machine's load reaches every column alike.
    """
    from grainel_tools.matrices import matrix

    tiles = {"bayer8x8": 8, **{name: matrix(name) for name in NAMED_MATRICES}}
    times = {name: [] for name in tiles}
    for tile in tiles.values():
        grainel.ordered_dither(warm, tile)
    for _ in range(repeats):
        for name, tile in tiles.items():
            t0 = time.perf_counter()
            grainel.ordered_dither(gray, tile)
            times[name].append(time.perf_counter() - t0)
    pixels = gray.shape[0] * gray.shape[1]
    bayer = mps(pixels, statistics.median(times["bayer8x8"]))
    table.section("ordered dither with named matrices (grainel_tools), 2 levels, gray, MP/s; "
                  "ratio = named / Bayer 8x8, calls alternating")
    for name in NAMED_MATRICES:
        table.add("ordered %s, 2 levels, gray" % name, mps(pixels, statistics.median(times[name])),
                  "MP/s", "Bayer 8x8", bayer,
                  extra={"samples_s": times[name], "peer_samples_s": times["bayer8x8"],
                         "pixels": pixels})




def mix_rows(table, photo, warm, repeats):
    """mix_dither with bluenoise64 to pico8's 16 colours, beside grainel.ordered_dither with the same.

    "new plan" makes the palette's plan in every call, as a first call does;
    "plan reused" passes one MixPlan, as the frames of an animation share
    one. The three calls alternate, so a change in load reaches all alike.
    """
    from grainel_tools import MixPlan, matrix, mix_dither, palettes
    from grainel_tools.mix import _plan_of

    colors = palettes.named("pico8")
    tile = matrix("bluenoise64")
    plan = MixPlan(colors)

    def new_plan(im):
        _plan_of.cache_clear()
        return mix_dither(im, colors, tile)

    calls = {"new": new_plan, "reused": lambda im: mix_dither(im, plan, tile),
             "ordered": lambda im: grainel.ordered_dither(im, tile, palette=colors)}
    times = {name: [] for name in calls}
    for call in calls.values():
        call(warm)
    for _ in range(repeats):
        for name, call in calls.items():
            t0 = time.perf_counter()
            call(photo)
            times[name].append(time.perf_counter() - t0)
    pixels = photo.shape[0] * photo.shape[1]
    ordered = mps(pixels, statistics.median(times["ordered"]))
    table.section("ordered dither by colour mixes (grainel_tools.mix_dither), bluenoise64, pico8, "
                  "RGB photo, MP/s; ratio = mix / grainel.ordered_dither, same matrix and palette")
    for name, label in (("new", "new plan"), ("reused", "plan reused")):
        table.add("mix dither, 16 colours, %s" % label, mps(pixels, statistics.median(times[name])),
                  "MP/s", "ordered_dither", ordered,
                  extra={"samples_s": times[name], "peer_samples_s": times["ordered"], "pixels": pixels})


