"""LAS and LAZ files to and from point clouds, every field kept, in chunks (bounded memory).

Built on laspy with lazrs (pip install 'vantrel[las]'), imported when first used.

Going to LAS (1.4, point format 6; 7 with color; 8 with nir): x, y and z are stored as integers
with an offset (the minimum, rounded down) and a scale no coarser than their own step (the
decimal step their values lie on, else the finest power of ten their type and extent allow in
32-bit integers; `scale=` overrides), so no coordinate moves by more than half a step. A field
named as a LAS standard dimension (intensity, return_number, classification, gps_time, red, nir
...) goes to that slot when every value fits it, checked; what does not fit goes to an
extra-bytes dimension ``pcd_<name>`` with a warning saying why. A float intensity from 0 to 1 is
scaled by 65535; packed `rgb`/`rgba` goes to red, green and blue (8 bits to 16 by x 257; alpha as
an extra dimension), and every other field to an extra-bytes dimension of its own name and type
(COUNT above 1 as name_0, name_1 ...). Points with a NaN coordinate, which LAS cannot hold, are
left out with a warning. The file keeps a record (a VLR of user "vantrel") of each field's PCD
name, type and COUNT, so that reading it back gives the same fields; it is used only when it
agrees with the file's dimensions. Other LAS files give every dimension they hold, a scaled
extra-bytes dimension as its scaled values. LAS to LAS (`las_to_las`) copies the file's points,
point format, scales, offsets, VLRs and EVLRs as they are.

Example:
    >>> import vantrel, vantrel.las
    >>> vantrel.las.write_las("map.laz", vantrel.read_pcd("map.pcd"))
    >>> cloud = vantrel.las.read_las("map.laz")
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO

import vantrel
from vantrel import _crs
from vantrel._chunks import chunk_points
from vantrel._convert import Bridge, select
from vantrel._extras import replacing, source_name
from vantrel._las_input import LasError, laspy_module
from vantrel._las_plan import SLOTS, Plan, Survey
from vantrel._las_read import Filling, as_records, las_points, layout_of, open_reader, record_chunks
from vantrel._las_record import set_since, unrecorded
from vantrel._types import as_data

__all__ = ["LasError", "read_las", "write_las"]


# ---------------------------------------------------------------- writing


def _chunks_of(cloud: Any) -> tuple[tuple[vantrel.PcdField, ...], Iterable[dict[str, Any]], Survey]:
    survey = Survey()
    survey.add(cloud.fields)
    return cloud.header.fields, [cloud.fields], survey


def _fields_of(clouds: Iterable[Any]) -> Iterator[dict[str, Any]]:
    """Each cloud's fields, none held while the next cloud is read (which then takes its memory)."""
    for cloud in clouds:
        fields = cloud.fields
        del cloud
        yield fields
        del fields


def _write(target: Any, plan: Plan, chunks: Iterable[dict[str, Any]], laz: bool | None) -> int:
    """Writes the chunks; returns how many points were left out for a NaN coordinate."""
    laspy = laspy_module()
    dropped = 0

    def write_to(output: Any, compress: bool, **options: Any) -> None:
        nonlocal dropped
        with laspy.open(output, mode="w", header=plan.header, do_compress=compress, **options) as writer:
            for chunk in chunks:
                points, nan = plan.fill(chunk)
                writer.write_points(points)
                dropped += nan
                del chunk  # before the next is read, which then takes its memory

    if isinstance(target, (str, os.PathLike)):
        with replacing(target) as partial:
            write_to(partial, Path(target).suffix.lower() == ".laz" if laz is None else laz)
    else:
        write_to(target, bool(laz), closefd=False)
    if dropped:
        warnings.warn(f"{dropped} points with a NaN coordinate were left out: LAS cannot hold them", stacklevel=3)
    return dropped


def write_las(
    target: str | os.PathLike[str] | BinaryIO,
    cloud: vantrel.PointCloud,
    *,
    scale: float | Sequence[float] | None = None,
    offset: float | Sequence[float] | None = None,
    laz: bool | None = None,
    crs: Any = None,
) -> None:
    """Write a point cloud as a LAS or LAZ file (LAS 1.4, point format 7 with colors, 6 without).

    Parameters:
        target: a path (replaced only once complete; .laz compresses) or a binary file object.
        cloud: a PointCloud with x, y and z.
        scale: one step for x, y and z, or three; by default 0.001 when the extent allows.
        offset: one for x, y and z, or three; by default each axis's minimum rounded down.
        laz: compress; by default when target's suffix is .laz.
        crs: the coordinates' CRS, written in the file's VLRs: an EPSG code (4326, "EPSG:4326"),
            WKT, or a pyproj CRS (needs pyproj, part of the `las` extra).

    Raises:
        LasError: (a ValueError) a cloud without x, y or z, a field LAS has no type for, or a
            scale too fine for the extent.

    Examples:
        >>> vantrel.las.write_las("scan.laz", vantrel.read_pcd("scan.pcd"))
        >>> list(vantrel.las.read_las("scan.laz").fields)
        ['x', 'y', 'z', 'intensity']
    """
    fields, chunks, survey = _chunks_of(cloud)
    _write(target, Plan(fields, survey, scale, offset, _crs.as_crs(crs) if crs is not None else None), chunks, laz)


def pcd_to_las(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    scale: Any = None,
    fields: Sequence[str] | None = None,
    progress: Any = None,
    crs: Any = None,
) -> dict[str, int]:
    """A PCD file as LAS/LAZ in chunks: one pass for the extent, one to write. Memory: a chunk.
    The CRS is `crs`, or the one of the .prj beside the PCD file."""
    crs = _crs.as_crs(crs) if crs is not None else _crs.of_pcd(source)
    with vantrel.open_pcd(source) as reader:
        survey = Survey()
        probe = [name for name in ("x", "y", "z", *SLOTS) if any(f.name == name for f in reader.header.fields)]
        if all(axis in probe for axis in "xyz"):
            for chunk in reader.chunks(chunk_points(reader.header.point_step), fields=probe):
                survey.add(chunk.fields)
                del chunk  # before the next is read, which then takes its memory
        reader.seek(0)
        chosen = [f for f in reader.header.fields if fields is None or f.name in fields]
        plan = Plan(chosen, survey, scale, None, crs)
        clouds: Iterable[Any] = reader.chunks(chunk_points(reader.header.point_step), fields=fields)
        if progress is not None:
            clouds = progress(clouds, reader.header.points)
        dropped = _write(target, plan, _fields_of(clouds), None)
        return {"points_in": reader.header.points, "points_out": reader.header.points - dropped}


def read_las(source: str | os.PathLike[str] | BinaryIO, *, float32: bool = False) -> vantrel.PointCloud:
    """Read a LAS or LAZ file as a PointCloud.

    Parameters:
        source: a path or a binary file object.
        float32: x, y and z as F 4 rather than F 8.

    Returns:
        A file vantrel wrote: the fields it was written from, with their names, types and COUNT
        (coordinates within half a scale step; intensity stored scaled within 1/131070). Any other
        file: x, y and z, then every dimension of its point format and every extra-bytes dimension.

    Raises:
        LasError: (a ValueError) a file that is not LAS/LAZ, or is damaged or cut short.

    Examples:
        >>> vantrel.las.write_las("colored.las", vantrel.read_pcd("colored.pcd"))
        >>> cloud = vantrel.las.read_las("colored.las", float32=True)
        >>> cloud["x"].dtype, cloud["rgb"].dtype
        (dtype('float32'), dtype('float32'))
    """
    with open_reader(source) as reader:
        left_out = unrecorded(reader.header, source)  # 0 as vantrel wrote them, unless set since
        layout = layout_of(reader.header, float32, source)
        into = Filling(reader, source, layout, left_out)
        for _ in record_chunks(reader, source, layout, into):
            pass
        found = into.found
        if not found:
            return vantrel.PointCloud.from_records(into.rows())
        whole = layout_of(reader.header, float32, source, also=found)
    records = as_records(None, whole, rows=len(into.rows()))  # those another tool set, in their place
    for name in into.rows().dtype.names or ():
        records[name] = into.rows()[name]
    for name, _, dims, _ in whole:
        if dims[0] in found:
            for start, values in found[dims[0]]:
                records[name][start : start + len(values)] = values
    return vantrel.PointCloud.from_records(records)


def las_to_pcd(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    data: Any,
    float32: bool = False,
    fields: Sequence[str] | None = None,
    progress: Any = None,
    crs: Any = None,
) -> dict[str, int]:
    """A LAS/LAZ file as PCD in chunks, its CRS (or `crs`) in a .prj beside it. Memory: a chunk."""
    with open_reader(source) as reader:
        crs = _crs.as_crs(crs) if crs is not None else _crs.of_las(reader.header, source_name(source))
        layout = layout_of(reader.header, float32, source, also=set_since(laspy_module(), source, reader.header))
        if fields is not None:
            missing = [name for name in fields if name not in [entry[0] for entry in layout]]
            if missing:
                raise LasError(f"{source_name(source)} has no field {missing[0]!r}")
            layout = [entry for entry in layout if entry[0] in fields]
        total = int(reader.header.point_count)
        chunks: Iterable[Any] = record_chunks(reader, source, layout)
        if progress is not None:
            chunks = progress(chunks, total)
        # like=: a file of no points still has the fields
        with vantrel.open_pcd_writer(target, data=data, points=total, like=as_records(None, layout)) as writer:
            for records in chunks:
                writer.write(records)
    if crs is not None:
        _crs.write_sidecar(target, crs)
    return {"points_in": total, "points_out": total}


def las_to_las(
    source: str | os.PathLike[str], target: str | os.PathLike[str], *, progress: Any = None, crs: Any = None
) -> dict[str, int]:
    """A LAS/LAZ file as LAS or LAZ (by target's suffix), losing nothing: its point format,
    scales, offsets, VLRs (the CRS among them) and EVLRs, and every point's record, X, Y and Z
    integers included, as they are. A COPC file's index, which would not describe the new file's
    chunks, is left out with a warning; `crs` replaces the file's CRS. Memory: a chunk."""
    laspy = laspy_module()
    from laspy.vlrs.vlrlist import VLRList  # type: ignore[import-untyped]

    with open_reader(source) as reader:
        header = reader.header
        copc = [v for v in header.vlrs if getattr(v, "user_id", "") == "copc"]
        evlrs = [v for v in (header.evlrs or []) if getattr(v, "user_id", "") != "copc"]
        if copc or len(evlrs) != len(header.evlrs or []):
            warnings.warn(
                f"{source_name(source)}: its COPC index is left out: the new file is a plain LAS/LAZ", stacklevel=2
            )
            header.vlrs = VLRList([v for v in header.vlrs if getattr(v, "user_id", "") != "copc"])
        if header.version.minor < 2:  # laspy writes no LAS 1.0 or 1.1; 1.2 holds their point formats
            warnings.warn(f"{source_name(source)}: LAS {header.version} written as LAS 1.2", stacklevel=2)
            header.version = laspy.header.Version(1, 2)
        if crs is not None:  # in place of the file's own
            _crs.add_to_las(header, _crs.as_crs(crs))
        if evlrs and header.version.minor < 4:
            raise LasError(f"{source_name(source)}: EVLRs in a LAS 1.{header.version.minor} file")
        chunks: Iterable[Any] = las_points(reader, source)
        if progress is not None:
            chunks = progress(chunks, int(header.point_count))
        with replacing(target) as partial:
            with laspy.open(partial, mode="w", header=header, do_compress=Path(target).suffix.lower() == ".laz") as out:
                for points in chunks:
                    out.write_points(points)
                if evlrs:
                    out.write_evlrs(VLRList(evlrs))
        return {"points_in": int(header.point_count), "points_out": int(header.point_count)}


# ---------------------------------------------------------------- as a bridge of vantrel.convert


def _read(source: Path, fields: Sequence[str] | None, float32: bool = False) -> vantrel.PointCloud:
    return select(read_las(source, float32=float32), fields, source)


def _write_las(target: Path, cloud: vantrel.PointCloud, crs: Any, scale: Any = None) -> None:
    write_las(target, cloud, scale=scale, crs=crs)


def _crs_of(source: Path) -> Any:
    with open_reader(source) as reader:
        return _crs.of_las(reader.header, str(source))


def _to_pcd(
    source: Path, target: Path, *, fields: Any, crs: Any, progress: Any, float32: bool = False, data: str | None = None
) -> tuple[int, int]:
    done = las_to_pcd(
        source,
        target,
        data=as_data(data or "binary_compressed"),
        float32=float32,
        fields=fields,
        progress=progress,
        crs=crs,
    )
    return done["points_in"], done["points_out"]


def _from_pcd(
    source: Path, target: Path, *, fields: Any, crs: Any, progress: Any, scale: Any = None
) -> tuple[int, int]:
    done = pcd_to_las(source, target, scale=scale, fields=fields, progress=progress, crs=crs)
    return done["points_in"], done["points_out"]


def _as_it_is(
    source: Path, target: Path, *, fields: Any, crs: Any, progress: Any, **options: Any
) -> tuple[int, int] | None:
    if fields is not None or any(value not in (None, False) for value in options.values()):
        return None  # chosen fields, a scale: written anew from the whole cloud
    done = las_to_las(source, target, progress=progress, crs=crs)
    return done["points_in"], done["points_out"]


BRIDGE = Bridge(
    kind="LAS/LAZ",
    read=_read,
    write=_write_las,
    crs=_crs_of,
    read_options=frozenset({"float32"}),
    write_options=frozenset({"scale"}),
    streams={("LAS/LAZ", "PCD"): _to_pcd, ("PCD", "LAS/LAZ"): _from_pcd, ("LAS/LAZ", "LAS/LAZ"): _as_it_is},
)
