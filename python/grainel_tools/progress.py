"""A one-line progress bar on a terminal, and error lines that don't tear it."""

from __future__ import annotations

import threading
from typing import TextIO


class Progress:
    """Counts finished files; draws `[####....] 3/10` when `enabled`.

    Workers report from several threads, so drawing and error lines share a
    lock: an error first wipes the bar, prints its line, then redraws.
    """

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.stream = stream
        self.enabled = enabled
        self._lock = threading.Lock()
        self._draw()

    def advance(self) -> None:
        with self._lock:
            self.done += 1
            self._draw()

    def error(self, line: str) -> None:
        with self._lock:
            self._wipe()
            print(line, file=self.stream)
            self._draw()

    def close(self) -> None:
        with self._lock:
            self._wipe()
            self.enabled = False

    def _draw(self) -> None:
        if not self.enabled:
            return
        filled = self.WIDTH * self.done // max(self.total, 1)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {self.done}/{self.total}")
        self.stream.flush()

    def _wipe(self) -> None:
        if self.enabled:
            self.stream.write("\r" + " " * (self.WIDTH + 24) + "\r")
            self.stream.flush()
