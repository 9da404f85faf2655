"""The tiles of tile: a map's records spooled per grid tile into a scratch folder, then written
as one PCD per tile, with Autoware's metadata."""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path
from typing import Any, NamedTuple

import vantrel
from vantrel._commands import ToolError
from vantrel._types import Data

CHUNK = 1_000_000  # records written at a time
SPOOL_MEMORY = 96 << 20  # bytes of records held per run before they go to the spool files


class Grid(NamedTuple):
    origin: tuple[float, float]
    sizes: tuple[float, float]
    given: Any  # the size as given, for messages


Tile = tuple[int, int] | None  # a tile's (ix, iy), or None for points with a NaN coordinate


def spool_name(tile: Tile) -> str:
    return "nan" if tile is None else f"{tile[0]}_{tile[1]}"


class Spool:
    """The records of each tile, held in memory up to SPOOL_MEMORY bytes in all and appended to
    the tile's file in the scratch folder beyond that: a map that fits is never written twice,
    and a larger one costs a few open files at a time."""

    def __init__(self, scratch: Path) -> None:
        self.scratch = scratch
        self.held: dict[Tile, list[Any]] = {}  # bytes-like: slices of each chunk's ordered records
        self.bytes = 0
        self.counts: dict[Tile, int] = {}
        self.dtype: Any = None

    def add(self, tile: Tile, records: Any, points: int) -> None:
        self.held.setdefault(tile, []).append(records)
        self.bytes += len(records)
        self.counts[tile] = self.counts.get(tile, 0) + points
        if self.bytes > SPOOL_MEMORY:
            self.flush()

    def flush(self) -> None:
        for tile, parts in self.held.items():
            with open(self.scratch / spool_name(tile), "ab") as f:
                f.writelines(parts)
        self.held, self.bytes = {}, 0

    def blocks(self, tile: Tile) -> Iterable[Any]:
        """The tile's records, in input order: the spooled file's, then those still held."""
        path = self.scratch / spool_name(tile)
        if path.exists():
            with open(path, "rb") as f:
                while block := f.read(CHUNK * self.dtype.itemsize):
                    yield block
            path.unlink()
        yield from self.held.pop(tile, [])


def spool_tiles(parts: Iterable[vantrel.PointCloud], scratch: Path, grid: Grid) -> Spool:
    """Every chunk's records, by tile: the chunk's records put in tile order at once (stable, so
    input order within a tile), then each tile's run handed over."""
    import numpy as np

    spool = Spool(scratch)
    for part in parts:
        records = np.ascontiguousarray(part.records)
        spool.dtype = records.dtype
        size = records.dtype.itemsize
        raw = records.view(np.dtype((np.void, size)))  # whole records, padding included
        order, runs = tile_runs(part, grid)
        ordered = raw[order].view(np.uint8)  # held as slices of it, no copy more
        for name, start, stop in runs:
            spool.add(name, ordered[start * size : stop * size], stop - start)
    return spool


def write_tiles(
    spool: Spool, out: Path, prefix: str, grid: Grid, data: Data, header: vantrel.PcdHeader
) -> tuple[list[Path], list[tuple[str, float, float]]]:
    """Each tile written as a PCD under its name, in grid order, the NaN points last; the files,
    and each tile's (file name, x_min, y_min)."""
    written: list[Path] = []
    entries: list[tuple[str, float, float]] = []
    for name in sorted(spool.counts, key=lambda k: (k is None, k or (0, 0))):
        if name is None:
            final = out / f"{prefix}nan.pcd"
        else:
            x_min, y_min = grid.origin[0] + name[0] * grid.sizes[0], grid.origin[1] + name[1] * grid.sizes[1]
            final = out / f"{prefix}{corner(x_min)}_{corner(y_min)}.pcd"
            entries.append((final.name, x_min, y_min))
        write_tile(spool, name, final, data, header)
        written.append(final)
    return written, entries


def write_metadata(out: Path, grid: Grid, entries: list[tuple[str, float, float]]) -> Path:
    """pointcloud_map_metadata.yaml, in place at once."""
    lines = [f"x_resolution: {grid.sizes[0]!r}", f"y_resolution: {grid.sizes[1]!r}"]
    lines += [f"{file}: [{corner(x)}, {corner(y)}]" for file, x, y in entries]
    meta = out / "pointcloud_map_metadata.yaml"
    partial = out / ".pointcloud_map_metadata.yaml.part"
    partial.write_text("\n".join(lines) + "\n")
    partial.replace(meta)
    return meta


def tile_runs(part: Any, grid: Grid) -> tuple[Any, list[tuple[Tile, int, int]]]:
    """The order that puts a chunk's points by tile, and each tile's run in it, (tile, start,
    stop): tiles by (ix, iy), points in input order within each, the points with a NaN coordinate
    (tile None) last."""
    import numpy as np

    x, y = (part[name].astype(np.float64) for name in ("x", "y"))
    finite = np.isfinite(x) & np.isfinite(y) & np.isfinite(part["z"])
    n = len(finite)
    every = bool(finite.all())
    rows = np.arange(n) if every else np.flatnonzero(finite)
    if not every:
        x, y = x[rows], y[rows]
    ix = np.floor((x - grid.origin[0]) / grid.sizes[0])
    iy = np.floor((y - grid.origin[1]) / grid.sizes[1])
    runs: list[tuple[Tile, int, int]] = []
    order = rows
    if len(rows):
        if max(np.abs(ix).max(), np.abs(iy).max()) >= 2.0**62:
            raise ToolError(f"size {grid.given!r} is too small for coordinates as large as {np.abs(x).max():g}")
        ix, iy = ix.astype(np.int64), iy.astype(np.int64)
        low_x, low_y = ix.min(), iy.min()
        span_y = int(iy.max() - low_y) + 1
        span = (int(ix.max() - low_x) + 1) * span_y
        if span <= 1 << 62:  # one code a tile, x index then y: sorted stably, input order kept within a tile
            codes = (ix - low_x) * span_y + (iy - low_y)
            by_tile = np.argsort(codes.astype(np.uint16) if span <= 1 << 16 else codes, kind="stable")
            codes = codes[by_tile]
            starts = np.flatnonzero(np.diff(codes, prepend=-1))
            tiles = [(int(c) // span_y + int(low_x), int(c) % span_y + int(low_y)) for c in codes[starts]]
        else:
            by_tile = np.lexsort((iy, ix))  # stable: input order within a tile
            ix, iy = ix[by_tile], iy[by_tile]
            starts = np.flatnonzero(np.diff(ix, prepend=ix[:1] - 1) | np.diff(iy, prepend=iy[:1] - 1))
            tiles = [(int(ix[a]), int(iy[a])) for a in starts]
        order = rows[by_tile]
        ends = [*starts[1:], len(order)]
        runs = [(tile, int(a), int(b)) for tile, a, b in zip(tiles, starts, ends, strict=True)]
    if not every:
        nan = np.flatnonzero(~finite)
        runs.append((None, len(order), len(order) + len(nan)))
        order = np.concatenate([order, nan])
    return order, runs


def write_tile(spool: Spool, tile: Tile, final: Path, data: Data, header: vantrel.PcdHeader) -> None:
    """A tile's records written as a PCD, a block of them at a time."""
    import numpy as np

    names = [n for n in spool.dtype.names if n != "_"]
    with vantrel.open_pcd_writer(final, data=data, points=spool.counts[tile], viewpoint=header.viewpoint) as writer:
        for block in spool.blocks(tile):
            records = np.frombuffer(block, dtype=spool.dtype)
            writer.write({name: records[name] for name in names})


def corner(value: float) -> str:
    """A tile corner in a file name: an integer where the grid allows."""
    return str(int(value)) if float(value).is_integer() else repr(float(value))
