"""Everyday use: colors, pandas, the command line, and errors that name the file."""

import gzip
import io
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES, expect_data_warning
from pcdfile import block, header, lzf_literal

# ---------------------------------------------------------------- colors

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


def test_ascii_warns_of_the_bits_it_loses_and_binary_keeps_them(tmp_path):
    colors = {"rgba": RGBA_BITS.view(np.float32), "ok": np.array([np.nan, 1, 2], np.float32)}
    path = tmp_path / "c.pcd"
    with expect_data_warning(f"{path}: ascii cannot keep the bits of 1 value of field 'rgba'"):
        vantrel.write_pcd(path, colors, data="ascii")
    assert vantrel.unpack_rgb(vantrel.read_pcd(path).fields["rgba"])[0].tolist() != [138, 32, 48]  # lost, as warned
    vantrel.write_pcd(path, colors, data="binary")  # no warning: bits are kept
    assert vantrel.unpack_rgb(vantrel.read_pcd(path).fields["rgba"])[0].tolist() == [138, 32, 48]


@pytest.mark.parametrize("how", ["write_pcd", "pieces", "convert"])
def test_a_warning_made_an_error_leaves_the_target_as_it_was(tmp_path, how):
    colors = {"x": np.zeros(3, np.float32), "y": np.zeros(3, np.float32), "z": np.zeros(3, np.float32)}
    colors["rgba"] = RGBA_BITS.view(np.float32)
    target = tmp_path / "out.pcd"
    target.write_bytes(b"old")
    if how == "convert":
        source = tmp_path / "colors.pcd"
        vantrel.write_pcd(source, colors, data="binary")
        run = vantrel_cli("convert", source, target, "--data", "ascii", check=1)
        assert "ascii cannot keep the bits of 1 value of field 'rgba'" in run.stderr
    else:
        with warnings.catch_warnings(), pytest.raises(vantrel.DataWarning, match="cannot keep the bits"):
            warnings.simplefilter("error", vantrel.DataWarning)
            if how == "write_pcd":
                vantrel.write_pcd(target, colors, data="ascii")
            else:
                with vantrel.open_pcd_writer(target, data="ascii") as writer:
                    writer.write(colors)
    assert target.read_bytes() == b"old"
    assert set(os.listdir(tmp_path)) <= {"out.pcd", "colors.pcd"}  # no temporary file left


# ---------------------------------------------------------------- pandas


def cloud_with_counts():
    out = io.BytesIO()
    vantrel.write_pcd(
        out, {"n": np.arange(6.0).reshape(3, 2), "i": np.arange(3, dtype=np.int8)}, points=np.ones((3, 3), np.float32)
    )
    return vantrel.read_pcd(io.BytesIO(out.getvalue()))


def test_to_pandas_and_back():
    cloud = cloud_with_counts()
    frame = cloud.to_pandas()
    assert list(frame.columns) == ["x", "y", "z", "n_0", "n_1", "i"]
    assert frame["n_1"].tolist() == [1, 3, 5] and frame["i"].dtype == np.int8
    out = io.BytesIO()
    vantrel.write_pcd(out, frame.set_index("i", drop=False), data="binary")  # the index is not written
    again = vantrel.read_pcd(io.BytesIO(out.getvalue()))
    assert list(again.fields) == ["x", "y", "z", "n", "i"]  # the columns of n are its COUNT again
    assert again.fields["n"].tolist() == cloud.fields["n"].tolist()
    out = io.BytesIO()
    vantrel.write_pcd(out, cloud.records)  # a structured array: a subarray field is a COUNT
    assert vantrel.read_pcd(io.BytesIO(out.getvalue())).fields["n"].tolist() == cloud.fields["n"].tolist()


def test_padding_is_left_out_and_repeated_names_are_refused(pcd):
    padded = vantrel.read_pcd(
        pcd("FIELDS x _ y\nSIZE 4 1 4\nTYPE F U F\nCOUNT 1 4 1\nPOINTS 1\nDATA binary\n", b"\1" * 12)
    )
    assert list(padded.to_pandas().columns) == ["x", "y"]
    twice = vantrel.read_pcd(pcd("FIELDS a b a\nPOINTS 1\nDATA binary\n", b"\1" * 12))
    with pytest.raises(ValueError, match="two fields named 'a'"):
        twice.to_pandas()


@pytest.mark.parametrize("dtype", ["object", "bool", "category", "Int64", "string"])
def test_a_frame_column_of_no_number_is_refused_naming_it(tmp_path, dtype):
    import pandas as pd

    frame = pd.DataFrame({"x": np.zeros(2, np.float32), "label": pd.Series([1, 0], dtype=dtype)})
    with pytest.raises(TypeError, match=f"column 'label' has dtype {dtype}"):
        vantrel.write_pcd(tmp_path / "f.pcd", frame)
    assert os.listdir(tmp_path) == []


def test_pandas_is_named_when_missing():
    code = (
        "import sys, vantrel, io\nsys.modules['pandas'] = None\ntry:\n    vantrel.read_pcd(sys.argv[1]).to_pandas()\n"
    )
    code += "except ImportError as e:\n    print(e)\n"
    run = subprocess.run(
        [sys.executable, "-c", code, str(FIXTURES / "xyz.binary.pcd")], capture_output=True, text=True, check=True
    )
    assert "pip install pandas" in run.stdout


# ---------------------------------------------------------------- the command line


def vantrel_cli(*args, check=None):
    run = subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True)
    if check is not None:
        assert run.returncode == check, run.stderr
    return run


def test_info_table_json_and_stats(tmp_path):
    path = FIXTURES / "counts.binary.pcd"
    table = vantrel_cli("info", path, check=0).stdout
    assert "normal" in table and "grid        " in table and f"file size   {path.stat().st_size:,} bytes" in table
    line = vantrel_cli("info", "--json", "--stats", path, check=0).stdout.splitlines()
    record = json.loads(line[0])
    cloud = vantrel.read_pcd(path)
    assert record["path"] == str(path) and record["points"] == len(cloud) and record["size_bytes"] > 0
    assert record["fields"][0] == {"name": "x", "type": "F", "size": 4, "count": 1, "offset": 0}
    x = cloud.fields["x"].astype(np.float64)
    assert record["stats"]["x"] == pytest.approx({"min": x.min(), "max": x.max(), "mean": x.mean(), "nan": 0})
    assert record["stats"]["hist"]["nan"] == 0


def test_check_says_which_files_are_damaged(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "good.pcd").write_bytes((FIXTURES / "xyz.ascii.pcd").read_bytes())
    (tmp_path / "short.pcd").write_bytes(header(points=5) + b"1 2 3\n")
    (tmp_path / "lzma.pcd").write_bytes(header(data="lzma"))
    run = vantrel_cli("check", tmp_path, check=1)
    assert run.stdout.splitlines() == [
        f"{tmp_path / 'lzma.pcd'}: RuntimeError: Unsupported PCD DATA type: lzma",
        f"{tmp_path / 'short.pcd'}: DataWarning: PCD data ends early: the file holds 1 of 5 points; the rest are zero",
        f"{tmp_path / 'sub' / 'good.pcd'}: ok",
    ]
    assert vantrel_cli("check", tmp_path / "sub", check=0).stdout.endswith(": ok\n")


@pytest.mark.parametrize("data", ["ascii", "binary", "binary_compressed"])
def test_convert_writes_the_chosen_fields(tmp_path, data):
    source = FIXTURES / "organized_nan.binary.pcd"
    target = tmp_path / "out.pcd"
    vantrel_cli("convert", source, target, "--data", data, "--fields", "x,z", check=0)
    cloud, original = vantrel.read_pcd(target), vantrel.read_pcd(source)
    assert cloud.header.data == data and list(cloud.fields) == ["x", "z"]
    assert (cloud.header.width, cloud.header.height) == (original.header.width, original.header.height)
    assert cloud.fields["z"].tobytes() == original.fields["z"].tobytes()


def test_view_draws_a_picture_of_the_asked_size(tmp_path):
    picture = tmp_path / "v.png"
    vantrel_cli(
        "view", FIXTURES / "lidar.binary.pcd", "-o", picture, "--color", "intensity", "--size", "640x360", check=0
    )
    header = picture.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert (int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")) == (640, 360)


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["info", "/no/such.pcd"], 1, "vantrel: error: /no/such.pcd: Cannot open PCD file: /no/such.pcd"),
        (["convert", FIXTURES / "xyz.binary.pcd", "o.pcd", "--fields", "q"], 1, "vantrel: error: KeyError"),
        (["view", FIXTURES / "xyz.binary.pcd", "-o", "v.png", "--color", "rgb"], 1, "--color rgb: "),
        (["view", FIXTURES / "xyz.binary.pcd", "-o", "v.png", "--size", "big"], 2, "--size takes WIDTHxHEIGHT"),
        (["convert", FIXTURES / "xyz.binary.pcd"], 2, "the following arguments are required: OUT"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ],
    ids=["missing-file", "unknown-field", "no-rgb", "bad-size", "missing-argument", "unknown-command"],
)
def test_errors_are_one_line_and_no_traceback(tmp_path, args, code, message):
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True, cwd=tmp_path
    )
    assert run.returncode == code and message in run.stderr and "Traceback" not in run.stderr, run.stderr
    assert not (tmp_path / "o.pcd").exists()


def test_every_command_has_help_and_view_names_its_extra():
    for command in ("info", "check", "convert", "view"):
        assert "usage: vantrel " + command in vantrel_cli(command, "--help", check=0).stdout
    code = "import sys\nsys.modules['matplotlib'] = None\nfrom vantrel.cli import main\nsys.exit(main(sys.argv[1:]))"
    run = subprocess.run(
        [sys.executable, "-c", code, "view", str(FIXTURES / "xyz.binary.pcd"), "-o", "/dev/null"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1 and "pip install 'vantrel[view]'" in run.stderr


# ---------------------------------------------------------------- errors that name the file


def notes(error):
    return getattr(error, "__notes__", [])


@pytest.mark.parametrize(
    "data, kind, note",
    [
        (b"", RuntimeError, "does not look like a PCD file"),
        (b"\x00\x01 not a point cloud" * 20, RuntimeError, "does not look like a PCD file"),
        (gzip.compress(header() + b"1 2 3\n"), RuntimeError, "gzip-compressed, not a PCD file as it stands"),
        (
            header(points=3, data="binary_compressed") + block(lzf_literal(b"\1" * 36), 36)[:30],
            RuntimeError,
            "the compressed block declares 38 bytes of data, and the file holds 22 of them after its two sizes",
        ),
        (
            header(points=3, data="binary_compressed") + b"\1\0\0",
            RuntimeError,
            "the file ends inside the compressed block's two sizes: 3 of their 8 bytes are there",
        ),
    ],
    ids=["empty", "random", "gzip", "compressed-cut", "sizes-cut"],
)
def test_failures_name_the_file_and_say_what_it_looked_like(tmp_path, data, kind, note):
    path = tmp_path / "scan.pcd"
    path.write_bytes(data)
    for read in (vantrel.load_pcd, vantrel.read_pcd, vantrel.read_pcd_header):
        if read is vantrel.read_pcd_header and "compressed" in note:
            continue  # the header alone is sound
        with pytest.raises(kind) as err:
            read(str(path))
        assert f"while reading {str(path)!r}" in notes(err.value) and any(note in n for n in notes(err.value))
    with open(path, "rb") as f, pytest.raises(kind) as err:  # a named file object
        vantrel.read_pcd(f)
    assert f"while reading {str(path)!r}" in notes(err.value)


def test_warnings_begin_with_the_name_and_unnamed_sources_have_none(tmp_path):
    path = tmp_path / "scans" / "0001.pcd"
    path.parent.mkdir()
    path.write_bytes(header(points=2) + b"1 2 3\n")
    with expect_data_warning(f"{path}: PCD data ends early"):
        vantrel.load_pcd(str(path))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vantrel.read_pcd(io.BytesIO(path.read_bytes()))
    assert str(caught[0].message).startswith("PCD data ends early")


# ---------------------------------------------------------------- writes through symbolic links


@pytest.mark.parametrize("hops", [1, 2])
def test_a_write_through_links_replaces_the_file_and_keeps_the_links(tmp_path, hops):
    real = tmp_path / "data" / "real.pcd"
    real.parent.mkdir()
    real.write_bytes(b"old")
    real.chmod(0o640)
    link = real
    for i in range(hops):
        previous, link = link, tmp_path / f"latest{i}.pcd"
        link.symlink_to(os.path.relpath(previous, tmp_path))
    vantrel.write_pcd(link, {"v": np.arange(3.0)})
    assert all((tmp_path / f"latest{i}.pcd").is_symlink() for i in range(hops))
    assert vantrel.read_pcd(real).fields["v"].tolist() == [0, 1, 2] and real.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(real.parent)) == ["real.pcd"]


def test_a_dangling_link_creates_its_target(tmp_path):
    (tmp_path / "latest.pcd").symlink_to("new.pcd")
    vantrel.write_pcd(tmp_path / "latest.pcd", {"v": np.arange(2.0)})
    assert (tmp_path / "latest.pcd").is_symlink() and len(vantrel.read_pcd(tmp_path / "new.pcd")) == 2
