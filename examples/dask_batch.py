"""Loads every PCD file under a folder or URL on a Dask cluster, one task per file.

    python examples/dask_batch.py FOLDER_OR_URL [--scheduler tcp://host:8786] [--workers 2]

Files are opened through fsspec, so the same code reads a local folder,
s3://bucket/prefix or gs://bucket/prefix (with s3fs or gcsfs installed).
Without --scheduler a LocalCluster is started. Each task reads one file where
it runs and returns a small summary (points, bounds, fields), so no point
array crosses the network unless a task is written to send it. A file that
cannot be read, or whose data falls short (a DataWarning, made an error here),
is reported and skipped; the exit status is 1 if there was any.

Needs Dask: pip install 'vantrel[dask]'.
"""

import argparse
import sys
import time


def summarize(url):
    import warnings

    import fsspec
    import numpy as np

    import vantrel

    try:
        with warnings.catch_warnings(), fsspec.open(url, "rb") as f:
            warnings.simplefilter("error", vantrel.DataWarning)  # a damaged file counts as a failure
            cloud = vantrel.read_pcd(f)
    except Exception as e:
        return {"file": url, "error": f"{type(e).__name__}: {e}"}
    fields = {name: str(values.dtype) for name, values in cloud.fields.items() if name not in ("x", "y", "z")}
    bounds = None
    if {"x", "y", "z"} <= cloud.fields.keys():
        points = cloud.points
        finite = points[np.isfinite(points).all(axis=1)]
        if len(finite):
            bounds = (finite.min(axis=0).tolist(), finite.max(axis=0).tolist())
    return {"file": url, "points": len(cloud), "bounds": bounds, "fields": fields}


def pcd_urls(location):
    import fsspec

    fs, root = fsspec.core.url_to_fs(location)
    return [fs.unstrip_protocol(path) for path in sorted(fs.glob(f"{root.rstrip('/')}/**/*.pcd"))]


def run(location, scheduler=None, workers=2):
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise SystemExit("this example needs Dask: pip install 'vantrel[dask]'") from None

    files = pcd_urls(location)
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
    parser.add_argument("location", help="a folder, or an fsspec URL such as s3://bucket/prefix")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="workers of the LocalCluster")
    args = parser.parse_args()
    summaries, seconds = run(args.location, args.scheduler, args.workers)
    failed = [s for s in summaries if "error" in s]
    done = [s for s in summaries if "error" not in s]
    for s in done:
        print(f"{s['file']}: {s['points']} points, fields {s['fields']}")
    for s in failed:
        print(f"{s['file']}: {s['error']}", file=sys.stderr)
    points = sum(s["points"] for s in done)
    print(
        f"{len(done)} files, {points} points in {seconds:.3f} s: {points / max(seconds, 1e-9):,.0f} points/s"
        + (f"; {len(failed)} failed" if failed else "")
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
