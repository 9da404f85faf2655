"""Many clouds loaded one after another, as a training loop or a batch job does, against
numpy.fromfile of the same records, each in a fresh process (cold) and timed as a whole batch.

    python bench/batch.py [--points 2000000] [--repeats 5] [--loads 20]

vantrel keeps the memory of the last cloud released (up to 64 MiB) for the next load of about its
size, where numpy.fromfile, like any fresh allocation, takes new pages from the system each time:
on a virtual machine their clearing can cost more than the read. The binary cloud of --points
points is loaded --loads times in each of --repeats processes, the two alternating; the best batch
and the ratio are printed.
"""

import subprocess
import sys

from clouds import arguments, cloud_path

CHILD = """
import sys, time
import numpy as np
import vantrel
path, how, loads = sys.argv[1], sys.argv[2], int(sys.argv[3])
header = vantrel.read_pcd_header(path)
dtype = np.dtype([("_", "V%d" % header.point_step)])
start = time.perf_counter()
for _ in range(loads):
    if how == "vantrel":
        points, fields = vantrel.load_pcd(path)
    else:
        records = np.fromfile(path, dtype, offset=header.data_offset)
print(time.perf_counter() - start)
"""


def batch(path, how, loads):
    run = subprocess.run([sys.executable, "-c", CHILD, str(path), how, str(loads)], capture_output=True, text=True)
    if run.returncode:
        raise RuntimeError(run.stderr)
    return float(run.stdout)


def main():
    parser = arguments(__doc__)
    parser.add_argument("--loads", type=int, default=20)
    args = parser.parse_args()
    path = cloud_path(args.points, "binary")
    times = {"vantrel": [], "numpy.fromfile": []}
    for _ in range(args.repeats):
        for how in times:
            times[how].append(batch(path, how, args.loads))
    best = {how: min(t) for how, t in times.items()}
    for how, t in best.items():
        print(
            f"{args.loads} loads of {args.points:,} points (binary), {how}: {t:.3f} s, "
            f"{t / args.loads * 1000:.1f} ms a load"
        )
    print(f"vantrel at {best['vantrel'] / best['numpy.fromfile']:.2f} of numpy.fromfile's time")


if __name__ == "__main__":
    main()
