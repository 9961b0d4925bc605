"""The command line's report of a batch: a one-line progress bar on a terminal, and lines that don't tear it."""

from __future__ import annotations

import threading
from typing import TextIO

from .errors import Cancelled, FileError, FileExists, reason


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

    def file_done(self, job: tuple[object, object], error: BaseException | None) -> None:
        """A file of the batch is finished: counted, and its failure told unless it was dropped."""
        if isinstance(error, FileExists):  # made since the batch was planned
            self.error(f"grainel: writing {error.path}: exists; use --force to replace it")
        elif error is not None and not isinstance(error, Cancelled):
            text = str(error) if isinstance(error, FileError) else f"{job[0]}: {reason(error)}"
            self.error(f"grainel: {text}")
        self.advance()

    def file_note(self, job: tuple[object, object], text: str) -> None:
        """What a file's work has to say (alpha flattened for its format, say)."""
        self.error(f"grainel: {text}")

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
