"""The ascii data section: separators, number syntax, outcomes and stores."""

import io
import struct

import numpy as np
import pytest

import vantrel
from conftest import expect_data_warning
from pcdfile import Unseekable, header

ONE_PER_LINE = "1 2 3\n4 5 6\n7 8 9\n"
EXPECTED = [[1, 2, 3], [4, 5, 6], [7, 8, 9]]


@pytest.mark.parametrize(
    "body",
    [
        ONE_PER_LINE,
        "1 2 3\r\n4 5 6\r\n7 8 9\r\n",
        "1\t2\t3\n4\t\t5 6\n7 8 9",
        "   1    2  3\n\n\n4 5 6\n\n7 8 9\n\n",
        "1\n2\n3\n4\n5\n6\n7\n8\n9\n",
        "1 2 3 4 5 6 7 8 9",
        "1\x002\x013\x1f4\x0b5\x0c6 7 8 9",
    ],
    ids=["lines", "crlf", "tabs", "runs-and-blank-lines", "point-over-lines", "one-line", "control-bytes"],
)
def test_separators(load, body):
    np.testing.assert_array_equal(load(header(points=3), body)[0], EXPECTED)


@pytest.mark.parametrize(
    "body, expected, warns",
    [
        # a UTF-8 no-break space is not a separator
        (
            "1 2 \xc2\xa03 4 5 6",
            [[1, 2, 0], [0, 0, 0]],
            r"'\xc2\xa03 4 5 6'; from field z of point 0 on, the values are zero",
        ),
        # a value that sticks zeroes the rest
        ("1 2 abc 4 5 6", [[1, 2, 0], [0, 0, 0]], "'abc 4 5 6'; from field z of point 0 on, the values are zero"),
        ("1 2 3 4 5 6 7 8 9", [[1, 2, 3], [4, 5, 6]], None),  # surplus ignored
        ("1 2 3 4", [[1, 2, 3], [4, 0, 0]], "PCD data ends early: the file holds 1 of 2 points; the rest are zero"),
        ("", [[0, 0, 0], [0, 0, 0]], "the file holds 0 of 2 points"),
        (
            "1 2 3 4 5\x7f6",
            [[1, 2, 3], [4, 5, 0]],
            r"'\x7f6'; from field z of point 1 on, the values are zero",
        ),  # DEL is not a separator
        ("1 2 3\n4 5 6", [[1, 2, 3], [4, 5, 6]], None),  # ends right after the last value
        # Where the values stop: in a point's first field, a middle one, the last point's last one.
        ("1 2 3\nabc 5 6", [[1, 2, 3], [0, 0, 0]], "'abc 5 6'; from field x of point 1 on, the values are zero"),
        ("1 2 3\n5,5 6 7", [[1, 2, 3], [5, 0, 0]], "',5 6 7'; from field y of point 1 on, the values are zero"),
        ("1 2 3\n4 5 x", [[1, 2, 3], [4, 5, 0]], "'x'; from field z of point 1 on, the values are zero"),
    ],
    ids=["byte-above-127", "sticks", "long", "short", "empty", "del", "exact", "first-field", "comma", "last-field"],
)
def test_short_long_and_stuck_sections(load, body, expected, warns):
    np.testing.assert_array_equal(load(header(points=2), body.encode("latin-1"), warns=warns)[0], expected)


@pytest.mark.parametrize(
    "lines",
    [["1 2 3", "4 abc 6"], ["1 2 3"] * 5000 + ["4 5 x7"], ["1 2 3\r"] * 3 + ["+1 2 3"]],
    ids=["second-line", "past-a-chunk", "crlf"],
)
@pytest.mark.parametrize("seekable", [True, False], ids=["file", "stream"])
def test_unreadable_value_is_located_by_line_and_byte(load, lines, seekable):
    # Large enough to cross the reader's chunks, so the line count is carried over.
    lines = [line + " " * 300 for line in lines[:-1]] + lines[-1:]
    body = "\n".join(lines)
    text = header(points=len(lines))
    bad = next(i for i, c in enumerate(body) if c in "ax+")
    line = len(text.splitlines()) + body[:bad].count("\n") + 1
    warns = f"unreadable ascii value at line {line} (byte {len(text) + bad}): "
    if seekable:
        load(text, body, warns=warns)
        return
    stream = io.BufferedReader(Unseekable(text + body.encode()))  # counted as the text goes by
    with expect_data_warning(warns):
        vantrel.read_pcd(stream)


def test_ten_points_declared_six_present(load):
    body = "".join(f"{i} {i} {i}\n" for i in range(1, 7))
    points, _ = load(header(points=10), body, warns="the file holds 6 of 10 points")
    np.testing.assert_array_equal(points[:6, 0], range(1, 7))
    assert not points[6:].any()


@pytest.mark.parametrize(
    "text, expected",
    [
        ("nan", np.nan),
        ("-inf", -np.inf),
        ("Infinity", np.inf),
        ("INF", np.inf),
        ("1e39", np.inf),
        ("-1e39", -np.inf),
        ("1e-50", 0.0),
        ("5.", 5.0),
        (".5", 0.5),
        ("-0", -0.0),
        ("1E+2", 100.0),
        # correctly rounded once: through a double this would tie and round to 1.0
        ("1.000000059604644775390625000001", 1.0000001192092896),
    ],
    ids=lambda v: str(v),
)
def test_float32_values(load, text, expected):
    points, _ = load(header(points=1), f"{text} 2 3")
    np.testing.assert_array_equal(points[0], [expected, 2, 3])
    assert np.signbit(points[0, 0]) == np.signbit(expected)


@pytest.mark.parametrize(
    "body, expected, warns",
    [
        ("nan(abc_1) 2 3", [np.nan, 2, 3], None),  # taken whole
        ("nan(abc 2 3", [np.nan, 0, 0], "'(abc 2 3'"),  # only "nan"; "(abc" sticks
        ("1e 2 3", [1, 0, 0], "'e 2 3'"),  # an exponent without digits ends the number
        ("0x10 2 3", [0, 0, 0], "'x10 2 3'"),  # no hexadecimal: "x10" sticks
        ("+5 2 3", [0, 0, 0], "'+5 2 3'"),  # no leading plus, and it sticks
        (". 2 3", [0, 0, 0], "'. 2 3'"),
    ],
    ids=["nan-payload", "nan-open", "bare-e", "hex", "plus", "dot"],
)
def test_float_syntax(load, body, expected, warns):
    np.testing.assert_array_equal(load(header(points=1), body, warns=warns)[0][0], expected)


def test_float64_column_is_parsed_as_double(load):
    _, fields = load(header(fields="x y z d e", size="4 4 4 8 8", points=1), "1 2 3 0.1 1e-320")
    assert fields["d"][0] == 0.1 and fields["e"][0] == 1e-320


INTS = "x y z a b"


@pytest.mark.parametrize(
    "size, type_, body, a, b, warns",
    [
        (8, "I", "-9223372036854775808 5", -(2**63), 5, None),
        (8, "I", "9223372036854775808 5", 0, 5, None),  # out of range: 0, and reading goes on
        (8, "U", "18446744073709551615 5", 2**64 - 1, 5, None),
        (8, "U", "18446744073709551616 5", 0, 5, None),
        (1, "I", "300 -1", 44, -1, None),  # narrowing stores keep the low bytes
        (1, "U", "256 257", 0, 1, None),
        (2, "I", "65535 -32769", -1, 32767, None),
        (4, "U", "4294967297 -0", 1, 0, "'-0'; from field b of point 0 on, the values are zero"),
        (4, "I", "007 000000000000000000000000000042", 7, 42, None),  # leading zeros, never octal
    ],
    ids=["i8-min", "i8-over", "u8-max", "u8-over", "i1-narrow", "u1-narrow", "i2-narrow", "u4-narrow", "leading-zeros"],
)
def test_integer_ranges_and_stores(load, size, type_, body, a, b, warns):
    text = header(INTS, size=f"4 4 4 {size} {size}", type=f"F F F {type_} {type_}", points=1)
    _, fields = load(text, f"1 2 3 {body}", warns=warns)
    assert (int(fields["a"][0]), int(fields["b"][0])) == (a, b)


@pytest.mark.parametrize(
    "types, body, a, b, warns",
    [
        (
            "U I",
            "-3",
            0,
            -3,
            "'-3'; later columns read it, so the values from field a of point 0 on may be misplaced",
        ),  # U finds no number at '-', the I column reads it
        ("I F", "1.5", 1, 0.5, None),  # a value split between columns
        ("U U", "+5 6", 0, 0, "'+5 6'; from field a of point 0 on, the values are zero"),  # '+' sticks for every column
        ("I I", "-0 -", 0, 0, "'-'; from field b of point 0 on, the values are zero"),
    ],
    ids=["u-then-i", "split", "plus", "minus-zero"],
)
def test_value_that_sticks_is_tried_by_the_next_column(load, types, body, a, b, warns):
    ta, tb = types.split()
    size_b = 4 if tb == "F" else 8
    text = header(INTS, size=f"4 4 4 8 {size_b}", type=f"F F F {ta} {tb}", points=1)
    _, fields = load(text, f"1 2 3 {body}", warns=warns)
    assert (fields["a"][0], fields["b"][0]) == (a, b)


@pytest.mark.parametrize(
    "body, n, w, warns",
    [
        (
            "1 2 3 4 x 6 7",
            [4, 0, 0],
            0,
            "'x 6 7'; from element 1 of field n of point 0 on, the values are zero",
        ),  # the rest of the field fails on 'x', and so does w
        (
            "1 2 3 4 -5 6 7",
            [4, 0, 0],
            -5,
            "'-5 6 7'; later columns read it",
        ),  # U elements fail on '-', the I field after them reads it
        ("1 2 3 4 5", [4, 5, 0], 0, "the file holds 0 of 1 points"),  # text ends inside the field
    ],
    ids=["stuck", "stuck-then-read", "short"],
)
def test_value_that_sticks_inside_a_count_field(load, body, n, w, warns):
    text = header("x y z n w", size="4 4 4 2 8", type="F F F U I", count="1 1 1 3 1", points=1)
    _, fields = load(text, body, warns=warns)
    assert fields["n"][0].tolist() == n and fields["w"][0] == w


def test_count_fields_fill_their_elements(load):
    points, fields = load(
        header(fields="x y z n w", count="1 1 1 3 1", points=2), "1 2 3 4 5 6 7\n8 9 10 11 12 13 14\n"
    )
    np.testing.assert_array_equal(fields["n"], [[4, 5, 6], [11, 12, 13]])
    assert fields["n"].strides == (28, 4)
    np.testing.assert_array_equal(fields["w"], [7, 14])


@pytest.mark.parametrize("fields, type_", [("x y z q", "F F F ?"), ("x q y z", "F f F F")])
def test_unknown_type_letter_fails_after_reading(load, fields, type_):
    text = header(fields, type=type_, points=1)
    with pytest.raises(RuntimeError, match=r"^Unsupported PCD type/size(\n|$)"):
        load(text, "1 2 3 4")


@pytest.mark.parametrize("size, type_", [("2", "F"), ("3", "I"), ("16", "U"), ("0", "F"), ("-4", "I")])
def test_columns_whose_store_does_not_fit_stay_inside_their_bytes(load, size, type_):
    # Such columns are parsed and clipped to their own bytes; the field is then refused.
    text = header("x y z v w", size=f"4 4 4 {size} 4", type=f"F F F {type_} F", points=2)
    with pytest.raises(RuntimeError, match="Unsupported PCD type/size|Invalid PCD header"):
        load(text, "1 2 3 -1 5 4 5 6 -1 7")


def test_float32_never_goes_through_double(load):
    # Every float32 written as its shortest decimal comes back bit for bit.
    rng = np.random.default_rng(1)
    values = rng.standard_normal(3000).astype(np.float32) * np.float32(1e3)
    body = "\n".join(" ".join(np.format_float_positional(v, unique=True) for v in row) for row in values.reshape(-1, 3))
    points, _ = load(header(points=1000), body)
    assert points.tobytes() == values.tobytes()
    assert struct.pack("<f", points[0, 0]) == values[:1].tobytes()


def test_text_longer_than_a_read_chunk(load):
    rng = np.random.default_rng(3)
    values = (rng.standard_normal((300_000, 3)) * 10.0 ** rng.integers(-3, 6, (300_000, 3))).astype(np.float32)
    body = "\n".join(f"{a!r} {b!r} {c!r}" for a, b, c in values.tolist())
    points, _ = load(header(points=len(values)), body)
    assert points.tobytes() == values.tobytes()


def test_record_and_value_longer_than_a_read_chunk(load):
    # One record of 400,000 elements, then a value of three million digits.
    count = 400_000
    text = header("x y z n w", type="F F F U I", size="4 4 4 2 8", count=f"1 1 1 {count} 1", points=2)
    first = "1 2 3 " + " ".join(str(i % 60000) for i in range(count)) + " " + "0" * 3_000_000 + "7\n"
    second = "4 5 6 " + "9 " * count + "-8\n"
    points, fields = load(text, first + second)
    np.testing.assert_array_equal(points, [[1, 2, 3], [4, 5, 6]])
    np.testing.assert_array_equal(fields["n"][0], np.arange(count) % 60000)
    assert (fields["n"][1] == 9).all() and fields["w"].tolist() == [7, -8]


@pytest.mark.parametrize("data", ["ascii", "binary", "binary_compressed"])
def test_load_from_a_pipe(tmp_path, data):
    import os
    import threading

    from pcdfile import block, lzf_literal, records

    rows = [(float(i), float(-i), 0.5 * i) for i in range(5000)]
    body = {
        "ascii": "\n".join(f"{a!r} {b!r} {c!r}" for a, b, c in rows).encode(),
        "binary": records("<f4,<f4,<f4", rows),
    }
    body["binary_compressed"] = block(lzf_literal(np.array(rows, np.float32).T.tobytes()), 60000)
    fifo = tmp_path / "pipe.pcd"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(header(points=5000, data=data) + body[data]))
    writer.start()
    points, _ = vantrel.load_pcd(str(fifo))
    writer.join()
    np.testing.assert_array_equal(points, rows)
