"""PointCloud2 messages and ROS bags: every layout a driver writes, against the arrays that went in."""

import csv
import subprocess
import sys
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

rosbags = pytest.importorskip("rosbags")
from rosbags.rosbag1 import Writer as Ros1Writer  # noqa: E402
from rosbags.rosbag2 import StoragePlugin  # noqa: E402
from rosbags.rosbag2 import Writer as Ros2Writer  # noqa: E402
from rosbags.typesys import Stores, get_typestore  # noqa: E402

from vantrel import ros  # noqa: E402

STORE = get_typestore(Stores.LATEST)
PC2 = "sensor_msgs/msg/PointCloud2"
CODES = {"i1": 1, "u1": 2, "i2": 3, "u2": 4, "i4": 5, "u4": 6, "f4": 7, "f8": 8, "i8": 9, "u8": 10}


def values(spec, points, seed=0):
    """Native arrays for (name, dtype, count, offset) fields: distinct, and NaN-free."""
    rng = np.random.default_rng(seed)
    out = {}
    for name, dtype, count, _ in spec:
        shape = (points,) if count == 1 else (points, count)
        info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
        drawn = rng.integers(info.min, info.max, shape, dtype, endpoint=True) if info else rng.normal(0, 100, shape)
        out[name] = drawn.astype(dtype)
    return out


def message(spec, arrays, width, height, point_step, row_pad=0, bigendian=False):
    """A PointCloud2 laid out by hand with NumPy, as a driver would send it."""
    order = ">" if bigendian else "<"
    dtype = np.dtype(
        {
            "names": [s[0] for s in spec],
            "formats": [(order + s[1]) if s[2] == 1 else (order + s[1], (s[2],)) for s in spec],
            "offsets": [s[3] for s in spec],
            "itemsize": point_step,
        }
    )
    records = np.zeros(width * height, dtype)
    for name, array in arrays.items():
        records[name] = array
    rows = np.zeros((height, width * point_step + row_pad), np.uint8)
    rows[:, : width * point_step] = records.view(np.uint8).reshape(height, width * point_step)
    field = STORE.types["sensor_msgs/msg/PointField"]
    header = STORE.types["std_msgs/msg/Header"](
        stamp=STORE.types["builtin_interfaces/msg/Time"](sec=1, nanosec=2), frame_id="lidar"
    )
    return STORE.types[PC2](
        header=header,
        height=height,
        width=width,
        fields=[field(name=n, offset=o, datatype=CODES[d], count=c) for n, d, c, o in spec],
        is_bigendian=bigendian,
        point_step=point_step,
        row_step=width * point_step + row_pad,
        data=rows.reshape(-1),
        is_dense=True,
    )


XYZ = [("x", "f4", 1, 0), ("y", "f4", 1, 4), ("z", "f4", 1, 8)]
LAYOUTS = {
    # name: (fields, width, height, point_step, row padding, big-endian, views of msg.data)
    "packed": (XYZ, 5, 1, 12, 0, False, True),
    "gaps and trailing padding": (XYZ + [("intensity", "f4", 1, 16), ("ring", "u2", 1, 20)], 4, 1, 32, 0, False, True),
    "unsorted offsets": (
        [("t", "f8", 1, 16), ("x", "f4", 1, 0), ("z", "f4", 1, 8), ("y", "f4", 1, 4)],
        3,
        1,
        24,
        0,
        False,
        True,
    ),
    "organized, row padding": (XYZ + [("rgb", "u4", 1, 12)], 3, 2, 16, 8, False, False),
    "big-endian": (XYZ + [("t", "f8", 1, 16), ("ring", "u2", 1, 24)], 2, 3, 32, 0, True, False),
    "big-endian and row padding": (XYZ + [("n", "i4", 3, 12)], 2, 2, 24, 4, True, False),
    "every datatype and counts": ([(f"f{c}", d, 1 + c % 3, 0) for c, d in enumerate(CODES)], 3, 1, 0, 0, False, True),
    "empty": (XYZ, 0, 1, 12, 0, False, True),
}


def packed_offsets(spec):
    """Offsets one after another, for a spec written with zeros."""
    out, at = [], 0
    for name, dtype, count, _ in spec:
        out.append((name, dtype, count, at))
        at += np.dtype(dtype).itemsize * count
    return out, at


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
def test_messages_read_every_field_at_its_type_count_and_grid(layout):
    spec, width, height, step, pad, big, zero_copy = LAYOUTS[layout]
    if step == 0:
        spec, step = packed_offsets(spec)
    arrays = values(spec, width * height)
    msg = message(spec, arrays, width, height, step, pad, big)
    cloud = ros.from_pointcloud2(msg)
    assert (cloud.header.width, cloud.header.height, len(cloud)) == (
        (width, height, width * height) if width else (0, cloud.header.height, 0)
    )
    assert list(cloud.fields) == [s[0] for s in spec]
    for name, dtype, count, offset in spec:
        field = next(f for f in cloud.header.fields if f.name == name)
        assert (field.dtype, field.count) == (np.dtype(dtype), count)
        assert field.offset == (offset if not pad else field.offset)
        np.testing.assert_array_equal(cloud[name], arrays[name])
    if width:
        assert np.shares_memory(cloud[spec[0][0]], msg.data) == zero_copy


@pytest.mark.parametrize(
    ("change", "words"),
    [
        (lambda m: m.fields.append(type(m.fields[0])(name="q", offset=2, datatype=7, count=1)), "overlap"),
        (
            lambda m: m.fields.append(type(m.fields[0])(name="q", offset=10, datatype=7, count=1)),
            "runs past point_step",
        ),
        (lambda m: m.fields.append(type(m.fields[0])(name="q", offset=0, datatype=11, count=1)), "datatype 11"),
        (lambda m: m.fields.append(type(m.fields[0])(name="x", offset=0, datatype=7, count=1)), "given twice"),
        (lambda m: setattr(m, "data", m.data[:-1]), "fewer than row_step"),
        (lambda m: setattr(m, "row_step", 8), "row_step 8 is less than"),
        (lambda m: setattr(m, "point_step", 2**31), "point_step 2147483648 is beyond"),
        (lambda m: m.fields.clear(), "no fields"),
    ],
)
def test_messages_that_are_no_cloud_are_refused_saying_why(change, words):
    msg = message(XYZ, values(XYZ, 4), 2, 2, 12)
    change(msg)
    with pytest.raises(ros.MessageError, match=words):
        ros.from_pointcloud2(msg)


def cloud_of(arrays, **grid):
    return vantrel.PointCloud.from_records(records_of(arrays), **grid)


def records_of(arrays):
    records = np.zeros(len(next(iter(arrays.values()))), [(n, a.dtype, a.shape[1:]) for n, a in arrays.items()])
    for name, array in arrays.items():
        records[name] = array
    return records


EVERY = [("x", "f4", 1, 0), ("y", "f8", 1, 0), ("z", "f4", 1, 0)] + [(f"v{d}", d, c, 0) for d in CODES for c in (1, 3)]


def test_clouds_become_messages_and_back_value_for_value():
    arrays = values(EVERY, 6, seed=3)
    arrays["x"][1] = np.nan
    cloud = cloud_of(arrays, width=3, height=2)
    with pytest.raises(ValueError, match="'vi8' is a 64-bit integer"):
        ros.to_pointcloud2(cloud)
    msg = ros.to_pointcloud2(cloud, frame_id="map", stamp=1_700_000_000_123_456_789, int64_codes=True)
    assert (msg.width, msg.height, msg.row_step, msg.is_dense) == (3, 2, 3 * msg.point_step, False)
    assert (msg.header.frame_id, msg.header.stamp.sec, msg.header.stamp.nanosec) == ("map", 1_700_000_000, 123_456_789)
    back = ros.from_pointcloud2(msg)
    assert back.header.fields == cloud.header.fields and back.header.organized
    for name, array in arrays.items():
        np.testing.assert_array_equal(back[name], array)


def fake_ros_package(monkeypatch):
    """Message classes as rclpy makes them: made blank, then given attributes."""

    class Base:
        def __init__(self):
            for name, default in self.defaults().items():
                setattr(self, name, default)

    class Time(Base):
        defaults = staticmethod(lambda: {"sec": 0, "nanosec": 0})

    class Header(Base):
        defaults = staticmethod(lambda: {"stamp": Time(), "frame_id": ""})

    class PointField(Base):
        defaults = staticmethod(lambda: {"name": "", "offset": 0, "datatype": 0, "count": 0})

    class PointCloud2(Base):
        defaults = staticmethod(
            lambda: (
                dict.fromkeys(
                    ["height", "width", "fields", "is_bigendian", "point_step", "row_step", "data", "is_dense"]
                )
                | {"header": Header()}
            )
        )

    package = types.ModuleType("fake_msgs.msg")
    package.PointField = PointField
    PointCloud2.__module__ = "fake_msgs.msg._point_cloud2"
    monkeypatch.setitem(sys.modules, "fake_msgs.msg", package)
    return PointCloud2


def test_message_classes_of_other_libraries_are_built_by_attributes(monkeypatch):
    arrays = values(XYZ + [("ring", "u2", 1, 0)], 4)
    msg = ros.to_pointcloud2(cloud_of(arrays), stamp=5_000_000_007, msg_type=fake_ros_package(monkeypatch))
    assert isinstance(msg.data, bytes) and (msg.header.stamp.sec, msg.header.stamp.nanosec) == (5, 7)
    back = ros.from_pointcloud2(msg)
    for name, array in arrays.items():
        np.testing.assert_array_equal(back[name], array)


# ---------------------------------------------------------------- bags


def write_bag(path, kind, messages):
    """A bag of (topic, stamp, message) in ROS 1 or ROS 2 (sqlite3 or MCAP), as rosbags writes it."""
    store = get_typestore(Stores.ROS1_NOETIC) if kind == "ros1" else STORE
    if kind == "ros1":
        writer = Ros1Writer(path)
    else:
        plugin = StoragePlugin.MCAP if kind == "mcap" else StoragePlugin.SQLITE3
        writer = Ros2Writer(path, version=9, storage_plugin=plugin)
    with writer:
        connections = {}
        for topic, stamp, msg in messages:
            msgtype = msg.__msgtype__
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=store)
            raw = store.serialize_ros1(msg, msgtype) if kind == "ros1" else store.serialize_cdr(msg, msgtype)
            writer.write(connections[topic], stamp, raw)
    return path


BAGS = {"ros1": "scans.bag", "sqlite3": "scans_db", "mcap": "scans_mcap"}


@pytest.fixture(params=list(BAGS))
def bag(request, tmp_path):
    """A bag with two scans of one stamp and a third on another topic, plus a String topic."""
    kind = request.param
    store = get_typestore(Stores.ROS1_NOETIC) if kind == "ros1" else STORE
    spec = XYZ + [("intensity", "f4", 1, 16), ("ring", "u2", 1, 20)]
    scans = [values(spec, 6, seed=k) for k in range(3)]
    messages = []
    for k, (topic, stamp) in enumerate([("/lidar/points", 7), ("/lidar/points", 7), ("/front", 9)]):
        cloud = cloud_of(scans[k], width=3, height=2)
        msg_type = store.types[PC2]
        messages.append((topic, k + 1, ros.to_pointcloud2(cloud, frame_id=f"f{k}", stamp=stamp, msg_type=msg_type)))
    messages.append(("/chatter", 4, store.types["std_msgs/msg/String"](data="hi")))
    return write_bag(tmp_path / BAGS[kind], kind, messages), scans


def test_bags_give_every_cloud_in_order(bag):
    path, scans = bag
    read = list(ros.read_bag(path))
    assert [(topic, stamp) for topic, stamp, _ in read] == [("/lidar/points", 7), ("/lidar/points", 7), ("/front", 9)]
    for (_, _, cloud), arrays in zip(read, scans, strict=True):
        assert cloud.header.organized and (cloud.header.width, cloud.header.height) == (3, 2)
        for name, array in arrays.items():
            np.testing.assert_array_equal(cloud[name], array)
    assert [topic for topic, _, _ in ros.read_bag(path, topics=["/front"])] == ["/front"]
    with pytest.raises(ros.MessageError, match="'/chatter' is of type std_msgs/msg/String"):
        list(ros.read_bag(path, topics=["/chatter"]))
    with pytest.raises(ros.MessageError, match="no topic '/nope'.*/chatter, /front, /lidar/points"):
        list(ros.read_bag(path, topics=["/nope"]))


def test_bag_to_pcd_never_overwrites_indexes_each_file_and_resumes(bag, tmp_path):
    path, scans = bag
    out = tmp_path / "out"
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "bag-to-pcd", path, out, "--data", "ascii"], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr
    assert "3 messages, 18 points; 3 files" in run.stdout
    again = ros.bag_to_pcd(path, out, topics=["/lidar/points"])  # done already: nothing written twice
    assert (again["messages"], again["skipped"], again["files"]) == (0, 2, [])
    rows = list(csv.DictReader((out / "index.csv").read_text().splitlines()))
    assert [r["file"] for r in rows] == ["lidar.points/7.pcd", "lidar.points/7-1.pcd", "front/9.pcd"]
    assert rows[2] == {
        "topic": "/front",
        "stamp_ns": "9",
        "frame_id": "f2",
        "file": "front/9.pcd",
        "points": "6",
        "width": "3",
        "height": "2",
        "bag": str(path.resolve()),
        "position": "0",
    }
    assert [r["position"] for r in rows[:2]] == ["0", "1"]
    for row, arrays in zip(rows, scans, strict=True):
        cloud = vantrel.read_pcd(out / row["file"])
        assert cloud.header.data == "ascii" and cloud.header.organized
        for name, array in arrays.items():
            np.testing.assert_array_equal(cloud[name], array)
    (out / "lidar.points" / "7-1.pcd").unlink()  # a file gone: its row dropped, its message converted again
    assert ros.bag_to_pcd(path, out)["files"] == [str(out / "lidar.points" / "7-1.pcd")]
    overwritten = ros.bag_to_pcd(path, out, overwrite=True)
    assert (overwritten["messages"], overwritten["skipped"]) == (3, 0)
    rows = list(csv.DictReader((out / "index.csv").read_text().splitlines()))
    assert sorted(r["file"] for r in rows) == ["front/9.pcd", "lidar.points/7-1.pcd", "lidar.points/7.pcd"]
    assert sorted(p.relative_to(out).as_posix() for p in out.rglob("*.pcd")) == sorted(r["file"] for r in rows)


@pytest.mark.parametrize(
    ("name", "content", "error", "words"),
    [
        ("missing.bag", None, FileNotFoundError, "No such bag"),
        ("text.bag", b"not a bag at all\n", ros.MessageError, "not a readable ROS bag"),
        ("empty_folder", "dir", ros.MessageError, "not a readable ROS bag"),
    ],
)
def test_what_is_not_a_bag_is_an_error_naming_it(tmp_path, name, content, error, words):
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=words):
        list(ros.read_bag(path))
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_a_damaged_message_names_its_topic_and_stamp(tmp_path):
    msg = message(XYZ, values(XYZ, 4), 2, 2, 12)
    msg.fields[2].offset = 10  # z runs past point_step
    path = write_bag(tmp_path / "bad", "mcap", [("/scan", 1, msg)])
    with pytest.raises(ros.MessageError, match=r"bad: /scan at stamp 1000000002: field 'z' \(bytes 10 to 14\)"):
        ros.bag_to_pcd(path, tmp_path / "out")
    assert not (tmp_path / "out" / "index.csv").exists()


# ---------------------------------------------------------------- any layout


@st.composite
def layouts(draw):
    """Fields of any datatype and count at any offsets (overlapping or past point_step too), any grid,
    row padding and byte order."""
    count = draw(st.integers(1, 5))
    spec = []
    for k in range(count):
        dtype = draw(st.sampled_from(list(CODES)))
        spec.append((f"f{k}", dtype, draw(st.integers(1, 3)), draw(st.integers(0, 40))))
    step = draw(st.integers(1, 64))
    return spec, step, draw(st.integers(0, 4)), draw(st.integers(1, 3)), draw(st.integers(0, 9)), draw(st.booleans())


@given(layouts(), st.randoms(use_true_random=False))
@settings(max_examples=150, deadline=None)
def test_any_layout_reads_as_numpy_reads_it_or_is_refused(layout, random):
    spec, step, width, height, pad, big = layout
    ends = sorted((o, o + np.dtype(d).itemsize * c) for _, d, c, o in spec)
    sound = all(end <= step for _, end in ends) and all(b[0] >= a[1] for a, b in zip(ends, ends[1:], strict=False))
    raw = np.frombuffer(random.randbytes((width * step + pad) * height), np.uint8)
    field = STORE.types["sensor_msgs/msg/PointField"]
    msg = types.SimpleNamespace(
        width=width,
        height=height,
        point_step=step,
        row_step=width * step + pad,
        is_bigendian=big,
        data=raw,
        fields=[field(name=n, offset=o, datatype=CODES[d], count=c) for n, d, c, o in spec],
    )
    if not sound:
        with pytest.raises(ros.MessageError):
            ros.from_pointcloud2(msg)
        return
    cloud = ros.from_pointcloud2(msg)
    assert len(cloud) == width * height
    if not width:
        return
    rows = raw.reshape(height, width * step + pad)[:, : width * step].reshape(-1)
    for name, dtype, count, offset in spec:
        element = np.dtype((">" if big else "<") + dtype)
        want = np.ndarray((width * height, count), element, rows.tobytes(), offset, (step, element.itemsize))
        got = cloud[name].reshape(width * height, count)
        np.testing.assert_array_equal(
            got.view(f"u{element.itemsize}"), want.astype(element.newbyteorder("=")).view(f"u{element.itemsize}")
        )
