"""Round trips of every encoding, printed as digests: run by the x86-64 build and by the aarch64
wheel under qemu, whose outputs must be the same line for line (make test-aarch64-wheel).

    python packaging/roundtrip.py FOLDER
"""

import hashlib
import pathlib
import sys

import numpy as np

import vantrel


def bits(n: int, seed: int) -> np.ndarray:
    """n pseudo-random 64-bit words: an LCG in uint64 arithmetic, the same on every machine and NumPy."""
    with np.errstate(over="ignore"):
        state = (np.arange(n, dtype=np.uint64) + np.uint64(seed)) * np.uint64(6364136223846793005)
        state += np.uint64(1442695040888963407)
        return state ^ (state >> np.uint64(29)) * np.uint64(0xBF58476D1CE4E5B9)


def clouds() -> dict[str, dict[str, np.ndarray]]:
    """Every element type, COUNT 3, NaN, infinities, -0 and the integer extremes."""
    n = 20_000  # a compressed image of several blocks

    def uniform(seed: int, scale: float) -> np.ndarray:
        return (bits(n, seed) >> np.uint64(11)).astype(np.float64) * 2.0**-53 * 2 * scale - scale

    fields: dict[str, np.ndarray] = {axis: uniform(k, 100).astype(np.float32) for k, axis in enumerate("xyz")}
    for k, code in enumerate(("f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8")):
        dtype = np.dtype(code)
        if dtype.kind == "f":
            values = uniform(10 + k, 1e3).astype(dtype)
            values[:4] = [np.nan, np.inf, -np.inf, -0.0]
        else:
            values = bits(n, 10 + k).astype(np.dtype(f"u{dtype.itemsize}")).view(dtype)
            info = np.iinfo(dtype)
            values[:2] = [info.min, info.max]
        fields[f"v_{code}"] = values
    fields["normal"] = uniform(30, 1).astype(np.float32).reshape(-1, 1).repeat(3, axis=1) * [1, -1, 0.5]
    fields["normal"] = fields["normal"].astype(np.float32)
    return {"every type": fields}


def digest(*arrays: np.ndarray) -> str:
    h = hashlib.sha256()
    for array in arrays:
        h.update(np.ascontiguousarray(array).tobytes())
    return h.hexdigest()[:16]


def main() -> int:
    folder = pathlib.Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for name, fields in clouds().items():
        for data in ("ascii", "binary", "binary_compressed"):
            path = folder / f"{name.replace(' ', '_')}.{data}.pcd"
            vantrel.write_pcd(path, fields, data=data)
            written = hashlib.sha256(path.read_bytes()).hexdigest()[:16]
            cloud = vantrel.read_pcd(path)
            points, others = vantrel.load_pcd(str(path))
            read = digest(*cloud.fields.values())
            loaded = digest(points, *others.values())
            same = all(digest(cloud[k]) == digest(v) for k, v in fields.items())
            print(f"{name} {data}: file {written} read {read} load_pcd {loaded} values {'equal' if same else 'DIFFER'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
