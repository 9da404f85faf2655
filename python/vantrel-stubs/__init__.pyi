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
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    """
