"""A batch of files: planned (which result goes where, what must not be overwritten) and run.

    from grainel_tools import Settings, dither_files, output_paths, palettes
    jobs = output_paths(["photos"], "dithered", recursive=True)
    failures = dither_files(jobs, Settings(method="atkinson", palette=palettes.named("pico8")))

The command line's batch is planned here too, from its options (plan), and
run (run): its shared palette fitted first, its files on threads or a Dask
cluster, with a progress bar, and wound down cleanly when a signal asks
(stopped_by_signals). Each file's own work is one_file.py's.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from pathlib import Path
from types import FrameType
from typing import Any

from . import palettes
from .cores import available_cores, threads_per_file
from .errors import Cancelled, FileError, FormatError, PaletteError, PlanError, UsageError, reason
from .formats import FORMATS, STDIO, format_named, output_format
from .frame_files import DEFAULT_DURATION, FrameFiles, frame_files
from .one_file import FileOptions, Job, PathName, Source, WriteGate, dither_file, dither_file_gated, read_source
from .pictures import Picture, readable_extensions
from .pipeline import palette_for_all
from .progress import Progress
from .safe_files import check_folder, is_special
from .settings import Settings


def plan(args: argparse.Namespace) -> list[Job]:
    """The command line's inputs paired with their results, checked before any file is read.

    Anything that makes the batch impossible as given is a UsageError.
    """
    try:
        format_named(args.format or "png")
        ext = "." + (args.format or "png").lower().lstrip(".")
    except FormatError as exc:
        raise UsageError(str(exc)) from None
    paths, out_dir = list(args.paths), args.output_dir
    if out_dir == STDIO:
        raise UsageError("-o takes a folder; to write standard output, give - as OUT: grainel IN -")
    if out_dir is not None and os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UsageError(f"-o {out_dir}: not a folder")
    if args.suffix is not None and (not args.suffix or set(args.suffix) & {"/", os.sep}):
        raise UsageError(f"--suffix {args.suffix!r}: give the text to add to each name, like -dithered")
    if args.force and args.skip_existing:
        raise UsageError("--force replaces existing results and --skip-existing leaves them; give one")
    if out_dir is None and args.suffix is None and len(paths) > 1 and _is_folder(paths[-1]):
        out_dir = paths.pop()  # grainel a.png b.png dir/
    if out_dir is None and args.suffix is None:
        if len(paths) != 2:
            raise UsageError("give IN OUT, IN... DIR/, IN... -o DIR, or IN... --suffix S")
        src, dst = paths
        named = FORMATS.get(Path(dst).suffix.lower())
        if args.format is not None and dst != STDIO and named not in (None, format_named(args.format)):
            raise UsageError(f"--format {args.format} and OUT {dst} disagree: OUT's extension picks "
                             "the format of one image; --format is for -o DIR and standard output")
        jobs: list[Job] = [(_frames_of(src, dst, args) if Path(src).is_dir() else src, dst)]
    else:
        if not paths:
            raise UsageError("no input images")
        if STDIO in paths:
            raise UsageError("standard input needs an output file: grainel - OUT")

        def skipped(folder: Path, count: int) -> None:
            print(f"grainel: {folder}: {count} subfolder(s) skipped; -r takes them too",
                  file=sys.stderr)

        jobs = list(output_paths(paths, out_dir, recursive=args.recursive, ext=ext,
                                 suffix=args.suffix or "", on_skipped=skipped))
        if not jobs:
            raise UsageError("no image files in the given folders")
    for _, dst in jobs:
        try:
            fmt = output_format(dst, args.format)
        except FormatError as exc:
            raise UsageError(f"{dst}: {exc}") from None
        if fmt.lossy and not args.lossy:
            raise UsageError(f"{dst}: {fmt.name} is lossy and would change the dithered "
                             "pixels; add --lossy to write it anyway")
    if (args.fps is not None or args.duration is not None) and not isinstance(jobs[0][0], FrameFiles):
        raise UsageError(f"{'--fps' if args.fps is not None else '--duration'} times the frames of a "
                         "folder made into one animation: grainel FRAMES/ OUT.gif")
    if any(dst == STDIO for _, dst in jobs) and sys.stdout.isatty():
        raise UsageError("standard output is a terminal; redirect it to a file or a pipe")
    if args.skip_existing:
        kept = [(src, dst) for src, dst in jobs if dst == STDIO or not os.path.lexists(dst)]
        if len(kept) < len(jobs):
            print(f"grainel: {len(jobs) - len(kept)} result(s) exist already and were skipped",
                  file=sys.stderr)
        jobs = kept
    try:
        check_jobs(jobs, replace=args.force, hint="--force")
    except PlanError as exc:
        raise UsageError(str(exc)) from None
    if args.save_palette is not None:
        _check_palette_file(args.save_palette, jobs, replace=args.force)
    return jobs


def _frames_of(folder: str, dst: str, args: argparse.Namespace) -> FrameFiles:
    """IN a folder and OUT a file: the folder's pictures as the frames of one animation."""
    fmt = format_named(args.format or "png") if dst == STDIO else FORMATS.get(Path(dst).suffix.lower())
    if fmt is None or not fmt.frames:
        raise UsageError(f"{folder} is a folder: use -o DIR to process a folder, or give an "
                         "animation (.gif, .png, .webp, .tif) as OUT to make its pictures the frames")
    duration = DEFAULT_DURATION if args.duration is None else args.duration
    if args.fps is not None:
        if not args.fps > 0:
            raise UsageError(f"--fps must be above 0, got {args.fps}")
        duration = round(1000 / args.fps)
    if duration < 1:
        raise UsageError(f"--duration must be 1 ms or more, got {duration}")
    files = frame_files(Path(folder), readable_extensions(), duration)
    if not files.paths:
        raise UsageError(f"{folder}: no picture files to make frames of")
    return files


def _check_palette_file(path: str, jobs: list[Job], *, replace: bool) -> None:
    """--save-palette's file, refused before any work as a result would be."""
    key = _identity(Path(path))
    if any(dst != STDIO and _identity(Path(dst)) == key for _, dst in jobs):
        raise UsageError(f"--save-palette {path} is also a result")
    if any(_identity(path) == key for src, _ in jobs for path in _read_paths(src)):
        raise UsageError(f"--save-palette {path} is an input; give another file")
    if not replace and os.path.lexists(path):
        raise UsageError(f"{path} exists; use --force to replace it")


def _is_folder(path: str) -> bool:
    """A last PATH that names a folder to write into, as cp takes one."""
    return path != STDIO and (Path(path).is_dir() or path.endswith(("/", os.sep)))


def output_paths(inputs: Sequence[PathName], out_dir: PathName | None, *, recursive: bool = False,
                 ext: str = ".png", suffix: str = "",
                 on_skipped: Callable[[Path, int], None] | None = None) -> list[tuple[Path, Path]]:
    """Pair each input file with its result, named <stem><suffix><ext>, in `out_dir` or beside it.

    A directory stands for the image files in it (by readable_extensions(),
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
                    if not f.startswith(".") and Path(f).suffix.lower() in readable_extensions()]
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
    source_of: dict[str, Source] = {}  # each result's input, by the result's identity
    inputs = {_identity(path) for src, _ in jobs for path in _read_paths(src)}
    for src, dst in jobs:
        if dst == STDIO:
            continue
        target = Path(dst)
        key = _identity(target)
        if key in source_of:
            problems.append(f"{source_of[key]} and {src} would both be written to {target}")
        source_of[key] = src
        if not replace and os.path.lexists(target) and not is_special(target):
            what = "is an input" if key in inputs else "exists"
            problems.append(f"{target} {what}; use {hint} to replace it")
    if problems:
        more = f"\n(and {len(problems) - 5} more)" if len(problems) > 5 else ""
        raise PlanError("\n".join(problems[:5]) + more)


def _read_paths(src: Source) -> list[Path]:
    """The files a job reads."""
    if isinstance(src, FrameFiles):
        return list(src.paths)
    return [] if src == STDIO else [Path(src)]


def _identity(path: Path) -> str:
    # One name per file: symbolic links and "a/../b" resolved.
    return os.path.normcase(os.path.realpath(path))


def run(jobs: list[Job], settings: Settings, options: FileOptions, args: argparse.Namespace,
        stop: threading.Event) -> int:
    """Run the command line's planned batch; returns the exit status.

    A shared palette is fitted first if asked for; then the files go to
    --jobs threads or a --dask cluster, and one bad file is reported and
    skipped, not fatal. Setting `stop` winds the batch down.
    """
    settings = _shared_palette(jobs, settings, options, args)
    try:
        if args.dask is not None:
            executor = _dask_client(args.dask)
        else:
            workers = args.jobs or available_cores()
            executor = ThreadPoolExecutor(workers)
            settings = _sharing_cores(settings, workers, len(jobs))
    except FileError as exc:
        print(f"grainel: {exc}", file=sys.stderr)
        return 1
    progress = Progress(len(jobs), sys.stderr, len(jobs) > 1 and sys.stderr.isatty())
    try:
        failures = dither_files(jobs, settings, options, executor=executor, on_done=progress.file_done,
                                on_note=progress.file_note, stop=stop)
    except FileError as exc:  # an output folder that cannot be written
        progress.close()
        print(f"grainel: {exc}", file=sys.stderr)
        return 1
    finally:
        progress.close()
        if args.dask is not None:
            executor.close()
        else:  # once stopped, threads still dithering write nothing: no need to wait for them
            executor.shutdown(wait=not stop.is_set(), cancel_futures=True)
    return 1 if failures else 0


def _sharing_cores(settings: Settings, workers: int, files: int) -> Settings:
    """The settings with the remap's threads sharing the cores between the files run at once."""
    if settings.threads is not None:
        return settings
    return dataclasses.replace(settings, threads=threads_per_file(workers, files))


def _shared_palette(jobs: list[Job], settings: Settings, options: FileOptions,
                    args: argparse.Namespace) -> Settings:
    """--shared-palette and --save-palette: one palette, fitted to every input before the batch.

    Inputs that cannot be read are left out here; the batch reports them.
    """
    if not args.shared_palette and args.save_palette is None:
        return settings
    flag = "--shared-palette" if args.shared_palette else "--save-palette"
    if settings.colors is None:
        raise UsageError(f"{flag} applies to --colours")
    if args.save_palette is not None and not args.shared_palette and len(jobs) > 1:
        raise UsageError("--save-palette writes one palette: with several images, add --shared-palette")
    if any(src == STDIO for src, _ in jobs):
        raise UsageError(f"{flag} reads the images before the batch does; standard input can be read once")

    def readable() -> Iterator[Picture]:
        for src, _ in jobs:
            try:
                picture = read_source(src, options)
            except FileError:
                continue
            yield picture

    colors = palette_for_all(settings, readable())
    if colors is None:
        return settings
    if args.save_palette is not None:
        try:
            palettes.write_palette(colors, args.save_palette, replace=args.force)
        except PaletteError as exc:
            raise UsageError(str(exc)) from None
        except FileError as exc:
            print(f"grainel: {exc}", file=sys.stderr)
            raise SystemExit(1) from None
    return dataclasses.replace(settings, palette=colors, colors=None, keep=None, effort=None, fitted=True)


def _dask_client(address: str) -> Any:
    """A client of the Dask scheduler at `address`; a bad address is a usage error."""
    if not address.strip():
        raise UsageError("--dask needs the address of a Dask scheduler, like tcp://host:8786")
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        raise UsageError("--dask needs Dask's distributed package: pip install distributed") from None
    try:  # checked apart: a Client that fails to start leaves its event-loop thread behind
        importlib.import_module("distributed.comm").get_address_host_port(address)
    except ValueError as exc:
        raise UsageError(f"--dask {address}: {reason(exc)}") from None
    try:
        return distributed.Client(address, timeout=10)
    except (OSError, TimeoutError) as exc:
        raise FileError("connecting to", address, f"no Dask scheduler answers ({reason(exc)})") from None
    except Exception:  # noqa: BLE001  (a reply read as a message of some absurd size, say)
        raise FileError("connecting to", address, "what answers is not a Dask scheduler") from None


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
    own_pool = executor is None
    pool: Executor = ThreadPoolExecutor(available_cores()) if own_pool else _as_executor(executor)
    if own_pool:
        settings = _sharing_cores(settings, available_cores(), len(jobs))
    local = isinstance(pool, ThreadPoolExecutor)
    # A thread shares the stop flag and the working directory; a process or
    # a cluster worker gets neither.
    gate = WriteGate()
    if local:
        futures = {pool.submit(dither_file_gated, *job, settings, options, stop.is_set, gate.entry): job
                   for job in jobs}
    else:
        futures = {pool.submit(dither_file, _absolute_source(job[0]), _absolute(job[1]), settings, options): job
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
                    gate.close()
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
        if own_pool:
            pool.shutdown(wait=not stop.is_set(), cancel_futures=True)
    return failures


def _absolute(path: PathName) -> PathName:
    return path if path == STDIO else Path(path).absolute()


def _absolute_source(src: Source) -> Source:
    if isinstance(src, FrameFiles):
        return FrameFiles(src.folder.absolute(), tuple(p.absolute() for p in src.paths), src.duration)
    return _absolute(src)


def _as_executor(executor: Any) -> Executor:
    # A dask.distributed Client offers the standard interface through get_executor().
    if not isinstance(executor, Executor) and hasattr(executor, "get_executor"):
        executor = executor.get_executor()
    if not isinstance(executor, Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor or a Dask client, "
                        f"got {type(executor).__name__}")
    return executor


@contextlib.contextmanager
def stopped_by_signals(stop: threading.Event, received: list[int]) -> Iterator[None]:
    """While inside, Ctrl-C and SIGTERM set `stop` (and note the signal) instead of raising.

    The batch then winds down on its own: nothing is interrupted halfway, so
    no file is left half-written, and a second signal changes nothing.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def request_stop(signum: int, frame: FrameType | None) -> None:
        received.append(signum)
        stop.set()

    previous = {each: signal.signal(each, request_stop) for each in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for each, handler in previous.items():
            signal.signal(each, handler)

