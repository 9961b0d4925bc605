"""Tools around grainel: the `grainel` command, named palettes and threshold matrices, palette files and image files."""

from .cli import main
from .matrices import matrix

__all__ = ["main", "matrix"]
