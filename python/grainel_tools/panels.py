"""E-paper panels: the colours a driver is sent, and the colours the panel shows for them.

    from grainel_tools import panels, remap
    panel = panels.named("spectra6")
    out = remap(photo, panel)                 # dithered as it looks, written as it is sent
    shown = panel.seen_of(out)                # the result as the panel shows it

A panel's driver matches each pixel against its nominal colours exactly, so
a file must carry those; but the inks look far darker and duller than the
nominal values say. Dithering against the nominal colours computes the
wrong error everywhere. A `Panel` holds both palettes in one index order:
the picture is dithered against the seen colours as an eye adapted to the
panel's white sees them (`appearance`), and each pixel is then written as
the sent colour at the same index.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from .color_arrays import palette_array, rgb_key
from .errors import PaletteError
from .palettes import NAMED as PALETTES, Color, _lookup_key
from .srgb import LINEAR, srgb_bytes


@dataclass(frozen=True)
class Panel:
    """Two palettes in one order: `sent` (what the driver expects) and `seen` (how it looks).

    `seen` is measured under some light, so its white is a grey; `appearance`
    is `seen` scaled in linear light, channel by channel, so that the
    panel's white (what is seen for the lightest sent colour) becomes
    white, as the eye adapts to paper. remap and mix_dither take a Panel as
    their palette: the picture is dithered to `appearance`, and written in
    `sent`.
    """

    sent: tuple[Color, ...]
    seen: tuple[Color, ...]
    name: str = ""
    appearance: tuple[Color, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        sent = _colors(self.sent, "sent")
        seen = _colors(self.seen, "seen")
        what = f"panel {self.name}" if self.name else "panel"
        if len(sent) != len(seen):
            raise PaletteError(f"{what}: {len(seen)} seen colours for {len(sent)} sent ones; "
                               "give one seen colour for each sent colour, in the same order")
        if not 2 <= len(sent) <= 256:  # a file's indices are bytes
            raise PaletteError(f"{what}: a panel shows 2 to 256 colours, got {len(sent)}")
        appearance = _adapted(np.array(seen, np.uint8), _lightest(np.array(sent, np.uint8)))
        if len({*map(tuple, appearance.tolist())}) < len(seen):
            raise PaletteError(f"{what}: two seen colours look the same; each index needs a colour "
                               "of its own to be told apart")
        object.__setattr__(self, "sent", sent)
        object.__setattr__(self, "seen", seen)
        object.__setattr__(self, "appearance", tuple(map(tuple, appearance.tolist())))

    def with_seen(self, seen: Any) -> Panel:
        """The same panel with colours measured anew, given in the order of `sent`."""
        return Panel(self.sent, seen, self.name)

    def indices(self, image: Any, colors: str = "sent") -> np.ndarray:
        """The (H, W) uint8 index of every pixel of an image in `colors` ('sent', 'seen', 'appearance')."""
        table = np.array(getattr(self, colors), np.uint8)
        return color_indices(np.asarray(image)[..., :3], table, f"panel's {colors}")

    def sent_of(self, image: Any) -> Any:
        """An image in appearance colours (as dithered) with each pixel its sent colour."""
        return _recolored(image, self.appearance, self.sent, "panel's appearance")

    def seen_of(self, image: Any) -> Any:
        """An image in sent colours (as written) drawn in seen colours: how the panel shows it."""
        return _recolored(image, self.sent, self.seen, "panel's sent")


def _colors(colors: Any, name: str) -> tuple[Color, ...]:
    try:
        return tuple((int(r), int(g), int(b)) for r, g, b in palette_array(colors, f"{name} colours"))
    except (TypeError, ValueError) as exc:
        raise PaletteError(str(exc)) from None


def _lightest(colors: np.ndarray) -> int:
    light = LINEAR[colors]
    return int(np.argmax(light[:, 0] * 0.2126 + light[:, 1] * 0.7152 + light[:, 2] * 0.0722))


def _adapted(seen: np.ndarray, white_index: int) -> np.ndarray:
    """The seen colours with the panel's white made white: von Kries scaling of linear sRGB.

    A measured ink may be lighter in one channel than the white (a yellow
    in red); it stays at full light there.
    """
    light = LINEAR[seen]
    white = light[white_index]
    return srgb_bytes(light / np.maximum(white, 1e-6))


def color_indices(pixels: np.ndarray, table: np.ndarray, name: str) -> np.ndarray:
    """The index in `table` ((k, 3) uint8) of every pixel's colour; `name` says whose colours in the error."""
    keys = rgb_key(table)
    order = np.argsort(keys, kind="stable")
    pixel_keys = rgb_key(pixels)
    at = np.minimum(np.searchsorted(keys[order], pixel_keys), len(keys) - 1)
    found = keys[order][at] == pixel_keys
    if not found.all():
        y, x = np.argwhere(~found)[0]
        raise ValueError(f"pixel ({x}, {y}) is {tuple(int(v) for v in pixels[y, x])}, "
                         f"not one of the {name} colours")
    index: np.ndarray = order[at].astype(np.uint8)
    return index


def _recolored(image: Any, source: Sequence[Color], target: Sequence[Color], name: str) -> Any:
    """Each pixel of `image` (array or PIL image, alpha kept) in `source` as its `target` colour."""
    from_pil = not isinstance(image, np.ndarray)
    pixels = np.asarray(image)
    index = color_indices(pixels[..., :3], np.array(source, np.uint8), name)
    out = pixels.copy()
    out[..., :3] = np.array(target, np.uint8)[index]
    if from_pil:
        from PIL import Image

        return Image.fromarray(out, image.mode)
    return out


class Measured(NamedTuple):
    description: str
    seen: list[Color]


# How the shipped e-paper palettes look, in their index order (see the README
# for the sources of the measured ones).
MEASURED: dict[str, Measured] = {
    # A published photographic measurement of a 7.3" Spectra 6 panel.
    "spectra6": Measured("measured on a 7.3\" Spectra 6 panel",
                         [(2, 2, 2), (179, 182, 171), (201, 184, 0), (117, 10, 0), (0, 47, 107),
                          (33, 69, 40)]),
    # The values widely used as the appearance of 7-colour ACeP panels.
    "acep7": Measured("the appearance widely used for 7-colour ACeP panels",
                      [(57, 48, 57), (255, 255, 255), (58, 91, 70), (61, 59, 94), (156, 72, 75),
                       (208, 190, 71), (177, 106, 73)]),
    # Estimates, not measurements: the black, white and red of the Spectra 6
    # measurement, whose electrophoretic inks these panels share.
    "epd_bwr": Measured("an estimate from the Spectra 6 measurement's black, white and red",
                        [(2, 2, 2), (179, 182, 171), (117, 10, 0)]),
    # The same black and white, with the driver's two greys (0x80, 0xc0)
    # given their nominal share of the light between them.
    "epd_gray4": Measured("an estimate: the Spectra 6 measurement's black and white, greys between",
                          [(2, 2, 2), (88, 90, 84), (134, 136, 128), (179, 182, 171)]),
}
# A second published measurement of a Spectra 6 panel, in the same order: for
# --seen, or Panel.with_seen, where a panel looks like it.
SPECTRA6_SECOND = [(25, 20, 38), (178, 193, 192), (199, 187, 0), (107, 17, 25), (24, 83, 154),
                   (42, 85, 49)]


_NAME_BY_KEY = {_lookup_key(name): name for name in MEASURED}


def named(name: str) -> Panel:
    """A shipped panel by name (see MEASURED); case, '-', '_' and spaces are ignored."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    key = _NAME_BY_KEY.get(_lookup_key(name))
    if key is None:
        raise PaletteError(f"unknown panel {name!r}; panels: {', '.join(MEASURED)}")
    return Panel(tuple(PALETTES[key].colors), tuple(MEASURED[key].seen), key)


def describe() -> list[str]:
    """One line per panel, for --list."""
    return [f"{name:<9} {len(m.seen):>4} colours  seen: {m.description}" for name, m in MEASURED.items()]


__all__ = ["MEASURED", "Panel", "SPECTRA6_SECOND", "describe", "named"]
