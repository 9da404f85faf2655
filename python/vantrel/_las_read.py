"""Reading LAS and LAZ points as PCD records: each PCD field's dimensions (`layout_of`), a chunk's
points converted (`as_records`), the chunks of a whole file, and the rows of a whole read filled in
place (`Filling`)."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Iterator
from typing import Any

import vantrel
from vantrel._chunks import ahead, chunk_points
from vantrel._extras import size_and_head, source_name
from vantrel._frames import copy_runs
from vantrel._las_input import check_scales, decoder_failures, laspy_module, precheck
from vantrel._las_record import holds_value, vantrel_fields
from vantrel._types import element_dtype


def layout_of(
    header: Any, float32: bool, source: Any = None, also: Iterable[str] = ()
) -> list[tuple[str, Any, list[str], str]]:
    """(field name, dtype, LAS dimensions, kind) of each PCD field to read: for a file vantrel
    wrote, its fields and the standard dimensions `also` (see unrecorded)."""
    import numpy as np

    coordinate = np.dtype(np.float32 if float32 else np.float64)
    recorded = vantrel_fields(header, source)
    out = []
    if recorded is not None:
        for entry in recorded:
            kind, name = entry["kind"], entry["name"]
            element = element_dtype(entry["type"], entry["size"])
            if kind in ("x", "y", "z"):
                element = coordinate
            out.append((name, element if entry["count"] == 1 else (element, (entry["count"],)), entry["dims"], kind))
    else:
        out = [(axis, coordinate, [axis.upper()], axis) for axis in "xyz"]
    covered = {dim for entry in out for dim in entry[2]} | {"X", "Y", "Z"}
    names = {entry[0] for entry in out}
    for dimension in header.point_format.dimensions:
        if dimension.name in covered or (recorded is not None and dimension.is_standard and dimension.name not in also):
            continue  # a dimension another tool added to a vantrel file, or set in it, is read too
        # A scaled extra-bytes dimension is read as laspy gives it: its scaled values, as floats.
        scaled = dimension.scales is not None or dimension.offsets is not None
        dtype = np.dtype(np.float64) if scaled else np.dtype(dimension.dtype or np.uint8)
        name = dimension.name if dimension.name not in names else f"las_{dimension.name}"
        out.append((name, dtype, [dimension.name], "extra"))
    return out


def as_records(points: Any, layout: list[tuple[str, Any, list[str], str]], out: Any = None, rows: int = 0) -> Any:
    """The chunk's points as PCD records, into `out` when given (None: `rows` records of 0, with
    every field). A dimension laspy gives as its raw bytes, of the field's own type, is copied as
    bytes, with its neighbours; the rest is converted as laspy gives it."""
    import numpy as np

    dtype = np.dtype([(name, dtype) for name, dtype, _, _ in layout])
    records = np.zeros(rows if points is None else len(points), dtype) if out is None else out
    if points is None:
        return records
    raw, moves = points.array, []
    for name, element, dims, kind in layout:
        target = records[name]
        if kind in ("x", "y", "z") and target.dtype == np.float64:  # as laspy scales: X * scale + offset
            k = "xyz".index(kind)
            np.multiply(raw[kind.upper()], points.scales[k], out=target)
            target += points.offsets[k]
        elif kind in ("x", "y", "z"):
            target[...] = np.asarray(getattr(points, kind))
        elif kind == "intensity/65535":
            np.divide(raw["intensity"], 65535.0, out=target, dtype=np.float64, casting="unsafe")
        elif kind in ("rgb", "rgba"):
            bits: Any = np.zeros(len(target), np.uint32)  # r << 16 | g << 8 | b (| a << 24), as pack_rgb packs
            for dim, shift in zip(dims, (16, 8, 0, 24), strict=False):
                value = np.asarray(points[dim])
                bits |= ((value // 257) if shift != 24 else value).astype(np.uint8).astype(np.uint32) << shift
            target[...] = bits.view(target.dtype) if target.dtype.itemsize == 4 else bits
        else:
            size, at = np.dtype(np.dtype(element).base).itemsize, 0
            for dim in dims:  # each of one element, or of several (a dimension of 2 or 3)
                value = points[dim]
                width = 1 if np.ndim(value) < 2 else int(np.shape(value)[1])
                if type(value) is np.ndarray and value.dtype == target.dtype.base and value.dtype.isnative:
                    moves.append((dtype.fields[name][1] + at * size, raw.dtype.fields[dim][1], width * size))  # type: ignore[index]
                elif len(dims) == 1:  # a bit field, a scaled dimension or another type: converted
                    target[...] = np.asarray(value)
                else:
                    target[:, at : at + width] = np.asarray(value).reshape(len(target), width)
                at += width
    copy_runs(records, raw, moves)
    return records


def open_reader(source: Any) -> Any:
    laspy = laspy_module()
    precheck(source)
    with decoder_failures(source, "not a readable LAS/LAZ file"):
        reader = laspy.open(source, laz_backend=laspy.LazBackend.LazrsParallel)  # both cores decompress
    check_scales(source_name(source), reader.header.scales, reader.header.offsets)
    return reader


def record_chunks(reader: Any, source: Any, layout: Any, into: Filling | None = None) -> Iterator[Any]:
    """The file's points as PCD records, a chunk at a time (in `into`'s rows when given);
    coordinates read as float32 that move by more than half the file's step are a warning with the
    largest move."""
    import numpy as np

    # As many points as a chunk of PCD records of the LAS points' size: wide extra bytes or wide
    # fields make fewer.
    step = max(reader.header.point_format.size, as_records(None, layout).dtype.itemsize)
    narrowed = [(e[0], e[3]) for e in layout if e[3] in ("x", "y", "z") and np.dtype(e[1]).itemsize == 4]
    moved, where = 0.0, 0.0
    for points in las_points(reader, source, step):
        records = as_records(points, layout, None if into is None else into.next(points))
        for name, axis in narrowed:
            exact = np.asarray(getattr(points, axis))
            change = np.abs(records[name].astype(np.float64) - exact)
            if change.size and float(change.max()) > moved:
                moved, where = float(change.max()), float(exact[int(change.argmax())])
        yield records
    if narrowed and moved > min(reader.header.scales) / 2:
        warnings.warn(
            f"{source_name(source)}: x, y and z as float32 moved by up to {moved:.3g} (at {where:,.3f}), more than "
            f"half the file's step of {min(reader.header.scales):g}: read them as float64 to keep them",
            stacklevel=3,
        )


def las_points(reader: Any, source: Any, step: int | None = None) -> Iterator[Any]:
    """The file's points, a chunk at a time; fewer than its header gives is a DataWarning with both
    figures, as for a PCD file that ends early."""
    read, n = 0, chunk_points(step or reader.header.point_format.size)
    with decoder_failures(source, "damaged or cut short"):
        for points in _reused(reader, source, n) or ahead(reader.chunk_iterator(n)):
            read += len(points)
            yield points
    total = int(reader.header.point_count)
    if read < total:
        warnings.warn(
            f"{source_name(source)}: LAS data ends early: {read:,} of the {total:,} points its header gives were read",
            vantrel.DataWarning,
            stacklevel=4,
        )


def _reused(reader: Any, source: Any, n: int) -> Iterator[Any] | None:
    """An uncompressed file's points, n at a time, read into one buffer that each chunk reuses
    (laspy makes a new one a chunk, whose pages are new to the process): each chunk must be used
    before the next is read, as every caller here does. Not mapped: a file cut short meanwhile by
    another process ends the reading (its header's count then says what is missing) rather than
    the process. None for a file object, a LAZ file, or one that does not hold every record its
    header gives (laspy's reading says what is missing)."""
    header = reader.header
    total, size = int(header.point_count), header.point_format.size
    if header.are_points_compressed or not isinstance(source, (str, os.PathLike)) or not total:
        return None
    if os.path.getsize(source) < header.offset_to_point_data + total * size:
        return None
    return _read_reused(source, header, n)


def _read_reused(source: Any, header: Any, n: int) -> Iterator[Any]:
    import numpy as np

    laspy = laspy_module()
    total, size, dtype = int(header.point_count), header.point_format.size, header.point_format.dtype()
    buffer = np.empty(min(n, total) * size, np.uint8)
    with open(source, "rb") as file:
        file.seek(header.offset_to_point_data)
        for at in range(0, total, n):
            wanted = min(n, total - at) * size
            got = file.readinto(buffer.data[:wanted])
            rows = buffer[: got - got % size].view(dtype)
            if len(rows):
                yield laspy.ScaleAwarePointRecord(rows, header.point_format, header.scales, header.offsets)
            if got < wanted:
                return


class Filling:
    """The records a whole read fills in place, chunk by chunk: as many rows as the header gives
    and the file can hold, grown if a compressed file holds more; and the columns of the standard
    dimensions left out (`watched`) from the first chunk where one holds a value other than 0."""

    def __init__(self, reader: Any, source: Any, layout: Any, watched: list[str]) -> None:
        header = reader.header
        size = size_and_head(source, 0)
        rows = int(header.point_count)
        if size is not None:  # what the file can hold: its bytes, or LAZ's best ratio, 1:32
            rows = min(rows, size[0] // header.point_format.size * (32 if header.are_points_compressed else 1))
        self.array = as_records(None, layout, rows=rows)
        self.filled = 0
        self.watched = watched
        self.found: dict[str, list[tuple[int, Any]]] = {}

    def next(self, points: Any) -> Any:
        import numpy as np

        n, start = len(points), self.filled
        if start + n > len(self.array):
            grown = np.zeros(max(2 * len(self.array), start + n), self.array.dtype)
            grown[:start] = self.array[:start]
            self.array = grown
        self.filled += n
        bits: dict[str, int] = {}  # a bit field's byte ORed over the chunk, once for all its fields
        for dim in self.watched:
            if dim in self.found or holds_value(points, dim, bits):
                self.found.setdefault(dim, []).append((start, np.array(points[dim])))
        return self.array[start : self.filled]

    def rows(self) -> Any:
        return self.array[: self.filled]
