"""Bags that are damaged or hold no cloud, and bag-to-pcd's output folder: names that stay inside
it, runs at once, and reruns after a run was stopped."""

import contextlib
import csv
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

pytest.importorskip("rosbags")
from rosbags.highlevel import AnyReader  # noqa: E402
from rosbags.typesys import Stores, get_typestore  # noqa: E402
from test_ros import PC2, STORE, XYZ, cloud_of, values, write_bag  # noqa: E402

from vantrel import _bags, ros  # noqa: E402

BAGS = Path(__file__).parent / "data" / "bags"


def scans_bag(path, kind, count, topics=("/points",), stamp=lambda k: k):
    """A bag of `count` small clouds on each topic, each cloud's x its (topic, message) number."""
    store = get_typestore(Stores.ROS1_NOETIC) if kind == "ros1" else STORE
    messages = []
    for k in range(count):
        for t, topic in enumerate(topics):
            arrays = values(XYZ, 3, seed=k)
            arrays["x"][:] = t * 1000 + k
            msg = ros.to_pointcloud2(cloud_of(arrays), stamp=stamp(k), msg_type=store.types[PC2])
            messages.append((topic, 1 + k * len(topics) + t, msg))
    return write_bag(path, kind, messages)


def index_rows(out):
    return list(csv.DictReader((out / "index.csv").read_text(encoding="utf-8").splitlines()))


def assert_index_is_the_folder(out):
    """Every PCD under OUTDIR listed once, every row's file there, each file's cloud its row's."""
    rows = index_rows(out)
    files = sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file() and p.name != "index.csv")
    assert sorted(r["file"] for r in rows) == files
    for row in rows:
        assert int(vantrel.read_pcd_header(out / row["file"]).points) == int(row["points"])
    return rows


# ---------------------------------------------------------------- other projects' bags


@pytest.mark.parametrize("name", ["rosbags-rs__test_bag_mcap", "rosbags-rs__test_bag_sqlite3"])
def test_other_projects_bags_read_as_rosbags_reads_them(name):
    path = BAGS / name
    with AnyReader([path], default_typestore=get_typestore(Stores.LATEST)) as reader:
        connections = [c for c in reader.connections if c.msgtype == PC2]
        want = [reader.deserialize(raw, c.msgtype) for c, _, raw in reader.messages(connections=connections)]
    got = list(ros.read_bag(path))
    assert len(got) == len(want) == 2
    for (_, stamp, cloud), msg in zip(got, want, strict=True):
        assert stamp == msg.header.stamp.sec * 10**9 + msg.header.stamp.nanosec
        assert len(cloud) == msg.width * msg.height
        records = np.frombuffer(msg.data, np.uint8).reshape(len(cloud), msg.point_step)
        for field in msg.fields:
            want_values = records[:, field.offset : field.offset + 4].copy().view("<f4").reshape(-1)
            np.testing.assert_array_equal(cloud[field.name], want_values)


def test_a_bag_without_clouds_is_refused_listing_its_topics(tmp_path):
    bag = BAGS / "rosbag.js__fixtures_example.bag"
    with pytest.raises(ros.MessageError, match=r"no sensor_msgs/msg/PointCloud2 topic.*/rosout \(rosgraph_msgs"):
        list(ros.read_bag(bag))
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "bag-to-pcd", bag, tmp_path / "out"], capture_output=True, text=True
    )
    assert run.returncode == 1 and "Traceback" not in run.stderr
    assert "no sensor_msgs/msg/PointCloud2 topic" in run.stderr
    assert not (tmp_path / "out").exists()


# ---------------------------------------------------------------- damaged bags


@pytest.fixture(scope="module", params=["ros1", "sqlite3", "mcap"])
def sound_bag(request, tmp_path_factory):
    kind = request.param
    path = tmp_path_factory.mktemp(kind) / {"ros1": "b.bag", "sqlite3": "b", "mcap": "b"}[kind]
    scans_bag(path, kind, 10)
    data = path if kind == "ros1" else next(p for p in path.iterdir() if p.suffix in (".db3", ".mcap"))
    return path, data.relative_to(path.parent) if kind != "ros1" else Path(path.name), data.read_bytes()


@given(st.data())
@settings(max_examples=40, deadline=None)
def test_a_damaged_bag_gives_its_clouds_or_says_what_it_lost(sound_bag, tmp_path_factory, data):
    """A byte changed or the file cut anywhere: every message, fewer with a DataWarning giving both
    figures, or a MessageError naming the bag; never another exception."""
    path, relative, sound = sound_bag
    folder = tmp_path_factory.mktemp("damaged")
    if path.is_dir():
        (folder / path.name).mkdir()
        for other in path.iterdir():
            (folder / path.name / other.name).write_bytes(other.read_bytes())
    damaged = bytearray(sound)
    at = data.draw(st.integers(0, len(sound) - 1), label="at")
    if data.draw(st.booleans(), label="cut"):
        del damaged[at:]
    else:
        damaged[at] ^= 1 << data.draw(st.integers(0, 7), label="bit")
    (folder / relative).write_bytes(bytes(damaged))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = [stamp for _, stamp, _ in ros.read_bag(folder / path.name)]  # a changed byte may rename a field
        except ros.MessageError as error:
            assert str(folder / path.name) in str(error)
            return
    short = [w for w in caught if issubclass(w.category, vantrel.DataWarning)]
    if len(got) < 10:
        assert short and f"{len(got):,} of 10" in str(short[0].message)
    else:
        assert not short


def test_a_bag_cut_short_is_converted_as_far_as_it_goes_and_exits_1(tmp_path):
    path = scans_bag(tmp_path / "b.bag", "ros1", 10)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) * 2 // 3])
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "vantrel", "bag-to-pcd", path, out], capture_output=True, text=True)
    assert "Traceback" not in run.stderr and str(path) in run.stderr
    assert run.returncode == 1
    if out.exists() and (out / "index.csv").exists():
        assert_index_is_the_folder(out)


# ---------------------------------------------------------------- names in OUTDIR


TOPICS = st.text(st.sampled_from("/._-%aZ9~ é.."), max_size=12)


@given(st.lists(TOPICS, min_size=1, max_size=6, unique=True))
@settings(max_examples=200, deadline=None)
def test_topic_folders_stay_inside_never_collide_and_name_their_topic(topics):
    names = [_bags.topic_folder(topic) for topic in topics]
    assert len(set(names)) == len(names)
    for topic, name in zip(topics, names, strict=True):
        assert "/" not in name and name not in ("", ".", "..", "index.csv") and not name.startswith(".")
        assert _bags.folder_topic(name) == topic


@given(
    st.lists(st.sampled_from(["..", "/..", "/a/b", "/a_b", "index.csv", "/index/csv", "/", "a", "/a"]), min_size=1),
    st.lists(st.integers(0, 3), min_size=1, max_size=8),
)
@settings(max_examples=25, deadline=None)
def test_a_bag_of_any_topics_and_stamps_lands_inside_outdir_each_file_listed_once(tmp_path_factory, topics, stamps):
    root = tmp_path_factory.mktemp("run")
    topics = list(dict.fromkeys(topics))
    path = scans_bag(root / "b", "mcap", len(stamps), topics=topics, stamp=lambda k: stamps[k])
    out = root / "deep" / "out"
    summary = ros.bag_to_pcd(path, out, data="binary")
    assert summary["messages"] == len(topics) * len(stamps)
    assert all(Path(f).resolve().is_relative_to(out.resolve()) for f in summary["files"])
    assert sorted(p.name for p in root.iterdir()) == ["b", "deep"] and [p.name for p in out.parent.iterdir()] == ["out"]
    rows = assert_index_is_the_folder(out)
    assert len(rows) == len(topics) * len(stamps)
    for row in rows:
        assert row["file"].split("/")[0] == _bags.topic_folder(row["topic"])
        k = int(row["position"])
        assert int(row["stamp_ns"]) == stamps[k]
        assert vantrel.read_pcd(out / row["file"])["x"][0] == topics.index(row["topic"]) * 1000 + k


# ---------------------------------------------------------------- runs at once, runs stopped


def test_two_runs_at_once_into_one_outdir_lose_nothing(tmp_path):
    """Two bags of equal stamps and topics converted on two threads and in two processes: every
    cloud under a name of its own, each row's file holding its row's bag's cloud."""
    bags = [scans_bag(tmp_path / f"b{n}", "mcap", 30, stamp=lambda k: k // 3) for n in range(2)]
    out = tmp_path / "out"
    failures = []

    def run(bag):
        try:
            ros.bag_to_pcd(bag, out, data="binary")
        except BaseException as error:  # raised below
            failures.append(error)

    threads = [threading.Thread(target=run, args=(bag,)) for bag in bags]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    command = [sys.executable, "-m", "vantrel", "bag-to-pcd", "--overwrite"]
    out2 = tmp_path / "out2"
    runs = [subprocess.Popen([*command[:-1], bag, out2, "--data", "binary"]) for bag in bags]
    assert [p.wait() for p in runs] == [0, 0]
    for folder in (out, out2):
        rows = assert_index_is_the_folder(folder)
        assert len(rows) == 60
        for row in rows:
            assert vantrel.read_pcd(folder / row["file"])["x"][0] == int(row["position"])
        assert sorted((r["bag"], r["position"]) for r in rows) == sorted(
            (str(b.resolve()), str(k)) for b in bags for k in range(30)
        )


@contextlib.contextmanager
def stopping(at, failure):
    """ros._write failing at its call number `at` (0 first), as a full disk or Ctrl-C would."""
    real, calls = ros._write, []

    def failing(path, **kwargs):
        calls.append(path)
        if len(calls) > at:
            raise failure
        real(path, **kwargs)

    ros._write = failing
    try:
        yield
    finally:
        ros._write = real


@given(st.integers(0, 11), st.sampled_from([OSError(28, "No space left on device"), KeyboardInterrupt()]))
@settings(max_examples=12, deadline=None)
def test_a_run_stopped_at_any_message_is_completed_by_the_next(tmp_path_factory, at, failure):
    root = tmp_path_factory.mktemp("stop")
    path = scans_bag(root / "b", "sqlite3", 6, topics=("/a", "/b"), stamp=lambda k: 0)
    out = root / "out"
    with stopping(at, failure), pytest.raises(type(failure)):
        ros.bag_to_pcd(path, out, data="binary")
    if (out / "index.csv").exists():
        assert len(assert_index_is_the_folder(out)) == at
    summary = ros.bag_to_pcd(path, out, data="binary")
    assert (summary["messages"], summary["skipped"]) == (12 - at, at)
    rows = assert_index_is_the_folder(out)
    assert sorted((r["topic"], r["position"]) for r in rows) == sorted(
        (t, str(k)) for t in "/a /b".split() for k in range(6)
    )


def test_an_index_written_by_anyone_never_makes_a_run_touch_files_outside(tmp_path):
    path = scans_bag(tmp_path / "b", "mcap", 2)
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "precious.pcd").write_text("mine")
    (out / "index.csv").write_text("topic,file,extra\n/x,../precious.pcd,kept\n/y,/etc/passwd,\n")
    ros.bag_to_pcd(path, out, overwrite=True)
    ros.bag_to_pcd(path, out)
    assert (tmp_path / "precious.pcd").read_text() == "mine"
    assert len(assert_index_is_the_folder(out)) == 2


def test_ctrl_c_part_way_leaves_the_index_true_and_a_rerun_completes(tmp_path):
    """A real SIGINT once the first files have landed: exit 130, every file on disk listed once,
    nothing partial under a final name, and the next run converts only the rest."""
    import os
    import signal
    import time

    path = scans_bag(tmp_path / "b", "mcap", 300)
    out = tmp_path / "out"
    run = subprocess.Popen(
        [sys.executable, "-m", "vantrel", "bag-to-pcd", path, out, "--data", "ascii"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and run.poll() is None:
        if (out / "index.csv").exists() and len((out / "index.csv").read_text().splitlines()) > 3:
            os.kill(run.pid, signal.SIGINT)
            break
        time.sleep(0.005)
    _, stderr = run.communicate(timeout=60)
    assert run.returncode in (0, 130), stderr
    done = len(assert_index_is_the_folder(out))
    assert not [p for p in out.rglob(".*")]  # no scratch file left
    summary = ros.bag_to_pcd(path, out, data="binary")
    assert (summary["skipped"], summary["messages"]) == (done, 300 - done)
    assert len(assert_index_is_the_folder(out)) == 300
