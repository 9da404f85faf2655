"""Lidar-like benchmark clouds in the three PCD encodings, written once into bench/out."""

import argparse
import ctypes
import ctypes.util
import pathlib
import time

import numpy as np

OUT = pathlib.Path(__file__).parent / "out"
DTYPE = np.dtype(
    [("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("intensity", "<f4"), ("ring", "<u2"), ("timestamp", "<f8")]
)
ENCODINGS = ("ascii", "binary", "binary_compressed")


def lidar_records(points, seed=7):
    rng = np.random.default_rng(seed)
    cloud = np.empty(points, DTYPE)
    ring = np.arange(points) % 128
    azimuth = np.linspace(0, 2 * np.pi * (points // 128 + 1), points)
    distance = rng.uniform(1, 120, points)
    cloud["x"] = distance * np.cos(azimuth)
    cloud["y"] = distance * np.sin(azimuth)
    cloud["z"] = (ring - 64) * 0.05 * distance / 10 + rng.normal(0, 0.02, points)
    cloud["intensity"] = rng.uniform(0, 255, points).round(1)
    cloud["ring"] = ring
    cloud["timestamp"] = 1.7e9 + np.arange(points) * 1e-6
    return cloud


def header(points, encoding):
    return (
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n"
        "FIELDS x y z intensity ring timestamp\nSIZE 4 4 4 4 2 8\nTYPE F F F F U F\n"
        f"COUNT 1 1 1 1 1 1\nWIDTH {points}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\n"
        f"POINTS {points}\nDATA {encoding}\n"
    ).encode()


def lzf_compress(raw):
    lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")
    out = ctypes.create_string_buffer(len(raw) + len(raw) // 16 + 64)
    n = lzf.lzf_compress(raw, len(raw), out, len(out))
    if n == 0:
        raise RuntimeError("lzf_compress failed")
    return out.raw[:n]


def data_section(cloud, encoding):
    if encoding == "binary":
        return cloud.tobytes()
    if encoding == "binary_compressed":
        image = b"".join(np.ascontiguousarray(cloud[name]).tobytes() for name in DTYPE.names)
        payload = lzf_compress(image)
        return np.array([len(payload), len(image)], "<u4").tobytes() + payload
    lines = [
        f"{x:.8g} {y:.8g} {z:.8g} {i:.8g} {r} {t:.6f}"
        for x, y, z, i, r, t in zip(
            cloud["x"].tolist(),
            cloud["y"].tolist(),
            cloud["z"].tolist(),
            cloud["intensity"].tolist(),
            cloud["ring"].tolist(),
            cloud["timestamp"].tolist(),
            strict=True,
        )
    ]
    return ("\n".join(lines) + "\n").encode()


def cloud_path(points, encoding):
    """The file for this size and encoding, written on first use."""
    path = OUT / f"lidar_{points}.{encoding}.pcd"
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        cloud = lidar_records(points)
        tmp = path.with_suffix(".tmp")
        tmp.write_bytes(header(points, encoding) + data_section(cloud, encoding))
        tmp.rename(path)
    return path


def arguments(doc):
    """The options every single-run benchmark takes: the cloud's size and the number of runs."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=2_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    return parser


def best_of(fn, repeats):
    """The shortest of `repeats` runs of fn, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
