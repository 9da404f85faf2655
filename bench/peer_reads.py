"""Do the other PCD libraries read what vantrel writes? Run where they are installed (make bench-reads).

    python bench/peer_reads.py [--out bench/results]

vantrel writes five clouds in each encoding: the lidar-like cloud, every element
type (with NaN, infinities, -0 and the integer extremes) and a COUNT 3 field, an
empty cloud, an organized 64 x 32 one, and the lidar cloud again written in
pieces with open_pcd_writer without points= (so that the header keeps room for
the counts, padded with spaces). Then each peer reads each file:
pypcd4 and Open3D in this process, PCL through its pcl_convert_pcd_ascii_binary
tool (PCL reads the file and writes it again as binary, which vantrel reads
back). Every value a peer returns is compared with what was written, bit for
bit (NaN with NaN). Prints and saves a table.
"""

import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import vantrel

HERE = pathlib.Path(__file__).parent
ENCODINGS = ("ascii", "binary", "binary_compressed")


def clouds():
    rng = np.random.default_rng(3)
    n = 50_000  # images of over 1 MiB: compressed payloads of several blocks compressed apart
    lidar = {
        "intensity": rng.uniform(0, 255, n).astype(np.float32),
        "ring": (np.arange(n) % 128).astype(np.uint16),
        "timestamp": 1.7e9 + np.arange(n) * 1e-6,
    }
    types = {}
    for code in ("f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"):
        dtype = np.dtype(code)
        if dtype.kind == "f":
            values = rng.standard_normal(n).astype(dtype)
            values[:4] = [np.nan, np.inf, -np.inf, -0.0]
        else:
            info = np.iinfo(dtype)
            values = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
            values[:2] = [info.min, info.max]
        types[f"v_{code}"] = values
    types["normal"] = rng.standard_normal((n, 3)).astype(np.float32)
    xyz = rng.uniform(-50, 50, (n, 3)).astype(np.float32)
    grid = rng.uniform(-5, 5, (64 * 32, 3)).astype(np.float32)
    grid[::7] = np.nan  # the holes of a depth image
    return {
        "lidar": dict(fields=lidar, points=xyz),
        "every type": dict(fields=types, points=xyz),
        "empty": dict(fields={"intensity": np.zeros(0, np.float32)}, points=np.zeros((0, 3), np.float32)),
        "organized 64x32": dict(fields={}, points=grid, width=64, height=32),
        "lidar in pieces": dict(fields=lidar, points=xyz, pieces=3),
    }


def write(path, spec, encoding):
    extra = {k: spec[k] for k in ("width", "height") if k in spec}
    if "pieces" not in spec:
        vantrel.write_pcd(path, spec["fields"], points=spec["points"], data=encoding, **extra)
        return
    n = len(spec["points"])
    with vantrel.open_pcd_writer(path, data=encoding, **extra) as writer:  # the counts are written last
        for part in np.array_split(np.arange(n), spec["pieces"]):
            writer.write({k: v[part] for k, v in spec["fields"].items()}, points=spec["points"][part])


def expected(spec):
    out = {"x": spec["points"][:, 0], "y": spec["points"][:, 1], "z": spec["points"][:, 2]}
    out.update(spec["fields"])
    return out


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.size != b.size:
        return False
    a, b = a.reshape(-1), b.reshape(-1)
    if a.dtype != b.dtype:
        return np.array_equal(a.astype(np.float64), b.astype(np.float64), equal_nan=True)
    if a.dtype.kind == "f":
        return np.array_equal(a, b, equal_nan=True) and np.array_equal(np.signbit(a), np.signbit(b))
    return np.array_equal(a, b)


def verdict(got, want):
    """Every written field that the reader does not return exactly, and how."""
    notes = {}
    for name, values in want.items():
        if name not in got:
            notes.setdefault("not read", []).append(name)
        elif same(got[name], values):
            continue
        elif values.ndim == 2 and same(got[name], values[:, 0]):
            notes.setdefault("first element only", []).append(name)
        else:
            notes.setdefault("values differ", []).append(name)
    if not notes:
        return "all exact"
    if notes.get("not read") and len(notes["not read"]) == len(want):
        return "reads nothing"
    return "; ".join(f"{how}: {', '.join(names)}" for how, names in notes.items())


def read_pypcd4(path, want):
    import pypcd4

    cloud = pypcd4.PointCloud.from_path(path)
    data = cloud.pc_data
    got = {}
    for name in data.dtype.names:  # a COUNT above 1 comes as name__0000, name__0001, ...
        base = name.split("__")[0] if "__" in name else name
        got.setdefault(base, []).append(data[name])
    return {name: columns[0] if len(columns) == 1 else np.stack(columns, axis=1) for name, columns in got.items()}


def read_open3d_t(path, want):
    import open3d as o3d

    cloud = o3d.t.io.read_point_cloud(str(path))
    got = {name: cloud.point[name].numpy() for name in cloud.point}
    if "positions" in got:
        positions = got.pop("positions")
        got.update(x=positions[:, 0], y=positions[:, 1], z=positions[:, 2])
    if len(want["x"]) and not got:
        raise RuntimeError("read no points")
    return got


def read_open3d_legacy(path, want):
    import open3d as o3d

    cloud = o3d.io.read_point_cloud(str(path))
    xyz = np.asarray(cloud.points)
    if len(want["x"]) and len(xyz) == 0:
        raise RuntimeError("read no points")
    # Legacy Open3D holds coordinates as float64, and drops NaN points unless told not to.
    return {"x": xyz[:, 0].astype(np.float32), "y": xyz[:, 1].astype(np.float32), "z": xyz[:, 2].astype(np.float32)}


def read_pcl(path, want):
    tool = shutil.which("pcl_convert_pcd_ascii_binary")
    if tool is None:
        raise FileNotFoundError("pcl-tools is not installed")
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "pcl.pcd"
        run = subprocess.run([tool, str(path), str(out), "1"], capture_output=True, text=True)
        if run.returncode != 0 or not out.exists():
            raise RuntimeError((run.stderr or run.stdout).strip().splitlines()[-1][:80])
        cloud = vantrel.read_pcd(out)
        return {name: np.array(values) for name, values in cloud.fields.items()}


PEERS = {"pypcd4": read_pypcd4, "open3d.t": read_open3d_t, "open3d legacy": read_open3d_legacy, "PCL": read_pcl}


def ply_reads(tmp):
    """Open3D reading vantrel's PLY files (binary and ascii): positions, colors and every property."""
    import open3d as o3d

    from vantrel import ply

    rng = np.random.default_rng(4)
    n = 50_000
    colors = rng.integers(0, 256, (n, 3))
    fields = {
        "x": rng.normal(0, 50, n).astype(np.float32),
        "y": rng.normal(0, 50, n).astype(np.float32),
        "z": rng.normal(0, 5, n).astype(np.float32),
        "intensity": rng.uniform(0, 255, n).astype(np.float32),
        "rgb": vantrel.pack_rgb(colors, dtype=np.float32),
        "ring": (np.arange(n) % 128).astype(np.uint16),
    }
    buffer = tmp / "ply.pcd"
    vantrel.write_pcd(buffer, fields)
    cloud = vantrel.read_pcd(buffer)
    lines = ["| PLY | Open3D legacy: points, colors | Open3D tensor: every property |", "|---|---|---|"]
    for text in (False, True):
        path = tmp / f"lidar.{'ascii' if text else 'binary'}.ply"
        ply.write_ply(path, cloud, text=text)
        legacy = o3d.io.read_point_cloud(str(path))
        points_ok = np.array_equal(np.asarray(legacy.points), cloud.points.astype(np.float64))
        colors_ok = np.array_equal(np.round(np.asarray(legacy.colors) * 255), colors)
        tensor = o3d.t.io.read_point_cloud(str(path))
        found = []
        for name in ("intensity", "ring"):
            if name not in tensor.point:
                found.append(f"{name}: skipped")
            else:
                same_values = np.array_equal(tensor.point[name].numpy().reshape(-1), fields[name])
                found.append(f"{name}: {'equal' if same_values else 'DIFFERENT'}")
        lines.append(
            f"| {'ascii' if text else 'binary'} | {'equal' if points_ok and colors_ok else 'DIFFERENT'} | "
            f"{', '.join(found)} |"
        )
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "results")
    args = parser.parse_args()
    lines = ["| cloud | encoding | " + " | ".join(PEERS) + " |", "|---|---|" + "---|" * len(PEERS)]
    with tempfile.TemporaryDirectory() as tmp:
        for name, spec in clouds().items():
            want = expected(spec)
            for encoding in ENCODINGS:
                path = pathlib.Path(tmp) / f"{name.replace(' ', '_')}.{encoding}.pcd"
                write(path, spec, encoding)
                row = []
                for read in PEERS.values():
                    try:
                        row.append(verdict(read(path, want), want))
                    except Exception as e:  # the peer cannot read this file
                        row.append(f"fails: {type(e).__name__}: {str(e)[:60]}")
                lines.append(f"| {name} | {encoding} | " + " | ".join(row) + " |")
                print(lines[-1], file=sys.stderr)
        lines += ["", *ply_reads(pathlib.Path(tmp))]
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "peer_reads.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
