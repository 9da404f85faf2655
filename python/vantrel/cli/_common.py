"""What the commands share: the one error a command prints as a plain line, paths named on the
command line, error messages with their notes, the summary line, file progress."""

from __future__ import annotations

import argparse
import json
import math
import re
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from vantrel._chunks import counted
from vantrel._paths import pcd_files as _pcd_files


class Refused(Exception):
    """A file or an argument the command cannot work with: one line on stderr, exit status 1."""


def local(name: str) -> Path:
    """A path named on the command line; a URL is refused with what to use instead."""
    if re.match(r"[A-Za-z][A-Za-z0-9+.-]+://", name):
        raise Refused(
            f"{name}: the command line reads local files; download it first, or read it in Python through "
            "fsspec: with fsspec.open(url, 'rb') as f: cloud = vantrel.read_pcd(f)"
        )
    return Path(name)


def pcd_files(paths: Iterable[str]) -> list[Path]:
    """The files named, each folder replaced by the *.pcd files under it."""
    return _pcd_files(local(name) for name in paths)


def progress(items: Iterable[Any], total: int | None = None, what: str = "") -> Iterator[Any]:
    """Items counted on a progress bar (files)."""
    return counted(items, total, what, " files")


def message(error: BaseException, path: Path | None = None) -> str:
    """The error's own words (a DataWarning names its file already), then its notes, a line each."""
    text = str(error)
    prefix = f"{path}: "
    if path is not None and text.startswith(prefix):
        text = text[len(prefix) :]
    notes = [note for note in getattr(error, "__notes__", ()) if not note.startswith("while reading ")]  # named
    return "\n".join([text, *(f"  {note}" for note in notes)])


def report(args: Any, summary: dict[str, Any]) -> int:
    """A command's summary of the points and files it wrote: one line, or JSON with --json."""
    if args.json:
        print(json.dumps(summary))
        return 0
    extra = "".join(
        f", {summary[key]:,} {label}"
        for key, label in (("nan_dropped", "with NaN dropped"), ("nan_points", "NaN"))
        if summary.get(key)
    )
    files = summary["files"]
    shown = files[0] if len(files) == 1 else f"{len(files)} files"
    print(
        f"{args.command}: {summary['points_in']:,} points in, {summary['points_out']:,} out{extra}; "
        f"{shown} written in {summary['seconds']:.2f} s"
    )
    return 0


def positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


def names(text: str | None) -> list[str] | None:
    """--fields a,b,c as a list; None when not given."""
    return [name.strip() for name in text.split(",") if name.strip()] if text else None


def run_tool(function: Any, args: argparse.Namespace, *positional: Any, **options: Any) -> int:
    """A map tool run (on Dask with --scheduler or --dask), its summary printed; its refusal as the
    command's own line."""
    from vantrel import tools

    try:
        if args.scheduler is None and not args.dask:
            return report(args, function(*positional, **options))
        return report(args, _on_dask(function.__name__, args.scheduler, *positional, **options))
    except tools.ToolError as error:
        raise Refused(str(error)) from None


def _on_dask(name: str, scheduler: str | None, *positional: Any, **options: Any) -> dict[str, Any]:
    """The tool of that name in vantrel.dask, on the scheduler at that address, or the local one."""
    try:
        import vantrel.dask
    except ImportError as error:
        raise Refused(str(error)) from None
    function = getattr(vantrel.dask, name)
    if scheduler is None:
        return dict(function(*positional, **options))
    from distributed import Client

    try:
        client = Client(scheduler, timeout="10s")  # type: ignore[no-untyped-call]
    except OSError as error:
        raise Refused(f"no Dask scheduler answers at {scheduler}: {error}") from None
    with client:
        return dict(function(*positional, client=client, **options))


def tool_options(command: Any) -> None:
    """The options every map tool's command takes: --json, and where to run."""
    command.add_argument("--json", action="store_true", help="the summary as one JSON object")
    dask = command.add_mutually_exclusive_group()
    dask.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run as tasks on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786); "
        "the inputs and outputs must be on a file system its workers share",
    )
    dask.add_argument("--dask", action="store_true", help="run as tasks on Dask's local scheduler")
