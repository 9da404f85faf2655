"""The map tools on a Dask cluster against the same tools on one machine: a lidar map in several
binary files, tile (binary_compressed tiles) and downsample, each on a LocalCluster of 2 worker
processes (1 thread each) and by vantrel.tools in a fresh process, the outputs compared byte for
byte. On a 2-core machine the cluster cannot be faster: what this measures is its overhead (the
ratio of the times), the task count, the data each task reads and writes through the shared folder,
and each worker's peak memory, so that the time on N machines can be reckoned.

    python bench/cluster.py [--points 12000000] [--files 8] [--voxel 0.2] [--size 50]
"""

import argparse
import filecmp
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import vantrel
from clouds import OUT, lidar_records

ONE = """
import json, sys, time, vantrel.tools
name, sources, target, options = json.loads(sys.argv[1])
start = time.perf_counter()
getattr(vantrel.tools, name)(sources, target, **options)
print(json.dumps(time.perf_counter() - start))
"""


def map_files(points, files):
    folder = OUT / f"cluster_{points}_{files}"
    if not folder.exists():
        cloud = lidar_records(points)
        part = folder.with_suffix(".tmp")
        part.mkdir(parents=True, exist_ok=True)
        for k, rows in enumerate(np.array_split(np.arange(points), files)):
            vantrel.write_pcd(part / f"{k:02d}.pcd", cloud[rows[0] : rows[-1] + 1], data="binary")
        part.rename(folder)
    return sorted(folder.glob("*.pcd"))


def peak_rss(dask_worker=None):
    """The process's peak resident memory since it started its program (ru_maxrss would count the
    memory of the process it was forked from)."""
    status = pathlib.Path("/proc/self/status").read_text()
    return int(status.split("VmHWM:")[1].split()[0]) * 1024


def on_cluster(name, sources, target, options):
    import distributed

    import vantrel.dask

    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        distributed.Client(cluster) as client,
    ):
        start = time.perf_counter()
        getattr(vantrel.dask, name)(sources, target, client=client, **options)
        seconds = time.perf_counter() - start
        peaks = client.run(peak_rss)
    return seconds, max(peaks.values())


def same(a, b):
    if a.is_dir():
        names = sorted(os.listdir(a))
        return names == sorted(os.listdir(b)) and all(filecmp.cmp(a / n, b / n, shallow=False) for n in names)
    return filecmp.cmp(a, b, shallow=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=12_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--voxel", type=float, default=0.2)
    parser.add_argument("--size", type=float, default=50)
    args = parser.parse_args()
    import vantrel._cluster
    import vantrel._voxels
    from vantrel.tools import _agreeing

    sources = [str(p) for p in map_files(args.points, args.files)]
    headers = _agreeing([pathlib.Path(s) for s in sources])
    step = headers[0].point_step
    runs = {
        "tile": ({"size": args.size}, len(vantrel._cluster.ranges([pathlib.Path(s) for s in sources], headers))),
        "downsample": ({"voxel": args.voxel}, -(-args.points // vantrel._voxels.BLOCK_POINTS)),
    }
    print(f"{args.points:,} points ({args.points * step / 1e6:.0f} MB of records) in {args.files} binary files")
    for name, (options, tasks) in runs.items():
        work = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-cluster-", dir=OUT))
        try:
            one_target, many_target = work / "one", work / "many"
            if name == "downsample":
                one_target, many_target = work / "one.pcd", work / "many.pcd"
            child = subprocess.run(
                [sys.executable, "-c", ONE, json.dumps([name, sources, str(one_target), options])],
                check=True,
                capture_output=True,
                text=True,
            )
            one = json.loads(child.stdout)
            many, peak = on_cluster(name, sources, str(many_target), options)
            moved = args.points * step / tasks
            print(
                f"{name}: one machine {one:.2f} s, cluster {many:.2f} s ({many / one:.2f}x); "
                f"{tasks} first-stage tasks, each reading {moved / 1e6:.0f} MB of records; "
                f"peak memory per worker {peak / 1e6:.0f} MB; same bytes: {same(one_target, many_target)}"
            )
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
