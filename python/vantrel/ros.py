"""ROS point clouds without ROS: sensor_msgs/PointCloud2 messages to and from PointClouds, and the
clouds of a bag (ROS 1 .bag, ROS 2 sqlite3 or MCAP).

Messages are duck-typed: rosbags', rclpy's and rospy's PointCloud2 alike. Bags are read with rosbags
(pip install 'vantrel[ros]'), imported when first used.

Example:
    >>> import vantrel, vantrel.ros
    >>> cloud = vantrel.read_pcd("scan.pcd")
    >>> msg = vantrel.ros.to_pointcloud2(cloud, frame_id="lidar", stamp=1_700_000_000_000_000_000)
    >>> vantrel.ros.from_pointcloud2(msg)
    <vantrel.PointCloud: 2000 points, 2000 x 1, binary, fields x y z intensity>
"""

from __future__ import annotations

import collections
import concurrent.futures
import csv
import dataclasses
import importlib
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import vantrel
from vantrel._commands import counted
from vantrel._extras import replacing, require
from vantrel._types import Data, as_data

if TYPE_CHECKING:
    import numpy as np

__all__ = ["MessageError", "bag_to_pcd", "from_pointcloud2", "read_bag", "to_pointcloud2"]

POINTCLOUD2 = "sensor_msgs/msg/PointCloud2"
# PointField's datatypes: 1 to 8 since ROS began, 9 and 10 (INT64, UINT64) in the newest definitions.
DTYPES = {1: "i1", 2: "u1", 3: "i2", 4: "u2", 5: "i4", 6: "u4", 7: "f4", 8: "f8", 9: "i8", 10: "u8"}
CODES = {dtype: code for code, dtype in DTYPES.items()}


class MessageError(ValueError):
    """A PointCloud2 message (or a bag) whose contents cannot be a point cloud: what is wrong, and
    where (the bag, topic and stamp, when it came from one)."""


# ---------------------------------------------------------------- messages to clouds


def _layout(msg: Any) -> tuple[np.dtype[Any], int, int, int]:
    """The records' dtype (in the message's byte order), and width, height and row_step, checked."""
    import numpy as np

    width, height, step, row_step = (int(msg.width), int(msg.height), int(msg.point_step), int(msg.row_step))
    if min(width, height, step, row_step) < 0:
        raise MessageError("width, height, point_step and row_step cannot be negative")
    if height > 0 and width > 0 and row_step < width * step:
        raise MessageError(f"row_step {row_step} is less than width {width} x point_step {step}")
    order = ">" if msg.is_bigendian else "<"
    names: list[str] = []
    formats: list[Any] = []
    offsets: list[int] = []
    spans: list[tuple[int, int, str]] = []
    for field in msg.fields:
        name, code, count, offset = str(field.name), int(field.datatype), int(field.count), int(field.offset)
        if code not in DTYPES:
            raise MessageError(f"field {name!r} has datatype {code}, which PointField does not define (1 to 10)")
        if count < 1:
            raise MessageError(f"field {name!r} has count {count}; a field holds at least one element")
        if name in names:
            raise MessageError(f"field {name!r} is given twice")
        element = np.dtype(order + DTYPES[code])
        end = offset + element.itemsize * count
        if offset < 0 or end > step:
            raise MessageError(f"field {name!r} (bytes {offset} to {end}) runs past point_step {step}")
        names.append(name)
        formats.append(element if count == 1 else (element, (count,)))
        offsets.append(offset)
        spans.append((offset, end, name))
    spans.sort()
    for (_, end, first), (start, _, second) in zip(spans, spans[1:], strict=False):
        if start < end:
            raise MessageError(f"fields {first!r} and {second!r} overlap")
    dtype = np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": step})
    return dtype, width, height, row_step


def from_pointcloud2(msg: Any) -> vantrel.PointCloud:
    """A PointCloud of a sensor_msgs/PointCloud2 message, every field kept.

    Parameters:
        msg: any object with PointCloud2's attributes (height, width, fields, is_bigendian,
            point_step, row_step, data): rosbags', rclpy's or rospy's message.

    Returns:
        A PointCloud with every field at its name, type, COUNT and offset, and the message's WIDTH
        and HEIGHT (an organized cloud stays organized). Its arrays are views of msg.data when the
        layout allows (little-endian, rows without padding); otherwise one copy is made, without
        the rows' padding and in this machine's byte order. Datatypes 1 to 8 are I1 U1 I2 U2 I4
        U4 F4 F8, and 9 and 10 are I8 and U8.

    Raises:
        MessageError: (a ValueError) fields that overlap, run past point_step, repeat a name or
            have an unknown datatype, or data shorter than row_step x height.

    Examples:
        >>> msg = vantrel.ros.to_pointcloud2(vantrel.read_pcd("kinect.pcd"), frame_id="camera")
        >>> vantrel.ros.from_pointcloud2(msg).header.organized
        True
    """
    import numpy as np

    dtype, width, height, row_step = _layout(msg)
    points = width * height
    raw = np.frombuffer(msg.data, dtype=np.uint8)
    if raw.size < row_step * height:
        raise MessageError(f"data holds {raw.size} bytes, fewer than row_step {row_step} x height {height}")
    if points == 0:
        records = np.zeros(0, dtype)
    elif row_step == width * dtype.itemsize:
        records = raw[: points * dtype.itemsize].view(dtype)
    else:  # padded rows: their records, packed
        rows = raw[: row_step * height].reshape(height, row_step)[:, : width * dtype.itemsize]
        records = np.ascontiguousarray(rows).reshape(-1).view(dtype)
    if msg.is_bigendian:
        records = records.astype(dtype.newbyteorder("="))
    if points == 0:
        return vantrel.PointCloud.from_records(records)
    return vantrel.PointCloud.from_records(records, width=width, height=height)


# ---------------------------------------------------------------- clouds to messages


def _records(
    cloud: vantrel.PointCloud, int64_codes: bool
) -> tuple[np.ndarray[Any, Any], list[tuple[str, int, int, int]]]:
    """The cloud's records as the message holds them, and its fields: (name, offset, datatype,
    count). The cloud's own layout is kept when its records hold every field."""
    import numpy as np

    fields = [field for field in cloud.header.fields if not field.padding]
    records = cloud.records
    if list(records.dtype.names or ()) != [field.name for field in fields]:  # repeated names: packed
        packed = np.dtype([(name, array.dtype, array.shape[1:]) for name, array in cloud.fields.items()])
        records = np.empty(len(cloud), packed)
        for name, array in cloud.fields.items():
            records[name] = array
    described = []
    for name in records.dtype.names or ():
        member, offset = records.dtype.fields[name][:2]  # type: ignore[index]
        element, shape = (member.base, member.shape) if member.shape else (member, (1,))
        code = CODES[element.str[1:]]
        if code >= 9 and not int64_codes:
            raise ValueError(
                f"field {name!r} is a 64-bit integer, for which PointField has no datatype before its newest "
                "definitions: pass int64_codes=True to write datatypes 9 and 10, or convert the field"
            )
        described.append((name, int(offset), code, int(shape[0])))
    return np.ascontiguousarray(records), described


def _is_dense(cloud: vantrel.PointCloud) -> bool:
    import numpy as np

    fields = cloud.fields
    return not any(
        name in fields and fields[name].dtype.kind == "f" and bool(np.isnan(fields[name]).any()) for name in "xyz"
    )


def _classes(msg_type: Any) -> tuple[Any, Any, Any, Any]:
    """PointCloud2, PointField, Header and Time of the same message library as msg_type."""
    if msg_type is None:
        require("rosbags", "ros", "to_pointcloud2 without msg_type")
        from rosbags.typesys import Stores, get_typestore

        msg_type = get_typestore(Stores.LATEST).types[POINTCLOUD2]
    if dataclasses.is_dataclass(msg_type):  # rosbags: the classes its annotations name
        module = sys.modules[msg_type.__module__]
        hints = {f.name: str(f.type) for f in dataclasses.fields(msg_type)}
        header = getattr(module, hints["header"])
        time_name = {f.name: str(f.type) for f in dataclasses.fields(header)}["stamp"]
        point_field = getattr(module, hints["fields"].removeprefix("list[").removesuffix("]"))
        return msg_type, point_field, header, getattr(module, time_name)
    package = importlib.import_module(msg_type.__module__.rpartition(".")[0] or msg_type.__module__)
    blank = msg_type()
    return msg_type, package.PointField, type(blank.header), type(blank.header.stamp)


def _make(cls: Any, **values: Any) -> Any:
    """A message of class cls: a dataclass (rosbags) takes every field at once, others (rclpy,
    rospy) are made blank and given the values they have attributes for."""
    if dataclasses.is_dataclass(cls):
        given = {f.name: values.get(f.name, 0) for f in dataclasses.fields(cls) if f.init and f.name[:2] != "__"}
        return cls(**given)  # type: ignore[operator]
    message = cls()
    for name, value in values.items():
        if hasattr(message, name):
            setattr(message, name, value)
    return message


def to_pointcloud2(
    cloud: vantrel.PointCloud,
    *,
    frame_id: str = "",
    stamp: int = 0,
    msg_type: Any = None,
    int64_codes: bool = False,
) -> Any:
    """A sensor_msgs/PointCloud2 message of a PointCloud: the inverse of from_pointcloud2.

    Parameters:
        cloud: a PointCloud (read_pcd's, or from_pointcloud2's).
        frame_id: the header's frame_id.
        stamp: the header's stamp, in nanoseconds.
        msg_type: the message class to build (rclpy's or rospy's sensor_msgs.msg.PointCloud2, or a
            rosbags type); by default rosbags' PointCloud2 of its latest type store.
        int64_codes: write 64-bit integer fields with datatypes 9 and 10, which only the newest
            message definitions have.

    Returns:
        The message: the cloud's WIDTH and HEIGHT (an organized grid stays), its records' layout
        (point_step, each field's offset; padding stays as gaps), row_step = width x point_step,
        is_dense false when any x, y or z is NaN, and is_bigendian this machine's order.

    Raises:
        ValueError: naming a 64-bit integer field, unless int64_codes.

    Examples:
        >>> msg = vantrel.ros.to_pointcloud2(vantrel.read_pcd("kinect.pcd"), frame_id="camera", stamp=5)
        >>> msg.width, msg.height, [f.name for f in msg.fields]
        (50, 40, ['x', 'y', 'z'])
    """
    import numpy as np

    records, described = _records(cloud, int64_codes)
    cloud_type, point_field, header_type, time_type = _classes(msg_type)
    header = cloud.header
    seconds, nanoseconds = divmod(int(stamp), 1_000_000_000)
    time = _make(time_type, sec=seconds, nanosec=nanoseconds, secs=seconds, nsecs=nanoseconds)
    data: Any = records.reshape(-1).view(np.uint8)
    if not dataclasses.is_dataclass(cloud_type):
        data = data.tobytes()
    return _make(
        cloud_type,
        header=_make(header_type, stamp=time, frame_id=frame_id, seq=0),
        height=header.height if len(cloud) else 1,
        width=header.width if len(cloud) else 0,
        fields=[_make(point_field, name=n, offset=o, datatype=d, count=c) for n, o, d, c in described],
        is_bigendian=sys.byteorder == "big",
        point_step=records.dtype.itemsize,
        row_step=records.dtype.itemsize * (header.width if len(cloud) else 0),
        data=data,
        is_dense=_is_dense(cloud),
    )


# ---------------------------------------------------------------- bags


def stamp_of(msg: Any) -> int:
    """The message header's stamp in nanoseconds (ROS 2's sec/nanosec, or ROS 1's secs/nsecs)."""
    stamp = msg.header.stamp
    seconds = getattr(stamp, "sec", None)
    if seconds is None:
        return int(stamp.secs) * 1_000_000_000 + int(stamp.nsecs)
    return int(seconds) * 1_000_000_000 + int(stamp.nanosec)


def _messages(
    path: str | os.PathLike[str], topics: Sequence[str] | None, bar: bool = False
) -> Iterator[tuple[str, Any]]:
    """(topic, message) of the bag's PointCloud2 topics (or the topics named), in time order."""
    require("rosbags", "ros", "read_bag")
    from rosbags.highlevel import AnyReader, AnyReaderError
    from rosbags.typesys import Stores, get_typestore

    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(2, "No such bag", str(path))
    try:
        reader = AnyReader([path], default_typestore=get_typestore(Stores.LATEST))
        reader.open()
    except (AnyReaderError, OSError, ValueError) as error:
        raise MessageError(f"{path}: not a readable ROS bag: {error}") from error
    try:
        connections = _connections(path, reader.connections, topics)
        total = sum(connection.msgcount for connection in connections)
        messages: Iterator[Any] = reader.messages(connections=connections)
        if bar:
            messages = counted(messages, total, path.name, " msgs")
        for connection, _, raw in messages:
            yield connection.topic, reader.deserialize(raw, connection.msgtype)
    finally:
        reader.close()


def _connections(path: Path, connections: Iterable[Any], topics: Sequence[str] | None) -> list[Any]:
    """The connections of the topics asked for: each a PointCloud2 topic of the bag."""
    connections = list(connections)
    if topics is None:
        return [c for c in connections if c.msgtype == POINTCLOUD2]
    chosen = []
    for topic in topics:
        found = [c for c in connections if c.topic == topic]
        if not found:
            known = ", ".join(sorted({c.topic for c in connections})) or "none"
            raise MessageError(f"{path}: no topic {topic!r} in this bag; its topics are: {known}")
        for connection in found:
            if connection.msgtype != POINTCLOUD2:
                raise MessageError(f"{path}: topic {topic!r} is of type {connection.msgtype}, not {POINTCLOUD2}")
        chosen += found
    return chosen


def _cloud(path: str | os.PathLike[str], topic: str, msg: Any) -> vantrel.PointCloud:
    try:
        return from_pointcloud2(msg)
    except MessageError as error:
        raise MessageError(f"{path}: {topic} at stamp {stamp_of(msg)}: {error}") from None


def read_bag(
    path: str | os.PathLike[str], *, topics: Sequence[str] | None = None
) -> Iterator[tuple[str, int, vantrel.PointCloud]]:
    """The point clouds of a bag, message by message: (topic, stamp in nanoseconds, PointCloud).

    Parameters:
        path: a ROS 1 bag (.bag), or a ROS 2 bag (its folder, sqlite3 or MCAP).
        topics: the topics to read, each a PointCloud2 topic; by default every PointCloud2 topic.

    Yields:
        In the bag's time order, each message's topic, header stamp and cloud (from_pointcloud2):
        one message in memory at a time.

    Raises:
        FileNotFoundError: a bag that does not exist.
        MessageError: a file that is not a bag, a topic that is not in it or not a PointCloud2, or
            a message that is not a point cloud (naming the topic and stamp).

    Examples:
        >>> [(topic, stamp, len(cloud)) for topic, stamp, cloud in vantrel.ros.read_bag("drive.bag")]
        [('/points', 0, 2000), ('/points', 100000000, 2000)]
    """
    for topic, msg in _messages(path, topics):
        yield topic, stamp_of(msg), _cloud(path, topic, msg)


def _free_name(folder: Path, stamp: int, taken: set[Path]) -> Path:
    """<stamp>.pcd, or <stamp>-1.pcd, -2 ... when the stamp repeats: nothing is overwritten."""
    candidate = folder / f"{stamp}.pcd"
    serial = 0
    while candidate in taken or candidate.exists():
        serial += 1
        candidate = folder / f"{stamp}-{serial}.pcd"
    taken.add(candidate)
    return candidate


INDEX_COLUMNS = ("topic", "stamp_ns", "frame_id", "file", "points", "width", "height")


def bag_to_pcd(
    bag: str | os.PathLike[str],
    outdir: str | os.PathLike[str],
    *,
    topics: Sequence[str] | None = None,
    data: Data = "binary_compressed",
    progress: bool = False,
) -> dict[str, Any]:
    """One PCD file per PointCloud2 message, every field kept, and an index of them.

    Files are OUTDIR/<topic, / as _>/<stamp_ns>.pcd, with -1, -2 ... when a stamp repeats (no file
    is overwritten). OUTDIR/index.csv lists each (topic, stamp_ns, frame_id, file, points, width,
    height); when it exists already, the new rows are added to it.

    Returns:
        A summary: messages, points, files and seconds.

    Examples:
        >>> vantrel.ros.bag_to_pcd("drive.bag", "clouds")["messages"]
        2
    """
    start = time.perf_counter()
    data = as_data(data)
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    rows: list[dict[str, Any]] = []
    taken: set[Path] = set()
    # One message is written while the next is read: the write runs without the GIL. At most two
    # messages wait, so memory stays bounded by a few messages.
    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vantrel-bag-to-pcd") as writer:
        pending: collections.deque[concurrent.futures.Future[None]] = collections.deque()
        for topic, msg in _messages(bag, topics, bar=progress):
            cloud = _cloud(bag, topic, msg)
            stamp = stamp_of(msg)
            folder = outdir / topic.replace("/", "_")
            folder.mkdir(exist_ok=True)
            target = _free_name(folder, stamp, taken)
            pending.append(writer.submit(vantrel.write_pcd, target, cloud, data=data))
            header = cloud.header
            values = (topic, stamp, msg.header.frame_id, target.relative_to(outdir).as_posix())
            rows.append(dict(zip(INDEX_COLUMNS, (*values, header.points, header.width, header.height), strict=True)))
            if len(pending) > 1:
                pending.popleft().result()
        while pending:
            pending.popleft().result()
    _write_index(outdir / "index.csv", rows)
    return {
        "messages": len(rows),
        "points": sum(row["points"] for row in rows),
        "files": [str(outdir / row["file"]) for row in rows],
        "seconds": time.perf_counter() - start,
    }


def _write_index(path: Path, rows: list[dict[str, Any]]) -> None:
    """The index, with any rows it held before first; replaced only once complete."""
    earlier = path.read_text(encoding="utf-8") if path.exists() else ""
    with replacing(path) as partial, open(partial, "w", newline="", encoding="utf-8") as out:
        out.write(earlier)
        writer = csv.DictWriter(out, INDEX_COLUMNS)
        if not earlier:
            writer.writeheader()
        writer.writerows(rows)
