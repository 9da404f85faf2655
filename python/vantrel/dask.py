"""Many PCD files, and maps larger than one machine, as one Dask DataFrame; and the map tools
(tile, downsample, crop, merge) run on a Dask cluster, giving the same bytes as vantrel.tools.

Example::

    import vantrel.dask
    frame = vantrel.dask.read_pcds("s3://bucket/scans/*.pcd", fields=["x", "y", "z", "intensity"])
    vantrel.dask.tile("/shared/map", "/shared/tiles", size=50)  # on the current client

Needs Dask's dataframe: pip install 'vantrel[dask]'.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

try:
    import dask.dataframe as _dd
    import fsspec as _fsspec
    import fsspec.implementations.local
    import numpy as _np
    import pandas as _pd
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        f"vantrel.dask needs Dask's dataframe ({error.name} is missing): pip install 'vantrel[dask]'"
    ) from error

import vantrel
from vantrel._cluster import crop, downsample, merge, tile
from vantrel._frames import column_names, element_columns
from vantrel._paths import under_url

__all__ = ["crop", "downsample", "merge", "read_pcds", "tile"]


def _schema(header: vantrel.PcdHeader, fields: Sequence[str] | None) -> list[tuple[str, str, int]]:
    """The fields the frame holds, in header order, as (name, dtype, COUNT): the fields a read
    hands out, padding fields "_" left out."""
    kept: dict[str, vantrel.PcdField] = {}
    for field in header.fields:
        if field.count >= 1 and not field.padding:
            kept.pop(field.name, None)  # a later field of a name wins, in its own place
            kept[field.name] = field
    if fields is not None:
        missing = [name for name in fields if name not in kept]
        if missing:
            raise KeyError(f"no field {missing[0]!r} in these PCD files; their fields are: {', '.join(kept)}")
        kept = {name: field for name, field in kept.items() if name in fields}
    schema = []
    for name, field in kept.items():
        if field.dtype is None:
            raise ValueError(f"field {name!r} has TYPE {field.type} and SIZE {field.size}, which no array holds")
        schema.append((name, field.dtype.name, field.count))
    return schema


def _columns(schema: list[tuple[str, str, int]]) -> list[tuple[str, str]]:
    columns = []
    for name, dtype, count in schema:
        columns += [(column, dtype) for column in column_names(name, count)]
    return columns


def _meta(schema: list[tuple[str, str, int]], files: list[str]) -> _pd.DataFrame:
    frame = _pd.DataFrame({name: _np.empty(0, dtype) for name, dtype in _columns(schema)})
    frame["file"] = _pd.Categorical([], categories=files)
    return frame


_Paths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]
_Schema = list[tuple[str, str, int]]  # (name, dtype, count) per field
_Part = tuple[Any, str, int, "int | None", int]  # (filesystem, path, first point, points or all, file index)


def _check_schema(path: str, header: vantrel.PcdHeader, schema: _Schema, fields: Sequence[str] | None) -> None:
    """A file whose fields differ from the first file's is refused, naming the field."""
    try:
        theirs = {name: (dtype, count) for name, dtype, count in _schema(header, fields)}
    except KeyError as error:
        raise ValueError(f"{path}: {error.args[0]}") from None
    ours = {name: (dtype, count) for name, dtype, count in schema}
    for name in list(ours) + [n for n in theirs if n not in ours]:
        if ours.get(name) != theirs.get(name):
            raise ValueError(
                f"{path}: field {name!r} is {theirs.get(name) or 'no such field'} where the first "
                f"file's is {ours.get(name) or 'no such field'}"
            )


def _read_part(part: _Part, schema: _Schema, fields: Sequence[str], files: list[str]) -> _pd.DataFrame:
    fs, path, start, count, index = part
    names = [name for name, _, _ in schema]
    with fs.open(path, "rb") as f, vantrel.open_pcd(f) as reader:
        _check_schema(files[index], reader.header, schema, fields)
        reader.seek(start)
        cloud = reader.read(count, fields=names)
    columns: dict[str, Any] = {}
    for name, dtype, _ in schema:
        for column, values in element_columns(name, cloud.fields[name]).items():
            columns[column] = _np.ascontiguousarray(values, dtype=dtype)
    frame = _pd.DataFrame(columns)
    frame["file"] = _pd.Categorical.from_codes(_np.full(len(cloud), index, _np.int32), categories=files)
    return frame


def _expand(urlpath: _Paths, storage_options: dict[str, Any] | None) -> tuple[Any, list[str]]:
    fs, _, paths = _fsspec.core.get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    found: list[str] = []
    for path in paths:
        if fs.isdir(path):
            found += under_url(fs, path)
        elif fs.exists(path):
            found.append(path)
    if not found:
        raise FileNotFoundError(f"no PCD file matches {urlpath!r}")
    return fs, found


def _partitions(fs: Any, paths: list[str], files: list[str], schema: _Schema, chunk_points: int | None) -> list[_Part]:
    """A partition per file, or with chunk_points a partition per run of points of a binary file
    (whose header is read, and checked against the schema, now)."""
    parts: list[_Part] = []
    for index, path in enumerate(paths):
        if chunk_points is None:
            parts.append((fs, path, 0, None, index))
            continue
        with fs.open(path, "rb") as f:
            header = vantrel.read_pcd_header(f)
        _check_schema(files[index], header, schema, [name for name, _, _ in schema])
        if header.data != "binary" or header.points <= chunk_points:
            parts.append((fs, path, 0, None, index))
            continue
        for start in range(0, header.points, int(chunk_points)):
            parts.append((fs, path, start, int(chunk_points), index))
    return parts


def read_pcds(
    urlpath: _Paths,
    *,
    fields: Sequence[str] | None = None,
    chunk_points: int | None = None,
    storage_options: dict[str, Any] | None = None,
) -> _dd.DataFrame:
    """Read PCD files as one Dask DataFrame, opened through fsspec where the partitions run.

    Parameters:
        urlpath: a path, a glob, a folder (every .pcd under it), a URL that fsspec opens
            (s3://..., gs://...), or a list of them.
        fields: the fields to read (names), or None for all.
        chunk_points: split each file whose DATA is binary into partitions of this many points,
            each read by seeking, so that one large map spreads over the workers. ascii and
            binary_compressed files are one partition each.
        storage_options: passed to fsspec (credentials, endpoints).

    Returns:
        A dask.dataframe.DataFrame: one column per field in header order (a field of COUNT
        above 1 is the columns name_0 to name_{COUNT-1}; padding fields "_" are left out),
        and a categorical column "file" naming the file of each row. The schema is the first
        file's; a file whose fields differ raises a ValueError naming it and the field, when
        the frame is built (the headers are read then with chunk_points) or when its
        partition is computed.

    Examples:
        >>> frame = vantrel.dask.read_pcds("scans/*.pcd", fields=["x", "y", "z"])
        >>> len(frame.compute())
        6000
    """
    if chunk_points is not None and (isinstance(chunk_points, bool) or int(chunk_points) < 1):
        raise ValueError(f"chunk_points must be 1 or more, not {chunk_points!r}")
    if isinstance(fields, str | bytes):
        raise TypeError("fields must be a sequence of field names (such as ['x', 'y', 'z']), not str")
    if isinstance(urlpath, os.PathLike):
        urlpath = os.fspath(urlpath)
    elif not isinstance(urlpath, str):
        urlpath = [os.fspath(u) for u in urlpath]
    fs, paths = _expand(urlpath, storage_options)
    local = isinstance(fs, _fsspec.implementations.local.LocalFileSystem)
    files = [path if local else fs.unstrip_protocol(path) for path in paths]
    with fs.open(paths[0], "rb") as f:
        first = vantrel.read_pcd_header(f)
    schema = _schema(first, fields)
    names = [name for name, _, _ in schema]
    parts = _partitions(fs, paths, files, schema, chunk_points)
    frame: _dd.DataFrame = _dd.from_map(  # type: ignore[no-untyped-call]
        _read_part,
        parts,
        schema=schema,
        fields=names,
        files=files,
        meta=_meta(schema, files),
        enforce_metadata=False,
        label="read-pcd",
    )
    return frame
