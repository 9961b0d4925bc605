# Type stubs for the grainel extension module.
#
# Each dithering function returns the kind of image it was given: a PIL image
# for a PIL image, otherwise a new uint8 NumPy array. The array overload comes
# first: a PIL image is not an ArrayLike to a type checker, so it falls through
# to the PIL overload, and where Pillow is not installed (PIL's Image then
# reads as Any) arrays still resolve to arrays instead of to Any.

from collections.abc import Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from PIL.Image import Image as PILImage

__version__: str
__all__ = [
    "__version__",
    "dither",
    "ordered_dither",
    "error_diffusion",
    "random_dither",
    "available_matrices",
    "available_methods",
]

# A colour is '#rgb' / '#rrggbb' text or an (r, g, b) sequence of integers;
# an (m, 3) integer array works as a whole palette too.
_Color: TypeAlias = str | Sequence[SupportsIndex] | NDArray[np.integer[Any]]
_Palette: TypeAlias = Iterable[_Color] | NDArray[np.integer[Any]]
# A Bayer name, a Bayer size, or a custom 2-D matrix of ranks or thresholds.
_Matrix: TypeAlias = str | int | ArrayLike
_Strength: TypeAlias = SupportsFloat | SupportsIndex
_Bool: TypeAlias = bool | np.bool

@overload
def dither(
    image: ArrayLike,
    method: str = "floyd_steinberg",
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    serpentine: _Bool = False,
    seed: SupportsIndex | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> NDArray[np.uint8]: ...
@overload
def dither(
    image: PILImage,
    method: str = "floyd_steinberg",
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    serpentine: _Bool = False,
    seed: SupportsIndex | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> PILImage: ...
@overload
def ordered_dither(
    image: ArrayLike,
    matrix: _Matrix | None = None,
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> NDArray[np.uint8]: ...
@overload
def ordered_dither(
    image: PILImage,
    matrix: _Matrix | None = None,
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> PILImage: ...
@overload
def error_diffusion(
    image: ArrayLike,
    method: str = "floyd_steinberg",
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    serpentine: _Bool = False,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> NDArray[np.uint8]: ...
@overload
def error_diffusion(
    image: PILImage,
    method: str = "floyd_steinberg",
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    serpentine: _Bool = False,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> PILImage: ...
@overload
def random_dither(
    image: ArrayLike,
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    seed: SupportsIndex | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> NDArray[np.uint8]: ...
@overload
def random_dither(
    image: PILImage,
    *,
    levels: SupportsIndex = 2,
    palette: _Palette | None = None,
    seed: SupportsIndex | None = None,
    strength: _Strength = 1.0,
    linear: _Bool = False,
    preserve_alpha: _Bool = True,
) -> PILImage: ...
def available_methods() -> list[str]: ...
def available_matrices() -> list[str]: ...
