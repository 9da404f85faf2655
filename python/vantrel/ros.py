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
import dataclasses
import functools
import importlib
import os
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import vantrel
from vantrel._bags import (
    COLUMNS,
    POINTCLOUD2,
    MessageError,
    Outdir,
    OutdirError,
    connections_count,
    opened,
    topic_folder,
)
from vantrel._chunks import counted
from vantrel._extras import require
from vantrel._types import Data, as_data

if TYPE_CHECKING:
    import numpy as np

__all__ = ["MessageError", "OutdirError", "bag_to_pcd", "from_pointcloud2", "read_bag", "to_pointcloud2"]

# PointField's datatypes: 1 to 8 since ROS began, 9 and 10 (INT64, UINT64) in the newest definitions.
DTYPES = {1: "i1", 2: "u1", 3: "i2", 4: "u2", 5: "i4", 6: "u4", 7: "f4", 8: "f8", 9: "i8", 10: "u8"}
CODES = {dtype: code for code, dtype in DTYPES.items()}
INT32_MAX = 2**31 - 1


# ---------------------------------------------------------------- messages to clouds


def _layout(msg: Any) -> tuple[np.dtype[Any], int, int, int]:
    """The records' dtype (in the message's byte order), and width, height and row_step, checked."""
    import numpy as np

    width, height, step, row_step = (int(msg.width), int(msg.height), int(msg.point_step), int(msg.row_step))
    if min(width, height, step, row_step) < 0:
        raise MessageError("width, height, point_step and row_step cannot be negative")
    if step > INT32_MAX:  # NumPy's records are at most this wide
        raise MessageError(f"point_step {step} is beyond the {INT32_MAX} bytes a record may hold")
    if not msg.fields:
        raise MessageError("the message has no fields")
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
    path: str | os.PathLike[str], reader: Any, connections: list[Any], bar: bool = False, report: Any = None
) -> Iterator[tuple[str, int, int, Any]]:
    """(topic, position in the topic, header stamp, message) of the connections, in time order. Any failure of
    the bag's reading is a MessageError naming where it happened; once read, the messages of
    each topic are counted against the bag's own count, and fewer is a DataWarning."""
    total = sum(connection.msgcount for connection in connections)
    messages: Iterator[Any] = reader.messages(connections=connections)
    if bar:
        messages = counted(messages, total, Path(path).name, " msgs")
    read: collections.Counter[str] = collections.Counter()
    last = ""
    while True:
        try:
            item = next(messages, None)
        except Exception as error:
            raise MessageError(f"{path}: the bag cannot be read{last}: {type(error).__name__}: {error}") from error
        if item is None:
            break
        connection, at, raw = item
        try:
            msg = reader.deserialize(raw, connection.msgtype)
            stamp = stamp_of(msg)
        except Exception as error:
            raise MessageError(
                f"{path}: {connection.topic}: the message at {at} ns of bag time cannot be decoded: "
                f"{type(error).__name__}: {error}"
            ) from error
        yield connection.topic, read[connection.topic], stamp, msg
        read[connection.topic] += 1
        last = f" after {connection.topic} at stamp {stamp}"
    missing = connections_count(path, connections, read)
    if report is not None:
        report["missing"] = missing


def _cloud(path: str | os.PathLike[str], topic: str, msg: Any) -> vantrel.PointCloud:
    try:
        return from_pointcloud2(msg)
    except Exception as error:  # a message of any shape: the bag, topic and stamp named
        words = str(error) if isinstance(error, MessageError) else f"{type(error).__name__}: {error}"
        raise MessageError(f"{path}: {topic} at stamp {stamp_of(msg)}: {words}") from error


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
        MessageError: a file that is not a bag, a bag with no PointCloud2 topic (its topics and
            types listed), a topic that is not in it or not a PointCloud2, a bag that cannot be
            read part way, or a message that is not a point cloud (naming the topic and stamp);
            the library's own error chained.

    Warns:
        DataWarning: fewer messages of a topic were read than the bag lists, with both figures.

    Examples:
        >>> [(topic, stamp, len(cloud)) for topic, stamp, cloud in vantrel.ros.read_bag("drive.bag")]
        [('/points', 0, 2000), ('/points', 100000000, 2000)]
    """
    with opened(path, topics) as (reader, connections):
        for topic, _, stamp, msg in _messages(path, reader, connections):
            yield topic, stamp, _cloud(path, topic, msg)


INDEX_COLUMNS = COLUMNS


def bag_to_pcd(
    bag: str | os.PathLike[str],
    outdir: str | os.PathLike[str],
    *,
    topics: Sequence[str] | None = None,
    data: Data = "binary_compressed",
    progress: bool = False,
    overwrite: bool = False,
) -> dict[str, Any]:
    """One PCD file per PointCloud2 message, every field kept, and an index of them.

    Files are OUTDIR/<topic's folder>/<stamp_ns>.pcd, with -1, -2 ... when a stamp repeats (no
    file is overwritten, by this run or another at once). A topic's folder is its name with / as .
    and any character but letters, digits, _ and - as %XX (/lidar/points: lidar.points), so it
    stays inside OUTDIR and is no other topic's. OUTDIR/index.csv lists each file as it lands
    (topic, stamp_ns, frame_id, file, points, width, height, bag, position: the message's place
    in its topic), so after any run, stopped or not, it lists exactly the files on disk. A second
    run into the same OUTDIR converts only the messages whose file is not there yet; with
    `overwrite`, the files the index lists are removed first and every message converted again.

    Returns:
        A summary: messages (converted by this run), skipped (converted before), points, files
        and seconds, and missing: how many messages the bag lists but could not give (each topic
        short of them is a DataWarning).

    Examples:
        >>> vantrel.ros.bag_to_pcd("drive.bag", "clouds")["messages"]
        2
    """
    start = time.perf_counter()
    data = as_data(data)
    outdir = Path(outdir)
    with opened(bag, topics) as (reader, connections):
        outdir.mkdir(parents=True, exist_ok=True)
        folders = {c.topic: topic_folder(c.topic) for c in connections}  # refused before anything is written
        out = Outdir(outdir)
        done = out.start(overwrite)
        summary = _convert(bag, reader, connections, out, folders, done, data, progress)
    summary["files"] = [str(outdir / file) for file in summary["files"]]
    summary["seconds"] = time.perf_counter() - start
    return summary


def _convert(
    bag: str | os.PathLike[str],
    reader: Any,
    connections: list[Any],
    out: Outdir,
    folders: dict[str, str],
    done: set[tuple[str, str, str, str]],
    data: Data,
    progress: bool,
) -> dict[str, Any]:
    """bag_to_pcd's messages, each not done already landed in OUTDIR: a summary."""
    bag_id = str(Path(bag).resolve())
    files: list[str] = []
    points = skipped = 0
    report = {"missing": 0}
    # One message is written while the next is read: the write runs without the GIL. At most
    # two messages wait, so memory stays bounded by a few messages. Files land (and their rows
    # are appended) on the writing thread, which Ctrl-C never stops part way.
    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vantrel-bag-to-pcd") as writer:
        pending: collections.deque[concurrent.futures.Future[str]] = collections.deque()
        for topic, position, stamp, msg in _messages(bag, reader, connections, progress, report):
            if (bag_id, topic, str(stamp), str(position)) in done:
                skipped += 1
                continue
            cloud = _cloud(bag, topic, msg)
            header = cloud.header
            values = (topic, stamp, msg.header.frame_id, "", header.points, header.width, header.height)
            row = dict(zip(COLUMNS, (*values, bag_id, position), strict=True))
            write = functools.partial(_write, cloud=cloud, data=data)
            pending.append(writer.submit(out.land, folders[topic], stamp, write, row))
            points += header.points
            if len(pending) > 1:
                files.append(pending.popleft().result())
        while pending:
            files.append(pending.popleft().result())
    return {"messages": len(files), "skipped": skipped, "points": points, "files": files, "missing": report["missing"]}


def _write(path: Path, *, cloud: vantrel.PointCloud, data: Data) -> None:
    vantrel.write_pcd(path, cloud, data=data)
