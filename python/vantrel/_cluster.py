"""The map tools on a Dask cluster, giving the same bytes as vantrel.tools on one machine.

A map is split into tasks by file and by range of records (a binary file in runs of RANGE_BYTES,
another file whole: reaching its middle means reading it from the start). Each task reads its
range with open_pcd and seek and writes what it makes to a folder of the run's scratch folder
of its own (an attempt's name, so that a retried task never meets a lost one's files); a second
stage joins the parts in input order with the writers the single-machine tools use. The output
folder or file must be on a file system that the workers share.
"""

from __future__ import annotations

import contextlib
import glob
import os
import shutil
import time
import uuid
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import vantrel
from vantrel import _voxels, tools
from vantrel._chunks import chunk_points, damage_is_an_error, no_points
from vantrel._extras import require
from vantrel._polygons import rings_of
from vantrel._tiles import (
    BLOCK_BYTES,
    Tile,
    building_beside,
    check_outdir,
    remove,
    spool_name,
    spool_tiles,
    spooled,
    tile_names,
    write_metadata,
    write_tile,
)
from vantrel._tool_error import ToolError
from vantrel._types import Data
from vantrel._voxels import VoxelSums

RANGE_BYTES = 256 << 20  # records a task reads, at most, of a binary file
# A task reads chunks a quarter of the size one machine reads: a worker holds Dask's own memory beside the
# voxel table (the output is the same for any chunk size).
TASK_CHUNK = 4
Segment = tuple[str, int, int]  # (path, first point, points)
_Source = str | os.PathLike[str]


# ---------------------------------------------------------------- tasks and their ranges


def paths_of(sources: _Source | Sequence[_Source]) -> list[Path]:
    """The input files as the single-machine tools find them, a glob (* ? [) expanded in sorted
    order first. A URL is refused: every worker reads the inputs at the same path."""
    items = [sources] if isinstance(sources, str | os.PathLike) else list(sources)
    found: list[_Source] = []
    for item in items:
        text = os.fspath(item)
        if "://" in text:
            raise ToolError(f"{text}: the cluster's tools read files at a path every worker shares, not URLs")
        if not os.path.lexists(text) and any(c in text for c in "*?["):
            matches = sorted(glob.glob(text, recursive=True))
            if not matches:
                raise ToolError(f"no file matches {text}")
            found += matches
        else:
            found.append(item)
    return tools._paths(found)


def ranges(paths: list[Path], headers: list[vantrel.PcdHeader]) -> list[list[Segment]]:
    """A task's segments each: a binary file in runs of RANGE_BYTES of records, any other whole."""
    tasks: list[list[Segment]] = []
    for path, header in zip(paths, headers, strict=True):
        points = max(header.points, 0)
        step = points if header.data != "binary" else max(RANGE_BYTES // max(header.point_step, 1), 1)
        tasks += [[(str(path), start, min(step, points - start))] for start in range(0, points, max(step, 1))]
    return tasks


def blocks(paths: list[Path], headers: list[vantrel.PcdHeader], block: int) -> list[list[Segment]]:
    """downsample's tasks: the map's points, across its files, in blocks of `block` points."""
    tasks: list[list[Segment]] = [[]]
    room = block
    for path, header in zip(paths, headers, strict=True):
        at, points = 0, max(header.points, 0)
        while at < points:
            if not room:
                tasks.append([])
                room = block
            take = min(room, points - at)
            tasks[-1].append((str(path), at, take))
            at, room = at + take, room - take
    return tasks


def read(segments: list[Segment], fields: Sequence[str] | None = None) -> Iterator[vantrel.PointCloud]:
    """The segments' points in order, a chunk at a time."""
    for path, start, count in segments:
        with damage_is_an_error(), vantrel.open_pcd(path) as reader:
            step = max(chunk_points(reader.header.point_step) // TASK_CHUNK, 1)
            reader.seek(start)
            while count > 0:
                chunk = reader.read(min(step, count), fields=fields)
                if not len(chunk):
                    raise ToolError(f"{path}: fewer points than its header says")
                count -= len(chunk)
                yield chunk
                del chunk  # not held while the next is read, which then takes its memory


def attempt(scratch: Path, task: int) -> Path:
    """A task's own folder in the scratch folder: a retry's is another."""
    folder = scratch / f"{task:08d}.{uuid.uuid4().hex[:12]}"
    folder.mkdir()
    return folder


def compute(tasks: list[Any], client: Any) -> list[Any]:
    """The tasks' results, on `client`, or the current client or the local scheduler."""
    from dask.base import compute as run

    if client is None:
        return list(run(*tasks))  # type: ignore[no-untyped-call]
    futures = client.compute(tasks)
    try:
        return list(client.gather(futures))
    except BaseException:
        client.cancel(futures)  # the run's tasks that have not started never start
        raise


def delayed(function: Any, name: str) -> Any:
    """function as a Dask task maker, its tasks' keys named `name` (a dashboard shows what runs)."""
    from dask.delayed import delayed as make

    task = make(function, pure=False)
    return lambda *args: task(*args, dask_key_name=f"{name}-{uuid.uuid4().hex}")


@contextlib.contextmanager
def scratch_beside(target: Path) -> Iterator[Path]:
    """The run's scratch folder, beside its output, removed whatever happens."""
    scratch = target.parent / f".{target.name}.vantrel-dask-{uuid.uuid4().hex[:12]}"
    scratch.mkdir()
    try:
        yield scratch
    finally:
        remove(scratch)


# ---------------------------------------------------------------- crop and merge


def _like(first: str, fields: Any) -> Any:
    """The layout the output is written in: the first file's header (crop), or its `fields` (merge)."""
    return vantrel.read_pcd_header(first) if fields is False else no_points(Path(first), fields)


def _filter_part(
    segments: list[Segment], scratch: Path, task: int, box: Any, rings: Any, like: Any, names: Any
) -> tuple[str | None, int, int]:
    """A range's kept points as a binary PCD in the output's layout: (its path or None, points
    kept, points with a NaN coordinate dropped)."""
    import numpy as np

    fields = None if like[1] is False else like[1]
    part = attempt(scratch, task) / "part.pcd"
    kept = dropped = 0
    with vantrel.open_pcd_writer(part, data="binary", like=_like(*like)) as writer:
        for chunk in read(segments, fields):
            if box is None and rings is None:
                writer.write(chunk if names is None else {name: chunk[name] for name in names})
                kept += len(chunk)
            else:
                mask, nan = tools.crop_mask(chunk, box, rings)
                dropped += nan
                if inside := int(np.count_nonzero(mask)):
                    writer.write(chunk[mask])
                    kept += inside
                del mask
            del chunk  # before the next is read, which then takes its memory
    return (str(part) if kept else None), kept, dropped


def _join(parts: list[tuple[str | None, int, int]], target: str, options: dict[str, Any], like: Any) -> tuple[int, int]:
    """The parts' points, in order, written as the target: (points kept, points dropped)."""
    with vantrel.open_pcd_writer(target, like=_like(*like), **options) as writer:
        for part, _, _ in parts:
            if part is not None:
                with vantrel.open_pcd(part) as reader:
                    for chunk in reader.chunks(chunk_points(reader.header.point_step)):
                        writer.write(chunk)
                        del chunk  # before the next is read, which then takes its memory
    return sum(kept for _, kept, _ in parts), sum(dropped for _, _, dropped in parts)


def _filtered(
    paths: list[Path], target: Path, client: Any, box: Any, rings: Any, fields: Any, names: Any, options: Any
) -> tuple[int, int]:
    """crop's and merge's run (`fields` False for crop's every field in the header's layout):
    (points kept, points with a NaN coordinate dropped)."""
    like = (str(paths[0]), fields)
    with scratch_beside(target) as scratch:
        headers = [vantrel.read_pcd_header(path) for path in paths]
        filter_part = delayed(_filter_part, "vantrel-range")
        parts = [
            filter_part(segments, scratch, task, box, rings, like, names)
            for task, segments in enumerate(ranges(paths, headers))
        ]
        [(kept, dropped)] = compute([delayed(_join, "vantrel-join")(parts, str(target), options, like)], client)
    return int(kept), int(dropped)


def crop(
    source: _Source | Sequence[_Source],
    target: _Source,
    *,
    box: Sequence[float] | None = None,
    polygon: Any = None,
    data: str | None = None,
    client: Any = None,
) -> dict[str, Any]:
    """vantrel.tools.crop as Dask tasks, one a range of records, and one joining their points in
    order: the same bytes as on one machine.

    Parameters:
        source: paths, folders (every .pcd under them) or globs, at a path every worker shares.
        target, box, polygon, data: as vantrel.tools.crop.
        client: a dask.distributed Client; None for the current one, or the local scheduler.

    Returns:
        vantrel.tools.crop's summary.
    """
    start = time.perf_counter()
    if box is None and polygon is None:
        raise ToolError("crop needs a box or a polygon")
    box = None if box is None else tools._box(box)
    rings = None if polygon is None else rings_of(polygon)
    paths = paths_of(source)
    headers = tools._agreeing(paths)
    tools._require_xyz(paths[0], headers[0])
    out = tools._writable_target(target)
    options = {"data": tools._encoding(data, headers[0]), "viewpoint": headers[0].viewpoint}
    kept, dropped = _filtered(paths, out, client, box, rings, False, None, options)
    total = sum(max(h.points, 0) for h in headers)
    return tools._summary(total, kept, [out], start, nan_dropped=dropped)


def merge(
    sources: Sequence[_Source],
    target: _Source,
    *,
    data: str | None = None,
    fields: Sequence[str] | None = None,
    client: Any = None,
) -> dict[str, Any]:
    """vantrel.tools.merge as Dask tasks, one a range of records, and one joining them in order:
    the same bytes as on one machine. Parameters as vantrel.tools.merge, with crop's `client`."""
    start = time.perf_counter()
    paths = paths_of(sources)
    headers, names = tools._matching(paths, fields)
    out = tools._writable_target(target)
    total = sum(max(h.points, 0) for h in headers)
    options = {"data": tools._encoding(data, headers[0]), "viewpoint": headers[0].viewpoint, "points": total}
    _filtered(paths, out, client, None, None, None if fields is None else list(fields), names, options)
    return tools._summary(total, total, [out], start)


# ---------------------------------------------------------------- tile


class _Parts:
    """A tile's records from every task's spool files, in task order: what write_tile reads."""

    def __init__(self, parts: list[tuple[str, dict[Tile, int]]], dtype: Any) -> None:
        import numpy as np

        self.parts = parts
        self.dtype = dtype
        self.counts: dict[Tile, int] = {}
        for _, counts in parts:
            for tile, count in counts.items():
                self.counts[tile] = self.counts.get(tile, 0) + count
        self.out = np.empty((max(BLOCK_BYTES // dtype.itemsize, 1), dtype.itemsize), np.uint8)

    def blocks(self, tile: Tile) -> Iterator[Any]:
        for folder, counts in self.parts:
            if tile in counts:
                yield from spooled(Path(folder) / spool_name(tile), self.out)


def _tile_part(segments: list[Segment], scratch: Path, task: int, grid: Any) -> tuple[str, dict[Tile, int], Any]:
    """A range's records spooled by tile to the task's folder: (the folder, each tile's count, the
    records' dtype)."""
    folder = attempt(scratch, task)
    spool = spool_tiles(read(segments), folder, grid)
    spool.flush()
    return str(folder), spool.counts, spool.dtype


def _write_tiles(
    parts: list[tuple[str, dict[Tile, int], Any]], jobs: list[tuple[Tile, Path]], data: Data, vp: Any
) -> None:
    dtype = next(d for _, counts, d in parts if counts)
    joined = _Parts([(folder, counts) for folder, counts, _ in parts], dtype)
    for tile, final in jobs:
        write_tile(joined, tile, final, data, vp)


def tile(
    source: _Source | Sequence[_Source],
    outdir: _Source,
    *,
    size: float | Sequence[float],
    origin: Sequence[float] = (0, 0),
    prefix: str = "",
    data: Data = "binary_compressed",
    metadata: bool = True,
    overwrite: bool = False,
    client: Any = None,
) -> dict[str, Any]:
    """vantrel.tools.tile as Dask tasks: one a range of records, spooling its points by tile; then
    tasks that each join a share of the tiles from their parts, in input order. The same files as
    on one machine, `outdir` holding one run's set whole (made beside it, then put in its place).
    Parameters as vantrel.tools.tile, with crop's `client`."""
    start = time.perf_counter()
    grid, paths, headers, named, out = tools.tile_checks(paths_of, source, outdir, size, origin, prefix, data)
    check_outdir(out, overwrite)
    if metadata:
        require("yaml", "tools", "tile's pointcloud_map_metadata.yaml (or metadata=False)")
    tasks = ranges(paths, headers)
    with building_beside(out, overwrite) as build:
        scratch = build / ".spool"
        tile_part = delayed(_tile_part, "vantrel-range")
        parts = compute([tile_part(segments, scratch, task, grid) for task, segments in enumerate(tasks)], client)
        counts: set[Tile] = {t for _, part, _ in parts for t in part}
        tiles, written, entries = tile_names(counts, build, prefix, grid)
        jobs = list(zip(tiles, written, strict=True))
        groups = max(1, min(len(jobs), len(tasks)))
        write = delayed(_write_tiles, "vantrel-tiles")
        compute(
            [write(parts, jobs[g::groups], data, headers[0].viewpoint) for g in range(groups) if jobs[g::groups]],
            client,
        )
        for folder in scratch.iterdir():
            shutil.rmtree(folder)
        if metadata:
            written.append(write_metadata(build, grid, entries))
    nan = sum(part.get(None, 0) for _, part, _ in parts)
    total = sum(max(h.points, 0) for h in headers)
    files = [named / path.name for path in written]
    return tools._summary(total, total, files, start, tiles=len(entries), nan_points=nan)


# ---------------------------------------------------------------- downsample


def _voxel_block(
    segments: list[Segment], scratch: Path, task: int, first: str, sizes: Any, voxel: Any, block: int
) -> tuple[list[str], int]:
    """A block's voxels summed, in runs in the task's folder: (the runs, points with a NaN coordinate)."""
    voxels_of = VoxelSums(vantrel.read_pcd_header(first), scratch, attempt(scratch, task))
    voxels_of.block = block
    dropped = tools.add_voxels(voxels_of, read(segments), sizes, voxel)
    voxels_of.end_block()
    return [str(run) for run in voxels_of.runs], dropped


def _voxel_join(
    blocks: list[tuple[list[str], int]], first: str, target: str, sizes: Any, data: Data, vp: Any
) -> tuple[int, int]:
    """Every block's runs merged in block order into the target: (voxels, points dropped)."""
    voxels_of = VoxelSums(vantrel.read_pcd_header(first), Path(target).parent)
    voxels_of.add(no_points(Path(first)), sizes)  # the table's plan, from the map's fields
    voxels_of.runs = [Path(run) for runs, _ in blocks for run in runs]
    tools.write_voxels(voxels_of, Path(target), data, vp)
    return voxels_of.voxels, sum(dropped for _, dropped in blocks)


def downsample(
    source: _Source | Sequence[_Source],
    target: _Source,
    *,
    voxel: float | Sequence[float],
    fields: str = "mean",
    data: str | None = None,
    client: Any = None,
) -> dict[str, Any]:
    """vantrel.tools.downsample as Dask tasks, one a block of 2^24 points (across files) summed as
    the single machine sums it, and one merging the blocks' voxels in block order: the same bytes
    as on one machine. Parameters as vantrel.tools.downsample, with crop's `client`."""
    start = time.perf_counter()
    sizes = tools.voxel_sizes(voxel, fields)
    paths = paths_of(source)
    headers = tools._agreeing(paths)
    tools._require_xyz(paths[0], headers[0])
    out = tools._writable_target(target)
    encoding = tools._encoding(data, headers[0])
    first = str(paths[0])
    with scratch_beside(out) as scratch:
        size = _voxels.BLOCK_POINTS
        block = delayed(_voxel_block, "vantrel-block")
        summed = [
            block(segments, scratch, task, first, sizes, voxel, size)
            for task, segments in enumerate(blocks(paths, headers, size))
        ]
        join = delayed(_voxel_join, "vantrel-join")(summed, first, str(out), sizes, encoding, headers[0].viewpoint)
        [(voxels, dropped)] = compute([join], client)
    total = sum(max(h.points, 0) for h in headers)
    return tools._summary(total, voxels, [out], start, nan_dropped=dropped)
