"""crop by a polygon of many vertices against crop by a box, on the binary lidar cloud: areas from
GIS tools (a city's boundary, a site's outline) have thousands of vertices.

    python bench/polygons.py [--points 2000000] [--repeats 3] [--vertices 4 100 1000 10000]

Each polygon is an outline of the given number of vertices around the cloud's middle, wavy as a
boundary is, so that a line of constant y crosses it a few times; the box is about its bounding
box. The best of --repeats runs of each is printed, and its ratio to the box's time in the same
run. --shape spiky (the default) moves every vertex by up to 2 m whatever their number, so that
10^6 vertices 0.57 mm apart make a band of long edges 4 m wide; --shape coast moves each vertex
from the last by a step as long as the vertices are apart, rough at every scale as a coastline.
"""

import pathlib
import tempfile

import numpy as np

from clouds import arguments, best_of, cloud_path
from vantrel import tools


def outline(vertices, shape="spiky"):
    turn = np.linspace(0, 2 * np.pi, vertices, endpoint=False)
    rng = np.random.default_rng(1)
    if shape == "spiky":
        rough = rng.uniform(-2, 2, vertices)
    else:  # a random walk of steps as long as the vertices are apart, closed
        rough = np.cumsum(rng.normal(0, 2 * np.pi * 90 / vertices, vertices))
        rough -= np.linspace(0, rough[-1], vertices)
    radius = 90 + 6 * np.sin(7 * turn) + rough
    return np.column_stack([radius * np.cos(turn), radius * np.sin(turn)])


def main():
    parser = arguments(__doc__)
    parser.set_defaults(repeats=3)
    parser.add_argument("--vertices", type=int, nargs="+", default=[4, 100, 1000, 10000])
    parser.add_argument("--shape", choices=["spiky", "coast"], default="spiky")
    args = parser.parse_args()
    path = cloud_path(args.points, "binary")
    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(scratch) / "crop.pcd"
        box = best_of(lambda: tools.crop(path, out, box=(-100, -100, -1e9, 100, 100, 1e9)), args.repeats)
        print(f"crop of {args.points:,} points by a box: {box:.3f} s")
        for vertices in args.vertices:
            polygon = outline(vertices, args.shape)
            took = best_of(lambda p=polygon: tools.crop(path, out, polygon=p), args.repeats)
            print(f"  by a polygon of {vertices:,} vertices: {took:.3f} s, {took / box:.2f} of the box's time")


if __name__ == "__main__":
    main()
