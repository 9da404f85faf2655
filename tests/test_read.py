"""read_pcd and read_pcd_header: any fields, the header, damaged data, and every kind of source."""

import errno
import gzip
import io
import os
import pathlib
import tarfile
import threading
import warnings

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES, expect_data_warning, fixture_manifest
from pcdfile import block, header, lzf_compress, lzf_literal, planes, records

FIXTURE_FILES = [entry["file"] for entry in fixture_manifest()]


@pytest.mark.parametrize("name", FIXTURE_FILES)
def test_read_pcd_gives_what_load_pcd_gives(name):
    path = FIXTURES / name
    points, fields = vantrel.load_pcd(str(path))
    cloud = vantrel.read_pcd(path)
    assert cloud.points.dtype == points.dtype and cloud.points.tobytes() == points.tobytes()
    others = {k: v for k, v in cloud.fields.items() if k not in ("x", "y", "z")}
    assert list(others) == list(fields)
    for name_, values in fields.items():
        assert others[name_].dtype == values.dtype and others[name_].shape == values.shape
        assert others[name_].tobytes() == values.tobytes()
    assert len(cloud) == cloud.header.points == len(points)
    # Every array is a view into the one buffer.
    bases = {id(a.base) for a in [*cloud.fields.values(), cloud.records]}
    assert len(bases) == 1 and type(cloud.records.base).__name__ == "PyCapsule"


def test_organized_cloud_header_with_a_viewpoint(pcd):
    text = header(points=6, data="binary").replace(b"WIDTH 6\nHEIGHT 1\n", b"WIDTH 3\nHEIGHT 2\n")
    text = text.replace(b"VIEWPOINT 0 0 0 1 0 0 0", b"VIEWPOINT 1.5 -2 3e2 0.5 0.5 +0.5 -0.5")
    path = pcd(text, records("<f4,<f4,<f4", [(i, i, i) for i in range(6)]) + b"tail")
    h = vantrel.read_pcd_header(path)
    assert (h.version, h.width, h.height, h.points, h.data, h.point_step) == ("0.7", 3, 2, 6, "binary", 12)
    assert h.viewpoint == (1.5, -2.0, 300.0, 0.5, 0.5, 0.5, -0.5)
    assert h.organized and h.data_offset == len(text)
    assert [(f.name, f.type, f.size, f.count, f.offset) for f in h.fields] == [
        ("x", "F", 4, 1, 0),
        ("y", "F", 4, 1, 4),
        ("z", "F", 4, 1, 8),
    ]
    assert repr(h).startswith("PcdHeader(version='0.7', fields=(PcdField(name='x', type='F', size=4, count=1, ")
    with pytest.raises(AttributeError):
        h.width = 4
    cloud = vantrel.read_pcd(pathlib.Path(path))
    assert cloud.header == h and hash(cloud.header) == hash(h)
    grid = cloud.points.reshape(h.height, h.width, 3)
    assert grid[1, 2].tolist() == [5, 5, 5]


@pytest.mark.parametrize(
    "lines, viewpoint, organized",
    [
        ("", (0, 0, 0, 1, 0, 0, 0), False),  # no VIEWPOINT line
        ("VIEWPOINT 1 2 3\n", (1, 2, 3, 1, 0, 0, 0), False),  # a short line keeps the rest
        ("VIEWPOINT 1 2 abc 4\n", (1, 2, 0, 1, 0, 0, 0), False),  # stops at the first word that is no number
        ("WIDTH 2\nHEIGHT 2\n", (0, 0, 0, 1, 0, 0, 0), False),  # 2 x 2 is not POINTS 3
        ("WIDTH 3\nHEIGHT 1\n", (0, 0, 0, 1, 0, 0, 0), False),
    ],
    ids=["no-viewpoint", "short-viewpoint", "bad-viewpoint", "grid-mismatch", "one-row"],
)
def test_header_defaults(pcd, lines, viewpoint, organized):
    h = vantrel.read_pcd_header(pcd("FIELDS x\n" + lines + "POINTS 3\nDATA binary\n"))
    assert h.viewpoint == viewpoint and h.organized is organized and h.version == ""


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x00\x01random bytes\xff" * 50,
        b"\x1f\x8b\x08\x00 gzip",
        b"FIELDS x y z\nPOINTS -3\n",
        b"FIELDS x\nPOINTS 5\n",
    ],
    ids=["empty", "random", "gzip", "negative-points", "no-data-line"],
)
def test_a_header_without_data_line_is_refused_as_read_pcd_refuses_it(data):
    errors = []
    for read in (vantrel.read_pcd, vantrel.read_pcd_header):
        with pytest.raises(Exception) as err:
            read(io.BytesIO(data))
        errors.append((type(err.value), str(err.value)))
    assert errors[0] == errors[1]


def test_header_does_not_read_the_data(tmp_path):
    # A data section that no reader could take, and a DATA value no loader knows.
    path = tmp_path / "h.pcd"
    path.write_bytes(header(points=10**9, data="lzma") + b"\xff" * 100_000)
    h = vantrel.read_pcd_header(path)
    assert h.data == "lzma" and h.points == 10**9


@pytest.mark.parametrize(
    "fields_, size, type_, count, body, expected",
    [
        # Upper-case coordinates as doubles, as one exporter writes them.
        ("X Y Z", "8 8 8", "F F F", None, records("<f8,<f8,<f8", [(1.5, 2.5, 3.5)]), {"X": 1.5, "Y": 2.5, "Z": 3.5}),
        # A descriptor: one 33-bin histogram per point and no coordinates.
        ("fpfh", "4", "F", "33", np.arange(33, dtype="<f4").tobytes(), {"fpfh": list(range(33))}),
        ("x y", None, None, None, records("<f4,<f4", [(1, 2)]), {"x": 1, "y": 2}),
    ],
    ids=["upper-case-f8", "histogram-33", "x-y-only"],
)
def test_files_without_x_y_z(pcd, fields_, size, type_, count, body, expected):
    path = pcd(header(fields_, size=size, type=type_, count=count, data="binary"), body)
    cloud = vantrel.read_pcd(path)
    assert list(cloud.fields) == list(expected)
    for name, value in expected.items():
        np.testing.assert_array_equal(cloud.fields[name][0], value)
    assert cloud.records.dtype.names == tuple(expected)
    with pytest.raises(RuntimeError, match=r"^PCD must contain x, y, z fields(\n|$)"):
        _ = cloud.points
    with pytest.raises(RuntimeError, match=r"^PCD must contain x, y, z fields(\n|$)"):
        vantrel.load_pcd(path)


def test_records_of_a_padded_file(pcd):
    # The writer's padding: '_' fields that overlap others, and one that steps back.
    text = (
        "FIELDS x y z _ rgb _ normal_x normal_y normal_z _ curvature _\n"
        "SIZE 4 4 4 1 4 1 4 4 4 1 4 1\nTYPE F F F U U U F F F U F U\n"
        "COUNT 1 1 1 20 1 -20 1 1 1 8 1 8\nPOINTS 2\nDATA binary\n"
    )
    data = np.arange(96, dtype=np.uint8).tobytes()
    cloud = vantrel.read_pcd(pcd(text, data))
    dtype = cloud.records.dtype
    assert dtype.itemsize == 48
    assert dtype.names == ("x", "y", "z", "rgb", "normal_x", "normal_y", "normal_z", "curvature", "_")
    assert [dtype.fields[n][1] for n in dtype.names] == [0, 4, 8, 32, 16, 20, 24, 36, 40]
    assert dtype["_"].shape == (8,)
    assert np.shares_memory(cloud.records, cloud.fields["rgb"])
    assert cloud.records["curvature"].tobytes() == cloud.fields["curvature"].tobytes()
    assert cloud.records.tobytes() == data


@pytest.mark.parametrize(
    "head, body, warns",
    [
        (header(points=3, data="binary"), records("<f4,<f4,<f4", [(1, 2, 3)] * 2), "holds 2 of 3 points"),
        (header(points=2), "1 2 3\n4 abc 6\n", "'abc 6'; from field y of point 1 on, the values are zero"),
        (header(points=2), "1 2 3\n4 5", "holds 1 of 2 points"),
        (header(points=2, data="binary_compressed"), block(lzf_compress(b"\1" * 12), 12), "image holds 0 of 2"),
    ],
    ids=["binary", "ascii-value", "ascii-short", "compressed"],
)
def test_damage_warns_and_can_be_made_an_error(pcd, head, body, warns):
    path = pcd(head, body)
    with expect_data_warning(warns):
        vantrel.read_pcd(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", vantrel.DataWarning)
        for read in (vantrel.load_pcd, vantrel.read_pcd):
            with pytest.raises(vantrel.DataWarning, match=warns):
                read(path)


@pytest.mark.parametrize(
    "head, body",
    [
        (header(points=0, data="binary"), b""),
        (header(points=0), ""),
        (header(points=1, data="binary"), records("<f4,<f4,<f4", [(1, 2, 3)] * 3)),  # data after the last point
        (header(points=1), "1 2 3 4 5 6 junk"),
        (header("a", count="0", points=5, data="binary"), b""),  # no element to hold
        (header(points=0, data="binary_compressed"), b""),  # an empty cloud without its size block, as pypcd4 writes it
    ],
    ids=["binary-empty", "ascii-empty", "binary-long", "ascii-long", "no-elements", "compressed-no-sizes"],
)
def test_no_warning_when_nothing_is_missing(pcd, head, body):
    vantrel.read_pcd(pcd(head, body))  # the strict warning filter fails the test on any warning


@pytest.mark.parametrize("text", ["FIELDS\nPOINTS -5\nDATA ascii\n", "FIELDS a\nCOUNT 0\nPOINTS -5\nDATA binary\n"])
def test_negative_points_without_record_bytes_are_refused(pcd, text):
    with pytest.raises(ValueError, match="^cannot create std::vector larger than max_size"):
        vantrel.read_pcd(pcd(text))


# ---------------------------------------------------------------- sources

CLOUD = records("<f4,<f4,<f4,<u2", [(i, -i, 0.5 * i, i) for i in range(1000)])
CLOUD_HEAD = header("x y z r", size="4 4 4 2", type="F F F U", points=1000, data="binary")
CLOUD_FILE = CLOUD_HEAD + CLOUD


def check_cloud(cloud):
    assert len(cloud) == 1000 and cloud.fields["r"][-1] == 999
    np.testing.assert_array_equal(cloud.points[7], [7, -7, 3.5])


class ReadOnly:
    """A stream with read() only: no readinto, no seek, as some wrappers are."""

    def __init__(self, data, chunk=None):
        self._data, self._at, self._chunk = data, 0, chunk

    def read(self, n=-1):
        n = len(self._data) - self._at if n < 0 else min(n, self._chunk or n)
        out = self._data[self._at : self._at + n]
        self._at += len(out)
        return out


def tar_member():
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode="w") as tar:
        info = tarfile.TarInfo("a/cloud.pcd")
        info.size = len(CLOUD_FILE)
        tar.addfile(info, io.BytesIO(CLOUD_FILE))
    archive.seek(0)
    return tarfile.open(fileobj=archive).extractfile("a/cloud.pcd")


@pytest.mark.parametrize(
    "make",
    [
        lambda p: p,
        lambda p: str(p),
        lambda p: os.fsencode(p),
        lambda p: open(p, "rb"),
        lambda p: open(p, "rb", buffering=0),
        lambda p: io.BytesIO(p.read_bytes()),
        lambda p: ReadOnly(p.read_bytes(), chunk=777),
        lambda p: tar_member(),
    ],
    ids=["path", "str", "bytes", "buffered-file", "raw-file", "bytesio", "read-only-stream", "tar-member"],
)
@pytest.mark.parametrize("read", ["read_pcd", "read_pcd_header"])
def test_sources(tmp_path, make, read):
    path = tmp_path / "cloud.pcd"
    path.write_bytes(CLOUD_FILE)
    source = make(path)
    result = getattr(vantrel, read)(source)
    if read == "read_pcd":
        check_cloud(result)
    else:
        assert result.points == 1000 and result.data_offset == len(CLOUD_HEAD)
    if hasattr(source, "seek"):  # left just after what was read, as numpy.load leaves a file
        assert source.tell() == (len(CLOUD_FILE) if read == "read_pcd" else len(CLOUD_HEAD))
    if hasattr(source, "close"):
        source.close()


def test_file_objects_are_read_from_their_position():
    stream = io.BytesIO(b"prefix" + CLOUD_FILE + CLOUD_FILE)
    stream.seek(6)
    first = vantrel.read_pcd(stream)
    second = vantrel.read_pcd(stream)  # one PCD after another, as numpy.load reads arrays
    check_cloud(first), check_cloud(second)
    assert stream.tell() == 6 + 2 * len(CLOUD_FILE)
    stream.write(b"more")  # the BytesIO is free to grow again


def test_pipe(tmp_path):
    fifo = tmp_path / "pipe.pcd"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(CLOUD_FILE))
    writer.start()
    with open(fifo, "rb") as f:
        check_cloud(vantrel.read_pcd(f))
    writer.join()


def test_ascii_and_compressed_from_a_stream():
    image = planes("<f4,<f4,<f4", [(i, -i, 0.5 * i) for i in range(1000)])
    compressed = header(points=1000, data="binary_compressed") + block(lzf_compress(image), len(image))
    text = header(points=1000) + "\n".join(f"{i} {-i} {0.5 * i}" for i in range(1000)).encode()
    for data in (compressed, text):
        cloud = vantrel.read_pcd(ReadOnly(data, chunk=1000))
        np.testing.assert_array_equal(cloud.points[7], [7, -7, 3.5])


class Failing(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, buffer):
        raise ConnectionResetError("peer went away")


class Wrong:
    def __init__(self, result):
        self.result = result

    def read(self, n=-1):
        return self.result


@pytest.mark.parametrize(
    "source, error, match",
    [
        (42, TypeError, "read_pcd\\(\\) needs a path .* or a binary file object, not int"),
        (bytearray(b"x.pcd"), TypeError, "not bytearray"),
        (io.StringIO("FIELDS x"), TypeError, "text-mode StringIO: open the file with 'rb'"),
        (Failing(), ConnectionResetError, "peer went away"),
        (Wrong("FIELDS x y z\n"), TypeError, "read\\(\\) returned str"),
        (Wrong(b"x" * 10**6), ValueError, "read\\(\\) returned 1000000 bytes when asked for 65536"),
    ],
    ids=["int", "bytearray", "text-mode", "read-raises", "read-gives-str", "read-gives-too-much"],
)
def test_bad_sources(source, error, match):
    with pytest.raises(error, match=match):
        vantrel.read_pcd(source)


def test_closed_and_text_mode_files(tmp_path):
    path = tmp_path / "c.pcd"
    path.write_bytes(CLOUD_FILE)
    with open(path, "rb") as f:
        pass
    with pytest.raises(ValueError, match="closed file"):
        vantrel.read_pcd_header(f)
    with open(path) as text, pytest.raises(TypeError, match="text-mode TextIOWrapper"):
        vantrel.read_pcd(text)


@pytest.mark.parametrize(
    "target, kind, errno_",
    [
        ("missing.pcd", vantrel.PcdFileNotFoundError, errno.ENOENT),
        (".", vantrel.PcdIsADirectoryError, errno.EISDIR),
        ("loop.pcd", vantrel.PcdOpenError, errno.ELOOP),  # neither of those three: a plain OSError
    ],
    ids=["missing", "directory", "symlink-loop"],
)
def test_open_failures_name_the_callers_path(tmp_path, target, kind, errno_):
    (tmp_path / "loop.pcd").symlink_to(tmp_path / "loop.pcd")
    path = tmp_path / target
    for read in (vantrel.read_pcd, vantrel.read_pcd_header):
        with pytest.raises(RuntimeError) as err:
            read(path)
        assert type(err.value) is kind and isinstance(err.value, OSError)
        assert err.value.errno == errno_ and err.value.filename is path
        assert str(err.value) == f"Cannot open PCD file: {path}"


def unreadable_file(tmp_path):
    """A file this process may not read. root reads any file, but not a write-only kernel attribute."""
    if os.geteuid() != 0:
        path = tmp_path / "secret.pcd"
        path.write_bytes(CLOUD_FILE)
        path.chmod(0)
        return path
    path = pathlib.Path("/sys/bus/pci/rescan")
    if not path.exists():
        pytest.skip("running as root, and no write-only file to read")
    return path


def test_permission_error(tmp_path):
    path = unreadable_file(tmp_path)
    for read in (vantrel.load_pcd, vantrel.read_pcd):
        with pytest.raises(PermissionError) as err:
            read(str(path))
        assert type(err.value) is vantrel.PcdPermissionError and isinstance(err.value, RuntimeError)
        assert err.value.errno == errno.EACCES


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
        assert f"while reading {str(path)!r}" in notes(err.value)
        # read_pcd and read_pcd_header say it in their message; load_pcd keeps its own, and a note says it
        in_message = note == "does not look like a PCD file" and read is not vantrel.load_pcd
        assert any(note in n for n in ([str(err.value)] if in_message else notes(err.value)))
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


def test_in_tests_field_names_and_a_missing_field_is_both_errors_the_documents_name(tmp_path):
    path = tmp_path / "a.pcd"
    vantrel.write_pcd(path, {"intensity": np.zeros(2, np.float32)}, points=np.zeros((2, 3), np.float32))
    cloud = vantrel.read_pcd(path)
    assert ("x" in cloud, "intensity" in cloud, "rgb" in cloud, 0 in cloud) == (True, True, False, False)
    for read in (
        lambda: vantrel.read_pcd(path, fields=["rgb"]),
        lambda: vantrel.open_pcd(path).read(1, fields=["rgb"]),
    ):
        with pytest.raises(ValueError, match=r"^no field 'rgb' in this PCD; its fields are: x, y, z, intensity") as err:
            read()
        assert isinstance(err.value, KeyError) and isinstance(err.value, vantrel.FieldNotFoundError)
