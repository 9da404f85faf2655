"""The small files the manual's examples (and the README's) read: made under the names they use."""

import io
import pathlib
import tarfile

import numpy as np

import vantrel

# Three points declared, one held.
TRUNCATED = (
    b"VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 3\nHEIGHT 1\nPOINTS 3\nDATA ascii\n1 2 3\n"
)


def make_files(folder: pathlib.Path) -> None:
    rng = np.random.default_rng(0)
    points = rng.standard_normal((2000, 3)).astype(np.float32)
    fields = {"intensity": rng.random(2000).astype(np.float32)}
    vantrel.write_pcd(folder / "scan.pcd", fields, points=points)
    vantrel.write_pcd(folder / "a.pcd", fields, points=points, data="ascii")
    vantrel.write_pcd(folder / "map.pcd", fields, points=points, data="binary")
    vantrel.write_pcd(folder / "kinect.pcd", {}, points=points, width=50, height=40, viewpoint=(1, 2, 3, 1, 0, 0, 0))
    rgb = vantrel.pack_rgb(rng.integers(0, 256, (2000, 3)), dtype=np.float32)
    vantrel.write_pcd(folder / "colored.pcd", {"rgb": rgb}, points=points)
    (folder / "maybe-truncated.pcd").write_bytes(TRUNCATED)
    (folder / "scans").mkdir(exist_ok=True)
    for i in range(3):
        vantrel.write_pcd(folder / "scans" / f"{i:04}.pcd", fields, points=points + i, data="binary")
    make_bag(folder / "drive.bag", points, fields)
    with tarfile.open(folder / "shard-0001.tar", "w") as tar:
        for i in range(2):
            data = (folder / "scan.pcd").read_bytes()
            info = tarfile.TarInfo(f"scans/{i}.pcd")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))


def make_bag(path: pathlib.Path, points: np.ndarray, fields: dict) -> None:
    """A ROS 1 bag of two scans on /points, as a recorder writes it (when rosbags is installed)."""
    try:
        from rosbags import rosbag1
        from rosbags.typesys import Stores, get_typestore
    except ImportError:
        return
    from vantrel import ros

    store = get_typestore(Stores.ROS1_NOETIC)
    msgtype = "sensor_msgs/msg/PointCloud2"
    buffer = io.BytesIO()
    vantrel.write_pcd(buffer, fields, points=points)
    buffer.seek(0)
    cloud = vantrel.read_pcd(buffer)
    path.unlink(missing_ok=True)
    with rosbag1.Writer(path) as bag:
        connection = bag.add_connection("/points", msgtype, typestore=store)
        for k in range(2):
            msg = ros.to_pointcloud2(cloud, frame_id="lidar", stamp=k * 100_000_000, msg_type=store.types[msgtype])
            bag.write(connection, k * 100_000_000, store.serialize_ros1(msg, msgtype))
