"""Tools around grainel: the `grainel` command, named palettes, palette files and image files."""

from .cli import main

__all__ = ["main"]
