"""Types the package's Python side and its stubs share."""

from __future__ import annotations

from typing import Any, Literal, get_args

# The encodings a PCD file's DATA line names, as write_pcd's data= takes them.
Data = Literal["ascii", "binary", "binary_compressed"]
ENCODINGS: tuple[Data, ...] = get_args(Data)


def as_data(value: str) -> Data:
    """The encoding `value` names; ValueError for anything else."""
    for encoding in ENCODINGS:
        if value == encoding:
            return encoding
    raise ValueError(f"data must be one of {', '.join(ENCODINGS)}, not {value!r}")


def element_dtype(letter: str, size: int) -> Any:
    """The NumPy dtype of a PCD TYPE letter and SIZE, as recorded in a file's own metadata."""
    import numpy as np

    return np.dtype({"F": "f", "I": "i", "U": "u"}[letter] + str(size))
