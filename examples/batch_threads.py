"""Loads every PCD file under a folder on a thread pool and prints the throughput.

    python examples/batch_threads.py FOLDER [--threads N]

load_pcd releases the interpreter lock while it reads and decodes, so the
threads load files side by side. A file that cannot be loaded, or whose data
falls short (a DataWarning, made an error here), is reported and skipped; the
exit status is 1 if there was any.
"""

import argparse
import os
import pathlib
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import vantrel


def summary(path):
    """(points, bytes) of a file, or the exception that stopped its load."""
    try:
        points, fields = vantrel.load_pcd(str(path))
    except Exception as e:
        return e
    return len(points), path.stat().st_size


def describe(path, error):
    """One line for a file that failed; a DataWarning's message names the file itself."""
    text = f"{type(error).__name__}: {error}"
    return text if str(error).startswith(f"{path}: ") else f"{path}: {text}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    files = sorted(args.folder.rglob("*.pcd"))
    if not files:
        raise SystemExit(f"no .pcd files under {args.folder}")
    warnings.simplefilter("error", vantrel.DataWarning)  # a damaged file counts as a failure
    start = time.perf_counter()
    with ThreadPoolExecutor(args.threads) as pool:
        results = list(pool.map(summary, files))
    seconds = time.perf_counter() - start
    failed = [(path, e) for path, e in zip(files, results, strict=True) if isinstance(e, Exception)]
    for path, e in failed:
        print(describe(path, e), file=sys.stderr)
    done = [r for r in results if not isinstance(r, Exception)]
    points = sum(n for n, _ in done)
    size = sum(b for _, b in done)
    print(
        f"{len(done)} files, {points} points, {size / 1e6:.1f} MB in {seconds:.3f} s on {args.threads} threads: "
        f"{points / seconds:,.0f} points/s" + (f"; {len(failed)} failed" if failed else "")
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
