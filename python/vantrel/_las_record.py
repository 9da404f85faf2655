"""The record of its fields that vantrel writes in a LAS file (a VLR of user "vantrel"), used only
where it agrees with the file; and the standard dimensions that it leaves out, which vantrel wrote
as 0 and another tool may have set since."""

from __future__ import annotations

import json
import warnings
from collections.abc import Iterable
from typing import Any

from vantrel._chunks import chunk_points
from vantrel._extras import source_name
from vantrel._las_input import agreeing_record, decoder_failures
from vantrel._las_plan import VLR_RECORD, VLR_USER


def vantrel_fields(header: Any, source: Any) -> list[dict[str, Any]] | None:
    """The fields a vantrel-written file records, or None for another writer's file and for a
    record that does not agree with the file's dimensions (with a warning saying why)."""
    for vlr in header.vlrs:
        if getattr(vlr, "user_id", "") == VLR_USER and getattr(vlr, "record_id", None) == VLR_RECORD:
            try:
                record = json.loads(bytes(vlr.record_data))
            except ValueError:
                record = None
            why = agreeing_record(record, {d.name: d.num_elements for d in header.point_format.dimensions})
            if not why:
                return list(record)
            warnings.warn(
                f"{source_name(source)}: vantrel's record of its fields does not agree with its dimensions ({why}); "
                "read as any other LAS file",
                stacklevel=4,
            )
            return None
    return None


def unrecorded(header: Any, source: Any) -> list[str]:
    """The standard dimensions of a file vantrel wrote that its record leaves out: 0 as vantrel
    wrote them, but another tool may have set them since (none for another writer's file)."""
    with warnings.catch_warnings():  # a record that does not agree: its reader says so, once
        warnings.simplefilter("ignore")
        recorded = vantrel_fields(header, source)
    if recorded is None:
        return []
    covered = {dim for entry in recorded for dim in entry["dims"]} | {"X", "Y", "Z"}
    return [d.name for d in header.point_format.dimensions if d.is_standard and d.name not in covered]


def set_since(laspy: Any, source: Any, header: Any) -> list[str]:
    """The standard dimensions that another tool set in a file vantrel wrote: a first pass over
    them alone (a LAZ file's other layers left compressed)."""
    names = unrecorded(header, source)
    if not names:
        return []
    with decoder_failures(source, "damaged or cut short"):
        with laspy.open(source, decompression_selection=selection(laspy, names)) as reader:
            return holding_values(reader.chunk_iterator(chunk_points(header.point_format.size)), names)


# The layer of a LAZ file (point formats 6 to 10) that holds each standard dimension, for a pass
# that decompresses only those asked for: x, y, the returns and the channel are always there.
_LAYERS = {
    "classification": "CLASSIFICATION",
    "intensity": "INTENSITY",
    "scan_angle": "SCAN_ANGLE",
    "user_data": "USER_DATA",
    "point_source_id": "POINT_SOURCE_ID",
    "gps_time": "GPS_TIME",
    "red": "RGB",
    "green": "RGB",
    "blue": "RGB",
    "nir": "NIR",
    "Z": "Z",
}
_BASE = {"return_number", "number_of_returns", "scanner_channel", "X", "Y"}


def selection(laspy: Any, names: list[str]) -> Any:
    """The LAZ layers that hold these dimensions (the flags' layer for the flags, the wave
    packets' for theirs)."""
    chosen = laspy.DecompressionSelection.XY_RETURNS_CHANNEL
    for name in names:
        if name not in _BASE:
            layer = _LAYERS.get(name, "WAVEPACKET" if "wave" in name or "return_point" in name else "FLAGS")
            chosen |= getattr(laspy.DecompressionSelection, layer)
    return chosen


def holding_values(parts: Iterable[Any], names: list[str]) -> list[str]:
    """Which of these dimensions hold a value other than 0 at some point of laspy's points: in a
    file vantrel wrote, the standard dimensions it left 0 that another tool has set since. Reading
    stops once each is found."""
    found: set[str] = set()
    for points in parts:
        bits: dict[str, int] = {}
        found.update(name for name in names if name not in found and holds_value(points, name, bits))
        if len(found) == len(names):
            break
    return [name for name in names if name in found]


def holds_value(points: Any, dim: str, bits: dict[str, int]) -> bool:
    """Whether a dimension of laspy's points is other than 0 at some point: a bit field's bits
    found in its byte's OR over the points (kept in `bits` for the byte's other fields)."""
    import numpy as np

    composite = getattr(points, "sub_fields_dict", {}).get(dim)
    if composite is None:
        return bool(np.any(np.asarray(points[dim])))
    if composite[0] not in bits:
        bits[composite[0]] = int(np.bitwise_or.reduce(points.array[composite[0]]))
    return bool(bits[composite[0]] & composite[1].mask)
