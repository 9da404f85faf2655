"""vantrel against the PCD readers and writers its users would otherwise pick, and against the floors.

    python bench/peers.py [--repeats 5] [--sizes 100000 2000000] [--out bench/results]

PCL reads through bench/pcl_load.cpp (loadPCDFile into a PCLPointCloud2, every field), built
against Debian's libpcl-io with the headers `make bench` unpacks; without them its rows say so.

Every reader loads every cloud in a fresh process of its own, several times; the
best time counts, and the peak resident memory of one load is measured by
resetting the process's high-water mark before it. Every writer writes the same
cloud, from the arrays it takes, in each encoding, in a process of its own; each
run writes a new file, with the dirty pages of earlier runs flushed first, and
what it wrote is read back with vantrel to compare the coordinates. A library
that is not installed, or that fails, is reported as such. Writes the tables
(Markdown and JSON) and a bar chart into --out, and prints the tables.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

import numpy as np
from writers import FLOOR_NAMES as WRITE_FLOOR_NAMES
from writers import WRITTEN

from clouds import DTYPE, ENCODINGS, cloud_path
from floors import data_offset, floor_compressed, floor_program

HERE = pathlib.Path(__file__).parent
# vantrel runs on every CPU this process may use (its default), and again on one thread.
ONE_THREAD = "vantrel, 1 thread"
READERS = ["vantrel", ONE_THREAD, "pypcd4", "open3d.t", "open3d legacy", "pcl", "floor"]
FLOOR_NAMES = {"ascii": "read + fast_float", "binary": "numpy.fromfile", "binary_compressed": "read + lzf_decompress"}
# open3d legacy keeps x, y and z only: "vantrel x, y, z" writes the same.
WRITERS = ["vantrel", ONE_THREAD, "pypcd4", "open3d.t", "open3d legacy", "vantrel x, y, z", "floor"]


# ---------------------------------------------------------------- one reader, one process


def pcl_program():
    """PCL's reader (bench/pcl_load.cpp) against Debian's libpcl-io, with the headers that
    `make bench` unpacks into build/pcl-root; None when either is missing."""
    include = HERE.parent / "build" / "pcl-root" / "usr" / "include"
    headers = sorted(include.glob("pcl-*"))
    libraries = [
        sorted(pathlib.Path("/usr/lib").glob(f"*/libpcl_{part}.so.1.*"), key=lambda p: len(p.name))
        for part in ("io", "common")
    ]
    if not headers or not all(libraries):
        return None
    exe = HERE / "out" / "pcl_load"
    src = HERE / "pcl_load.cpp"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        exe.parent.mkdir(exist_ok=True)
        flags = [f"-I{headers[-1]}", f"-I{include / 'eigen3'}", f"-I{include}"]
        libs = [str(found[0]) for found in libraries]
        subprocess.run(["g++", "-O2", "-std=c++17", *flags, "-o", str(exe), str(src), *libs], check=True)
    return exe


def program_worker(program, path, repeats):
    """A reader that is a program of its own: best seconds, points and x, y, z sum on its stdout."""
    import resource

    out = subprocess.run([str(program), path, str(repeats)], check=True, capture_output=True, text=True).stdout.split()
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return {"seconds": float(out[0]), "peak_mb": peak / 1024, "points": int(out[1]), "xyz": float(out[2])}


def rss_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def xyz_sum(xyz):
    """A checksum of the coordinates, to see that every reader read the same."""
    if xyz is None:
        return None
    if isinstance(xyz, tuple):
        return float(sum(np.nansum(c, dtype=np.float64) for c in xyz))
    return float(np.nansum(xyz, dtype=np.float64))


def loader(reader, path, encoding, points):
    """A function that loads the file and returns (arrays to keep, its x, y, z or None)."""
    if reader in ("vantrel", ONE_THREAD):
        import vantrel

        vantrel.set_num_threads(1 if reader == ONE_THREAD else len(os.sched_getaffinity(0)))

        def load():
            xyz, fields = vantrel.load_pcd(path)
            return (xyz, fields), xyz
    elif reader == "pypcd4":
        import pypcd4

        def load():
            cloud = pypcd4.PointCloud.from_path(path)
            data = cloud.pc_data  # the decoded structured array
            return data, (data["x"], data["y"], data["z"])
    elif reader == "open3d.t":
        import open3d as o3d

        def load():
            cloud = o3d.t.io.read_point_cloud(path)
            arrays = {name: cloud.point[name].numpy() for name in cloud.point}
            if "positions" not in arrays:
                raise RuntimeError("no points read")
            return arrays, arrays["positions"]
    elif reader == "open3d legacy":
        import open3d as o3d

        def load():
            cloud = o3d.io.read_point_cloud(path)
            xyz = np.asarray(cloud.points)
            if len(xyz) == 0:
                raise RuntimeError("no points read")
            return xyz, xyz
    elif encoding == "binary":
        offset = data_offset(path)

        def load():
            data = np.fromfile(path, DTYPE, points, offset=offset)
            return data, (data["x"], data["y"], data["z"])
    elif encoding == "binary_compressed":
        offset = data_offset(path)

        def load():
            image = floor_compressed(path, offset)
            return image, None
    else:
        raise AssertionError("the ascii floor is a program of its own")
    return load


def worker(reader, path, encoding, points, repeats):
    if reader == "floor" and encoding == "ascii":
        row = program_worker(floor_program(), path, repeats)  # values and their checksum, not x, y, z
        return {**row, "points": row["points"] // 6, "xyz": None}
    if reader == "pcl":
        program = pcl_program()
        return (
            {"error": "not installed (PCL: make bench)"} if program is None else program_worker(program, path, repeats)
        )
    try:
        load = loader(reader, path, encoding, points)
    except ImportError as e:
        return {"error": f"not installed ({e.name})"}
    kept = xyz = None
    best = float("inf")
    peak = 0
    for _ in range(repeats):
        kept = xyz = None
        base = rss_kb("VmRSS:")
        reset_peak()
        start = time.perf_counter()
        try:
            kept, xyz = load()
        except Exception as e:  # the reader cannot load this file
            return {"error": f"{type(e).__name__}: {str(e)[:80]}"}
        best = min(best, time.perf_counter() - start)
        peak = max(peak, rss_kb("VmHWM:") - base)
    return {"seconds": best, "peak_mb": peak / 1024, "xyz": xyz_sum(xyz)}


# ---------------------------------------------------------------- one writer, one process


def write_function(writer, encoding, points, target):
    """A function that writes the cloud to target, from the arrays this writer takes, made beforehand."""
    binary = cloud_path(points, "binary")
    records = np.fromfile(binary, DTYPE, points, offset=data_offset(binary))
    columns = [np.ascontiguousarray(records[name]) for name in DTYPE.names]
    xyz = np.stack(columns[:3], axis=1)
    if writer in ("vantrel", ONE_THREAD):
        import vantrel

        vantrel.set_num_threads(1 if writer == ONE_THREAD else len(os.sched_getaffinity(0)))
        loaded, fields = vantrel.load_pcd(str(binary))  # its views, strided as load_pcd gives them

        def write():
            vantrel.write_pcd(target, fields, points=loaded, data=encoding)
    elif writer == "vantrel x, y, z":
        import vantrel

        loaded, _ = vantrel.load_pcd(str(binary))

        def write():
            vantrel.write_pcd(target, points=loaded, data=encoding)
    elif writer == "pypcd4":
        import pypcd4

        def write():
            cloud = pypcd4.PointCloud.from_points(columns, list(DTYPE.names), [records.dtype[n] for n in DTYPE.names])
            cloud.save(target, encoding=pypcd4.Encoding(encoding))
    elif writer == "open3d.t":
        import open3d as o3d

        def write():
            cloud = o3d.t.geometry.PointCloud(o3d.core.Tensor(xyz))
            for name, column in zip(DTYPE.names[3:], columns[3:], strict=True):
                cloud.point[name] = o3d.core.Tensor(column.reshape(-1, 1))
            if not o3d.t.io.write_point_cloud(
                str(target), cloud, write_ascii=encoding == "ascii", compressed=encoding == "binary_compressed"
            ):
                raise RuntimeError("write_point_cloud failed")
    elif writer == "open3d legacy":
        import open3d as o3d

        xyz64 = xyz.astype(np.float64)  # the only fields it keeps

        def write():
            cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(xyz64))
            if not o3d.io.write_point_cloud(
                str(target), cloud, write_ascii=encoding == "ascii", compressed=encoding == "binary_compressed"
            ):
                raise RuntimeError("write_point_cloud failed")
    else:
        from writers import floor

        write = floor(encoding, records, target)
    return write


def write_worker(writer, encoding, points, repeats):
    WRITTEN.mkdir(parents=True, exist_ok=True)
    target = WRITTEN / f"{''.join(c if c.isalnum() else '_' for c in writer)}.{points}.{encoding}.pcd"
    try:
        write = write_function(writer, encoding, points, target)
    except ImportError as e:
        return {"error": f"not installed ({e.name})"}
    best, peak = float("inf"), 0
    for _ in range(repeats):
        if target.exists():
            target.unlink()
        os.sync()
        base = rss_kb("VmRSS:")
        reset_peak()
        start = time.perf_counter()
        try:
            write()
        except Exception as e:  # the writer cannot write this cloud
            return {"error": f"{type(e).__name__}: {str(e)[:80]}"}
        best = min(best, time.perf_counter() - start)
        peak = max(peak, rss_kb("VmHWM:") - base)
    import vantrel

    cloud = vantrel.read_pcd(target)
    xyz = cloud.points if {"x", "y", "z"} <= cloud.fields.keys() else None
    return {"seconds": best, "peak_mb": peak / 1024, "xyz": xyz_sum(xyz)}


# ---------------------------------------------------------------- threads


def thread_scaling(path, small_path, loads=4, threads=2, repeats=3):
    """`loads` loads from `threads` threads of the caller's, against the same loads one after
    another on every CPU and on one engine thread; and 16 small loads from the caller's threads
    with the engine on every CPU against the engine on one thread."""
    from concurrent.futures import ThreadPoolExecutor

    import vantrel

    every = len(os.sched_getaffinity(0))

    def best(fn, engine_threads, times=repeats):
        vantrel.set_num_threads(engine_threads)
        try:
            return min(timed_once(fn) for _ in range(times))
        finally:
            vantrel.set_num_threads(every)

    vantrel.load_pcd(path), vantrel.load_pcd(small_path)
    with ThreadPoolExecutor(threads) as pool:

        def on_threads(p, n):
            return lambda: list(pool.map(lambda _: vantrel.load_pcd(p)[0].shape, range(n)))

        one_by_one = best(lambda: [vantrel.load_pcd(path) for _ in range(loads)], every)
        one_engine_thread = best(lambda: [vantrel.load_pcd(path) for _ in range(loads)], 1)
        pooled = best(on_threads(path, loads), every)
        small = best(on_threads(small_path, 16), every, 3 * repeats)
        small_one = best(on_threads(small_path, 16), 1, 3 * repeats)
    return {
        "sequential": one_by_one,
        "sequential_one_thread": one_engine_thread,
        "threads": pooled,
        "speedup": one_by_one / pooled,
        "over_one_thread": one_engine_thread / pooled,
        "small": small,
        "small_one_thread": small_one,
    }


def timed_once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


# ---------------------------------------------------------------- driver


def run_worker(args):
    cmd = [sys.executable, __file__, "--worker", json.dumps(args)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["crashed"])[-1]
        return {"error": f"exit {done.returncode}: {tail[:80]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (
        f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}, Python {platform.python_version()}"
    )


def versions():
    found = {"numpy": np.__version__}
    for name in ("pypcd4", "open3d"):
        try:
            module = __import__(name)
            found[name] = getattr(module, "__version__", "?")
        except ImportError:
            found[name] = None
    program = pcl_program()
    found["pcl"] = program and sorted(pathlib.Path("/usr/lib").glob("*/libpcl_io.so.1.*"))[-1].name.split(".so.")[1]
    return found


def table(results, role="reader", floors=FLOOR_NAMES):
    lines = [f"| cloud | encoding | {role} | best ms | × vantrel | peak MB | xyz |", "|---|---|---|---:|---:|---:|---|"]
    for row in results:
        ours = next(
            r
            for r in results
            if r["points"] == row["points"] and r["encoding"] == row["encoding"] and r["reader"] == "vantrel"
        )
        name = row["reader"] if row["reader"] != "floor" else f"floor: {floors[row['encoding']]}"
        cloud = f"{row['points'] // 1000}k" if row["points"] < 10**6 else f"{row['points'] / 1e6:g}M"
        if "error" in row:
            lines.append(f"| {cloud} | {row['encoding']} | {name} | — | — | — | {row['error']} |")
            continue
        ratio = row["seconds"] / ours["seconds"] if "seconds" in ours else float("nan")
        same = (
            "—"
            if row["xyz"] is None or ours.get("xyz") is None
            else ("same" if np.isclose(row["xyz"], ours["xyz"], rtol=1e-6) else "differs")
        )
        lines.append(
            f"| {cloud} | {row['encoding']} | {name} | {row['seconds'] * 1e3:.1f} | {ratio:.2f} | "
            f"{row['peak_mb']:.0f} | {same} |"
        )
    return "\n".join(lines)


def chart(results, writes, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 1, figsize=(11, 9))
    for ax, rows, verb, names in ((axes[0], results, "load", READERS), (axes[1], writes, "write", WRITERS)):
        groups = sorted({(r["points"], r["encoding"]) for r in rows}, key=lambda g: (g[0], ENCODINGS.index(g[1])))
        width = 0.8 / len(names)
        for i, name in enumerate(names):
            xs, ys = [], []
            for j, (points, encoding) in enumerate(groups):
                row = next(
                    r for r in rows if r["points"] == points and r["encoding"] == encoding and r["reader"] == name
                )
                if "seconds" in row:
                    xs.append(j + (i - (len(names) - 1) / 2) * width)
                    ys.append(row["seconds"] * 1e3)
            ax.bar(xs, ys, width, label=name if name != "floor" else "floor (see table)")
        ax.set_yscale("log")
        ax.set_ylabel(f"best {verb} time, ms (log scale)")
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels([f"{p // 1000}k\n{e}" if p < 10**6 else f"{p / 1e6:g}M\n{e}" for p, e in groups])
        ax.set_title(f"PCD {verb} time: vantrel against other libraries (lower is better)")
        ax.legend(ncol=len(names), fontsize=8, loc="upper left")
        ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 2_000_000])
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "results")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        job = json.loads(args.worker)
        print(json.dumps(write_worker(**job["write"]) if "write" in job else worker(**job)))
        return 0

    floor_program(), pcl_program()  # built here, so that no reader's peak memory counts the compiler
    results = []
    for points in args.sizes:
        for encoding in ENCODINGS:
            path = str(cloud_path(points, encoding))
            # Small clouds load in well under a millisecond: more tries steady their best.
            repeats = min(50, max(args.repeats, args.repeats * 2_000_000 // points // 4))
            for reader in READERS:
                row = run_worker(dict(reader=reader, path=path, encoding=encoding, points=points, repeats=repeats))
                row.update(reader=reader, encoding=encoding, points=points)
                results.append(row)
                shown = f"{row['seconds'] * 1e3:9.1f} ms" if "seconds" in row else row["error"]
                print(f"{points:>9} {encoding:<18} {reader:<14} {shown}", file=sys.stderr)

    writes = []
    for points in args.sizes:
        for encoding in ENCODINGS:
            for writer in WRITERS:
                # Text writers other than vantrel take many seconds on the large cloud: one run each.
                slow = encoding == "ascii" and writer != "vantrel" and points > 10**6
                repeats = 1 if slow else max(3, args.repeats)
                job = {"write": dict(writer=writer, encoding=encoding, points=points, repeats=repeats)}
                row = run_worker(job)
                row.update(reader=writer, encoding=encoding, points=points)
                writes.append(row)
                shown = f"{row['seconds'] * 1e3:9.1f} ms" if "seconds" in row else row["error"]
                print(f"{points:>9} {encoding:<18} write {writer:<14} {shown}", file=sys.stderr)

    scaling = {
        encoding: thread_scaling(str(cloud_path(max(args.sizes), encoding)), str(cloud_path(min(args.sizes), encoding)))
        for encoding in ("ascii", "binary_compressed")
    }
    args.out.mkdir(parents=True, exist_ok=True)
    report = {
        "machine": machine(),
        "versions": versions(),
        "repeats": args.repeats,
        "results": results,
        "writes": writes,
        "threads": scaling,
    }
    (args.out / "peers.json").write_text(json.dumps(report, indent=1))
    text = [
        f"Machine: {report['machine']}",
        "Versions: " + ", ".join(f"{k} {v}" for k, v in report["versions"].items() if v),
        f"Best of {args.repeats} loads (more for small clouds), each reader in a process of its own. "
        f"vantrel uses the {len(os.sched_getaffinity(0))} CPUs this process may run on; {ONE_THREAD} uses one.",
        "",
        table(results),
        "",
        "Writers, from the arrays each takes (vantrel: the views load_pcd returns). open3d legacy keeps x, y, z "
        "only; so does the row vantrel x, y, z, its like for like.",
        "",
        table(writes, "writer", WRITE_FLOOR_NAMES),
        "",
        f"Thread scaling, {max(args.sizes):,} points: 4 loads one after another (each on every CPU, and each on one "
        "engine thread) against the same 4 loads from 2 threads of the caller's; and 16 loads of "
        f"{min(args.sizes):,} points from 2 threads of the caller's, the engine on every CPU against on one thread.",
        "",
        "| encoding | sequential ms | sequential, 1 engine thread ms | 2 threads ms | × sequential | "
        "× 1 engine thread | 16 small ms | 16 small, 1 engine thread ms |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for encoding, s in scaling.items():
        text.append(
            f"| {encoding} | {s['sequential'] * 1e3:.0f} | {s['sequential_one_thread'] * 1e3:.0f} | "
            f"{s['threads'] * 1e3:.0f} | {s['speedup']:.2f} | {s['over_one_thread']:.2f} | "
            f"{s['small'] * 1e3:.1f} | {s['small_one_thread'] * 1e3:.1f} |"
        )
    (args.out / "peers.md").write_text("\n".join(text) + "\n")
    chart(results, writes, args.out / "peers.png")
    print("\n".join(text))
    return 0


if __name__ == "__main__":
    sys.exit(main())
