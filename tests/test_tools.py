"""Map tools against NumPy over the whole (small) cloud: which points go to which tile, the crop's
set, the voxel means; the same bytes for any chunk size and thread count; bad arguments refused
with nothing written."""

import importlib.util
import itertools
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from vantrel import _chunks, _polygons, _tiles, _voxels, cli, tools

N = 3000


@pytest.fixture(scope="module")
def lidar(tmp_path_factory):
    """A small map with every kind of field: floats, a COUNT 3, integers, a packed color, NaNs."""
    rng = np.random.default_rng(3)
    points = rng.uniform(-30, 50, (N, 3)).astype(np.float32)
    points[::97] = np.nan
    fields = {
        "intensity": rng.random(N).astype(np.float32),
        "normal": rng.standard_normal((N, 3)).astype(np.float32),
        "ring": rng.integers(0, 64, N).astype(np.uint16),
        "t": rng.random(N) + 1.7e9,
        "rgb": vantrel.pack_rgb(rng.integers(0, 256, (N, 3)), dtype="float32"),
    }
    path = tmp_path_factory.mktemp("map") / "map.pcd"
    vantrel.write_pcd(path, fields, points=points, data="binary")
    return path, vantrel.read_pcd(path)


@pytest.fixture(
    params=[(1, 1, None), (7, 2, 0), (1_000_000, 2, None)], ids=["chunk-1", "chunk-7-2-threads-spooled", "whole"]
)
def chunking(request, monkeypatch):
    size, threads, spool_memory = request.param
    monkeypatch.setattr(tools, "chunk_points", lambda step: size)
    if spool_memory is not None:  # tiles' records go to the scratch files at once
        monkeypatch.setattr(_tiles, "SPOOL_MEMORY", spool_memory)
        # downsample's table fills at about 40 voxels: a dozen runs, merged 16 voxels at a time
        monkeypatch.setattr(_voxels, "VOXEL_MEMORY", 7000)
        monkeypatch.setattr(_voxels, "BLOCK", 16)
    before = vantrel.get_num_threads()
    vantrel.set_num_threads(threads)
    yield size
    vantrel.set_num_threads(before)


def same_bytes(paths):
    return len({p.read_bytes() for p in paths}) == 1


def test_tiles_hold_their_points_in_input_order(lidar, tmp_path, chunking):
    yaml = pytest.importorskip("yaml")
    path, cloud = lidar
    summary = tools.tile(path, tmp_path / "tiles", size=(20, 15), origin=(5, 0), prefix="m_", data="binary")
    xyz = cloud.points.astype(np.float64)
    finite = np.isfinite(xyz).all(axis=1)
    ix, iy = np.floor((xyz[finite, 0] - 5) / 20), np.floor(xyz[finite, 1] / 15)
    expected = {}
    for row, key in zip(np.flatnonzero(finite), zip(ix, iy, strict=True), strict=True):
        expected.setdefault(key, []).append(row)
    meta = yaml.safe_load((tmp_path / "tiles" / "pointcloud_map_metadata.yaml").read_text())
    assert (meta.pop("x_resolution"), meta.pop("y_resolution")) == (20.0, 15.0)
    assert len(meta) == len(expected) == summary["tiles"]
    for (kx, ky), rows in expected.items():
        name = f"m_{int(5 + kx * 20)}_{int(ky * 15)}.pcd"
        assert meta[name] == [int(5 + kx * 20), int(ky * 15)]
        tile = vantrel.read_pcd(tmp_path / "tiles" / name)
        for field, values in cloud.fields.items():
            assert tile[field].tobytes() == values[rows].tobytes(), (name, field)
    nan = vantrel.read_pcd(tmp_path / "tiles" / "m_nan.pcd")
    assert len(nan) == (~finite).sum() == summary["nan_points"]
    assert not [p for p in (tmp_path / "tiles").iterdir() if p.name.startswith(".")]  # no scratch left


def test_tiles_far_apart_keep_their_points_in_input_order(tmp_path):
    """Tiles too far apart to count in an array are sorted instead: the same tiles, the same order."""
    x = np.array([3e8, -2e8, 0.5, 3e8 + 0.2, np.nan, -2e8 + 0.7, 0.1])
    points = np.column_stack([x, np.zeros_like(x), np.zeros_like(x)])
    path = tmp_path / "far.pcd"
    vantrel.write_pcd(path, {"id": np.arange(len(x), dtype=np.int32)}, points=points, data="binary")
    tools.tile(path, tmp_path / "tiles", size=1, metadata=False, data="binary")
    got = {p.name: vantrel.read_pcd(p)["id"].tolist() for p in (tmp_path / "tiles").iterdir()}
    assert got == {"300000000_0.pcd": [0, 3], "-200000000_0.pcd": [1, 5], "0_0.pcd": [2, 6], "nan.pcd": [4]}


@pytest.mark.parametrize(
    "coordinate, extra",
    [("f4", {}), ("f8", {"id": ("i4", 1)}), ("f4", {"id": ("i4", 1), "t": ("f8", 1), "normal": ("f4", 3)})],
    ids=["12-byte", "28-byte", "44-byte"],
)
def test_tiles_split_among_threads_keep_input_order(tmp_path, monkeypatch, coordinate, extra):
    """A chunk large enough to be split among threads: each part's points stay in input order."""
    from vantrel._testing import set_parallel_threshold

    n = 200_000
    rng = np.random.default_rng(5)
    points = rng.uniform(-50, 50, (n, 3)).astype(coordinate)
    points[::1001] = np.nan
    fields = {
        name: rng.integers(0, 1 << 20, (n, count)).astype(kind).squeeze() for name, (kind, count) in extra.items()
    }
    path = tmp_path / "map.pcd"
    vantrel.write_pcd(path, fields, points=points, data="binary")
    cloud = vantrel.read_pcd(path)
    threshold = set_parallel_threshold(0)
    threads = vantrel.get_num_threads()
    vantrel.set_num_threads(2)
    try:
        tools.tile(path, tmp_path / "tiles", size=30, metadata=False, data="binary")
    finally:
        vantrel.set_num_threads(threads)
        set_parallel_threshold(threshold)
    xyz = points.astype(np.float64)
    finite = np.isfinite(xyz).all(axis=1)
    keys = np.floor(xyz[:, :2] / 30)
    for kx, ky in set(map(tuple, keys[finite])):
        rows = np.flatnonzero(finite & (keys[:, 0] == kx) & (keys[:, 1] == ky))
        tile = vantrel.read_pcd(tmp_path / "tiles" / f"{int(kx * 30)}_{int(ky * 30)}.pcd")
        assert tile.records.tobytes() == cloud.records[rows].tobytes(), (kx, ky)
    assert vantrel.read_pcd(tmp_path / "tiles" / "nan.pcd").records.tobytes() == cloud.records[~finite].tobytes()


@settings(max_examples=60, deadline=None)
@given(
    cells=st.lists(st.tuples(st.integers(-4, 4), st.integers(-4, 4)), max_size=40),
    nans=st.sets(st.integers(0, 39)),
    # Tiles counted in as many parts as the indices took, in fewer, or too far apart to count.
    spread=st.sampled_from([1, 100, 1e8]),
    within=st.sampled_from([0.0, 0.5, 0.999]),  # on a tile's lower edge, or inside
)
def test_tile_records_split_however_small_are_in_numpys_stable_order(cells, nans, spread, within):
    """Split among two threads at every size, the records come by tile, in input order within a
    tile, those with a coordinate that is not finite last, however far apart the tiles."""
    xy = np.array(cells, np.float64).reshape(-1, 2) * spread + within
    n = len(xy)
    bad = np.isin(np.arange(n), list(nans))
    records = np.zeros(n, [("x", "<f8"), ("y", "<f8"), ("z", "<f4"), ("id", "<i4")])
    records["x"], records["y"], records["id"] = xy[:, 0], xy[:, 1], np.arange(n)
    records["z"][bad] = np.nan
    tiled, runs, nan = _tile_records_split(
        records.view(np.uint8).reshape(n, 24), [(0, "F", 8), (8, "F", 8), (16, "F", 4)]
    )
    assert (tiled.tobytes(), runs, nan) == _numpys_tile_order(records, xy, bad)


def _tile_records_split(rows, xyz, threads=2):
    """vantrel._tile_records at 1 by 1, split among `threads` threads at every size."""
    from vantrel._testing import set_parallel_threshold

    threshold, before = set_parallel_threshold(1), vantrel.get_num_threads()
    vantrel.set_num_threads(threads)
    try:
        return vantrel._tile_records(rows, xyz, (0, 0), (1, 1))
    finally:
        vantrel.set_num_threads(before)
        set_parallel_threshold(threshold)


def _numpys_tile_order(records, xy, bad):
    """The records' bytes in tile order by NumPy's stable sort, the runs and the count not finite."""
    n = len(xy)
    keys = np.floor(xy).astype(np.int64)
    order = [int(i) for i in np.lexsort((np.arange(n), keys[:, 1], keys[:, 0])) if not bad[i]]
    runs = []
    for at, i in enumerate(order):
        if not runs or runs[-1][:2] != (keys[i, 0], keys[i, 1]):
            runs.append((keys[i, 0], keys[i, 1], at, at))
        runs[-1] = (*runs[-1][:3], at + 1)
    return records[order + np.flatnonzero(bad).tolist()].tobytes(), runs, int(bad.sum())


@pytest.mark.parametrize("beyond", [[(0, 2)], [(2, 0)], [(-2, 0)], [(0, -2)], [(1, 1)], [(-1, -1)], [(1, -1), (-1, 3)]])
@pytest.mark.parametrize("threads", [1, 2])
def test_tile_records_beside_or_beyond_the_sampled_ones_come_in_order(beyond, threads):
    """The tiles are guessed from every 64th record: records in the tiles around those, or
    farther, come in the same order as when every record is looked at."""
    n = 64 * 40
    rng = np.random.default_rng(3)
    xy = rng.uniform(0, 1, (n, 2))  # tile (0, 0)
    unsampled = np.flatnonzero(np.arange(n) % 64 != 0)
    for k, offset in enumerate(beyond):
        xy[unsampled[k :: 7 * len(beyond)]] += offset
    bad = np.zeros(n, bool)
    bad[unsampled[3::50]] = True
    records = np.zeros(n, [("x", "<f4"), ("y", "<f4"), ("z", "<f4")])
    records["x"], records["y"] = xy[:, 0], xy[:, 1]
    xy = np.column_stack([records["x"], records["y"]]).astype(np.float64)  # as the engine reads them
    records["z"][bad] = np.nan
    tiled, runs, nan = _tile_records_split(
        records.view(np.uint8).reshape(n, 12), [(0, "F", 4), (4, "F", 4), (8, "F", 4)], threads
    )
    assert (tiled.tobytes(), runs, nan) == _numpys_tile_order(records, xy, bad)


EDGE = 2**64 - 4  # an offset whose sum with 4 or 8 wraps to a small number


@pytest.mark.parametrize(
    "call",
    [
        lambda rows: vantrel._tile_records(rows, [(0, "F", 4), (4, "F", 4), (EDGE, "F", 4)], (0, 0), (1, 1)),
        lambda rows: vantrel._tile_records(rows, [(0, "F", 4), (4, "F", 4), (8, "F", -4)], (0, 0), (1, 1)),
        lambda rows: vantrel._VoxelGrid(0, 0).plan(12, [(0, "F", 4), (4, "F", 4), (EDGE, "F", 4)], [1] * 3, [], [], []),
        lambda rows: vantrel._VoxelGrid(3, 0).plan(12, [(0, "F", 4)] * 3, [1] * 3, [], [(EDGE, 3)], []),
        lambda rows: vantrel._VoxelGrid(0, 4).plan(12, [(0, "F", 4)] * 3, [1] * 3, [], [], [(EDGE, 8)]),
        lambda rows: vantrel._VoxelGrid(0, 4).plan(12, [(0, "F", 4)] * 3, [1] * 3, [], [], [(0, 4), (4, EDGE)]),
        lambda rows: vantrel._VoxelGrid(1, 0).means([np.zeros((0, 40), np.uint8)], 8, [(EDGE, "F", 8, 0)], [], []),
        lambda rows: vantrel._VoxelGrid(0, 8).means([np.zeros((0, 40), np.uint8)], 8, [], [], [(0, EDGE, 8)]),
    ],
    ids=["tile-offset", "tile-size", "plan-xyz", "plan-color", "plan-first", "plan-firsts-sum", "means", "means-first"],
)
def test_kernels_refuse_offsets_whose_sums_wrap(call):
    with pytest.raises(ValueError):
        call(np.zeros((2, 12), np.uint8))


def test_tiles_are_the_same_bytes_for_any_chunking(lidar, tmp_path, monkeypatch):
    path, _ = lidar
    outs = []
    for size, spool_memory in ((1, None), (7, 200), (1_000_000, None)):  # 200 bytes: held and spooled both
        if spool_memory is not None:
            monkeypatch.setattr(_tiles, "SPOOL_MEMORY", spool_memory)
        out = tmp_path / f"t{size}"
        tools.tile(path, out, size=25, chunk=size)
        outs.append(out)
        monkeypatch.undo()
    for name in (p.name for p in outs[0].iterdir()):
        assert same_bytes([o / name for o in outs]), name


def rectangle(x0, y0, x1, y1):
    return np.array([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], np.float64)


def in_rectangle(xyz, ring):
    return ((xyz[:, :2] > ring.min(axis=0)) & (xyz[:, :2] < ring.max(axis=0))).all(axis=1)


@pytest.mark.parametrize(
    "box, polygon",
    [
        ((-10, -5, -30, 20, 25, 50), None),
        (None, [(0, 0), (40, 0), (40, 40), (20, 10), (0, 40)]),  # not convex
        ((-30, -30, 0, 50, 50, 10), [(-30, -30), (50, -30), (-30, 50)]),
        (None, [rectangle(-20, -20, 30, 30), rectangle(0, 0, 10, 10), rectangle(35, -25, 45, 45)]),
        (
            None,
            [
                (10 + (35 if k % 2 else 12) * np.cos(k / 9), 10 + (35 if k % 2 else 12) * np.sin(k / 9))
                for k in range(57)
            ],
        ),
    ],
    ids=["box", "polygon", "both", "hole-and-part", "star"],
)
def test_crop_keeps_what_numpy_keeps(lidar, tmp_path, chunking, box, polygon):
    path, cloud = lidar
    out = tmp_path / f"crop{chunking}.pcd"
    summary = tools.crop(path, out, box=box, polygon=polygon)
    xyz = cloud.points.astype(np.float64)
    keep = np.isfinite(xyz).all(axis=1)
    if box is not None:
        keep &= (xyz >= box[:3]).all(axis=1) & (xyz <= box[3:]).all(axis=1)
    if polygon is not None and isinstance(polygon[0], np.ndarray):  # rings: inside an odd number of them
        keep &= np.logical_xor.reduce([in_rectangle(xyz, ring) for ring in polygon])
    elif polygon is not None:
        from matplotlib.path import Path

        keep &= Path(polygon).contains_points(np.nan_to_num(xyz[:, :2]))
    got = vantrel.read_pcd(out)
    assert summary["points_out"] == len(got) == keep.sum() and summary["nan_dropped"] == N // 97 + 1
    for field, values in cloud.fields.items():
        assert got[field].tobytes() == values[keep].tobytes(), field


def test_a_box_keeps_the_points_on_its_faces(tmp_path):
    grid = np.stack(np.meshgrid(*[np.arange(4.0)] * 3), -1).reshape(-1, 3)
    vantrel.write_pcd(tmp_path / "grid.pcd", points=grid, data="binary")
    tools.crop(tmp_path / "grid.pcd", tmp_path / "in.pcd", box=(1, 1, 0, 2, 2, 3))
    assert sorted(map(tuple, vantrel.read_pcd(tmp_path / "in.pcd").points.tolist())) == sorted(
        map(tuple, grid[((grid >= (1, 1, 0)) & (grid <= (2, 2, 3))).all(axis=1)].tolist())
    )


class _Chunk:
    """An item that can be watched for being let go."""

    def __len__(self):
        return 5


@pytest.mark.parametrize("shown", [False, True])
def test_counted_lets_each_chunk_go_before_the_next_is_read(monkeypatch, shown):
    # A tool that drops each chunk before asking for the next lets the reader reuse its memory:
    # the counting between them must not hold it.
    import weakref

    steps = []
    if shown:
        bar = type("Bar", (), {"update": lambda self, n: steps.append(n), "close": lambda self: None})
        monkeypatch.setattr(_chunks, "bar", lambda *_: bar())
    made = []

    def read():
        for _ in range(3):
            assert all(ref() is None for ref in made), "an earlier chunk is still held"
            chunk = _Chunk()
            made.append(weakref.ref(chunk))
            yield chunk
            del chunk

    for chunk in _chunks.counted(read(), 15, "reading", " pts", len):
        del chunk
    assert len(made) == 3 and steps == ([5, 5, 5] if shown else [])


@pytest.mark.parametrize(
    "run",
    [
        lambda src, out: tools.crop(src, out / "c.pcd", box=(-5, -5, -5, 5, 5, 5)),
        lambda src, out: tools.crop(src, out / "c.pcd", polygon=rectangle(-5, -5, 5, 5) * [1, 1.5]),
        lambda src, out: tools.merge([src, src], out / "m.pcd"),
        lambda src, out: tools.downsample(src, out / "d.pcd", voxel=1),
        lambda src, out: tools.tile(src, out / "tiles", size=5),
    ],
    ids=["crop by a box", "crop by an outline", "merge", "downsample", "tile"],
)
def test_a_tool_lets_each_chunk_go_before_it_reads_the_next(tmp_path, monkeypatch, run):
    import weakref

    rng = np.random.default_rng(5)
    vantrel.write_pcd(tmp_path / "in.pcd", points=rng.uniform(-10, 10, (1000, 3)).astype(np.float32), data="binary")
    made = []
    progress = tools.point_progress

    def watched(chunks, total, what):
        """The reader's chunks, checked as each is asked for, then counted as the tools count them."""

        def read():
            parts = iter(chunks)
            while True:
                assert all(ref() is None for ref in made), "an earlier chunk is still held"
                if (part := next(parts, None)) is None:
                    return
                made.append(weakref.ref(part))
                yield part
                del part

        return progress(read(), total, what)

    monkeypatch.setattr(tools, "chunk_points", lambda step: 100)
    monkeypatch.setattr(tools, "point_progress", watched)
    run(tmp_path / "in.pcd", tmp_path)
    assert len(made) >= 10


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_box_compares_its_bounds_with_each_coordinate_as_it_is(tmp_path, dtype):
    # float32(0.1) lies just above 0.1 and float32(0.2) just above 0.2: a comparison in the
    # coordinates' own float32 would round the bounds onto them and keep both.
    values = np.array([0.1, 0.2, 0.3], dtype)
    vantrel.write_pcd(tmp_path / "c.pcd", points=np.column_stack([values] * 3), data="binary")
    tools.crop(tmp_path / "c.pcd", tmp_path / "in.pcd", box=(0.1, 0.1, 0.1, 0.2, 0.2, 0.2))
    exact = values.astype(np.float64)
    keep = (exact >= 0.1) & (exact <= 0.2)
    assert vantrel.read_pcd(tmp_path / "in.pcd")["x"].tobytes() == values[keep].tobytes()


def test_downsample_gives_each_voxels_means_in_key_order(lidar, tmp_path, chunking):
    path, cloud = lidar
    out = tmp_path / f"down{chunking}.pcd"
    summary = tools.downsample(path, out, voxel=(10, 12.5, 8))
    xyz = cloud.points.astype(np.float64)
    finite = np.isfinite(xyz).all(axis=1)
    keys = np.floor(xyz[finite] / (10, 12.5, 8)).astype(np.int64)
    voxels, inverse = np.unique(keys, axis=0, return_inverse=True)  # sorted by x index, y, z
    inverse = inverse.ravel()
    got = vantrel.read_pcd(out)
    assert len(got) == len(voxels) == summary["points_out"] and summary["nan_dropped"] == (~finite).sum()
    for field in ("x", "y", "z", "intensity", "normal", "t"):
        values = cloud.fields[field][finite].astype(np.float64).reshape(finite.sum(), -1)
        means = np.stack([np.bincount(inverse, values[:, c]) for c in range(values.shape[1])], axis=1)
        means /= np.bincount(inverse)[:, None]
        assert np.allclose(got[field].reshape(len(voxels), -1), means, rtol=1e-6, atol=1e-6), field
        assert got[field].dtype == cloud.fields[field].dtype
    first = np.array([np.flatnonzero(inverse == v)[0] for v in range(len(voxels))])
    assert got["ring"].tolist() == cloud.fields["ring"][finite][first].tolist()
    colors = vantrel.unpack_rgb(cloud.fields["rgb"][finite]).astype(np.float64)
    mean_colors = np.rint(
        np.stack([np.bincount(inverse, colors[:, c]) for c in range(3)], 1) / np.bincount(inverse)[:, None]
    )
    assert (vantrel.unpack_rgb(got["rgb"]) == mean_colors).all()


@pytest.mark.parametrize("voxel_memory", [_voxels.VOXEL_MEMORY, 7000], ids=["in-memory", "runs"])
def test_downsample_is_the_same_bytes_for_any_chunking(lidar, tmp_path, monkeypatch, voxel_memory):
    path, _ = lidar
    monkeypatch.setattr(_voxels, "VOXEL_MEMORY", voxel_memory)
    outs = []
    for size, threads in ((1, 1), (7, 2), (1_000_000, 2)):
        monkeypatch.setattr(tools, "chunk_points", lambda step, size=size: size)
        vantrel.set_num_threads(threads)
        outs.append(tmp_path / f"d{size}.pcd")
        tools.downsample(path, outs[-1], voxel=3)
    vantrel.set_num_threads(len(os.sched_getaffinity(0)))
    assert same_bytes(outs)
    assert not list(tmp_path.glob(".vantrel-*"))  # the runs' scratch folder is gone


def test_far_coordinates_keep_their_voxels(tmp_path):
    points = np.array([[0, 0, 0], [0.5, 0.5, 0.5], [1e7, -1e7, 3e6], [1e7 + 0.5, -1e7, 3e6]], np.float64)
    path = tmp_path / "far.pcd"
    vantrel.write_pcd(path, points=points, data="binary")
    tools.downsample(path, tmp_path / "down.pcd", voxel=1)  # keys past any packing around the first point
    got = vantrel.read_pcd(tmp_path / "down.pcd").points
    assert got.tolist() == [[0.25, 0.25, 0.25], [1e7 + 0.25, -1e7, 3e6]]


def test_downsample_of_nan_points_only_is_an_empty_cloud_with_every_field(tmp_path):
    path = tmp_path / "nan.pcd"
    vantrel.write_pcd(path, {"id": np.arange(3, dtype=np.int32)}, points=np.full((3, 3), np.nan), data="binary")
    summary = tools.downsample(path, tmp_path / "down.pcd", voxel=1)
    got = vantrel.read_pcd(tmp_path / "down.pcd")
    assert (len(got), list(got.fields), summary["nan_dropped"]) == (0, ["x", "y", "z", "id"], 3)


@pytest.mark.parametrize(
    "run",
    [
        lambda src, out: tools.tile(src, out / "tiles", size=10),
        lambda src, out: tools.merge([src, src], out / "m.pcd"),
        lambda src, out: tools.crop(src, out / "c.pcd", box=(0, 0, 0, 5, 5, 5)),
        lambda src, out: tools.downsample(src, out / "d.pcd", voxel=2),
        lambda src, out: cli.main(["convert", str(src), str(out / "c.pcd"), "--data", "ascii"]),
        pytest.param(
            lambda src, out: cli.main(["convert", str(src), str(out / "c.las")]),
            marks=pytest.mark.skipif(importlib.util.find_spec("laspy") is None, reason="laspy is not installed"),
        ),
        lambda src, out: cli.main(["info", "--stats", str(src)]),
        lambda src, out: cli.main(["check", str(src)]),
    ],
    ids=["tile", "merge", "crop", "downsample", "convert", "convert-las", "stats", "check"],
)
def test_chunks_hold_as_many_bytes_however_wide_a_record(tmp_path, monkeypatch, run):
    """A chunk is a number of bytes, not of points: a million records of 60 fields would be 480 MB."""
    rng = np.random.default_rng(5)
    fields = {f"f{i}": rng.random(400) for i in range(60)}  # 483-byte records
    src = tmp_path / "wide.pcd"
    vantrel.write_pcd(src, fields, points=rng.uniform(0, 20, (400, 3)).astype(np.float32))
    step = vantrel.read_pcd_header(src).point_step
    monkeypatch.setattr(_chunks, "CHUNK_BYTES", 100 * step)
    sizes = []
    opened = vantrel.open_pcd

    class Counted:  # the reader, with the size of each chunk asked for
        def __init__(self, path):
            self.reader = opened(path)
            self.header = self.reader.header

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return self.reader.__exit__(*exc)

        def chunks(self, size, **options):
            sizes.append(size)
            return self.reader.chunks(size, **options)

        def __getattr__(self, name):
            return getattr(self.reader, name)

    monkeypatch.setattr(vantrel, "open_pcd", Counted)
    run(src, tmp_path)
    assert sizes == [100] * len(sizes) and sizes


def test_merge_concatenates_and_refuses_what_disagrees(lidar, tmp_path):
    path, cloud = lidar
    out = tmp_path / "merged.pcd"
    tools.merge([path, path], out)
    merged = vantrel.read_pcd(out)
    assert merged["t"].tobytes() == np.concatenate([cloud["t"], cloud["t"]]).tobytes()
    other = tmp_path / "other.pcd"
    vantrel.write_pcd(other, {"intensity": np.zeros(2, np.float64)}, points=np.zeros((2, 3), np.float32))
    with pytest.raises(tools.ToolError, match=r"other.pcd: its fields do not agree"):
        tools.merge([path, other], tmp_path / "no.pcd")
    tools.merge([path, other], tmp_path / "xyz.pcd", fields=["x", "y", "z"])
    assert len(vantrel.read_pcd(tmp_path / "xyz.pcd")) == N + 2
    assert not (tmp_path / "no.pcd").exists()
    padded = tmp_path / "padded.pcd"  # a name twice, and padding: no field a caller can ask for
    padded.write_text(
        "VERSION 0.7\nFIELDS x y z k k _\nSIZE 4 4 4 1 1 1\nTYPE F F F U U U\nCOUNT 1 1 1 1 1 1\nWIDTH 1\n"
        "HEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 1\nDATA ascii\n1 2 3 0 0 0\n"
    )
    with pytest.raises(tools.ToolError, match=r"padded.pcd: no field 'i' \(its fields: x, y, z, k, k\)$"):
        tools.merge([padded], tmp_path / "no.pcd", fields=["x", "i"])


@pytest.mark.parametrize("fields", [None, ["z", "x", "y", "i"]])
def test_merge_matches_fields_by_name_and_refuses_another_type_before_writing(tmp_path, fields):
    rng = np.random.default_rng(3)
    first = {
        "x": rng.normal(size=4).astype("f4"),
        "y": np.ones(4, "f4"),
        "z": np.zeros(4, "f4"),
        "i": np.arange(4, dtype="u2"),
    }
    second = {name: first[name][::-1].copy() for name in ("i", "z", "y", "x")}
    paths = [tmp_path / "a.pcd", tmp_path / "b.pcd"]
    for path, arrays in zip(paths, (first, second), strict=True):
        vantrel.write_pcd(path, vantrel.PointCloud.from_records(records_of(arrays)))
    tools.merge(paths, tmp_path / "m.pcd", fields=fields)
    merged = vantrel.read_pcd(tmp_path / "m.pcd")
    assert list(merged.fields) == ["x", "y", "z", "i"]  # the first file's order
    for name in first:
        np.testing.assert_array_equal(merged[name], np.concatenate([first[name], second[name]]))
    second["i"] = second["i"].astype("f4")
    vantrel.write_pcd(paths[1], vantrel.PointCloud.from_records(records_of(second)))
    with pytest.raises(tools.ToolError, match=r"b.pcd: field 'i' is F4 there and U2 in .*a.pcd"):
        tools.merge(paths, tmp_path / "no.pcd", fields=fields)
    assert not (tmp_path / "no.pcd").exists()


def records_of(arrays):
    out = np.zeros(len(next(iter(arrays.values()))), [(n, a.dtype) for n, a in arrays.items()])
    for name, array in arrays.items():
        out[name] = array
    return out


SQUARE = [[0, 0], [4, 0], [4, 3], [0, 0]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 1]]


def collection(*geometries):
    return {"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": g} for g in geometries]}


@pytest.mark.parametrize(
    "text, rings",
    [
        ("x,y\n0,0\n4,0\n4,3\n0,0\n", [SQUARE]),
        ("0;0\n4;0\n4;3\n0;0\n", [SQUARE]),
        (json.dumps({"type": "Polygon", "coordinates": [SQUARE, HOLE]}), [SQUARE, HOLE]),
        (json.dumps({"type": "Polygon", "coordinates": [[[x, y, 9.5] for x, y in SQUARE]]}), [SQUARE]),
        (json.dumps({"type": "Feature", "geometry": {"type": "Polygon", "coordinates": [SQUARE]}}), [SQUARE]),
        (json.dumps(collection(None, {"type": "MultiPolygon", "coordinates": [[SQUARE]]})), [SQUARE]),
        (
            json.dumps(collection({"type": "MultiPolygon", "coordinates": [[SQUARE, HOLE], [HOLE]]})),
            [SQUARE, HOLE, HOLE],
        ),
    ],
    ids=["csv", "semicolons", "hole", "polygon-3d", "feature", "multipolygon-in-collection", "parts-and-hole"],
)
def test_a_polygon_is_read_from_csv_or_geojson(tmp_path, text, rings):
    (tmp_path / "area").write_text(text)
    got = tools.read_polygon(tmp_path / "area")
    assert [r.tolist() for r in got] == rings if len(rings) > 1 else got.tolist() == rings[0]


@pytest.mark.parametrize(
    "text, message",
    [
        (json.dumps({"type": "Point", "coordinates": [0, 0]}), "no Polygon in this GeoJSON"),
        (json.dumps({"type": "Polygon", "coordinates": [[0, 0]]}), "not a GeoJSON polygon this can read"),
        ('{"type": "Polygon", "coordinates": [[[0, 0], [1', "not a GeoJSON polygon this can read"),
        (json.dumps({"type": "Polygon", "coordinates": [[[0, 0], [1, 0, 0, 0, 0], [0]]]}), "not a GeoJSON polygon"),
        ("x,y\n0,0\n1,zero\n", "'1,zero' is no x,y pair"),
        (json.dumps(collection(*[{"type": "Polygon", "coordinates": [SQUARE]}] * 2)), "2 polygonal features"),
    ],
    ids=["point", "flat", "cut", "ragged", "csv-word", "two-features"],
)
def test_a_polygon_file_that_cannot_be_read_is_one_tool_error(tmp_path, text, message):
    (tmp_path / "area").write_text(text)
    with pytest.raises(tools.ToolError, match=message):
        tools.read_polygon(tmp_path / "area")


def even_odd(x, y, rings):
    """The even-odd rule the plain way: every point against every edge."""
    inside = np.zeros(len(x), bool)
    for ring in rings:
        for (x0, y0), (x1, y1) in zip(np.roll(ring, 1, axis=0), ring, strict=True):
            with np.errstate(divide="ignore", invalid="ignore"):
                inside ^= ((y0 > y) != (y1 > y)) & (x < x0 + (y - y0) * (x1 - x0) / (y1 - y0))
    return inside


@settings(max_examples=80, deadline=None)
@given(rings=st.lists(st.lists(st.tuples(*[st.integers(-4, 4)] * 2), min_size=3, max_size=24), min_size=1, max_size=3))
def test_crop_tests_each_edge_on_its_span_as_every_point_on_every_edge(rings):
    """On the grid of the vertices, where points lie on edges, at the heights of vertices and on
    the rings' bounding box."""
    x, y = np.mgrid[-5:5.5:0.5, -5:5.5:0.5].reshape(2, -1)
    y[::17] = np.nan
    rings = [np.array(ring, np.float64) for ring in rings]
    with pytest.MonkeyPatch.context() as patch:
        for edges in (0, 10**9):  # each edge on its span, every point on every edge
            patch.setattr(_polygons, "DIRECT_EDGES", edges)
            assert _polygons.inside_polygon(x, y, rings).tolist() == even_odd(x, y, rings).tolist()


@pytest.mark.parametrize("vertices", [9, 1000, 20000])
def test_an_outline_of_many_vertices_keeps_the_points_the_plain_rule_keeps(vertices):
    """A wavy outline of float vertices (edges at every slope, points on and near them): the same
    points kept, bit for bit, as testing every point against every edge."""
    rng = np.random.default_rng(vertices)
    angle = np.sort(rng.uniform(0, 2 * np.pi, vertices))
    radius = 10 + 3 * np.sin(7 * angle) + rng.uniform(0, 0.5, vertices)
    ring = np.column_stack([radius * np.cos(angle), radius * np.sin(angle)])
    x, y = rng.uniform(-14, 14, (2, 3000))
    on = min(200, vertices)
    x[:on], y[:on] = ring[:on, 0], ring[:on, 1]  # on the vertices themselves
    got = _polygons.inside_polygon(x, y, [ring])
    assert got.tolist() == even_odd(x, y, [ring]).tolist()
    assert 0.3 < got.mean() < 0.9


def comb(teeth, rng):
    """A long base and many short teeth: edges of every width, a few spanning the whole outline."""
    top = np.column_stack([np.linspace(10, -10, 2 * teeth), np.tile([3.0, 9.0], teeth) + rng.uniform(0, 1, 2 * teeth)])
    return np.concatenate([[[-10.0, 0.0], [10.0, 0.0]], top])


@pytest.mark.parametrize(
    "shape",
    ["comb", "crossing rings", "self-crossing", "huge", "tiny"],
)
def test_outlines_whose_edges_are_wide_cross_or_reach_the_limits_of_floats_keep_the_plain_rules_points(shape):
    rng = np.random.default_rng(len(shape))
    star = np.column_stack(
        [
            np.cos(np.linspace(0, 2 * np.pi, 400, endpoint=False) * 3),
            np.sin(np.linspace(0, 6 * np.pi, 400, endpoint=False)),
        ]
    )
    rings = {
        "comb": [comb(300, rng)],
        "crossing rings": [comb(100, rng), comb(120, rng)[:, ::-1] - 2],  # overlapping, each crossing the other
        "self-crossing": [star * 8],  # a curve that crosses itself
        "huge": [comb(50, rng) * 1e306],
        "tiny": [comb(50, rng) * 1e-310],
    }[shape]
    low, high = np.concatenate(rings).min(axis=0), np.concatenate(rings).max(axis=0)
    x, y = rng.uniform(low, high, (4000, 2)).T  # within the bounding box, where each edge is evaluated
    corners = np.concatenate(rings)[:400]
    n = len(corners)
    x[:n], y[:n] = corners[:, 0], corners[:, 1]  # on the vertices
    x[n : 2 * n - 1], y[n : 2 * n - 1] = corners[:-1, 0] / 2 + corners[1:, 0] / 2, corners[:-1, 1]  # at their heights
    with np.errstate(over="ignore", invalid="ignore"):
        assert _polygons.inside_polygon(x, y, rings).tolist() == even_odd(x, y, rings).tolist()


@pytest.mark.parametrize("edges", [0, 10**9], ids=["swept", "each edge"])
def test_a_point_beyond_the_bounding_box_is_outside_where_an_edges_x_overflows_at_its_height(edges):
    """The rule as written counts an edge whose x at a point's height overflows to infinity for any
    point at that height, however far to the right: beyond the vertices' bounding box, none is in."""
    ring = np.array([[0, 1e250], [1e100, -10], [2e100, -10]])
    x, y = np.array([3e100, 1e300, -1.0, 1.5e100]), np.full(4, -4.0)
    with pytest.MonkeyPatch.context() as patch, np.errstate(over="ignore", invalid="ignore"):
        patch.setattr(_polygons, "DIRECT_EDGES", edges)
        assert even_odd(x, y, [ring]).tolist() == [True, True, False, False]
        assert _polygons.inside_polygon(x, y, [ring]).tolist() == [False] * 4


@pytest.mark.parametrize("shape", ["wavy", "comb", "self-crossing"])
def test_an_outline_swept_in_bands_side_by_side_flips_the_plain_rules_points(shape):
    """Each band of heights starts from the edges in play at its foot, found from the edges below it
    or from those above: any number of bands gives the plain rule's points, with many points at one
    height, so that bands begin and end among them, and points on the vertices."""
    rng = np.random.default_rng(len(shape))
    turn = np.linspace(0, 2 * np.pi, 3000, endpoint=False)
    rings = {
        "wavy": [np.column_stack([np.cos(turn), np.sin(turn)]) * (10 + 3 * np.sin(7 * turn))[:, None]],
        "comb": [comb(400, rng)],
        "self-crossing": [np.column_stack([np.cos(turn * 3), np.sin(turn * 5)]) * 8],
    }[shape]
    corners = np.concatenate(rings)
    low, high = corners.min(axis=0), corners.max(axis=0)
    x = rng.uniform(low[0], high[0], 6000)
    y = np.round(rng.uniform(low[1], high[1], 6000), 1)  # few heights, each of many points
    on = corners[: len(corners) // 6 * 6 : 6]
    x[: len(on)], y[: len(on)] = on[:, 0], on[:, 1]
    expected = even_odd(x, y, rings)
    outline = _polygons.Area(rings).outline()
    for bands in (1, 2, 3, 7, 64):
        hits = np.zeros(len(x), np.uint8)
        outline.flip(x, y, hits, bands)
        assert hits.view(bool).tolist() == expected.tolist(), bands


@pytest.mark.parametrize("layout", ["<f4 in records", "<f8 in records", "<f4 reversed", ">f4", "<f2", "<i4"])
def test_an_outline_reads_x_and_y_where_they_lie_as_their_copies_in_doubles(layout):
    """crop hands the engine a chunk's x and y columns within its records (floats or doubles, at the
    records' stride and any alignment); other types come as copies in doubles: the same points either
    way."""
    rng = np.random.default_rng(3)
    turn = np.linspace(0, 2 * np.pi, 500, endpoint=False)
    rings = [np.column_stack([np.cos(turn), np.sin(turn)]) * (100 + 30 * np.sin(7 * turn))[:, None]]
    kind = layout.split()[0]
    records = np.zeros(5000, dtype=[("pad", "u1"), ("x", kind), ("y", kind), ("r", "u1")])  # packed: unaligned
    records["x"], records["y"] = rng.uniform(-140, 140, (2, len(records)))
    x, y = records["x"], records["y"]
    if "reversed" in layout:
        x, y = x[::-1], y[::-1]
    expected = np.zeros(len(x), np.uint8)
    outline = _polygons.Area(rings).outline()
    outline.flip(x.astype(np.float64), y.astype(np.float64), expected)
    assert 500 < expected.sum() < 4500
    for bands in (1, 3):
        hits = np.zeros(len(x), np.uint8)
        outline.flip(x, y, hits, bands)
        assert hits.tolist() == expected.tolist()


@pytest.mark.parametrize("starts", [[0], [0, 0, 0]], ids=["no ring", "empty rings"])
def test_an_outline_of_no_edges_flips_no_point(starts):
    hits = np.zeros(4, np.uint8)
    vantrel._Outline(np.zeros((0, 2)), np.array(starts)).flip(np.arange(4.0), np.arange(4.0), hits)
    assert not hits.any()


NESTED = st.recursive(
    st.integers(-3, 3) | st.floats(-5, 5) | st.none() | st.text(max_size=1), lambda inner: st.lists(inner, max_size=4)
)
GEOMETRY = st.fixed_dictionaries({"type": st.sampled_from(["Polygon", "MultiPolygon", "Point"]), "coordinates": NESTED})
DOCUMENT = (
    GEOMETRY
    | st.fixed_dictionaries({"type": st.just("Feature"), "geometry": GEOMETRY | st.none()})
    | st.fixed_dictionaries({"features": st.lists(st.fixed_dictionaries({"geometry": GEOMETRY | NESTED}), max_size=3)})
)


@settings(max_examples=150, deadline=None)
@given(document=DOCUMENT)
def test_any_geojson_gives_rings_crop_takes_or_one_tool_error(tmp_path_factory, document):
    folder = tmp_path_factory.mktemp("area")
    (folder / "area").write_text(json.dumps(document))
    try:
        got = tools.read_polygon(folder / "area")
    except tools.ToolError:
        return
    rings = got if isinstance(got, list) else [got]
    assert all(r.ndim == 2 and r.shape[1] == 2 for r in rings) and (len(rings) > 1) == isinstance(got, list)
    path = folder / "p.pcd"
    vantrel.write_pcd(path, points=np.zeros((3, 3), np.float32) + 0.5)
    try:
        tools.crop(path, folder / "in.pcd", polygon=got)
    except tools.ToolError as error:
        assert "polygon must be at least 3 finite x-y vertices" in str(error)


@pytest.mark.parametrize(
    "args, message",
    [
        (["tile", "MAP", "OUT", "--size", "0"], "is not a positive finite number"),
        (["tile", "MAP", "FILE", "--size", "20"], "is a file; the tiles go to a folder"),
        (["tile", "MAP", "OUT", "--size", "1e-300"], "is too small for coordinates as large as"),
        (["tile", "MAP", "OUT", "--size", "1", "--origin", "0", "1e300"], "as large as 1e+300 from the origin"),
        (["tile", "MAP", "OUT", "--size", "20", "--origin", "nan", "0"], "origin must be a finite number, not nan"),
        (["tile", "MAP", "OUT", "--size", "20", "--prefix", "a/"], "prefix 'a/' holds a path separator"),
        (["downsample", "MAP", "o.pcd", "--voxel", "nan"], "is not a positive finite number"),
        (["downsample", "MAP", "o.pcd", "--voxel", "1", "2"], "voxel must be one size or (x, y, z)"),
        (["downsample", "MAP", "o.pcd", "--voxel", "1e-300"], "is too small for coordinates as large as"),
        (["downsample", "MAP", "no/o.pcd", "--voxel", "1"], "no such folder for the output"),
        (["crop", "MAP", "o.pcd", "--box", "1", "0", "0", "0", "1", "1"], "box has a minimum above its maximum"),
        (["crop", "MAP", "o.pcd", "--polygon", "POLY"], "polygon must be at least 3 finite x-y vertices"),
        (["crop", "NOXYZ", "o.pcd", "--box", "0", "0", "0", "1", "1", "1"], "no x, y and z"),
    ],
    ids=[
        "size",
        "outdir-file",
        "size-tiny",
        "origin-far",
        "origin-nan",
        "prefix",
        "voxel",
        "voxel-2",
        "voxel-tiny",
        "no-folder",
        "box",
        "polygon",
        "no-xyz",
    ],
)
def test_bad_arguments_are_one_line_and_nothing_is_written(lidar, tmp_path, args, message):
    path, _ = lidar
    (tmp_path / "FILE").write_text("")
    (tmp_path / "POLY").write_text("x,y\n0,0\n1,1\n")
    vantrel.write_pcd(tmp_path / "NOXYZ", {"a": np.zeros(2, np.float32)})
    names = {"MAP": str(path), "FILE": str(tmp_path / "FILE"), "POLY": str(tmp_path / "POLY")}
    names["NOXYZ"] = str(tmp_path / "NOXYZ")
    argv = [names.get(a, a) for a in args]
    run = subprocess.run([sys.executable, "-m", "vantrel", *argv], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode in (1, 2) and message in run.stderr and "Traceback" not in run.stderr, run.stderr
    assert not (tmp_path / "o.pcd").exists() and not (tmp_path / "OUT").exists()


@pytest.mark.parametrize("origin", [(5,), (0, 0, 0), 5], ids=repr)
def test_an_origin_is_two_numbers(lidar, tmp_path, origin):
    with pytest.raises(tools.ToolError, match="origin must be two numbers, x and y"):
        tools.tile(lidar[0], tmp_path / "tiles", size=10, origin=origin)
    assert not (tmp_path / "tiles").exists()


def test_the_summary_as_json(lidar, tmp_path):
    path, _ = lidar
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "downsample", path, tmp_path / "d.pcd", "--voxel", "5", "--json"],
        capture_output=True,
        text=True,
    )
    summary = json.loads(run.stdout)
    assert summary["points_in"] == N and summary["points_out"] == len(vantrel.read_pcd(tmp_path / "d.pcd"))


@pytest.mark.parametrize(
    "run",
    [
        lambda path, out: tools.tile(path, out / "tiles", size=20),
        lambda path, out: tools.crop(path, out / "crop.pcd", box=(-50, -50, -50, 50, 50, 50)),
        lambda path, out: tools.downsample(path, out / "down.pcd", voxel=5),
        lambda path, out: tools.merge([path, path], out / "merged.pcd"),
    ],
    ids=["tile", "crop", "downsample", "merge"],
)
def test_ctrl_c_part_way_leaves_nothing_under_a_final_name(lidar, tmp_path, monkeypatch, run):
    path, _ = lidar
    monkeypatch.setattr(tools, "chunk_points", lambda step: 500)

    def interrupted(chunks, total, what):
        for k, chunk in enumerate(chunks):
            if k == 2:
                raise KeyboardInterrupt
            yield chunk

    monkeypatch.setattr(tools, "point_progress", interrupted)
    with pytest.raises(KeyboardInterrupt):
        run(path, tmp_path)
    left = [p for p in tmp_path.rglob("*") if p.is_file()]
    assert left == [], left  # no tile, no output, no scratch


def test_a_spooled_tile_cut_short_is_an_error(lidar, tmp_path, monkeypatch):
    monkeypatch.setattr(_tiles, "SPOOL_MEMORY", 0)
    monkeypatch.setattr(tools, "chunk_points", lambda step: 500)
    flush = _tiles.Spool.flush

    def flush_then_cut(self):
        flush(self)
        victim = min(self.scratch.iterdir())
        os.truncate(victim, victim.stat().st_size - 1)

    monkeypatch.setattr(_tiles.Spool, "flush", flush_then_cut)
    with pytest.raises(OSError, match="a spooled record is cut short"):
        tools.tile(lidar[0], tmp_path / "tiles", size=20)
    assert not list(tmp_path.rglob(".vantrel-tile-*"))  # the scratch folder is gone


@pytest.mark.parametrize("spool_memory", [0, None], ids=["spooled", "held"])
@pytest.mark.parametrize("threads", [1, 2])
def test_tiles_go_out_a_small_block_at_a_time_without_copies(tmp_path, monkeypatch, threads, spool_memory):
    """Spooled or written, on `threads` threads, a tile's held records go out as views of a block
    or fewer, and its spooled ones are read into one block a thread, however many and large the
    tiles."""
    rng = np.random.default_rng(6)
    points = rng.uniform(0, 40, (3000, 3)).astype(np.float32)
    vantrel.write_pcd(tmp_path / "map.pcd", {"i": rng.random(3000)}, points=points, data="binary")
    step = vantrel.read_pcd_header(tmp_path / "map.pcd").point_step
    monkeypatch.setattr(_tiles, "BLOCK_BYTES", 200 * step)
    if spool_memory is not None:
        monkeypatch.setattr(_tiles, "SPOOL_MEMORY", spool_memory)
    pieces, blocks, runs = [], [], []  # each held piece that goes out; each block read into; each run of threads
    real_pieces, spooled, on_threads = _tiles.Spool.pieces, _tiles.spooled, _tiles.on_threads

    def watched(spool, parts):
        for piece in real_pieces(spool, parts):
            pieces.append(piece)
            yield piece

    monkeypatch.setattr(_tiles.Spool, "pieces", watched)
    monkeypatch.setattr(_tiles, "spooled", lambda path, out: blocks.append(out) or spooled(path, out))
    monkeypatch.setattr(_tiles, "on_threads", lambda *a: runs.append(a) or on_threads(*a))
    before = vantrel.get_num_threads()
    vantrel.set_num_threads(threads)
    try:
        tools.tile(tmp_path / "map.pcd", tmp_path / "tiles", size=20, chunk=500)
    finally:
        vantrel.set_num_threads(before)
    assert len(pieces) >= 4 * 6 and all(len(p) <= 200 and not p.flags.owndata for p in pieces)  # 4 tiles a chunk
    assert sum(map(len, pieces)) == 3000
    assert len(blocks) == (4 if spool_memory == 0 else 0) and all(out.shape == (200, step) for out in blocks)
    assert len({id(out) for out in blocks}) <= threads * len(runs)
    inside = (points[:, :2] < 20).all(axis=1)
    assert np.array_equal(vantrel.read_pcd(tmp_path / "tiles" / "0_0.pcd").points, points[inside])


def test_tile_counts_the_points_read_then_the_files_written_on_a_terminal(lidar, tmp_path, monkeypatch, capsys):
    path, cloud = lidar
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    summary = tools.tile(path, tmp_path / "tiles", size=25)
    err = capsys.readouterr().err
    files = len(summary["files"]) - 1  # the metadata is not a tile
    assert f"tile:   0%|          | 0.00/{len(cloud) / 1000:.2f}k [" in err
    assert f"writing tiles:   0%|          | 0/{files} [" in err


def test_a_map_of_no_points_tiles_to_the_metadata_alone(tmp_path):
    vantrel.write_pcd(tmp_path / "e.pcd", {"i": np.zeros(0, np.float32)}, points=np.zeros((0, 3), np.float32))
    summary = tools.tile(tmp_path / "e.pcd", tmp_path / "tiles", size=10)
    assert summary["tiles"] == 0 and [p.name for p in (tmp_path / "tiles").iterdir()] == [
        "pointcloud_map_metadata.yaml"
    ]


@pytest.mark.parametrize(
    "run, fields",
    [
        (lambda src, out: tools.merge([src, src], out), ["x", "y", "z", "intensity", "id", "rgb"]),
        (lambda src, out: tools.merge([src], out, fields=["x", "y", "z", "id"]), ["x", "y", "z", "id"]),
        (lambda src, out: tools.crop(src, out, box=(0, 0, 0, 1, 1, 1)), ["x", "y", "z", "intensity", "id", "rgb"]),
        (lambda src, out: tools.downsample(src, out, voxel=1), ["x", "y", "z", "intensity", "id", "rgb"]),
    ],
    ids=["merge", "merge-fields", "crop", "downsample"],
)
def test_a_map_of_no_points_gives_a_cloud_of_none_with_every_field(tmp_path, run, fields):
    columns = {"intensity": np.zeros(0, np.float32), "id": np.zeros(0, np.int32), "rgb": np.zeros(0, np.uint32)}
    vantrel.write_pcd(tmp_path / "e.pcd", columns, points=np.zeros((0, 3), np.float32), data="binary")
    summary = run(tmp_path / "e.pcd", tmp_path / "out.pcd")
    got = vantrel.read_pcd(tmp_path / "out.pcd")
    assert (len(got), list(got.fields), summary["points_out"]) == (0, fields, 0)


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()], ids=repr)
@pytest.mark.parametrize("at", [0, 1, 6])
def test_a_tile_that_fails_on_any_thread_stops_the_rest_and_is_raised(lidar, tmp_path, monkeypatch, failure, at):
    """Tiles are written on two threads: whichever fails, its failure is raised once both have
    stopped, no tile starts after it, and nothing is left but whole tiles under their names."""
    path, _ = lidar
    calls, real = itertools.count(), _tiles.write_tile

    def write_tile(*args):
        call = next(calls)
        if call == at:
            raise failure
        if call > at:  # the failing thread must record its failure; the machine may be busy
            time.sleep(0.05)
        real(*args)

    monkeypatch.setattr(_tiles, "write_tile", write_tile)
    before = vantrel.get_num_threads()
    vantrel.set_num_threads(2)
    try:
        with pytest.raises(type(failure)):
            tools.tile(path, tmp_path / "tiles", size=5)  # 256 tiles
    finally:
        vantrel.set_num_threads(before)
    assert next(calls) < at + 10  # the other thread stopped after the tile it was on
    left = sorted(p for p in tmp_path.rglob("*") if p.is_file())
    assert all(not p.name.startswith(".") for p in left), left  # no scratch, no partial file
    for tile in left:
        vantrel.read_pcd(tile)  # whole


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()], ids=repr)
def test_a_spool_that_fails_on_any_thread_leaves_nothing(lidar, tmp_path, monkeypatch, failure):
    """Spooling writes on two threads too: a failure there is raised, and the folder tile made is
    gone with its scratch files."""
    path, _ = lidar
    monkeypatch.setattr(_tiles, "SPOOL_MEMORY", 0)  # every chunk spooled as it is read
    calls, pieces = itertools.count(), _tiles.Spool.pieces

    def failing(*args):
        if next(calls) == 5:
            raise failure
        return pieces(*args)

    monkeypatch.setattr(_tiles.Spool, "pieces", failing)
    before = vantrel.get_num_threads()
    vantrel.set_num_threads(2)
    try:
        with pytest.raises(type(failure)):
            tools.tile(path, tmp_path / "tiles", size=5, chunk=500)
    finally:
        vantrel.set_num_threads(before)
    assert list(tmp_path.iterdir()) == []


@settings(max_examples=40, deadline=None)
@given(
    cells=st.lists(st.tuples(*[st.integers(-3, 3)] * 3), min_size=1, max_size=120),
    nans=st.sets(st.integers(0, 119)),
    table=st.integers(1, 12),
    block=st.integers(1, 9),
)
def test_downsample_runs_merge_to_the_voxels_of_the_whole_cloud(tmp_path_factory, cells, nans, table, block):
    """However small the table (a run every `table` voxels) and the merge's blocks, each voxel
    comes once, in key order, with all its points and its first point's integer value; points
    with a NaN coordinate are left out and counted."""
    points = np.array(cells, np.float64) + 0.25
    nan = np.isin(np.arange(len(points)), list(nans))
    points[nan, 1] = np.nan
    ids = np.arange(len(points), dtype=np.int32)
    path = tmp_path_factory.mktemp("voxels") / "p.pcd"
    vantrel.write_pcd(path, {"id": ids}, points=points, data="binary")
    with pytest.MonkeyPatch.context() as patch:
        per_voxel = 8 * (4 + 3 + 1) + _voxels.TABLE_BYTES  # x y z summed, 4 bytes of id kept
        patch.setattr(_voxels, "VOXEL_MEMORY", table * per_voxel)
        patch.setattr(_voxels, "BLOCK", block)
        summary = tools.downsample(path, path.with_name("d.pcd"), voxel=1)
    got = vantrel.read_pcd(path.with_name("d.pcd"))
    keys, first = np.unique(np.floor(points[~nan]), axis=0, return_index=True)
    assert got.points.tolist() == (keys + 0.25).tolist()  # means of equal points: exact
    assert got["id"].tolist() == ids[~nan][first].tolist()
    assert summary["nan_dropped"] == nan.sum()
