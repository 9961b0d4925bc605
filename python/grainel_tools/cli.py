"""The `grainel` command: argument parsing and the batch run."""

from __future__ import annotations

import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

import grainel

from . import matrices, palettes
from .progress import Progress
from .settings import ORDERED, OptionError, Settings, parse_matrix

DESCRIPTION = """\
Dither images with grainel.

  grainel IN OUT [options]        one image; OUT's extension picks the format
  grainel IN... -o DIR [options]  many images (or directories of them) into
                                  DIR, each saved as <name>.png
  grainel --demo OUT.png          a contact sheet of every method on a
                                  built-in test picture
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="grainel", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", metavar="PATH",
                        help="input image(s) or directories, then OUT when -o is not given")
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
                          "a Bayer matrix name such as bayer4x4, 'random', or 'ordered'")
    how.add_argument("--matrix", metavar="M",
                     help="ordered dither with this matrix: bayer2x2..bayer16x16, a "
                          "size (2, 4, 8, 16), a named matrix such as bluenoise64 or "
                          "halftone8 (see --list), a .npy file, or rows like '0,2;3,1' "
                          "(integers = ranks, floats = thresholds in [0, 1])")
    how.add_argument("-l", "--levels", type=int, metavar="N",
                     help="output levels per channel, 2..256 (default 2)")
    target = how.add_mutually_exclusive_group()
    target.add_argument("-p", "--palette", metavar="P",
                        help="dither to a palette: a name (see --list), hex colours "
                             "like '#000,#fff', a .gpl or .hex file, or an image whose "
                             "colours form the palette")
    target.add_argument("-c", "--colors", type=int, metavar="N",
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

    run = parser.add_argument_group("running")
    run.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                     help="images processed at once (default: the number of CPUs)")
    return parser


def settings_from(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Settings:
    method = args.method
    if args.matrix is not None:
        if method is not None and method.lower() != ORDERED:
            parser.error("--matrix selects ordered dither; it cannot be combined "
                         f"with --method {method}")
        method = ORDERED
    if args.colors is not None:
        if not 2 <= args.colors <= 256:  # the range Pillow's quantiser handles
            parser.error(f"--colors must be between 2 and 256, got {args.colors}")
        if args.levels is not None:
            parser.error("--colors makes a palette; it cannot be combined with --levels")
    try:
        settings = Settings(
            method=method or "floyd_steinberg",
            matrix=parse_matrix(args.matrix) if args.matrix is not None else None,
            levels=args.levels,
            palette=palettes.resolve(args.palette) if args.palette is not None else None,
            colors=args.colors, seed=args.seed, strength=args.strength,
            serpentine=args.serpentine, linear=args.linear,
            preserve_alpha=args.preserve_alpha)
        settings.check()
    except (OptionError, palettes.PaletteError, OSError) as exc:
        parser.error(str(exc))
    return settings


def plan(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[tuple[Path, Path]]:
    """Pair every input file with its output path."""
    from . import images

    if args.output_dir is None:
        if len(args.paths) != 2:
            parser.error("give IN OUT, or IN... -o DIR")
        src, dst = Path(args.paths[0]), Path(args.paths[1])
        if src.is_dir():
            parser.error(f"{src} is a directory: use -o DIR to process a directory")
        if images.format_for(dst) is None:
            parser.error(f"cannot tell the output format from the name {dst}")
        return [(src, dst)]
    if not args.paths:
        parser.error("no input images")
    files = images.expand(args.paths)
    if not files:
        parser.error("no image files in the given directories")
    out_dir = Path(args.output_dir)
    return [(src, out_dir / (src.stem + ".png")) for src in files]


def process(src: Path, dst: Path, settings: Settings) -> None:
    from . import images

    image = images.load(src, for_palette=settings.wants_color)
    own = palettes.adaptive(image, settings.colors) if settings.colors else None
    images.save(settings.apply(image, own), dst)


def describe_error(exc: BaseException) -> str:
    from PIL import UnidentifiedImageError

    if isinstance(exc, UnidentifiedImageError):
        return "not an image, or a format Pillow cannot read"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    return " ".join(str(exc).split()) or type(exc).__name__


def run_batch(jobs: list[tuple[Path, Path]], settings: Settings, workers: int) -> int:
    """Dither every pair; one bad file is reported and skipped, not fatal."""
    failed = 0
    seen: set[Path] = set()
    todo: list[tuple[Path, Path]] = []
    progress = Progress(len(jobs), sys.stderr, len(jobs) > 1 and sys.stderr.isatty())
    for src, dst in jobs:
        # Two inputs with one stem (a.jpg, a.png) would race for one output.
        if dst in seen:
            progress.error(f"grainel: {src}: skipped, {dst} is already written by another input")
            progress.advance()
            failed += 1
        else:
            seen.add(dst)
            todo.append((src, dst))
    for folder in {dst.parent for _, dst in todo}:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            progress.close()
            print(f"grainel: {folder}: {describe_error(exc)}", file=sys.stderr)
            return 1
    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        futures = {pool.submit(process, src, dst, settings): src for src, dst in todo}
        for future in as_completed(futures):
            error = future.exception()
            if error is not None:
                failed += 1
                progress.error(f"grainel: {futures[future]}: {describe_error(error)}")
            progress.advance()
    progress.close()
    return 1 if failed else 0


def list_names() -> None:
    print("methods (--method):")
    for name in [*grainel.available_methods(), "random", ORDERED]:
        print(f"  {name}")
    print("matrices (--matrix, or as --method):")
    for name in grainel.available_matrices():
        print(f"  {name}")
    print("more matrices (--matrix):")
    for line in matrices.describe():
        print(f"  {line}")
    print("palettes (--palette):")
    for line in palettes.describe():
        print(f"  {line}")


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for usage errors)."""
    parser = build_parser()
    try:
        # Intermixed, so that options may sit between IN and OUT.
        return _main(parser, parser.parse_intermixed_args(argv))
    except SystemExit as exc:  # argparse's --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 0 if exc.code is None else 1


def _main(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.list:
        list_names()
        return 0
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    try:
        import PIL  # noqa: F401  (every path below reads or writes images)
    except ImportError:
        print("grainel: the command line tool needs Pillow: pip install Pillow", file=sys.stderr)
        return 1
    if args.demo is not None:
        if args.paths or args.output_dir:
            parser.error("--demo takes no input images")
        from . import demo, images

        try:
            images.save(demo.contact_sheet(), Path(args.demo))
        except (OSError, ValueError) as exc:
            print(f"grainel: {args.demo}: {describe_error(exc)}", file=sys.stderr)
            return 1
        return 0
    jobs = plan(args, parser)
    settings = settings_from(args, parser)
    return run_batch(jobs, settings, args.jobs)
