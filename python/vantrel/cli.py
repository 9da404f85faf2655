"""vantrel's command line: look at, check, convert and picture PCD files without writing Python.

    vantrel info FILE... [--stats] [--json]
    vantrel check PATH...
    vantrel convert IN OUT [--data ascii|binary|binary_compressed] [--fields a,b,c]  (.pcd .las .laz .ply)
    vantrel bag-to-pcd BAG OUTDIR [--topic T]... [--data ENC]
    vantrel view FILE -o PICTURE.png [--color z|intensity|rgb|FIELD] [--size WxH]

Also run as python -m vantrel.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import warnings
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

import vantrel
from vantrel import _formats
from vantrel._commands import Refused, chunk_points, counted, damage_is_an_error, local, point_progress, report
from vantrel._types import ENCODINGS
from vantrel._view import picture_size, view


def progress(items: Iterable[Any], total: int | None = None, what: str = "") -> Iterator[Any]:
    """Items counted on a progress bar (files)."""
    return counted(items, total, what, " files")


def pcd_files(paths: Iterable[str]) -> list[Path]:
    """The files named, with folders searched for *.pcd."""
    found: list[Path] = []
    for name in paths:
        path = local(name)
        found += sorted(path.rglob("*.pcd")) if path.is_dir() else [path]
    return found


def message(error: BaseException, path: Path | None = None) -> str:
    """The error's own words (a DataWarning names its file already), then its notes, a line each."""
    text = str(error)
    prefix = f"{path}: "
    if path is not None and text.startswith(prefix):
        text = text[len(prefix) :]
    notes = [note for note in getattr(error, "__notes__", ()) if not note.startswith("while reading ")]  # named
    return "\n".join([text, *(f"  {note}" for note in notes)])


# ---------------------------------------------------------------- info


def field_rows(header: vantrel.PcdHeader) -> list[dict[str, Any]]:
    return [
        {"name": f.name, "type": f.type, "size": f.size, "count": f.count, "offset": f.offset} for f in header.fields
    ]


def packed_color(name: str, values: Any) -> bool:
    """An rgb or rgba field: colors packed in 4 bytes, whose value as a number means nothing."""
    return name in ("rgb", "rgba") and values.ndim == 1 and values.dtype.itemsize == 4


def columns(name: str, values: Any) -> Iterator[tuple[str, Any]]:
    """What statistics are taken of: a field's values, or a packed color's channels (rgb.r, rgb.g, ...)."""
    if packed_color(name, values):
        channels = vantrel.unpack_rgb(values, alpha=name == "rgba")
        for k, channel in enumerate("rgba"[: channels.shape[-1]]):
            yield f"{name}.{channel}", channels[:, k]
    else:
        yield name, values


def statistics(path: Path, header: vantrel.PcdHeader) -> dict[str, dict[str, Any]]:
    """Per field (per channel of a packed color): min, max and mean of its values that are no NaN,
    and how many NaNs, read in chunks."""
    import numpy as np

    totals: dict[str, dict[str, Any]] = {}
    with damage_is_an_error(), vantrel.open_pcd(path) as reader:
        for chunk in point_progress(
            reader.chunks(chunk_points(header.point_step)), header.points, f"{path.name}: stats"
        ):
            for name, values in (column for item in chunk.fields.items() for column in columns(*item)):
                values = values.astype(np.float64, copy=False).reshape(-1)
                nan = np.isnan(values)
                kept = values[~nan]
                entry = totals.setdefault(name, {"min": math.inf, "max": -math.inf, "sum": 0.0, "n": 0, "nan": 0})
                entry["nan"] += int(nan.sum())
                if len(kept):
                    entry["min"] = min(entry["min"], float(kept.min()))
                    entry["max"] = max(entry["max"], float(kept.max()))
                    entry["sum"] += float(kept.sum())
                    entry["n"] += len(kept)
    stats = {}
    for name, entry in totals.items():
        n = entry["n"]
        stats[name] = {
            "min": entry["min"] if n else None,
            "max": entry["max"] if n else None,
            "mean": entry["sum"] / n if n else None,
            "nan": entry["nan"],
        }
    return stats


def json_number(value: float | None) -> Any:
    """JSON has no infinities or NaN: they are written as strings."""
    if value is None or math.isfinite(value):
        return value
    return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")


def show_number(value: float | None) -> str:
    """Every digit a float64 needs to be the same number again: a coordinate's or a time's last
    digits are what tell them apart (a Unix time's min and max would both be 1.7e+09)."""
    return "—" if value is None else repr(float(value))


def stats_line(entry: dict[str, Any]) -> str:
    return "".join(f" {show_number(entry[key]):>22}" for key in ("min", "max", "mean")) + f" {entry['nan']:>8}"


def info(args: argparse.Namespace) -> int:
    failed = 0
    files = pcd_files(args.files)
    for path in progress(files, len(files), what="files"):
        try:
            header = vantrel.read_pcd_header(path)
            stats = statistics(path, header) if args.stats else None
        except Exception as error:  # a DataWarning made an error too
            print(f"vantrel: error: {path}: {message(error, path)}", file=sys.stderr)
            failed += 1
            continue
        size = path.stat().st_size
        if args.json:
            record: dict[str, Any] = {"path": str(path), "size_bytes": size}
            for attribute in ("version", "width", "height", "points", "data", "point_step", "data_offset", "organized"):
                record[attribute] = getattr(header, attribute)
            record["viewpoint"] = list(header.viewpoint)
            record["fields"] = field_rows(header)
            if stats is not None:
                record["stats"] = {
                    name: {key: json_number(value) for key, value in entry.items()} for name, entry in stats.items()
                }
            print(json.dumps(record))
            continue
        print(path)
        print(f"  {'field':<16} {'type':<4} {'size':>4} {'count':>6} {'offset':>7}", end="")
        print(f"  {'min':>22} {'max':>22} {'mean':>22} {'NaN':>8}" if stats is not None else "")
        for field in header.fields:
            line = f"  {field.name:<16} {field.type:<4} {field.size:>4} {field.count:>6} {field.offset:>7}"
            channels = [f"{field.name}.{c}" for c in "rgba"] if stats is not None else []
            if stats is not None and field.name in stats:
                print(line + stats_line(stats[field.name]))
            elif stats is not None and any(name in stats for name in channels):  # a packed color: per channel
                print(line)
                for name in (n for n in channels if n in stats):
                    print(f"    {name:<44}" + stats_line(stats[name]))
            else:
                print(line)
        organized = "organized" if header.organized else "unorganized"
        print(f"  points      {header.points:,}")
        print(f"  grid        {header.width} x {header.height} ({organized})")
        print(f"  viewpoint   {' '.join(f'{v:g}' for v in header.viewpoint)}")
        print(f"  data        {header.data}")
        print(f"  file size   {size:,} bytes")
    return 1 if failed else 0


# ---------------------------------------------------------------- check


def check(args: argparse.Namespace) -> int:
    files = pcd_files(args.paths)
    if not files:
        raise Refused(f"no PCD file in {', '.join(args.paths)}")
    bad = 0
    for path in progress(files, len(files), what="files"):
        try:
            # In chunks: a file of any size is checked in the memory of one chunk.
            with damage_is_an_error(), vantrel.open_pcd(path) as reader:
                for _ in reader.chunks(chunk_points(reader.header.point_step)):
                    pass
        except Exception as error:  # a DataWarning made an error too
            print(f"{path}: {type(error).__name__}: {message(error, path)}")
            bad += 1
        else:
            print(f"{path}: ok")
    return 1 if bad else 0


# ---------------------------------------------------------------- view


# ---------------------------------------------------------------- map tools


def run_tool(function: Any, args: argparse.Namespace, *positional: Any, **options: Any) -> int:
    from vantrel import tools

    try:
        return report(args, function(*positional, **options))
    except tools.ToolError as error:
        raise Refused(str(error)) from None


def tile_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    size = (args.size, args.size_y if args.size_y is not None else args.size)
    return run_tool(
        tools.tile,
        args,
        [str(local(p)) for p in args.inputs],
        str(local(args.outdir)),
        size=size,
        origin=tuple(args.origin),
        prefix=args.prefix,
        data=args.data,
        metadata=not args.no_metadata,
        overwrite=args.overwrite,
    )


def merge_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    fields = [n.strip() for n in args.fields.split(",") if n.strip()] if args.fields else None
    return run_tool(
        tools.merge, args, [str(local(p)) for p in args.inputs], str(local(args.output)), data=args.data, fields=fields
    )


def crop_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    polygon = tools.read_polygon(local(args.polygon)) if args.polygon else None
    return run_tool(
        tools.crop,
        args,
        str(local(args.input)),
        str(local(args.output)),
        box=args.box,
        polygon=polygon,
        data=args.data,
    )


def downsample_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    voxel = args.voxel[0] if len(args.voxel) == 1 else tuple(args.voxel)
    return run_tool(
        tools.downsample, args, str(local(args.input)), str(local(args.output)), voxel=voxel, data=args.data
    )


def positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


# ---------------------------------------------------------------- main


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="vantrel", description=__doc__.split("\n")[0])
    top.add_argument("--version", action="version", version=f"vantrel {vantrel.__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_file_commands(commands)
    _formats.add_commands(commands)
    add_tool_commands(commands)
    return top


def add_file_commands(commands: Any) -> None:
    """info, check and view."""
    info_ = commands.add_parser("info", help="print each file's header (and, with --stats, its values' range)")
    info_.add_argument("files", nargs="+", metavar="FILE", help="PCD files, or folders to search for *.pcd")
    info_.add_argument("--stats", action="store_true", help="per field: min, max, mean and NaN count")
    info_.add_argument("--json", action="store_true", help="one JSON object per line per file, for scripts")
    info_.set_defaults(run=info)

    check_ = commands.add_parser(
        "check", help="read each file whole and say whether it is sound; exit 1 when any is not"
    )
    check_.add_argument("paths", nargs="+", metavar="PATH", help="PCD files, or folders to search for *.pcd")
    check_.set_defaults(run=check)

    view_ = commands.add_parser(
        "view",
        help="draw the cloud into a PNG file: a plan and a side view (an organized cloud: its range image and a plan)",
    )
    view_.add_argument("file", metavar="FILE")
    view_.add_argument("-o", "--output", required=True, metavar="PICTURE.png", help="the picture to write (required)")
    view_.add_argument(
        "--color", default="z", metavar="z|intensity|rgb|FIELD", help="the field that colors points (default: z)"
    )
    view_.add_argument(
        "--size", type=picture_size, default=(1600, 1200), metavar="WxH", help="pixels (default: 1600x1200)"
    )
    view_.set_defaults(run=view)


def add_tool_commands(commands: Any) -> None:
    """The map tools: tile, merge, crop and downsample, each with --json."""
    tile_ = commands.add_parser("tile", help="divide maps into grid tiles, every field kept (and Autoware's metadata)")
    tile_.add_argument("inputs", nargs="+", metavar="MAP", help="PCD files, or folders of them, tiled together")
    tile_.add_argument("outdir", metavar="OUTDIR")
    tile_.add_argument("--size", type=positive, required=True, help="tile size in metres along x (and y) (required)")
    tile_.add_argument("--size-y", type=positive, help="tile size along y, when it differs (default: --size)")
    tile_.add_argument(
        "--origin", type=float, nargs=2, default=(0.0, 0.0), metavar=("X", "Y"), help="a tile corner (default: 0 0)"
    )
    tile_.add_argument("--prefix", default="", help="before each tile's name (default: none)")
    tile_.add_argument("--data", choices=ENCODINGS, default="binary_compressed", help="(default: %(default)s)")
    tile_.add_argument("--no-metadata", action="store_true", help="no pointcloud_map_metadata.yaml (default: written)")
    tile_.add_argument(
        "--overwrite",
        action="store_true",
        help="replace the tiles of an earlier run in OUTDIR (default: OUTDIR must be new or empty)",
    )
    tile_.set_defaults(run=tile_command)

    merge_ = commands.add_parser("merge", help="concatenate clouds whose fields agree")
    merge_.add_argument("inputs", nargs="+", metavar="IN")
    merge_.add_argument("-o", "--output", required=True, metavar="OUT", help="the merged cloud (required)")
    merge_.add_argument(
        "--fields",
        metavar="a,b,c",
        help="keep these fields, which every input must hold (default: all, as the inputs agree)",
    )
    merge_.add_argument("--data", choices=ENCODINGS, help="the encoding of OUT (default: the first input's)")
    merge_.set_defaults(run=merge_command)

    crop_ = commands.add_parser("crop", help="keep the points inside a box or an x-y polygon, every field kept")
    crop_.add_argument("input", metavar="IN")
    crop_.add_argument("output", metavar="OUT")
    crop_.add_argument(
        "--box",
        type=float,
        nargs="+",
        metavar="BOUND",
        help="XMIN YMIN ZMIN XMAX YMAX ZMAX, or XMIN YMIN XMAX YMAX for any z; inf or -inf leaves a side open",
    )
    crop_.add_argument(
        "--polygon",
        metavar="FILE",
        help="x,y vertices: a CSV file, or a GeoJSON Polygon or MultiPolygon, holes and parts included",
    )
    crop_.add_argument("--data", choices=ENCODINGS, help="the encoding of OUT (default: IN's)")
    crop_.set_defaults(run=crop_command)

    down_ = commands.add_parser("downsample", help="one point per occupied voxel: means, first integers")
    down_.add_argument("input", metavar="IN")
    down_.add_argument("output", metavar="OUT")
    down_.add_argument(
        "--voxel", type=positive, nargs="+", required=True, metavar="SIZE", help="one size, or x y z (required)"
    )
    down_.add_argument("--data", choices=ENCODINGS, help="the encoding of OUT (default: IN's)")
    down_.set_defaults(run=downsample_command)

    for tool in (tile_, merge_, crop_, down_):
        tool.add_argument("--json", action="store_true", help="the summary as one JSON object")


def show_warning(message: Warning | str, *_: Any, **__: Any) -> None:
    """A warning as the command's own line, not as Python's source location."""
    print(f"vantrel: warning: {message}", file=sys.stderr)


# argparse takes "-1e9" and "-inf" for options (its test of a negative number knows no exponent),
# so that --box and --origin would refuse them: numbers of every form are values.
NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*([eE][-+]?\d+)?|\.\d+([eE][-+]?\d+)?|inf|infinity)$", re.IGNORECASE)


def main(argv: list[str] | None = None) -> int:
    commands = parser()
    for sub in [commands, *_subparsers(commands)]:
        sub._negative_number_matcher = NEGATIVE_NUMBER
    args = commands.parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        print("vantrel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of our output went away (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:  # a DataWarning made an error too
        text = message(error) if isinstance(error, Refused) else f"{type(error).__name__}: {message(error)}"
        print(f"vantrel: error: {text}", file=sys.stderr)
        return 1


def _subparsers(commands: argparse.ArgumentParser) -> list[argparse.ArgumentParser]:
    return [
        sub
        for action in commands._actions
        if isinstance(action, argparse._SubParsersAction)
        for sub in action.choices.values()
    ]


if __name__ == "__main__":
    sys.exit(main())
