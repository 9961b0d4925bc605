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

from . import matrices, palettes
from .batch import check_jobs, dither_files, output_paths
from .cli import main
from .errors import Cancelled, FileError, FormatError, OptionError, PlanError
from .fitting import fit_palette
from .formats import FORMATS
from .matrices import matrix
from .mix import MixPlan, mix_dither
from .one_file import FileOptions, dither_file
from .pictures import READABLE, Picture, read_image, read_picture
from .remap import RemapPlan, remap
from .settings import Settings
from .writing import write_image, write_picture

__all__ = [
    "FORMATS", "READABLE", "Cancelled", "FileError", "FileOptions", "FormatError", "OptionError",
    "Picture", "PlanError", "Settings", "check_jobs", "dither_file", "dither_files", "fit_palette", "main",
    "matrices", "matrix", "output_paths", "palettes", "read_image", "read_picture", "remap", "RemapPlan",
    "MixPlan", "mix_dither",
    "write_image", "write_picture",
]
