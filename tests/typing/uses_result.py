"""Checked by mypy against the shipped stubs: a typical use of the result."""

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
