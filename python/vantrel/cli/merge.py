"""vantrel merge: clouds whose fields agree, concatenated."""

from __future__ import annotations

import argparse
from typing import Any

from vantrel._types import ENCODINGS
from vantrel.cli._common import local, names, run_tool, tool_options


def merge_command(args: argparse.Namespace) -> int:
    from vantrel import tools

    fields = names(args.fields)
    return run_tool(
        tools.merge, args, [str(local(p)) for p in args.inputs], str(local(args.output)), data=args.data, fields=fields
    )


def add(commands: Any) -> None:
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
    tool_options(merge_)
