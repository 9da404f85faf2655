"""vantrel view's pictures checked for what they show: an F drawn upright and never mirrored, a lidar
room seen from above, range images tall enough to read, the up axis found; the 3D page rendered
by headless Chromium and checked the same way."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

import vantrel
from vantrel import _scene

image = pytest.importorskip("matplotlib.image")


def the_f(n=60_000, seed=0):
    """An F 10 m wide in x and 40 m tall in y, on the ground (z up): its bar at x 0-2, its arms
    pointing to +x, the longer at the top."""
    rng = np.random.default_rng(seed)

    def part(x0, x1, y0, y1, k):
        return np.column_stack([rng.uniform(x0, x1, k), rng.uniform(y0, y1, k), rng.normal(0, 0.02, k)])

    return np.concatenate([part(0, 2, 0, 40, n // 2), part(0, 10, 36, 40, n // 4), part(0, 6, 18, 22, n // 4)])


def lidar_room(rings=64, columns=1024):
    """An organized lidar scan (z up, 1.5 m above the floor) of a room 20 m in x by 12 m in y."""
    elevation = np.radians(np.linspace(-22.5, 22.5, rings))[:, None]
    azimuth = np.radians(np.linspace(-180, 180, columns, endpoint=False))[None, :]
    ray = np.stack(
        np.broadcast_arrays(
            np.cos(elevation) * np.cos(azimuth), np.cos(elevation) * np.sin(azimuth), np.sin(elevation)
        ),
        axis=-1,
    )
    with np.errstate(divide="ignore"):
        hits = [
            np.where(ray[..., 0] > 0, 12 / ray[..., 0], np.inf),
            np.where(ray[..., 0] < 0, -8 / ray[..., 0], np.inf),
            np.where(ray[..., 1] > 0, 5 / ray[..., 1], np.inf),
            np.where(ray[..., 1] < 0, -7 / ray[..., 1], np.inf),
            np.where(ray[..., 2] < 0, -1.5 / ray[..., 2], np.inf),
            np.where(ray[..., 2] > 0, 1.5 / ray[..., 2], np.inf),
        ]
    return (ray * np.min(hits, axis=0)[..., None]).reshape(-1, 3).astype(np.float32)


def colored(pixels):
    """Pixels of a colormap's colors: saturated, not the white, black or grey of axes and text."""
    rgb = pixels[..., :3]
    return (rgb.max(axis=-1) - rgb.min(axis=-1)) > 0.15


def box_of(mask):
    rows, cols = np.flatnonzero(mask.any(axis=1)), np.flatnonzero(mask.any(axis=0))
    return mask[rows[0] : rows[-1] + 1, cols[0] : cols[-1] + 1]


def assert_upright_f(ink):
    """The F's bar on the left, its arms to the right, the top arm at the top: not mirrored either way."""
    f = box_of(ink & (ink.sum(axis=0) > 20))  # columns of the F, not a side view's thin line
    rows, cols = f.shape
    assert rows > 2 * cols, f.shape  # 40 m tall, 10 m wide: x across, y up
    left, right = f[:, : cols // 6].mean(), f[:, -cols // 6 :].mean()
    top, bottom = f[: rows // 12, -cols // 6 :].mean(), f[-rows // 12 :, -cols // 6 :].mean()
    assert left > 0.5 and right < 0.3 and top > 0.5 and bottom < 0.1, (left, right, top, bottom)


def view(tmp_path, points, *options, fields=None, **grid):
    path = tmp_path / "scene.pcd"
    vantrel.write_pcd(path, fields or {}, points=points.astype(np.float32), **grid)
    out = tmp_path / ("v.html" if "--html" in options else "v.png")
    options = [o for o in options if o != "--html"]
    run = subprocess.run(
        [sys.executable, "-W", "error", "-m", "vantrel", "view", path, "-o", out, *options],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"view: {out} written, ")
    return out, run


def test_the_f_is_drawn_upright_and_never_mirrored(tmp_path):
    out, run = view(tmp_path, the_f(), "--size", "800x600")
    pixels = image.imread(out)
    assert_upright_f(colored(pixels)[:, :400])  # the plan, left of the side view


def test_a_lidar_rooms_plan_is_from_above(tmp_path):
    out, _ = view(tmp_path, lidar_room(), "--size", "900x900", width=1024, height=64)
    ink = colored(image.imread(out))
    plan = box_of(ink[330:])  # below the range image
    assert plan.shape[1] / plan.shape[0] == pytest.approx(20 / 12, rel=0.15)  # x across, y up: the outline


@pytest.mark.parametrize("rings", [16, 64])
def test_a_range_image_is_tall_enough_to_read(tmp_path, rings):
    out, _ = view(tmp_path, lidar_room(rings, 512), "--size", "800x900", width=512, height=rings)
    ink = colored(image.imread(out))[:, :700]
    rows = np.flatnonzero(ink[:320].mean(axis=1) > 0.5)
    assert len(rows) >= 150, len(rows)


@pytest.mark.parametrize(
    ("scene", "viewpoint", "given", "up"),
    [
        ("f", None, None, "+z"),
        ("f-on-its-side", None, None, "+x"),
        ("room", None, None, "+z"),
        ("camera", None, None, "-y"),
        ("f", (0, 0, 0, 0.7071068, 0.7071068, 0, 0), None, "+y"),  # turned 90 degrees about x: y is up
        ("f", None, "-x", "-x"),
    ],
)
def test_the_up_axis_is_found(scene, viewpoint, given, up):
    points = {
        "f": the_f(2000),
        "f-on-its-side": the_f(2000)[:, [2, 0, 1]],
        "room": lidar_room(16, 128),
        "camera": np.column_stack([np.random.default_rng(1).uniform(-1, 1, (2000, 2)), np.full(2000, 3.0)]),
    }[scene]
    grid = {"width": 128, "height": 16} if scene == "room" else {"width": 50, "height": 40} if scene == "camera" else {}
    cloud = vantrel.PointCloud.from_records(
        np.rec.fromarrays(points.T.astype(np.float32), names="x,y,z"), viewpoint=viewpoint, **grid
    )
    assert _scene.find_up(cloud.header, points, given).direction.name == up


@pytest.mark.parametrize(("up", "right", "screen_up"), [("z", "x", "y"), ("-y", "x", "z"), ("x", "y", "z")])
def test_a_plan_is_right_handed(up, right, screen_up):
    view = _scene.plan(_scene.Direction.named(up), np.ones(3))
    assert (view.label(view.right), view.label(view.up)) == (right, screen_up)
    assert np.allclose(np.cross(view.right, view.up), view.toward)  # toward the viewer: not mirrored


def chromium():
    for name in ("chromium", "chromium-browser"):
        if shutil.which(name):
            return name
    pytest.skip("no Chromium")


def test_the_3d_page_shows_the_f_upright_in_a_browser(tmp_path):
    out, _ = view(tmp_path, the_f(300_000), "--html", "--max-points", "60000")  # over 4x: thinned in two passes
    shown = re.search(r"300,000 points, ([0-9,]+) shown", out.read_text()[:2000])
    assert shown and 30_000 <= int(shown[1].replace(",", "")) <= 60_000
    assert b"http" not in out.read_bytes().split(b"<script")[0].replace(b"charset", b"")  # nothing fetched
    shot = tmp_path / "shot.png"
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run(
            [
                chromium(),
                "--headless",
                "--no-sandbox",
                "--use-angle=swiftshader",
                "--enable-unsafe-swiftshader",
                f"--user-data-dir={profile}",
                "--hide-scrollbars",
                "--window-size=800,800",
                "--virtual-time-budget=5000",
                f"--screenshot={shot}",
                out.as_uri() + "#view=-90,89.9,3.5&size=3",
            ],
            capture_output=True,
            timeout=120,
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},  # not a sanitizer run's runtime
        )
    pixels = image.imread(shot)
    assert_upright_f(colored(pixels)[80:760])  # below the panel, above the scale bar


def test_a_page_of_two_million_points_is_under_40_mb(tmp_path):
    points = np.random.default_rng(2).uniform(0, 100, (2_000_000, 3))
    out, _ = view(
        tmp_path, points, "--html", "--color", "intensity", fields={"intensity": np.arange(2_000_000, dtype=np.float32)}
    )
    assert out.stat().st_size < 40e6
    assert "2,000,000 points" in out.read_text()[:2000]


@pytest.mark.parametrize("parts", [1, 7])
def test_a_large_cloud_is_thinned_in_parts_to_at_most_the_points_asked(parts):
    """Points are kept in their order with their own values, never more than asked, and not
    thinned far below it (a surface's voxels); read in parts as a page reads a large file."""
    rng = np.random.default_rng(5)
    xyz = np.column_stack([rng.uniform(0, 100, 300_000), rng.uniform(0, 50, 300_000), rng.normal(0, 0.1, 300_000)])
    values = np.arange(len(xyz), dtype=np.float64)
    pieces = [(x, v) for x, v in zip(np.array_split(xyz, parts), np.array_split(values, parts), strict=True)]
    kept, shown = _scene.thin(pieces, xyz.min(axis=0), float(np.ptp(xyz, axis=0).max()), 20_000, xyz[::30])
    assert 20_000 / 4 < len(kept) <= 20_000
    order = shown.astype(np.int64)
    assert np.all(np.diff(order) > 0) and np.array_equal(kept, xyz[order])


def test_a_notebook_shows_a_small_page():
    cloud = vantrel.PointCloud.from_records(np.rec.fromarrays(the_f(300_000).T.astype(np.float32), names="x,y,z"))
    shown = cloud._repr_html_()
    assert shown.startswith("<iframe srcdoc=") and len(shown) < 5e6


@pytest.mark.parametrize("fast", [True, False], ids=["maximum-at", "sort"])
def test_each_pixel_shows_the_point_nearest_the_viewer(monkeypatch, fast):
    monkeypatch.setattr(_scene, "FAST_AT", fast)
    rng = np.random.default_rng(5)
    xyz = np.column_stack([rng.integers(0, 4, 4000) + 0.5, rng.integers(0, 4, 4000) + 0.5, rng.uniform(0, 10, 4000)])
    extent = _scene.Extent(np.zeros(3), np.array([4.0, 4.0, 10.0]), xyz, np.zeros(0), len(xyz))
    raster = _scene.Raster(_scene.plan(_scene.Direction(2, 1), np.ones(3)), extent, 4, 4)
    for part in np.array_split(np.arange(len(xyz)), 3):  # in chunks, as a file is read
        raster.add(xyz[part], xyz[part, 2])
    cell = (np.floor(xyz[:, 1]) * 4 + np.floor(xyz[:, 0])).astype(int)
    highest = [xyz[cell == c, 2].max() for c in range(16)]
    assert raster.value.tolist() == highest and (raster.count == np.bincount(cell, minlength=16)).all()
