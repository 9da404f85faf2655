"""Map tools for maps larger than memory: tile, merge, crop and downsample, every field kept.

Each reads its input in chunks (open_pcd) and writes in pieces (open_pcd_writer), so memory stays
at a chunk (and, for downsample, at the occupied voxels), whatever the size of the map. Each
returns a summary: points in, points out, files written, seconds; the command line prints it.
"""

from __future__ import annotations

import itertools
import math
import os
import shutil
import tempfile
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import vantrel
from vantrel._commands import damage_is_an_error, point_progress
from vantrel._types import ENCODINGS, Data, as_data

CHUNK = 1_000_000  # points read at a time

_Source = str | os.PathLike[str]


class ToolError(ValueError):
    """An argument or an input that a tool cannot work with; nothing was written."""


# ---------------------------------------------------------------- inputs


def _paths(sources: _Source | Sequence[_Source]) -> list[Path]:
    """The input files: a path, a folder (its *.pcd, sorted) or a list of them."""
    items = [sources] if isinstance(sources, str | os.PathLike) else list(sources)
    found: list[Path] = []
    for item in items:
        path = Path(item)
        found += sorted(path.glob("*.pcd")) if path.is_dir() else [path]
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
                raise ToolError(f"{path}: no field {missing[0]!r} (its fields: {', '.join(f[0] for f in layout)})")
            continue
        if layout != first:
            differs = next((a, b) for a, b in itertools.zip_longest(layout, first) if a != b)
            raise ToolError(
                f"{path}: its fields do not agree with {paths[0]}'s: {_shown(differs[0])} where it has "
                f"{_shown(differs[1])}"
            )
    return headers


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
                yield from reader.chunks(chunk or CHUNK, fields=fields)

    return point_progress(read(), total, what)


def _summary(points_in: int, points_out: int, files: list[Path], start: float, **more: Any) -> dict[str, Any]:
    return {
        "points_in": points_in,
        "points_out": points_out,
        "files": [str(f) for f in files],
        "seconds": round(time.perf_counter() - start, 3),
        **more,
    }


def _positive(value: float, what: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ToolError(f"{what} must be a positive number, not {value!r}") from None
    if not (math.isfinite(number) and number > 0):
        raise ToolError(f"{what} must be a positive finite number, not {value!r}")
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
    return path


def _finite_xyz(cloud: Any) -> Any:
    import numpy as np

    xyz = np.column_stack([cloud["x"], cloud["y"], cloud["z"]]).astype(np.float64)
    return xyz, np.isfinite(xyz).all(axis=1)


# ---------------------------------------------------------------- merge


def merge(
    sources: Sequence[_Source], target: _Source, *, data: str | None = None, fields: Sequence[str] | None = None
) -> dict[str, Any]:
    """Concatenate clouds whose fields agree (or the `fields` they all hold, when given) into one
    unorganized cloud, in the order given; NaN coordinates are kept. data: the output's encoding
    (default: the first input's)."""
    start = time.perf_counter()
    paths = _paths(sources)
    headers = _agreeing(paths, fields)
    target = _writable_target(target)
    encoding = _encoding(data, headers[0])
    total = sum(max(h.points, 0) for h in headers)
    with vantrel.open_pcd_writer(target, data=encoding, points=total, viewpoint=headers[0].viewpoint) as writer:
        for chunk in _chunks(paths, headers, "merge", fields):
            writer.write(chunk)
    return _summary(total, total, [target], start)


# ---------------------------------------------------------------- crop


def _inside_polygon(x: Any, y: Any, polygon: Any) -> Any:
    """Even-odd rule: a point is inside when a ray from it crosses the edges an odd number of times."""
    import numpy as np

    inside = np.zeros(len(x), bool)
    px, py = polygon[:, 0], polygon[:, 1]
    for i in range(len(polygon)):
        x0, y0, x1, y1 = px[i - 1], py[i - 1], px[i], py[i]
        crosses = (y0 > y) != (y1 > y)
        with np.errstate(divide="ignore", invalid="ignore"):
            at = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (x < at)
    return inside


def read_polygon(path: _Source) -> Any:
    """x-y vertices from a CSV file (x,y a line; a header line is skipped) or a GeoJSON file (the
    first Polygon's outer ring)."""
    import json

    import numpy as np

    text = Path(path).read_text()
    if text.lstrip().startswith("{"):
        document = json.loads(text)
        features = document.get("features", [document])
        for feature in features:
            geometry = feature.get("geometry", feature)
            if geometry.get("type") == "Polygon":
                return np.array(geometry["coordinates"][0], np.float64)[:, :2]
        raise ToolError(f"{path}: no Polygon in this GeoJSON")
    rows = []
    for line in text.splitlines():
        parts = [p for p in line.replace(";", ",").split(",") if p.strip()]
        if len(parts) < 2:
            continue
        try:
            rows.append((float(parts[0]), float(parts[1])))
        except ValueError:
            if rows:
                raise ToolError(f"{path}: {line!r} is no x,y pair") from None
    return np.array(rows, np.float64).reshape(-1, 2)


def crop(
    source: _Source,
    target: _Source,
    *,
    box: Sequence[float] | None = None,
    polygon: Any = None,
    data: str | None = None,
) -> dict[str, Any]:
    """Keep the points inside a box (xmin, ymin, zmin, xmax, ymax, zmax) and/or an x-y polygon (at
    least 3 vertices), every field kept, in their order; an organized cloud becomes unorganized,
    and NaN coordinates are dropped (counted in the summary)."""
    import numpy as np

    start = time.perf_counter()
    if box is None and polygon is None:
        raise ToolError("crop needs a box or a polygon")
    if box is not None:
        box = [float(v) for v in box]
        if len(box) != 6 or not all(math.isfinite(v) for v in box):
            raise ToolError(f"box must be 6 finite numbers, xmin ymin zmin xmax ymax zmax, not {box}")
        if any(box[k] > box[k + 3] for k in range(3)):
            raise ToolError(f"box has a minimum above its maximum: {box}")
    if polygon is not None:
        polygon = np.asarray(polygon, np.float64)
        if polygon.ndim != 2 or polygon.shape[1] < 2 or len(polygon) < 3 or not np.isfinite(polygon).all():
            raise ToolError("polygon must be at least 3 finite x-y vertices")
        polygon = polygon[:, :2]
    paths = _paths(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    target = _writable_target(target)
    kept = dropped_nan = 0
    with vantrel.open_pcd_writer(target, data=_encoding(data, headers[0]), viewpoint=headers[0].viewpoint) as writer:
        for chunk in _chunks(paths, headers, "crop"):
            xyz, finite = _finite_xyz(chunk)
            dropped_nan += int((~finite).sum())
            mask = finite
            if box is not None:
                mask = mask & (xyz >= box[:3]).all(axis=1) & (xyz <= box[3:]).all(axis=1)
            if polygon is not None:
                mask = mask & _inside_polygon(xyz[:, 0], xyz[:, 1], polygon)
            if mask.any():
                writer.write(chunk[mask])
                kept += int(mask.sum())
        if kept == 0:  # a file of no points still has the fields
            with vantrel.open_pcd(paths[0]) as reader:
                writer.write(reader.read(0))
    return _summary(sum(max(h.points, 0) for h in headers), kept, [target], start, nan_dropped=dropped_nan)


# ---------------------------------------------------------------- tile


def _corner(value: float) -> str:
    """A tile corner in a file name: an integer where the grid allows."""
    return str(int(value)) if float(value).is_integer() else repr(float(value))


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
) -> dict[str, Any]:
    """Divide a map into grid tiles of `size` metres (one size, or (x, y)) from `origin`, one PCD per
    non-empty tile, every field kept, points in their input order: {prefix}{x_min}_{y_min}.pcd.
    Points with a NaN coordinate go to {prefix}nan.pcd. With `metadata`, writes
    pointcloud_map_metadata.yaml (x_resolution, y_resolution, and each tile's [x_min, y_min]).
    Several inputs (a folder or a list) tile together when their fields agree. Points are spooled
    per tile to a scratch folder inside `outdir`, so any number of tiles works with few open files;
    each tile appears under its name only once complete."""
    import numpy as np

    start = time.perf_counter()
    sizes = (size, size) if isinstance(size, int | float) else tuple(size)
    if len(sizes) != 2:
        raise ToolError(f"size must be one number or (x, y), not {size!r}")
    sx, sy = (_positive(s, "size") for s in sizes)
    ox, oy = (float(v) for v in origin)
    paths = _paths(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    if data not in ENCODINGS:
        raise ToolError(f"data must be one of {', '.join(ENCODINGS)}, not {data!r}")
    out = Path(outdir)
    if out.exists() and not out.is_dir():
        raise ToolError(f"{out} is a file; the tiles go to a folder")
    out.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix=".vantrel-tile-", dir=out))
    try:
        counts: dict[tuple[int, int] | None, int] = {}
        record_dtype = None
        for part in _chunks(paths, headers, "tile", chunk=chunk):
            records = np.ascontiguousarray(part.records)
            record_dtype = records.dtype
            raw = records.view(np.dtype((np.void, records.dtype.itemsize)))  # whole records, padding included
            groups = _tile_groups(part, (ox, oy), (sx, sy), size)
            for name, picked in groups:
                spool = scratch / ("nan" if name is None else f"{name[0]}_{name[1]}")
                with open(spool, "ab") as f:
                    f.write(raw[picked].tobytes())
                counts[name] = counts.get(name, 0) + len(picked)
        written: list[Path] = []
        entries: list[tuple[str, float, float]] = []
        for name in sorted(counts, key=lambda k: (k is None, k or (0, 0))):
            if name is None:
                final = out / f"{prefix}nan.pcd"
            else:
                x_min, y_min = ox + name[0] * sx, oy + name[1] * sy
                final = out / f"{prefix}{_corner(x_min)}_{_corner(y_min)}.pcd"
                entries.append((final.name, x_min, y_min))
            spool = scratch / ("nan" if name is None else f"{name[0]}_{name[1]}")
            _write_spool(spool, record_dtype, counts[name], final, data, headers[0])
            spool.unlink()
            written.append(final)
        if metadata:
            lines = [f"x_resolution: {sx!r}", f"y_resolution: {sy!r}"]
            lines += [f"{file}: [{_corner(x)}, {_corner(y)}]" for file, x, y in entries]
            meta = out / "pointcloud_map_metadata.yaml"
            partial = out / ".pointcloud_map_metadata.yaml.part"
            partial.write_text("\n".join(lines) + "\n")
            partial.replace(meta)
            written.append(meta)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    total = sum(max(h.points, 0) for h in headers)
    return _summary(total, total, written, start, tiles=len(entries), nan_points=counts.get(None, 0))


def _tile_groups(part: Any, origin: tuple[float, float], sizes: tuple[float, float], size: Any) -> list[Any]:
    """The rows of a chunk by tile, ((ix, iy), rows) each, rows in input order; (None, rows) for the
    points with a NaN coordinate."""
    import numpy as np

    x, y = (part[name].astype(np.float64) for name in ("x", "y"))
    finite = np.isfinite(x) & np.isfinite(y) & np.isfinite(part["z"])
    rows = np.flatnonzero(finite)
    ix = np.floor((x[rows] - origin[0]) / sizes[0])
    iy = np.floor((y[rows] - origin[1]) / sizes[1])
    groups: list[Any] = []
    if len(rows):
        if max(np.abs(ix).max(), np.abs(iy).max()) >= 2.0**62:
            raise ToolError(f"size {size!r} is too small for coordinates as large as {np.abs(x[rows]).max():g}")
        ix, iy = ix.astype(np.int64), iy.astype(np.int64)
        low_x, low_y = ix.min(), iy.min()
        span_y = int(iy.max() - low_y) + 1
        span = (int(ix.max() - low_x) + 1) * span_y
        if span <= 1 << 16:  # few tiles: a stable radix sort of 16-bit codes
            order = np.argsort(((ix - low_x) * span_y + (iy - low_y)).astype(np.uint16), kind="stable")
        else:
            order = np.lexsort((iy, ix))  # stable: input order within a tile
        ix, iy, rows = ix[order], iy[order], rows[order]
        starts = np.flatnonzero(np.diff(ix, prepend=ix[:1] - 1) | np.diff(iy, prepend=iy[:1] - 1))
        ends = [*starts[1:], len(rows)]
        groups = [((int(ix[a]), int(iy[a])), rows[a:b]) for a, b in zip(starts, ends, strict=True)]
    if not finite.all():
        groups.append((None, np.flatnonzero(~finite)))
    return groups


def _write_spool(spool: Path, dtype: Any, points: int, final: Path, data: Data, header: vantrel.PcdHeader) -> None:
    """A tile's spooled records written as a PCD, a chunk of them at a time."""
    import numpy as np

    names = [n for n in dtype.names if n != "_"]
    with (
        open(spool, "rb") as f,
        vantrel.open_pcd_writer(final, data=data, points=points, viewpoint=header.viewpoint) as writer,
    ):
        while True:
            block = np.frombuffer(f.read(CHUNK * dtype.itemsize), dtype=dtype)
            if len(block) == 0:
                break
            writer.write({name: block[name] for name in names})


# ---------------------------------------------------------------- downsample

_BITS = 21  # per axis, in a packed key: 2 million voxels along each axis around the first point
_BLOCK = 1 << 20  # points summed at a time: the same sums for any chunk size


class _VoxelTable:
    """The occupied voxels: their keys in sorted order, each with the slot where its sums, count and
    first values are stored (in order of first appearance, grown by doubling, so that a new voxel
    moves only the keys). Keys are three 64-bit voxel indices, packed into one 64-bit number while
    they fit around the first point, and kept as three otherwise; both sort alike, so the output
    never depends on which."""

    def __init__(self, float_columns: int, firsts: list[Any], colors: int) -> None:
        import numpy as np

        self.np = np
        self.base: Any = None
        self.packed = True
        self.keys = np.zeros(0, np.int64)
        self.slots = np.zeros(0, np.int64)
        self.size = 0
        # Column by column, each contiguous: the sums of one field's element over the slots.
        self.sums = [np.zeros(0) for _ in range(float_columns)]
        self.color_sums = [np.zeros(0) for _ in range(colors)]
        self.counts = np.zeros(0, np.int64)
        self.firsts = [np.zeros((0, *f.shape[1:]), f.dtype) for f in firsts]
        self.pending: list[list[Any]] = []
        self.pending_points = 0

    def _keys(self, ijk: Any) -> Any:
        if self.base is None:
            self.base = ijk[0].copy()
        if self.packed:
            rel = ijk - self.base + (1 << (_BITS - 1))
            if len(rel) == 0 or (rel.min() >= 0 and rel.max() < (1 << _BITS)):
                return (rel[:, 0] << (2 * _BITS)) | (rel[:, 1] << _BITS) | rel[:, 2]
            self.packed = False
            self.keys = self._structured(self._unpack(self.keys))
        return self._structured(ijk)

    def _structured(self, ijk: Any) -> Any:
        np = self.np
        out = np.empty(len(ijk), [("i", "<i8"), ("j", "<i8"), ("k", "<i8")])
        out["i"], out["j"], out["k"] = ijk[:, 0], ijk[:, 1], ijk[:, 2]
        return out

    def _unpack(self, keys: Any) -> Any:
        np = self.np
        mask = (1 << _BITS) - 1
        rel = np.column_stack([keys >> (2 * _BITS), (keys >> _BITS) & mask, keys & mask])
        return rel + self.base - (1 << (_BITS - 1))

    def add(self, ijk: Any, floats: Any, colors: Any, firsts: list[Any]) -> None:
        """Points in file order; summed in blocks of a fixed size, whatever the chunks were."""
        self.pending.append([ijk, floats, colors, *firsts])
        self.pending_points += len(ijk)
        while self.pending_points >= _BLOCK:
            self._sum_block(_BLOCK)

    def finish(self) -> None:
        while self.pending_points:
            self._sum_block(min(self.pending_points, _BLOCK))

    def in_key_order(self, values: Any) -> Any:
        return values[self.slots]

    def _reserve(self, size: int) -> None:
        if size <= len(self.counts):
            return
        capacity = max(size, 2 * len(self.counts), 1024)
        self.sums = [_grown(self.np, column, capacity) for column in self.sums]
        self.color_sums = [_grown(self.np, column, capacity) for column in self.color_sums]
        self.counts = _grown(self.np, self.counts, capacity)
        self.firsts = [_grown(self.np, f, capacity) for f in self.firsts]

    def _sum_block(self, n: int) -> None:
        np = self.np
        joined = [np.concatenate(parts) for parts in zip(*self.pending, strict=True)]
        block = [part[:n] for part in joined]
        rest = [part[n:] for part in joined]
        self.pending = [rest] if len(rest[0]) else []
        self.pending_points = len(rest[0])
        ijk, floats, colors, *firsts = block
        keys = self._keys(ijk)
        # The block's voxels (one sort), then the slot of each: found in the table, or a new one.
        voxels, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
        inverse = inverse.reshape(-1)
        at = np.searchsorted(self.keys, voxels)
        known = np.zeros(len(voxels), bool)
        inside = at < len(self.keys)
        known[inside] = self.keys[at[inside]] == voxels[inside]
        where = np.empty(len(voxels), np.int64)
        where[known] = self.slots[at[known]]
        fresh = np.arange(self.size, self.size + int((~known).sum()))
        where[~known] = fresh
        if len(fresh):
            self._reserve(self.size + len(fresh))
            self.keys = np.insert(self.keys, at[~known], voxels[~known])
            self.slots = np.insert(self.slots, at[~known], fresh)
            self.size += len(fresh)
            # A voxel's first point in file order gives its integer values.
            for table_values, values in zip(self.firsts, firsts, strict=True):
                table_values[fresh] = values[first[~known]]
        u = len(voxels)
        self.counts[where] += np.bincount(inverse, minlength=u)
        for column, values in zip(self.sums, floats.T, strict=True):
            column[where] += np.bincount(inverse, weights=values, minlength=u)
        for column, values in zip(self.color_sums, colors.T, strict=True):
            column[where] += np.bincount(inverse, weights=values, minlength=u)


def _grown(np: Any, values: Any, capacity: int) -> Any:
    grown = np.zeros((capacity, *values.shape[1:]), values.dtype)
    grown[: len(values)] = values
    return grown


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
    count; memory grows with the occupied voxels, not with the points. NaN coordinates are dropped
    (counted in the summary)."""
    import numpy as np

    start = time.perf_counter()
    if fields != "mean":
        raise ToolError(f"fields must be 'mean', not {fields!r}")
    voxels = (voxel,) * 3 if isinstance(voxel, int | float) else tuple(voxel)
    if len(voxels) != 3:
        raise ToolError(f"voxel must be one size or (x, y, z), not {voxel!r}")
    size = np.array([_positive(v, "voxel") for v in voxels])
    paths = _paths(source)
    headers = _agreeing(paths)
    _require_xyz(paths[0], headers[0])
    target = _writable_target(target)
    encoding = _encoding(data, headers[0])
    table: _VoxelTable | None = None
    plan: list[tuple[str, str]] = []  # (field, how): "float", "color" or "first"
    dropped_nan = 0
    for chunk in _chunks(paths, headers, "downsample"):
        if table is None:
            for name, values in chunk.fields.items():
                if name == "_":
                    continue
                color = name in ("rgb", "rgba") and values.ndim == 1 and values.dtype.itemsize == 4
                plan.append((name, "color" if color else "float" if values.dtype.kind == "f" else "first"))
        xyz, finite = _finite_xyz(chunk)
        dropped_nan += int((~finite).sum())
        xyz = xyz[finite]
        scaled = np.floor(xyz / size)
        if len(scaled) and np.abs(scaled).max() >= 2.0**62:
            raise ToolError(f"voxel {voxel!r} is too small for coordinates as large as {np.abs(xyz).max():g}")
        ijk = scaled.astype(np.int64)
        float_parts = [_columns(chunk.fields[n][finite]) for n, how in plan if how == "float"]
        color_parts = [
            vantrel.unpack_rgb(chunk.fields[n][finite], alpha=n == "rgba").astype(np.float64)
            for n, how in plan
            if how == "color"
        ]
        firsts = [chunk.fields[n][finite] for n, how in plan if how == "first"]
        floats = np.concatenate(float_parts, axis=1) if float_parts else np.zeros((len(xyz), 0))
        colors = np.concatenate(color_parts, axis=1) if color_parts else np.zeros((len(xyz), 0))
        if table is None:
            table = _VoxelTable(floats.shape[1], firsts, colors.shape[1])
        table.add(ijk, floats, colors, firsts)
    if table is None:
        raise ToolError(f"{paths[0]}: no points")
    table.finish()
    counts = np.maximum(table.in_key_order(table.counts), 1)
    means = np.column_stack([table.in_key_order(column) / counts for column in table.sums] or [counts[:0]])
    color_means = np.column_stack(
        [np.rint(table.in_key_order(column) / counts).astype(np.uint8) for column in table.color_sums] or [counts[:0]]
    )
    out: dict[str, Any] = {}
    f = c = k = 0
    for name, how in plan:
        dtype, width = _field_dtype(headers[0], name)
        if how == "float":
            values = means[:, f : f + width].astype(dtype)
            out[name] = values[:, 0] if width == 1 else values
            f += width
        elif how == "color":
            channels = 4 if name == "rgba" else 3
            out[name] = vantrel.pack_rgb(color_means[:, c : c + channels]).view(dtype)  # the same bits
            c += channels
        else:
            out[name] = table.in_key_order(table.firsts[k])
            k += 1
    vantrel.write_pcd(target, out, data=encoding, viewpoint=headers[0].viewpoint)
    total = sum(max(h.points, 0) for h in headers)
    return _summary(total, len(table.keys), [target], start, nan_dropped=dropped_nan)


def _columns(values: Any) -> Any:
    """A field's values as float64 columns, one per element."""
    import numpy as np

    return values.reshape(len(values), int(np.prod(values.shape[1:]))).astype(np.float64)


def _field_dtype(header: vantrel.PcdHeader, name: str) -> tuple[Any, int]:
    import numpy as np

    field = next(f for f in reversed(header.fields) if f.name == name)
    kind = {"F": "f", "I": "i", "U": "u"}[field.type]
    return np.dtype(f"<{kind}{field.size}"), field.count
