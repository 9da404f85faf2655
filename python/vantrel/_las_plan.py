"""Where a cloud's fields go in a LAS file, learnt from a survey of its values before writing.

A field named as a LAS standard dimension goes to that slot when every value fits it (integers in
the slot's range, checked, not assumed), so that other LAS readers see classification as
classification; what does not fit goes to an extra-bytes dimension, with a warning saying why.
The point format follows the content: 6, 7 with color, 8 with nir. x, y and z are stored on a
step no coarser than their own: the decimal step their values lie on, else the finest power of
ten their type's precision and their extent allow in LAS's 32-bit integers.
"""

from __future__ import annotations

import json
import math
import warnings
from collections.abc import Sequence
from typing import Any

import vantrel
from vantrel._colors import is_packed
from vantrel._frames import column_names
from vantrel._las_input import LasError, laspy_module

VLR_USER = "vantrel"
VLR_RECORD = 1
INT32_MAX = 2**31 - 1
MOST_EXTRAS = 65535 // 192  # the extra-bytes VLR's 192-byte descriptions in its 16-bit length
FINEST = -12  # the finest decimal step looked for: 10^-12
# LAS 1.4's standard dimensions of point formats 6 to 8 that a field may fill: (lowest, highest),
# integers; None for gps_time, a float64 that holds any float32 or float64.
SLOTS: dict[str, tuple[int, int] | None] = {
    "intensity": (0, 65535),
    "return_number": (0, 15),
    "number_of_returns": (0, 15),
    "synthetic": (0, 1),
    "key_point": (0, 1),
    "withheld": (0, 1),
    "overlap": (0, 1),
    "scanner_channel": (0, 3),
    "scan_direction_flag": (0, 1),
    "edge_of_flight_line": (0, 1),
    "classification": (0, 255),
    "user_data": (0, 255),
    "scan_angle": (-32768, 32767),
    "point_source_id": (0, 65535),
    "gps_time": None,
    "red": (0, 65535),
    "green": (0, 65535),
    "blue": (0, 65535),
    "nir": (0, 65535),
}
COLORS = ("red", "green", "blue")


class Survey:
    """What the points hold, learnt before writing: per axis the extent, the largest magnitude and
    the coarsest decimal step the values lie on; per field that may fill a slot, its range and
    whether its values are all integers (NaN is none)."""

    def __init__(self) -> None:
        self.low = [math.inf] * 3
        self.high = [-math.inf] * 3
        self.steps: list[int | None] = [0] * 3  # 10^k; None once no step down to 10^FINEST holds
        self.types: list[Any] = [None] * 3
        self.ranges: dict[str, list[float]] = {}  # name: [lowest, highest, all integers (1/0)]

    def add(self, fields: dict[str, Any]) -> None:
        import numpy as np

        finite = np.ones(len(fields["x"]), bool)
        for axis in "xyz":
            finite &= np.isfinite(fields[axis])
        for k, axis in enumerate("xyz"):
            values = fields[axis][finite]
            self.types[k] = fields[axis].dtype
            if values.size:
                self.low[k] = min(self.low[k], float(values.min()))
                self.high[k] = max(self.high[k], float(values.max()))
                self.steps[k] = _coarsest_step(values, self.steps[k])
        for name in SLOTS:
            values = fields.get(name)
            if values is None or values.ndim != 1 or not values.size:
                continue
            seen = self.ranges.setdefault(name, [math.inf, -math.inf, 1])
            if values.dtype.kind == "f":
                whole = bool(np.isfinite(values).all()) and bool((values == np.round(values)).all())
                seen[2] = seen[2] and whole
                values = values[np.isfinite(values)]
            if values.size:
                seen[0] = min(seen[0], float(values.min()))
                seen[1] = max(seen[1], float(values.max()))

    def unit(self, name: str) -> bool:
        """Whether the field's values lie from 0 to 1 (or it has none): a float intensity so is
        scaled by 65535."""
        low, high, _ = self.ranges.get(name, [math.inf, -math.inf, 1])
        return 0 <= low and high <= 1 or low > high

    def fits(self, name: str, dtype: Any) -> str:
        """Why the field cannot fill its slot ('' when it can)."""
        slot = SLOTS[name]
        low, high, whole = self.ranges.get(name, [math.inf, -math.inf, 1])
        if slot is None:
            return "" if dtype.kind == "f" or dtype.itemsize <= 4 else f"its {dtype} values may not fit a float64"
        if not whole:
            return "it holds values that are not integers"
        if low <= high and (low < slot[0] or high > slot[1]):
            return f"its values run from {low:g} to {high:g}, beyond the slot's {slot[0]} to {slot[1]}"
        return ""


def _coarsest_step(values: Any, start: int | None) -> int | None:
    """The coarsest 10^k, from 10^start down, that every value lies on, to within a quarter of it
    and its type's precision; None when none down to 10^FINEST does."""
    import numpy as np

    if start is None:
        return None
    exact = values.astype(np.float64)
    slack = 2 * np.spacing(np.abs(values)).astype(np.float64).max()  # the values' own rounding
    for k in range(start, FINEST - 1, -1):
        step = 10.0**k
        if slack >= step / 4:
            return None
        if float(np.abs(exact - np.round(exact / step) * step).max()) <= slack:
            return k
    return None


def _scales(survey: Survey, scale: Any, offset: Any) -> tuple[list[float], list[float]]:
    """Scale and offset per axis: the offset the minimum rounded down, the scale the one asked for
    or the step of the module's comment."""
    import numpy as np

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
    for k, span in enumerate(spans):
        if not math.isfinite(span) or span / INT32_MAX > 1e300:
            raise LasError(f"{'xyz'[k]} from {low[k]:g} to {high[k]:g} is beyond what LAS's integers can hold")
        feasible = math.ceil(math.log10(span / INT32_MAX)) if span > 0 else FINEST
        while span / 10.0**feasible > INT32_MAX:
            feasible += 1
        own = survey.steps[k]
        if own is None:  # the type's precision at the largest magnitude
            largest = max(abs(low[k]), abs(high[k]), 1.0)
            kind = survey.types[k] if survey.types[k] is not None and survey.types[k].kind == "f" else np.float64
            spacing = float(np.spacing(np.array(largest, kind)))
            # float32: a step within half its spacing at the largest values, which read back as
            # float32 are then the values written; float64: no finer than it can hold.
            own = math.floor(math.log10(spacing / 2)) if np.dtype(kind).itemsize < 8 else math.ceil(math.log10(spacing))
        scales.append(float(f"1e{max(own, feasible, FINEST)}"))
    return scales, offsets


def _three(value: Any, what: str) -> list[float]:
    values = [float(value)] * 3 if isinstance(value, (int, float)) else [float(v) for v in value]
    if len(values) != 3 or not all(math.isfinite(v) for v in values):
        raise LasError(f"{what} must be one finite number or three (x, y, z), not {value!r}")
    return values


def packed_color(field: vantrel.PcdField) -> bool:
    return is_packed(field.name, field.size, field.count)


class Plan:
    """Where each field of the cloud goes in the LAS file, and the header that says so."""

    def __init__(
        self, fields: Sequence[vantrel.PcdField], survey: Survey, scale: Any, offset: Any, crs: Any = None
    ) -> None:
        laspy = laspy_module()
        self.fields = [f for f in fields if not f.padding]
        names = [f.name for f in self.fields]
        for axis in "xyz":
            if axis not in names:
                raise LasError(f"a LAS file needs x, y and z; the cloud has no {axis!r}")
        self.slotted = self._slotted(survey)
        color = any(packed_color(f) for f in self.fields) or bool(self.slotted & set(COLORS))
        self.format = laspy.PointFormat(8 if "nir" in self.slotted else 7 if color else 6)
        standard = {name.lower() for name in self.format.dimension_names}
        self.places = [self._place(field, survey, standard) for field in self.fields]
        extras = self._extras(laspy)
        self.header = laspy.LasHeader(point_format=self.format.id, version="1.4")
        self.header.add_extra_dims(extras)
        self.header.scales, self.header.offsets = _scales(survey, scale, offset)
        record = [
            {"name": f.name, "type": f.type, "size": f.size, "count": f.count, "kind": p["kind"], "dims": p["dims"]}
            for f, p in zip(self.fields, self.places, strict=True)
        ]
        self.header.vlrs.append(laspy.VLR(VLR_USER, VLR_RECORD, "PCD fields", json.dumps(record).encode()))
        if crs is not None:
            self.header.add_crs(crs)

    def _extras(self, laspy: Any) -> list[Any]:
        """The extra-bytes dimensions of the fields, each named within LAS's 32 bytes. Where the
        cloud needs more than LAS can describe, fields of many elements (the largest first) take
        dimensions of 3 elements each (name_0to2, name_3to5 ...): LAS 1.4 deprecates these, but
        laspy reads them and nothing is lost; a warning for each."""
        needed = sum(len(p["dims"]) for p in self.places if p["kind"] == "extra")
        needed += sum(p["kind"] == "rgba" for p in self.places)
        many = [k for k, p in enumerate(self.places) if p["kind"] == "extra" and len(p["dims"]) > 1]
        for k in sorted(many, key=lambda k: -self.fields[k].count):
            if needed <= MOST_EXTRAS:
                break
            field, place = self.fields[k], self.places[k]
            starts = range(0, field.count, 3)
            place["widths"] = [min(3, field.count - at) for at in starts]
            place["dims"] = [
                f"{place['base']}_{at}to{at + w - 1}" for at, w in zip(starts, place["widths"], strict=True)
            ]
            needed -= field.count - len(place["dims"])
            warnings.warn(
                f"field {field.name!r}: its {field.count} elements go to {len(place['dims'])} extra-bytes dimensions "
                f"of up to 3 elements each, as LAS describes at most {MOST_EXTRAS} dimensions (laspy reads them; "
                "LAS 1.4 calls dimensions of several elements deprecated)",
                stacklevel=6,
            )
        if needed > MOST_EXTRAS:
            raise LasError(
                f"the cloud needs {needed} extra-bytes dimensions, even with 3 elements to a dimension; "
                f"LAS's description of them holds {MOST_EXTRAS}"
            )
        extras = []
        for field, place in zip(self.fields, self.places, strict=True):
            for dim in place["dims"]:
                if len(dim.encode()) > 32:  # the extra-bytes record holds 32 bytes of name
                    raise LasError(f"field {field.name!r} would be LAS dimension {dim!r}, longer than LAS's 32 bytes")
            if place["kind"] == "extra" and field.dtype is not None:  # _place refused a field of no dtype
                widths = place.get("widths", [1] * len(place["dims"]))
                kinds = [field.dtype if w == 1 else f"{w}{field.dtype.str[1:]}" for w in widths]
                extras += [laspy.ExtraBytesParams(dim, kind) for dim, kind in zip(place["dims"], kinds, strict=True)]
            if place["kind"] == "rgba":
                extras.append(laspy.ExtraBytesParams(place["dims"][3], "u1"))
        return extras

    def _slotted(self, survey: Survey) -> set[str]:
        """The fields that fill their standard slot; a warning for each that cannot."""
        slotted = set()
        packed = any(packed_color(f) for f in self.fields)
        for field in self.fields:
            name = field.name
            if name not in SLOTS or field.count != 1 or field.dtype is None:
                continue
            why = survey.fits(name, field.dtype)
            if name == "intensity" and why and field.dtype.kind == "f" and survey.unit("intensity"):
                continue  # 0 to 1: scaled by 65535, as before
            if not why and name in COLORS and packed:
                why = "the packed rgb field fills the color slots"
            if why:
                warnings.warn(
                    f"field {name!r} goes to the extra-bytes dimension pcd_{name}, not LAS's {name}: {why}",
                    stacklevel=5,
                )
                continue
            slotted.add(name)
        return slotted

    def _place(self, field: vantrel.PcdField, survey: Survey, standard: set[str]) -> dict[str, Any]:
        name = field.name
        if name in ("x", "y", "z") and field.count == 1:
            return {"kind": name, "dims": [name.upper()]}
        if name in self.slotted:
            return {"kind": "standard", "dims": [name]}
        if name == "intensity" and field.count == 1 and field.dtype is not None and field.dtype.kind == "f":
            if survey.unit("intensity"):
                return {"kind": "intensity/65535", "dims": ["intensity"]}
        if packed_color(field):
            dims = list(COLORS) + (["pcd_alpha" if "alpha" in standard else "alpha"] if name == "rgba" else [])
            return {"kind": name, "dims": dims}
        if field.dtype is None:
            raise LasError(f"field {name!r} has TYPE {field.type} SIZE {field.size}, which LAS has no type for")
        base = f"pcd_{name}" if name.lower() in standard or name in ("x", "y", "z") else name
        return {"kind": "extra", "dims": column_names(base, field.count), "base": base}

    def fill(self, fields: dict[str, Any]) -> Any:
        """The LAS points of a chunk's fields (those with a NaN coordinate left out)."""
        import numpy as np

        laspy = laspy_module()
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
            elif kind == "standard":
                points[dims[0]] = values if SLOTS[dims[0]] is None else values.astype(np.int64)
            elif kind == "intensity/65535":
                points["intensity"] = np.round(np.nan_to_num(values) * 65535).astype(np.uint16)
            elif kind in ("rgb", "rgba"):
                channels = vantrel.unpack_rgb(values, alpha=kind == "rgba")
                for c, dim in enumerate(dims[:3]):
                    points[dim] = channels[:, c].astype(np.uint16) * 257
                if kind == "rgba":
                    points[dims[3]] = channels[:, 3]
            else:
                columns, at = values.reshape(len(values), -1), 0
                for dim, width in zip(dims, place.get("widths", [1] * len(dims)), strict=True):
                    points[dim] = columns[:, at] if width == 1 else columns[:, at : at + width]
                    at += width
        return points, int((~keep).sum())
