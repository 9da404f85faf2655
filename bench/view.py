"""vantrel view on lidar maps of 3,000,000 and 20,000,000 points (binary, the maps of
bench/tools.py): a PNG (two rasterised panels) and a 3D page, each in a fresh process, with the
time of `vantrel check` of the same file (one read in chunks) beside it as the floor, and the
peak memory of each.

    python bench/view.py [--points 3000000 20000000] [--repeats 2]
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time


def timed(args):
    """Seconds and the peak memory (MB) of a command, its own (wait4's rusage of that child)."""
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status:
        raise RuntimeError(child.stderr.read().decode())
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, nargs="*", default=[3_000_000, 20_000_000])
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-view-"))
    cli = [sys.executable, "-m", "vantrel"]
    try:
        for points in args.points:
            # Made in a process of its own: a child forked from a parent that held the map would
            # report the parent's memory as its own peak (ru_maxrss survives exec).
            made = f"import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r}); "
            made += f"from tools import map_path; print(map_path({points}))"
            source = subprocess.run(
                [sys.executable, "-c", made], capture_output=True, text=True, check=True
            ).stdout.strip()
            rows = {
                "check (one read)": cli + ["check", source],
                "view -o map.png": cli + ["view", source, "-o", str(scratch / "map.png")],
                "view -o map.html": cli + ["view", source, "-o", str(scratch / "map.html")],
            }
            for name, command in rows.items():
                best = min(timed(command) for _ in range(args.repeats))
                size = ""
                if "html" in name:
                    size = f", {(scratch / 'map.html').stat().st_size / 1e6:.1f} MB"
                print(f"{points:>12,} points: {name:<18} {best[0]:6.2f} s, peak {best[1]:5.0f} MB{size}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
