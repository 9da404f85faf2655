"""Two clouds to look at: a street as a lidar sees it, and a room as a depth camera sees it.

    python examples/scenes.py OUTDIR

writes OUTDIR/street.pcd (unorganized: ground, house fronts, lamp posts, a car) and OUTDIR/depth.pcd
(organized 160 x 120: a room with a box and a pillar, and an open door that returns nothing).
"""

import pathlib
import sys

import numpy as np

import vantrel


def street(seed=0):
    """A 60 m street: ground, house fronts with windows across it, lamp posts and a parked car; x along
    the street, y across it, z up, in metres; intensity high on the road marking and the windows."""
    rng = np.random.default_rng(seed)
    parts = []

    def add(x, y, z, intensity):
        parts.append(np.column_stack([x, y, z, intensity]))

    n = 60_000
    x, y = rng.uniform(0, 60, n), rng.uniform(-9, 9, n)  # road and pavements, kerbs 15 cm up
    z = np.where(np.abs(y) > 5, 0.15, 0.0) + rng.normal(0, 0.01, n)
    add(x, y, z, np.where((np.abs(y) < 0.1) & (x % 6 < 3), 0.9, 0.2))
    n = 50_000  # house fronts across the street, 8 to 12 m tall, with windows set back
    x, z = rng.uniform(0, 60, n), rng.uniform(0, 1, n)
    z = z * (8 + 4 * (np.floor(x / 12) % 2))
    window = (x % 4 > 1) & (x % 4 < 3) & (z % 3 > 1) & (z % 3 < 2.5) & (z > 1)
    add(x, np.where(window, 9.3, 9.0), z, np.where(window, 0.7, 0.4))
    for post in np.arange(5, 60, 15):  # lamp posts: a thin column and an arm over the road
        n = 3_000
        angle, z = rng.uniform(0, 2 * np.pi, n), rng.uniform(0, 6, n)
        add(post + 0.1 * np.cos(angle), -6 + 0.1 * np.sin(angle), z, np.full(n, 0.5))
        arm = rng.uniform(0, 1.5, 500)
        add(np.full(500, post), -6 + arm, np.full(500, 6.0), np.full(500, 0.5))
    n = 12_000  # a car: the sides and top of a 4.5 x 1.8 x 1.5 m box by the kerb
    low, size = np.array([30.0, -4.5, 0.3]), np.array([4.5, 1.8, 1.2])
    box = rng.uniform(0, 1, (n, 3))
    face = rng.integers(0, 5, n)  # two ends, two sides, the roof
    axis = np.array([0, 0, 1, 1, 2])[face]
    box[np.arange(n), axis] = np.array([0, 1, 0, 1, 1])[face]
    car = low + box * size
    add(car[:, 0], car[:, 1], car[:, 2], np.full(n, 0.8))
    cloud = np.concatenate(parts).astype(np.float32)
    return {"intensity": cloud[:, 3]}, cloud[:, :3]


def depth(width=160, height=120):
    """A depth camera's organized cloud (z forward, x right, y down, 1.2 m above the floor): a room 5 m
    deep with side walls, a box and a pillar on the floor, and an open door in the back wall that
    returns nothing (NaN)."""
    u, v = np.meshgrid(np.arange(width), np.arange(height))
    f = 0.6 * width  # focal length in pixels
    ray = np.stack([(u - width / 2) / f, (v - height / 2) / f, np.ones((height, width))], axis=-1)
    rx, ry = ray[..., 0], ray[..., 1]
    with np.errstate(divide="ignore", invalid="ignore"):
        hits = [
            np.full((height, width), 5.0),  # the back wall
            np.where(ry > 0, 1.2 / ry, np.inf),  # the floor
            np.where(rx < 0, -2.5 / rx, np.inf),  # the left wall
            np.where(rx > 0, 3.0 / rx, np.inf),  # the right wall
        ]
        # A box, x 0.2 to 1.2, z 2.5 to 3.5, 0.9 m tall: the nearest of its front, side and top.
        front = np.where((rx * 2.5 >= 0.2) & (rx * 2.5 <= 1.2) & (ry * 2.5 >= 0.3), 2.5, np.inf)
        side = np.where(rx > 0, 0.2 / rx, np.inf)
        side = np.where((side >= 2.5) & (side <= 3.5) & (ry * side >= 0.3), side, np.inf)
        top = np.where(ry > 0, 0.3 / ry, np.inf)
        top = np.where((top >= 2.5) & (top <= 3.5) & (rx * top >= 0.2) & (rx * top <= 1.2), top, np.inf)
        hits += [front, side, top]
        # A pillar of radius 0.3 at x -1.2, z 3.5, floor to ceiling: the nearer root of |t r - c| = 0.3.
        a, b, c = rx**2 + 1, -2 * (rx * -1.2 + 3.5), 1.2**2 + 3.5**2 - 0.3**2
        root = (-b - np.sqrt(b * b - 4 * a * c)) / (2 * a)
        hits.append(np.where(np.isfinite(root), root, np.inf))
    t = np.min(hits, axis=0)
    door = (t == 5.0) & (rx * 5 > 1.6) & (rx * 5 < 2.4) & (ry * 5 > -0.9)
    t[door] = np.nan
    points = (ray * t[..., None]).reshape(-1, 3).astype(np.float32)
    return {}, points


def main(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    fields, points = street()
    vantrel.write_pcd(folder / "street.pcd", fields, points=points, data="binary_compressed")
    fields, points = depth()
    vantrel.write_pcd(folder / "depth.pcd", fields, points=points, width=160, height=120, data="binary_compressed")
    print(f"wrote {folder / 'street.pcd'} and {folder / 'depth.pcd'}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
