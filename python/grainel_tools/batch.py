"""Dithering many files: where each result goes, what must not be overwritten,
and running the batch on threads, processes or a Dask cluster.

    from grainel_tools import Settings, dither_files, output_paths, palettes
    jobs = output_paths(["photos"], "dithered", recursive=True)
    failures = dither_files(jobs, Settings(method="atkinson", palette=palettes.named("pico8")))
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Union

from PIL import Image

from .errors import Cancelled, FileError, FormatError, PlanError, reason
from .formats import encode, format_for, format_named, holds_alpha
from .pictures import READABLE, Picture, read_picture
from .safe_files import check_folder, is_special
from .pipeline import dither_picture, output_size
from .settings import Settings
from .sizing import WHITE
from .writing import write_data

STDIO = "-"  # standard input as a source, standard output as a destination
PathName = Union[str, "os.PathLike[str]"]
Job = tuple[PathName, PathName]


@dataclass(frozen=True)
class FileOptions:
    """How files are read and written.

    `color_managed=False` keeps pixel values as stored instead of converting
    an embedded ICC profile to sRGB. `replace` lets results replace existing
    files, inputs included. `lossy` allows JPEG output. `max_pixels` refuses
    larger images, and results (0: no limit), and takes the place of
    Pillow's own limit in the process that reads. `format` is the format
    for standard output.
    """

    color_managed: bool = True
    replace: bool = False
    lossy: bool = False
    max_pixels: int | None = None
    format: str | None = None


def output_paths(inputs: Sequence[PathName], out_dir: PathName | None, *, recursive: bool = False,
                 ext: str = ".png", suffix: str = "",
                 on_skipped: Callable[[Path, int], None] | None = None) -> list[tuple[Path, Path]]:
    """Pair each input file with its result, named <stem><suffix><ext>, in `out_dir` or beside it.

    A directory stands for the image files in it (by READABLE extension,
    hidden ones skipped); with `recursive` its subfolders too, mirrored
    under `out_dir`. Without it, `on_skipped(folder, count)` hears of the
    subfolders left out. Results are never taken as inputs: `out_dir` is
    not searched, nor is a file found in a folder that another input's
    result would replace (the `a-dithered.png` of `a.png`, on a second run).
    """
    out = None if out_dir is None else Path(out_dir)
    results = None if out is None else _identity(out)
    jobs: list[tuple[Path, Path]] = []
    found: set[Path] = set()
    for name in inputs:
        root = Path(name)
        if not root.is_dir():
            jobs.append((root, (out or root.parent) / (root.stem + suffix + ext)))
            continue
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith(".")
                                   and _identity(Path(folder, d)) != results)
            if not recursive:
                if subfolders and on_skipped:
                    on_skipped(root, len(subfolders))
                subfolders.clear()
            target = Path(folder) if out is None else out / Path(folder).relative_to(root)
            here = [Path(folder, f) for f in sorted(files)
                    if not f.startswith(".") and Path(f).suffix.lower() in READABLE]
            found.update(here)
            jobs += [(src, target / (src.stem + suffix + ext)) for src in here]
    written = {_identity(dst): src for src, dst in jobs}
    return [(src, dst) for src, dst in jobs
            if src not in found or written.get(_identity(src), src) == src]


def check_jobs(jobs: Iterable[Job], *, replace: bool = False, hint: str = "replace=True") -> None:
    """Refuse, before any work, a batch that would overwrite a file it was not allowed to.

    Two inputs with one result are always refused; an existing result (an
    input above all) only without `replace`. `hint` names the way to allow
    it in the messages.
    """
    problems: list[str] = []
    writers: dict[str, Path] = {}
    inputs = {_identity(Path(src)) for src, _ in jobs if src != STDIO}
    for src, dst in jobs:
        if dst == STDIO:
            continue
        target = Path(dst)
        key = _identity(target)
        if key in writers:
            problems.append(f"{writers[key]} and {src} would both be written to {target}")
        writers[key] = Path(src)
        if not replace and os.path.lexists(target) and not is_special(target):
            what = "is an input" if key in inputs else "exists"
            problems.append(f"{target} {what}; use {hint} to replace it")
    if problems:
        more = f"\n(and {len(problems) - 5} more)" if len(problems) > 5 else ""
        raise PlanError("\n".join(problems[:5]) + more)


def _identity(path: Path) -> str:
    # One name per file: symbolic links and "a/../b" resolved.
    return os.path.normcase(os.path.realpath(path))


def _has_alpha(picture: Picture) -> bool:
    return any(f.mode.endswith("A") and f.getchannel("A").histogram()[255] < f.width * f.height
               for f in picture.frames)


def dither_file(src: PathName, dst: PathName, settings: Settings = Settings(),
                options: FileOptions = FileOptions(),
                cancelled: Callable[[], bool] | None = None) -> list[str]:
    """Read, dither and write one file ("-": standard input or output); returns notes for the user.

    `cancelled` is asked between the steps; once it says yes the file is
    dropped (Cancelled) rather than written. A picture with transparency
    written to a format without it is flattened onto white, unless
    `settings.background` says otherwise, and a note says so.
    """
    return _dither_file(src, dst, settings, options, cancelled, contextlib.nullcontext)


def _dither_file(src: PathName, dst: PathName, settings: Settings, options: FileOptions,
                 cancelled: Callable[[], bool] | None,
                 writing: Callable[[], contextlib.AbstractContextManager[Any]]) -> list[str]:
    def checkpoint() -> None:
        if cancelled is not None and cancelled():
            raise Cancelled(str(src))

    notes: list[str] = []
    shown = "standard output" if dst == STDIO else dst
    if options.max_pixels is not None:
        Image.MAX_IMAGE_PIXELS = None  # the check below is the one in force
    try:
        fmt = format_named(options.format or "png") if dst == STDIO else format_for(Path(dst))
    except FormatError as exc:
        raise FileError("writing", shown, str(exc)) from None
    checkpoint()
    source: Any = src
    if src == STDIO:
        source = io.BytesIO(sys.stdin.buffer.read())
        source.name = "standard input"
    picture = read_picture(source, color_managed=options.color_managed,
                           max_pixels=options.max_pixels or None)
    width, height = output_size(settings, picture.frames[0].size)
    if options.max_pixels and width * height > options.max_pixels:
        raise FileError("writing", shown, f"the result, {width}x{height}, is over the limit of "
                        f"{options.max_pixels} pixels (--max-pixels)")
    if settings.background is None and not holds_alpha(fmt) and _has_alpha(picture):
        settings = replace(settings, background=WHITE)
        notes.append(f"{shown}: {fmt.name} holds no transparency; flattened onto white "
                     "(--background sets the colour)")
    checkpoint()
    result = dither_picture(settings, picture)
    checkpoint()
    try:
        encoded = encode(result, fmt, lossy=options.lossy)
    except (FormatError, OSError) as exc:
        raise FileError("writing", shown, reason(exc)) from None
    checkpoint()
    with writing():
        if dst == STDIO:
            write_data(encoded, sys.stdout.buffer)
            sys.stdout.buffer.flush()
        else:
            write_data(encoded, dst, replace=options.replace, cancelled=cancelled)
    return notes


class _Writers:
    """The files of a batch being written: once stopped, it waits for these and lets no more start."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._count = 0
        self._closed = False

    @contextlib.contextmanager
    def entry(self) -> Iterator[None]:
        with self._changed:
            if self._closed:
                raise Cancelled()
            self._count += 1
        try:
            yield
        finally:
            with self._changed:
                self._count -= 1
                self._changed.notify_all()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.wait_for(lambda: self._count == 0)


def dither_files(jobs: Iterable[Job], settings: Settings = Settings(),
                 options: FileOptions = FileOptions(), *, executor: Any = None,
                 on_done: Callable[[Job, BaseException | None], None] | None = None,
                 on_note: Callable[[Job, str], None] | None = None,
                 stop: threading.Event | None = None) -> list[tuple[Job, BaseException]]:
    """Dither (source, destination) pairs; returns the failures, the others carry on.

    Checked first, before any image is read: no result may overwrite a file
    (PlanError, see check_jobs) and every output folder must be writable
    (FileError). `executor` is any concurrent.futures.Executor, or a
    dask.distributed Client (paths must then name storage its workers see);
    by default a thread pool with one thread per CPU. `on_note` hears what
    dither_file has to say about a file. Setting `stop` (from a signal
    handler, say) or a KeyboardInterrupt ends the batch early: queued files
    are dropped (failing with Cancelled), and none is left half-written. On
    threads, it returns once no file is being written: files still being
    read or dithered fail with Cancelled and are dropped in the background,
    writing nothing. Elsewhere the running ones finish or are dropped first.
    """
    jobs = list(jobs)
    check_jobs(jobs, replace=options.replace, hint="FileOptions(replace=True)")
    folders: dict[Path, list[Path]] = {}
    for _, dst in jobs:
        if dst != STDIO:
            folders.setdefault(Path(dst).parent, []).append(Path(dst))
    for folder, outputs in sorted(folders.items()):
        check_folder(folder, outputs[0] if len(outputs) == 1 else folder)
    stop = stop or threading.Event()
    own = executor is None
    pool: Executor = ThreadPoolExecutor(os.cpu_count()) if own else _as_executor(executor)
    local = isinstance(pool, ThreadPoolExecutor)
    # A thread shares the stop flag and the working directory; a process or
    # a cluster worker gets neither.
    writers = _Writers()
    if local:
        futures = {pool.submit(_dither_file, *job, settings, options, stop.is_set, writers.entry): job
                   for job in jobs}
    else:
        futures = {pool.submit(dither_file, _absolute(job[0]), _absolute(job[1]), settings, options): job
                   for job in jobs}
    failures: list[tuple[Job, BaseException]] = []

    def finish(future: Future[list[str]]) -> None:
        job = futures[future]
        ran = future.done() and not future.cancelled()
        error = future.exception() if ran else Cancelled(str(job[0]))
        if error is not None:
            failures.append((job, error))
        elif on_note is not None:
            for note in future.result() or ():
                on_note(job, note)
        if on_done is not None:
            on_done(job, error)

    try:
        pending = set(futures)
        while pending:
            # A short wait, so that a stop request is seen without any signal
            # having to interrupt this thread.
            finished, pending = wait(pending, timeout=0.02, return_when=FIRST_COMPLETED)
            for future in finished:
                finish(future)
            if stop.is_set():
                for future in pending:
                    future.cancel()
                if local:  # what is still running has not begun to write, and never will
                    writers.close()
                    for future in pending:
                        finish(future)
                    break
    except BaseException:  # KeyboardInterrupt: let running files finish or drop out first
        stop.set()
        for future in futures:
            future.cancel()
        wait(futures)
        raise
    finally:
        if own:
            pool.shutdown(wait=not stop.is_set(), cancel_futures=True)
    return failures


def _absolute(path: PathName) -> PathName:
    return path if path == STDIO else Path(path).absolute()


def _as_executor(executor: Any) -> Executor:
    # A dask.distributed Client offers the standard interface through get_executor().
    if not isinstance(executor, Executor) and hasattr(executor, "get_executor"):
        executor = executor.get_executor()
    if not isinstance(executor, Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor or a Dask client, "
                        f"got {type(executor).__name__}")
    return executor
