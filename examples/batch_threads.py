"""Loads every PCD file under a folder on a thread pool and prints the throughput.

    python examples/batch_threads.py FOLDER [--threads N]

load_pcd releases the interpreter lock while it reads and decodes, so the
threads load files side by side.
"""

import argparse
import os
import pathlib
import time
from concurrent.futures import ThreadPoolExecutor

import vantrel


def summary(path):
    points, fields = vantrel.load_pcd(str(path))
    return len(points), path.stat().st_size


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    files = sorted(args.folder.rglob("*.pcd"))
    if not files:
        raise SystemExit(f"no .pcd files under {args.folder}")
    start = time.perf_counter()
    with ThreadPoolExecutor(args.threads) as pool:
        done = list(pool.map(summary, files))
    seconds = time.perf_counter() - start
    points = sum(n for n, _ in done)
    size = sum(b for _, b in done)
    print(
        f"{len(files)} files, {points} points, {size / 1e6:.1f} MB in {seconds:.3f} s on {args.threads} threads: "
        f"{points / seconds:,.0f} points/s"
    )


if __name__ == "__main__":
    main()
