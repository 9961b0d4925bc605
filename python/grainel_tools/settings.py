"""The dithering options of one run, checked once and applied per image."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np

import grainel

from . import _native, matrices, palettes, sizing
from .errors import OptionError
from .fitting import MAX_EFFORT, fit_palette
from .mix import mix_dither
from .remap import remap
from .sizing import WHITE, Color, Size

if TYPE_CHECKING:
    from PIL.Image import Image

    from .pictures import Picture

# Not a grainel method name: lets --method say "ordered" explicitly, which is
# what --matrix alone implies.
ORDERED = "ordered"
# Not a grainel method either: the perceptual remap of grainel_tools.remap,
# the command line's choice for palettes unless a method is named.
REMAP = "remap"


_PROBE = np.zeros((1, 1, 3), dtype=np.uint8)
_NAMES = {"diffusion": "error diffusion", ORDERED: "ordered dither", REMAP: "the remap"}


def parse_matrix(text: str) -> Any:
    """A --matrix value: a .npy file, rows like '0,2;3,1', a named matrix, or a name for grainel.

    Every way of naming a threshold matrix on the command line is read here.
    """
    if text.lower().endswith(".npy"):
        try:
            return np.load(text, allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise OptionError(f"cannot read matrix file {text!r}: {exc}") from None
    if matrices.is_named(text):
        return matrices.matrix(text)  # blue noise and screens are ours, Bayer grainel's
    if "," not in text and ";" not in text:
        try:  # 'bayer4x4', '4x4', '4': grainel parses its names, and its message lists only those
            _native.matrix(text)
        except ValueError as exc:
            raise OptionError(f"{exc}, or a named matrix such as bluenoise64 (see --list)") from None
        return text
    rows = [[cell.strip() for cell in row.split(",")] for row in text.split(";")]
    try:
        try:
            return np.array([[int(c) for c in row] for row in rows], dtype=np.int64)
        except ValueError:
            return np.array([[float(c) for c in row] for row in rows], dtype=np.float64)
    except ValueError:
        raise OptionError(
            f"bad matrix {text!r}: expected rows of numbers like '0,2;3,1'") from None


@dataclass(frozen=True)
class Settings:
    """How to dither: grainel's options, plus `colors` to fit a palette to each picture.

    `method` takes what grainel.dither takes, "ordered" to use `matrix`, or
    "remap" for the perceptual remap of grainel_tools.remap (a palette
    only). `strength` None is the method's own default. `colors` fits a
    palette of that many colours with grainel_tools.fit_palette, holding the
    colours of `keep`, with `effort`.
    Before dithering, `background` flattens transparency onto a colour, and
    `resize` (fill and crop) or `fit` (inside, aspect kept) resample to a
    size in linear light; after, a fitted picture is padded to exactly `fit`
    with `pad` (None: left at its fitted size), and `scale` enlarges every
    pixel to a block.
    """

    method: str = "floyd_steinberg"
    matrix: Any = None
    levels: int | None = None
    palette: list[Any] | None = None
    colors: int | None = None
    seed: int | None = None
    strength: float | None = None
    serpentine: bool = False
    linear: bool = False
    preserve_alpha: bool = True
    background: Color | None = None
    resize: Size | None = None
    fit: Size | None = None
    pad: Color | None = WHITE
    scale: int = 1
    keep: list[Any] | None = None
    effort: int | None = None
    mix: bool = False  # ordered dither by colour mixes (grainel_tools.mix_dither)

    @property
    def wants_color(self) -> bool:
        return self.palette is not None or self.colors is not None

    @property
    def family(self) -> str:
        """'ordered', 'random' or 'diffusion': which engine `method` selects."""
        if self.method.lower() == ORDERED:
            return ORDERED
        if self.method.lower() == "random":
            return "random"
        if self.method.lower() == REMAP:
            return REMAP
        try:  # a matrix name in any of the forms grainel accepts ("4x4", "bayer4x4", "4")
            _native.matrix(self.method)
        except (ValueError, TypeError):
            return "diffusion"
        return ORDERED

    def apply(self, image: Any, palette: Any = None) -> Any:
        """Dither one image (PIL or array); `palette` overrides for --colors."""
        chosen = palette if palette is not None else self.palette
        if self.method.lower() == REMAP:
            if chosen is None:
                raise OptionError("the remap maps to a palette: give --palette or --colours")
            options: dict[str, Any] = dict(serpentine=self.serpentine)
            if self.strength is not None:
                options["strength"] = self.strength
            return remap(image, chosen, **options)
        common: dict[str, Any] = dict(strength=1.0 if self.strength is None else self.strength,
                                      linear=self.linear, preserve_alpha=self.preserve_alpha)
        if self.levels is not None:
            common["levels"] = self.levels
        if self.mix:  # without --matrix, ordered dither's own default, Bayer 8x8
            tile = self.method if self.method.lower() != ORDERED else 8 if self.matrix is None else self.matrix
            return mix_dither(image, chosen, tile)
        if chosen is not None:
            # grainel's palettes hold two colours at least; a picture of one
            # colour is fitted with one, which repeated changes nothing.
            common["palette"] = list(chosen) * 2 if len(chosen) == 1 else chosen
        if self.method.lower() == ORDERED:
            return grainel.ordered_dither(image, self.matrix, **common)
        return grainel.dither(image, self.method, serpentine=self.serpentine,
                              seed=self.seed, **common)

    def prepared(self, frames: list[Image]) -> list[Image]:
        """Frames as they are dithered: flattened, resized, and in colour for a palette."""
        if self.background is not None:
            frames = [sizing.flatten(f, self.background) for f in frames]
        if self.resize is not None:
            frames = [sizing.fill(f, self.resize) for f in frames]
        elif self.fit is not None:
            frames = [sizing.fit(f, self.fit) for f in frames]
        if self.wants_color and frames[0].mode in ("L", "LA"):  # a palette needs colour channels
            frames = [f.convert("RGB" if f.mode == "L" else "RGBA") for f in frames]
        return frames

    def apply_picture(self, picture: Picture) -> Picture:
        """Dither every frame alike: one palette, fitted to all frames for --colors."""
        frames = self.prepared(picture.frames)
        own = self.fitted(frames) if self.colors else None
        chosen = own if own is not None else self.palette
        # Colours given as text are left to grainel to read: only (r, g, b)
        # entries can tell the writers which colours the pixels are.
        known = None if chosen is None or any(isinstance(c, str) for c in chosen) else chosen
        dithered = [self.apply(f, own) for f in frames]
        if self.fit is not None and self.pad is not None and any(f.size != self.fit for f in dithered):
            # The padding is dithered like the picture, so that a colour a
            # palette lacks becomes a pattern of its colours, as it would inside.
            canvas = self.apply(sizing.solid(frames[0].mode, self.fit, self.pad), own)
            dithered = [sizing.pad(f, canvas) for f in dithered]
        return picture.with_frames([sizing.enlarge(f, self.scale) for f in dithered], known)

    def fitted(self, frames: list[Image]) -> list[tuple[int, int, int]]:
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
        keep = self.keep or []
        count = max(self.colors - transparent, 2, len(keep)) if self.colors else 2
        options: dict[str, Any] = {"keep": keep}
        if self.effort is not None:
            options["effort"] = self.effort
        return [(int(r), int(g), int(b)) for r, g, b in fit_palette(sheet, count, **options)]

    def output_size(self, size: Size) -> Size:
        """The size of the result for a picture of `size`."""
        if self.resize is not None:
            size = self.resize
        elif self.fit is not None:
            size = self.fit if self.pad is not None else sizing.fitted_size(size, self.fit)
        return size[0] * self.scale, size[1] * self.scale

    def check(self) -> None:
        """Run the options once on a 1x1 picture, and refuse options that would do nothing.

        A bad method, level count, strength, matrix or palette would otherwise
        fail identically for every file; this turns it into one usage error
        worded by grainel itself.
        """
        if self.resize is not None and self.fit is not None:
            raise OptionError("--resize fills a size and --fit fits inside one; give one of them")
        if not isinstance(self.scale, int) or self.scale < 1:
            raise OptionError(f"--scale must be a whole number, 1 or more, got {self.scale}")
        family = self.family
        if self.serpentine and family not in ("diffusion", REMAP):
            raise OptionError(f"--serpentine applies to error diffusion, not to {family} dither")
        if self.seed is not None and family != "random":
            raise OptionError(f"--seed applies to random dither, not to {_NAMES[family]}")
        if family == REMAP:
            for given, flag, why in [(self.linear, "--linear", "always diffuses in linear light"),
                                     (not self.preserve_alpha, "--no-preserve-alpha", "passes alpha through"),
                                     (self.levels is not None, "--levels", "maps to a palette")]:
                if given:
                    raise OptionError(f"{flag} applies to grainel's engines (choose one with --method); "
                                      f"the remap {why}")
        if self.effort is not None and not 1 <= self.effort <= MAX_EFFORT:
            raise OptionError(f"--effort must be between 1 and {MAX_EFFORT}, got {self.effort}")
        if self.colors is None and (self.keep or self.effort is not None):
            raise OptionError(f"{'--keep' if self.keep else '--effort'} applies to --colours")
        if self.keep and len(self.keep) > (self.colors or 0):
            raise OptionError(f"--keep holds {len(self.keep)} colours, more than --colours {self.colors}")
        if self.mix and (family != ORDERED or not self.wants_color):
            raise OptionError("--mix needs ordered dither (a matrix method) and --palette or --colours")
        if self.mix and (self.levels is not None or self.strength is not None or self.linear or not self.preserve_alpha):
            raise OptionError("--levels, --strength, --linear and --no-preserve-alpha do not apply to --mix")
        stand_in = palettes.NAMED["bw"].colors if self.colors is not None else None
        try:
            if self.palette is not None:  # read by grainel first, for its wording of what is wrong
                grainel.ordered_dither(_PROBE, palette=list(self.palette) * 2)
            self.apply(_PROBE, stand_in)
        except (ValueError, TypeError, OverflowError) as exc:
            # grainel notes which argument a conversion failed on; keep that.
            notes = "".join(f" ({note})" for note in getattr(exc, "__notes__", ()))
            raise OptionError(f"{exc}{notes}") from None


def _stacked(frames: list[Image]) -> Image:
    if len(frames) == 1:
        return frames[0]
    from PIL import Image

    sheet = Image.new(frames[0].mode, (max(f.width for f in frames), sum(f.height for f in frames)))
    top = 0
    for frame in frames:
        sheet.paste(frame, (0, top))
        top += frame.height
    return sheet
