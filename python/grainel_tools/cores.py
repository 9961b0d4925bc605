"""The cores this process may run on."""

from __future__ import annotations

import os


def available_cores() -> int:
    """The cores the process may use: its affinity where the platform has one, else every CPU."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # macOS and Windows
        return os.cpu_count() or 1

