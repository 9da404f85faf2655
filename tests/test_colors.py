"""Packed colors: unpack_rgb and pack_rgb, whatever the field's dtype."""

import numpy as np
import pytest

import vantrel

# A packed F 4 rgba whose alpha is 255 and red 138: its bits are a NaN with a payload.
RGBA_BITS = np.array([0xFF8A2030, 0x00010203, 0x7F000000], np.uint32)


@pytest.mark.parametrize("dtype", [np.uint32, np.float32, np.int32, ">f4"])
def test_unpack_rgb_reads_the_bits_whatever_the_dtype(dtype):
    values = RGBA_BITS.view(np.float32).astype(dtype) if dtype == ">f4" else RGBA_BITS.view(dtype)
    assert vantrel.unpack_rgb(values).tolist() == [[138, 32, 48], [1, 2, 3], [0, 0, 0]]
    assert vantrel.unpack_rgb(values, alpha=True)[:, 3].tolist() == [255, 0, 127]


@pytest.mark.parametrize(
    "colors, dtype, expected",
    [
        ([[138, 32, 48, 255], [1, 2, 3, 0]], "uint32", [0xFF8A2030, 0x00010203]),
        ([[255, 0, 1]], "uint32", [0x00FF0001]),  # (N, 3): the top byte is 0
        ([[1.0, 0.5, 1 / 510]], "uint32", [0x00FF8001]),  # round(c * 255), halves away from zero
        (np.array([[138, 32, 48, 255]], np.uint8), "float32", [0xFF8A2030]),  # the same bits as float32
    ],
    ids=["rgba", "rgb", "floats", "float32"],
)
def test_pack_rgb(colors, dtype, expected):
    packed = vantrel.pack_rgb(colors, dtype=dtype)
    assert packed.dtype == np.dtype(dtype) and packed.view(np.uint32).tolist() == expected
    assert (
        vantrel.unpack_rgb(packed, alpha=True)[:, :3].tolist()
        == vantrel.unpack_rgb(np.array(expected, np.uint32)).tolist()
    )


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: vantrel.unpack_rgb(np.zeros(3, np.uint16)), TypeError, "4 bytes per value"),
        (lambda: vantrel.unpack_rgb(np.zeros(3)), TypeError, "not float64"),
        (lambda: vantrel.pack_rgb(np.zeros((3, 2))), ValueError, r"shape \(N, 3\) or \(N, 4\), not \(3, 2\)"),
        (lambda: vantrel.pack_rgb([[0.5, 1.5, 0]]), ValueError, "float colors from 0 to 1"),
        (lambda: vantrel.pack_rgb([[0.5, np.nan, 0]]), ValueError, "float colors from 0 to 1"),
        (lambda: vantrel.pack_rgb([[256, 0, 0]]), ValueError, "integer colors from 0 to 255"),
        (lambda: vantrel.pack_rgb([[1, 2, 3]], dtype=np.float64), TypeError, "uint32 or float32"),
    ],
    ids=["u2", "f8", "shape", "float-range", "nan", "int-range", "dtype"],
)
def test_colors_refuse_what_they_cannot_hold(call, error, match):
    with pytest.raises(error, match=match):
        call()
