"""What vantrel.ros builds its bags on: a bag opened with its PointCloud2 connections, its
messages counted against the bag's own counts, the errors of both; and bag-to-pcd's output
folder: a folder name per topic that stays inside OUTDIR and is never another topic's, files that
land under a name no other run holds, and index.csv, which lists exactly the files on disk after
any run and tells a rerun what is done already.

Every change to OUTDIR's names and to its index is made under an exclusive lock on OUTDIR itself
(flock), so runs at once, in threads or processes, take turns at it: a file is written beside its
folder, then linked under the first free name (a link never replaces a file) and its row appended
before the lock is let go. A row whose file is gone is dropped when a run starts.
"""

from __future__ import annotations

import collections
import contextlib
import csv
import errno
import fcntl
import os
import string
import tempfile
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any
from urllib.parse import unquote

import vantrel
from vantrel._extras import require

POINTCLOUD2 = "sensor_msgs/msg/PointCloud2"
INDEX = "index.csv"
COLUMNS = ("topic", "stamp_ns", "frame_id", "file", "points", "width", "height", "bag", "position")
_KEPT = frozenset(string.ascii_letters + string.digits + "_-")
_FULL = "%%"  # opens the name of a topic that is not written as a readable name; no escape gives it
_NAME_BYTES = 255


class MessageError(vantrel.Error, ValueError):
    """A PointCloud2 message (or a bag) whose contents cannot be a point cloud: what is wrong, and
    where (the bag, topic and stamp, when it came from one)."""

    __module__ = "vantrel.ros"


class OutdirError(vantrel.Error, ValueError):
    """OUTDIR cannot hold a run's files: a topic whose name cannot be a folder's, or an index this
    cannot read."""

    __module__ = "vantrel.ros"


def _escaped(text: str) -> str:
    return "".join(c if c in _KEPT else "".join(f"%{b:02X}" for b in c.encode("utf-8", "surrogatepass")) for c in text)


def topic_folder(topic: str) -> str:
    """The folder of a topic's files: /lidar/points is lidar.points; any character but letters,
    digits, _ and - is %XX (its UTF-8 bytes), so a name is never a path, never '.' or '..', never
    index.csv, and no two topics share one. A topic that is not / then parts (a relative topic,
    an empty part) is written whole after %%."""
    parts = topic[1:].split("/") if topic.startswith("/") else []
    name = ".".join(_escaped(part) for part in parts) if parts and all(parts) else _FULL + _escaped(topic)
    if name == INDEX:
        name = _FULL + _escaped(topic)
    if len(name.encode()) > _NAME_BYTES:
        raise OutdirError(f"topic {topic[:60]!r}... is too long for a folder name ({len(name)} bytes, at most 255)")
    return name


def folder_topic(name: str) -> str:
    """The topic of a folder named by topic_folder."""
    if name.startswith(_FULL):
        return unquote(name[len(_FULL) :], errors="surrogatepass")
    return "/" + "/".join(unquote(part, errors="surrogatepass") for part in name.split("."))


def _inside(root: Path, file: str) -> bool:
    """A row's file: a relative path of plain parts that stays in OUTDIR, links followed, so that
    an index written by anyone never makes a run touch a file elsewhere."""
    parts = file.split("/")
    if not file or file.startswith("/") or any(p in ("", ".", "..") for p in parts):
        return False
    return (root / file).resolve().is_relative_to(root.resolve())


class Outdir:
    """OUTDIR and its index (see the module's comment)."""

    def __init__(self, outdir: Path) -> None:
        self.root = outdir
        self.index = outdir / INDEX

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        fd = os.open(self.root, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)  # lets the lock go

    def _rows(self) -> tuple[list[str], list[dict[str, str]]]:
        """The index's columns and rows (none when it does not exist)."""
        try:
            with open(self.index, newline="", encoding="utf-8") as f:
                reader = csv.DictReader(f)
                rows = [{k: v for k, v in row.items() if isinstance(k, str)} for row in reader]
                return list(reader.fieldnames or ()), rows
        except FileNotFoundError:
            return [], []
        except (csv.Error, UnicodeDecodeError, ValueError) as error:
            raise OutdirError(
                f"{self.index}: not an index this can read ({error}); move it aside, or pass --overwrite"
            ) from error

    def start(self, overwrite: bool) -> set[tuple[str, str, str, str]]:
        """The index made true (rows whose file is gone dropped; with overwrite, every file it
        lists removed and the index with them), and the (bag, topic, stamp_ns, position) of each
        message whose file is on disk."""
        with self.locked():
            columns, rows = self._rows()
            if overwrite:
                for row in rows:
                    file = row.get("file") or ""
                    if _inside(self.root, file):
                        (self.root / file).unlink(missing_ok=True)
                        with contextlib.suppress(OSError):  # the topic's folder, once empty
                            (self.root / file).parent.rmdir()
                self.index.unlink(missing_ok=True)
                return set()
            true = [
                row for row in rows if _inside(self.root, row.get("file") or "") and (self.root / row["file"]).is_file()
            ]
            wanted = list(COLUMNS) + [c for c in columns if c not in COLUMNS]
            if rows and (true != rows or columns != wanted):
                with open(self.index, "r+", newline="", encoding="utf-8") as f:  # in place: others append to it
                    writer = csv.DictWriter(f, wanted, restval="")
                    writer.writeheader()
                    writer.writerows(true)
                    f.truncate()
            return {
                (r.get("bag") or "", r.get("topic") or "", r.get("stamp_ns") or "", r.get("position") or "")
                for r in true
            }

    def land(self, folder: str, stamp: int, write: Callable[[Path], None], row: dict[str, Any]) -> str:
        """A file written by write(path) beside its folder, then under the folder's first free
        name of <stamp>.pcd, <stamp>-1.pcd ..., its row appended to the index; its name under OUTDIR."""
        where = self.root / folder
        where.mkdir(exist_ok=True)
        fd, scratch = tempfile.mkstemp(prefix=".vantrel-", suffix=".part", dir=where)
        os.close(fd)
        try:
            write(Path(scratch))
            with self.locked():
                name = self._link(Path(scratch), where, stamp)
                try:
                    self._append({**row, "file": f"{folder}/{name}"})
                except BaseException:
                    (where / name).unlink(missing_ok=True)
                    raise
        finally:
            Path(scratch).unlink(missing_ok=True)
        return f"{folder}/{name}"

    @staticmethod
    def _link(scratch: Path, where: Path, stamp: int) -> str:
        serial = 0
        while True:
            name = f"{stamp}.pcd" if serial == 0 else f"{stamp}-{serial}.pcd"
            try:
                os.link(scratch, where / name)
                return name
            except FileExistsError:
                serial += 1
            except OSError as error:  # a file system without links: the name reserved, then replaced
                if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
                    raise
                try:
                    os.close(os.open(where / name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
                except FileExistsError:
                    serial += 1
                    continue
                os.replace(scratch, where / name)
                return name

    def _append(self, row: dict[str, Any]) -> None:
        with open(self.index, "a+", newline="", encoding="utf-8") as f:
            f.seek(0)
            first = f.readline()
            columns = next(csv.reader([first])) if first.strip() else []
            f.seek(0, os.SEEK_END)
            writer = csv.DictWriter(f, columns or list(COLUMNS), restval="", extrasaction="ignore")
            if not columns:
                writer.writeheader()
            writer.writerow(row)


# ---------------------------------------------------------------- reading


@contextlib.contextmanager
def opened(path: str | os.PathLike[str], topics: Sequence[str] | None) -> Iterator[tuple[Any, list[Any]]]:
    """The bag's reader and the connections of the topics asked for, refused before anything is
    read when it has none."""
    require("rosbags", "ros", "read_bag")
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(2, "No such bag", str(path))
    try:
        reader = AnyReader([path], default_typestore=get_typestore(Stores.LATEST))
        reader.open()
    except Exception as error:  # rosbags', sqlite's and MCAP's own errors alike
        raise MessageError(f"{path}: not a readable ROS bag: {type(error).__name__}: {error}") from error
    try:
        yield reader, _connections(path, reader.connections, topics)
    finally:
        with contextlib.suppress(Exception):
            reader.close()


def connections_count(path: str | os.PathLike[str], connections: list[Any], read: collections.Counter[str]) -> int:
    listed: collections.Counter[str] = collections.Counter()
    for connection in connections:
        listed[connection.topic] += max(int(connection.msgcount or 0), 0)
    short = [(topic, read[topic], count) for topic, count in listed.items() if read[topic] < count]
    if short:
        figures = "; ".join(f"{topic}: {got:,} of {count:,}" for topic, got, count in short)
        warnings.warn(
            f"{path}: fewer messages than the bag lists were read ({figures}): the bag is damaged",
            vantrel.DataWarning,
            stacklevel=4,
        )
    return sum(count - got for _, got, count in short)


def _connections(path: Path, connections: Iterable[Any], topics: Sequence[str] | None) -> list[Any]:
    """The connections of the topics asked for: each a PointCloud2 topic of the bag."""
    connections = list(connections)
    if topics is None:
        chosen = [c for c in connections if c.msgtype == POINTCLOUD2]
        if not chosen:  # rosbags reads every topic when given none
            known = ", ".join(sorted({f"{c.topic} ({c.msgtype})" for c in connections})) or "none"
            raise MessageError(f"{path}: no {POINTCLOUD2} topic in this bag; its topics are: {known}")
        return chosen
    chosen = []
    for topic in topics:
        found = [c for c in connections if c.topic == topic]
        if not found:
            known = ", ".join(sorted({c.topic for c in connections})) or "none"
            raise MessageError(f"{path}: no topic {topic!r} in this bag; its topics are: {known}")
        for connection in found:
            if connection.msgtype != POINTCLOUD2:
                raise MessageError(f"{path}: topic {topic!r} is of type {connection.msgtype}, not {POINTCLOUD2}")
        chosen += [c for c in found if c not in chosen]  # a topic named twice is read once
    return chosen
