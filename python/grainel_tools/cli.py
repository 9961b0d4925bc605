"""The `grainel` command: its options, read into Settings, and main.

main reads the arguments, then hands the files to batch.py, which plans the
batch (which result goes where, what must not be overwritten) and runs it.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import secrets
import signal
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import grainel

from . import batch, matrices, palettes, panels, sizing
from .color_arrays import palette_array
from .errors import FileError, FormatError, OptionError, PaletteError, UsageError
from .formats import format_for
from .fitting import EFFORT, MAX_EFFORT
from .one_file import FileOptions
from .pipeline import ORDERED, REMAP
from .remapping import STRENGTH as REMAP_STRENGTH
from .panels import Panel
from .settings import Settings, parse_matrix
from .tone import Tone

DESCRIPTION = """\
Dither images with grainel.

  grainel IN OUT [options]        one image; OUT's extension picks the format
  grainel IN... -o DIR [options]  many images (or folders of them) into DIR,
  grainel IN... DIR/ [options]    each saved as <name>.png (or --format)
  grainel IN... --suffix S        each saved beside its input as <name>S.png
  grainel FRAMES/ OUT.gif         the pictures of a folder, in name order, as
                                  the frames of one animation (--fps, --duration)
  grainel --demo OUT.png          a contact sheet of every method on a
                                  built-in test picture

IN may be '-' for standard input, OUT '-' for standard output. Results are
written in the smallest form that keeps every pixel, never half-written, and
never over an existing file unless --force is given.
"""

# The tone map's parameters, each an option of its own name.
TONE_OPTIONS = {
    "exposure": "the tone map: scale the picture's light by 2**F before mapping",
    "contrast": "the tone map: an S-curve of lightness, -1 to 1",
    "saturation": "scale OKLab chroma by F before it is fitted to the panel: more colour on the "
                  "panel above 1",
    "knee": "the tone map: the share (0 to 1) of the panel's chroma kept as it is, the rest compressed "
            "towards its limit (1: none; what the panel cannot show goes to the nearest it can)",
    "lift": "the tone map: how far (0 to 1) the picture's black is raised to the panel's black",
}

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
                             "like '#000,#fff', a .gpl, .hex, .pal or paint.net .txt file, or an image whose "
                             "colours form the palette")
    target.add_argument("-c", "--colours", "--colors", dest="colors", type=int, metavar="N",
                        help="dither to an N-colour palette (2..256) fitted to each image")
    target.add_argument("--panel", metavar="NAME",
                        help="an e-paper panel (see --list): dithered to the colours it shows, "
                             "written in the colours its driver expects")
    how.add_argument("--keep", metavar="COLOURS", action="append",
                     help="with --colours: colours the fitted palette must hold, like "
                          "'#000,#fff' (or any --palette value); repeated, all of them")
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
    frames = parser.add_argument_group("a folder of pictures as the frames of one animation "
                                       "(grainel FRAMES/ OUT.gif)")
    timing = frames.add_mutually_exclusive_group()
    timing.add_argument("--fps", type=float, metavar="N",
                        help="frames a second (default 10)")
    timing.add_argument("--duration", type=int, metavar="MS",
                        help="milliseconds a frame (default 100)")
    how.add_argument("--still", action=argparse.BooleanOptionalAction, default=True,
                     help="animations: dither each frame again only where it changed, so that "
                          "still parts do not flicker (the default; --no-still dithers every "
                          "frame whole)")
    how.add_argument("--serpentine", action=argparse.BooleanOptionalAction,
                     help="error diffusion and the remap: alternate scan direction every row "
                          "(the remap's default; --no-serpentine scans every row left to right)")
    how.add_argument("--linear", action="store_true",
                     help="do the arithmetic in linear light (gamma-correct)")
    how.add_argument("--no-preserve-alpha", dest="preserve_alpha", action="store_false",
                     help="dither the alpha channel too instead of copying it")

    panel = parser.add_argument_group("e-paper panels")
    panel.add_argument("--seen", metavar="COLOURS",
                       help="the colours the panel shows, measured, in the order of its palette: "
                            "a .gpl or .hex file or a list like '#020202,#b3b6ab,...'; with "
                            "--panel, or with --palette for a panel of your own")
    panel.add_argument("--tone", choices=["auto", "none"],
                       help="map the picture into the panel's range before dithering (default auto)")
    for flag, text in TONE_OPTIONS.items():
        panel.add_argument(f"--{flag}", type=float, metavar="F",
                           help=f"{text} (default {getattr(Tone(), flag):g})")
    panel.add_argument("--preview", metavar="FILE",
                       help="also write the result drawn in the colours the panel shows")
    panel.add_argument("--bit-order", choices=["msb", "lsb"], default="msb",
                       help="packed indices (--format raw1, raw2, raw4, raw8, cheader): the first "
                            "pixel of a byte in its most (the default) or least significant bits")
    panel.add_argument("--row-padding", action=argparse.BooleanOptionalAction, default=True,
                       help="packed indices: start each row on a whole byte (the default)")

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
    size.add_argument("--rotate", type=int, metavar="DEG", default=0,
                      help="turn the picture clockwise by 90, 180 or 270 degrees before "
                           "sizing and dithering (for a portrait panel)")
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


def settings_from(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Settings:
    """The dithering options as Settings, checked once: one that fails every file is a usage error."""
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
    mixed, serpentine, linear = args.mix, args.serpentine, args.linear
    try:
        panel, tone = _panel_and_tone(args)
        if panel is not None and (method, matrix, mixed) == (None, None, False):
            # What measured best for panels, unless a method is named.
            method, linear = "floyd_steinberg", True
            serpentine = True if serpentine is None else serpentine
        settings = Settings(
            method=method or (ORDERED if mixed
                              else REMAP if args.palette is not None or args.colors is not None or panel
                              else "floyd_steinberg"),
            matrix=parse_matrix(matrix) if matrix is not None else None,
            levels=args.levels,
            palette=list(panel.sent) if panel is not None
            else palettes.resolve(args.palette) if args.palette is not None else None,
            panel=panel, tone=tone,
            colors=args.colors, seed=args.seed, strength=args.strength,
            serpentine=serpentine, linear=linear,
            preserve_alpha=args.preserve_alpha,
            background=_option(sizing.parse_color, "--background", args.background),
            resize=_option(sizing.parse_size, "--resize", args.resize),
            fit=_option(sizing.parse_size, "--fit", args.fit),
            pad=(None if (args.pad or "").lower() == "none"
                 else _option(sizing.parse_color, "--pad", args.pad) or sizing.WHITE),
            rotate=args.rotate, scale=1 if args.scale is None else args.scale,
            keep=None if args.keep is None else _palette_colors(
                [c for k in args.keep for c in palettes.resolve(k)], "--keep"),
            effort=args.effort, mix=mixed, still=args.still)
        settings.check()
    except (OptionError, PaletteError, OSError) as exc:
        parser.error(str(exc))
    if settings.family == "random" and settings.seed is None:
        # Drawn here rather than by each call, so that the run can be repeated.
        seed = secrets.randbelow(1 << 32)
        print(f"grainel: random dither seed {seed} (--seed {seed} repeats this run)", file=sys.stderr)
        settings = dataclasses.replace(settings, seed=seed)
    return settings


def _panel_and_tone(args: argparse.Namespace) -> tuple[Panel | None, Tone | None]:
    """--panel, --seen and the tone map's options, as a Panel and a Tone (None where not given)."""
    given = {flag: getattr(args, flag) for flag in TONE_OPTIONS if getattr(args, flag) is not None}
    if args.seen is not None and args.panel is None and args.palette is None:
        raise OptionError("--seen gives how a panel's colours look: give the panel (--panel) or its "
                          "palette (--palette)")
    if args.panel is None and args.seen is None:
        if given or args.tone is not None or args.preview is not None:
            flag = next(iter(given), "tone" if args.tone is not None else "preview")
            raise OptionError(f"--{flag} applies to a panel: give --panel, or --seen with --palette")
        return None, None
    panel = panels.named(args.panel) if args.panel is not None else None
    if args.seen is not None:
        seen = tuple(_palette_colors(palettes.resolve(args.seen), "--seen"))
        panel = panel.with_seen(seen) if panel is not None else \
            Panel(tuple(_palette_colors(palettes.resolve(args.palette), "--palette")), seen)
    assert panel is not None
    return _tone_of(args, panel, given)


def _tone_of(args: argparse.Namespace, panel: Panel, given: dict[str, float]) -> tuple[Panel, Tone | None]:
    """The panel with its tone map: --tone none, or Tone()'s defaults less the options given."""
    if args.tone == "none":
        if given:
            raise OptionError(f"--{next(iter(given)).replace('_', '-')} shapes the tone map, which "
                              "--tone none leaves out")
        return panel, None
    try:
        return panel, Tone(**given)
    except ValueError as exc:
        raise OptionError(f"--{exc}") from None


def _palette_colors(colors: Any, flag: str) -> list[tuple[int, int, int]]:
    """Colours given as text or tuples, as (r, g, b) tuples; a bad one is a usage error."""
    try:
        return [(int(r), int(g), int(b)) for r, g, b in palette_array(colors, flag)]
    except (TypeError, ValueError) as exc:
        raise OptionError(str(exc)) from None


def _option(parse: Callable[[str], Any], flag: str, text: str | None) -> Any:
    """An option's text read by `parse` (None if not given); a bad value is an OptionError naming `flag`."""
    if text is None:
        return None
    try:
        return parse(text)
    except ValueError as exc:
        raise OptionError(f"{flag}: {exc}") from None


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
    print("panels (--panel):")
    for line in panels.describe():
        print(f"  {line}")


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace, stop: threading.Event) -> int:
    """What the arguments ask for: --list, --demo, or a batch of files."""
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
                          lossy=args.lossy, max_pixels=args.max_pixels, format=args.format,
                          msb_first=args.bit_order == "msb", pad_rows=args.row_padding,
                          preview=args.preview)
    if args.demo is not None:
        if args.paths or args.output_dir:
            parser.error("--demo takes no input images")
        from . import demo
        from .safe_files import check_folder
        from .writing import write_image

        if not args.force and os.path.lexists(args.demo):
            parser.error(f"{args.demo} exists; use --force to replace it")
        try:
            check_folder(Path(args.demo).parent)
            write_image(demo.contact_sheet(), args.demo, replace=args.force)
        except FileError as exc:
            print(f"grainel: {exc}", file=sys.stderr)
            return 1
        return 0
    try:
        # Options first: a conflict between them is the error to show, not
        # an output that exists.
        settings = settings_from(args, parser)
        jobs = batch.plan(args)
        if not jobs:
            return 0
        if args.preview is not None:
            _check_preview(args.preview, jobs, args.force)
        return batch.run(jobs, settings, options, args, stop)
    except UsageError as exc:
        parser.error(str(exc))


def _check_preview(path: str, jobs: list[Any], replace: bool) -> None:
    """--preview: one more file of one job, which must not land on its input or its result."""
    from .safe_files import check_folder

    if len(jobs) != 1:
        raise UsageError(f"--preview draws one result; this run makes {len(jobs)}")

    def same(other: Any) -> bool:
        if not isinstance(other, (str, os.PathLike)) or str(other) == "-":
            return False
        if os.path.lexists(other) and os.path.lexists(path):
            return os.path.samefile(other, path)
        return os.path.abspath(other) == os.path.abspath(path)

    if any(same(p) for p in jobs[0]):
        raise UsageError(f"--preview {path} would replace the input or the result")
    if not replace and os.path.lexists(path):
        raise UsageError(f"--preview {path} exists; use --force to replace it")
    try:
        format_for(Path(path))
    except FormatError as exc:
        raise UsageError(f"--preview {path}: {exc}") from None
    try:
        check_folder(Path(path).parent)
    except FileError as exc:
        raise UsageError(str(exc)) from None


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for usage errors, 130 when interrupted).

    Without `argv` it is the program, reading sys.argv, and an interrupted
    run ends the process itself.
    """
    parser = build_parser()
    stop, received = threading.Event(), list[int]()
    with batch.stopped_by_signals(stop, received):
        try:
            status = _run(parser, parse(parser, sys.argv[1:] if argv is None else argv), stop)
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
