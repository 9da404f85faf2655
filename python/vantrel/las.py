"""LAS and LAZ files to and from point clouds, every field kept, in chunks (bounded memory).

Built on laspy with lazrs (pip install 'vantrel[las]'), imported when first used.

Going to LAS: x, y and z are stored as integers with an offset (the minimum, rounded down) and a
scale (0.001 when the extent allows, otherwise the smallest power of ten that holds it), so no
coordinate moves by more than half a scale step; `intensity` goes to LAS intensity (integers from 0
to 65535 as they are, floats from 0 to 1 scaled by 65535), packed `rgb`/`rgba` to red, green and
blue (8 bits to 16 by x 257; alpha as an extra dimension), and every other field to an extra-bytes
dimension of its own name and type (COUNT above 1 as name_0, name_1 ...; a name that LAS itself
uses gets the prefix ``pcd_``). Points with a NaN coordinate, which LAS cannot hold, are left out with a
warning. The file keeps a record (a VLR of user "vantrel") of each field's PCD name, type and COUNT,
so that reading it back gives the same fields; other LAS files give every dimension they hold.

Example:
    >>> import vantrel, vantrel.las
    >>> vantrel.las.write_las("map.laz", vantrel.read_pcd("map.pcd"))
    >>> cloud = vantrel.las.read_las("map.laz")
"""

from __future__ import annotations

import json
import math
import os
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO

import vantrel
from vantrel._commands import chunk_points
from vantrel._extras import replacing, require, source_name
from vantrel._types import element_dtype

__all__ = ["LasError", "read_las", "write_las"]

DEFAULT_SCALE = 0.001
VLR_USER = "vantrel"
VLR_RECORD = 1
INT32_MAX = 2**31 - 1


class LasError(ValueError):
    """A LAS or LAZ file that cannot be read, or a cloud that cannot be written as one."""


def _laspy() -> Any:
    require("lazrs", "las", "LAS and LAZ")
    return require("laspy", "las", "LAS and LAZ")


# ---------------------------------------------------------------- the plan of a file


class Survey:
    """What the points hold, learnt before writing: the coordinates' extent and intensity's range."""

    def __init__(self) -> None:
        self.low = [math.inf] * 3
        self.high = [-math.inf] * 3
        self.intensity: list[float] = [math.inf, -math.inf]

    def add(self, fields: dict[str, Any]) -> None:
        import numpy as np

        finite = np.ones(len(fields["x"]), bool)
        for axis in "xyz":
            finite &= np.isfinite(fields[axis])
        for k, axis in enumerate("xyz"):
            values = fields[axis][finite]
            if values.size:
                self.low[k] = min(self.low[k], float(values.min()))
                self.high[k] = max(self.high[k], float(values.max()))
        values = fields.get("intensity")
        if values is not None and values.ndim == 1 and values.size:
            self.intensity = [
                min(self.intensity[0], float(np.nanmin(values))),
                max(self.intensity[1], float(np.nanmax(values))),
            ]


def _scales(survey: Survey, scale: Any, offset: Any) -> tuple[list[float], list[float]]:
    """Scale and offset per axis: the offset the minimum rounded down, the scale the one asked for
    or the finest power of ten from 0.001 up whose integers hold the extent."""
    low = [value if math.isfinite(value) else 0.0 for value in survey.low]
    high = [value if math.isfinite(value) else 0.0 for value in survey.high]
    offsets = [float(math.floor(value)) for value in low] if offset is None else _three(offset, "offset")
    spans = [max(abs(h - o), abs(lo - o)) for lo, h, o in zip(low, high, offsets, strict=True)]
    if scale is not None:
        scales = _three(scale, "scale")
        for k, (span, step) in enumerate(zip(spans, scales, strict=True)):
            if not step > 0 or span / step > INT32_MAX:
                raise LasError(
                    f"scale {step} cannot hold {'xyz'[k]} from {low[k]} to {high[k]} in LAS's 32-bit integers"
                )
        return scales, offsets
    scales = []
    for span in spans:
        step = DEFAULT_SCALE
        while span / step > INT32_MAX:
            step *= 10
        scales.append(step)
    return scales, offsets


def _three(value: Any, what: str) -> list[float]:
    values = [float(value)] * 3 if isinstance(value, (int, float)) else [float(v) for v in value]
    if len(values) != 3 or not all(math.isfinite(v) for v in values):
        raise LasError(f"{what} must be one finite number or three (x, y, z), not {value!r}")
    return values


def _packed_color(field: vantrel.PcdField) -> bool:
    return field.name in ("rgb", "rgba") and field.size == 4 and field.count == 1


class Plan:
    """Where each field of the cloud goes in the LAS file, and the header that says so."""

    def __init__(self, fields: Sequence[vantrel.PcdField], survey: Survey, scale: Any, offset: Any) -> None:
        laspy = _laspy()
        self.fields = [f for f in fields if not f.padding]
        names = [f.name for f in self.fields]
        for axis in "xyz":
            if axis not in names:
                raise LasError(f"a LAS file needs x, y and z; the cloud has no {axis!r}")
        self.color = any(_packed_color(f) for f in self.fields)
        self.format = laspy.PointFormat(7 if self.color else 6)
        standard = {name.lower() for name in self.format.dimension_names}
        self.places: list[dict[str, Any]] = []
        extras = []
        for field in self.fields:
            place = self._place(field, survey, standard)
            self.places.append(place)
            for dim in place["dims"]:
                if len(dim.encode()) > 32:  # the extra-bytes record holds 32 bytes of name
                    raise LasError(f"field {field.name!r} would be LAS dimension {dim!r}, longer than LAS's 32 bytes")
            extras += [laspy.ExtraBytesParams(dim, field.dtype) for dim in place["dims"] if place["kind"] == "extra"]
            if place["kind"] == "rgba":
                extras.append(laspy.ExtraBytesParams(place["dims"][3], "u1"))
        self.header = laspy.LasHeader(point_format=self.format.id, version="1.4")
        self.header.add_extra_dims(extras)
        self.header.scales, self.header.offsets = _scales(survey, scale, offset)
        record = [
            {"name": f.name, "type": f.type, "size": f.size, "count": f.count, "kind": p["kind"], "dims": p["dims"]}
            for f, p in zip(self.fields, self.places, strict=True)
        ]
        self.header.vlrs.append(laspy.VLR(VLR_USER, VLR_RECORD, "PCD fields", json.dumps(record).encode()))

    @staticmethod
    def _place(field: vantrel.PcdField, survey: Survey, standard: set[str]) -> dict[str, Any]:
        name = field.name
        if name in ("x", "y", "z") and field.count == 1:
            return {"kind": name, "dims": [name.upper()]}
        if name == "intensity" and field.count == 1 and field.dtype is not None:
            low, high = survey.intensity
            if field.dtype.kind in "iu" and (low >= 0 and high <= 65535 or low > high):
                return {"kind": "intensity", "dims": ["intensity"]}
            if field.dtype.kind == "f" and (0 <= low and high <= 1 or low > high):
                return {"kind": "intensity/65535", "dims": ["intensity"]}
        if _packed_color(field):
            dims = ["red", "green", "blue"] + (
                ["pcd_alpha" if "alpha" in standard else "alpha"] if name == "rgba" else []
            )
            return {"kind": name, "dims": dims}
        if field.dtype is None:
            raise LasError(f"field {name!r} has TYPE {field.type} SIZE {field.size}, which LAS has no type for")
        base = f"pcd_{name}" if name.lower() in standard or name in ("x", "y", "z") else name
        dims = [base] if field.count == 1 else [f"{base}_{k}" for k in range(field.count)]
        return {"kind": "extra", "dims": dims}

    def fill(self, fields: dict[str, Any]) -> Any:
        """The LAS points of a chunk's fields (those with a NaN coordinate left out)."""
        import numpy as np

        laspy = _laspy()
        keep = np.isfinite(fields["x"]) & np.isfinite(fields["y"]) & np.isfinite(fields["z"])
        points = laspy.ScaleAwarePointRecord.zeros(int(keep.sum()), header=self.header)
        for field, place in zip(self.fields, self.places, strict=True):
            values = fields[field.name][keep]
            kind, dims = place["kind"], place["dims"]
            if kind in ("x", "y", "z"):
                k = "xyz".index(kind)
                exact = values.astype(np.float64)  # float32 arithmetic would move them by more than the step
                scaled = np.round((exact - self.header.offsets[k]) / self.header.scales[k])
                points[dims[0]] = scaled.astype(np.int32)
            elif kind == "intensity":
                points["intensity"] = values.astype(np.uint16)
            elif kind == "intensity/65535":
                points["intensity"] = np.round(np.nan_to_num(values) * 65535).astype(np.uint16)
            elif kind in ("rgb", "rgba"):
                channels = vantrel.unpack_rgb(values, alpha=kind == "rgba")
                for c, dim in enumerate(dims[:3]):
                    points[dim] = channels[:, c].astype(np.uint16) * 257
                if kind == "rgba":
                    points[dims[3]] = channels[:, 3]
            else:
                columns = values.reshape(len(values), -1)
                for c, dim in enumerate(dims):
                    points[dim] = columns[:, c]
        return points, int((~keep).sum())


# ---------------------------------------------------------------- writing


def _chunks_of(cloud: Any) -> tuple[tuple[vantrel.PcdField, ...], Iterable[dict[str, Any]], Survey]:
    survey = Survey()
    survey.add(cloud.fields)
    return cloud.header.fields, [cloud.fields], survey


def _write(target: Any, plan: Plan, chunks: Iterable[dict[str, Any]], laz: bool | None) -> int:
    """Writes the chunks; returns how many points were left out for a NaN coordinate."""
    laspy = _laspy()
    dropped = 0

    def write_to(output: Any, compress: bool, **options: Any) -> None:
        nonlocal dropped
        with laspy.open(output, mode="w", header=plan.header, do_compress=compress, **options) as writer:
            for chunk in chunks:
                points, nan = plan.fill(chunk)
                writer.write_points(points)
                dropped += nan

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
) -> None:
    """Write a point cloud as a LAS or LAZ file (LAS 1.4, point format 7 with colors, 6 without).

    Parameters:
        target: a path (replaced only once complete; .laz compresses) or a binary file object.
        cloud: a PointCloud with x, y and z.
        scale: one step for x, y and z, or three; by default 0.001 when the extent allows.
        offset: one for x, y and z, or three; by default each axis's minimum rounded down.
        laz: compress; by default when target's suffix is .laz.

    Raises:
        LasError: (a ValueError) a cloud without x, y or z, a field LAS has no type for, or a
            scale too fine for the extent.

    Examples:
        >>> vantrel.las.write_las("scan.laz", vantrel.read_pcd("scan.pcd"))
        >>> list(vantrel.las.read_las("scan.laz").fields)
        ['x', 'y', 'z', 'intensity']
    """
    fields, chunks, survey = _chunks_of(cloud)
    _write(target, Plan(fields, survey, scale, offset), chunks, laz)


def pcd_to_las(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    scale: Any = None,
    fields: Sequence[str] | None = None,
    progress: Any = None,
) -> dict[str, int]:
    """A PCD file as LAS/LAZ in chunks: one pass for the extent, one to write. Memory: a chunk."""
    with vantrel.open_pcd(source) as reader:
        survey = Survey()
        probe = [name for name in ("x", "y", "z", "intensity") if any(f.name == name for f in reader.header.fields)]
        if all(axis in probe for axis in "xyz"):
            for chunk in reader.chunks(chunk_points(reader.header.point_step), fields=probe):
                survey.add(chunk.fields)
        reader.seek(0)
        chosen = [f for f in reader.header.fields if fields is None or f.name in fields]
        plan = Plan(chosen, survey, scale, None)
        clouds: Iterable[Any] = reader.chunks(chunk_points(reader.header.point_step), fields=fields)
        if progress is not None:
            clouds = progress(clouds, reader.header.points)
        dropped = _write(target, plan, (cloud.fields for cloud in clouds), None)
        return {"points_in": reader.header.points, "points_out": reader.header.points - dropped}


# ---------------------------------------------------------------- reading


def _vantrel_fields(header: Any) -> list[dict[str, Any]] | None:
    """The fields a vantrel-written file records, or None for another writer's file."""
    for vlr in header.vlrs:
        if getattr(vlr, "user_id", "") == VLR_USER and getattr(vlr, "record_id", None) == VLR_RECORD:
            try:
                return list(json.loads(bytes(vlr.record_data)))
            except ValueError:
                return None
    return None


def _layout(header: Any, float32: bool) -> list[tuple[str, Any, list[str], str]]:
    """(field name, dtype, LAS dimensions, kind) of each PCD field to read."""
    import numpy as np

    coordinate = np.dtype(np.float32 if float32 else np.float64)
    recorded = _vantrel_fields(header)
    if recorded is not None:
        out = []
        for entry in recorded:
            kind, name = entry["kind"], entry["name"]
            element = element_dtype(entry["type"], entry["size"])
            if kind in ("x", "y", "z"):
                element = coordinate
            out.append((name, element if entry["count"] == 1 else (element, (entry["count"],)), entry["dims"], kind))
        return out
    out = [(axis, coordinate, [axis.upper()], axis) for axis in "xyz"]
    for dimension in header.point_format.dimensions:
        if dimension.name in ("X", "Y", "Z"):
            continue
        out.append((dimension.name, np.dtype(dimension.dtype or np.uint8), [dimension.name], "extra"))
    return out


def _records(points: Any, layout: list[tuple[str, Any, list[str], str]]) -> Any:
    """The chunk's points as PCD records (None: a cloud of no points, with every field)."""
    import numpy as np

    records = np.zeros(0 if points is None else len(points), [(name, dtype) for name, dtype, _, _ in layout])
    if points is None:
        return records
    for name, _, dims, kind in layout:
        if kind in ("x", "y", "z"):
            records[name] = np.asarray(getattr(points, kind))
        elif kind == "intensity/65535":
            records[name] = np.asarray(points["intensity"]) / 65535.0
        elif kind in ("rgb", "rgba"):
            channels = [np.asarray(points[d]) // 257 for d in dims[:3]] + (
                [np.asarray(points[dims[3]])] if kind == "rgba" else []
            )
            packed = vantrel.pack_rgb(np.stack(channels, axis=1).astype(np.uint8))
            records[name] = packed.view(records.dtype[name]) if records.dtype[name].itemsize == 4 else packed
        elif len(dims) == 1:
            records[name] = np.asarray(points[dims[0]])
        else:
            records[name] = np.stack([np.asarray(points[d]) for d in dims], axis=1)
    return records


def _read_errors() -> tuple[type[BaseException], ...]:
    """What laspy and lazrs raise for a file that is not LAS/LAZ, or is damaged or cut short."""
    laspy = _laspy()
    import lazrs

    return (laspy.errors.LaspyException, lazrs.LazrsError, ValueError, EOFError, OSError)


def _open(source: Any) -> Any:
    laspy = _laspy()
    try:
        return laspy.open(source)
    except FileNotFoundError:
        raise
    except _read_errors() as error:
        raise LasError(f"{source_name(source)}: not a readable LAS/LAZ file: {error}") from None


def _chunks(reader: Any, source: Any, layout: Any) -> Iterator[Any]:
    try:
        # As many points as a chunk of PCD records of the LAS points' size: wide extra bytes or wide
        # fields make fewer.
        step = max(reader.header.point_format.size, _records(None, layout).dtype.itemsize)
        for points in reader.chunk_iterator(chunk_points(step)):
            yield _records(points, layout)
    except _read_errors() as error:
        raise LasError(f"{source_name(source)}: damaged or cut short: {error}") from None


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
    import numpy as np

    with _open(source) as reader:
        layout = _layout(reader.header, float32)
        parts = list(_chunks(reader, source, layout))
    records = np.concatenate(parts) if parts else _records(None, layout)
    return vantrel.PointCloud.from_records(records)


def las_to_pcd(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    data: Any,
    float32: bool = False,
    fields: Sequence[str] | None = None,
    progress: Any = None,
) -> dict[str, int]:
    """A LAS/LAZ file as PCD in chunks. Memory: a chunk."""
    with _open(source) as reader:
        layout = _layout(reader.header, float32)
        if fields is not None:
            missing = [name for name in fields if name not in [entry[0] for entry in layout]]
            if missing:
                raise LasError(f"{source_name(source)} has no field {missing[0]!r}")
            layout = [entry for entry in layout if entry[0] in fields]
        total = int(reader.header.point_count)
        chunks: Iterable[Any] = _chunks(reader, source, layout)
        if progress is not None:
            chunks = progress(chunks, total)
        with vantrel.open_pcd_writer(target, data=data, points=total) as writer:
            for records in chunks:
                writer.write(records)
            if writer.written == 0:  # a file of no points still has the fields
                writer.write(_records(None, layout))
    return {"points_in": total, "points_out": total}
