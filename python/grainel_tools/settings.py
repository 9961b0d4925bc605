"""The dithering options of one run: the Settings record, and its checks, made once.

What is done with them to each picture is pipeline.py's.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

import grainel

from . import _native, matrices, palettes
from .errors import OptionError
from .fitting import MAX_EFFORT
from .pipeline import ORDERED, REMAP, dither_image
from .sizing import WHITE, Color, Size

# The picture every check runs the options on: one black pixel.
_PROBE = np.zeros((1, 1, 3), dtype=np.uint8)
# How the messages name each family of method.
_FAMILY_NAMES = {"diffusion": "error diffusion", ORDERED: "ordered dither", REMAP: "the remap"}


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
    Before dithering, `background` flattens transparency onto a colour,
    `rotate` turns the picture clockwise by 90, 180 or 270 degrees, and
    `resize` (fill and crop) or `fit` (inside, aspect kept) resample to a
    size in linear light; after, a fitted picture is padded to exactly `fit`
    with `pad` (None: left at its fitted size), and `scale` enlarges every
    pixel to a block. `still` dithers each frame of an animation after the
    first again only where it changed (still_frames.py), for error
    diffusion and the remap. With a `panel` (whose sent colours `palette`
    holds), every frame is tone mapped by `tone` (None: not at all),
    dithered to the panel's appearance and written in its sent colours.
    `threads` is what the fit and the remap run on (see grainel_tools.remap).
    `fitted` says `palette` was fitted to the pictures beforehand (one
    palette for a batch), to be dithered as a palette fitted to each is.
    """

    method: str = "floyd_steinberg"
    matrix: Any = None
    levels: int | None = None
    palette: list[Any] | None = None
    colors: int | None = None
    seed: int | None = None
    strength: float | None = None
    serpentine: bool | None = None  # None: the engine's default, serpentine for the remap only
    linear: bool = False
    preserve_alpha: bool = True
    background: Color | None = None
    rotate: int = 0
    resize: Size | None = None
    fit: Size | None = None
    pad: Color | None = WHITE
    scale: int = 1
    keep: list[Any] | None = None
    effort: int | None = None
    mix: bool = False  # ordered dither by colour mixes (grainel_tools.mix_dither)
    still: bool = True
    panel: Any = None  # a panels.Panel: dithered as it looks, written in `palette`, its sent colours
    tone: Any = None  # a tone.Tone: the picture mapped into the panel's range first
    threads: int | None = None  # the fit's and the remap's; None: every core for a megapixel and more
    fitted: bool = False

    @property
    def wants_color(self) -> bool:
        """A palette is given or fitted: the picture is dithered in colour."""
        return self.palette is not None or self.colors is not None

    @property
    def family(self) -> str:
        """'ordered', 'random', 'remap' or 'diffusion': which engine `method` selects."""
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

    def check(self) -> None:
        """Run the options once on a 1x1 picture, and refuse options that would do nothing.

        A bad method, level count, strength, matrix or palette would otherwise
        fail identically for every file; this turns it into one usage error
        worded by grainel itself.
        """
        if self.resize is not None and self.fit is not None:
            raise OptionError("--resize fills a size and --fit fits inside one; give one of them")
        if self.rotate not in (0, 90, 180, 270):
            raise OptionError(f"--rotate turns by 90, 180 or 270 degrees, got {self.rotate}")
        if not isinstance(self.scale, int) or self.scale < 1:
            raise OptionError(f"--scale must be a whole number, 1 or more, got {self.scale}")
        family = self.family
        if self.serpentine is not None and family not in ("diffusion", REMAP):
            raise OptionError(f"--serpentine applies to error diffusion, not to {family} dither")
        if self.seed is not None and family != "random":
            raise OptionError(f"--seed applies to random dither, not to {_FAMILY_NAMES[family]}")
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
        if self.tone is not None and self.panel is None:
            raise OptionError("the tone map maps into a panel's range: give --panel, or --seen with --palette")
        stand_in = palettes.NAMED["bw"].colors if self.colors is not None else None
        try:
            if self.palette is not None:  # read by grainel first, for its wording of what is wrong
                # grainel's palettes hold two colours at least; the tools take one.
                colors = list(self.palette)
                grainel.ordered_dither(_PROBE, palette=colors * 2 if len(colors) == 1 else colors)
            dither_image(self, _PROBE, stand_in)
        except (ValueError, TypeError, OverflowError) as exc:
            # grainel notes which argument a conversion failed on; keep that.
            notes = "".join(f" ({note})" for note in getattr(exc, "__notes__", ()))
            raise OptionError(f"{exc}{notes}") from None

