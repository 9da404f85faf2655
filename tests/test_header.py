"""The header rules and the load's failures, seen through whole loads."""

import numpy as np
import pytest

import vantrel
from pcdfile import records

XYZ = [(1.0, 2.0, 3.0), (4.0, 5.0, 6.0)]


@pytest.mark.parametrize(
    "text",
    [
        # No COUNT line: every COUNT is 1.
        "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA binary\n",
        # COUNT before SIZE: the layout comes from the final values.
        "FIELDS x y z\nCOUNT 1 1 1\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA binary\n",
        # CRLF line ends, comments, a '#' after whitespace, lower-case keywords ignored.
        "FIELDS x y z\r\n# c\r\n  # note\r\nSIZE 4 4 4\r\ndata ascii\r\nTYPE F F F\r\nPOINTS 2\r\nDATA binary\r\n",
        # FIELDS split over two lines; SIZE before FIELDS has no effect.
        "SIZE 8 8 8\nFIELDS x y\nFIELDS z\nPOINTS 2\nDATA binary\n",
        # A comment naming DATA before the real DATA line.
        "# DATA exported by hand\nFIELDS x y z\nPOINTS 2\nDATA binary\n",
        # Later POINTS wins; DATA is case-folded and only its first word counts.
        "FIELDS x y z\nPOINTS 9\nPOINTS 2\nDATA Binary extra words\n",
        # TYPE reads single bytes, so one token can carry every letter.
        "FIELDS x y z\nTYPE FFF\nPOINTS 2\nDATA binary\n",
        # PCD v0.5 names the fields with COLUMNS; beside FIELDS, it appends as a second FIELDS line does.
        "VERSION .5\nCOLUMNS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nPOINTS 2\nDATA binary\n",
        "FIELDS x y\nCOLUMNS z\nPOINTS 2\nDATA binary\n",
    ],
    ids=[
        "no-count",
        "count-first",
        "crlf-comments",
        "fields-twice",
        "comment-data",
        "points-data-case",
        "type-token",
        "columns",
        "fields-and-columns",
    ],
)
def test_header_variants_load_the_records(load, text):
    points, fields = load(text, records("<f4,<f4,<f4", XYZ))
    np.testing.assert_array_equal(points, XYZ)
    assert fields == {}


def test_count_above_one_and_size_after_count(load):
    text = "FIELDS x y z normal t\nCOUNT 1 1 1 3 1\nSIZE 4 4 4 4 8\nTYPE F F F F F\nPOINTS 1\nDATA binary\n"
    points, fields = load(text, records("<f4,<f4,<f4,(3,)<f4,<f8", [(1, 2, 3, (4, 5, 6), 7.5)]))
    np.testing.assert_array_equal(points, [[1, 2, 3]])
    np.testing.assert_array_equal(fields["normal"], [[4, 5, 6]])
    assert fields["normal"].strides == (32, 4)
    assert fields["t"].dtype == np.float64 and fields["t"][0] == 7.5


def test_padding_with_negative_count_gives_the_writers_offsets(load):
    # Fields written in declaration order with '_' padding that steps back over
    # the fields stored out of offset order: x y z @0, rgb @32, normals @16, curvature @36.
    text = (
        "FIELDS x y z _ rgb _ normal_x normal_y normal_z _ curvature _\n"
        "SIZE 4 4 4 1 4 1 4 4 4 1 4 1\nTYPE F F F U U U F F F U F U\n"
        "COUNT 1 1 1 20 1 -20 1 1 1 8 1 8\nPOINTS 1\nDATA binary\n"
    )
    record = np.zeros(48, np.uint8)
    for offset, value in [(0, 1.0), (4, 2.0), (8, 3.0), (16, 0.5), (20, 0.25), (24, 0.125), (36, 9.0)]:
        record[offset : offset + 4] = np.frombuffer(np.float32(value).tobytes(), np.uint8)
    record[32:36] = np.frombuffer(np.uint32(0x00FF8040).tobytes(), np.uint8)
    points, fields = load(text, record.tobytes())
    np.testing.assert_array_equal(points, [[1, 2, 3]])
    assert fields["rgb"][0] == 0x00FF8040
    assert [fields[n][0] for n in ("normal_x", "normal_y", "normal_z", "curvature")] == [0.5, 0.25, 0.125, 9]
    assert list(fields) == ["_", "rgb", "normal_x", "normal_y", "normal_z", "curvature"]
    assert fields["_"].shape == (1, 8)  # the last padding field wins the name


@pytest.mark.parametrize(
    "text, error, message",
    [
        ("", RuntimeError, "PCD must contain x, y, z fields"),
        ("FIELDS X Y Z\nDATA ascii\n", RuntimeError, "PCD must contain x, y, z fields"),
        ("FIELDS x y xx\nDATA ascii\n", RuntimeError, "PCD must contain x, y, z fields"),
        ("FIELDS x y z\nPOINTS 1\n", RuntimeError, "Unsupported PCD DATA type: "),
        ("FIELDS x y z\nPOINTS 1\nDATA\n", RuntimeError, "Unsupported PCD DATA type: "),
        ("FIELDS x y z\nPOINTS 1\nDATA foo\n", RuntimeError, "Unsupported PCD DATA type: foo"),
        # The buffer size is checked before DATA is looked at.
        ("FIELDS x y z\nPOINTS -1\nDATA foo\n", ValueError, "cannot create std::vector larger than max_size()"),
        (
            "FIELDS x y z\nPOINTS -99999999999\nDATA ascii\n",
            ValueError,
            "cannot create std::vector larger than max_size()",
        ),
    ],
    ids=[
        "empty",
        "upper-case",
        "no-z",
        "no-data",
        "data-without-word",
        "data-foo",
        "negative-points",
        "points-saturate",
    ],
)
def test_load_failures(load, text, error, message):
    with pytest.raises(error) as err:
        load(text, b"")
    assert str(err.value) == message


@pytest.mark.parametrize(
    "text, detail",
    [
        ("FIELDS x y z h\nCOUNT 1 1 1 2147483647\n", "SIZE x COUNT of field 'h' is out of range (4 x 2147483647)"),
        ("FIELDS x y z h\nSIZE 4 4 4 -2147483648\nCOUNT 1 1 1 2\n", "SIZE x COUNT of field 'h' is out of range"),
        ("FIELDS x y z _\nSIZE 4 4 4 1\nCOUNT 1 1 1 -13\n", "the point size is negative (-1 bytes)"),
        ("FIELDS _ a x y z\nSIZE 1 4 4 4 4\nCOUNT -4 1 1 1 1\n", "field 'a' lies outside the point record"),
        ("FIELDS x y z a _\nSIZE 4 4 4 4 1\nCOUNT 1 1 1 1 -2\n", "field 'a' lies outside the point record"),
    ],
    ids=["count-too-large", "size-times-count-negative", "negative-step", "negative-offset", "past-record"],
)
def test_layouts_that_cannot_be_held_are_refused(load, text, detail):
    with pytest.raises(RuntimeError, match="^Invalid PCD header: ") as err:
        load(text + "POINTS 1\nDATA binary\n", b"\0" * 64)
    assert detail in str(err.value)


def test_data_section_starts_after_the_data_line_only(load):
    # Text after DATA that looks like a header is data, and here not a number.
    text = "FIELDS x y z\nPOINTS 1\nDATA ascii\n"
    points, _ = load(
        text,
        "POINTS 7\nDATA binary\n",
        warns="at line 4 (byte 33): 'POINTS 7'; from field x of point 0 on, the values are zero",
    )
    np.testing.assert_array_equal(points, [[0, 0, 0]])


def test_data_line_without_line_feed_at_end_of_file(load):
    points, _ = load("FIELDS x y z\nPOINTS 2\nDATA ascii", b"", warns="the file holds 0 of 2 points")
    np.testing.assert_array_equal(points, np.zeros((2, 3)))


@pytest.mark.parametrize(
    "sizes, expected",
    [
        ("SIZE 4 abc 4", "Unsupported PCD type/size"),  # y gets SIZE 0
        ("SIZE 4.5 4 4", "Unsupported PCD type/size"),  # x 4, then y 0 at the point
    ],
)
def test_malformed_integers_are_absorbed_not_reported(load, sizes, expected):
    with pytest.raises(RuntimeError, match=expected):
        load(f"FIELDS x y z\n{sizes}\nPOINTS 1\nDATA ascii\n", "1 2 3")


def test_size_line_shorter_than_fields_keeps_the_rest(load):
    # z keeps SIZE 4 while x and y take 8: no consecutive view, so a float64 copy.
    text = "FIELDS x y z\nSIZE 8 8\nPOINTS 1\nDATA binary\n"
    points, _ = load(text, records("<f8,<f8,<f4", [(1.5, 2.5, 3.5)]))
    assert points.dtype == np.float64
    np.testing.assert_array_equal(points, [[1.5, 2.5, 3.5]])


@pytest.mark.parametrize(
    "text, layout",
    [
        # A value beyond 32 bits saturates and ends its line: the fifth field keeps its count.
        ("FIELDS a b c d e\nSIZE 1 1 1 0 1\nCOUNT 1 1 1 99999999999 2\n", [1, 1, 1, 2147483647, 1]),
        ("FIELDS a b c d e\nSIZE 1 1 1 0 1\nCOUNT 1 1 1 -99999999999 2\n", [1, 1, 1, -2147483648, 1]),
        # ... and so does it on a SIZE line: the fifth field keeps SIZE 4.
        ("FIELDS a b c d e\nSIZE 1 1 1 99999999999 2\n", [(1, 0), (1, 1), (1, 2), (2147483647, 3), (4, 2147483650)]),
        ("FIELDS a b c\nCOUNT 2 x 5\n", [2, 0, 1]),  # not a number: 0, and the line ends
        ("FIELDS a b c\nSIZE 2 2\nCOUNT 3\n", [(2, 0), (2, 6), (4, 8)]),
    ],
    ids=["count-beyond-32-bits", "count-below-32-bits", "size-beyond-32-bits", "count-not-a-number", "short-lines"],
)
def test_header_values_by_field(pcd, text, layout):
    fields = vantrel.read_pcd_header(pcd(text + "DATA binary\n")).fields
    if isinstance(layout[0], tuple):
        assert [(f.size, f.offset) for f in fields] == layout
    else:
        assert [f.count for f in fields] == layout
