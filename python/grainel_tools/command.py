"""The `grainel` program's entry: --version answered before the modules dithering needs are loaded."""

from __future__ import annotations

import argparse
import sys

import grainel


def main(argv: list[str] | None = None) -> int:
    """Run the command line (cli.main); returns the exit status."""
    front = argparse.ArgumentParser(prog="grainel", add_help=False, allow_abbrev=False)
    front.add_argument("--version", action="version", version=f"grainel {grainel.__version__}")
    try:
        front.parse_known_args(sys.argv[1:] if argv is None else argv)
    except SystemExit as exc:  # the version, or a malformed --version=...
        return exc.code if isinstance(exc.code, int) else 0
    if argv is None:
        # Run as the program, it owns its process: picture-sized buffers,
        # made and freed on several threads, go back to the system as they
        # are freed instead of staying in each thread's heap (at 2048 x 2048
        # and 256 colours, a peak of 123 MiB instead of 150).
        from ._native import give_back_freed_buffers

        give_back_freed_buffers()
    from .cli import main as run

    return run(argv)
