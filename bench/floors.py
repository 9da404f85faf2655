"""vantrel.load_pcd against the floor of each encoding, measured in the same run.

    python bench/floors.py [--points 2000000] [--repeats 7]

Floors: ascii, a C++ program that reads the file and runs fast_float over every
value; binary, numpy.fromfile of the records; binary_compressed, reading the
file plus lzf_decompress of its payload. Prints best times and ratios.
"""

import ctypes
import ctypes.util
import pathlib
import subprocess
import sys
import time

import numpy as np

import vantrel
from clouds import DTYPE, OUT, arguments, cloud_path

HERE = pathlib.Path(__file__).parent
TARGETS = {"ascii": 1.3, "binary": 1.15, "binary_compressed": 1.3}


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


def floor_compressed(path, offset):
    with open(path, "rb") as f:
        raw = f.read()
    compressed, uncompressed = np.frombuffer(raw, "<u4", 2, offset)
    out = np.empty(int(uncompressed), np.uint8)
    payload = ctypes.c_char_p(raw[offset + 8 :])
    got = _lzf.lzf_decompress(payload, int(compressed), out.ctypes.data_as(ctypes.c_void_p), int(uncompressed))
    assert got == uncompressed
    return out


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def measure(points, repeats, encodings=("ascii", "binary", "binary_compressed")):
    rows = []
    for encoding in encodings:
        path = cloud_path(points, encoding)
        offset = data_offset(path)

        def load(path=path):
            return vantrel.load_pcd(str(path))

        if encoding == "ascii":
            out = subprocess.run(
                [str(floor_program()), str(path), str(repeats)], check=True, capture_output=True, text=True
            ).stdout.split()
            floor = float(out[0])
            ours = best_of(load, repeats)
        else:
            if encoding == "binary":

                def floor_fn(path=path, offset=offset):
                    return np.fromfile(path, DTYPE, points, offset=offset)
            else:

                def floor_fn(path=path, offset=offset):
                    return floor_compressed(path, offset)

            load(), floor_fn()  # warm the page cache
            ours, floor = float("inf"), float("inf")
            for _ in range(repeats):  # interleaved, so that noise hits both alike
                ours = min(ours, best_of(load, 1))
                floor = min(floor, best_of(floor_fn, 1))
        rows.append((encoding, path.stat().st_size, ours, floor, ours / floor, TARGETS[encoding]))
    return rows


def main():
    parser = arguments(__doc__)
    parser.add_argument("--encoding", action="append", choices=TARGETS)
    args = parser.parse_args()
    rows = measure(args.points, args.repeats, args.encoding or tuple(TARGETS))
    print(f"{args.points} points, best of {args.repeats}")
    print(f"{'encoding':<18} {'MB':>7} {'vantrel ms':>11} {'floor ms':>9} {'ratio':>6} {'target':>6}")
    for encoding, size, ours, floor, ratio, target in rows:
        mark = "" if ratio <= target else "  (over target)"
        print(
            f"{encoding:<18} {size / 1e6:7.1f} {ours * 1e3:11.1f} {floor * 1e3:9.1f} {ratio:6.2f} {target:6.2f}{mark}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
