"""A cloud's coordinate reference system, carried with its coordinates: in a LAS file's VLRs
(GeoTIFF keys or WKT, read and written by laspy through pyproj), and beside a PCD file, which has
no place for one, as a .prj sidecar of WKT (the form GIS tools read next to a data file)."""

from __future__ import annotations

import os
import warnings
from pathlib import Path
from typing import Any

from vantrel._extras import replacing, require


def sidecar(path: str | os.PathLike[str]) -> Path:
    """The .prj beside a file: map.pcd's is map.prj."""
    return Path(path).with_suffix(".prj")


def as_crs(value: Any) -> Any:
    """A pyproj CRS of an EPSG code (4326, "EPSG:4326"), a WKT text or a CRS; ValueError otherwise."""
    pyproj = require("pyproj", "las", "a CRS")
    try:
        return pyproj.CRS.from_user_input(value)
    except pyproj.exceptions.CRSError as error:
        raise ValueError(f"{value!r} is no CRS this can read (an EPSG code or WKT): {error}") from None


def has_crs_vlr(header: Any) -> bool:
    """Whether a LAS header holds GeoTIFF keys or WKT, without pyproj."""
    records = list(header.vlrs) + list(header.evlrs or [])
    return any(getattr(v, "user_id", "") == "LASF_Projection" and v.record_id in (34735, 2112) for v in records)


def of_las(header: Any, name: str) -> Any:
    """The CRS a LAS header holds, or None; a warning when it holds one that cannot be read."""
    if not has_crs_vlr(header):
        return None
    try:
        require("pyproj", "las", "the CRS of a LAS file")
        crs = header.parse_crs()
    except Exception as error:  # laspy's and pyproj's, and a missing pyproj
        warnings.warn(f"{name}: its CRS cannot be read, so it is not carried: {error}", stacklevel=3)
        return None
    if crs is None:
        warnings.warn(f"{name}: its CRS keys name no CRS pyproj knows, so it is not carried", stacklevel=3)
    return crs


def of_pcd(path: str | os.PathLike[str]) -> Any:
    """The CRS of a PCD file's sidecar, or None when it has none."""
    prj = sidecar(path)
    if not prj.is_file():
        return None
    text = prj.read_text(encoding="utf-8", errors="replace")
    try:
        return as_crs(text)
    except ValueError as error:
        raise ValueError(f"{prj}: {error}") from None


def write_sidecar(path: str | os.PathLike[str], crs: Any) -> Path:
    """The CRS as WKT in the .prj beside `path`, replaced only once complete."""
    prj = sidecar(path)
    with replacing(prj) as partial:
        partial.write_text(crs.to_wkt() + "\n", encoding="utf-8")
    return prj


def add_to_las(header: Any, crs: Any) -> None:
    """The CRS in a LAS header's VLRs, in place of any it held."""
    from laspy.vlrs.vlrlist import VLRList  # type: ignore[import-untyped]

    kept = [v for v in header.vlrs if getattr(v, "user_id", "") != "LASF_Projection"]
    header.vlrs = VLRList(kept)
    header.add_crs(crs)
