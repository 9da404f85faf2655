"""vantrel downsample: one point per occupied voxel."""

from __future__ import annotations

import argparse
from typing import Any

from vantrel._types import ENCODINGS
from vantrel.cli._common import local, positive, run_tool, tool_options


def downsample_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    voxel = args.voxel[0] if len(args.voxel) == 1 else tuple(args.voxel)
    return run_tool(
        tools.downsample, args, str(local(args.input)), str(local(args.output)), voxel=voxel, data=args.data
    )


def add(commands: Any) -> None:
    down_ = commands.add_parser("downsample", help="one point per occupied voxel: means, first integers")
    down_.add_argument("input", metavar="IN")
    down_.add_argument("output", metavar="OUT")
    down_.add_argument(
        "--voxel", type=positive, nargs="+", required=True, metavar="SIZE", help="one size, or x y z (required)"
    )
    down_.add_argument("--data", choices=ENCODINGS, help="the encoding of OUT (default: IN's)")
    down_.set_defaults(run=downsample_command)
    tool_options(down_)
