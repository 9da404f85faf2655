"""Map tools for maps larger than memory: tile, merge, crop and downsample, every field kept."""

import os
from collections.abc import Sequence
from typing import Any, Literal

import numpy.typing as npt

_Source = str | os.PathLike[str]
_Data = Literal["ascii", "binary", "binary_compressed"]

CHUNK: int
ENCODINGS: tuple[str, ...]

class ToolError(ValueError):
    """An argument or an input that a tool cannot work with; nothing was written."""

def merge(
    sources: Sequence[_Source], target: _Source, *, data: _Data | None = None, fields: Sequence[str] | None = None
) -> dict[str, Any]: ...
def read_polygon(path: _Source) -> npt.NDArray[Any]: ...
def crop(
    source: _Source,
    target: _Source,
    *,
    box: Sequence[float] | None = None,
    polygon: npt.ArrayLike | None = None,
    data: _Data | None = None,
) -> dict[str, Any]: ...
def tile(
    source: _Source | Sequence[_Source],
    outdir: _Source,
    *,
    size: float | Sequence[float],
    origin: Sequence[float] = (0, 0),
    prefix: str = "",
    data: _Data = "binary_compressed",
    metadata: bool = True,
    chunk: int | None = None,
) -> dict[str, Any]: ...
def downsample(
    source: _Source | Sequence[_Source],
    target: _Source,
    *,
    voxel: float | Sequence[float],
    fields: Literal["mean"] = "mean",
    data: _Data | None = None,
) -> dict[str, Any]: ...
