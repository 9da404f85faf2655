"""vantrel crop: the points inside a box or an x-y polygon, every field kept."""

from __future__ import annotations

import argparse
from typing import Any

from vantrel._types import ENCODINGS
from vantrel.cli._common import local, run_tool, tool_options


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


def add(commands: Any) -> None:
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
    tool_options(crop_)
