"""The dithering options of one run, checked once and applied per image."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import grainel

from . import matrices, palettes
from .mix import mix_dither

if TYPE_CHECKING:
    from PIL.Image import Image

    from .pictures import Picture

# Not a grainel method name: lets --method say "ordered" explicitly, which is
# what --matrix alone implies.
ORDERED = "ordered"


class OptionError(ValueError):
    """An option value that makes every image fail; reported as a usage error."""


_PROBE = np.zeros((1, 1, 3), dtype=np.uint8)
_NAMES = {"diffusion": "error diffusion", ORDERED: "ordered dither"}


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
            grainel.ordered_dither(_PROBE, text)
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

    `method` takes what grainel.dither takes, or "ordered" to use `matrix`.
    """

    method: str = "floyd_steinberg"
    matrix: Any = None
    levels: int | None = None
    palette: list[Any] | None = None
    colors: int | None = None
    seed: int | None = None
    strength: float = 1.0
    serpentine: bool = False
    linear: bool = False
    preserve_alpha: bool = True
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
        try:  # a matrix name in any of the forms grainel accepts ("4x4", "bayer4x4", "4")
            grainel.ordered_dither(_PROBE, self.method)
        except (ValueError, TypeError):
            return "diffusion"
        return ORDERED

    def apply(self, image: Any, palette: list[Any] | None = None) -> Any:
        """Dither one image (PIL or array); `palette` overrides for --colors."""
        common: dict[str, Any] = dict(strength=self.strength, linear=self.linear,
                                      preserve_alpha=self.preserve_alpha)
        if self.levels is not None:
            common["levels"] = self.levels
        chosen = palette if palette is not None else self.palette
        if self.mix:  # without --matrix, ordered dither's own default, Bayer 8x8
            tile = self.method if self.method.lower() != ORDERED else 8 if self.matrix is None else self.matrix
            return mix_dither(image, chosen, tile)
        if chosen is not None:
            common["palette"] = chosen
        if self.method.lower() == ORDERED:
            return grainel.ordered_dither(image, self.matrix, **common)
        return grainel.dither(image, self.method, serpentine=self.serpentine,
                              seed=self.seed, **common)

    def apply_picture(self, picture: Picture) -> Picture:
        """Dither every frame alike: one palette, fitted to all frames for --colors."""
        frames: list[Image] = picture.frames
        if self.wants_color and frames[0].mode in ("L", "LA"):  # a palette needs colour channels
            frames = [f.convert("RGB" if f.mode == "L" else "RGBA") for f in frames]
        own = palettes.adaptive(_stacked(frames), self.colors) if self.colors else None
        chosen = own if own is not None else self.palette
        # Colours given as text are left to grainel to read: only (r, g, b)
        # entries can tell the writers which colours the pixels are.
        known = None if chosen is None or any(isinstance(c, str) for c in chosen) else chosen
        return picture.with_frames([self.apply(f, own) for f in frames], known)

    def check(self) -> None:
        """Run the options once on a 1x1 picture, and refuse options that would do nothing.

        A bad method, level count, strength, matrix or palette would otherwise
        fail identically for every file; this turns it into one usage error
        worded by grainel itself.
        """
        family = self.family
        if self.serpentine and family != "diffusion":
            raise OptionError(f"--serpentine applies to error diffusion, not to {family} dither")
        if self.seed is not None and family != "random":
            raise OptionError(f"--seed applies to random dither, not to {_NAMES[family]}")
        if self.mix and (family != ORDERED or not self.wants_color):
            raise OptionError("--mix needs ordered dither (a matrix method) and --palette or --colours")
        if self.mix and (self.levels is not None or self.strength != 1.0 or self.linear or not self.preserve_alpha):
            raise OptionError("--levels, --strength, --linear and --no-preserve-alpha do not apply to --mix")
        stand_in = palettes.NAMED["bw"].colors if self.colors is not None else None
        try:
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
