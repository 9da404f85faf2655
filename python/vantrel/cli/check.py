"""vantrel check: each file read whole, in chunks, and said sound or not; exit 1 when any is not."""

from __future__ import annotations

import argparse
from typing import Any

import vantrel
from vantrel._chunks import chunk_points, damage_is_an_error
from vantrel.cli._common import Refused, message, pcd_files, progress


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


def add(commands: Any) -> None:
    check_ = commands.add_parser(
        "check", help="read each file whole and say whether it is sound; exit 1 when any is not"
    )
    check_.add_argument("paths", nargs="+", metavar="PATH", help="PCD files, or folders to search for *.pcd")
    check_.set_defaults(run=check)
