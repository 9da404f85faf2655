"""What the command line and the map tools share: progress bars on a terminal (when tqdm is
installed), and a damaged input taken as an error."""

from __future__ import annotations

import contextlib
import sys
import warnings
from collections.abc import Iterable, Iterator
from typing import Any


def bar(total: int | None, what: str, unit: str) -> Any:
    """A progress bar on a terminal when tqdm is installed; None otherwise."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:  # an optional extra: every command works without it
        return None
    return tqdm(total=total, desc=what, unit=unit, unit_scale=unit == " pts", leave=False)


def counted(items: Iterable[Any], total: int | None, what: str, unit: str, size: Any = None) -> Iterator[Any]:
    """The items, counted on a bar: one each, or size(item) each (points of a chunk)."""
    shown = bar(total, what, unit)
    try:
        for item in items:
            yield item
            if shown is not None:
                shown.update(size(item) if size else 1)
    finally:
        if shown is not None:
            shown.close()


def point_progress(chunks: Iterable[Any], total: int, what: str) -> Iterator[Any]:
    """Chunks of a cloud counted in points: 12.0M/20.0M pts, in points per second."""
    return counted(chunks, total, what, " pts", len)


@contextlib.contextmanager
def damage_is_an_error() -> Iterator[None]:
    """A DataWarning raised as an error: a command says what is wrong with a file, and a tool stops
    rather than putting zeros into a map."""
    import vantrel

    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.DataWarning)
        yield
