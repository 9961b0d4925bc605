"""The `grainel` command: argument parsing, the safety checks and the batch run."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import secrets
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from types import FrameType
from typing import Any

import grainel

from . import matrices, palettes, sizing
from .color_arrays import palette_array
from .batch import STDIO, FileOptions, Job, check_jobs, dither_files, output_paths
from .errors import Cancelled, FileError, FileExists, FormatError, OptionError, PaletteError, PlanError, reason
from .formats import FORMATS
from .progress import Progress
from .fitting import EFFORT, MAX_EFFORT
from .pictures import read_picture
from .remap import STRENGTH as REMAP_STRENGTH
from .pipeline import ORDERED, REMAP, fitted_palette, prepared_frames
from .settings import Settings, parse_matrix

DESCRIPTION = """\
Dither images with grainel.

  grainel IN OUT [options]        one image; OUT's extension picks the format
  grainel IN... -o DIR [options]  many images (or folders of them) into DIR,
  grainel IN... DIR/ [options]    each saved as <name>.png (or --format)
  grainel IN... --suffix S        each saved beside its input as <name>S.png
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
                        help="write every result into DIR as <input name>.png; a last PATH "
                             "that is a folder, or ends in /, does the same")
    parser.add_argument("--version", action="version",
                        version=f"grainel {grainel.__version__}")
    parser.add_argument("--list", action="store_true",
                        help="list methods, matrices and named palettes, then exit")
    parser.add_argument("--demo", metavar="OUT",
                        help="render the built-in demo contact sheet to OUT")

    how = parser.add_argument_group("dithering")
    how.add_argument("-m", "--method",
                     help="'remap' (the default with a palette: the perceptual remap), an "
                          "error-diffusion name or alias (the default otherwise: "
                          "floyd_steinberg), a matrix name such as bayer4x4 or bluenoise64, "
                          "'random', or 'ordered'; naming one with a palette chooses "
                          "grainel's exact engines")
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
    how.add_argument("--keep", metavar="COLOURS",
                     help="with --colours: colours the fitted palette must hold, like "
                          "'#000,#fff' (or any --palette value)")
    how.add_argument("--effort", type=int, metavar="N",
                     help=f"with --colours: 1 (fastest) to {MAX_EFFORT} (closest fit); "
                          f"default {EFFORT}")
    how.add_argument("--shared-palette", action="store_true",
                     help="with --colours: fit one palette to all the images, used by every one")
    how.add_argument("--save-palette", metavar="FILE",
                     help="with --colours: also write the fitted palette to FILE (.gpl or .hex)")
    how.add_argument("--seed", type=int,
                     help="seed for 'random', for repeatable output (without it, one is "
                          "drawn and shown)")
    how.add_argument("-s", "--strength", type=float, metavar="F",
                     help="dithering strength in [0, 1]; 0 is plain quantisation "
                          f"(default 1, or {REMAP_STRENGTH} for the remap)")
    how.add_argument("--serpentine", action="store_true",
                     help="error diffusion and the remap: alternate scan direction every row")
    how.add_argument("--linear", action="store_true",
                     help="do the arithmetic in linear light (gamma-correct)")
    how.add_argument("--no-preserve-alpha", dest="preserve_alpha", action="store_false",
                     help="dither the alpha channel too instead of copying it")

    size = parser.add_argument_group("size and background")
    size.add_argument("--resize", metavar="WxH",
                      help="before dithering, resample to fill WxH exactly, cropping what "
                           "sticks out (in linear light, Lanczos)")
    size.add_argument("--fit", metavar="WxH",
                      help="before dithering, resample to fit inside WxH, aspect kept, then "
                           "pad to exactly WxH (see --pad)")
    size.add_argument("--pad", metavar="COLOUR",
                      help="the colour --fit pads with (default white), or 'none' to keep "
                           "the fitted size")
    size.add_argument("--scale", type=int, metavar="N",
                      help="after dithering, enlarge every pixel to NxN (for pixel art)")
    size.add_argument("--background", metavar="COLOUR",
                      help="flatten transparency onto COLOUR before dithering (done onto "
                           "white, with a note, for formats without transparency)")

    files = parser.add_argument_group("files")
    files.add_argument("-r", "--recursive", action="store_true",
                       help="take the subfolders of input folders too, mirrored under -o DIR")
    files.add_argument("-f", "--force", action="store_true",
                       help="replace existing files, inputs included")
    files.add_argument("--skip-existing", action="store_true",
                       help="leave out inputs whose result exists, to resume a batch")
    files.add_argument("--suffix", metavar="S",
                       help="name each result <name>S.<ext>, beside its input unless "
                            "-o DIR is given")
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
    run.add_argument("-j", "--jobs", type=int, metavar="N",
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
    if args.pad is not None and args.fit is None:
        parser.error("--pad applies to --fit")
    try:
        settings = Settings(
            method=method or (ORDERED if args.mix
                              else REMAP if args.palette is not None or args.colors is not None
                              else "floyd_steinberg"),
            matrix=parse_matrix(matrix) if matrix is not None else None,
            levels=args.levels,
            palette=palettes.resolve(args.palette) if args.palette is not None else None,
            colors=args.colors, seed=args.seed, strength=args.strength,
            serpentine=args.serpentine, linear=args.linear,
            preserve_alpha=args.preserve_alpha,
            background=_option(sizing.parse_color, "--background", args.background),
            resize=_option(sizing.parse_size, "--resize", args.resize),
            fit=_option(sizing.parse_size, "--fit", args.fit),
            pad=(None if (args.pad or "").lower() == "none"
                 else _option(sizing.parse_color, "--pad", args.pad) or sizing.WHITE),
            scale=1 if args.scale is None else args.scale,
            keep=None if args.keep is None else palette_colours(palettes.resolve(args.keep), "--keep"),
            effort=args.effort, mix=args.mix)
        settings.check()
    except (OptionError, PaletteError, OSError) as exc:
        parser.error(str(exc))
    if settings.family == "random" and settings.seed is None:
        # Drawn here rather than by each call, so that the run can be repeated.
        seed = secrets.randbelow(1 << 32)
        print(f"grainel: random dither seed {seed} (--seed {seed} repeats this run)", file=sys.stderr)
        settings = dataclasses.replace(settings, seed=seed)
    return settings


def palette_colours(colours: Any, flag: str) -> list[tuple[int, int, int]]:
    """Colours given as text or tuples, as (r, g, b) tuples; a bad one is a usage error."""
    try:
        return [(int(r), int(g), int(b)) for r, g, b in palette_array(colours, flag)]
    except (TypeError, ValueError) as exc:
        raise OptionError(str(exc)) from None


# Pictures a shared palette is fitted to are scaled down, if need be, to this
# many pixels in all: a palette needs the picture's colours, not its detail.
SHARED_FIT_PIXELS = 1 << 25


def shared_palette(jobs: list[Job], settings: Settings, options: FileOptions,
                   args: argparse.Namespace, parser: argparse.ArgumentParser) -> Settings:
    """--shared-palette and --save-palette: one palette, fitted to every input before the batch.

    Inputs that cannot be read are left out here; the batch reports them.
    """
    if not args.shared_palette and args.save_palette is None:
        return settings
    flag = "--shared-palette" if args.shared_palette else "--save-palette"
    if settings.colors is None:
        parser.error(f"{flag} applies to --colours")
    if args.save_palette is not None and not args.shared_palette and len(jobs) > 1:
        parser.error("--save-palette writes one palette: with several images, add --shared-palette")
    if any(src == STDIO for src, _ in jobs):
        parser.error(f"{flag} reads the images before the batch does; standard input can be read once")
    frames = []
    for src, _ in jobs:
        try:
            picture = read_picture(src, color_managed=options.color_managed,
                                   max_pixels=options.max_pixels or None)
        except FileError:
            continue
        frames += prepared_frames(settings, picture.frames)
    if not frames:
        return settings
    total = sum(f.width * f.height for f in frames)
    if total > SHARED_FIT_PIXELS:
        factor = int((total / SHARED_FIT_PIXELS) ** 0.5) + 1
        frames = [f.reduce(factor) for f in frames]
    colours = fitted_palette(settings, frames)
    if args.save_palette is not None:
        try:
            palettes.write_palette(colours, args.save_palette, replace=args.force)
        except PaletteError as exc:
            parser.error(str(exc))
        except FileError as exc:
            print(f"grainel: {exc}", file=sys.stderr)
            raise SystemExit(1) from None
    return dataclasses.replace(settings, palette=colours, colors=None, keep=None, effort=None)


def _option(parse: Callable[[str], Any], flag: str, text: str | None) -> Any:
    if text is None:
        return None
    try:
        return parse(text)
    except ValueError as exc:
        raise OptionError(f"{flag}: {exc}") from None


def _is_folder(path: str) -> bool:
    """A last PATH that names a folder to write into, as cp takes one."""
    return path != STDIO and (Path(path).is_dir() or path.endswith(("/", os.sep)))


def plan(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[Job]:
    """Pair every input file with its output path."""
    from .formats import format_for, format_named

    try:
        format_named(args.format or "png")
        ext = "." + (args.format or "png").lower().lstrip(".")
    except FormatError as exc:
        parser.error(str(exc))
    paths, out_dir = list(args.paths), args.output_dir
    if out_dir == STDIO:
        parser.error("-o takes a folder; to write standard output, give - as OUT: grainel IN -")
    if out_dir is not None and os.path.exists(out_dir) and not os.path.isdir(out_dir):
        parser.error(f"-o {out_dir}: not a folder")
    if args.suffix is not None and (not args.suffix or set(args.suffix) & {"/", os.sep}):
        parser.error(f"--suffix {args.suffix!r}: give the text to add to each name, like -dithered")
    if args.force and args.skip_existing:
        parser.error("--force replaces existing results and --skip-existing leaves them; give one")
    if out_dir is None and args.suffix is None and len(paths) > 1 and _is_folder(paths[-1]):
        out_dir = paths.pop()  # grainel a.png b.png dir/
    if out_dir is None and args.suffix is None:
        if len(paths) != 2:
            parser.error("give IN OUT, IN... DIR/, IN... -o DIR, or IN... --suffix S")
        src, dst = paths
        if Path(src).is_dir():
            parser.error(f"{src} is a folder: use -o DIR to process a folder")
        named = FORMATS.get(Path(dst).suffix.lower())
        if args.format is not None and dst != STDIO and named is not format_named(args.format):
            parser.error(f"--format {args.format} and OUT {dst} disagree: OUT's extension picks "
                         "the format of one image; --format is for -o DIR and standard output")
        jobs: list[Job] = [(src, dst)]
    else:
        if not paths:
            parser.error("no input images")
        if STDIO in paths:
            parser.error("standard input needs an output file: grainel - OUT")

        def skipped(folder: Path, count: int) -> None:
            print(f"grainel: {folder}: {count} subfolder(s) skipped; -r takes them too",
                  file=sys.stderr)

        jobs = list(output_paths(paths, out_dir, recursive=args.recursive, ext=ext,
                                 suffix=args.suffix or "", on_skipped=skipped))
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
    if args.skip_existing:
        kept = [(src, dst) for src, dst in jobs if dst == STDIO or not os.path.lexists(dst)]
        if len(kept) < len(jobs):
            print(f"grainel: {len(jobs) - len(kept)} result(s) exist already and were skipped",
                  file=sys.stderr)
        jobs = kept
    try:
        check_jobs(jobs, replace=args.force, hint="--force")
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


def dask_client(address: str, parser: argparse.ArgumentParser) -> Any:
    """A client of the Dask scheduler at `address`; a bad address is a usage error."""
    import importlib

    if not address.strip():
        parser.error("--dask needs the address of a Dask scheduler, like tcp://host:8786")
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        parser.error("--dask needs Dask's distributed package: pip install distributed")
    try:  # checked apart: a Client that fails to start leaves its event-loop thread behind
        importlib.import_module("distributed.comm").get_address_host_port(address)
    except ValueError as exc:
        parser.error(f"--dask {address}: {reason(exc)}")
    try:
        return distributed.Client(address, timeout=10)
    except (OSError, TimeoutError) as exc:
        raise FileError("connecting to", address, f"no Dask scheduler answers ({reason(exc)})") from None
    except Exception:  # noqa: BLE001  (a reply read as a message of some absurd size, say)
        raise FileError("connecting to", address, "what answers is not a Dask scheduler") from None


def run_batch(jobs: list[Job], settings: Settings, options: FileOptions,
              executor: Any, stop: threading.Event) -> int:
    """Dither every pair; one bad file is reported and skipped, not fatal."""
    progress = Progress(len(jobs), sys.stderr, len(jobs) > 1 and sys.stderr.isatty())

    def done(job: Job, error: BaseException | None) -> None:
        if isinstance(error, FileExists):  # made since the batch was planned
            progress.error(f"grainel: writing {error.path}: exists; use --force to replace it")
        elif error is not None and not isinstance(error, Cancelled):
            text = str(error) if isinstance(error, FileError) else f"{job[0]}: {reason(error)}"
            progress.error(f"grainel: {text}")
        progress.advance()

    def note(job: Job, text: str) -> None:
        progress.error(f"grainel: {text}")

    try:
        failures = dither_files(jobs, settings, options, executor=executor, on_done=done,
                                on_note=note, stop=stop)
    except FileError as exc:  # an output folder that cannot be written
        progress.close()
        print(f"grainel: {exc}", file=sys.stderr)
        return 1
    finally:
        progress.close()
    return 1 if failures else 0


def list_names() -> None:
    """--list: every name the options accept."""
    print("methods (--method):")
    print(f"  {REMAP:<22} the perceptual remap, the default with a palette")
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
    """Run the command line; returns the exit status (2 for usage errors, 130 when interrupted).

    Without `argv` it is the program, reading sys.argv, and an interrupted
    run ends the process itself.
    """
    parser = build_parser()
    stop, received = threading.Event(), list[int]()
    with stopped_by_signals(stop, received):
        try:
            status = _main(parser, parse(parser, sys.argv[1:] if argv is None else argv), stop)
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
        if argv is None:
            # Run as the program: leave at once. Threads still dithering have
            # nothing to write, and the interpreter would wait for each to
            # finish its step before exiting.
            with contextlib.suppress(OSError, ValueError):
                sys.stdout.flush()
                sys.stderr.flush()
            os._exit(128 + received[0])
        return 128 + received[0]
    return status


def parse(parser: argparse.ArgumentParser, argv: list[str]) -> argparse.Namespace:
    """Options may sit between paths; after '--' every word is a path, even one starting with '-'."""
    ends = argv.index("--") if "--" in argv else len(argv)
    words, rest = [], iter(argv[:ends])
    for word in rest:
        # A suffix starts with '-' as often as not (--suffix -dithered), which
        # argparse would take for an option.
        words.append(f"--suffix={next(rest, '')}" if word == "--suffix" else word)
    args = parser.parse_intermixed_args(words)
    args.paths += argv[ends + 1:]
    return args


def _main(parser: argparse.ArgumentParser, args: argparse.Namespace, stop: threading.Event) -> int:
    if args.list:
        list_names()
        return 0
    if args.jobs is not None:
        if args.jobs < 1:
            parser.error("--jobs must be at least 1")
        if args.dask is not None:
            parser.error("--jobs sets the threads of this machine; a Dask cluster has its own workers")
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
    if not jobs:
        return 0
    settings = shared_palette(jobs, settings, options, args, parser)
    try:
        if args.dask is not None:
            executor = dask_client(args.dask, parser)
        else:
            from concurrent.futures import ThreadPoolExecutor

            executor = ThreadPoolExecutor(args.jobs or os.cpu_count() or 1)
    except FileError as exc:
        print(f"grainel: {exc}", file=sys.stderr)
        return 1
    try:
        return run_batch(jobs, settings, options, executor, stop)
    finally:
        if args.dask is not None:
            executor.close()
        else:  # once stopped, threads still dithering write nothing: no need to wait for them
            executor.shutdown(wait=not stop.is_set(), cancel_futures=True)
