"""The package's Python side, attached to the compiled module: imported once, at the end of its start."""

from __future__ import annotations

from collections.abc import Callable
from types import ModuleType
from typing import Any

from vantrel import _colors, _convert, _frames


def attach(module: ModuleType) -> Callable[[object, bool], dict[str, _frames.Column] | None]:
    """Adds what is written in Python to the module and its types, and returns the function the
    binding calls on fields that are no mapping (a pandas DataFrame, a structured array)."""
    for name, value in (
        ("unpack_rgb", _colors.unpack_rgb),
        ("pack_rgb", _colors.pack_rgb),
        ("convert", _convert.convert),
        ("ConvertError", _convert.ConvertError),
    ):
        setattr(module, name, value)
    module.PointCloud.to_pandas = _frames.to_pandas
    module.PointCloud.to_arrow = _to_arrow
    module.PointCloud._repr_html_ = _repr_html_
    return _frames.as_fields


def _to_arrow(self: Any, crs: Any = None) -> Any:
    """The cloud as a pyarrow.Table (see vantrel.parquet.to_arrow); pyarrow imported now."""
    from vantrel.parquet import to_arrow

    return to_arrow(self, crs)


def _repr_html_(self: Any) -> str:
    """A notebook's picture of the cloud: a small 3D page of it (see vantrel view)."""
    from vantrel._page import notebook

    return notebook(self)
