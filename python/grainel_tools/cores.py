"""The cores this process may run on, shared between files and the threads of each."""

from __future__ import annotations

import os


def available_cores() -> int:
    """The cores the process may use: its affinity where the platform has one, else every CPU."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # macOS and Windows
        return os.cpu_count() or 1


# Pictures from this many pixels up are fitted and remapped on every core by
# default: below it, starting threads costs about what they save.
THREADED_PIXELS = 1 << 20


def threads_for(threads: int | None, pixels: int) -> int:
    """The threads a call asked for, checked; for None, every core for a picture of `pixels` from THREADED_PIXELS up."""
    if threads is None:
        return available_cores() if pixels >= THREADED_PIXELS else 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads


def threads_per_file(workers: int, files: int) -> int:
    """Threads for each file's work when `workers` files at most run at once: the cores shared out."""
    return max(1, available_cores() // max(1, min(workers, files)))
