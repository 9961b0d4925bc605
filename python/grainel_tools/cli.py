"""The `grainel` command: argument parsing, the safety checks and the batch run."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from types import FrameType
from typing import Any

import grainel

from . import matrices, palettes
from .batch import STDIO, Cancelled, FileOptions, Job, PlanError, check_jobs, dither_files, output_paths
from .errors import FileError, reason
from .progress import Progress
from .settings import ORDERED, OptionError, Settings, parse_matrix

DESCRIPTION = """\
Dither images with grainel.

  grainel IN OUT [options]        one image; OUT's extension picks the format
  grainel IN... -o DIR [options]  many images (or folders of them) into DIR,
                                  each saved as <name>.png (or --format)
  grainel --demo OUT.png          a contact sheet of every method on a
                                  built-in test picture

IN may be '-' for standard input, OUT '-' for standard output. Results are
written in the smallest form that keeps every pixel, never half-written, and
never over an existing file unless --force is given.
"""

# Pillow refuses images over twice its MAX_IMAGE_PIXELS as decompression
# bombs; the same default here, but one --max-pixels can lift.
DEFAULT_MAX_PIXELS = 2 * 89_478_485


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="grainel", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", metavar="PATH",
                        help="input image(s) or folders, then OUT when -o is not given")
    parser.add_argument("-o", "--output-dir", metavar="DIR",
                        help="write every result into DIR as <input name>.png")
    parser.add_argument("--version", action="version",
                        version=f"grainel {grainel.__version__}")
    parser.add_argument("--list", action="store_true",
                        help="list methods, matrices and named palettes, then exit")
    parser.add_argument("--demo", metavar="OUT",
                        help="render the built-in demo contact sheet to OUT")

    how = parser.add_argument_group("dithering")
    how.add_argument("-m", "--method",
                     help="error-diffusion name or alias (default floyd_steinberg), "
                          "a matrix name such as bayer4x4 or bluenoise64, 'random', or 'ordered'")
    how.add_argument("--matrix", metavar="M",
                     help="ordered dither with this matrix: bayer2x2..bayer16x16, a "
                          "size (2, 4, 8, 16), a named matrix such as bluenoise64 or "
                          "halftone8 (see --list), a .npy file, or rows like '0,2;3,1' "
                          "(integers = ranks, floats = thresholds in [0, 1])")
    how.add_argument("--mix", action="store_true", help="ordered dither by colour mixes planned for the palette: with a matrix method and --palette or --colours")
    how.add_argument("-l", "--levels", type=int, metavar="N",
                     help="output levels per channel, 2..256 (default 2)")
    target = how.add_mutually_exclusive_group()
    target.add_argument("-p", "--palette", metavar="P",
                        help="dither to a palette: a name (see --list), hex colours "
                             "like '#000,#fff', a .gpl or .hex file, or an image whose "
                             "colours form the palette")
    target.add_argument("-c", "--colours", "--colors", dest="colors", type=int, metavar="N",
                        help="dither to an N-colour palette (2..256) fitted to each image")
    how.add_argument("--seed", type=int, help="seed for 'random', for repeatable output")
    how.add_argument("-s", "--strength", type=float, default=1.0, metavar="F",
                     help="dithering strength in [0, 1]; 0 is plain quantisation")
    how.add_argument("--serpentine", action="store_true",
                     help="error diffusion: alternate scan direction every row")
    how.add_argument("--linear", action="store_true",
                     help="do the arithmetic in linear light (gamma-correct)")
    how.add_argument("--no-preserve-alpha", dest="preserve_alpha", action="store_false",
                     help="dither the alpha channel too instead of copying it")

    files = parser.add_argument_group("files")
    files.add_argument("-r", "--recursive", action="store_true",
                       help="take the subfolders of input folders too, mirrored under -o DIR")
    files.add_argument("-f", "--force", action="store_true",
                       help="replace existing files, inputs included")
    files.add_argument("--format", metavar="EXT",
                       help="output format for -o DIR and for standard output (default png)")
    files.add_argument("--lossy", action="store_true",
                       help="allow JPEG output, which changes the dithered pixels")
    files.add_argument("--no-icc", dest="color_managed", action="store_false",
                       help="keep the stored values of images with an ICC profile instead of "
                            "converting them to sRGB (the profile is kept in the output)")
    files.add_argument("--max-pixels", type=int, default=DEFAULT_MAX_PIXELS, metavar="N",
                       help=f"refuse larger images (default {DEFAULT_MAX_PIXELS}; 0: no limit)")

    run = parser.add_argument_group("running")
    run.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                     help="images processed at once (default: the number of CPUs)")
    run.add_argument("--dask", metavar="ADDRESS",
                     help="run the batch on a Dask cluster (its scheduler's address); "
                          "paths must name storage every worker sees")
    return parser


def settings_from(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Settings:
    method, matrix = args.method, args.matrix
    if method is not None and matrices.is_named(method) and matrix is None:
        method, matrix = None, method  # like Bayer names, every named matrix works as a method
    if matrix is not None:
        if method is not None and method.lower() != ORDERED:
            parser.error("--matrix selects ordered dither; it cannot be combined "
                         f"with --method {method}")
        method = ORDERED
    if args.colors is not None:
        if not 2 <= args.colors <= 256:  # the range Pillow's quantiser handles
            parser.error(f"--colours must be between 2 and 256, got {args.colors}")
        if args.levels is not None:
            parser.error("--colours makes a palette; it cannot be combined with --levels")
    try:
        settings = Settings(
            method=method or "floyd_steinberg",
            matrix=parse_matrix(matrix) if matrix is not None else None,
            levels=args.levels,
            palette=palettes.resolve(args.palette) if args.palette is not None else None,
            colors=args.colors, seed=args.seed, strength=args.strength,
            serpentine=args.serpentine, linear=args.linear,
            preserve_alpha=args.preserve_alpha, mix=args.mix)
        settings.check()
    except (OptionError, palettes.PaletteError, OSError) as exc:
        parser.error(str(exc))
    return settings


def plan(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[Job]:
    """Pair every input file with its output path."""
    from .formats import FormatError, format_for, format_named

    try:
        format_named(args.format or "png")
        ext = "." + (args.format or "png").lower().lstrip(".")
    except FormatError as exc:
        parser.error(str(exc))
    if args.output_dir is None:
        if len(args.paths) != 2:
            parser.error("give IN OUT, or IN... -o DIR")
        src, dst = args.paths
        if Path(src).is_dir():
            parser.error(f"{src} is a folder: use -o DIR to process a folder")
        jobs: list[Job] = [(src, dst)]
    else:
        if not args.paths:
            parser.error("no input images")
        if STDIO in args.paths:
            parser.error("standard input needs an output file: grainel - OUT")

        def skipped(folder: Path, count: int) -> None:
            print(f"grainel: {folder}: {count} subfolder(s) skipped; -r takes them too",
                  file=sys.stderr)

        jobs = list(output_paths(args.paths, args.output_dir, recursive=args.recursive,
                                 ext=ext, on_skipped=skipped))
        if not jobs:
            parser.error("no image files in the given folders")
    for _, dst in jobs:
        try:
            fmt = format_named(args.format or "png") if dst == STDIO else format_for(Path(dst))
        except FormatError as exc:
            parser.error(f"{dst}: {exc}")
        if fmt.lossy and not args.lossy:
            parser.error(f"{dst}: {fmt.name} is lossy and would change the dithered "
                         "pixels; add --lossy to write it anyway")
    if any(dst == STDIO for _, dst in jobs) and sys.stdout.isatty():
        parser.error("standard output is a terminal; redirect it to a file or a pipe")
    try:
        check_jobs(jobs, replace=args.force)
    except PlanError as exc:
        parser.error(str(exc))
    return jobs


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


def run_batch(jobs: list[Job], settings: Settings, options: FileOptions,
              args: argparse.Namespace, stop: threading.Event) -> int:
    """Dither every pair; one bad file is reported and skipped, not fatal."""
    progress = Progress(len(jobs), sys.stderr, len(jobs) > 1 and sys.stderr.isatty())

    def done(job: Job, error: BaseException | None) -> None:
        if error is not None and not isinstance(error, Cancelled):
            text = str(error) if isinstance(error, FileError) else f"{job[0]}: {reason(error)}"
            progress.error(f"grainel: {text}")
        progress.advance()

    if args.dask:
        import importlib

        try:
            executor: Any = importlib.import_module("distributed").Client(args.dask)
        except ImportError:
            print("grainel: --dask needs Dask's distributed package: pip install distributed",
                  file=sys.stderr)
            return 1
        except (OSError, TimeoutError) as exc:
            print(f"grainel: cannot reach the Dask scheduler {args.dask}: {reason(exc)}", file=sys.stderr)
            return 1
    else:
        from concurrent.futures import ThreadPoolExecutor

        executor = ThreadPoolExecutor(args.jobs)
    try:
        failures = dither_files(jobs, settings, options, executor=executor, on_done=done, stop=stop)
    except FileError as exc:  # an output folder that cannot be written
        progress.close()
        print(f"grainel: {exc}", file=sys.stderr)
        return 1
    finally:
        progress.close()
        if args.dask:
            executor.close()
        else:
            executor.shutdown(wait=True)
    return 1 if failures else 0


def list_names() -> None:
    """--list: every name the options accept."""
    print("methods (--method):")
    for name in [*grainel.available_methods(), "random", ORDERED]:
        print(f"  {name}")
    print("  --mix: with any matrix, each colour shown as a mix of palette colours")
    print("matrices (--matrix, or as --method):")
    for name in grainel.available_matrices():
        print(f"  {name}")
    for line in matrices.describe():
        print(f"  {line}")
    print("palettes (--palette):")
    for line in palettes.describe():
        print(f"  {line}")


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for usage errors, 130 when interrupted)."""
    parser = build_parser()
    stop, received = threading.Event(), list[int]()
    with stopped_by_signals(stop, received):
        try:
            # Intermixed, so that options may sit between IN and OUT.
            status = _main(parser, parser.parse_intermixed_args(argv), stop)
            sys.stdout.flush()  # now, so that a closed pipe is caught below and not at exit
        except SystemExit as exc:  # argparse's --help, --version and usage errors
            return exc.code if isinstance(exc.code, int) else 0 if exc.code is None else 1
        except KeyboardInterrupt:  # only where no handler could be installed
            received.append(signal.SIGINT)
        except BrokenPipeError:  # `grainel --list | head`: the reader took what it wanted
            # Python would otherwise fail again, loudly, flushing stdout at exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
    if received:
        print("grainel: interrupted; files not yet written were dropped", file=sys.stderr)
        return 128 + received[0]
    return status


def _main(parser: argparse.ArgumentParser, args: argparse.Namespace, stop: threading.Event) -> int:
    if args.list:
        list_names()
        return 0
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.max_pixels < 0:
        parser.error("--max-pixels must be 0 (no limit) or more")
    options = FileOptions(color_managed=args.color_managed, replace=args.force,
                          lossy=args.lossy, max_pixels=args.max_pixels, format=args.format)
    if args.demo is not None:
        if args.paths or args.output_dir:
            parser.error("--demo takes no input images")
        from . import demo
        from .safe_files import check_folder
        from .writing import write_image

        try:
            check_folder(Path(args.demo).parent)
            write_image(demo.contact_sheet(), args.demo, replace=args.force)
        except FileError as exc:
            print(f"grainel: {exc}", file=sys.stderr)
            return 1
        return 0
    jobs = plan(args, parser)
    settings = settings_from(args, parser)
    return run_batch(jobs, settings, options, args, stop)
