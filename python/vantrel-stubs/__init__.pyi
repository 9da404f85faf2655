"""Fast PCD loading (ASCII, binary, binary_compressed)"""

from typing import Any

import numpy as np
import numpy.typing as npt

__version__: str

def load_pcd(
    filename: str | bytes | bytearray,
) -> tuple[npt.NDArray[np.float32] | npt.NDArray[np.float64], dict[str, npt.NDArray[Any]]]:
    """Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N, 3) with x, y, z: float32, or float64
            when the file stores them as doubles or as 32- or 64-bit integers
        fields: dict of every other field's values, keyed by name, in header
            order: shape (N,) for COUNT 1 and (N, COUNT) above, with the dtype
            that the field's TYPE and SIZE give
    """
