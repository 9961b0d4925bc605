# The companion's native module: plain byte buffers in and out; the Python
# functions of grainel_tools check and shape every argument first.
from typing_extensions import Buffer

def remap(image: Buffer, palette: Buffer, out: Buffer, method: str, strength: float,
          serpentine: bool) -> None: ...
