"""vantrel.convert: a cloud written again in another format, chosen by extension.

FORMATS is the one table from extension to bridge. A bridge is a module whose BRIDGE says how it
reads a whole cloud, writes one, finds a file's CRS, and which conversions it streams in chunks
(maps larger than memory); any other pair goes through a whole cloud. A new format is one module
and one row."""

from __future__ import annotations

import importlib
import os
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import vantrel
from vantrel._chunks import damage_is_an_error, point_progress

FORMATS = {
    ".pcd": "vantrel._pcd",
    ".las": "vantrel.las",
    ".laz": "vantrel.las",
    ".ply": "vantrel.ply",
    ".parquet": "vantrel.parquet",
}


class ConvertError(vantrel.Error, ValueError):
    """A conversion that cannot be made as asked (a format, a field or an option); nothing was written."""

    __module__ = "vantrel"


# A streamed conversion: (source, target, fields, crs, progress, options) -> (points in, points
# out), or None when it cannot take these arguments (the whole cloud is converted instead).
Stream = Callable[..., tuple[int, int] | None]


@dataclass(frozen=True)
class Bridge:
    kind: str  # what messages call the format: "PCD", "LAS/LAZ"
    read: Callable[..., vantrel.PointCloud]  # (source, fields, **read options)
    write: Callable[..., None]  # (target, cloud, crs, **write options)
    crs: Callable[[Path], Any]  # a file's CRS, or None
    read_options: frozenset[str] = frozenset()
    write_options: frozenset[str] = frozenset()
    streams: dict[tuple[str, str], Stream] = field(default_factory=dict)  # (source, target) modules' kinds


def bridge_of(path: Path) -> Bridge:
    """The bridge of a file's extension; its module (and the extra it needs) imported now."""
    module = FORMATS.get(path.suffix.lower())
    if module is None:
        raise ConvertError(f"{path}: the format is chosen by the extension, which must be {', '.join(FORMATS)}")
    bridge: Bridge = importlib.import_module(module).BRIDGE
    return bridge


def select(cloud: vantrel.PointCloud, fields: Sequence[str] | None, source: Any) -> vantrel.PointCloud:
    """The cloud with only `fields`, in their order; each must be one of its fields."""
    if fields is None:
        return cloud
    missing = [name for name in fields if name not in cloud.fields]
    if missing:
        raise ConvertError(f"{source}: no field {missing[0]!r}; its fields are: {', '.join(cloud.fields)}")
    return vantrel.PointCloud.from_records(cloud.records[list(fields)])


def progress_of(name: str) -> Callable[..., Any]:
    """Chunks counted on a terminal's progress bar, for a bridge's streamed conversion."""
    return lambda chunks, total: point_progress(chunks, total, name)


def convert(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    fields: Sequence[str] | None = None,
    crs: Any = None,
    **options: Any,
) -> dict[str, Any]:
    """Write the cloud of `source` again as `target`, each format chosen by its extension.

    .pcd, .las, .laz, .ply and .parquet. PCD to PCD, LAS/LAZ or Parquet and back run in chunks
    (memory stays at a chunk whatever the map); other pairs read the whole cloud. LAS to LAS
    copies the points, scales and VLRs as they are. The target appears only once complete, and a
    damaged source (fewer points than its header declares) is an error: nothing is written.

    Parameters
    ----------
    source, target : str or os.PathLike
    fields : sequence of str, optional
        The fields to keep, in this order (default: all).
    crs : pyproj.CRS, EPSG code or WKT, optional
        The coordinates' CRS (default: the source's: a LAS or Parquet file's own, a PCD file's
        .prj beside it). A target with no place for it (PLY) warns.
    **options
        Of reading the source: ``float32`` (LAS: x, y, z as F 4); of writing the target:
        ``data`` (PCD's encoding; by default the source PCD's, else binary_compressed),
        ``scale`` (LAS), ``text`` and ``lossy`` (PLY), ``compression`` (Parquet).

    Returns
    -------
    dict
        points_in, points_out, files (the target), seconds: as the map tools give.

    Raises
    ------
    ConvertError
        An extension no format has, an option neither format takes, a field the source lacks.
    ImportError
        The optional library a format needs, with the extra to install.

    Examples
    --------
    >>> vantrel.convert("scan.pcd", "scan.parquet")["points_out"]
    2000
    >>> vantrel.convert("scan.parquet", "again.pcd", data="binary")["files"]
    ['again.pcd']
    """
    start = time.perf_counter()
    points = _convert(Path(source), Path(target), fields, crs, options)
    summary = {"points_in": points[0], "points_out": points[1], "files": [os.fspath(target)]}
    return {**summary, "seconds": round(time.perf_counter() - start, 3)}


def _convert(source: Path, target: Path, fields: Any, crs: Any, options: dict[str, Any]) -> tuple[int, int]:
    given, wanted = bridge_of(source), bridge_of(target)
    if isinstance(fields, str):
        raise TypeError("fields must be a sequence of names, not a string")
    fields = list(fields) if fields is not None else None
    _check_options(given, wanted, target, options)
    if crs is not None:
        from vantrel import _crs

        crs = _crs.as_crs(crs)
    with damage_is_an_error():  # nothing is written from a damaged file
        points = _streamed(given, wanted, source, target, fields, crs, options)
        return points if points is not None else _whole(given, wanted, source, target, fields, crs, options)


def _check_options(given: Bridge, wanted: Bridge, target: Path, options: dict[str, Any]) -> None:
    known = given.read_options | wanted.write_options
    for name in options:
        if name not in known:
            raise ConvertError(
                f"{name}= is no option of reading {given.kind} or writing {wanted.kind}: {target} is {wanted.kind}"
                + (f" (its options: {', '.join(sorted(known))})" if known else "")
            )


def _streamed(
    given: Bridge, wanted: Bridge, source: Path, target: Path, fields: Any, crs: Any, options: dict[str, Any]
) -> tuple[int, int] | None:
    pair = (given.kind, wanted.kind)
    stream = given.streams.get(pair) or wanted.streams.get(pair)
    if stream is None:
        return None
    return stream(source, target, fields=fields, crs=crs, progress=progress_of(source.name), **options)


def _whole(
    given: Bridge, wanted: Bridge, source: Path, target: Path, fields: Any, crs: Any, options: dict[str, Any]
) -> tuple[int, int]:
    cloud = given.read(source, fields, **{k: v for k, v in options.items() if k in given.read_options})
    if crs is None:
        crs = given.crs(source)
    wanted.write(target, cloud, crs, **{k: v for k, v in options.items() if k in wanted.write_options})
    return len(cloud), len(cloud)


def no_crs_here(target: Path, crs: Any, kind: str) -> None:
    """A format with no place for a CRS, said so rather than dropped without a word."""
    if crs is not None:
        warnings.warn(f"{target}: {kind} has no place for a CRS, so {crs.name!r} is not carried", stacklevel=3)
