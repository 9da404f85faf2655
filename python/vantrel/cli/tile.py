"""vantrel tile: maps divided into grid tiles, every field kept, and Autoware's metadata."""

from __future__ import annotations

import argparse
from typing import Any

from vantrel._types import ENCODINGS
from vantrel.cli._common import local, positive, run_tool, tool_options


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


def add(commands: Any) -> None:
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
    tool_options(tile_)
