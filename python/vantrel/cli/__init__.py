"""vantrel's command line: look at, check, convert and picture point clouds without writing Python.

    vantrel info FILE... [--stats] [--json]
    vantrel check PATH...
    vantrel convert IN OUT [--data ascii|binary|binary_compressed] [--fields a,b,c]  (.pcd .las .laz .ply .parquet)
    vantrel bag-to-pcd BAG OUTDIR [--topic T]... [--data ENC]
    vantrel view FILE -o PICTURE.png [--color z|intensity|rgb|FIELD] [--size WxH]
    vantrel tile|merge|crop|downsample ...

One module per command, each with its parser and its run; the library never imports this package.
Also run as python -m vantrel.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import warnings
from typing import Any

import vantrel
from vantrel.cli import bag_to_pcd, check, convert, crop, downsample, info, merge, tile, view
from vantrel.cli._common import Refused, message

COMMANDS = (info, check, convert, bag_to_pcd, view, tile, merge, crop, downsample)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="vantrel", description=__doc__.split("\n")[0])
    top.add_argument("--version", action="version", version=f"vantrel {vantrel.__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add(commands)
    return top


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
        plain = isinstance(error, (Refused, vantrel.ConvertError))  # our own words, no type needed
        text = message(error) if plain else f"{type(error).__name__}: {message(error)}"
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
