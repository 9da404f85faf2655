"""Packed colors: the rgb and rgba fields of PCD files, and back."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# NumPy is imported on first use, in each function: import vantrel stays free of it.


def is_packed(name: str, size: int, count: int = 1) -> bool:
    """An rgb or rgba field of one 4-byte value a point: colors packed, whose value as a number
    means nothing (statistics, means and LAS or PLY slots take its channels)."""
    return name in ("rgb", "rgba") and size == 4 and count == 1


def unpack_rgb(values: npt.ArrayLike, *, alpha: bool = False) -> npt.NDArray[np.uint8]:
    """The colors packed in an rgb or rgba field, as uint8 channels.

    Parameters:
        values: the field's values, 4 bytes each: float32 as PCL and pypcd4 write rgb, or
            uint32 as Open3D writes it (int32 too). The bits count, never the float's value:
            an F 4 rgba whose bits are a NaN unpacks as the color those bits hold.
        alpha: also give the top byte, as an rgba field holds it.

    Returns:
        An array of shape values.shape + (3,), r g b (from bits r << 16 | g << 8 | b), or + (4,),
        r g b a with alpha=True (a << 24 above them), of dtype uint8.

    Examples:
        >>> vantrel.unpack_rgb(vantrel.read_pcd("colored.pcd")["rgb"]).shape
        (2000, 3)
    """
    import numpy as np

    array = np.asarray(values)
    if array.dtype.kind not in "fiu" or array.dtype.itemsize != 4:
        raise TypeError(f"unpack_rgb needs a field of 4 bytes per value (float32, uint32 or int32), not {array.dtype}")
    if array.dtype.byteorder == ">":  # the same bits, in this machine's order
        array = array.byteswap().view(array.dtype.newbyteorder("="))
    bits = np.ascontiguousarray(array).view(np.uint32)
    shifts = (16, 8, 0, 24) if alpha else (16, 8, 0)
    return np.stack([(bits >> shift).astype(np.uint8) for shift in shifts], axis=-1)


def pack_rgb(
    colors: npt.ArrayLike, *, dtype: npt.DTypeLike = "uint32"
) -> npt.NDArray[np.uint32] | npt.NDArray[np.float32]:
    """Colors packed as an rgb or rgba field: the reverse of unpack_rgb.

    Parameters:
        colors: (N, 3) r g b or (N, 4) r g b a, as integers from 0 to 255 (uint8 or any
            integer dtype), or as floats from 0 to 1, scaled as Open3D scales them
            (round(c * 255), halves away from zero).
        dtype: numpy.uint32 (the default; named as a string, so that importing vantrel does
            not import NumPy) or numpy.float32, which gives the same bits as a float32 field, as
            PCL and pypcd4 store rgb.

    Returns:
        (N,) values r << 16 | g << 8 | b, with a << 24 above them for (N, 4); for (N, 3) the
        top byte is 0, as Open3D and pypcd4 write it.

    Examples:
        >>> vantrel.pack_rgb([[255, 128, 0]])
        array([16744448], dtype=uint32)
    """
    import numpy as np

    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.uint32), np.dtype(np.float32)):
        raise TypeError(f"pack_rgb gives uint32 or float32, not {dtype}")
    array = np.asarray(colors)
    if array.ndim != 2 or array.shape[1] not in (3, 4):
        raise ValueError(f"pack_rgb needs colors of shape (N, 3) or (N, 4), not {array.shape}")
    if array.dtype.kind == "f":
        if not np.all((array >= 0) & (array <= 1)):  # NaN fails too
            raise ValueError("pack_rgb needs float colors from 0 to 1 (or integers from 0 to 255)")
        channels = np.floor(array * 255 + 0.5).astype(np.uint32)
    elif array.dtype.kind in "iu":
        if array.size and (array.min() < 0 or array.max() > 255):
            raise ValueError("pack_rgb needs integer colors from 0 to 255 (or floats from 0 to 1)")
        channels = array.astype(np.uint32)
    else:
        raise TypeError(f"pack_rgb needs integer or float colors, not {array.dtype}")
    shifts = (16, 8, 0, 24)[: array.shape[1]]
    packed = np.zeros(len(channels), dtype=np.uint32)
    for k, shift in enumerate(shifts):
        packed |= channels[:, k] << np.uint32(shift)
    return packed.view(np.float32) if dtype == np.float32 else packed
