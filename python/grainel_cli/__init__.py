"""Command-line front end of grainel: dither image files, batches and a demo."""

from .cli import main

__all__ = ["main"]
