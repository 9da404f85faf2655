"""Loads every PCD file under a folder or URL on a Dask cluster, as one DataFrame.

    python examples/dask_batch.py FOLDER_OR_URL [--scheduler tcp://host:8786] [--workers 2]

Files are opened through fsspec where the tasks run, so the same code reads a
local folder, s3://bucket/prefix or gs://bucket/prefix (with s3fs or gcsfs
installed). Without --scheduler a LocalCluster is started. First one task per
file checks it: a file that cannot be read, or whose data falls short (a
DataWarning, made an error here), is reported and left out, and the exit
status is 1 if there was any. Then vantrel.dask.read_pcds reads the good files
as one frame per set of fields, and each file's points and bounds are computed
where the data lies; only those summaries cross the network.

Needs Dask: pip install 'vantrel[dask]'.
"""

import argparse
import sys
import time


def check(url):
    """The file's fields, or the reason it cannot be read."""
    import warnings

    import fsspec

    import vantrel

    try:
        with warnings.catch_warnings(), fsspec.open(url, "rb") as f:
            warnings.simplefilter("error", vantrel.DataWarning)  # a damaged file counts as a failure
            cloud = vantrel.read_pcd(f)
    except Exception as e:
        # A DataWarning's message names the file itself.
        text = f"{type(e).__name__}: {e}"
        return {"file": url, "error": text if str(e).startswith(f"{url}: ") else f"{url}: {text}"}
    return {"file": url, "fields": {name: str(values.dtype) for name, values in cloud.fields.items()}}


def pcd_urls(location):
    import fsspec

    fs, root = fsspec.core.url_to_fs(location)
    return [fs.unstrip_protocol(path) for path in sorted(fs.glob(f"{root.rstrip('/')}/**/*.pcd"))]


def summarize(files):
    """Per file: its points and, where it has coordinates, the bounds of the finite ones."""
    import numpy as np

    import vantrel.dask

    frame = vantrel.dask.read_pcds(files)
    names = dict(zip(files, frame["file"].cat.categories, strict=True))  # the frame's name of each file
    columns = [c for c in ("x", "y", "z") if c in frame.columns]
    if len(columns) == 3:
        finite = frame[np.isfinite(frame[columns]).all(axis=1)]
        bounds = finite.groupby("file", observed=True)[columns].agg(["min", "max"])
    else:
        bounds = None
    counts = frame.groupby("file", observed=True).size()
    return names, counts, bounds


def run(location, scheduler=None, workers=2):
    try:
        from dask.distributed import Client, LocalCluster

        import vantrel.dask  # noqa: F401 - says what to install when Dask's dataframe is missing
    except ImportError as e:
        raise SystemExit(f"this example needs Dask: pip install 'vantrel[dask]' ({e})") from None

    files = pcd_urls(location)
    cluster = (
        None
        if scheduler
        else LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0")
    )
    with Client(scheduler or cluster) as client:
        start = time.perf_counter()
        checked = client.gather(client.map(check, files, pure=False))
        good = [c for c in checked if "error" not in c]
        # One frame per set of fields: read_pcds takes its schema from its first file.
        groups = {}
        for c in good:
            groups.setdefault(tuple(c["fields"].items()), []).append(c["file"])
        summaries = {}
        for group in groups.values():
            names, counts, bounds = summarize(group)
            counts, bounds = client.compute((counts, bounds), sync=True)
            for file in group:
                name = names[file]
                summaries[file] = (int(counts[name]), None if bounds is None else bounds.loc[name].tolist())
        seconds = time.perf_counter() - start
    if cluster is not None:
        cluster.close()
    return checked, summaries, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("location", help="a folder, or an fsspec URL such as s3://bucket/prefix")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="workers of the LocalCluster")
    args = parser.parse_args()
    checked, summaries, seconds = run(args.location, args.scheduler, args.workers)
    failed = [c for c in checked if "error" in c]
    for c in checked:
        if "error" not in c:
            points, _ = summaries[c["file"]]
            others = {name: dtype for name, dtype in c["fields"].items() if name not in ("x", "y", "z")}
            print(f"{c['file']}: {points} points, fields {others}")
    for c in failed:
        print(c["error"], file=sys.stderr)
    points = sum(points for points, _ in summaries.values())
    print(
        f"{len(summaries)} files, {points} points in {seconds:.3f} s: {points / max(seconds, 1e-9):,.0f} points/s"
        + (f"; {len(failed)} failed" if failed else "")
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
