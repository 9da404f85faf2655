"""vantrel.write_pcd against the floor of each encoding, measured in the same run.

    python bench/writers.py [--points 2000000] [--repeats 5]

vantrel writes the lidar cloud from the strided views that load_pcd returns.
Floors: binary, ndarray.tofile of the same packed records; binary_compressed,
lzf_compress of the same field-major image plus writing it; ascii,
numpy.savetxt of the same columns. Each run writes a new file, with the dirty
pages of earlier runs flushed first; binary is also timed replacing a file.
vantrel is timed on one thread and on every CPU (set_num_threads); with every
CPU, ascii is also set against vantrel's own time on one thread. Prints best
times and ratios, and the compressed payload's size against one lzf_compress
stream over the whole image. The writers of the other libraries are measured by
peers.py, each in a process of its own.
"""

import ctypes
import ctypes.util
import os
import pathlib
import sys
import time

import numpy as np

from clouds import DTYPE, OUT, arguments, cloud_path

TARGETS = {"binary": 1.2, "binary_compressed": 1.3, "ascii": 0.1}
# With every CPU: binary_compressed against its floor, ascii against vantrel's own time on one thread.
TARGETS_ALL = {"binary": 1.2, "binary_compressed": 0.65, "ascii": 0.6}
CPUS = len(os.sched_getaffinity(0))
FLOOR_NAMES = {"ascii": "numpy.savetxt", "binary": "ndarray.tofile", "binary_compressed": "lzf_compress + write"}
WRITTEN = OUT / "written"


def source(points):
    """The cloud as load_pcd gives it, and as packed records."""
    import vantrel

    path = cloud_path(points, "binary")
    xyz, fields = vantrel.load_pcd(str(path))
    records = np.fromfile(path, DTYPE, points, offset=len(path.read_bytes()) - points * DTYPE.itemsize)
    return xyz, fields, records


_lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")


def floor(encoding, records, target):
    """The floor's write function for an encoding; its inputs are made before the clock starts."""
    head = pathlib.Path(cloud_path(len(records), encoding)).read_bytes()
    head = head[: head.index(b"\nDATA ") + len(b"\nDATA ") + len(encoding) + 1]
    if encoding == "binary":

        def write():
            with open(target, "wb") as f:
                f.write(head)
                records.tofile(f)

        return write
    if encoding == "binary_compressed":
        image = b"".join(np.ascontiguousarray(records[name]).tobytes() for name in DTYPE.names)
        out = ctypes.create_string_buffer(len(image) + len(image) // 16 + 64)

        def write():
            n = _lzf.lzf_compress(image, len(image), out, len(out))
            with open(target, "wb") as f:
                f.write(head + np.array([n, len(image)], "<u4").tobytes())
                f.write(memoryview(out)[:n])

        return write
    columns = np.column_stack([records[name].astype(np.float64) for name in DTYPE.names])
    # Each value in a form that reads back to itself: floats to their precision, the ring as an integer.
    formats = ["%.9g", "%.9g", "%.9g", "%.9g", "%d", "%.17g"]

    def write():
        with open(target, "wb") as f:
            f.write(head)
            np.savetxt(f, columns, fmt=formats)

    return write


def timed(fn, target, replace):
    """One run of fn writing target: into a new file, or over the one it wrote before. Dirty
    pages of earlier runs are flushed first, outside the clock, so that no run pays for another."""
    if not replace and target.exists():
        target.unlink()
    os.sync()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def payload_size(path):
    """The compressed size a binary_compressed file declares."""
    data = pathlib.Path(path).read_bytes()
    at = data.index(b"\nDATA binary_compressed\n") + len(b"\nDATA binary_compressed\n")
    return int.from_bytes(data[at : at + 4], "little")


def measure(points, repeats):
    import vantrel

    WRITTEN.mkdir(parents=True, exist_ok=True)
    xyz, fields, records = source(points)
    rows = []
    cases = [("binary", False), ("binary", True), ("binary_compressed", False), ("ascii", False)]
    for encoding, replace in cases:
        ours_path, floor_path = WRITTEN / f"vantrel.{encoding}.pcd", WRITTEN / f"floor.{encoding}.pcd"

        def ours(target=ours_path, encoding=encoding):
            vantrel.write_pcd(target, fields, points=xyz, data=encoding)

        def on(threads, fn=ours):
            def run():
                vantrel.set_num_threads(threads)
                try:
                    fn()
                finally:
                    vantrel.set_num_threads(CPUS)

            return run

        theirs = floor(encoding, records, floor_path)
        ours(), theirs() if encoding != "ascii" else None  # the targets exist for the replacing runs
        one, every, floor_s = float("inf"), float("inf"), float("inf")
        floor_repeats = 1 if encoding == "ascii" else repeats  # savetxt takes many seconds
        for i in range(repeats):  # interleaved, so that noise hits all alike
            one = min(one, timed(on(1), ours_path, replace))
            every = min(every, timed(on(CPUS), ours_path, replace))
            if i < floor_repeats:
                floor_s = min(floor_s, timed(theirs, floor_path, replace))
        rows.append((encoding, "replacing" if replace else "new file", one, every, floor_s))
    return rows


def bytes_io(points, repeats):
    """binary into a new io.BytesIO, against the same bytes written to it in one call (what any
    BytesIO costs: its memory is new, and the kernel zeroes each page it first touches) and
    against vantrel writing a file."""
    import io

    import vantrel

    xyz, fields, _ = source(points)
    whole = (WRITTEN / "vantrel.binary.pcd").read_bytes()
    ours, one_call, to_file = float("inf"), float("inf"), float("inf")
    for _ in range(repeats):
        ours = min(
            ours, timed(lambda: vantrel.write_pcd(io.BytesIO(), fields, points=xyz, data="binary"), WRITTEN, True)
        )
        one_call = min(one_call, timed(lambda: io.BytesIO().write(whole), WRITTEN, True))
        to_file = min(
            to_file,
            timed(
                lambda: vantrel.write_pcd(WRITTEN / "vantrel.binary.pcd", fields, points=xyz, data="binary"),
                WRITTEN,
                True,
            ),
        )
    print(
        f"binary into a BytesIO: {ours * 1e3:.1f} ms, {ours / one_call:.2f} of BytesIO().write of the same bytes "
        f"({one_call * 1e3:.1f} ms), {ours / to_file:.2f} of vantrel writing a file ({to_file * 1e3:.1f} ms)"
    )


def main():
    parser = arguments(__doc__)
    args = parser.parse_args()
    print(f"{args.points} points, best of {args.repeats} (numpy.savetxt: one run), {CPUS} CPUs")
    print(
        f"{'encoding':<18} {'target':<10} {'threads':>7} {'vantrel ms':>11} {'against':<24} {'ms':>9} "
        f"{'ratio':>6} {'goal':>7}"
    )
    for encoding, case, one, every, theirs in measure(args.points, args.repeats):
        rows = [(1, one, FLOOR_NAMES[encoding], theirs, TARGETS[encoding])]
        if encoding == "ascii":
            rows.append((CPUS, every, "vantrel on 1 thread", one, TARGETS_ALL[encoding]))
        else:
            rows.append((CPUS, every, FLOOR_NAMES[encoding], theirs, TARGETS_ALL[encoding]))
        for threads, ours, against, base, goal in rows:
            ratio = ours / base
            mark = "" if ratio <= goal else "  (over)"
            print(
                f"{encoding:<18} {case:<10} {threads:>7} {ours * 1e3:11.1f} {against:<24} {base * 1e3:9.1f} "
                f"{ratio:6.2f} {'<= ' + format(goal, '.2f'):>7}{mark}"
            )
    bytes_io(args.points, args.repeats)
    # Blocks compressed apart against one stream over the whole image.
    ours, theirs = (payload_size(WRITTEN / f"{who}.binary_compressed.pcd") for who in ("vantrel", "floor"))
    print(
        f"binary_compressed payload {ours} bytes, one lzf_compress stream {theirs}: {ours / theirs - 1:+.2%} (<= +1%)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
