# Type stubs for the grainel extension module.
#
# Each dithering function returns the kind of image it was given: a PIL image
# for a PIL image, otherwise a new uint8 NumPy array. The array overload comes
# first: a PIL image is not an array to a type checker, so it falls through
# to the PIL overload, and where Pillow is not installed (PIL's Image then
# reads as Any) arrays still resolve to arrays instead of to Any.
#
# The types say what works, not everything numpy.asarray could be handed:
# a plain list of ints becomes an int64 array, which the module refuses, so
# an image is a uint8 array or an object whose __array__ gives one.

from collections.abc import Iterator, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, overload

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

class _UInt8ArrayLike(Protocol):
    def __array__(self) -> NDArray[np.uint8]: ...

_Image: TypeAlias = NDArray[np.uint8] | _UInt8ArrayLike

# A colour is '#rgb' / '#rrggbb' text or an (r, g, b) sequence of integers.
_Color: TypeAlias = str | Sequence[SupportsIndex] | NDArray[np.integer[Any]]

class _Colors(Protocol):
    # Any collection of colours: a list, a tuple, a set, an (m, 3) array. A str
    # is refused, as by the module: its __contains__ takes only str.
    def __iter__(self) -> Iterator[_Color]: ...
    def __contains__(self, value: object, /) -> bool: ...

_Palette: TypeAlias = _Colors | Iterator[_Color] | NDArray[np.integer[Any]]
# A Bayer name, a Bayer size, or a custom 2-D matrix of ranks or thresholds.
_Matrix: TypeAlias = str | int | ArrayLike
_Strength: TypeAlias = SupportsFloat | SupportsIndex
_Bool: TypeAlias = bool | np.bool

@overload
def dither(
    image: _Image,
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
    image: _Image,
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
    image: _Image,
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
    image: _Image,
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
