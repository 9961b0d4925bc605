"""Output formats: what each holds exactly, and how a picture is saved in it."""

from __future__ import annotations

import io
import os
import struct
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

import numpy as np
from PIL import Image

from . import packed
from .compact import Compact, compact
from .errors import FormatError
from .gif_animation import write_gif_animation
from .pictures import Picture, gif_table_length, transparent, webp_alpha_flagged
from .png import LEVEL, write_png


@dataclass(frozen=True)
class Format:
    name: str                     # as messages call it
    pillow: str                   # Pillow's name for it
    modes: frozenset[str]         # modes stored as they are; "PA": indexed with alpha
    frames: bool = False          # holds an animation (or pages)
    lossy: bool = False
    holds: str = ""               # what it is limited to, for a refusal
    partial_alpha: bool = True    # holds alpha between transparent and opaque
    options: dict[str, Any] = field(default_factory=dict)


_ALL = frozenset({"1", "L", "P", "PA", "LA", "RGB", "RGBA"})
_PNM = "PPM"
# Single PNG pictures are written by png.py; animations by Pillow, at the same level.
FORMATS: dict[str, Format] = {
    ".png": Format("PNG", "PNG", _ALL, frames=True, options={"compress_level": LEVEL}),
    # "PA" as one transparent entry: GIF pixels are wholly opaque or wholly
    # transparent. optimize=False: Pillow would otherwise drop the entries no
    # pixel uses and renumber the rest, and a panel reads the indices.
    ".gif": Format("GIF", "GIF", frozenset({"1", "L", "P", "PA"}), frames=True, holds="at most 256 colours",
                   partial_alpha=False, options={"optimize": False}),
    # exact: keep the colour of transparent pixels, which lossless WebP may otherwise drop
    ".webp": Format("WebP", "WEBP", frozenset({"RGB", "RGBA"}), frames=True,
                    options={"lossless": True, "exact": True}),
    ".tif": Format("TIFF", "TIFF", _ALL - {"PA"}, frames=True, options={"compression": "tiff_adobe_deflate"}),
    ".bmp": Format("BMP", "BMP", frozenset({"1", "L", "P", "RGB"})),  # Pillow reads no BMP alpha back
    ".pbm": Format("PBM", _PNM, frozenset({"1"}), holds="black and white only"),
    ".pgm": Format("PGM", _PNM, frozenset({"L"}), holds="gray only"),
    ".ppm": Format("PPM", _PNM, frozenset({"RGB"}), holds="no transparency"),
    ".pnm": Format("PNM", _PNM, frozenset({"1", "L", "RGB"}), holds="no transparency"),
    ".jpg": Format("JPEG", "JPEG", frozenset({"L", "RGB"}), lossy=True),
}
FORMATS[".tiff"] = FORMATS[".tif"]
FORMATS[".jpeg"] = FORMATS[".jpg"]
# What panel drivers read (packed.py): palette indices, packed raw or as a C
# header at the fewest bits that hold them. bit order and row padding are
# the writer's options, set by format_of.
_INDICES = frozenset({"1", "L", "P", "RGB"})
for _bits in (1, 2, 4, 8):
    FORMATS[f".raw{_bits}"] = Format(f"raw{_bits}", "RAW", _INDICES, holds="palette indices",
                                     options={"bits": _bits})
FORMATS[".h"] = Format("C header", "RAW", _INDICES, holds="palette indices", options={"header": True})
FORMATS[".cheader"] = FORMATS[".h"]

# A mode a format lacks is stored in the next wider one, which holds it exactly.
_WIDER = {"1": "L", "L": "RGB", "PA": "RGBA", "LA": "RGBA"}


def format_named(name: str) -> Format:
    """The output format for an extension ('.png') or a name ('png')."""
    ext = "." + name.lower().lstrip(".")
    if ext not in FORMATS:
        raise FormatError(f"unsupported output format {name!r}; use one of "
                          + ", ".join(sorted(FORMATS)))
    return FORMATS[ext]


def format_for(path: Path) -> Format:
    return format_named(path.suffix or "(none)")


STDIO = "-"  # standard input as a source, standard output as a destination


def output_format(dst: str | os.PathLike[str], name: str | None, *, msb_first: bool = True,
                  pad_rows: bool = True) -> Format:
    """OUT's format: standard output's is `name` (--format) or PNG, a path's as format_of finds it."""
    if dst == STDIO:
        return format_of(Path(""), name or "png", msb_first=msb_first, pad_rows=pad_rows)
    return format_of(Path(dst), name, msb_first=msb_first, pad_rows=pad_rows)


def format_of(path: Path, name: str | None, *, msb_first: bool = True, pad_rows: bool = True) -> Format:
    """OUT's format: its extension's, or `name` (--format) where the extension names none
    (panel.bin); packed indices take the bit order and row padding given."""
    fmt = format_named(name) if name is not None and path.suffix.lower() not in FORMATS else format_for(path)
    if fmt.pillow == "RAW":
        fmt = replace(fmt, options={**fmt.options, "msb_first": msb_first, "pad_rows": pad_rows})
    return fmt


def holds_alpha(fmt: Format) -> bool:
    return bool(fmt.modes & {"LA", "RGBA", "PA"})


# Alpha below half transparent, the rest opaque: the usual rule for GIF.
_ALL_OR_NOTHING = [0] * 128 + [255] * 128


def all_or_nothing_alpha(picture: Picture, fmt: Format) -> Picture | None:
    """The picture with every pixel wholly opaque or transparent, for a format that holds
    nothing between; None when it needs no change (nothing between, or no such format)."""
    if fmt.partial_alpha or not holds_alpha(fmt):
        return None
    frames = []
    for frame in picture.frames:
        if frame.mode.endswith("A") and any(frame.getchannel("A").histogram()[1:255]):
            frame = frame.copy()
            frame.putalpha(frame.getchannel("A").point(_ALL_OR_NOTHING))
        frames.append(frame)
    return None if all(a is b for a, b in zip(frames, picture.frames)) else replace(picture, frames=frames)


def encode(picture: Picture, fmt: Format, *, lossy: bool = False, stem: str = "image") -> bytes:
    """`picture` as a file in `fmt`, in the smallest form that keeps every pixel; a C header's
    names are made from the file's `stem`.

    Made in memory: TIFF pages are written by seeking back and reading what
    was written, which neither a pipe nor a write-only file allows, and the
    file on disk is then written in one go.
    """
    if fmt.lossy and not lossy:
        raise FormatError(f"{fmt.name} is lossy and would change the dithered pixels "
                          "(--lossy allows it)")
    count = len(picture.frames)
    if count > 1 and not fmt.frames:
        raise FormatError(f"{fmt.name} holds one frame, this picture has {count}; "
                          "write .png, .gif, .webp or .tif")
    sizes = list(dict.fromkeys(f.size for f in picture.frames))
    if len(sizes) > 1 and fmt.pillow != "TIFF":
        # The frames of an animation share one canvas: a smaller page would be
        # shown on a larger one, and a larger one cropped.
        shown = ", ".join(f"{w}x{h}" for w, h in sizes)
        raise FormatError(f"the pages differ in size ({shown}), and {fmt.name} frames share "
                          "one size; write .tif, which keeps each page's size")
    if fmt.pillow == "RAW":
        return packed.encoded(picture, fmt.options.get("bits"), header=fmt.options.get("header", False),
                              msb_first=fmt.options.get("msb_first", True),
                              pad_rows=fmt.options.get("pad_rows", True), stem=stem)
    stream = io.BytesIO()
    _save(picture, stream, fmt)
    return stream.getvalue()


def _save(picture: Picture, stream: io.BytesIO, fmt: Format) -> None:
    count = len(picture.frames)
    form = _widened(compact(picture.frames, picture.palette), fmt)
    if fmt.pillow == "PNG" and count == 1 and not _many_levels(form):
        write_png(stream, form.frames[0], gray_bits=form.gray_bits, alphas=form.alphas,
                  icc_profile=picture.icc_profile)
        return
    frames, options = form.frames, dict(fmt.options)
    if fmt.pillow == "GIF" and count > 1 and form.alphas is None and \
            write_gif_animation(stream, frames, picture.durations, picture.loop):
        return
    if form.gray_bits < 8 and fmt.pillow == "PNG":
        options["bits"] = form.gray_bits
    if form.alphas is not None:
        options["transparency"] = form.alphas
    elif "transparency" in frames[0].info:
        options["transparency"] = frames[0].info["transparency"]
    if picture.icc_profile and fmt.pillow in ("PNG", "WEBP", "TIFF", "JPEG"):
        options["icc_profile"] = picture.icc_profile
    if count > 1:
        options.update(save_all=True, append_images=frames[1:])
        if picture.durations:
            options["duration"] = picture.durations
        if picture.loop is not None or fmt.pillow != "GIF":  # no loop: a GIF plays once
            options["loop"] = 1 if picture.loop is None else picture.loop
        if fmt.pillow == "GIF" and "transparency" in options:
            # Each frame drawn on a cleared canvas: under any other disposal a
            # pixel left transparent shows what the frames before it drew.
            options["disposal"] = 2
        if fmt.pillow == "PNG" and picture.durations:
            options["disposal"] = _apng_disposals(frames)
    frames[0].save(stream, format=fmt.pillow, **options)
    repeats = _repeats(frames) if picture.durations and fmt.pillow in ("GIF", "WEBP") else []
    if fmt.pillow == "GIF" and any(repeats):
        _rewritten(stream, _gif_repeats_restored(stream.getvalue(), repeats, picture.durations or []))
    elif fmt.pillow == "WEBP" and any(repeats):
        restored = _webp_repeats_restored(stream.getvalue(), repeats, picture.durations or [])
        _rewritten(stream, webp_alpha_flagged(restored))
    elif fmt.pillow == "WEBP" and count > 1 and transparent(frames):
        # libwebp sets it only if a stored frame rectangle has alpha, not when
        # the transparency is the canvas around them; readers then drop it.
        _rewritten(stream, webp_alpha_flagged(stream.getvalue()))


def _rewritten(stream: io.BytesIO, data: bytes) -> None:
    stream.seek(0)
    stream.truncate()
    stream.write(data)


def _repeats(frames: list[Image.Image]) -> list[bool]:
    """Which frames are the frame before them again, which Pillow's writers merge into it.

    The frames share one palette, so equal values are equal colours.
    """
    arrays = [np.asarray(f) for f in frames]
    return [False] + [np.array_equal(a, b) for a, b in zip(arrays, arrays[1:])]


def _apng_disposals(frames: list[Image.Image]) -> list[int]:
    """APNG disposals that keep a repeated frame a frame of its own.

    Pillow merges a frame equal to the one before only if both are disposed
    alike; a repeat disposed "to the previous canvas" instead shows the
    same, and leaves the same canvas.
    """
    disposals = [0]
    for again in _repeats(frames)[1:]:
        disposals.append(2 - disposals[-1] if again else 0)
    return disposals


# What starts a GIF extension, the label of a frame's control extension, what starts a frame
_EXTENSION, _CONTROL, _FRAME = 0x21, 0xF9, 0x2C


def _gif_repeats_restored(data: bytes, repeats: list[bool], durations: list[int]) -> bytes:
    """A GIF from Pillow with the repeated frames it merged put back, each with its duration.

    A repeat is an empty frame: all one transparent index over the merged
    frame's rectangle, which the frame before stays under (it is no longer
    disposed) until the last repeat is disposed as the merged frame was.
    """
    out, pos = bytearray(data[:13 + gif_table_length(data[10])]), 13 + gif_table_length(data[10])
    first = [i for i, again in enumerate(repeats) if not again]
    control, shown = None, 0
    while data[pos] in (_EXTENSION, _FRAME):
        end = _gif_block_end(data, pos)
        if data[pos] == _EXTENSION and data[pos + 1] == _CONTROL:
            control = bytearray(data[pos:end])
        elif data[pos] == _EXTENSION:
            out += data[pos:end]
        else:
            control = control or bytearray(b"!\xf9\x04\0\0\0\0\0")
            start = first[shown]
            stop = first[shown + 1] if shown + 1 < len(first) else len(repeats)
            disposal = control[3] >> 2 & 7
            for index in range(start, stop):
                if index > start:
                    control = bytearray(b"!\xf9\x04\x01\0\0\0\0")  # index 0 transparent
                control[3] = control[3] & 0xE3 | (disposal if index == stop - 1 else 1) << 2
                control[4:6] = struct.pack("<H", durations[index] // 10)
                out += control
                out += data[pos:end] if index == start else _empty_frame(data[pos + 1:pos + 9])
            control, shown = None, shown + 1
        pos = end
    assert shown == len(first), "Pillow merged frames other than the repeats"
    return bytes(out + data[pos:])


def _webp_repeats_restored(data: bytes, repeats: list[bool], durations: list[int]) -> bytes:
    """An animated WebP from libwebp with the repeated frames it merged put back.

    As for GIF, each repeat is an empty frame over the merged frame's
    rectangle, blended (so it draws nothing), and the last of them is
    disposed as the merged frame was; the file is then flagged as having
    alpha, which the empty frames have.
    """
    chunks, pos = [], 12
    while pos + 8 <= len(data):
        kind, length = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        chunks.append((kind, data[pos + 8:pos + 8 + length]))
        pos += 8 + length + (length & 1)
    first = [i for i, again in enumerate(repeats) if not again]
    assert sum(kind == b"ANMF" for kind, _ in chunks) == len(first), \
        "libwebp merged frames other than the repeats"
    out, shown = bytearray(), 0
    for kind, payload in chunks:
        if kind != b"ANMF":
            out += _riff_chunk(kind, payload)
            continue
        start = first[shown]
        stop = first[shown + 1] if shown + 1 < len(first) else len(repeats)
        disposal = payload[15] & 1
        for index in range(start, stop):
            head = bytearray(payload[:16])
            head[12:15] = durations[index].to_bytes(3, "little")
            head[15] = payload[15] & ~1 | (disposal if index == stop - 1 else 0)
            if index > start:
                head[15] &= ~2  # blended: the transparent frame leaves the one under it
            image = payload[16:] if index == start else _empty_webp(payload[6:12])
            out += _riff_chunk(b"ANMF", bytes(head) + image)
        shown += 1
    return b"RIFF" + struct.pack("<I", len(out) + 4) + b"WEBP" + out


def _empty_webp(size: bytes) -> bytes:
    """The chunks of a wholly transparent WebP frame of `size` (width - 1, height - 1, 3 bytes each)."""
    width, height = (int.from_bytes(size[i:i + 3], "little") + 1 for i in (0, 3))
    one = io.BytesIO()
    Image.new("RGBA", (width, height)).save(one, "WEBP", lossless=True)
    return one.getvalue()[12:]


def _riff_chunk(kind: bytes, payload: bytes) -> bytes:
    return kind + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)


def _empty_frame(rectangle: bytes) -> bytes:
    """A frame descriptor and LZW data for `rectangle` (x, y, width, height) all of index 0."""
    width, height = struct.unpack("<HH", rectangle[4:8])
    one = io.BytesIO()
    Image.new("P", (width, height)).save(one, "GIF", interlace=False, optimize=False)
    data = one.getvalue()
    pos = 13 + gif_table_length(data[10])
    while data[pos] == _EXTENSION:
        pos = _gif_block_end(data, pos)
    lzw = pos + 10 + gif_table_length(data[pos + 9])  # past the descriptor and colour table
    return b"," + rectangle + b"\0" + data[lzw:_gif_block_end(data, pos)]


def _gif_block_end(data: bytes, pos: int) -> int:
    """Where a GIF extension or frame that starts at `pos` ends."""
    if data[pos] == _FRAME:
        pos += 10 + gif_table_length(data[pos + 9])  # the descriptor and colour table; the LZW code size
    else:
        pos += 1  # the label
    pos += 1
    while data[pos]:
        pos += data[pos] + 1
    return pos + 1


def _many_levels(form: Compact) -> bool:
    """More than 16 values in a channel: near continuous tone, which PNG's filters do predict.

    There Pillow's writer, which picks a filter per row, makes files a fifth
    smaller than unfiltered rows; with fewer levels unfiltered rows win.
    """
    if form.mode not in ("L", "LA", "RGB", "RGBA"):
        return False
    counts = np.asarray(form.frames[0].histogram()).reshape(-1, 256)
    return bool(((counts > 0).sum(axis=1) > 16).any())


def _mode(form: Compact) -> str:
    return "PA" if form.alphas is not None else form.mode


def _widened(form: Compact, fmt: Format) -> Compact:
    """The form widened, exactly, until the format stores it."""
    if fmt.pillow == "GIF" and form.alphas is not None:
        return _one_transparent_entry(form)
    while (mode := _mode(form)) not in fmt.modes:
        if fmt.lossy and mode in ("LA", "RGBA", "PA"):
            wider = "RGB" if mode != "LA" else "L"
        elif mode == "P":  # gray entries (3 or 5 levels, say) fit 8-bit gray
            rgb = np.asarray(form.frames[0].getpalette() or [0, 0, 1]).reshape(-1, 3)
            wider = "L" if (rgb == rgb[:, :1]).all() and "L" in fmt.modes else "RGB"
        elif mode in _WIDER:
            wider = _WIDER[mode]
        else:
            raise FormatError(f"{fmt.name} holds {fmt.holds or 'no transparency'}, which would "
                              "change this result; write .png or .webp instead")
        form = Compact([f.convert(wider) for f in form.frames])
    return form


def _one_transparent_entry(form: Compact) -> Compact:
    """GIF: a palette with one transparent entry, which takes every transparent pixel.

    GIF knows only fully opaque and fully transparent pixels, and keeps no
    colour for the transparent ones.
    """
    assert form.alphas is not None
    alphas = np.frombuffer(form.alphas, np.uint8)
    if not np.isin(alphas, (0, 255)).all():
        raise FormatError("GIF holds no partial transparency; write .png or .webp instead")
    opaque = np.flatnonzero(alphas == 255)  # at most 255: compact() drops an all-opaque alpha
    new_index = np.full(256, len(opaque), np.uint8)  # transparent entries all become the last one
    new_index[opaque] = np.arange(len(opaque))
    palette = np.frombuffer(bytes(form.frames[0].getpalette() or []), np.uint8).reshape(-1, 3)[opaque]
    frames = []
    for frame in form.frames:
        im = Image.frombuffer("P", frame.size, new_index[np.asarray(frame)], "raw", "P", 0, 1)
        im.putpalette(palette.tobytes() + bytes(3))
        im.info["transparency"] = len(opaque)
        frames.append(im)
    return Compact(frames)
