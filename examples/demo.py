"""Loads every sample file under examples/data and prints what it holds."""

import pathlib
import sys
import time

import numpy as np

import vantrel


def summary(path):
    start = time.perf_counter()
    points, fields = vantrel.load_pcd(str(path))
    elapsed = time.perf_counter() - start
    lines = [f"{path.name}: {len(points)} points, {points.dtype} xyz, loaded in {elapsed * 1e3:.2f} ms"]
    for name, values in fields.items():
        lines.append(f"    {name:<12} {str(values.dtype):<8} shape {values.shape}")
    finite = points[np.isfinite(points).all(axis=1)]
    if len(finite):
        low, high = finite.min(axis=0), finite.max(axis=0)
        for axis, lo, hi in zip("xyz", low, high, strict=True):
            lines.append(f"    {axis} in [{lo:.3f}, {hi:.3f}]")
    lines.append(f"    {len(points) - len(finite)} points with a NaN or infinite coordinate")
    return "\n".join(lines)


def main(folder):
    files = sorted(pathlib.Path(folder).glob("*.pcd"))
    if not files:
        sys.exit(f"no .pcd files in {folder}")
    for path in files:
        print(summary(path))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "data")
