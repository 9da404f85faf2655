"""Reading in chunks, shared by the bridges, the map tools and the command line: how many points a
chunk holds, progress bars counting them on a terminal (when tqdm is installed), a damaged input
taken as an error, and the empty piece that an output of no points is written with."""

from __future__ import annotations

import concurrent.futures
import contextlib
import sys
import warnings
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

import vantrel

_END = object()
CHUNK_BYTES = 32 << 20  # bytes of records read at a time where a command or a tool reads in chunks


def chunk_points(step: int) -> int:
    """Points in a chunk of records of `step` bytes: about CHUNK_BYTES of them, so that memory
    stays the same whatever a record's width (a million points of 30 fields would be 120 MB)."""
    return max(1, CHUNK_BYTES // max(int(step), 1))


def no_points(path: Path, fields: Any = None) -> Any:
    """A cloud of no points with the file's fields (or `fields`): what a command or a tool writes
    when no point is left, so that its output still has every field."""
    with vantrel.open_pcd(path) as reader:
        return reader.read(0, fields=fields)


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
            step = size(item) if size and shown is not None else 1
            yield item
            # Let go before the next is made: a chunk's memory is then the next one's, once the
            # caller has let it go too.
            del item
            if shown is not None:
                shown.update(step)
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
    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.DataWarning)
        yield


def ahead(items: Iterable[Any]) -> Iterator[Any]:
    """The items, each next one made on a thread while the caller works on the current one, so
    that reading one chunk and encoding the last overlap (both release the GIL). One item ahead:
    memory stays at two chunks."""
    iterator = iter(items)
    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vantrel-ahead") as pool:
        pending = pool.submit(next, iterator, _END)
        while True:
            item = pending.result()
            if item is _END:
                return
            pending = pool.submit(next, iterator, _END)
            yield item
