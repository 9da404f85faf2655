"""Reading and writing in parts against whole reads and writes, measured in the same run.

    python bench/parts.py [--points 2000000] [--repeats 5] [--big 12000000]

Speed, on the lidar cloud: open_pcd(...).chunks(1M) against read_pcd in every
encoding; read_pcd(fields=["x", "y", "z"]) of the compressed cloud against all
fields; read_pcd(mmap=True) of a 30 GB sparse binary map; an ascii cloud
converted to binary in chunks of 1M (open_pcd into open_pcd_writer) against
write_pcd(read_pcd(...)). Memory, each in a process of its own (peak resident
memory, VmHWM, over the interpreter's): the --big cloud in chunks of 1M points
in every encoding, x, y, z of the compressed --big cloud, the 30 GB map, and
the --big ascii cloud converted to binary in chunks.
"""

import json
import os
import subprocess
import sys

import numpy as np

import vantrel
from clouds import OUT, arguments, best_of, cloud_path, lidar_records

TARGETS = {"chunks": 0.9, "fields": 0.6, "mmap_ms": 50.0, "convert": 0.9}
SPARSE = OUT / "sparse_30gb.pcd"
STEP = 16


def in_chunks(path, size, fields=None):
    with vantrel.open_pcd(path) as reader:
        for chunk in reader.chunks(size, fields=fields):
            chunk.fields  # noqa: B018 - the arrays a user would take


def convert(source, target, size=1_000_000):
    with (
        vantrel.open_pcd(source) as reader,
        vantrel.open_pcd_writer(target, data="binary", points=reader.header.points) as writer,
    ):
        for chunk in reader.chunks(size):
            writer.write(chunk)


def big_cloud(points, encoding):
    """The lidar cloud of `points` points, written by vantrel (fast enough for 12M in ascii)."""
    path = OUT / f"lidar_{points}.{encoding}.pcd"
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        records = lidar_records(points)
        vantrel.write_pcd(path, {name: records[name] for name in records.dtype.names}, data=encoding)
    return path


def sparse_map():
    """A 30 GB binary map, holes but for known points at its start, middle and end."""
    points = 30 * 2**30 // STEP
    if not SPARSE.exists():
        OUT.mkdir(exist_ok=True)
        text = (
            f"VERSION 0.7\nFIELDS v pad\nSIZE 8 8\nTYPE U U\nCOUNT 1 1\nWIDTH {points}\nHEIGHT 1\n"
            f"POINTS {points}\nDATA binary\n"
        ).encode()
        with open(SPARSE, "wb") as f:
            f.write(text)
            for i in (0, points // 2, points - 1):
                f.seek(len(text) + i * STEP)
                f.write(np.array([i + 7, 0], "<u8").tobytes())
    return SPARSE, points


def speed(points, repeats):
    rows = []
    for encoding in ("ascii", "binary", "binary_compressed"):
        path = cloud_path(points, encoding)
        whole = best_of(lambda path=path: vantrel.read_pcd(path).fields, 1)  # warm the page cache
        whole, parts = float("inf"), float("inf")
        for _ in range(repeats):  # interleaved, so that noise hits both alike
            whole = min(whole, best_of(lambda path=path: vantrel.read_pcd(path).fields, 1))
            parts = min(parts, best_of(lambda path=path: in_chunks(path, 1_000_000), 1))
        rows.append((f"{encoding}: chunks of 1M / whole", parts * 1e3, whole * 1e3, whole / parts, "chunks"))
    path = cloud_path(points, "binary_compressed")
    every, xyz = float("inf"), float("inf")
    for _ in range(repeats):
        every = min(every, best_of(lambda: vantrel.read_pcd(path).fields, 1))
        xyz = min(xyz, best_of(lambda: vantrel.read_pcd(path, fields=["x", "y", "z"]).fields, 1))
    rows.append(("compressed: x, y, z / all fields", xyz * 1e3, every * 1e3, xyz / every, "fields"))
    sparse, _ = sparse_map()
    opened = best_of(lambda: vantrel.read_pcd(sparse, mmap=True), repeats)
    rows.append(("30 GB sparse map: mmap=True open", opened * 1e3, None, opened * 1e3, "mmap_ms"))
    source, target = cloud_path(points, "ascii"), OUT / "converted.pcd"
    whole, parts = float("inf"), float("inf")
    for _ in range(repeats):
        whole = min(whole, best_of(lambda: vantrel.write_pcd(target, vantrel.read_pcd(source), data="binary"), 1))
        parts = min(parts, best_of(lambda: convert(source, target), 1))
    rows.append(("ascii to binary: chunks of 1M / whole", parts * 1e3, whole * 1e3, whole / parts, "convert"))
    return rows


MEMORY = """
import json, sys
import vantrel

def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

base = peak()
path, how, fields = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
held = 0
if how == "convert":
    with vantrel.open_pcd(path) as reader, vantrel.open_pcd_writer(
        path + ".binary", data="binary", points=reader.header.points
    ) as writer:
        for chunk in reader.chunks(1_000_000):
            held = max(held, chunk.records.nbytes)
            writer.write(chunk)
elif how == "mmap":
    cloud = vantrel.read_pcd(path, mmap=True)
    values = [int(cloud.fields["v"][i]) for i in (0, len(cloud) // 2, len(cloud) - 1)]
    held = None
else:
    with vantrel.open_pcd(path) as reader:
        for chunk in reader.chunks(1_000_000, fields=fields):
            held = max(held, chunk.records.nbytes)
print(json.dumps({"grown": peak() - base, "held": held}))
"""


def memory(big):
    rows = []
    cases = [(big_cloud(big, e), "chunks", None, e) for e in ("ascii", "binary", "binary_compressed")]
    cases.append((big_cloud(big, "binary_compressed"), "chunks", ["x", "y", "z"], "binary_compressed x, y, z"))
    cases.append((sparse_map()[0], "mmap", None, "30 GB sparse map, mmap=True"))
    cases.append((big_cloud(big, "ascii"), "convert", None, "ascii to binary in chunks"))
    for path, how, fields, label in cases:
        run = subprocess.run(
            [sys.executable, "-c", MEMORY, str(path), how, json.dumps(fields)], capture_output=True, text=True
        )
        if run.returncode != 0:
            raise RuntimeError(run.stderr)
        got = json.loads(run.stdout)
        rows.append((label, os.path.getsize(path), got["grown"], got["held"]))
    return rows


def main():
    parser = arguments(__doc__)
    parser.set_defaults(repeats=5)
    parser.add_argument("--big", type=int, default=12_000_000)
    args = parser.parse_args()
    print(f"{args.points} points, best of {args.repeats}; {os.cpu_count()} CPUs")
    print(f"{'case':<40} {'ms':>8} {'baseline ms':>12} {'figure':>7} {'target':>7}")
    for label, ms, base, figure, target in speed(args.points, args.repeats):
        goal = TARGETS[target]
        ok = figure >= goal if target in ("chunks", "convert") else figure <= goal
        shown = "" if base is None else f"{base:12.1f}"
        print(f"{label:<40} {ms:8.1f} {shown:>12} {figure:7.2f} {goal:7.2f}{'' if ok else '  (missed)'}")
    print(f"\nPeak resident memory over the interpreter's, {args.big:,}-point cloud in chunks of 1M points")
    print(f"{'case':<40} {'file MB':>8} {'grown MB':>9} {'chunk MB':>9} {'over chunk':>11}")
    for label, size, grown, held in memory(args.big):
        over = "" if held is None else f"{(grown - held) / 1e6:11.1f}"
        chunk = "" if held is None else f"{held / 1e6:9.1f}"
        print(f"{label:<40} {size / 1e6:8.0f} {grown / 1e6:9.1f} {chunk:>9} {over:>11}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
