"""Checked by mypy against the shipped stubs: a typical use of the result."""

import io
import pathlib
from typing import Any

import numpy as np
import numpy.typing as npt

import vantrel


def centroid(path: str) -> npt.NDArray[np.float64]:
    points, fields = vantrel.load_pcd(path)
    intensity: npt.NDArray[np.generic] = fields["intensity"]
    weights = intensity.astype(np.float64)
    return np.asarray(points.astype(np.float64).T @ weights / weights.sum(), dtype=np.float64)


def names(path: bytes) -> list[str]:
    _, fields = vantrel.load_pcd(bytearray(path))
    return sorted(fields)


version: str = vantrel.__version__


def organized(path: pathlib.Path) -> npt.NDArray[np.floating[Any]]:
    cloud = vantrel.read_pcd(path)
    header: vantrel.PcdHeader = cloud.header
    return cloud.points.reshape(header.height, header.width, 3)


def from_memory(data: bytes) -> tuple[int, str, float]:
    header = vantrel.read_pcd_header(io.BytesIO(data))
    return len(vantrel.read_pcd(io.BytesIO(data))), header.fields[0].name, header.viewpoint[3]


def save(path: pathlib.Path, cloud: vantrel.PointCloud) -> None:
    vantrel.write_pcd(path, cloud, data="binary")
    vantrel.write_pcd(io.BytesIO(), {"i": np.zeros(3, np.uint8)}, points=np.zeros((3, 3)), width=3, height=1)
