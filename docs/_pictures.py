"""The manual's pictures, made by vantrel view at each build (html) from the example scenes, into
docs/_generated: what the pages show is what the code draws today."""

import pathlib
import subprocess
import sys
import tempfile

import numpy as np

import vantrel
import vantrel.tools

HERE = pathlib.Path(__file__).parent
ROOT = HERE.parent
OUT = HERE / "_generated"


def scenes():
    import importlib.util

    spec = importlib.util.spec_from_file_location("scenes", ROOT / "examples" / "scenes.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def view(source, target, *options):
    subprocess.run(
        [sys.executable, "-m", "vantrel", "view", str(source), "-o", str(OUT / target), "--size", "1000x640", *options],
        check=True,
        capture_output=True,
    )


def make_pictures() -> None:
    OUT.mkdir(exist_ok=True)
    made = scenes()
    with tempfile.TemporaryDirectory() as folder:
        work = pathlib.Path(folder)
        fields, points = made.street()
        vantrel.write_pcd(work / "street.pcd", fields, points=points)
        fields, points = made.depth()
        vantrel.write_pcd(work / "depth.pcd", fields, points=points, width=160, height=120)
        view(work / "street.pcd", "view.png", "--color", "intensity")
        view(work / "depth.pcd", "view-depth.png")
        # The street's 20 m tiles, each point colored by the tile it went to.
        vantrel.tools.tile(work / "street.pcd", work / "tiles", size=20, metadata=False)
        tiles = sorted((work / "tiles").glob("*.pcd"))
        parts = [vantrel.read_pcd(path) for path in tiles]
        xyz = np.concatenate([p.points for p in parts])
        tile = np.concatenate([np.full(len(p), k, np.float32) for k, p in enumerate(parts)])
        vantrel.write_pcd(work / "tiled.pcd", {"tile": tile}, points=xyz)
        view(work / "tiled.pcd", "tiles.png", "--color", "tile")
        polygon = [(5, -8), (25, -2), (45, -8), (45, 8), (5, 8)]
        vantrel.tools.crop(work / "street.pcd", work / "cropped.pcd", polygon=polygon)
        view(work / "cropped.pcd", "crop.png", "--color", "intensity")
        vantrel.tools.downsample(work / "street.pcd", work / "coarse.pcd", voxel=0.5)
        view(work / "coarse.pcd", "downsample.png", "--color", "intensity")


if __name__ == "__main__":
    make_pictures()
