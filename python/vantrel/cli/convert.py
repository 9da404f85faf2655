"""vantrel convert: a cloud written again in another format, by extension (vantrel.convert)."""

from __future__ import annotations

import argparse
from typing import Any

import vantrel
from vantrel._convert import FORMATS
from vantrel._types import ENCODINGS
from vantrel.cli._common import local, names, report


def convert(args: argparse.Namespace) -> int:
    given = {"data": args.data, "scale": args.scale, "float32": args.float32, "text": args.text, "lossy": args.lossy}
    options = {name: value for name, value in given.items() if value not in (None, False)}
    summary = vantrel.convert(local(args.input), local(args.output), fields=names(args.fields), crs=args.crs, **options)
    return report(args, summary)


def add(commands: Any) -> None:
    extensions = " ".join(FORMATS)
    convert_ = commands.add_parser(
        "convert", help=f"write IN again as OUT, the formats by extension ({extensions}); OUT appears only when done"
    )
    convert_.add_argument("input", metavar="IN", help=f"a file: {extensions}")
    convert_.add_argument("output", metavar="OUT", help=f"a file: {extensions}")
    convert_.add_argument("--data", choices=ENCODINGS, help="the encoding of a PCD OUT (default: IN's, or compressed)")
    convert_.add_argument("--fields", metavar="a,b,c", help="the fields to keep, comma-separated (default: all)")
    convert_.add_argument("--float32", action="store_true", help="LAS/LAZ IN: x, y and z as F 4 (default: F 8)")
    convert_.add_argument(
        "--scale",
        type=float,
        help="LAS/LAZ OUT: the coordinates' step (default: the step they lie on, or the finest that holds them)",
    )
    convert_.add_argument(
        "--crs",
        metavar="CRS",
        help="the coordinates' CRS, an EPSG code or WKT (default: IN's: a LAS file's, a Parquet file's, or a PCD "
        "file's .prj beside it)",
    )
    convert_.add_argument("--text", action="store_true", help="PLY OUT: ascii (default: binary little-endian)")
    convert_.add_argument("--lossy", action="store_true", help="PLY OUT: 64-bit integers as float64 (default: refused)")
    convert_.add_argument("--json", action="store_true", help="the summary as one JSON object")
    convert_.set_defaults(run=convert)
