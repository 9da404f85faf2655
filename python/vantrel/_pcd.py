"""PCD as a bridge of vantrel.convert: the engine's reader and writer, and PCD to PCD in chunks.
A PCD file's CRS is in the .prj file beside it."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import vantrel
from vantrel import _crs
from vantrel._chunks import chunk_points
from vantrel._convert import Bridge
from vantrel._types import as_data


def read(source: Path, fields: Sequence[str] | None = None) -> vantrel.PointCloud:
    return vantrel.read_pcd(source, fields=fields)


def carry_crs(target: Path, crs: Any) -> None:
    """A PCD file's CRS in its sidecar; a sidecar left from before, which would describe another
    cloud, said so."""
    if crs is not None:
        _crs.write_sidecar(target, crs)
    elif _crs.sidecar(target).exists():
        warnings.warn(f"{_crs.sidecar(target)} is from before: this cloud has no CRS", stacklevel=2)


def write(target: Path, cloud: vantrel.PointCloud, crs: Any, data: str | None = None) -> None:
    vantrel.write_pcd(target, cloud, data=as_data(data or "binary_compressed"))
    carry_crs(target, crs)


def pcd_to_pcd(
    source: Path, target: Path, *, fields: Sequence[str] | None, crs: Any, progress: Any, data: str | None = None
) -> tuple[int, int]:
    """In chunks, in the source's encoding unless `data` says otherwise, its grid and viewpoint kept."""
    with vantrel.open_pcd(source) as reader:
        header = reader.header
        grid = {"width": header.width, "height": header.height} if header.organized else {}
        like = reader.read(0, fields=fields)  # a file of no points still has the fields
        with vantrel.open_pcd_writer(
            target,
            data=as_data(data or header.data),
            points=header.points,
            viewpoint=header.viewpoint,
            like=like,
            **grid,
        ) as writer:
            for chunk in progress(reader.chunks(chunk_points(header.point_step), fields=fields), header.points):
                writer.write(chunk)
                del chunk  # before the next is read, which then takes its memory
    carry_crs(target, crs if crs is not None else _crs.of_pcd(source))
    return header.points, header.points


BRIDGE = Bridge(
    kind="PCD",
    read=read,
    write=write,
    crs=_crs.of_pcd,
    write_options=frozenset({"data"}),
    streams={("PCD", "PCD"): pcd_to_pcd},
)
