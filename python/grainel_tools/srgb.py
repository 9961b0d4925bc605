"""The sRGB curve: the light of each byte, and the byte of a light, as the native code has them.

One definition serves grainel, the companion's native code and this
package's Python: the native module evaluates its pow() from the C library
one value at a time, where NumPy may take powers from vector code that
rounds differently from one CPU to another, and the same picture must give
the same bytes everywhere.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native

# The light (0 to 1) of each sRGB byte, float64, read-only.
LINEAR: NDArray[np.float64] = np.frombuffer(_native.linear_light(), dtype=np.float64)


def srgb_bytes(light: ArrayLike) -> NDArray[np.uint8]:
    """The sRGB byte of every light value, clamped to [0, 1], halves to the even byte; same shape."""
    values = np.ascontiguousarray(light, dtype=np.float64)
    out = np.empty(values.shape, dtype=np.uint8)
    _native.srgb_bytes(values.reshape(-1).view(np.uint8), out.reshape(-1))
    return out
