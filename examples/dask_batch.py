"""Loads every PCD file under a folder on a Dask cluster, one task per file.

    python examples/dask_batch.py FOLDER [--scheduler tcp://host:8786] [--workers 2]

Without --scheduler a LocalCluster is started. Each task loads one file where it
runs and returns a small summary (points, bounds, fields), so no point array
crosses the network unless a task is written to send it.
"""

import argparse
import pathlib
import time


def summarize(path):
    import numpy as np

    import vantrel

    points, fields = vantrel.load_pcd(path)
    finite = points[np.isfinite(points).all(axis=1)]
    bounds = (finite.min(axis=0).tolist(), finite.max(axis=0).tolist()) if len(finite) else None
    return {
        "file": path,
        "points": len(points),
        "bounds": bounds,
        "fields": {name: str(values.dtype) for name, values in fields.items()},
    }


def run(folder, scheduler=None, workers=2):
    from dask.distributed import Client, LocalCluster

    files = sorted(str(p) for p in pathlib.Path(folder).rglob("*.pcd"))
    cluster = (
        None
        if scheduler
        else LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    )
    with Client(scheduler or cluster) as client:
        start = time.perf_counter()
        futures = client.map(summarize, files, pure=False)
        summaries = client.gather(futures)
        seconds = time.perf_counter() - start
    if cluster is not None:
        cluster.close()
    return summaries, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="workers of the LocalCluster")
    args = parser.parse_args()
    summaries, seconds = run(args.folder, args.scheduler, args.workers)
    for s in summaries:
        print(f"{s['file']}: {s['points']} points, fields {s['fields']}")
    points = sum(s["points"] for s in summaries)
    print(f"{len(summaries)} files, {points} points in {seconds:.3f} s: {points / max(seconds, 1e-9):,.0f} points/s")


if __name__ == "__main__":
    main()
