"""What is done to each picture, as Settings say: prepared, given a palette, dithered, finished.

In order: transparency flattened onto `background`; the picture resampled
to `resize` or `fit` (sizing.py); a palette of `colors` colours fitted to
all its frames; every frame dithered alike, by grainel's engines, the remap
or colour mixes; then padded to exactly `fit` and enlarged by `scale`.
settings.py checks the options before any picture is read.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import replace
from typing import TYPE_CHECKING, Any, cast

import grainel

from . import sizing
from .color_arrays import palette_array
from .errors import OptionError
from .fitting import fit_palette
from .gamut import into_hull
from .mix import mix_dither
from .remapping import RemapPlan, remap
from .sizing import Size
from .still_frames import dither_frames
from .tone import tone_map

if TYPE_CHECKING:
    from PIL.Image import Image

    from .pictures import Picture
    from .settings import Settings

# Pictures a shared palette is fitted to are scaled down, if need be, to this
# many pixels in all: a palette needs the picture's colours, not its detail.
SHARED_FIT_PIXELS = 1 << 25
# Not a grainel method name: lets --method say "ordered" explicitly, which is
# what --matrix alone implies.
ORDERED = "ordered"
# Not a grainel method either: the perceptual remap of grainel_tools.remap,
# the command line's choice for palettes unless a method is named.
REMAP = "remap"
# Fitted palettes of up to so many colours have the picture moved into their
# hull before the remap. A fitted colour is a mean of the picture's, so the
# hull of a few of them leaves out much of the picture's light, which the
# remap would otherwise chase with specks of far colours. With more colours
# the hull holds nearly all of it, and the move measured no better; a fixed
# palette was not fitted to the picture, and moving each pixel on its own
# flattens texture whose mean the palette can show (both on the quality
# benchmark's tune half).
HULL_COLORS = 16


def dither_picture(settings: Settings, picture: Picture) -> Picture:
    """Dither every frame alike: one palette, fitted to all frames for `colors`."""
    frames = prepared_frames(settings, picture.frames)
    fitted = fitted_palette(settings, frames) if settings.colors else None
    # Every frame, and the padding, is remapped with one plan of the palette.
    shown: Any = fitted if fitted is not None else settings.palette
    if settings.panel is not None:  # dithered as it looks, written as it is sent
        shown = settings.panel.appearance
    # The fitted palette whose hull each frame is moved into first, if any.
    hull_palette = fitted if fitted is not None else settings.palette if settings.fitted else None
    if hull_palette is not None and (settings.method.lower() != REMAP or settings.panel is not None
                                     or len(hull_palette) > HULL_COLORS):
        hull_palette = None
    if settings.method.lower() == REMAP and shown is not None:
        shown = RemapPlan(shown)

    def dither(frame: Image) -> Image:
        if hull_palette is not None:
            frame = into_hull(frame, hull_palette, threads=settings.threads)
        return cast("Image", dither_image(settings, frame, shown))

    if settings.still and settings.family in ("diffusion", REMAP):
        dithered = dither_frames(frames, dither)
    else:
        dithered = [dither(f) for f in frames]
    if settings.fit is not None and settings.pad is not None and any(f.size != settings.fit for f in dithered):
        # The padding is dithered like the picture, so that a colour a
        # palette lacks becomes a pattern of its colours, as it would inside.
        canvas = dither(sizing.solid(frames[0].mode, settings.fit, settings.pad))
        dithered = [sizing.pad(f, canvas) for f in dithered]
    # The writers index the file by these colours, in this order; read once
    # grainel has read them, so that a bad one is worded by grainel.
    palette = fitted if fitted is not None else settings.palette
    known_colors = None if palette is None else [tuple(c) for c in palette_array(palette).tolist()]
    return picture.with_frames([sizing.enlarge(f, settings.scale) for f in dithered], known_colors)


def prepared_frames(settings: Settings, frames: list[Image]) -> list[Image]:
    """Frames as they are dithered: flattened, turned, resized, and in colour for a palette."""
    if settings.background is not None:
        frames = [sizing.flatten(f, settings.background) for f in frames]
    if settings.rotate:  # before sizing: a portrait photo turned to fit a landscape panel
        frames = [sizing.rotate(f, settings.rotate) for f in frames]
    if settings.resize is not None:
        frames = [sizing.fill(f, settings.resize) for f in frames]
    elif settings.fit is not None:
        frames = [sizing.fit(f, settings.fit) for f in frames]
    if settings.wants_color and frames[0].mode in ("L", "LA"):  # a palette needs colour channels
        frames = [f.convert("RGB" if f.mode == "L" else "RGBA") for f in frames]
    return frames


def fitted_palette(settings: Settings, frames: list[Image]) -> list[tuple[int, int, int]]:
    """The palette of `colors` colours fitted to all frames at once.

    Fully transparent pixels are written as one entry of their own, so
    a picture that has them gets one colour fewer. A picture of a single
    colour keeps it, as its whole palette.
    """
    sheet = _stacked(frames)
    extrema = cast("tuple[tuple[int, int], ...]", sheet.getextrema())
    transparent = sheet.mode == "RGBA" and extrema[3][0] == 0
    few = cast("list[tuple[int, tuple[int, ...]]] | None", sheet.getcolors(2))
    if few is not None:  # two pixel values at most: maybe fewer than two colours to fit
        opaque = [(v[0], v[1], v[2]) for _, v in few if sheet.mode == "RGB" or v[3] > 0]
        if len(set(opaque)) < 2:
            return opaque[:1] or [(0, 0, 0)]
    keep = settings.keep or []
    count = max(settings.colors - transparent, 2, len(keep)) if settings.colors else 2
    options: dict[str, Any] = {"keep": keep, "threads": settings.threads}
    if settings.effort is not None:
        options["effort"] = settings.effort
    return [(int(r), int(g), int(b)) for r, g, b in fit_palette(sheet, count, **options)]


def palette_for_all(settings: Settings, pictures: Iterable[Picture]) -> list[tuple[int, int, int]] | None:
    """One palette of `colors` colours fitted to every picture, as each is prepared; None for none.

    Each picture is prepared as it comes, so that only prepared frames are
    kept while the next is read.
    """
    frames = [frame for picture in pictures for frame in prepared_frames(settings, picture.frames)]
    if not frames:
        return None
    total = sum(f.width * f.height for f in frames)
    if total > SHARED_FIT_PIXELS:
        factor = int((total / SHARED_FIT_PIXELS) ** 0.5) + 1
        frames = [f.reduce(factor) for f in frames]
    return fitted_palette(settings, frames)


def dither_image(settings: Settings, image: Any, palette: Any = None) -> Any:
    """Dither one image (PIL or array); `palette`, if given, stands in for `settings.palette`.

    For the remap, `palette` may be a RemapPlan. With a panel, it stands in
    for the panel's appearance, the colours the picture is dithered to.
    """
    if settings.panel is not None:
        panel = settings.panel
        if settings.tone is not None:
            image = tone_map(image, panel, settings.tone)
        shown = panel.appearance if palette is None else palette
        return panel.sent_of(dither_image(replace(settings, panel=None), image, shown))
    palette = palette if palette is not None else settings.palette
    method = settings.method.lower()
    if method == REMAP:
        if palette is None:
            raise OptionError("the remap maps to a palette: give --palette or --colours")
        options: dict[str, Any] = {}
        if settings.serpentine is not None:
            options["serpentine"] = settings.serpentine
        if settings.strength is not None:
            options["strength"] = settings.strength
        return remap(image, palette, threads=settings.threads, **options)
    engine_options: dict[str, Any] = dict(strength=1.0 if settings.strength is None else settings.strength,
                                          linear=settings.linear, preserve_alpha=settings.preserve_alpha)
    if settings.levels is not None:
        engine_options["levels"] = settings.levels
    if settings.mix:  # without --matrix, ordered dither's own default, Bayer 8x8
        tile = settings.method if method != ORDERED else 8 if settings.matrix is None else settings.matrix
        return mix_dither(image, palette, tile)
    if palette is not None:
        # grainel's palettes hold two colours at least; a picture of one
        # colour is fitted with one, which repeated changes nothing.
        engine_options["palette"] = list(palette) * 2 if len(palette) == 1 else palette
    if method == ORDERED:
        return grainel.ordered_dither(image, settings.matrix, **engine_options)
    return grainel.dither(image, settings.method, serpentine=bool(settings.serpentine),
                          seed=settings.seed, **engine_options)


def output_size(settings: Settings, size: Size) -> Size:
    """The size of the result for a picture of `size`."""
    if settings.resize is not None:
        size = settings.resize
    elif settings.fit is not None:
        size = settings.fit if settings.pad is not None else sizing.fitted_size(size, settings.fit)
    return size[0] * settings.scale, size[1] * settings.scale


def _stacked(frames: list[Image]) -> Image:
    """The frames one above the other, as one picture to fit a palette to."""
    if len(frames) == 1:
        return frames[0]
    from PIL import Image

    sheet = Image.new(frames[0].mode, (max(f.width for f in frames), sum(f.height for f in frames)))
    top = 0
    for frame in frames:
        sheet.paste(frame, (0, top))
        top += frame.height
    return sheet
