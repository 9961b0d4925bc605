"""The cores this process may run on, shared between files and the threads of each."""

from __future__ import annotations

import os


def available_cores() -> int:
    """The cores the process may use: its affinity where the platform has one, else every CPU."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # macOS and Windows
        return os.cpu_count() or 1


def threads_per_file(workers: int, files: int) -> int:
    """Threads for each file's work when `workers` files at most run at once: the cores shared out."""
    return max(1, available_cores() // max(1, min(workers, files)))
