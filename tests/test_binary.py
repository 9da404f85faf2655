"""The binary and binary_compressed data sections."""

import numpy as np
import pytest

import vantrel
from conftest import expect_data_warning
from pcdfile import block, header, lzf_compress, lzf_literal, planes, records

XYZI = "<f4,<f4,<f4,<f4"
ROWS = [(1, 2, 3, 0.5), (4, 5, 6, 0.25), (7, 8, 9, 0.125)]


@pytest.mark.parametrize(
    "cut, filled",
    [(48, 3), (200, 3), (40, 2.5), (16, 1), (0, 0)],
    ids=["exact", "over-long", "mid-record", "one-record", "empty"],
)
def test_binary_section_lengths(load, cut, filled):
    body = (records(XYZI, ROWS) + b"\x7f" * 200)[:cut]
    warns = None if filled == 3 else f"PCD data ends early: the file holds {int(filled)} of 3 points; the rest are zero"
    points, fields = load(header("x y z intensity", points=3, data="binary"), body, warns=warns)
    expected = np.array(ROWS, np.float64)
    flat = expected.reshape(-1)
    flat[int(filled * 4) :] = 0  # what the file does not hold is zero
    np.testing.assert_array_equal(points, expected[:, :3])
    np.testing.assert_array_equal(fields["intensity"], expected[:, 3])


MIXED = [("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("n", "<f4", (3,)), ("r", "<u2"), ("t", "<f8"), ("l", "u1")]
MIXED_ROWS = [(i + 0.5, -i, 2 * i, (i, i + 1, i + 2), 100 + i, 1.7e9 + i, i % 3) for i in range(50)]
MIXED_HEADER = dict(fields="x y z n r t l", size="4 4 4 4 2 8 1", type="F F F F U F U", count="1 1 1 3 1 1 1")


def check_mixed(points, fields, rows=MIXED_ROWS):
    expected = np.array(rows, MIXED)
    np.testing.assert_array_equal(points, np.stack([expected["x"], expected["y"], expected["z"]], axis=1))
    for name in "nrtl":
        np.testing.assert_array_equal(fields[name], expected[name])


@pytest.mark.parametrize("compress", [lzf_compress, lzf_literal], ids=["lzf", "literal-runs"])
def test_compressed_image_is_field_major(load, compress):
    image = planes(MIXED, MIXED_ROWS)
    text = header(points=50, data="binary_compressed", **MIXED_HEADER)
    check_mixed(*load(text, block(compress(image), len(image))))


def test_padding_and_negative_counts_have_no_plane(load):
    # Record: x y z, four bytes of padding, then i at offset 16.
    text = header(
        "x y z _ i", size="4 4 4 1 4", type="F F F U F", count="1 1 1 4 1", points=3, data="binary_compressed"
    )
    image = planes(XYZI, ROWS)  # x, y, z, i planes; the padding has none
    points, fields = load(text, block(lzf_compress(image), len(image)))
    np.testing.assert_array_equal(points, np.array(ROWS)[:, :3])
    np.testing.assert_array_equal(fields["i"], np.array(ROWS)[:, 3])
    assert not fields["_"].any()


def test_single_point_image_is_the_record(load):
    image = planes(XYZI, ROWS[:1])
    text = header("x y z intensity", points=1, data="binary_compressed")
    points, fields = load(text, block(lzf_literal(image), len(image)))
    np.testing.assert_array_equal(points, [[1, 2, 3]])
    assert fields["intensity"][0] == 0.5


# No byte of these values is zero, so that every delivered byte shows.
UNEVEN = [(1.1, 2.2, 3.3, 0.7), (4.4, 5.5, 6.6, 0.3), (7.7, 8.8, 9.9, 0.9)]


@pytest.mark.parametrize(
    "cut, complete", [(20, 0), (22, 0), (14, 0), (47, 2)], ids=["whole-values", "mid-value", "first-point", "last-byte"]
)
def test_short_image_keeps_what_it_delivers_and_ignores_trailing_bytes(load, cut, complete):
    image = planes(XYZI, UNEVEN)
    part = image[:cut]
    body = block(lzf_literal(part), len(part)) + block(lzf_literal(image), len(image)) + b"junk"
    warns = f"PCD data ends early: the compressed image holds {complete} of 3 points in full; what it lacks is zero"
    points, fields = load(header("x y z intensity", points=3, data="binary_compressed"), body, warns=warns)
    delivered = np.frombuffer(part + bytes(len(image) - cut), "<f4").reshape(4, 3).T
    assert points.tobytes() == np.ascontiguousarray(delivered[:, :3]).tobytes()
    assert fields["intensity"].tobytes() == delivered[:, 3].tobytes()


def back_reference_before_start():
    # Control byte 0x20: a back reference of length 3 at distance 1, with no output yet.
    return bytes([0x20, 0x00])


IMAGE = planes(XYZI, ROWS)


@pytest.mark.parametrize(
    "body, ok",
    [
        (block(lzf_literal(IMAGE), len(IMAGE) + 1), False),  # one byte more than the image
        (block(lzf_literal(IMAGE), len(IMAGE) - 1), False),  # the stream gives more than declared
        (block(lzf_literal(IMAGE), 0), True),  # declared empty: every value zero
        (block(b"", 0), True),
        (block(b"", 16), False),
        (block(back_reference_before_start(), 16), False),
        (block(back_reference_before_start(), 0), True),
        (block(lzf_literal(IMAGE), len(IMAGE), compressed=len(lzf_literal(IMAGE)) + 1), False),  # file too short
        (block(b"", 0)[:7], False),  # ends inside the two sizes
        (b"", False),
        (block(b"", 0, compressed=0xFFFFFFFF), False),  # a 4 GiB payload claimed by a tiny file
    ],
    ids=[
        "usize-over-image",
        "usize-short",
        "usize-zero",
        "both-zero",
        "csize-zero",
        "bad-reference",
        "bad-reference-usize-zero",
        "payload-cut-short",
        "inside-sizes",
        "no-block",
        "huge-csize",
    ],
)
def test_compressed_size_checks(pcd, body, ok):
    path = pcd(header("x y z intensity", points=3, data="binary_compressed"), body)
    if ok:
        with expect_data_warning("the compressed image holds 0 of 3 points in full"):
            points, fields = vantrel.load_pcd(path)
        assert not points.any() and not fields["intensity"].any()
    else:
        with pytest.raises(RuntimeError) as err:
            vantrel.load_pcd(path)
        assert str(err.value) == "LZF decompression failed"


def test_large_binary_section_cut_short(load):
    # Past a few MiB the buffer is mapped memory rather than heap: the tail must read as zero too.
    values = np.arange(3 * 600_000, dtype=np.float32).reshape(-1, 3) + 1
    body = values.tobytes()[: values.nbytes // 2 + 4]
    points, _ = load(header(points=len(values), data="binary"), body, warns="the file holds 300000 of 600000 points")
    half = len(values) // 2
    np.testing.assert_array_equal(points[:half], values[:half])
    np.testing.assert_array_equal(points[half], [values[half, 0], 0, 0])
    assert not points[half + 1 :].any()
