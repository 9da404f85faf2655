"""What a LAS or LAZ file is checked for before laspy is trusted with it: the counts of its header
against its size (a count of VLRs of 2^32-1 makes laspy allocate without end), its scales and
offsets, the decoder's failures of every kind (lazrs panics past `except Exception`), and the
record of fields vantrel writes, which any tool may have written or changed since."""

from __future__ import annotations

import contextlib
import math
import struct
from collections.abc import Iterator
from typing import Any

import vantrel
from vantrel._extras import require, size_and_head, source_name

VLR_HEADER = 54  # bytes of a VLR's header: no VLR is shorter
EVLR_HEADER = 60
KINDS_OF_ONE = ("x", "y", "z", "intensity", "intensity/65535", "standard")


def laspy_module() -> Any:
    """laspy, with lazrs for LAZ: the las extra, imported when first used."""
    require("lazrs", "las", "LAS and LAZ")
    return require("laspy", "las", "LAS and LAZ")


class LasError(vantrel.Error, ValueError):
    """A LAS or LAZ file that cannot be read, or a cloud that cannot be written as one."""

    __module__ = "vantrel.las"


def precheck(source: Any) -> None:
    """The header's counts and numbers that laspy takes as they are, checked against the file."""
    found = size_and_head(source, 375)
    if found is None:
        return
    size, head = found
    name = source_name(source)
    if len(head) < 227 or head[:4] != b"LASF":
        return  # laspy says what it is not
    header_size, data_offset, vlrs = struct.unpack_from("<HII", head, 94)
    if vlrs * VLR_HEADER > max(size - header_size, 0):
        raise LasError(
            f"{name}: its header claims {vlrs:,} VLRs, more than its {size:,} bytes can hold "
            f"({VLR_HEADER} bytes each at least)"
        )
    if head[25] >= 4 and len(head) >= 247:
        first_evlr, evlrs = struct.unpack_from("<QI", head, 235)
        if evlrs and (first_evlr > size or evlrs * EVLR_HEADER > size - first_evlr):
            raise LasError(
                f"{name}: its header claims {evlrs:,} EVLRs from byte {first_evlr:,}, beyond its {size:,} bytes"
            )
    scales, offsets = struct.unpack_from("<3d", head, 131), struct.unpack_from("<3d", head, 155)
    check_scales(name, scales, offsets)


def check_scales(name: str, scales: Any, offsets: Any) -> None:
    for axis, scale, offset in zip("xyz", scales, offsets, strict=True):
        if not (math.isfinite(scale) and scale != 0 and math.isfinite(offset)):
            raise LasError(f"{name}: {axis}'s scale {scale!r} and offset {offset!r} cannot give coordinates")


@contextlib.contextmanager
def decoder_failures(source: Any, what: str) -> Iterator[None]:
    """Any failure of laspy or lazrs, a panic of lazrs's Rust code included, as a LasError naming
    the file; Ctrl-C and a missing file pass as they are."""
    try:
        yield
    except (FileNotFoundError, LasError):
        raise
    except Exception as error:
        raise LasError(f"{source_name(source)}: {what}: {type(error).__name__}: {error}") from error
    except BaseException as error:  # pyo3's PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit, GeneratorExit)):
            raise
        raise LasError(f"{source_name(source)}: {what}: the decoder failed: {error}") from error


def agreeing_record(record: Any, dimensions: dict[str, int]) -> str:
    """Why vantrel's record of fields does not agree with the file's dimensions (their names and
    elements; '' when it does):
    only then are its names, types and COUNTs used, so a record forged or left behind by an edit
    can neither allocate beyond the file nor drop a dimension."""
    from vantrel._types import element_dtype

    if not isinstance(record, list):
        return "it is not a list of fields"
    names: set[str] = set()
    used: set[str] = set()
    for entry in record:
        if not isinstance(entry, dict):
            return "a field that is not a record"
        name, kind, dims, count = entry.get("name"), entry.get("kind"), entry.get("dims"), entry.get("count")
        if not isinstance(name, str) or not name or name in names:
            return f"a field named {name!r}"
        if not isinstance(dims, list) or not all(isinstance(d, str) and d in dimensions for d in dims):
            return f"field {name!r} names dimensions the file has not"
        if not isinstance(count, int) or isinstance(count, bool) or count < 1:
            return f"field {name!r} has COUNT {count!r}"
        if kind == "extra":  # a dimension of several elements holds as many of the field's
            if sum(dimensions[d] for d in dims) != count:
                return f"field {name!r} of COUNT {count} in dimensions of {sum(dimensions[d] for d in dims)} elements"
        elif kind not in (*KINDS_OF_ONE, "rgb", "rgba") or len(dims) != {"rgb": 3, "rgba": 4}.get(kind, 1):
            return f"field {name!r} of kind {kind!r} with {len(dims)} dimensions"
        if kind not in ("rgb", "rgba", "extra") and count != 1:
            return f"field {name!r} has COUNT {count}"
        try:
            element_dtype(entry["type"], entry["size"])
        except Exception:
            return f"field {name!r} has TYPE {entry.get('type')!r} SIZE {entry.get('size')!r}"
        if used & set(dims):
            return f"field {name!r} shares a dimension with another"
        names.add(name)
        used.update(dims)
    if not {"x", "y", "z"} <= names:
        return "it has no x, y and z"
    return ""
