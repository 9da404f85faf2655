"""The arrays handed back: views, dtypes, names, ownership and coordinate layouts."""

import ctypes
import io
import re
import sys

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES
from pcdfile import block, header, records


def address(array):
    return array.__array_interface__["data"][0]


def test_xyz_view_is_c_contiguous_and_fields_empty(load):
    points, fields = load(header(points=2), "1 2 3 4 5 6")
    assert points.strides == (12, 4) and points.flags.c_contiguous and points.dtype == np.float32
    assert fields == {}


def test_views_share_one_capsule_base_and_stride_by_record(load):
    body = records("<f4,<f4,<f4,<f4", [(1, 2, 3, 0.5), (4, 5, 6, 0.25)])
    points, fields = load(header("x y z intensity", points=2, data="binary"), body)
    intensity = fields["intensity"]
    assert points.strides == (16, 4) and intensity.strides == (16,)
    assert address(intensity) - address(points) == 12
    assert points.base is intensity.base and type(points.base).__name__ == "PyCapsule"
    assert not points.flags.owndata and points.flags.writeable
    np.testing.assert_array_equal(intensity, [0.5, 0.25])


def test_buffer_lives_with_the_last_view_and_writes_are_shared(pcd):
    path = pcd(header("x y z a", points=2), "1 2 3 7 4 5 6 8")
    points, fields = vantrel.load_pcd(path)
    owner = points.base
    held = sys.getrefcount(owner)
    a = fields.pop("a")
    del points, fields
    assert sys.getrefcount(owner) == held - 1  # only `a` and this frame hold it now
    np.testing.assert_array_equal(a, [7, 8])
    a[0] = 70
    np.testing.assert_array_equal(a[:1], [70])
    again, other = vantrel.load_pcd(path)
    assert other["a"][0] == 7 and again[0, 0] == 1  # a fresh buffer per load


def test_write_to_points_reaches_the_buffer(load):
    points, fields = load(header("x y z a", points=1), "1 2 3 4")
    points[0, 0] = 9
    assert ctypes.c_float.from_address(address(points)).value == 9


@pytest.mark.parametrize(
    "type_, size, dtype, value",
    [
        ("F", 4, np.float32, 1.5),
        ("F", 8, np.float64, -2.25),
        ("I", 1, np.int8, -5),
        ("I", 2, np.int16, -300),
        ("I", 4, np.int32, -70000),
        ("I", 8, np.int64, -(2**40)),
        ("U", 1, np.uint8, 250),
        ("U", 2, np.uint16, 65000),
        ("U", 4, np.uint32, 2**32 - 1),
        ("U", 8, np.uint64, 2**63),
    ],
)
def test_dtype_table(load, type_, size, dtype, value):
    text = header("x y z v", size=f"4 4 4 {size}", type=f"F F F {type_}", data="binary")
    body = np.zeros(3, np.float32).tobytes() + np.array([value], dtype).tobytes()
    _, fields = load(text, body)
    assert fields["v"].dtype == np.dtype(dtype) and fields["v"][0] == value
    # The header's field says the same dtype, from the same table.
    assert vantrel.read_pcd_header(io.BytesIO(text + body)).fields[3].dtype == np.dtype(dtype)


@pytest.mark.parametrize("type_, size", [("F", 2), ("I", 3), ("f", 4), ("U", 16)])
def test_unsupported_field_type_or_size(load, type_, size):
    text = header("x y z v", size=f"4 4 4 {size}", type=f"F F F {type_}", points=1)
    with pytest.raises(RuntimeError) as err:
        load(text, "1 2 3 4")
    assert str(err.value) == "Unsupported PCD type/size"
    field = vantrel.read_pcd_header(io.BytesIO(text + b"1 2 3 4")).fields[3]
    assert field.dtype is None and not field.padding


def test_names_duplicates_and_order(load):
    text = header("x y z X xy _ a b a", points=1)
    _, fields = load(text, "1 2 3 4 5 6 7 8 9")
    assert list(fields) == ["X", "xy", "_", "a", "b"]
    assert fields["a"][0] == 9 and fields["b"][0] == 8


def test_name_that_is_not_utf8(load):
    with pytest.raises(UnicodeDecodeError):
        load(header("x y z").replace(b"x y z", b"x y z \xff"), "1 2 3 4")


@pytest.mark.parametrize(
    "data, body", [("ascii", b"1 2 3 4 5 6"), ("binary", b"\1" * 24), ("binary_compressed", block(b"", 0))]
)
def test_points_zero_reads_nothing(load, data, body):
    points, fields = load(header("x y z a", count="1 1 1 3", points=0, data=data), body)
    assert points.shape == (0, 3) and fields["a"].shape == (0, 3)
    assert points.base is fields["a"].base


def test_unaligned_fields(load):
    text = header("x y z flag intensity", size="4 4 4 1 4", type="F F F U F", points=2, data="binary")
    _, fields = load(text, records("<f4,<f4,<f4,u1,<f4", [(1, 2, 3, 7, 0.75)] * 2))
    assert fields["flag"].strides == (17,) and fields["intensity"].strides == (17,)
    assert not fields["intensity"].flags.aligned
    np.testing.assert_array_equal(fields["intensity"], [0.75, 0.75])
    np.testing.assert_array_equal(fields["flag"], [7, 7])


def test_count_below_one_gets_no_entry(load):
    text = "FIELDS x y z _ a\nSIZE 4 4 4 1 4\nCOUNT 1 1 1 0 1\nPOINTS 1\nDATA ascii\n"
    _, fields = load(text, "1 2 3 4")
    assert list(fields) == ["a"] and fields["a"][0] == 4


XYZ = [1, 2, 3]


@pytest.mark.parametrize(
    "fields_, size, type_, count, body, dtype, view, xyz",
    [
        ("x y z", "8 8 8", "F F F", None, records("<f8,<f8,<f8", [(1, 2, 3)]), np.float64, True, XYZ),
        ("a x y z", "4 4 4 4", None, None, records("<f4,<f4,<f4,<f4", [(9, 1, 2, 3)]), np.float32, True, XYZ),
        ("z y x", None, None, None, records("<f4,<f4,<f4", [(3, 2, 1)]), np.float32, False, XYZ),
        ("x a y z", None, None, None, records("<f4,<f4,<f4,<f4", [(1, 9, 2, 3)]), np.float32, False, XYZ),
        ("x y z", "2 2 1", "I U I", None, records("<i2,<u2,i1", [(1, 2, 3)]), np.float32, False, XYZ),
        ("x y z", "4 4 4", "F U F", None, records("<f4,<u4,<f4", [(1, 2, 3)]), np.float64, False, XYZ),
        ("x y z", "8 4 4", None, None, records("<f8,<f4,<f4", [(1, 2, 3)]), np.float64, False, XYZ),
        ("x y z", None, None, "2 1 1", records("(2,)<f4,<f4,<f4", [((1, 7), 2, 3)]), np.float32, False, XYZ),
        # y after z: the record does not hold x, y, z one after another.
        ("x a z y", None, None, None, records("<f4,<f4,<f4,<f4", [(1, 9, 3, 2)]), np.float32, False, XYZ),
        # signed 2-byte coordinates keep their sign
        ("x y z", "2 2 2", "I I I", None, records("<i2,<i2,<i2", [(-3, 2, -1)]), np.float32, False, [-3, 2, -1]),
    ],
    ids=[
        "f8-view",
        "offset-view",
        "reversed",
        "gap",
        "small-ints",
        "u4",
        "mixed-float",
        "count-2",
        "y-after-z",
        "negative-i2",
    ],
)
def test_coordinate_layouts(load, fields_, size, type_, count, body, dtype, view, xyz):
    text = header(fields_, size=size, type=type_, count=count, data="binary")
    points, fields = load(text, body)
    assert points.dtype == dtype and points.shape == (1, 3)
    np.testing.assert_array_equal(points, [xyz])
    assert (points.base is not None and type(points.base).__name__ == "PyCapsule") == view
    if not view:
        assert points.flags.c_contiguous and points.flags.owndata


@pytest.mark.parametrize(
    "size, type_, count",
    [
        ("4 4 4", "f f f", None),  # lower-case letters
        ("4 3 4", None, None),
        ("4 4 4", None, "1 0 1"),
    ],
    ids=["lower-case-type", "size-3", "count-0"],
)
def test_unsupported_coordinates(load, size, type_, count):
    text = header("x y z", size=size, type=type_, count=count, points=1)
    with pytest.raises(RuntimeError) as err:
        load(text, "1 2 3")
    assert str(err.value) == "Unsupported PCD type/size"


def test_last_x_wins(load):
    text = header("x y z x", points=1, data="binary")
    points, fields = load(text, records("<f4,<f4,<f4,<f4", [(9, 2, 3, 1)]))
    np.testing.assert_array_equal(points, [[1, 2, 3]])
    assert fields == {}


ORGANIZED = FIXTURES / "organized_nan.binary.pcd"  # 64 x 32


@pytest.fixture(scope="module")
def cloud():
    return vantrel.read_pcd(ORGANIZED)


@pytest.mark.parametrize(
    "key, rows, grid, view",
    [
        (slice(2, 5), np.arange(2, 5), (3, 1), True),
        (slice(64, 192), np.arange(64, 192), (64, 2), True),  # whole rows: still a grid
        (slice(60, 130), np.arange(60, 130), (70, 1), True),
        (slice(None, None, 2), np.arange(0, 2048, 2), (1024, 1), False),
        (slice(-3, None), np.arange(2045, 2048), (3, 1), True),
        (slice(5, 5), np.arange(0), (0, 1), True),
        ([0, 5, 3], np.array([0, 5, 3]), (3, 1), False),
        (np.array([2047, 0]), np.array([2047, 0]), (2, 1), False),
        ("mask", None, None, False),
    ],
    ids=["run", "rows", "not-rows", "stride", "negative", "empty", "list", "array", "mask"],
)
def test_a_cloud_is_indexed_as_its_records_are(cloud, key, rows, grid, view):
    if isinstance(key, str):
        key = np.isfinite(cloud["x"])
        rows = np.flatnonzero(key)
        grid = (len(rows), 1)
    part = cloud[key]
    assert isinstance(part, vantrel.PointCloud) and len(part) == len(rows)
    assert (part.header.width, part.header.height, part.header.points) == (*grid, len(rows))
    assert list(part.fields) == list(cloud.fields)
    for name, values in cloud.fields.items():
        assert part[name].tobytes() == values[rows].tobytes(), name
    assert part.records.dtype == cloud.records.dtype and len(part.records) == len(rows)
    assert np.shares_memory(part["x"], cloud["x"]) == (view and len(rows) > 0)


@pytest.mark.parametrize(
    "key, error, match",
    [
        ("q", KeyError, "no field 'q' in this cloud; its fields are: x, y, z, _, intensity"),
        (np.zeros(3, bool), IndexError, "boolean index did not match"),
        ([5000], IndexError, "out of bounds"),
        ((0, 1), IndexError, "too many indices"),
    ],
    ids=["name", "mask-length", "index", "tuple"],
)
def test_bad_keys_are_refused_as_numpy_refuses_them(cloud, key, error, match):
    with pytest.raises(error, match=match):
        cloud[key]


def test_a_point_and_the_array_interface(cloud):
    assert cloud[3] == cloud.records[3] and cloud[-1] == cloud.records[-1]
    assert np.asarray(cloud) is cloud.records
    assert np.shares_memory(np.array(cloud, copy=False), cloud.records)
    copied = np.array(cloud, copy=True)
    assert not np.shares_memory(copied, cloud.records) and copied["y"].tobytes() == cloud["y"].tobytes()
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":  # asarray's copy= is NumPy 2's
        with pytest.raises(ValueError, match="without a copy"):
            np.asarray(cloud, dtype=[("x", "<f8")], copy=False)
    assert "2048 points" in repr(cloud) and "binary" in repr(cloud) and "intensity" in repr(cloud)


def structured(names, formats, offsets, itemsize, n=6):
    dtype = np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": itemsize})
    records = np.zeros(n, dtype)
    for k, name in enumerate(names):
        records[name] = np.arange(n * np.prod(dtype[name].shape, dtype=int)).reshape(records[name].shape) + k
    return records


def test_clouds_from_records_are_views_with_the_records_layout():
    records = structured(
        ["x", "y", "z", "_", "normal"], ["<f4", "<f4", "<f8", "u1", ("<f4", (3,))], [0, 4, 8, 16, 20], 40
    )
    cloud = vantrel.PointCloud.from_records(records.reshape(2, 3), viewpoint=(1, 2, 3, 1, 0, 0, 0))
    header = cloud.header
    assert (header.width, header.height, header.point_step, header.organized) == (3, 2, 40, True)
    assert [(f.name, f.offset, f.count) for f in header.fields] == [
        ("x", 0, 1),
        ("y", 4, 1),
        ("z", 8, 1),
        ("normal", 20, 3),
    ]
    assert header.viewpoint == (1, 2, 3, 1, 0, 0, 0)
    for name in ("x", "z", "normal"):
        np.testing.assert_array_equal(cloud[name], records[name])
        assert np.shares_memory(cloud[name], records)
    assert cloud.points.dtype == np.float64 and not np.shares_memory(cloud.points, records)
    every_other = vantrel.PointCloud.from_records(records[::2])
    np.testing.assert_array_equal(every_other["y"], records["y"][::2])
    assert not np.shares_memory(every_other["y"], records)


@pytest.mark.parametrize(
    ("records", "options", "error", "words"),
    [
        (np.zeros(3), {}, TypeError, "must be a NumPy structured array"),
        (np.zeros(3, [("x", "?")]), {}, TypeError, "field 'x' has dtype bool"),
        (np.zeros(3, [("x", ">f4")]), {}, ValueError, "'x' is not in this machine's byte order"),
        (np.zeros(3, [("p", [("a", "f4")])]), {}, TypeError, "field 'p' has dtype"),
        (np.zeros(3, [("m", "f4", (2, 2))]), {}, ValueError, "a field's elements are one row"),
        (structured(["a", "b"], ["<f4", "<f4"], [0, 2], 8), {}, ValueError, "'b' shares bytes"),
        (np.zeros(3, [("bad name", "f4")]), {}, ValueError, "holds whitespace"),
        (np.zeros(6, [("x", "f4")]), {"width": 4}, ValueError, "width x height (4 x 1) must equal"),
        (np.zeros((2, 2, 2), [("x", "f4")]), {}, ValueError, "must be of shape (N,)"),
        (np.zeros(3, [("_", "f4")]), {}, ValueError, "hold no field"),
    ],
)
def test_records_that_cannot_be_a_cloud_are_refused(records, options, error, words):
    with pytest.raises(error, match=re.escape(words)):
        vantrel.PointCloud.from_records(records, **options)
