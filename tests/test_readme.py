"""Every Python block of the README runs as written, against files made under the names it uses."""

import io
import pathlib
import re
import tarfile
import warnings

import numpy as np
import pytest

import vantrel
from pcdfile import header

README = pathlib.Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def make_files(folder):
    rng = np.random.default_rng(0)
    points = rng.standard_normal((2000, 3)).astype(np.float32)
    fields = {"intensity": rng.random(2000).astype(np.float32)}
    vantrel.write_pcd(folder / "scan.pcd", fields, points=points)
    vantrel.write_pcd(folder / "a.pcd", fields, points=points, data="ascii")
    vantrel.write_pcd(folder / "map.pcd", fields, points=points, data="binary")
    vantrel.write_pcd(folder / "kinect.pcd", {}, points=points, width=50, height=40, viewpoint=(1, 2, 3, 1, 0, 0, 0))
    rgb = vantrel.pack_rgb(rng.integers(0, 256, (2000, 3)), dtype=np.float32)
    vantrel.write_pcd(folder / "colored.pcd", {"rgb": rgb}, points=points)
    (folder / "maybe-truncated.pcd").write_bytes(header(points=3) + b"1 2 3\n")
    (folder / "scans").mkdir()
    for i in range(3):
        vantrel.write_pcd(folder / "scans" / f"{i:04}.pcd", fields, points=points + i, data="binary")
    make_bag(folder / "drive.bag", points, fields)
    with tarfile.open(folder / "shard-0001.tar", "w") as tar:
        for i in range(2):
            data = (folder / "scan.pcd").read_bytes()
            info = tarfile.TarInfo(f"scans/{i}.pcd")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))


def make_bag(path, points, fields):
    """A ROS 1 bag of two scans on /points, as a recorder writes it."""
    rosbag1 = pytest.importorskip("rosbags.rosbag1")
    from rosbags.typesys import Stores, get_typestore

    from vantrel import ros

    store = get_typestore(Stores.ROS1_NOETIC)
    msgtype = "sensor_msgs/msg/PointCloud2"
    buffer = io.BytesIO()
    vantrel.write_pcd(buffer, fields, points=points)
    buffer.seek(0)
    cloud = vantrel.read_pcd(buffer)
    with rosbag1.Writer(path) as bag:
        connection = bag.add_connection("/points", msgtype, typestore=store)
        for k in range(2):
            msg = ros.to_pointcloud2(cloud, frame_id="lidar", stamp=k * 100_000_000, msg_type=store.types[msgtype])
            bag.write(connection, k * 100_000_000, store.serialize_ros1(msg, msgtype))


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block-{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(tmp_path, monkeypatch, code):
    make_files(tmp_path)
    monkeypatch.chdir(tmp_path)
    threads = vantrel.get_num_threads()
    try:
        with warnings.catch_warnings():
            exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    finally:
        vantrel.set_num_threads(threads)


def test_every_python_block_is_found():
    assert len(BLOCKS) >= 10 and all("import vantrel" in block for block in BLOCKS)
