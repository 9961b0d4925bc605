# The companion's native module: C-contiguous uint8 arrays in and out; the
# Python functions of grainel_tools check and shape every argument first.
import numpy as np
from numpy.typing import NDArray

def remap(image: NDArray[np.uint8], palette: NDArray[np.uint8], out: NDArray[np.uint8],
          method: str, strength: float, serpentine: bool) -> None: ...
def fit(image: NDArray[np.uint8], count: int, keep: NDArray[np.uint8], iterations: int,
        final_iterations: int) -> bytes: ...
