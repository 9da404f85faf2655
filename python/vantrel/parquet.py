"""Parquet files to and from point clouds, through pyarrow (pip install 'vantrel[parquet]'),
imported when first used.

Every field is a column of its type (a field of COUNT above 1 a fixed-size list), in the cloud's
order. The PCD header's grid, viewpoint, encoding and fields go into the schema's metadata
(key "vantrel.pcd"), and a CRS as WKT (key "vantrel.crs"), so that PCD to Parquet and back gives
the same bytes. Both ways run in row groups of a chunk, so memory stays at a chunk whatever the
map. Another writer's file gives every numeric column (fixed-size lists included); a column of
another type is left out with a warning, and nulls, which PCD cannot hold, are refused.

Example:
    >>> import vantrel, vantrel.parquet
    >>> vantrel.parquet.write_parquet("map.parquet", vantrel.read_pcd("map.pcd"))
    >>> cloud = vantrel.parquet.read_parquet("map.parquet")
"""

from __future__ import annotations

import json
import math
import os
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

import vantrel
from vantrel import _crs
from vantrel._chunks import ahead, chunk_points
from vantrel._convert import Bridge
from vantrel._extras import replacing, require, source_name
from vantrel._types import as_data

__all__ = ["ParquetError", "parquet_to_pcd", "pcd_to_parquet", "read_parquet", "to_arrow", "write_parquet"]

HEADER_KEY = b"vantrel.pcd"
CRS_KEY = b"vantrel.crs"
TYPES = {
    ("F", 4): "float32",
    ("F", 8): "float64",
    **{(t, s): f"{'u' if t == 'U' else ''}int{8 * s}" for t in "IU" for s in (1, 2, 4, 8)},
}


class ParquetError(vantrel.Error, ValueError):
    """A Parquet file that cannot be a point cloud, or a cloud that cannot be written as one."""

    __module__ = "vantrel.parquet"


def _pa() -> Any:
    return require("pyarrow", "parquet", "Parquet")


def _column(values: np.ndarray) -> Any:
    """An Arrow array over a field's values: their own memory when it is contiguous, a copy when
    they are strided in records."""
    pa = _pa()
    flat = np.ascontiguousarray(values)
    if flat.ndim == 1:
        return pa.Array.from_buffers(pa.from_numpy_dtype(flat.dtype), len(flat), [None, pa.py_buffer(flat)])
    inner = pa.Array.from_buffers(pa.from_numpy_dtype(flat.dtype), flat.size, [None, pa.py_buffer(flat.reshape(-1))])
    return pa.FixedSizeListArray.from_arrays(inner, flat.shape[1])


def _metadata(header: vantrel.PcdHeader, crs: Any, fields: Any = None) -> dict[bytes, bytes]:
    """The header's grid, viewpoint and encoding, and `fields` (by default its own)."""
    record = {
        "version": header.version,
        "width": header.width,
        "height": header.height,
        "viewpoint": list(header.viewpoint),
        "data": header.data,
        "fields": [[f.name, f.type, f.size, f.count] for f in (fields or header.fields) if f.name != "_"],
    }
    meta = {HEADER_KEY: json.dumps(record).encode()}
    if crs is not None:
        meta[CRS_KEY] = crs.to_wkt().encode()
    return meta


def to_arrow(cloud: vantrel.PointCloud, crs: Any = None) -> Any:
    """The cloud as a pyarrow.Table: a column per field (COUNT above 1 a fixed-size list), the
    header in the schema's metadata. A column is a view of the cloud's memory where its values
    lie contiguous (a cloud of one field, or a cloud built from column arrays), a copy otherwise."""
    meta = _metadata(cloud.header, _crs.as_crs(crs) if crs is not None else None)
    return _table(cloud).replace_schema_metadata(meta)


def _table(cloud: vantrel.PointCloud) -> Any:
    names = [name for name in cloud.fields if name != "_"]
    return _pa().table([_column(cloud.fields[name]) for name in names], names=names)


def write_parquet(
    target: str | os.PathLike[str], cloud: vantrel.PointCloud, *, crs: Any = None, compression: str = "snappy"
) -> None:
    """Write a cloud as a Parquet file, replaced only once complete."""
    crs = _crs.as_crs(crs) if crs is not None else None
    _write(target, _metadata(cloud.header, crs), [cloud], compression)


def _write(target: Any, meta: dict[bytes, bytes], clouds: Iterable[vantrel.PointCloud], compression: str) -> None:
    pq = require("pyarrow.parquet", "parquet", "Parquet")
    with replacing(target) as partial:
        writer = None
        try:
            for table in ahead(_table(cloud).replace_schema_metadata(meta) for cloud in clouds):
                if writer is None:
                    # Coordinates and times are nearly all distinct: a dictionary is tried per column
                    # and thrown away, which doubled the time of a write.
                    writer = pq.ParquetWriter(partial, table.schema, compression=compression, use_dictionary=False)
                writer.write_table(table, row_group_size=max(len(table), 1))
        finally:
            if writer is not None:
                writer.close()


def pcd_to_parquet(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    fields: Sequence[str] | None = None,
    crs: Any = None,
    progress: Any = None,
    compression: str = "snappy",
) -> dict[str, int]:
    """A PCD file as Parquet in row groups of a chunk. Memory: a chunk. The CRS is `crs`, or the
    .prj file's beside the PCD file."""
    crs = _crs.as_crs(crs) if crs is not None else _crs.of_pcd(source)
    with vantrel.open_pcd(source) as reader:
        header = reader.header
        empty = reader.read(0, fields=fields)  # the columns of a file of no points
        chunks: Iterable[Any] = reader.chunks(chunk_points(header.point_step), fields=fields)
        if progress is not None:
            chunks = progress(chunks, header.points)
        _write(target, _metadata(header, crs, empty.header.fields), _or_empty(chunks, empty), compression)
    return {"points_in": header.points, "points_out": header.points}


def _or_empty(chunks: Iterable[vantrel.PointCloud], empty: vantrel.PointCloud) -> Iterator[vantrel.PointCloud]:
    """The chunks, or the empty cloud when there are none: a file of no points keeps its columns."""
    given = False
    for chunk in chunks:
        given = True
        yield chunk
        del chunk  # not held while the next is read, which then takes its memory
    if not given:
        yield empty


# ---------------------------------------------------------------- reading


def _recorded(schema: Any, rows: int, name: str) -> dict[str, Any]:
    """What a file's metadata says of its grid, viewpoint and encoding, when it agrees with the
    file: our own metadata in a file another tool may have edited is checked, never trusted."""
    raw = (schema.metadata or {}).get(HEADER_KEY)
    if raw is None:
        return {}
    try:
        record = json.loads(raw)
        width, height = int(record["width"]), int(record["height"])
        viewpoint = [float(v) for v in record["viewpoint"]]
        data = as_data(record["data"])
    except (ValueError, TypeError, KeyError) as error:
        warnings.warn(
            f"{name}: its vantrel metadata is damaged ({error}); the columns are read as they are",
            vantrel.DataWarning,
            stacklevel=3,
        )
        return {}
    if len(viewpoint) != 7 or not all(math.isfinite(v) for v in viewpoint) or width < 0 or height < 0:
        warnings.warn(f"{name}: its vantrel metadata has no valid viewpoint or grid", vantrel.DataWarning, stacklevel=3)
        return {"data": data}
    grid = {"width": width, "height": height} if width * height == rows and height > 1 else {}
    return {"viewpoint": viewpoint, "data": data, **grid}


def _columns(schema: Any, fields: Sequence[str] | None, name: str) -> list[str]:
    """The columns that are fields: numeric, or fixed-size lists of numbers."""
    pa = _pa()
    usable: list[str] = []
    other: list[str] = []
    for column in schema:
        listed = pa.types.is_fixed_size_list(column.type)
        kind = column.type.value_type if listed else column.type
        ok = (pa.types.is_integer(kind) or pa.types.is_floating(kind)) and not pa.types.is_float16(kind)
        ok = ok and (not listed or column.type.list_size > 0)
        (usable if ok else other).append(column.name)
    if fields is not None:
        missing = [f for f in fields if f not in usable]
        if missing:
            raise ParquetError(f"{name}: no numeric column {missing[0]!r}; its fields are: {', '.join(usable)}")
        return list(fields)
    if other:
        warnings.warn(
            f"{name}: {len(other)} columns PCD has no type for are left out: {', '.join(other)}",
            vantrel.DataWarning,
            stacklevel=3,
        )
    return usable


def _arrays(batch: Any, name: str) -> dict[str, np.ndarray]:
    pa = _pa()
    arrays = {}
    for column, values in zip(batch.schema.names, batch.columns, strict=True):
        if values.null_count:
            raise ParquetError(f"{name}: column {column!r} has {values.null_count:,} nulls, which PCD cannot hold")
        if pa.types.is_fixed_size_list(values.type):
            count = values.type.list_size
            inner = values.flatten()
            if inner.null_count:
                raise ParquetError(f"{name}: column {column!r} has nulls, which PCD cannot hold")
            arrays[column] = inner.to_numpy(zero_copy_only=False).reshape(-1, count)
        else:
            arrays[column] = values.to_numpy(zero_copy_only=False)
    return arrays


def _batches(source: Any, fields: Sequence[str] | None) -> tuple[Any, list[str], dict[str, Any], Iterator[Any]]:
    pq = require("pyarrow.parquet", "parquet", "Parquet")
    name = source_name(source)
    try:
        file = pq.ParquetFile(source, pre_buffer=False)  # pre-buffering held 2.5x the memory, and was slower
    except (FileNotFoundError, PermissionError, IsADirectoryError):
        raise
    except (_pa().ArrowException, OSError, UnicodeDecodeError) as error:  # a damaged footer's names
        raise ParquetError(f"{name}: not a Parquet file this can read ({error})") from error
    schema = file.schema_arrow
    twice = sorted({n for n in schema.names if schema.names.count(n) > 1})
    if twice or file.metadata.num_rows < 0:
        what = f"columns named twice ({', '.join(twice)})" if twice else f"{file.metadata.num_rows} rows"
        raise ParquetError(f"{name}: {what}: it is damaged, or no cloud")
    columns = _columns(schema, fields, name)
    recorded = _recorded(schema, file.metadata.num_rows, name)
    step = sum(_element(schema.field(c).type)[0].itemsize * _element(schema.field(c).type)[1] for c in columns)
    batches = file.iter_batches(batch_size=chunk_points(max(step, 1)), columns=columns, use_threads=False)
    return file, columns, recorded, _decoded(batches, name, file.metadata.num_rows)


def _decoded(batches: Iterator[Any], name: str, declared: int) -> Iterator[Any]:
    """The batches; pyarrow's errors while decoding them (a damaged page) as ParquetError, and so
    a file whose pages hold other than the rows its metadata declares."""
    rows = 0
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            break
        except (_pa().ArrowException, OSError, UnicodeDecodeError) as error:
            raise ParquetError(f"{name}: {error}") from error
        rows += len(batch)
        if rows > declared:
            break
        yield batch
    if rows != declared:
        raise ParquetError(f"{name}: its metadata declares {declared:,} rows, its pages hold {rows:,}: it is damaged")


def _element(kind: Any) -> tuple[np.dtype[Any], int]:
    """A column's element type and COUNT."""
    if _pa().types.is_fixed_size_list(kind):
        return np.dtype(kind.value_type.to_pandas_dtype()), int(kind.list_size)
    return np.dtype(kind.to_pandas_dtype()), 1


def _empty(schema: Any, columns: list[str]) -> dict[str, np.ndarray]:
    empty: dict[str, np.ndarray] = {}
    for column in columns:
        dtype, count = _element(schema.field(column).type)
        empty[column] = np.empty((0, count) if count > 1 else 0, dtype)
    return empty


def read_parquet(source: str | os.PathLike[str] | Any, *, fields: Sequence[str] | None = None) -> vantrel.PointCloud:
    """A Parquet file's cloud, read whole (its grid and viewpoint as recorded)."""
    file, columns, recorded, batches = _batches(source, fields)
    parts = [_arrays(batch, source_name(source)) for batch in batches]
    merged = (
        {c: np.concatenate([p[c] for p in parts]) for c in columns} if parts else _empty(file.schema_arrow, columns)
    )
    shape = {k: recorded[k] for k in ("width", "height", "viewpoint") if k in recorded}
    return vantrel.PointCloud.from_records(_records(merged, columns), **shape)


def _records(arrays: dict[str, np.ndarray], columns: list[str]) -> np.ndarray:
    dtype = np.dtype([(c, arrays[c].dtype, arrays[c].shape[1:]) for c in columns])
    rows = len(next(iter(arrays.values()))) if arrays else 0
    records = np.empty(rows, dtype)
    for c in columns:
        records[c] = arrays[c]
    return records


def parquet_to_pcd(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    data: str | None = None,
    fields: Sequence[str] | None = None,
    crs: Any = None,
    progress: Any = None,
) -> dict[str, int]:
    """A Parquet file as PCD in chunks, in the encoding its metadata records unless `data` says
    otherwise. Memory: a row group's chunk."""
    file, columns, recorded, batches = _batches(source, fields)
    total = file.metadata.num_rows
    grid = {k: recorded[k] for k in ("width", "height") if k in recorded}
    options = {"viewpoint": recorded["viewpoint"]} if "viewpoint" in recorded else {}
    chunks: Iterable[Any] = batches if progress is None else progress(batches, total)
    encoding = as_data(data or recorded.get("data", "binary_compressed"))
    like = _records(_empty(file.schema_arrow, columns), columns)  # a file of no points keeps its columns
    with vantrel.open_pcd_writer(target, data=encoding, points=total, like=like, **grid, **options) as writer:
        for arrays in ahead(_arrays(batch, source_name(source)) for batch in chunks):
            writer.write(arrays)
    crs = crs if crs is not None else _crs_of(source)
    from vantrel._pcd import carry_crs

    carry_crs(Path(target), crs)
    return {"points_in": total, "points_out": total}


def _crs_of(source: Any) -> Any:
    """The CRS the file's metadata records; one that cannot be read is said so, and not carried."""
    pq = require("pyarrow.parquet", "parquet", "Parquet")
    try:
        meta = pq.read_schema(source).metadata or {}
    except (_pa().ArrowException, OSError, UnicodeDecodeError) as error:
        raise ParquetError(f"{source_name(source)}: not a Parquet file this can read ({error})") from error
    if CRS_KEY not in meta:
        return None
    try:
        return _crs.as_crs(meta[CRS_KEY].decode())
    except ValueError as error:  # a damaged text, or one pyproj does not know
        warnings.warn(f"{source_name(source)}: its CRS is not carried: {error}", vantrel.DataWarning, stacklevel=2)
        return None


# ---------------------------------------------------------------- as a bridge of vantrel.convert


def _to_pcd(
    source: Path,
    target: Path,
    *,
    fields: Any,
    crs: Any,
    progress: Any,
    data: str | None = None,
) -> tuple[int, int]:
    done = parquet_to_pcd(source, target, data=data, fields=fields, crs=crs, progress=progress)
    return done["points_in"], done["points_out"]


def _from_pcd(
    source: Path, target: Path, *, fields: Any, crs: Any, progress: Any, compression: str = "snappy"
) -> tuple[int, int]:
    done = pcd_to_parquet(source, target, fields=fields, crs=crs, progress=progress, compression=compression)
    return done["points_in"], done["points_out"]


BRIDGE = Bridge(
    kind="Parquet",
    read=lambda source, fields: read_parquet(source, fields=fields),
    write=lambda target, cloud, crs, compression="snappy": write_parquet(
        target, cloud, crs=crs, compression=compression
    ),
    crs=_crs_of,
    write_options=frozenset({"compression"}),
    streams={("Parquet", "PCD"): _to_pcd, ("PCD", "Parquet"): _from_pcd},
)
