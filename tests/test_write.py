"""write_pcd: round trips in every encoding, the file it writes, refusals, atomic replacement and targets."""

import io
import math
import os
import subprocess
import sys
import tarfile
import textwrap
import warnings

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES, expect_data_warning, fixture_manifest

ENCODINGS = ["ascii", "binary", "binary_compressed"]
DTYPES = ["f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"]


def every_dtype(n, seed=0):
    """One field per dtype, with their extremes, and a COUNT 3 field."""
    rng = np.random.default_rng(seed)
    fields = {}
    for code in DTYPES:
        dtype = np.dtype(code)
        if dtype.kind == "f":
            values = (rng.standard_normal(n) * 10.0 ** rng.integers(-30, 30, n)).astype(dtype)
            special = np.array([np.nan, np.inf, -np.inf, -0.0, np.finfo(dtype).max, np.finfo(dtype).tiny], dtype)
        else:
            info = np.iinfo(dtype)
            values = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
            special = np.array([info.min, info.max, 0], dtype)
        values[: min(n, len(special))] = special[:n]
        fields[f"v_{code}"] = values
    fields["normal"] = rng.standard_normal((n, 3)).astype(np.float32)
    return fields


def read_back(data, encoding):
    cloud = vantrel.read_pcd(io.BytesIO(data))
    assert cloud.header.data == encoding
    return cloud


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("n", [0, 1, 1000])
def test_every_dtype_round_trips_bit_for_bit(tmp_path, encoding, n):
    fields = every_dtype(n)
    points = np.random.default_rng(1).standard_normal((n, 3))  # float64 coordinates
    out = io.BytesIO()
    vantrel.write_pcd(out, fields, points=points, data=encoding)
    cloud = read_back(out.getvalue(), encoding)
    assert list(cloud.fields) == ["x", "y", "z", *fields]
    assert cloud.points.dtype == np.float64 and cloud.points.tobytes() == points.tobytes()
    for name, values in fields.items():
        got = cloud.fields[name]
        assert got.dtype == values.dtype and got.shape == values.shape
        assert got.tobytes() == values.tobytes(), name
    path = tmp_path / "w.pcd"
    path.write_bytes(out.getvalue())
    loaded, others = vantrel.load_pcd(str(path))
    assert loaded.tobytes() == points.tobytes() and others.keys() == fields.keys()


def test_the_file_as_written(tmp_path):
    path = tmp_path / "w.pcd"
    fields = {"intensity": np.array([0.5, -0.0, np.nan], np.float32), "ring": np.array([1, 2, 3], np.uint16)}
    vantrel.write_pcd(path, fields, points=np.ones((3, 3), np.float32), data="ascii", viewpoint=(1, 2, 3, 1, 0, 0, 0))
    assert path.read_text() == (
        "# .PCD v0.7 - Point Cloud Data file format\n"
        "VERSION 0.7\nFIELDS x y z intensity ring\nSIZE 4 4 4 4 2\nTYPE F F F F U\nCOUNT 1 1 1 1 1\n"
        "WIDTH 3\nHEIGHT 1\nVIEWPOINT 1 2 3 1 0 0 0\nPOINTS 3\nDATA ascii\n"
        "1 1 1 0.5 1\n1 1 1 -0 2\n1 1 1 nan 3\n"
    )
    vantrel.write_pcd(path, fields, points=np.ones((3, 3), np.float32), data="binary")
    raw = path.read_bytes()
    records = np.frombuffer(raw[raw.index(b"DATA binary\n") + 12 :], "<f4,<f4,<f4,<f4,<u2")
    assert records.dtype.itemsize == 18 and len(records) == 3  # packed, no padding


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_organized_cloud_round_trips_with_its_header(tmp_path, encoding):
    source = FIXTURES / "organized_nan.binary.pcd"
    cloud = vantrel.read_pcd(source)
    target = tmp_path / "copy.pcd"
    vantrel.write_pcd(target, cloud, data=encoding, viewpoint=(0.5, 0, 0, 1, 0, 0, 0))
    again = vantrel.read_pcd(target)
    assert (again.header.width, again.header.height) == (64, 32) and again.header.organized
    assert again.header.viewpoint == (0.5, 0, 0, 1, 0, 0, 0)
    assert "_" not in again.fields  # padding is not written
    for name in ("x", "y", "z", "intensity"):
        assert again.fields[name].tobytes() == cloud.fields[name].tobytes()
    vantrel.write_pcd(target, again, data=encoding)  # keeps the viewpoint it read
    assert vantrel.read_pcd_header(target).viewpoint == (0.5, 0, 0, 1, 0, 0, 0)


@pytest.mark.parametrize("name", [e["file"] for e in fixture_manifest()])
def test_what_load_pcd_gives_writes_back(tmp_path, name):
    points, fields = vantrel.load_pcd(str(FIXTURES / name))
    target = tmp_path / "copy.pcd"
    vantrel.write_pcd(target, fields, points=points)
    again, again_fields = vantrel.load_pcd(str(target))
    assert again.tobytes() == points.tobytes()
    assert again_fields.keys() == {k for k in fields if k != "_"}
    for key, values in again_fields.items():
        assert values.tobytes() == fields[key].tobytes()


def test_strided_views_and_other_byte_orders_write_as_values(tmp_path):
    base = np.arange(40, dtype=np.float64).reshape(10, 4)
    fields = {"col": base[::-1, 1], "pair": base[:, ::3], "big": np.arange(5, dtype=">i4").repeat(2)}
    out = io.BytesIO()
    vantrel.write_pcd(out, fields, data="binary")
    cloud = read_back(out.getvalue(), "binary")
    np.testing.assert_array_equal(cloud.fields["col"], base[::-1, 1])
    np.testing.assert_array_equal(cloud.fields["pair"], base[:, ::3])
    np.testing.assert_array_equal(cloud.fields["big"], np.arange(5).repeat(2))
    vantrel.write_pcd(out, {"listed": [1.5, 2.5]})  # what numpy.asarray makes of it


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed"])
def test_data_that_does_not_shrink(encoding):
    noise = np.frombuffer(np.random.default_rng(5).bytes(4 * 300_000), np.uint32)
    out = io.BytesIO()
    vantrel.write_pcd(out, {"noise": noise}, data=encoding)
    assert read_back(out.getvalue(), encoding).fields["noise"].tobytes() == noise.tobytes()


N3 = np.zeros((3, 3), np.float32)


@pytest.mark.parametrize(
    "fields, kwargs, error, match",
    [
        ({"a": np.zeros(3), "b": np.zeros(4)}, {}, ValueError, "field 'b' has 4 points, but 'a' has 3"),
        ({"a": np.zeros((3, 2, 2))}, {}, ValueError, r"field 'a' has shape \(3, 2, 2\)"),
        ({"a": np.zeros((3, 0))}, {}, ValueError, "COUNT at least 1"),
        ({"a": np.zeros(3, bool)}, {}, TypeError, "field 'a' has dtype bool"),
        ({"a": np.zeros(3, np.float16)}, {}, TypeError, "field 'a' has dtype float16"),
        ({"a": np.zeros(3, complex)}, {}, TypeError, "field 'a' has dtype complex128"),
        ({"a": np.array(["x", "y", "z"])}, {}, TypeError, "field 'a' has dtype <U1"),
        ({"a": [object(), 1, 2]}, {}, TypeError, "field 'a' has dtype object"),
        ({"a b": np.zeros(3)}, {}, ValueError, "field name 'a b' is empty or holds whitespace"),
        ({"": np.zeros(3)}, {}, ValueError, "field name '' is empty"),
        ({"x": np.zeros(3)}, {"points": N3}, ValueError, "field 'x' is given twice"),
        ({}, {"points": np.zeros((3, 2), np.float32)}, ValueError, r"points must have shape \(N, 3\)"),
        ({}, {"points": np.zeros((3, 3), np.int32)}, TypeError, "points must be float32 or float64"),
        ({}, {"points": N3, "data": "lzf"}, ValueError, "data must be 'ascii', 'binary' or 'binary_compressed'"),
        ({}, {"points": N3, "width": 2, "height": 2}, ValueError, r"width x height \(2 x 2\) must equal"),
        ({}, {"points": N3, "width": 2}, ValueError, r"width x height \(2 x 1\) must equal"),
        ({}, {"points": N3, "viewpoint": (0, 0, 0, 1, 0, 0)}, ValueError, "viewpoint must be 7 finite numbers"),
        ({}, {"points": N3, "viewpoint": (0, 0, 0, math.nan, 0, 0, 0)}, ValueError, "7 finite numbers"),
        ({}, {}, ValueError, "needs at least one field"),
        ([("a", np.zeros(3))], {}, TypeError, "fields must be a mapping"),
        ({1: np.zeros(3)}, {}, TypeError, "field names must be str"),
    ],
    ids=[
        "lengths",
        "shape-3d",
        "count-0",
        "bool",
        "float16",
        "complex",
        "strings",
        "object",
        "space-in-name",
        "empty-name",
        "x-twice",
        "points-shape",
        "points-dtype",
        "data",
        "grid",
        "width-alone",
        "viewpoint-length",
        "viewpoint-nan",
        "nothing",
        "not-a-mapping",
        "name-not-str",
    ],
)
def test_bad_input_is_refused_before_anything_is_written(tmp_path, fields, kwargs, error, match):
    old = tmp_path / "old.pcd"
    old.write_bytes(b"old content")
    for target in (tmp_path / "new.pcd", old):
        with pytest.raises(error, match=match):
            vantrel.write_pcd(target, fields, **kwargs)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.pcd"] and old.read_bytes() == b"old content"


def test_grid_from_one_side_and_the_default(tmp_path):
    points = np.zeros((6, 3), np.float32)
    for kwargs, grid in [
        ({}, (6, 1)),
        ({"width": 3}, (3, 2)),
        ({"height": 3}, (2, 3)),
        ({"width": 6, "height": 1}, (6, 1)),
    ]:
        vantrel.write_pcd(tmp_path / "g.pcd", points=points, **kwargs)
        h = vantrel.read_pcd_header(tmp_path / "g.pcd")
        assert (h.width, h.height) == grid


# ---------------------------------------------------------------- atomic replacement and targets

FILL_DISK = textwrap.dedent("""
    import resource, signal, sys
    import numpy, vantrel
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
    try:
        vantrel.write_pcd(sys.argv[1], {"v": numpy.arange(1_000_000, dtype=numpy.float64)}, data=sys.argv[2])
    except OSError as e:
        print(type(e).__name__, e.errno, e.filename)
""")


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_failure_halfway_leaves_the_old_file(tmp_path, encoding):
    target = tmp_path / "cloud.pcd"
    target.write_bytes(b"the old cloud")
    target.chmod(0o640)
    run = subprocess.run([sys.executable, "-c", FILL_DISK, str(target), encoding], capture_output=True, text=True)
    assert run.stdout.split() == ["OSError", "27", str(target)], run.stderr  # EFBIG
    assert target.read_bytes() == b"the old cloud"
    assert os.listdir(tmp_path) == ["cloud.pcd"]  # the temporary file is gone
    vantrel.write_pcd(target, {"v": np.arange(3.0)})
    assert target.stat().st_mode & 0o777 == 0o640  # the new file keeps the old one's permissions


def test_a_full_device_and_a_missing_folder(tmp_path):
    with pytest.raises(OSError) as err:
        vantrel.write_pcd("/dev/full", {"v": np.arange(3.0)})
    assert err.value.errno == 28 and err.value.filename == "/dev/full"  # ENOSPC, written in place
    with pytest.raises(FileNotFoundError):
        vantrel.write_pcd(tmp_path / "no" / "such.pcd", {"v": np.arange(3.0)})
    with pytest.raises(IsADirectoryError):
        vantrel.write_pcd(tmp_path, {"v": np.arange(3.0)})


class Broken(io.RawIOBase):
    def __init__(self, after):
        self.after, self.written = after, 0

    def writable(self):
        return True

    def write(self, data):
        if self.written >= self.after:
            raise ConnectionResetError("peer went away")
        self.written += len(data)
        return len(data)


class Trickle(io.RawIOBase):
    """A raw stream that takes a few bytes at a time, as raw files may."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, data):
        self.data += bytes(data[:7])
        return min(7, len(data))


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_file_object_targets(tmp_path, encoding):
    fields = {"v": np.arange(100_000, dtype=np.float32)}
    expected = io.BytesIO()
    vantrel.write_pcd(expected, fields, data=encoding)
    with open(tmp_path / "f.pcd", "wb") as f:
        f.write(b"lead")  # written from where the file stands
        vantrel.write_pcd(f, fields, data=encoding)
    assert (tmp_path / "f.pcd").read_bytes() == b"lead" + expected.getvalue()
    trickle = Trickle()
    vantrel.write_pcd(trickle, {"v": np.arange(10, dtype=np.int8)}, data=encoding)
    assert read_back(bytes(trickle.data), encoding).fields["v"].tolist() == list(range(10))
    with pytest.raises(ConnectionResetError, match="peer went away"):
        vantrel.write_pcd(Broken(after=100), fields, data=encoding)
    # A BytesIO takes the bytes in place; a subclass may keep what it is given, which stays whole.
    keeper = Keeper()
    vantrel.write_pcd(keeper, fields, data=encoding)
    assert b"".join(bytes(piece) for piece in keeper.kept) == expected.getvalue() == keeper.getvalue()


class Keeper(io.BytesIO):
    def __init__(self):
        super().__init__()
        self.kept = []

    def write(self, data):
        self.kept.append(data)
        return super().write(data)


def test_tar_stream_target(tmp_path):
    member = io.BytesIO()
    vantrel.write_pcd(member, points=np.ones((10, 3), np.float32))
    with tarfile.open(tmp_path / "s.tar", "w|") as tar:  # a stream: one pass, no seeking
        info = tarfile.TarInfo("c.pcd")
        info.size = member.tell()
        member.seek(0)
        tar.addfile(info, member)
    with tarfile.open(tmp_path / "s.tar") as tar:
        assert len(vantrel.read_pcd(tar.extractfile("c.pcd"))) == 10


@pytest.mark.parametrize(
    "target, error, match",
    [(io.StringIO(), TypeError, "text-mode StringIO"), (42, TypeError, "not int")],
    ids=["text-mode", "int"],
)
def test_bad_targets(target, error, match):
    with pytest.raises(error, match=match):
        vantrel.write_pcd(target, {"v": np.zeros(2)})


LOCK_RELEASED = textwrap.dedent("""
    import os, sys, threading
    import numpy, vantrel
    fifo = sys.argv[1]
    os.mkfifo(fifo)
    got = []
    # A Python thread drains the FIFO: it can only run while write_pcd has let
    # go of the lock, so a writer that kept it would block on a full pipe.
    reader = threading.Thread(target=lambda: got.append(len(open(fifo, "rb").read())))
    reader.start()
    vantrel.write_pcd(fifo, {"v": numpy.arange(1_000_000, dtype=numpy.float64)}, data=sys.argv[2])
    reader.join()
    print(got[0])
""")


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_the_lock_is_released_while_writing(tmp_path, encoding):
    run = subprocess.run(
        [sys.executable, "-c", LOCK_RELEASED, str(tmp_path / "pipe.pcd"), encoding],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) > 1_000_000


# A packed F 4 rgba whose alpha is 255 and red 138: its bits are a NaN with a payload.
RGBA_BITS = np.array([0xFF8A2030, 0x00010203, 0x7F000000], np.uint32)


def vantrel_cli(*args, check=None):
    run = subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True)
    if check is not None:
        assert run.returncode == check, run.stderr
    return run


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
