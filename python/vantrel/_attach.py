"""The package's Python side, attached to the compiled module: imported once, at the end of its start."""

from __future__ import annotations

from collections.abc import Callable
from types import ModuleType

from vantrel import _colors, _frames


def attach(module: ModuleType) -> Callable[[object, bool], dict[str, _frames.Column] | None]:
    """Adds what is written in Python to the module and its types, and returns the function the
    binding calls on fields that are no mapping (a pandas DataFrame, a structured array)."""
    for name, value in (("unpack_rgb", _colors.unpack_rgb), ("pack_rgb", _colors.pack_rgb)):
        setattr(module, name, value)
    module.PointCloud.to_pandas = _frames.to_pandas
    return _frames.as_fields
