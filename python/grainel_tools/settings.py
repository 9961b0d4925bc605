"""The dithering options of one run, checked once and applied per image."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

import grainel

from . import matrices, palettes

# Not a grainel method name: lets --method say "ordered" explicitly, which is
# what --matrix alone implies.
ORDERED = "ordered"


class OptionError(ValueError):
    """An option value that makes every image fail; reported as a usage error."""


def parse_matrix(text: str) -> Any:
    """A --matrix value: a .npy file, rows like '0,2;3,1', a named matrix, or a name for grainel."""
    if text.lower().endswith(".npy"):
        try:
            return np.load(text, allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise OptionError(f"cannot read matrix file {text!r}: {exc}") from None
    if matrices.is_named(text):
        return matrices.matrix(text)  # blue noise and screens are ours, Bayer grainel's
    if "," not in text and ";" not in text:
        return text  # 'bayer4x4', '4x4', '4': grainel parses names itself
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

    @property
    def wants_color(self) -> bool:
        return self.palette is not None or self.colors is not None

    @property
    def ordered(self) -> bool:
        return self.method.lower() == ORDERED

    def apply(self, image: Any, palette: list[Any] | None = None) -> Any:
        """Dither one image (PIL or array); `palette` overrides for --colors."""
        common: dict[str, Any] = dict(strength=self.strength, linear=self.linear,
                                      preserve_alpha=self.preserve_alpha)
        if self.levels is not None:
            common["levels"] = self.levels
        chosen = palette if palette is not None else self.palette
        if chosen is not None:
            common["palette"] = chosen
        if self.ordered:
            return grainel.ordered_dither(image, self.matrix, **common)
        return grainel.dither(image, self.method, serpentine=self.serpentine,
                              seed=self.seed, **common)

    def check(self) -> None:
        """Run the options once on a 1x1 picture.

        A bad method, level count, strength, matrix or palette would otherwise
        fail identically for every file; this turns it into one usage error
        worded by grainel itself.
        """
        probe = np.zeros((1, 1, 3), dtype=np.uint8)
        stand_in = palettes.NAMED["bw"][1] if self.colors is not None else None
        try:
            self.apply(probe, stand_in)
        except (ValueError, TypeError, OverflowError) as exc:
            # grainel notes which argument a conversion failed on; keep that.
            notes = "".join(f" ({note})" for note in getattr(exc, "__notes__", ()))
            raise OptionError(f"{exc}{notes}") from None
