"""read_pcd against load_pcd, and file objects against paths, measured in the same run.

    python bench/readers.py [--points 2000000] [--repeats 7]

For each encoding of the lidar cloud: load_pcd(path) is the baseline; read_pcd(path),
read_pcd(io.BytesIO(data)) and read_pcd(open(path, "rb")) are timed against it,
interleaved so that noise hits every reader alike. Prints best times and ratios.
"""

import io
import sys
import time

import vantrel
from clouds import ENCODINGS, arguments, cloud_path

TARGETS = {"read_pcd(path)": 1.05, "read_pcd(BytesIO)": 1.3, "read_pcd(open file)": 1.3}


def readers(path, data):
    def load_pcd():
        return vantrel.load_pcd(str(path))

    def read_path():
        return vantrel.read_pcd(path).points

    def read_memory():
        return vantrel.read_pcd(io.BytesIO(data)).points

    def read_file():
        with open(path, "rb") as f:
            return vantrel.read_pcd(f).points

    return {
        "load_pcd(path)": load_pcd,
        "read_pcd(path)": read_path,
        "read_pcd(BytesIO)": read_memory,
        "read_pcd(open file)": read_file,
    }


def measure(points, repeats):
    rows = []
    for encoding in ENCODINGS:
        path = cloud_path(points, encoding)
        data = path.read_bytes()  # the BytesIO's bytes are in memory before the clock starts
        timed = readers(path, data)
        best = dict.fromkeys(timed, float("inf"))
        for fn in timed.values():
            fn()  # warm the page cache and the allocator
        for _ in range(repeats):
            for name, fn in timed.items():
                start = time.perf_counter()
                fn()
                best[name] = min(best[name], time.perf_counter() - start)
        base = best["load_pcd(path)"]
        rows += [(encoding, name, seconds, seconds / base) for name, seconds in best.items()]
    return rows


def main():
    parser = arguments(__doc__)
    args = parser.parse_args()
    print(f"{args.points} points, best of {args.repeats}, ratio to load_pcd(path)")
    print(f"{'encoding':<18} {'reader':<20} {'ms':>8} {'ratio':>6} {'target':>6}")
    for encoding, name, seconds, ratio in measure(args.points, args.repeats):
        target = TARGETS.get(name)
        mark = "  (over target)" if target and ratio > target else ""
        shown = f"{target:6.2f}" if target else "     —"
        print(f"{encoding:<18} {name:<20} {seconds * 1e3:8.1f} {ratio:6.2f} {shown}{mark}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
