"""vantrel bag-to-pcd: one PCD file per PointCloud2 message of a ROS bag, and index.csv."""

from __future__ import annotations

import argparse
import json
from typing import Any

from vantrel._types import ENCODINGS, as_data
from vantrel.cli._common import local


def bag_to_pcd(args: argparse.Namespace) -> int:
    from vantrel import ros

    summary = ros.bag_to_pcd(
        local(args.bag),
        local(args.outdir),
        topics=args.topic,
        data=as_data(args.data),
        progress=True,
        overwrite=args.overwrite,
    )
    if args.json:
        print(json.dumps(summary))
    else:
        skipped = f", {summary['skipped']:,} converted before" if summary["skipped"] else ""
        print(
            f"bag-to-pcd: {summary['messages']:,} messages, {summary['points']:,} points; "
            f"{len(summary['files']):,} files written in {summary['seconds']:.2f} s{skipped}"
        )
    return 1 if summary["missing"] else 0  # a damaged bag, as check says of a damaged file


def add(commands: Any) -> None:
    bag = commands.add_parser(
        "bag-to-pcd", help="one PCD file per PointCloud2 message of a ROS bag, every field kept, and index.csv"
    )
    bag.add_argument("bag", metavar="BAG", help="a ROS 1 .bag, or a ROS 2 bag folder (sqlite3 or MCAP)")
    bag.add_argument("outdir", metavar="OUTDIR")
    bag.add_argument("--topic", action="append", metavar="T", help="a PointCloud2 topic (default: all of them)")
    bag.add_argument("--data", choices=ENCODINGS, default="binary_compressed", help="(default: %(default)s)")
    bag.add_argument(
        "--overwrite",
        action="store_true",
        help="remove the files index.csv lists and convert every message again (default: convert only those "
        "whose file is not in OUTDIR yet)",
    )
    bag.add_argument("--json", action="store_true", help="the summary as one JSON object")
    bag.set_defaults(run=bag_to_pcd)
