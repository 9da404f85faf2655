"""ROS bags, LAZ, PLY and Parquet: bag-to-pcd against reading the bag with rosbags alone and writing
the same clouds with write_pcd (and pypcd4's from_msg + save beside it); PCD to LAZ against laspy
writing the same arrays itself; read_las and read_ply against laspy and plyfile reading the same
files and giving each dimension as an array; PCD to Parquet and back against write_pcd of the same
records in binary; and the peak memory of each chunked conversion for two map sizes.

    python bench/formats.py [--messages 200] [--points 100000] [--maps 2000000 12000000] [--no-laz]
        [--no-reads] [--no-parquet]

The bag (ROS 2, MCAP) holds lidar messages of 8 fields with padding between fields and after each
row, as drivers send them; it is made once into bench/out. pypcd4 runs in the benchmark
environment (.venv-bench, made by `make bench`), and is left out when it is not there.
"""

import argparse
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from tools import map_path

import vantrel
from clouds import OUT
from vantrel import las, ply

HERE = pathlib.Path(__file__).parent
BENCH_PY = HERE.parent / ".venv-bench" / "bin" / "python"
ROWS = 16  # an organized scan: 16 rings
PC2 = "sensor_msgs/msg/PointCloud2"
SPEC = [  # name, dtype, offset: 8 fields in a 48-byte point, with gaps
    ("x", "<f4", 0),
    ("y", "<f4", 4),
    ("z", "<f4", 8),
    ("intensity", "<f4", 16),
    ("ring", "<u2", 20),
    ("reflectivity", "<u2", 22),
    ("t", "<f8", 24),
    ("rgb", "<u4", 32),
]
STEP, ROW_PAD = 48, 64


def bag_path(messages, points):
    """A ROS 2 MCAP bag of `messages` scans of `points` points each (made once)."""
    from rosbags.rosbag2 import StoragePlugin, Writer
    from rosbags.typesys import Stores, get_typestore

    path = OUT / f"bag_{messages}x{points}"
    if path.exists():
        return path
    store = get_typestore(Stores.LATEST)
    types = store.types
    width = points // ROWS
    dtype = np.dtype(
        {
            "names": [s[0] for s in SPEC],
            "formats": [s[1] for s in SPEC],
            "offsets": [s[2] for s in SPEC],
            "itemsize": STEP,
        }
    )
    codes = {"<f4": 7, "<u2": 4, "<f8": 8, "<u4": 6}
    fields = [types["sensor_msgs/msg/PointField"](name=n, offset=o, datatype=codes[d], count=1) for n, d, o in SPEC]
    rng = np.random.default_rng(5)
    partial = path.with_name(path.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    with Writer(partial, version=9, storage_plugin=StoragePlugin.MCAP) as bag:
        connection = bag.add_connection("/lidar/points", PC2, typestore=store)
        for k in range(messages):
            records = np.zeros(width * ROWS, dtype)
            for name in ("x", "y", "z", "intensity"):
                records[name] = rng.normal(0, 30, len(records))
            records["ring"] = np.repeat(np.arange(ROWS), width)
            records["reflectivity"] = rng.integers(0, 65535, len(records))
            records["t"] = 1.7e9 + k * 0.1 + np.arange(len(records)) * 1e-7
            records["rgb"] = rng.integers(0, 2**24, len(records))
            rows = np.zeros((ROWS, width * STEP + ROW_PAD), np.uint8)
            rows[:, : width * STEP] = records.view(np.uint8).reshape(ROWS, -1)
            stamp = 1_700_000_000_000_000_000 + k * 100_000_000
            header = types["std_msgs/msg/Header"](
                stamp=types["builtin_interfaces/msg/Time"](sec=stamp // 10**9, nanosec=stamp % 10**9), frame_id="os"
            )
            msg = types[PC2](
                header=header,
                height=ROWS,
                width=width,
                fields=fields,
                is_bigendian=False,
                point_step=STEP,
                row_step=width * STEP + ROW_PAD,
                data=rows.reshape(-1),
                is_dense=True,
            )
            bag.write(connection, stamp, store.serialize_cdr(msg, PC2))
    partial.rename(path)
    return path


def read_bag_alone(path):
    """rosbags alone: every message read and deserialized."""
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    with AnyReader([path], default_typestore=get_typestore(Stores.LATEST)) as reader:
        for connection, _, raw in reader.messages():
            reader.deserialize(raw, connection.msgtype)


PYPCD4 = """
import pathlib, sys, time
import pypcd4
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_typestore
out = pathlib.Path(sys.argv[2])
start = time.perf_counter()
try:
    with AnyReader([pathlib.Path(sys.argv[1])], default_typestore=get_typestore(Stores.LATEST)) as reader:
        for connection, stamp, raw in reader.messages():
            msg = reader.deserialize(raw, connection.msgtype)
            pypcd4.PointCloud.from_msg(msg).save(out / f"{stamp}.pcd")
    print(time.perf_counter() - start)
except Exception as error:
    print("failed:", type(error).__name__, str(error).splitlines()[0])
"""


def bench_bag(args, scratch):
    from vantrel import ros

    path = bag_path(args.messages, args.points)
    size = sum(f.stat().st_size for f in path.rglob("*") if f.is_file())
    print(f"bag of {args.messages} messages x {args.points:,} points (8 fields, row padding): {size / 1e6:.0f} MB")
    read_bag_alone(path)  # warm the page cache
    clouds = [cloud for _, _, cloud in ros.read_bag(path)]  # the same clouds, held for write_pcd alone
    rows = []
    for _ in range(args.repeats):
        start = time.perf_counter()
        read_bag_alone(path)
        reading = time.perf_counter() - start
        target = scratch / "alone"
        target.mkdir()
        start = time.perf_counter()
        for k, cloud in enumerate(clouds):
            vantrel.write_pcd(target / f"{k}.pcd", cloud)
        writing = time.perf_counter() - start
        start = time.perf_counter()
        ros.bag_to_pcd(path, scratch / "ours")
        ours = time.perf_counter() - start
        rows.append((reading, writing, ours))
        shutil.rmtree(target)
        shutil.rmtree(scratch / "ours")
    reading, writing, ours = (min(r[k] for r in rows) for k in range(3))
    print(f"  rosbags read alone {reading:.2f} s + write_pcd alone {writing:.2f} s = {reading + writing:.2f} s")
    print(f"  vantrel bag-to-pcd {ours:.2f} s: at {(reading + writing) / ours:.2f} of the speed of the two alone")
    if BENCH_PY.exists():
        target = scratch / "pypcd4"
        target.mkdir()
        run = subprocess.run([str(BENCH_PY), "-c", PYPCD4, str(path), str(target)], capture_output=True, text=True)
        print(f"  pypcd4 from_msg + save: {run.stdout.strip() or run.stderr.strip().splitlines()[-1]}")
        shutil.rmtree(target)


CHILD = """
import json, sys, time
from vantrel import las

def peak_mb():  # VmHWM starts again at exec; ru_maxrss would carry the parent's peak
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024

import laspy, lazrs
before = peak_mb()
start = time.perf_counter()
las.pcd_to_las(sys.argv[1], sys.argv[2])
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "grown_mb": peak_mb() - before}))
"""


def laspy_alone(source, target):
    """laspy writing the same arrays itself: the points in memory, x y z scaled, intensity and the
    rest as extra bytes."""
    import laspy

    cloud = vantrel.read_pcd(source)
    header = laspy.LasHeader(point_format=7, version="1.4")
    extras = [name for name in cloud.fields if name not in ("x", "y", "z", "intensity", "rgb")]
    header.add_extra_dims([laspy.ExtraBytesParams(name, cloud[name].dtype) for name in extras])
    header.scales, header.offsets = [0.001] * 3, [np.floor(cloud[a].min()) for a in "xyz"]
    start = time.perf_counter()
    data = laspy.LasData(header)
    data.x, data.y, data.z = cloud["x"], cloud["y"], cloud["z"]
    data.intensity = cloud["intensity"].astype(np.uint16)
    colors = vantrel.unpack_rgb(cloud["rgb"]).astype(np.uint16) * 257
    data.red, data.green, data.blue = colors[:, 0], colors[:, 1], colors[:, 2]
    for name in extras:
        data[name] = cloud[name]
    data.write(target)
    return time.perf_counter() - start


def bench_laz(args, scratch):
    for points in args.maps:
        source = map_path(points)
        runs = []
        for _ in range(args.repeats):
            run = subprocess.run(
                [sys.executable, "-c", CHILD, str(source), str(scratch / "ours.laz")], capture_output=True, text=True
            )
            if run.returncode:
                raise RuntimeError(run.stderr)
            runs.append(json.loads(run.stdout))
        ours = min(r["seconds"] for r in runs)
        grown = max(r["grown_mb"] for r in runs)
        line = f"{points:>12,} points: vantrel PCD -> LAZ {ours:.2f} s (chunked, file to file), grows by {grown:.0f} MB"
        if points == args.maps[0]:
            alone = min(laspy_alone(source, scratch / "alone.laz") for _ in range(args.repeats))
            line += f"; laspy alone, arrays in memory: {alone:.2f} s (vantrel at {ours / alone:.2f} of its time)"
        print(line)


READ_CHILD = """
import sys, time
import numpy as np
import laspy, plyfile
from vantrel import las, ply

def laspy_arrays(path):  # every dimension as an array: x y z scaled, bit fields unpacked
    data = laspy.read(path)
    out = {axis: np.asarray(getattr(data, axis)) for axis in "xyz"}
    out.update((d, np.asarray(data[d])) for d in data.point_format.dimension_names if d not in "XYZ")
    return out

def plyfile_arrays(path):
    vertex = plyfile.PlyData.read(path)["vertex"].data
    return {name: np.ascontiguousarray(vertex[name]) for name in vertex.dtype.names}

who, path = sys.argv[1:3]
if who == "vantrel":
    read = ply.read_ply if path.endswith(".ply") else las.read_las
else:
    read = plyfile_arrays if path.endswith(".ply") else laspy_arrays
start = time.perf_counter()
read(path)
print(time.perf_counter() - start)
"""


def bench_reads(args, scratch):
    """Each read in a fresh process (the first large allocation of a process costs most), the two
    alternating, the best of --repeats."""
    source = map_path(args.maps[0])
    files = [scratch / "map.laz", scratch / "map.las", scratch / "map.ply"]
    for path in files[:2]:
        las.pcd_to_las(source, path)
    ply.write_ply(files[2], vantrel.read_pcd(source))
    for path in files:
        best = {}
        for _ in range(args.repeats):
            for who in ("vantrel", "peer"):
                run = subprocess.run(
                    [sys.executable, "-W", "ignore", "-c", READ_CHILD, who, str(path)], capture_output=True, text=True
                )
                if run.returncode:
                    raise RuntimeError(run.stderr)
                best[who] = min(best.get(who, float("inf")), float(run.stdout))
        peer = "plyfile" if path.suffix == ".ply" else "laspy"
        print(
            f"{args.maps[0]:>12,} points, {path.suffix[1:].upper()}: vantrel {best['vantrel']:.3f} s, {peer} and "
            f"its arrays {best['peer']:.3f} s (vantrel at {best['vantrel'] / best['peer']:.2f} of its time)"
        )


PARQUET_CHILD = """
import json, sys, time
import vantrel

def peak_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024

import pyarrow.parquet
what, source, target = sys.argv[1:4]
if what == "baseline":  # the records in memory before the clock starts, written as binary PCD
    cloud = vantrel.read_pcd(source)
before = peak_mb()
start = time.perf_counter()
if what == "baseline":
    vantrel.write_pcd(target, cloud, data="binary")
elif what == "pcd to pcd":  # file to file, in chunks, as convert runs the others
    vantrel.convert(source, target, data="binary")
else:
    vantrel.convert(source, target)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "grown_mb": peak_mb() - before}))
"""


def bench_parquet(args, scratch):
    for points in args.maps:
        source = map_path(points)
        steps = [
            ("baseline", source, scratch / "baseline.pcd"),
            ("pcd to pcd", source, scratch / "copy.pcd"),
            ("to parquet", source, scratch / "map.parquet"),
            ("to pcd", scratch / "map.parquet", scratch / "back.pcd"),
        ]
        best = {}
        for what, src, dst in steps:
            runs = []
            for _ in range(args.repeats):
                run = subprocess.run(
                    [sys.executable, "-c", PARQUET_CHILD, what, str(src), str(dst)], capture_output=True, text=True
                )
                if run.returncode:
                    raise RuntimeError(run.stderr)
                runs.append(json.loads(run.stdout))
            best[what] = (min(r["seconds"] for r in runs), max(r["grown_mb"] for r in runs))
        same = (scratch / "back.pcd").read_bytes() == source.read_bytes()
        base = best["pcd to pcd"][0]
        print(
            f"{points:>12,} points: write_pcd binary from memory {best['baseline'][0]:.2f} s; "
            f"PCD -> PCD binary file to file {base:.2f} s; PCD -> Parquet {best['to parquet'][0]:.2f} s "
            f"(speed {base / best['to parquet'][0]:.2f} of it, grows by {best['to parquet'][1]:.0f} MB); "
            f"Parquet -> PCD {best['to pcd'][0]:.2f} s (speed {base / best['to pcd'][0]:.2f}, grows by "
            f"{best['to pcd'][1]:.0f} MB); same bytes back: {same}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--messages", type=int, default=200)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--maps", type=int, nargs="*", default=[2_000_000, 12_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-laz", action="store_true", help="leave out PCD to LAZ")
    parser.add_argument("--no-reads", action="store_true", help="leave out read_las and read_ply")
    parser.add_argument("--no-parquet", action="store_true", help="leave out PCD to Parquet and back")
    args = parser.parse_args()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-formats-"))
    try:
        if args.messages:  # --messages 0: LAZ alone
            bench_bag(args, scratch)
        if args.maps and not args.no_laz:
            bench_laz(args, scratch)
        if args.maps and not args.no_reads:
            bench_reads(args, scratch)
        if args.maps and not args.no_parquet:
            bench_parquet(args, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
