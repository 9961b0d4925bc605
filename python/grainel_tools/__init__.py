"""Tools around grainel: the `grainel` command and its helpers, usable from Python.

    from grainel_tools import palettes, read_image, write_image, dither_files

- `palettes`: named palettes (`palettes.named("pico8")`, `palettes.NAMED`),
  palette files (`read_gpl`, `read_hex`) and palettes from images.
- `fit_palette`: an N-colour palette fitted to a picture (OKLab k-means,
  extremes kept).
- `remap`, `RemapPlan`: a picture to a palette's colours as it looks (error
  diffused in linear light, in full where a band would show), on threads;
  a plan sets a palette up once for many pictures.
- `matrices`, `matrix`: named threshold matrices for ordered dither (blue
  noise, halftone and line screens): `matrix("bluenoise64")`.
- `read_image`, `read_picture`: image files as grainel takes them (upright,
  sRGB, L / LA / RGB / RGBA, every frame of an animation).
- `write_image`, `write_picture`: results written compactly, exactly and
  safely (never half-written, never over an existing file unasked).
- `dither_files`, `output_paths`, `Settings`, `FileOptions`: the batch
  runner of the command line, on threads or a Dask cluster.
- `main`: the command line itself.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # what the names below are, for type checkers
    from . import matrices, palettes
    from .batch import check_jobs, dither_files, output_paths
    from .command import main
    from .errors import Cancelled, FileError, FormatError, OptionError, PlanError
    from .fitting import fit_palette
    from .formats import FORMATS
    from .matrices import matrix
    from .mix import MixPlan, mix_dither
    from .one_file import FileOptions, dither_file
    from .pictures import READABLE, Picture, read_image, read_picture
    from .remapping import RemapPlan, remap
    from .settings import Settings
    from .writing import write_image, write_picture

# Each public name and the module it lives in, imported the first time the
# name is used (`grainel --version` needs neither NumPy nor Pillow); and the
# public modules.
_MODULES = ("matrices", "palettes")
_HOMES = {
    "FORMATS": "formats", "READABLE": "pictures", "Cancelled": "errors", "FileError": "errors",
    "FileOptions": "one_file", "FormatError": "errors", "OptionError": "errors", "Picture": "pictures",
    "PlanError": "errors", "Settings": "settings", "check_jobs": "batch", "dither_file": "one_file",
    "dither_files": "batch", "fit_palette": "fitting", "main": "command",
    "matrix": "matrices", "output_paths": "batch", "read_image": "pictures",
    "read_picture": "pictures", "remap": "remapping", "RemapPlan": "remapping", "MixPlan": "mix",
    "mix_dither": "mix", "write_image": "writing", "write_picture": "writing",
}

__all__ = [
    "FORMATS", "READABLE", "Cancelled", "FileError", "FileOptions", "FormatError", "OptionError",
    "Picture", "PlanError", "Settings", "check_jobs", "dither_file", "dither_files", "fit_palette", "main",
    "matrices", "matrix", "output_paths", "palettes", "read_image", "read_picture", "remap", "RemapPlan",
    "MixPlan", "mix_dither",
    "write_image", "write_picture",
]


def __getattr__(name: str) -> Any:
    if name in _MODULES:
        return importlib.import_module(f".{name}", __name__)
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
