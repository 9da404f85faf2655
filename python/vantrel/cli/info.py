"""vantrel info: each file's header and, with --stats, its values' range, read in chunks."""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import vantrel
from vantrel._chunks import chunk_points, damage_is_an_error, point_progress
from vantrel._colors import is_packed
from vantrel.cli._common import message, pcd_files, progress


def field_rows(header: vantrel.PcdHeader) -> list[dict[str, Any]]:
    return [
        {"name": f.name, "type": f.type, "size": f.size, "count": f.count, "offset": f.offset} for f in header.fields
    ]


def columns(name: str, values: Any) -> Iterator[tuple[str, Any]]:
    """What statistics are taken of: a field's values, or a packed color's channels (rgb.r, rgb.g, ...)."""
    if values.ndim == 1 and is_packed(name, values.dtype.itemsize):
        channels = vantrel.unpack_rgb(values, alpha=name == "rgba")
        for k, channel in enumerate("rgba"[: channels.shape[-1]]):
            yield f"{name}.{channel}", channels[:, k]
    else:
        yield name, values


def statistics(path: Path, header: vantrel.PcdHeader) -> dict[str, dict[str, Any]]:
    """Per field (per channel of a packed color): min, max and mean of its values that are no NaN,
    and how many NaNs, read in chunks."""
    totals: dict[str, dict[str, Any]] = {}
    with damage_is_an_error(), vantrel.open_pcd(path) as reader:
        for chunk in point_progress(
            reader.chunks(chunk_points(header.point_step)), header.points, f"{path.name}: stats"
        ):
            _count(chunk, totals)
            del chunk  # before the next is read, which then takes its memory
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


def _count(chunk: vantrel.PointCloud, totals: dict[str, dict[str, Any]]) -> None:
    """A chunk's values added to each field's totals."""
    import numpy as np

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


def add(commands: Any) -> None:
    info_ = commands.add_parser("info", help="print each file's header (and, with --stats, its values' range)")
    info_.add_argument("files", nargs="+", metavar="FILE", help="PCD files, or folders to search for *.pcd")
    info_.add_argument("--stats", action="store_true", help="per field: min, max, mean and NaN count")
    info_.add_argument("--json", action="store_true", help="one JSON object per line per file, for scripts")
    info_.set_defaults(run=info)
