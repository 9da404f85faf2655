"""Many PCD files, and maps larger than one machine, as one Dask DataFrame."""

import os
from collections.abc import Sequence
from typing import Any

import dask.dataframe

__all__ = ["read_pcds"]

def read_pcds(
    urlpath: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    *,
    fields: Sequence[str] | None = None,
    chunk_points: int | None = None,
    storage_options: dict[str, Any] | None = None,
) -> dask.dataframe.DataFrame: ...
