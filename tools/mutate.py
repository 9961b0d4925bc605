"""How many real faults does the test suite catch? Plants each fault of FAULTS, one at a time,
in a scratch copy of the tree, rebuilds and reinstalls it into a virtual environment of its own,
runs the suite and reports the faults that no test caught.

    python3 tools/mutate.py                   # every fault
    python3 tools/mutate.py --list            # the faults, without running anything
    python3 tools/mutate.py fs-weights ...    # only these
    python3 tools/mutate.py --tests-from REV  # today's code against the suite of a git revision

A fault whose snippet no longer occurs exactly once in its file is reported "not applicable",
so that the list can be re-anchored when the code changes. A fault that does not build, or a suite
that runs past --timeout, is reported as such.
"""

import argparse
import shutil
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


@dataclass(frozen=True)
class Fault:
    name: str
    path: str
    snippet: str
    replacement: str
    kind: str


F = Fault
FAULTS = [
    # ------------------------------------------------------------- C++ core: error diffusion
    F("fs-weights", "src/diffusion/kernels.h", "{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}",
      "{1, 0, 5}, {-1, 1, 3}, {0, 1, 7}, {1, 1, 1}}", "swapped kernel weights (Floyd-Steinberg 7 and 5)"),
    F("stucki-divisor", "src/diffusion/kernels.h", '{"stucki", stucki, 42}', '{"stucki", stucki, 48}',
      "wrong kernel divisor (Stucki 48)"),
    F("mirror-taps", "src/diffusion/diffusion.cpp", "rows.mirrored[tap.dy][2 - tap.dx] = share;",
      "rows.mirrored[tap.dy][2 + tap.dx] = share;", "serpentine rows not mirrored"),
    F("serpentine-parity", "src/diffusion/scan_loops.h", "if (y & 1)\n", "if (!(y & 1))\n",
      "serpentine starts right to left"),
    F("ring-clear", "src/diffusion/scan_loops.h", "for (std::size_t i = 0; i < done; ++i) std::memset",
      "for (std::size_t i = 0; i + 1 < done; ++i) std::memset", "off-by-one: last finished error row not cleared"),
    F("wavefront-lag", "src/diffusion/scan_loops.h", "constexpr std::ptrdiff_t lag = 4;",
      "constexpr std::ptrdiff_t lag = 2;", "row bands lag too little behind the row above"),
    F("band-bound", "src/diffusion/scan_loops.h", "if (x >= 0 && x < width) scans[r].step",
      "if (x >= 0 && x <= width) scans[r].step", "off-by-one loop bound: a band row steps past its end"),
    F("steady-start", "src/diffusion/scan_loops.h", "for (; n <= steady_from; ++n) checked_round(n);",
      "for (; n < steady_from; ++n) checked_round(n);", "off-by-one: the unchecked rounds start a round early"),
    F("quantise-only-bound", "src/diffusion/scan_loops.h",
      "for (std::size_t x = 0; x < image.width; ++x, pixel += image.channels)\n            quantise(pixel, nothing_owed);",
      "for (std::size_t x = 0; x + 1 < image.width; ++x, pixel += image.channels)\n            quantise(pixel, nothing_owed);",
      "off-by-one loop bound: strength 0 leaves the last pixel"),
    F("two-level-tie", "src/diffusion/level_quantisers.h", "byte = levels.bytes[!(v < 127.5f)];",
      "byte = levels.bytes[v > 127.5f];",
      "wrong tie-break: 127.5 goes to black"),
    F("diffusion-alpha", "src/diffusion/levels_pass.cpp", "if (image.alpha == c) {\n            ++c;\n            continue;\n        }\n",
      "", "skipped alpha check: error diffusion dithers the alpha channel"),
    F("palette-error-channels", "src/diffusion/diffusion.cpp",
      "Float4{palette.values[i][0], palette.values[i][1], palette.values[i][2], 0.0f}",
      "Float4{palette.values[i][2], palette.values[i][1], palette.values[i][0], 0.0f}",
      "swapped channels in the diffused palette error"),
    F("lanes-count", "src/diffusion/level_quantisers.h", "if (lane < count) decoded[lane]", "if (lane + 1 < count) decoded[lane]",
      "off-by-one: the last channel of a run of lanes reads no byte"),
    # ------------------------------------------------------------- C++ core: levels, palettes, search
    F("level-rounding", "src/space/space.h", "whole + (rest >= 0.5f) - (rest <= -0.5f)",
      "whole + (rest > 0.5f) - (rest <= -0.5f)", "wrong rounding direction: halves round down"),
    F("level-clamp", "src/space/space.cpp", "max_index = static_cast<float>(count - 1);",
      "max_index = static_cast<float>(count);", "off-by-one clamp: level index may reach the count"),
    F("level-bytes-rounding", "src/space/space.cpp", "std::clamp(std::round(y), 0.0f, 255.0f)",
      "std::clamp(std::nearbyint(y), 0.0f, 255.0f)", "wrong rounding: level bytes round halves to even"),
    F("srgb-gamma", "src/space/srgb_curve.h", "std::pow((coded + T(0.055)) / T(1.055), T(2.4))",
      "std::pow((coded + T(0.055)) / T(1.055), T(2.2))",
      "wrong constant in the sRGB curve"),
    F("palette-spacing", "src/palette/palette.cpp", "static_cast<float>(distinct - 1)", "static_cast<float>(distinct)",
      "off-by-one: palette spacing divides by the colour count"),
    F("palette-duplicates", "src/palette/palette.cpp",
      "static_cast<std::size_t>(\n            std::unique(channel.begin(), channel.end()) - channel.begin());",
      "channel.size();", "duplicate colours counted in the palette spacing"),
    F("scan-tie", "src/search/nearest_lanes.h", "const Ints closer = d < best_distance;",
      "const Ints closer = d <= best_distance;", "wrong tie-break: the last of equally near colours wins"),
    F("worst-corner", "src/search/winner_filter.cpp", "worst += at_hi < at_lo ? at_lo : at_hi;",
      "worst += at_hi < at_lo ? at_hi : at_lo;",
      "wrong extreme: a colour is left out by the box's best corner, not its worst"),
    F("winner-margin", "src/search/winner_filter.cpp", "< -(relative_margin * (reach_[k] + reach_j) + absolute_margin)",
      "< (relative_margin * (reach_[k] + reach_j) + absolute_margin)",
      "wrong sign: a colour is dropped while it may still win within the margin"),
    F("cell-padding", "src/search/color_search.cpp", "return (n + multiple - 1) / multiple * multiple;",
      "return n / multiple * multiple;", "wrong rounding direction: candidate lists padded too short"),
    F("crowded-cell", "src/search/color_search.h", "(entry & count_mask) - 1 < list_lanes",
      "(entry & count_mask) - 1 <= list_lanes", "off-by-one capacity check: a nine-colour list scanned as eight"),
    # ------------------------------------------------------------- C++ core: threshold dither
    F("bayer-bits", "src/matrices/matrices.cpp", "2 * (((x ^ y) >> i) & 1) + ((y >> i) & 1)",
      "2 * ((y >> i) & 1) + (((x ^ y) >> i) & 1)", "Bayer bit pairs swapped"),
    F("rank-divisor", "src/matrices/matrices.cpp", "static_cast<std::size_t>(*largest) + 1,",
      "static_cast<std::size_t>(*largest),", "off-by-one: rank divisor is the largest rank"),
    F("negative-ranks", "src/matrices/matrices.cpp", "    if (*smallest < 0)\n        return",
      "    if (false)\n        return", "dropped error check: negative ranks accepted"),
    F("nan-thresholds", "src/matrices/matrices.cpp", "if (!(v >= 0.0 && v <= 1.0))", "if (v < 0.0 || v > 1.0)",
      "range check lets NaN thresholds through"),
    F("threshold-below-one", "src/matrices/matrices.cpp", "std::min(static_cast<float>(v), below_one)",
      "static_cast<float>(v)", "float thresholds not held below 1"),
    F("matrix-row-wrap", "src/ordered/offsets.h", "(y % matrix.height) * matrix.width;",
      "(y % matrix.width) * matrix.width;", "matrix rows wrap at the width"),
    F("ordered-alpha", "src/ordered/to_levels.cpp",
      "if (image.alpha != c) pixel[c] = level_byte(space, levels, offset, pixel[c]);",
      "pixel[c] = level_byte(space, levels, offset, pixel[c]);", "skipped alpha check in the threshold loop"),
    F("table-alpha", "src/ordered/to_levels.cpp", "if (image.alpha != c) pixel[c] = position[pixel[c]];",
      "pixel[c] = position[pixel[c]];", "skipped alpha check in the ordered table loop"),
    F("draws-alpha", "src/ordered/to_levels.cpp", "if (image.alpha == c) continue;\n", "",
      "skipped alpha check in the random threshold loop"),
    F("table-run", "src/ordered/to_levels.cpp", "const std::size_t run = std::min(width, image.width - x);",
      "const std::size_t run = width;", "missing edge clamp: a gray row's last tile runs past the row"),
    F("seed-scramble", "src/ordered/threshold_dither.h", "state(seed ^ 0xD1B54A32D192ED03ull)", "state(seed)",
      "noise stream starts from the bare seed"),
    F("palette-offset-channel", "src/ordered/to_palette.cpp", "scale[c] = strength * palette.spacing[c];",
      "scale[c] = strength * palette.spacing[0];", "one channel's palette spacing used for all three"),
    F("steps-cut", "src/ordered/level_steps.cpp", "cut = static_cast<std::uint8_t>(from - 1);",
      "cut = static_cast<std::uint8_t>(from);", "off-by-one: a matrix cell's step starts a byte late"),
    F("steps-alpha", "src/ordered/level_steps_pixels.cpp",
      "    if constexpr (KeepsAlpha) out |= b & load(at + (steps + 1) * stride);\n", "",
      "skipped alpha channel in the vector ordered dither"),
    F("draws-order", "src/ordered/noise_draws.cpp", "odd[i] = state + (2 * i + 1) * increment;",
      "odd[i] = state + (2 * i + 2) * increment;", "vector noise draws out of order"),
    F("draws-tie", "src/ordered/noise_draws.cpp", "up[k] = v * levels.inv_step >= 0.5f;",
      "up[k] = v * levels.inv_step > 0.5f;", "wrong tie-break: a value half a level up rounds down"),
    # ------------------------------------------------------------- Python layer (src/lib)
    F("count-range", "src/lib/args.cpp", "number > 4294967295L", "number >= 4294967295L",
      "off-by-one in the 32-bit count range"),
    F("multiple-values", "src/lib/args.cpp", "if (slot(param))\n", "if (false)\n",
      "dropped error check: an argument given twice"),
    F("conversion-note", "src/lib/args.cpp",
      "add_note(\"while processing '\" + std::string(param_name(param)) + \"'\");", "",
      "conversion errors lose their note"),
    F("bool-slot", "src/lib/args.cpp", "if (!truth)\n", "if (false)\n",
      "dropped check: a NumPy bool type without a truth slot is called through NULL"),
    F("image-leak", "src/lib/image.cpp", "array = Ref::borrow(image);", "array = Ref::borrow(Py_NewRef(image));",
      "missed reference release of a uint8 array image"),
    F("result-owner-leak", "src/lib/image.cpp", "owner.release()));", "Py_NewRef(owner.release())));",
      "missed reference release of the result's buffer owner"),
    F("palette-entry-leak", "src/lib/prepare.cpp", "Ref entry = Ref::steal(PyIter_Next(iterator.get()))",
      "Ref entry = Ref::borrow(PyIter_Next(iterator.get()))", "missed reference release of each palette entry"),
    F("matrix-index-leak", "src/lib/matrix_arg.cpp", ": Ref::steal(PyNumber_Index(matrix));",
      ": Ref::borrow(PyNumber_Index(matrix));", "missed reference release of a matrix size's index"),
    F("channel-stride", "src/lib/image.cpp", "PyArray_NDIM(array) == 3 ? strides[2] : 0;",
      "PyArray_NDIM(array) == 3 ? 1 : 0;", "channel stride assumed to be 1"),
    F("la-alpha", "src/lib/image.cpp", "(img.channels == 2 || img.channels == 4)", "(img.channels == 4)",
      "skipped alpha channel of LA images"),
    F("empty-image", "src/lib/image.cpp", "if (std::find(img.shape.begin(), img.shape.end(), 0u) != img.shape.end())",
      "if (false)", "dropped error check: empty images"),
    F("palette-needs-rgb", "src/lib/prepare.cpp", "if (palette && img.channels <= 2)",
      "if (palette && img.channels < 2)", "off-by-one: palette accepted for a gray-alpha image"),
    F("short-hex", "src/lib/prepare.cpp", "count == 3 ? digits[c] * 17", "count == 3 ? digits[c] * 16",
      "'#rgb' digits expanded by 16"),
    F("palette-max", "src/lib/prepare.cpp", "colors.size() > most_colors", "colors.size() >= most_colors",
      "off-by-one in the palette size limit"),
    F("nan-strength", "src/lib/prepare.cpp", "if (!(strength >= 0.0f && strength <= 1.0f))",
      "if (strength < 0.0f || strength > 1.0f)", "range check lets a NaN strength through"),
    F("normalize-space", "src/lib/names.cpp", "if (ch == ' ' || ch == '-' || ch == '_') continue;",
      "if (ch == '-' || ch == '_') continue;", "spaces no longer ignored in names"),
    F("alias-target", "src/lib/names.cpp", '{"sierra2", 7}', '{"sierra2", 6}', "alias mapped to the wrong kernel"),
    F("matrix-name-shape", "src/lib/matrix_arg.cpp", "if ((rest != side && rest != side + \"x\" + side) || !is_bayer_size(n))",
      "if (!is_bayer_size(n))", "dropped check: 'bayer8x4' accepted"),
    F("dispatch-random", "src/lib/entries.cpp", 'if (normalize(name) == "random")', 'if (name == "random")',
      "dispatcher compares the raw name with 'random'"),
    F("clock-seed", "src/lib/engines.cpp", "static_cast<std::uint64_t>(now.tv_nsec);", "0;",
      "clock seed keeps whole seconds only"),
    F("gil-held", "src/lib/engines.cpp", "Detached detached;\n        if (auto* levels_target = std::get_if<Levels>(&job.target))\n            ordered",
      "if (auto* levels_target = std::get_if<Levels>(&job.target))\n            ordered",
      "interpreter not released during ordered dither"),
    F("float-point", "src/lib/messages.cpp", "if (point <= 0) {", "if (point < 0) {",
      "off-by-one: 0.25 written as .25"),
    F("escape-quote", "src/lib/messages.cpp", "case '\"': out += \"\\\\\\\"\"; break;", "",
      "double quote not escaped in debug strings"),
    F("grapheme-range-end", "src/lib/messages.cpp", "if (ch >= range.first && ch <= range.last) return true;",
      "if (ch >= range.first && ch < range.last) return true;",
      "off-by-one: the last code point of a Grapheme_Extend range shown raw"),
    F("free-threading", "src/lib/module.cpp", "{Py_mod_gil, Py_MOD_GIL_NOT_USED},", "",
      "module no longer declares that it runs without the GIL"),
    # ------------------------------------------------------------- command line (python/grainel_tools)
    F("batch-status", "python/grainel_tools/batch.py", "return 1 if failures else 0", "return 0",
      "wrong exit status: a failed file still exits 0"),
    F("usage-status", "python/grainel_tools/cli.py",
      "return exc.code if isinstance(exc.code, int) else 0 if exc.code is None else 1",
      "return 0 if exc.code is None else 1", "wrong exit status: usage errors exit 1"),
    F("jobs-check", "python/grainel_tools/cli.py", "if args.jobs < 1:", "if args.jobs < 0:",
      "off-by-one: --jobs 0 accepted"),
    F("cli-alpha", "python/grainel_tools/pipeline.py",
      "linear=settings.linear, preserve_alpha=settings.preserve_alpha)",
      "linear=settings.linear)", "--no-preserve-alpha dropped"),
    F("cli-seed", "python/grainel_tools/pipeline.py", "seed=settings.seed, **engine_options)", "**engine_options)",
      "--seed dropped"),
    F("p-transparency", "python/grainel_tools/pictures.py",
      'return im.convert("RGBA" if "transparency" in im.info else "RGB")', 'return im.convert("RGB")',
      "palette images lose their transparency"),
    F("gpl-columns", "python/grainel_tools/palettes.py", 'in ("Name", "Columns")', 'in ("Name",)',
      "GIMP palette 'Columns:' line read as a colour"),
    F("overwrite-check", "python/grainel_tools/batch.py",
      "if not replace and os.path.lexists(target) and not is_special(target):", "if False:",
      "dropped check: existing files and inputs overwritten"),
    F("temp-cleanup", "python/grainel_tools/safe_files.py", "            os.unlink(temp)\n        if isinstance(exc",
      "            pass\n        if isinstance(exc", "a failed write leaves its temporary file behind"),
    F("lossy-refusal", "python/grainel_tools/formats.py", "if fmt.lossy and not lossy:", "if False:",
      "dropped check: a lossy format written without --lossy"),
    F("png-nibbles", "python/grainel_tools/png.py", "<< (8 - bits * (i + 1))", "<< (bits * i)",
      "packed pixels in the wrong order within a byte"),
    F("index-renumber", "python/grainel_tools/compact.py", "renumber[used] = np.arange(len(used))",
      "renumber[used] = np.arange(len(used))[::-1]", "palette entries renumbered wrongly when unused ones drop"),
    F("exif-orientation", "python/grainel_tools/pictures.py",
      "if im.getexif().get(ExifTags.Base.Orientation, 1) != 1:", "if False:", "EXIF orientation ignored"),
    F("sixteen-bit-rounding", "src/lib/image.cpp", "(in[i] + 128u) / 257u", "in[i] / 257u",
      "wrong rounding direction: 16-bit values truncated to 8 bits"),
    F("void-and-cluster", "python/grainel_tools/bluenoise.py",
      "return int(np.where(pattern, np.iinfo(np.int64).max, energy).argmin())",
      "return int(np.where(pattern, np.iinfo(np.int64).min, energy).argmax())",
      "blue noise fills the tightest spot instead of the largest void"),
]


def run(command, log, cwd=None, timeout=None):
    """Runs a command with its output appended to log; returns its status, or None on timeout."""
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(map(str, command))}\n")
        out.flush()
        try:
            return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return None


class Tree:
    """A scratch copy of the repository, its build directory and a virtual environment."""

    def __init__(self, workdir, python, tests_from):
        self.root, self.build, self.venv = workdir / "tree", workdir / "build", workdir / "venv"
        self.log = workdir / "log.txt"
        self.python = self.venv / "bin" / "python"
        workdir.mkdir(parents=True, exist_ok=True)
        self.log.write_text("")
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               cwd=REPO, capture_output=True, check=True).stdout.decode().split("\0")
        shutil.rmtree(self.root, ignore_errors=True)
        for name in filter(None, files):
            if (REPO / name).is_file():
                (self.root / name).parent.mkdir(parents=True, exist_ok=True)
                # Fresh times: the build directory may hold objects of a fault an interrupted
                # run left planted, which must not look newer than their sources.
                shutil.copy(REPO / name, self.root / name)
        if tests_from:
            shutil.rmtree(self.root / "tests")
            archive = subprocess.run(["git", "archive", tests_from, "tests"], cwd=REPO, capture_output=True,
                                     check=True).stdout
            subprocess.run(["tar", "-x", "-C", str(self.root)], input=archive, check=True)
        if not self.python.exists():
            subprocess.run([python, "-m", "venv", str(self.venv)], check=True)
            project = tomllib.loads((REPO / "pyproject.toml").read_text())
            needs = (project["build-system"]["requires"] + project["project"]["optional-dependencies"]["test"]
                     + ["cmake", "ninja"])
            subprocess.run([self.python, "-m", "pip", "install", "-q", *needs], check=True)

    def install(self):
        return run([self.python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                    "-C", f"build-dir={self.build}", "."], self.log, cwd=self.root) == 0

    def test(self, timeout, pytest_args):
        """(status, first failure): status is 'passed', 'failed', 'crashed' or 'timeout'."""
        report = self.build.parent / "pytest.txt"
        report.write_text("")
        status = run([self.python, "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider", *pytest_args,
                      "tests"], report, cwd=self.root, timeout=timeout)
        lines = report.read_text().splitlines()
        first = next((line.split(" - ")[0] for line in lines if line.startswith(("FAILED ", "ERROR "))), "")
        with open(self.log, "a") as log:
            log.write("\n".join(lines[-15:]) + "\n")
        if status is None:
            return "timeout", ""
        if status == 0:
            return "passed", ""
        return ("crashed" if status < 0 else "failed"), first


def plant(tree, fault):
    """Applies the fault to the scratch tree; returns the original text, or None if it does not apply."""
    path = tree.root / fault.path
    if not path.is_file():
        return None
    text = path.read_text()
    if text.count(fault.snippet) != 1:
        return None
    path.write_text(text.replace(fault.snippet, fault.replacement))
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="faults to plant (default: all)")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    parser.add_argument("--workdir", type=Path, default=Path("/tmp/grainel-mutate"),
                        help="scratch tree, build directory and venv (reused between runs)")
    parser.add_argument("--python", default=sys.executable, help="interpreter for the venv")
    parser.add_argument("--tests-from", metavar="REV", help="run the tests/ of this git revision")
    parser.add_argument("--timeout", type=float, default=600, help="seconds a suite run may take")
    parser.add_argument("--pytest-args", default="", help="extra pytest arguments, space separated")
    args = parser.parse_args()
    unknown = set(args.names) - {f.name for f in FAULTS}
    if unknown:
        parser.error(f"unknown faults: {', '.join(sorted(unknown))}")
    faults = [f for f in FAULTS if not args.names or f.name in args.names]
    if args.list:
        for f in faults:
            print(f"{f.name:24} {f.path:32} {f.kind}")
        return 0

    tree = Tree(args.workdir, args.python, args.tests_from)
    pytest_args = args.pytest_args.split()
    print(f"scratch tree {tree.root}, log {tree.log}", flush=True)
    if not tree.install() or tree.test(args.timeout, pytest_args)[0] != "passed":
        print("the suite does not pass on the unchanged tree; see the log", file=sys.stderr)
        return 2
    outcomes = {}
    for number, fault in enumerate(faults, 1):
        start = time.monotonic()
        original = plant(tree, fault)
        if original is None:
            outcome, detail = "not applicable", "snippet not found exactly once"
        else:
            try:
                if tree.install():
                    outcome, detail = tree.test(args.timeout, pytest_args)
                    outcome = {"failed": "caught", "crashed": "caught (crash)", "passed": "NOT CAUGHT",
                               "timeout": "caught (timeout)"}[outcome]
                else:
                    outcome, detail = "build failed", ""
            finally:
                (tree.root / fault.path).write_text(original)
        outcomes[fault.name] = outcome
        print(f"[{number:2}/{len(faults)}] {outcome:16} {fault.name:24} {time.monotonic() - start:5.0f}s  {detail}",
              flush=True)
    tree.install()  # leaves the venv with the unchanged module

    applicable = [f for f in faults if outcomes[f.name] not in ("not applicable", "build failed")]
    caught = [f for f in applicable if outcomes[f.name].startswith("caught")]
    print(f"\ncaught {len(caught)} of {len(applicable)} faults")
    for label in ("NOT CAUGHT", "not applicable", "build failed"):
        for f in faults:
            if outcomes[f.name] == label:
                print(f"  {label}: {f.name} ({f.path}): {f.kind}")
    return 0 if len(caught) == len(applicable) else 1


if __name__ == "__main__":
    sys.exit(main())
