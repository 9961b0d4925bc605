"""Dithering many files: where each result goes, what must not be overwritten,
and running the batch on threads, processes or a Dask cluster.

    from grainel_tools import Settings, dither_files, output_paths, palettes
    jobs = output_paths(["photos"], "dithered", recursive=True)
    failures = dither_files(jobs, Settings(method="atkinson", palette=palettes.named("pico8")))
"""

from __future__ import annotations

import io
import os
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, ThreadPoolExecutor, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Union

from PIL import Image

from .pictures import READABLE, read_picture
from .safe_files import check_folder, is_special
from .settings import Settings
from .writing import write_picture

STDIO = "-"  # standard input as a source, standard output as a destination
PathName = Union[str, "os.PathLike[str]"]
Job = tuple[PathName, PathName]


@dataclass(frozen=True)
class FileOptions:
    """How files are read and written.

    `color_managed=False` keeps pixel values as stored instead of converting
    an embedded ICC profile to sRGB. `replace` lets results replace existing
    files, inputs included. `lossy` allows JPEG output. `max_pixels` refuses
    larger images (0: no limit) and takes the place of Pillow's own limit in
    the process that reads. `format` is the format for standard output.
    """

    color_managed: bool = True
    replace: bool = False
    lossy: bool = False
    max_pixels: int | None = None
    format: str | None = None


class PlanError(ValueError):
    """A batch that would overwrite a file or write one output twice; nothing was done."""


class Cancelled(Exception):
    """The batch was interrupted before this file was written."""


def output_paths(inputs: Sequence[PathName], out_dir: PathName, *, recursive: bool = False,
                 ext: str = ".png",
                 on_skipped: Callable[[Path, int], None] | None = None) -> list[tuple[Path, Path]]:
    """Pair each input file with its result in `out_dir`, named <stem><ext>.

    A directory stands for the image files in it (by READABLE extension,
    hidden ones skipped); with `recursive` its subfolders too, mirrored
    under `out_dir`. Without it, `on_skipped(folder, count)` hears of the
    subfolders left out.
    """
    out = Path(out_dir)
    jobs: list[tuple[Path, Path]] = []
    for name in inputs:
        root = Path(name)
        if not root.is_dir():
            jobs.append((root, out / (root.stem + ext)))
            continue
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
            if not recursive:
                if subfolders and on_skipped:
                    on_skipped(root, len(subfolders))
                subfolders.clear()
            relative = Path(folder).relative_to(root)
            jobs += [(Path(folder, f), out / relative / (Path(f).stem + ext)) for f in sorted(files)
                     if not f.startswith(".") and Path(f).suffix.lower() in READABLE]
    return jobs


def check_jobs(jobs: Iterable[Job], *, replace: bool = False) -> None:
    """Refuse, before any work, a batch that would overwrite a file it was not allowed to.

    Two inputs with one result are always refused; an existing result (an
    input above all) only without `replace`.
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
            problems.append(f"{target} {what}; use --force to replace it")
    if problems:
        more = f"\n(and {len(problems) - 5} more)" if len(problems) > 5 else ""
        raise PlanError("\n".join(problems[:5]) + more)


def _identity(path: Path) -> str:
    # One name per file: symbolic links and "a/../b" resolved.
    return os.path.normcase(os.path.realpath(path))


def dither_file(src: PathName, dst: PathName, settings: Settings = Settings(),
                options: FileOptions = FileOptions(),
                cancelled: Callable[[], bool] | None = None) -> None:
    """Read, dither and write one file ("-": standard input or output).

    `cancelled` is asked between the steps; once it says yes the file is
    dropped (Cancelled) rather than written.
    """
    def checkpoint() -> None:
        if cancelled is not None and cancelled():
            raise Cancelled(str(src))

    if options.max_pixels is not None:
        Image.MAX_IMAGE_PIXELS = None  # the check below is the one in force
    checkpoint()
    source: Any = src
    if src == STDIO:
        source = io.BytesIO(sys.stdin.buffer.read())
        source.name = "standard input"
    picture = read_picture(source, color_managed=options.color_managed,
                           max_pixels=options.max_pixels or None)
    checkpoint()
    result = settings.apply_picture(picture)
    checkpoint()
    if dst == STDIO:
        write_picture(result, sys.stdout.buffer, format=options.format, lossy=options.lossy)
        sys.stdout.buffer.flush()
    else:
        write_picture(result, dst, replace=options.replace, lossy=options.lossy)


def dither_files(jobs: Iterable[Job], settings: Settings = Settings(),
                 options: FileOptions = FileOptions(), *, executor: Any = None,
                 on_done: Callable[[Job, BaseException | None], None] | None = None,
                 stop: threading.Event | None = None) -> list[tuple[Job, BaseException]]:
    """Dither (source, destination) pairs; returns the failures, the others carry on.

    Checked first, before any image is read: no result may overwrite a file
    (PlanError, see check_jobs) and every output folder must be writable
    (FileError). `executor` is any concurrent.futures.Executor, or a
    dask.distributed Client (paths must then name storage its workers see);
    by default a thread pool with one thread per CPU. Setting `stop` (from a
    signal handler, say) or a KeyboardInterrupt ends the batch early: queued
    files are dropped (failing with Cancelled), running ones finish or are
    dropped, and none is left half-written.
    """
    jobs = list(jobs)
    check_jobs(jobs, replace=options.replace)
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
    cancelled = stop.is_set if local else None
    futures = {pool.submit(dither_file, *(job if local else (_absolute(job[0]), _absolute(job[1]))),
                           settings, options, cancelled): job
               for job in jobs}
    failures: list[tuple[Job, BaseException]] = []
    try:
        pending = set(futures)
        while pending:
            # A short wait, so that a stop request is seen without any signal
            # having to interrupt this thread.
            finished, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
            for future in finished:
                job = futures[future]
                error = Cancelled(str(job[0])) if future.cancelled() else future.exception()
                if error is not None:
                    failures.append((job, error))
                if on_done is not None:
                    on_done(job, error)
            if stop.is_set():
                for future in pending:
                    future.cancel()
    except BaseException:  # KeyboardInterrupt: let running files finish or drop out first
        stop.set()
        for future in futures:
            future.cancel()
        wait(futures)
        raise
    finally:
        if own:
            pool.shutdown(wait=True)
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
