"""The map tools on a lidar map (x y z intensity F4, ring U2, timestamp F8, rgb U4): peak memory of
tile, crop and downsample for two map sizes (it must not grow with the map), downsample against
Open3D's voxel_down_sample (points already in memory) and PCL's pcl_voxel_grid (file to file), and
tile against reading the map and writing it back whole in the same encoding (binary, and tile's
default binary_compressed), and against its floor: the map read, and tile's binary files written
from memory on the threads tile uses (the same bytes by open, write and rename), which no way of
tiling can go below.

    python bench/tools.py [--points 2000000 12000000] [--voxel 0.2] [--folder /dev/shm]

--folder runs the tools with the map and every output in that folder (a copy of the map is made
there and removed at the end): on a memory file system, creating a file costs next to nothing,
which shows what tile costs beside its floor apart from the disk's file system.

Open3D is timed in the benchmark environment (.venv-bench, made by `make bench`), PCL's tool from
Debian's pcl-tools; either is left out when it is not there. Times are best of a few runs: cold,
a fresh process's first call, whose memory is new to it (on a virtual machine, the host backs it
then, which can cost more than the work), and warm, a later call in the same process, as in a
long-running program; each peer is compared with vantrel as it was timed, Open3D both ways, PCL's
command cold. The tools run in rounds, one process each in turn, so that tile, the whole read and
write, and the floor of each round meet the same machine: on a shared one, its speed at creating
files moves tenfold within an hour; downsample and its peers run in rounds of their own. Each
round's ratios are reported (their median and range) beside the ratio of the best times.
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import vantrel
from clouds import OUT, lidar_records

HERE = pathlib.Path(__file__).parent
BENCH_PY = HERE.parent / ".venv-bench" / "bin" / "python"


def map_path(points):
    path = OUT / f"map_{points}.binary.pcd"
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        cloud = lidar_records(points)
        rng = np.random.default_rng(1)
        fields = {name: cloud[name] for name in cloud.dtype.names if name not in "xyz"}
        fields["rgb"] = vantrel.pack_rgb(rng.integers(0, 256, (points, 3)))
        points_xyz = np.column_stack([cloud["x"], cloud["y"], cloud["z"]])
        vantrel.write_pcd(path, fields, points=points_xyz, data="binary")
    return path


CHILD = """
import json, sys, time, tempfile, pathlib
import numpy as np
import vantrel
from vantrel import tools
def kb(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
source, tool, voxel, calls = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[5])
if tool == "floor":  # tile's files, from a tile of this map, read before the clock starts
    from concurrent.futures import ThreadPoolExecutor
    contents = [(p.name, p.read_bytes()) for p in sorted(pathlib.Path(sys.argv[6]).iterdir())]
    def put(folder, item):
        part = folder / f".{item[0]}.part"
        with open(part, "wb") as f:
            f.write(item[1])
        part.replace(folder / item[0])
times, grown = [], []
for _ in range(calls):
    out = pathlib.Path(tempfile.mkdtemp(dir=sys.argv[4]))
    # Each call's high-water mark from its start: a child's ru_maxrss starts at its parent's, which
    # made the map, and a later call's at the earlier call's.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = kb("VmRSS:")
    start = time.perf_counter()
    if tool.startswith("tile"):
        tools.tile(source, out / "tiles", size=20, data=tool.partition(" ")[2] or "binary")
    elif tool == "crop":
        tools.crop(source, out / "crop.pcd", box=(-60, -60, -10, 60, 60, 10))
    elif tool == "downsample":
        tools.downsample(source, out / "down.pcd", voxel=voxel)
    elif tool == "floor":
        vantrel.read_pcd(source)
        (out / "tiles").mkdir()
        with ThreadPoolExecutor(vantrel.get_num_threads()) as pool:
            list(pool.map(lambda item: put(out / "tiles", item), contents))
    elif tool.startswith("whole"):
        vantrel.write_pcd(out / "whole.pcd", vantrel.read_pcd(source), data=tool.partition(" ")[2] or "binary")
    times.append(time.perf_counter() - start)
    grown.append((kb("VmHWM:") - before) / 1024)
later = min(times[1:], default=times[0])
print(json.dumps({"first": times[0], "later": later, "grown_mb": max(grown), "out": str(out)}))
"""

OPEN3D = """
import sys, time
import numpy as np
import open3d as o3d
points = np.load(sys.argv[1])
cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
times = []
for _ in range(max(int(sys.argv[3]), 2)):
    start = time.perf_counter()
    down = cloud.voxel_down_sample(float(sys.argv[2]))
    times.append(time.perf_counter() - start)
print(times[0], min(times[1:]), len(down.points))
"""


def child(source, tool, voxel, scratch, calls, tiles=""):
    run = subprocess.run(
        [sys.executable, "-c", CHILD, str(source), tool, str(voxel), str(scratch), str(calls), str(tiles)],
        capture_output=True,
        text=True,
    )
    if run.returncode:
        raise RuntimeError(run.stderr)
    return json.loads(run.stdout)


TOOLS = ("tile", "floor", "whole", "crop", "downsample", "tile binary_compressed", "whole binary_compressed")


def rounds(source, voxel, scratch, repeats):
    """Each tool's processes of two calls each, `repeats` rounds of one process a tool in turn: the
    floor takes the files of the round's binary tile. A round's outputs are removed after it, so
    that the next does not write beside gigabytes of the last one's."""
    runs = {tool: [] for tool in TOOLS}
    for _ in range(repeats):
        for tool in TOOLS:
            tiles = pathlib.Path(runs["tile"][-1]["out"]) / "tiles" if tool == "floor" else ""
            runs[tool].append(child(source, tool, voxel, scratch, 2, tiles))
        for made in scratch.iterdir():
            shutil.rmtree(made)
    return runs


def ratios(runs, baseline, tool, calls=("first", "later")):
    """baseline's time over tool's, cold and warm: of the best times, and each round's (median, low,
    high)."""
    out = []
    for call in calls:
        best = min(r[call] for r in runs[baseline]) / min(r[call] for r in runs[tool])
        each = [b[call] / t[call] for b, t in zip(runs[baseline], runs[tool], strict=True)]
        out.append(
            f"{best:.2f} {'cold' if call == 'first' else 'warm'} (rounds {statistics.median(each):.2f}, "
            f"{min(each):.2f}-{max(each):.2f})"
        )
    return ", ".join(out)


def peers(source, points, voxel, scratch, repeats):
    """downsample against Open3D (points in memory, a fresh process's first call and a later one)
    and PCL's command (a process each), in rounds of one of each in turn."""
    print(f"\ndownsample of {points:,} points at {voxel} m, {repeats} rounds:")
    xyz = np.ascontiguousarray(vantrel.read_pcd(source).points, dtype=np.float64)
    np.save(scratch / "xyz.npy", xyz)
    leaf = f"{voxel},{voxel},{voxel}"
    times = {"vantrel": [], "open3d": [], "pcl": []}
    kept = "?"
    for _ in range(repeats):
        times["vantrel"].append(child(source, "downsample", voxel, scratch, 2))
        if BENCH_PY.exists():
            run = subprocess.run(
                [str(BENCH_PY), "-c", OPEN3D, str(scratch / "xyz.npy"), str(voxel), "2"], capture_output=True, text=True
            )
            if run.returncode:
                raise RuntimeError(run.stderr)
            first, later, kept = run.stdout.split()
            times["open3d"].append({"first": float(first), "later": float(later)})
        if shutil.which("pcl_voxel_grid"):
            start = time.perf_counter()
            subprocess.run(
                ["pcl_voxel_grid", str(source), str(scratch / "pcl.pcd"), "-leaf", leaf],
                capture_output=True,
                check=True,
            )
            elapsed = time.perf_counter() - start
            times["pcl"].append({"first": elapsed, "later": elapsed})
    ours = times["vantrel"]
    print(
        f"  vantrel.tools.downsample, file to file, every field kept: {min(r['first'] for r in ours):.3f} s cold, "
        f"{min(r['later'] for r in ours):.3f} s warm"
    )
    if times["open3d"]:
        o3d = times["open3d"]
        print(
            f"  Open3D voxel_down_sample, points in memory, x y z only ({kept} points): "
            f"{min(r['first'] for r in o3d):.3f} s first call, {min(r['later'] for r in o3d):.3f} s later; "
            f"vantrel at {ratios({'o': ours, 'p': o3d}, 'o', 'p')} of its time"
        )
    else:
        print("  Open3D: not measured (make bench makes .venv-bench)")
    if times["pcl"]:
        print(
            f"  PCL pcl_voxel_grid, file to file, a process each: {min(r['first'] for r in times['pcl']):.3f} s; "
            f"vantrel at {ratios({'o': ours, 'p': times['pcl']}, 'o', 'p', calls=('first',))} of its "
            "time"
        )
    else:
        print("  PCL: not measured (apt-get install pcl-tools)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, nargs="+", default=[2_000_000, 12_000_000])
    parser.add_argument("--voxel", type=float, default=0.2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--folder", type=pathlib.Path, help="where the map and the outputs go (default: a temporary folder)"
    )
    args = parser.parse_args()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-tools-", dir=args.folder))
    try:
        print(
            f"{os.cpu_count()} CPUs, voxel {args.voxel} m; {args.repeats} rounds of a fresh process a tool; cold: "
            "the best first call, warm: the best second call; floor: the map read, then tile's binary files "
            "written from memory" + (f"; the map and the outputs in {args.folder}" if args.folder else "")
        )
        print(f"{'points':>10} {'tool':<24} {'cold s':>8} {'warm s':>8} {'grows by MB':>12}")
        rows = {}
        for points in args.points:
            source = map_path(points)
            if args.folder:
                source = pathlib.Path(shutil.copy(source, args.folder / f".vantrel-{source.name}"))
            try:
                runs = rounds(source, args.voxel, scratch, args.repeats)
            finally:
                if args.folder:
                    source.unlink()
            for tool in TOOLS:
                cold, warm = min(r["first"] for r in runs[tool]), min(r["later"] for r in runs[tool])
                rows[points, tool] = cold, warm
                grown = "-" if tool == "floor" else f"{max(r['grown_mb'] for r in runs[tool]):.0f}"
                print(f"{points:>10,} {tool:<24} {cold:>8.3f} {warm:>8.3f} {grown:>12}")
            for tool, whole, what in (
                ("tile", "whole", "tile (binary)"),
                ("floor", "whole", "tile's floor (binary)"),
                ("tile binary_compressed", "whole binary_compressed", "tile (binary_compressed)"),
            ):
                print(f"{points:>10,} {what} at {ratios(runs, whole, tool)} of the whole read and write's speed")
        peers(map_path(args.points[0]), args.points[0], args.voxel, scratch, args.repeats)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
