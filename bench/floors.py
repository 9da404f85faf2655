"""vantrel.load_pcd against the floor of each encoding, measured in the same run, on one thread and on all.

    python bench/floors.py [--points 2000000] [--repeats 7]

Floors (single-threaded): ascii, a C++ program that reads the file and runs
fast_float over every value; binary, numpy.fromfile of the records;
binary_compressed, reading the file plus lzf_decompress of its payload, and
lzf_decompress alone (the payload in memory, the output allocated). vantrel is
timed with set_num_threads(1) and with every CPU this process may use. Prints
best times and ratios.
"""

import ctypes
import ctypes.util
import pathlib
import subprocess
import sys

import numpy as np

import vantrel
from clouds import DTYPE, OUT, arguments, best_of, cloud_path

HERE = pathlib.Path(__file__).parent
TARGETS = {"ascii": 1.3, "binary": 1.15, "binary_compressed": 1.3}
# With every CPU: ascii against read + fast_float, binary_compressed against lzf_decompress alone
# (a whole load, file read and records placed, faster than the library's decompressor alone) and,
# beside it, against read + lzf_decompress.
TARGETS_ALL = {"ascii": 0.6, "binary": 1.15, "binary_compressed": 0.8}
CPUS = len(__import__("os").sched_getaffinity(0))


def floor_program():
    exe = OUT / "floor_ascii"
    src = HERE / "floor_ascii.cpp"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        OUT.mkdir(exist_ok=True)
        subprocess.run(["g++", "-O3", "-std=c++17", "-o", str(exe), str(src)], check=True)
    return exe


def data_offset(path):
    with open(path, "rb") as f:
        while not f.readline().startswith(b"DATA"):
            pass
        return f.tell()


_lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")


def floor_compressed(path, offset, raw=None):
    """Read + lzf_decompress; lzf_decompress alone when the file's bytes are given."""
    if raw is None:
        with open(path, "rb") as f:
            raw = f.read()
    compressed, uncompressed = np.frombuffer(raw, "<u4", 2, offset)
    out = np.empty(int(uncompressed), np.uint8)
    payload = ctypes.c_char_p(raw[offset + 8 :])
    got = _lzf.lzf_decompress(payload, int(compressed), out.ctypes.data_as(ctypes.c_void_p), int(uncompressed))
    assert got == uncompressed
    return out


def timed_threads(load, threads, repeats):
    vantrel.set_num_threads(threads)
    try:
        return best_of(load, repeats)
    finally:
        vantrel.set_num_threads(CPUS)


def measure(points, repeats, encodings=("ascii", "binary", "binary_compressed")):
    rows = []
    for encoding in encodings:
        path = cloud_path(points, encoding)
        offset = data_offset(path)

        def load(path=path):
            return vantrel.load_pcd(str(path))

        if encoding == "ascii":
            # The program prints its best time of the repeats asked for.
            def fast_float(p=path):
                out = subprocess.run([str(floor_program()), str(p), "1"], check=True, capture_output=True, text=True)
                return float(out.stdout.split()[0])

            named = {"read + fast_float": fast_float}
        elif encoding == "binary":
            named = {"numpy.fromfile": lambda p=path, o=offset: np.fromfile(p, DTYPE, points, offset=o)}
        else:
            raw = path.read_bytes()
            named = {
                "read + lzf_decompress": lambda p=path, o=offset: floor_compressed(p, o),
                "lzf_decompress alone": lambda p=path, o=offset, r=raw: floor_compressed(p, o, r),
            }
        load()  # warm the page cache
        one, every = float("inf"), float("inf")
        floors = dict.fromkeys(named, float("inf"))
        for _ in range(repeats):  # interleaved, so that noise hits all alike
            one = min(one, timed_threads(load, 1, 1))
            every = min(every, timed_threads(load, CPUS, 1))
            for name, fn in named.items():
                floors[name] = min(floors[name], fn() if encoding == "ascii" else best_of(fn, 1))
        rows.append((encoding, path.stat().st_size, one, every, floors))
    return rows


def main():
    parser = arguments(__doc__)
    parser.add_argument("--encoding", action="append", choices=TARGETS)
    args = parser.parse_args()
    rows = measure(args.points, args.repeats, args.encoding or tuple(TARGETS))
    print(f"{args.points} points, best of {args.repeats}, {CPUS} CPUs")
    print(
        f"{'encoding':<18} {'MB':>6} {'threads':>7} {'vantrel ms':>10} {'floor':<22} {'floor ms':>9} "
        f"{'ratio':>6} {'target':>6}"
    )
    for encoding, size, one, every, floors in rows:
        names = list(floors)
        cases = [(1, one, names[0], TARGETS[encoding]), (CPUS, every, names[-1], TARGETS_ALL[encoding])]
        if len(names) > 1:
            cases.append((CPUS, every, names[0], TARGETS[encoding]))
        for threads, seconds, floor, target in cases:
            ratio = seconds / floors[floor]
            mark = "" if ratio <= target else "  (over target)"
            print(
                f"{encoding:<18} {size / 1e6:6.1f} {threads:>7} {seconds * 1e3:10.1f} {floor:<22} "
                f"{floors[floor] * 1e3:9.1f} {ratio:6.2f} {target:6.2f}{mark}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
