"""Map tools for maps larger than memory: tile, merge, crop and downsample, every field kept.

Each reads its input in chunks (open_pcd) and writes in pieces (open_pcd_writer), so memory stays
at a chunk (and, for downsample, at the occupied voxels), whatever the size of the map. Each
returns a summary: points in, points out, files written, seconds; the command line prints it.
"""

from __future__ import annotations

import itertools
import math
import os
import time
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

import vantrel
from vantrel._chunks import chunk_points, damage_is_an_error, no_points, point_progress
from vantrel._extras import require
from vantrel._paths import pcd_files
from vantrel._polygons import inside_polygon, read_polygon, rings_of
from vantrel._tiles import Grid, building_beside, check_outdir, spool_tiles, write_metadata, write_tiles
from vantrel._tool_error import ToolError
from vantrel._types import ENCODINGS, Data, as_data
from vantrel._voxels import VoxelSums

__all__ = ["ToolError", "crop", "downsample", "merge", "read_polygon", "tile"]

_Source = str | os.PathLike[str]


# ---------------------------------------------------------------- inputs


def _paths(sources: _Source | Sequence[_Source]) -> list[Path]:
    """The input files: a path, a folder (the *.pcd under it) or a list of them."""
    items = [sources] if isinstance(sources, str | os.PathLike) else list(sources)
    found = pcd_files(items)
    if not found:
        raise ToolError(f"no PCD file in {', '.join(map(str, items)) or 'the arguments'}")
    return found


def _layout(header: vantrel.PcdHeader) -> list[tuple[str, str, int, int]]:
    return [(f.name, f.type, f.size, f.count) for f in header.fields]


def _require_xyz(path: Path, header: vantrel.PcdHeader) -> None:
    names = {f.name for f in header.fields if f.count >= 1}
    if not {"x", "y", "z"} <= names:
        raise ToolError(f"{path}: no x, y and z (its fields: {', '.join(sorted(names)) or 'none'})")


def _agreeing(paths: list[Path], fields: Sequence[str] | None = None) -> list[vantrel.PcdHeader]:
    """The inputs' headers, refused unless their fields agree (or, with `fields`, hold those)."""
    headers = [vantrel.read_pcd_header(path) for path in paths]
    first = _layout(headers[0])
    for path, header in zip(paths, headers, strict=True):
        layout = _layout(header)
        if fields is not None:
            missing = [name for name in fields if name not in {f[0] for f in layout}]
            if missing:
                shown = ", ".join(f.name for f in header.fields if not f.padding)  # padding is no field to ask for
                raise ToolError(f"{path}: no field {missing[0]!r} (its fields: {shown})")
            continue
        if layout != first:
            differs = next((a, b) for a, b in itertools.zip_longest(layout, first) if a != b)
            raise ToolError(
                f"{path}: its fields do not agree with {paths[0]}'s: {_shown(differs[0])} where it has "
                f"{_shown(differs[1])}"
            )
    return headers


def _matching(paths: list[Path], fields: Sequence[str] | None) -> tuple[list[vantrel.PcdHeader], list[str] | None]:
    """merge's inputs: their headers, refused before anything is written unless each holds the
    fields (every field of the first, or `fields`) by name, in any order, at the same type, size
    and COUNT; and the names to write each chunk's fields in when an input's order is not the
    first's (None when every input's is)."""
    headers = [vantrel.read_pcd_header(path) for path in paths]
    kinds = [{f.name: (f.type, f.size, f.count) for f in h.fields if not f.padding} for h in headers]
    if any(len(k) < sum(not f.padding for f in h.fields) for k, h in zip(kinds, headers, strict=True)):
        return _agreeing(paths, fields), None  # a name given twice: only one layout is merged
    wanted = list(fields) if fields is not None else list(kinds[0])
    for path, own in zip(paths, kinds, strict=True):
        missing = [name for name in wanted if name not in own]
        extra = [name for name in own if name not in wanted] if fields is None else []
        if fields is not None and missing:
            raise ToolError(f"{path}: no field {missing[0]!r} (its fields: {', '.join(own) or 'none'})")
        if missing or extra:
            which = f"no field {missing[0]!r}, which" if missing else f"a field {extra[0]!r}, which"
            has = "has" if missing else "has not"
            raise ToolError(f"{path}: its fields do not agree with {paths[0]}'s: it has {which} {paths[0]} {has}")
        for name in wanted:
            if own[name] != kinds[0][name]:
                raise ToolError(
                    f"{path}: field {name!r} is {_kind(own[name])} there and {_kind(kinds[0][name])} in {paths[0]}; "
                    "merge writes each field at one type"
                )
    orders = [[name for name in own if name in wanted] for own in kinds]
    return headers, None if all(order == orders[0] for order in orders) else orders[0]


def _kind(kind: tuple[str, int, int]) -> str:
    return f"{kind[0]}{kind[1]}" + (f" x {kind[2]}" if kind[2] != 1 else "")


def _shown(field: tuple[str, str, int, int] | None) -> str:
    return "no field" if field is None else f"field {field[0]!r} ({field[1]}{field[2]} x {field[3]})"


def _chunks(
    paths: list[Path],
    headers: list[vantrel.PcdHeader],
    what: str,
    fields: Sequence[str] | None = None,
    chunk: int | None = None,
) -> Iterator[Any]:
    """Every chunk of every input, in order, counted on a progress bar."""
    total = sum(max(h.points, 0) for h in headers)

    def read() -> Iterator[Any]:
        for path in paths:
            with damage_is_an_error(), vantrel.open_pcd(path) as reader:
                yield from reader.chunks(chunk or chunk_points(reader.header.point_step), fields=fields)

    return point_progress(read(), total, what)


def _summary(points_in: int, points_out: int, files: list[Path], start: float, **more: Any) -> dict[str, Any]:
    return {
        "points_in": points_in,
        "points_out": points_out,
        "files": [str(f) for f in files],
        "seconds": round(time.perf_counter() - start, 3),
        **more,
    }


def _number(value: Any, what: str, positive: bool = True) -> float:
    """value as a float, refused unless finite (and positive, unless told otherwise)."""
    kind = "a positive finite number" if positive else "a finite number"
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ToolError(f"{what} must be {kind}, not {value!r}") from None
    if not (math.isfinite(number) and (number > 0 or not positive)):
        raise ToolError(f"{what} must be {kind}, not {value!r}")
    return number


def _encoding(data: str | None, header: vantrel.PcdHeader) -> Data:
    try:
        return as_data(data or header.data)
    except ValueError as error:
        raise ToolError(str(error)) from None


def _writable_target(target: _Source) -> Path:
    path = Path(target)
    if path.is_dir():
        raise ToolError(f"{path} is a folder; the output is a file")
    if not path.parent.is_dir():
        raise ToolError(f"{path.parent}: no such folder for the output")
    return path


def _finite_xyz(cloud: Any) -> tuple[list[Any], Any]:
    """x, y and z as float64, and which points have all three finite: column by column, as NumPy
    reduces rows of three many times slower than it compares whole columns."""
    import numpy as np

    xyz = [np.asarray(cloud[a], np.float64) for a in "xyz"]
    return xyz, np.isfinite(xyz[0]) & np.isfinite(xyz[1]) & np.isfinite(xyz[2])


# ---------------------------------------------------------------- merge


def merge(
    sources: Sequence[_Source], target: _Source, *, data: str | None = None, fields: Sequence[str] | None = None
) -> dict[str, Any]:
    """Concatenate clouds whose fields agree (or the `fields` they all hold, when given) into one
    unorganized cloud, in the order given; NaN coordinates are kept. data: the output's encoding
    (default: the first input's).

    Examples:
        >>> summary = vantrel.tools.merge(["scans/0000.pcd", "scans/0001.pcd"], "merged.pcd")
        >>> summary["points_out"]
        4000
    """
    start = time.perf_counter()
    paths = _paths(sources)
    headers, names = _matching(paths, fields)
    target = _writable_target(target)
    encoding = _encoding(data, headers[0])
    total = sum(max(h.points, 0) for h in headers)
    like = no_points(paths[0], fields)  # an output of no points keeps the fields
    with vantrel.open_pcd_writer(
        target, data=encoding, points=total, viewpoint=headers[0].viewpoint, like=like
    ) as writer:
        for chunk in _chunks(paths, headers, "merge", fields):
            # In the first file's order when another file holds the fields in another.
            writer.write(chunk if names is None else {name: chunk[name] for name in names})
            del chunk  # before the next chunk is read, which then takes this one's memory
    return _summary(total, total, [target], start)


# ---------------------------------------------------------------- crop


def crop(
    source: _Source,
    target: _Source,
    *,
    box: Sequence[float] | None = None,
    polygon: Any = None,
    data: str | None = None,
) -> dict[str, Any]:
    """Keep the points inside a box (xmin, ymin, zmin, xmax, ymax, zmax, or xmin, ymin, xmax, ymax for
    any z; an infinite bound leaves that side open) and/or an x-y polygon (at
    least 3 vertices, or a sequence of such rings: a point inside an odd number of them is inside,
    so that holes and separate parts are kept out and in), every field kept, in their order; an
    organized cloud becomes unorganized, and NaN coordinates are dropped (counted in the summary).

    Examples:
        >>> vantrel.tools.crop("scan.pcd", "near.pcd", box=(-1, -1, -1, 1, 1, 1))["points_out"] < 2000
        True
    """
    import numpy as np

    start = time.perf_counter()
    if box is None and polygon is None:
        raise ToolError("crop needs a box or a polygon")
    if box is not None:
        box = _box(box)
    rings = None if polygon is None else rings_of(polygon)
    paths = _paths(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    target = _writable_target(target)
    kept = dropped_nan = 0
    with vantrel.open_pcd_writer(
        target, data=_encoding(data, headers[0]), viewpoint=headers[0].viewpoint, like=headers[0]
    ) as writer:
        for chunk in _chunks(paths, headers, "crop"):
            mask, dropped = crop_mask(chunk, box, rings)
            dropped_nan += dropped
            if inside := int(np.count_nonzero(mask)):
                writer.write(chunk[mask])
                kept += inside
            del chunk, mask  # before the next chunk is read, which then takes this one's memory
    return _summary(sum(max(h.points, 0) for h in headers), kept, [target], start, nan_dropped=dropped_nan)


def crop_mask(chunk: vantrel.PointCloud, box: list[float] | None, rings: Any) -> tuple[Any, int]:
    """Which of a chunk's points crop keeps, and how many it drops for a NaN coordinate."""
    import numpy as np

    xyz = [chunk[a] for a in "xyz"]  # the records' own columns, of whatever type the file gives
    mask = np.isfinite(xyz[0]) & np.isfinite(xyz[1]) & np.isfinite(xyz[2])
    dropped = len(mask) - int(np.count_nonzero(mask))
    if box is not None:
        # As float64, which holds every bound and coordinate as given (a float32 loop would round
        # the bound), cast a buffer at a time within the comparison: no float64 copy of a column.
        exact = "dd->?"
        for values, low, high in zip(xyz, box[:3], box[3:], strict=True):
            mask &= np.greater_equal(values, low, signature=exact)
            mask &= np.less_equal(values, high, signature=exact)
    if rings is not None:
        mask &= inside_polygon(xyz[0], xyz[1], rings)
    return mask, dropped


def _box(given: Sequence[float]) -> list[float]:
    """crop's box as (xmin, ymin, zmin, xmax, ymax, zmax): 6 numbers, or 4 for x and y with any
    z; an infinite bound leaves that side open."""
    box = [float(v) for v in given]
    if len(box) == 4:
        box = [box[0], box[1], -math.inf, box[2], box[3], math.inf]
    if len(box) != 6 or any(math.isnan(v) for v in box):
        raise ToolError(
            "box must be 6 numbers, xmin ymin zmin xmax ymax zmax, or 4 (xmin ymin xmax ymax, any z), "
            f"not {list(given)}"
        )
    if any(box[k] > box[k + 3] for k in range(3)):
        raise ToolError(f"box has a minimum above its maximum: {box}")
    return box


# ---------------------------------------------------------------- tile


def _grid(size: float | Sequence[float], origin: Sequence[float]) -> Grid:
    """tile's grid: tiles of `size` (one number, or x and y) from a corner at `origin` (x and y)."""
    sizes = (size, size) if isinstance(size, int | float) else tuple(size)
    if len(sizes) != 2:
        raise ToolError(f"size must be one number or (x, y), not {size!r}")
    try:
        corner = tuple(origin)
    except TypeError:
        corner = ()
    if len(corner) != 2:
        raise ToolError(f"origin must be two numbers, x and y, not {origin!r}")
    return Grid(
        (_number(corner[0], "origin", positive=False), _number(corner[1], "origin", positive=False)),
        (_number(sizes[0], "size"), _number(sizes[1], "size")),
        size,
    )


def tile(
    source: _Source | Sequence[_Source],
    outdir: _Source,
    *,
    size: float | Sequence[float],
    origin: Sequence[float] = (0, 0),
    prefix: str = "",
    data: Data = "binary_compressed",
    metadata: bool = True,
    chunk: int | None = None,
    overwrite: bool = False,
) -> dict[str, Any]:
    """Divide a map into grid tiles of `size` metres (one size, or (x, y)) from `origin`, one PCD per
    non-empty tile, every field kept, points in their input order: {prefix}{x_min}_{y_min}.pcd.
    Points with a NaN coordinate go to {prefix}nan.pcd. With `metadata`, writes
    pointcloud_map_metadata.yaml (x_resolution, y_resolution, and each tile's [x_min, y_min]).
    Several inputs (a folder or a list) tile together when their fields agree. `outdir` must be
    empty or new; with `overwrite`, a folder of an earlier run's tiles (PCD files and the metadata,
    nothing else) is replaced. The tiles are made in a folder beside `outdir` that takes its place
    once complete, so `outdir` holds one run's whole set or what it held before, never a mix.
    Points are held in memory up to 96 MB in all and spooled per tile to a scratch folder beyond
    that, so any number of tiles works with few open files. Tiles are written on as many threads
    as a write may use, each file by one.

    Examples:
        >>> summary = vantrel.tools.tile("scan.pcd", "tiles", size=2)
        >>> sorted(p.name for p in pathlib.Path("tiles").iterdir())[:2]
        ['-2_-2.pcd', '-2_-4.pcd']
    """
    start = time.perf_counter()
    grid, paths, headers, named, out = tile_checks(_paths, source, outdir, size, origin, prefix, data)
    check_outdir(out, overwrite)
    if metadata:
        require("yaml", "tools", "tile's pointcloud_map_metadata.yaml (or metadata=False)")
    with building_beside(out, overwrite) as build:
        spool = spool_tiles(_chunks(paths, headers, "tile", chunk=chunk), build / ".spool", grid)
        written, entries = write_tiles(spool, build, prefix, grid, data, headers[0])
        if metadata:
            written.append(write_metadata(build, grid, entries))
    written = [named / path.name for path in written]
    total = sum(max(h.points, 0) for h in headers)
    return _summary(total, total, written, start, tiles=len(entries), nan_points=spool.counts.get(None, 0))


def tile_checks(
    find: Any, source: Any, outdir: _Source, size: Any, origin: Sequence[float], prefix: str, data: str
) -> tuple[Grid, list[Path], list[vantrel.PcdHeader], Path, Path]:
    """tile's arguments checked before anything is read but headers: its grid, the inputs (found
    by `find`) and their headers, OUTDIR as named and as the folder it names (a link to a folder:
    the folder's tiles replaced)."""
    grid = _grid(size, origin)
    if any(sep and sep in prefix for sep in (os.sep, os.altsep, "\0")):
        raise ToolError(f"prefix {prefix!r} holds a path separator; the tiles go to {outdir}")
    paths = find(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    if data not in ENCODINGS:
        raise ToolError(f"data must be one of {', '.join(ENCODINGS)}, not {data!r}")
    return grid, paths, headers, Path(outdir), Path(outdir).resolve()


def downsample(
    source: _Source | Sequence[_Source],
    target: _Source,
    *,
    voxel: float | Sequence[float],
    fields: str = "mean",
    data: str | None = None,
) -> dict[str, Any]:
    """One point per occupied voxel of size `voxel` (one size, or (x, y, z)): x, y and z the mean
    of the voxel's points; every other float field the mean; a packed rgb/rgba field the mean of
    each channel, rounded; integer fields the value of the voxel's first point in file order.
    Output in voxel order (x index, then y, then z), the same bytes for any chunk size and thread
    count; memory grows with the occupied voxels, not with the points. The points are summed in
    blocks of 2^24, the blocks' sums then added in order, so that vantrel.dask.downsample gives the
    same bits. NaN coordinates are dropped (counted in the summary).

    Examples:
        >>> vantrel.tools.downsample("scan.pcd", "coarse.pcd", voxel=0.5)["points_out"] < 2000
        True
    """
    start = time.perf_counter()
    sizes = voxel_sizes(voxel, fields)
    paths = _paths(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    target = _writable_target(target)
    encoding = _encoding(data, headers[0])
    voxels_of = VoxelSums(headers[0], target.parent)
    try:
        dropped_nan = add_voxels(voxels_of, _chunks(paths, headers, "downsample"), sizes, voxel)
        if voxels_of.grid is None:  # a map of no points: a cloud of none, every field kept
            voxels_of.add(no_points(paths[0]), sizes)
        write_voxels(voxels_of, target, encoding, headers[0].viewpoint)
    finally:
        voxels_of.close()
    total = sum(max(h.points, 0) for h in headers)
    return _summary(total, voxels_of.voxels, [target], start, nan_dropped=dropped_nan)


def voxel_sizes(voxel: float | Sequence[float], fields: str = "mean") -> tuple[float, float, float]:
    """downsample's voxel as (x, y, z) sizes: one size, or three."""
    if fields != "mean":
        raise ToolError(f"fields must be 'mean', not {fields!r}")
    voxels = (voxel,) * 3 if isinstance(voxel, int | float) else tuple(voxel)
    if len(voxels) != 3:
        raise ToolError(f"voxel must be one size or (x, y, z), not {voxel!r}")
    return (_number(voxels[0], "voxel"), _number(voxels[1], "voxel"), _number(voxels[2], "voxel"))


def add_voxels(
    voxels_of: VoxelSums, chunks: Iterable[vantrel.PointCloud], sizes: tuple[float, float, float], voxel: Any
) -> int:
    """Every finite point into its voxel; returns how many points had a NaN coordinate."""
    import numpy as np

    dropped_nan = 0
    for chunk in chunks:
        try:
            dropped_nan += voxels_of.add(chunk, sizes)
        except OverflowError:
            xyz, finite = _finite_xyz(chunk)
            far = max(np.abs(values[finite]).max(initial=0) for values in xyz)
            raise ToolError(f"voxel {voxel!r} is too small for coordinates as large as {far:g}") from None
        del chunk  # before the next chunk is read, which then takes this one's memory
    return dropped_nan


def write_voxels(voxels_of: VoxelSums, target: Path, data: Data, viewpoint: Any) -> None:
    with vantrel.open_pcd_writer(target, data=data, viewpoint=viewpoint) as writer:
        for block in voxels_of.blocks():
            writer.write(block)
