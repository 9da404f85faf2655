"""Reads every sample file under examples/data and prints what it holds."""

import io
import pathlib
import sys
import time

import numpy as np

import vantrel


def summary(path):
    start = time.perf_counter()
    cloud = vantrel.read_pcd(path)
    elapsed = time.perf_counter() - start
    h = cloud.header
    grid = f"organized {h.width} x {h.height}" if h.organized else "unorganized"
    lines = [f"{path.name}: {len(cloud)} points, {h.data}, {grid}, read in {elapsed * 1e3:.2f} ms"]
    for name, values in cloud.fields.items():
        lines.append(f"    {name:<12} {str(values.dtype):<8} shape {values.shape}")
    if {"x", "y", "z"} <= cloud.fields.keys():
        points = cloud.points
        finite = points[np.isfinite(points).all(axis=1)]
        if len(finite):
            low, high = finite.min(axis=0), finite.max(axis=0)
            for axis, lo, hi in zip("xyz", low, high, strict=True):
                lines.append(f"    {axis} in [{lo:.3f}, {hi:.3f}]")
        lines.append(f"    {len(points) - len(finite)} points with a NaN or infinite coordinate")
    # Written again in every encoding, in memory, and read back unchanged.
    for data in ("ascii", "binary", "binary_compressed"):
        out = io.BytesIO()
        vantrel.write_pcd(out, cloud, data=data)
        again = vantrel.read_pcd(io.BytesIO(out.getvalue()))
        same = all(
            again.fields[name].tobytes() == values.tobytes() for name, values in cloud.fields.items() if name != "_"
        )
        lines.append(
            f"    written as {data}: {len(out.getvalue()):,} bytes, reads back {'the same' if same else 'CHANGED'}"
        )
    return "\n".join(lines)


def main(folder):
    files = sorted(pathlib.Path(folder).glob("*.pcd"))
    if not files:
        sys.exit(f"no .pcd files in {folder}")
    for path in files:
        print(summary(path))
    print(
        "\nNext: python -c 'import vantrel; print(vantrel.read_pcd(\"examples/data/lidar.binary.pcd\"))', "
        "vantrel info --stats examples/data/*.pcd, vantrel view examples/data/lidar.binary.pcd -o lidar.png; "
        "the manual: make docs, then docs/_build/html/index.html"
    )


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "data")
