"""PLY files to and from point clouds, every field kept.

Built on plyfile (pip install 'vantrel[ply]'), imported when first used.

Going to PLY: one `vertex` property per field, and per element of a field of COUNT above 1
(name_0, name_1 ...); packed `rgb`/`rgba` as `red green blue` (and `alpha`) uchar, as meshing and
ML tools read colors. PLY has no 64-bit integers: such a field is refused unless lossy=True, which
writes it as float64 and warns how many values changed. A comment line records each field's PCD
name, type and COUNT, so that reading the file back gives the same fields; other PLY files give
every vertex property as a field of its own.

Example:
    >>> import vantrel, vantrel.ply
    >>> vantrel.ply.write_ply("scan.ply", vantrel.read_pcd("scan.pcd"))
    >>> cloud = vantrel.ply.read_ply("scan.ply")
"""

from __future__ import annotations

import json
import os
import sys
import warnings
from pathlib import Path
from typing import Any, BinaryIO

import vantrel
from vantrel._colors import is_packed
from vantrel._convert import Bridge, no_crs_here, select
from vantrel._extras import replacing, require, size_and_head, source_name
from vantrel._frames import column_names, copy_runs, element_columns
from vantrel._types import element_dtype

__all__ = ["PlyError", "read_ply", "write_ply"]

COMMENT = "vantrel fields "
COLOR_CHANNELS = ("red", "green", "blue", "alpha")


class PlyError(vantrel.Error, ValueError):
    """A PLY file that cannot be read, or a cloud that cannot be written as one."""


def _plyfile() -> Any:
    return require("plyfile", "ply", "PLY")


def _columns(field: vantrel.PcdField, values: Any, lossy: bool) -> tuple[str, list[tuple[str, Any]]]:
    """How a field is written (its kind) and its vertex properties: (name, values) each."""
    import numpy as np

    if is_packed(field.name, field.size, field.count):
        channels = vantrel.unpack_rgb(values, alpha=field.name == "rgba")
        return field.name, [(COLOR_CHANNELS[c], channels[:, c]) for c in range(channels.shape[1])]
    kind = "plain"
    if values.dtype.itemsize == 8 and values.dtype.kind in "iu":
        if not lossy:
            raise PlyError(
                f"field {field.name!r} holds 64-bit integers, which PLY has no type for: pass lossy=True "
                "(--lossy) to write them as float64"
            )
        converted = values.astype(np.float64)
        changed = int(np.count_nonzero(converted.astype(values.dtype) != values))
        if changed:
            warnings.warn(f"{changed} values of field {field.name!r} changed as float64 in PLY", stacklevel=3)
        values, kind = converted, "float64"
    return kind, list(element_columns(field.name, values).items())


def write_ply(
    target: str | os.PathLike[str] | BinaryIO, cloud: vantrel.PointCloud, *, text: bool = False, lossy: bool = False
) -> None:
    """Write a point cloud as a PLY file of one `vertex` element.

    Parameters:
        target: a path (replaced only once complete) or a binary file object.
        cloud: a PointCloud.
        text: ascii PLY; by default binary little-endian.
        lossy: write 64-bit integer fields as float64 (with a warning counting the values that
            changed) rather than refuse them.

    Raises:
        PlyError: (a ValueError) naming a 64-bit integer field, unless lossy.

    Examples:
        >>> vantrel.ply.write_ply("colored.ply", vantrel.read_pcd("colored.pcd"), text=True)
        >>> open("colored.ply", "rb").readline().strip()
        b'ply'
    """
    import numpy as np

    plyfile = _plyfile()
    properties: list[tuple[str, Any]] = []
    record = []
    for field in cloud.header.fields:
        if field.padding:
            continue
        kind, columns = _columns(field, cloud.fields[field.name], lossy)
        record.append({"name": field.name, "type": field.type, "size": field.size, "count": field.count, "kind": kind})
        taken = {name for name, _ in properties}
        for name, _ in columns:
            if name in taken:  # rgb's red beside a field named red, normal_0 beside normal's first
                raise PlyError(f"field {field.name!r} would be PLY property {name!r}, which another field is")
        properties += columns
    vertices = np.empty(len(cloud), [(name, values.dtype) for name, values in properties])
    for name, values in properties:
        vertices[name] = values
    element = plyfile.PlyElement.describe(vertices, "vertex")
    data = plyfile.PlyData([element], text=text, byte_order="<", comments=[COMMENT + json.dumps(record)])
    if isinstance(target, (str, os.PathLike)):
        with replacing(target) as partial:
            data.write(os.fspath(partial))
    else:
        data.write(target)


def _agreeing(record: Any, properties: Any) -> str:
    """Why the comment's record of fields does not agree with the vertex properties ('' when it
    does): only then is it used, so a forged or stale comment can neither allocate beyond the
    file nor drop a property."""
    if not isinstance(record, list):
        return "it is not a list of fields"
    names: set[str] = set()
    for entry in record:
        if not isinstance(entry, dict) or not isinstance(entry.get("name"), str) or not entry["name"]:
            return "a field without a name"
        name, kind, count = entry["name"], entry.get("kind"), entry.get("count")
        if name in names or kind not in ("plain", "float64", "rgb", "rgba"):
            return f"field {name!r} of kind {kind!r}"
        if not isinstance(count, int) or isinstance(count, bool) or count < 1 or count > len(properties):
            return f"field {name!r} has COUNT {count!r}"
        wanted = _properties_of(name, kind, count)
        if any(n not in properties or properties[n][0].kind == "O" for n in wanted):
            return f"field {name!r} names vertex properties the file has not"
        try:
            element_dtype(entry["type"], entry["size"])
        except Exception:
            return f"field {name!r} has TYPE {entry.get('type')!r} SIZE {entry.get('size')!r}"
        names.add(name)
    return ""


def _properties_of(name: str, kind: str, count: int) -> list[str]:
    if kind in ("rgb", "rgba"):
        return list(COLOR_CHANNELS[: 4 if kind == "rgba" else 3])
    return column_names(name, count)


def _restore(vertices: Any, record: list[dict[str, Any]]) -> Any:
    """The fields a vantrel-written file records, from its vertex properties, as records filled
    straight from the file's (mapped) rows; a scalar property another tool added since is read as a
    field of its own."""
    import numpy as np

    plan: list[tuple[str, Any, int, list[str], str]] = []
    used: set[str] = set()
    for entry in record:
        name, kind, count = entry["name"], entry["kind"], int(entry["count"])
        element = np.dtype(np.float64) if kind == "float64" else element_dtype(entry["type"], entry["size"])
        names = _properties_of(name, kind, count)
        used.update(names)
        plan.append((name, element, 1 if kind in ("rgb", "rgba") else count, names, kind))
    taken = used | {entry[0] for entry in plan}
    for name in vertices.dtype.names or ():
        if name not in taken and vertices.dtype[name].kind != "O":
            plan.append((name, vertices.dtype[name].newbyteorder("="), 1, [name], "plain"))
    shapes = [(name, element, (count,) if count > 1 else ()) for name, element, count, _, _ in plan]
    records = np.zeros(len(vertices), shapes)
    fields: Any = vertices.dtype.fields
    moves: list[tuple[int, int, int]] = []
    for name, element, _, names, kind in plan:
        at = records.dtype.fields[name][1]  # type: ignore[index]
        if kind in ("rgb", "rgba"):
            if sys.byteorder == "little" and all(fields[c][0] == np.uint8 for c in names):
                # r << 16 | g << 8 | b (| a << 24) as pack_rgb packs it, in memory b g r a
                moves += [(at + k, fields[c][1], 1) for k, c in zip((2, 1, 0, 3), names, strict=False)]
                continue
            bits: Any = records[name].view(np.uint32)
            for channel, shift in zip(names, (16, 8, 0, 24), strict=False):
                bits |= vertices[channel].astype(np.uint8).astype(np.uint32) << shift
            continue
        for k, column in enumerate(names):
            if fields[column][0] == element and element.isnative:
                moves.append((at + k * element.itemsize, fields[column][1], element.itemsize))
            else:  # another type, or another byte order: converted
                (records[name] if len(names) == 1 else records[name][:, k])[...] = vertices[column]
    copy_runs(records, vertices, moves)
    return records


def _precheck(source: Any) -> None:
    """The elements' counts of a PLY header checked against the file's size before plyfile
    allocates for them: each row takes a byte per list and its scalars' bytes (binary), or two
    characters a property (ascii)."""
    found = size_and_head(source, 1 << 16)
    if found is None:
        return
    size, head = found
    end = head.find(b"end_header")
    if not head.startswith(b"ply") or end < 0:
        return  # plyfile says what is wrong
    sizes = {
        "char": 1,
        "uchar": 1,
        "int8": 1,
        "uint8": 1,
        "short": 2,
        "ushort": 2,
        "int16": 2,
        "uint16": 2,
        "int": 4,
        "uint": 4,
        "int32": 4,
        "uint32": 4,
        "float": 4,
        "float32": 4,
        "double": 8,
        "float64": 8,
    }
    binary = b"format binary" in head[:end]
    rows: list[list[Any]] = []
    for line in head[:end].decode("ascii", "replace").splitlines():
        words = line.split()
        if len(words) == 3 and words[0] == "element" and words[2].isdigit():
            rows.append([words[1], int(words[2]), 0])
        elif words and words[0] == "property" and rows:
            rows[-1][2] += (sizes.get(words[-2], 1) if words[1] != "list" else sizes.get(words[2], 1)) if binary else 2
    room = size - end - len("end_header")
    for name, count, width in rows:
        if count * max(width, 1) > room:
            raise PlyError(
                f"{source_name(source)}: its header claims {count:,} {name} elements, more than its {size:,} "
                "bytes can hold"
            )
        room -= count * max(width, 1)


def read_ply(source: str | os.PathLike[str] | BinaryIO) -> vantrel.PointCloud:
    """Read the `vertex` element of a PLY file as a PointCloud.

    Parameters:
        source: a path or a binary file object.

    Returns:
        A file vantrel wrote: the fields it was written from, with their names, types and COUNT.
        Any other file: every scalar vertex property as a field of its own. Faces and other
        elements are left out with a warning, and so are list properties.

    Raises:
        PlyError: (a ValueError) a file that is not PLY, is damaged or cut short, or has no
            vertex element.

    Examples:
        >>> vantrel.ply.write_ply("scan.ply", vantrel.read_pcd("scan.pcd"))
        >>> len(vantrel.ply.read_ply("scan.ply"))
        2000
    """
    import numpy as np

    plyfile = _plyfile()
    _precheck(source)
    try:
        data = plyfile.PlyData.read(source)
        names = [element.name for element in data.elements]
        if "vertex" not in names:
            raise PlyError(f"{source_name(source)}: a PLY file without a vertex element")
        vertices = data["vertex"].data
    except PlyError:
        raise
    except (FileNotFoundError, MemoryError):
        raise
    except Exception as error:  # plyfile's and NumPy's errors alike
        raise PlyError(f"{source_name(source)}: not a readable PLY file (damaged or cut short?): {error}") from error
    others = [name for name in names if name != "vertex"]
    if others:
        warnings.warn(f"{source_name(source)}: the {', '.join(others)} of this PLY file are left out", stacklevel=2)
    record = _record(data.comments, vertices.dtype.fields or {}, source)
    if record is not None:
        return vantrel.PointCloud.from_records(_restore(vertices, record))
    lists = [n for n in vertices.dtype.names or () if vertices.dtype[n].kind == "O"]
    if not lists:
        return vantrel.PointCloud.from_records(vertices.astype(vertices.dtype.newbyteorder("=")))
    warnings.warn(f"{source_name(source)}: list properties {', '.join(lists)} are left out", stacklevel=2)
    kept = [n for n in vertices.dtype.names or () if n not in lists]
    records = np.empty(len(vertices), [(n, vertices.dtype[n].newbyteorder("=")) for n in kept])
    for n in kept:
        records[n] = vertices[n]
    return vantrel.PointCloud.from_records(records)


def _record(comments: list[str], properties: Any, source: Any) -> list[dict[str, Any]] | None:
    """The fields the comment records, when it agrees with the vertex properties; None with a
    warning when it does not, and for another writer's file."""
    texts = [c[len(COMMENT) :] for c in comments if c.startswith(COMMENT)]
    if not texts:
        return None
    try:
        record = json.loads(texts[0])
    except ValueError:
        record = None
    why = _agreeing(record, properties)
    if why:
        warnings.warn(
            f"{source_name(source)}: vantrel's record of its fields does not agree with its vertex properties "
            f"({why}); read as any other PLY file",
            stacklevel=3,
        )
        return None
    return list(record)


# ---------------------------------------------------------------- as a bridge of vantrel.convert


def _write(target: Path, cloud: vantrel.PointCloud, crs: Any, text: bool = False, lossy: bool = False) -> None:
    write_ply(target, cloud, text=text, lossy=lossy)
    no_crs_here(target, crs, "PLY")


BRIDGE = Bridge(
    kind="PLY",
    read=lambda source, fields: select(read_ply(source), fields, source),
    write=_write,
    crs=lambda source: None,
    write_options=frozenset({"text", "lossy"}),
)
