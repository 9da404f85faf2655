"""Threads: loads from several threads at once give what loads one after another give, and one load or
write on several threads gives what it gives on one, byte for byte, warnings included."""

import contextlib
import io
import os
import subprocess
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES
from pcdfile import block, header, lzf_compress, planes
from vantrel._testing import set_parallel_threshold


def outcome(path):
    try:
        points, fields = vantrel.load_pcd(path)
    except Exception as e:  # failures must match too
        return (type(e), str(e))
    return (points.tobytes(), points.dtype, {k: (v.tobytes(), v.dtype, v.shape) for k, v in fields.items()})


def test_concurrent_loads_match_sequential(pcd):
    paths = sorted(str(p) for p in FIXTURES.glob("*.pcd"))
    paths += [
        pcd(header(data="foo"), name="bad-data.pcd"),
        pcd(header(points=2, data="binary_compressed"), block(b"\x20\x00", 24), name="bad-lzf.pcd"),
        pcd(header("x y"), name="no-z.pcd"),
        "/no/such/file.pcd",
    ]
    work = paths * 8
    expected = [outcome(p) for p in work]
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(outcome, work))
    assert got == expected
    assert sum(isinstance(e[0], bytes) for e in expected) == 8 * len(list(FIXTURES.glob("*.pcd")))


@contextlib.contextmanager
def threads(n):
    """n threads, every piece of work shared however small (or, for 1, none)."""
    before = vantrel.get_num_threads()
    threshold = set_parallel_threshold(0 if n > 1 else 2**62)
    vantrel.set_num_threads(n)
    try:
        yield
    finally:
        vantrel.set_num_threads(before)
        set_parallel_threshold(threshold)


def read_everything(data):
    """What a whole read, a read in chunks and a read of one field give, with their warnings."""
    results = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            cloud = vantrel.read_pcd(io.BytesIO(data))
            results.append(cloud.records.tobytes())
            with vantrel.open_pcd(io.BytesIO(data)) as reader:
                reader.seek(min(1, len(cloud)))  # the first decode serves a chunk that starts later
                results += [c.records.tobytes() for c in reader.chunks(333)]
            first = cloud.header.fields[-1].name
            results.append(vantrel.read_pcd(io.BytesIO(data), fields=[first]).records.tobytes())
        except Exception as e:
            results.append((type(e), str(e)))
    return results, [str(w.message) for w in caught]


def lidar(n=20_000, seed=0):
    rng = np.random.default_rng(seed)
    points = rng.standard_normal((n, 3)).astype(np.float32)
    fields = {"i": rng.integers(0, 2**16, n).astype(np.uint16), "n": rng.standard_normal((n, 3)), "t": rng.random(n)}
    return fields, points


def written(encoding, **kwargs):
    fields, points = lidar(**kwargs)
    out = io.BytesIO()
    vantrel.write_pcd(out, fields, points=points, data=encoding)
    return out.getvalue()


def damaged(kind):
    """Files each reader must meet the same way on any number of threads."""
    text = written("ascii")
    middle = text.index(b"\n", len(text) // 2) + 1
    image = planes("<f4,<f4,<f4", [(i, -i, 0.5 * i) for i in range(3000)])
    return {
        "ascii-stuck": text[:middle] + b"abc " + text[middle:],
        "ascii-misplaced": text[:middle] + b"-3 " + text[middle:],
        "ascii-split": text[:middle] + b"1.5 " + text[middle:],
        "ascii-short": text[: len(text) * 2 // 3],
        "binary-short": written("binary")[:-12345],
        "compressed-short-image": header(points=3000, data="binary_compressed")
        + block(lzf_compress(image[:-999]), len(image) - 999),
        "compressed-cut": written("binary_compressed")[:-5000],
        "compressed-bad": header(points=3000, data="binary_compressed") + block(b"\x20\x00" * 100, len(image)),
    }[kind]


CASES = [f.name for f in sorted(FIXTURES.glob("*.pcd"))] + [
    "ascii-stuck",
    "ascii-misplaced",
    "ascii-split",
    "ascii-short",
    "binary-short",
    "compressed-short-image",
    "compressed-cut",
    "compressed-bad",
]


@pytest.mark.parametrize("case", CASES)
def test_one_thread_and_four_read_alike(case):
    data = (FIXTURES / case).read_bytes() if case.endswith(".pcd") else damaged(case)
    with threads(1):
        one = read_everything(data)
    with threads(4):
        four = read_everything(data)
    assert one == four


@pytest.mark.parametrize("encoding", ["ascii", "binary", "binary_compressed"])
def test_one_thread_and_four_write_the_same_bytes(encoding):
    fields, points = lidar(n=50_000)
    fields["bits"] = np.full(50_000, 0xFF8A2030, np.uint32).view(np.float32)  # NaNs that ascii loses: warned
    outs = []
    for n in (1, 4):
        with threads(n), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out = io.BytesIO()
            vantrel.write_pcd(out, fields, points=points, data=encoding)
            pieces = io.BytesIO()
            with vantrel.open_pcd_writer(pieces, data=encoding, points=50_000) as writer:
                for a in range(0, 50_000, 7_000):
                    writer.write({k: v[a : a + 7_000] for k, v in fields.items()}, points=points[a : a + 7_000])
        assert pieces.getvalue() == out.getvalue()
        outs.append((out.getvalue(), [str(w.message) for w in caught]))
    assert outs[0] == outs[1]


def test_compressed_blocks_cost_little_and_read_as_one_stream():
    # Blocks compressed on their own lose only the back-references across their edges.
    n = 600_000
    ring = np.arange(n) % 64
    fields = {"ring": ring.astype(np.uint16), "intensity": np.round(np.sin(np.arange(n) / 50) * 100).astype(np.float32)}
    points = np.stack([np.cos(ring / 10), np.sin(ring / 10), ring * 0.25], axis=1).astype(np.float32)
    out = io.BytesIO()
    vantrel.write_pcd(out, fields, points=points)
    data = out.getvalue()
    start = data.index(b"DATA binary_compressed\n") + len(b"DATA binary_compressed\n")
    compressed, uncompressed = (int(v) for v in np.frombuffer(data[start : start + 8], "<u4"))
    image = b"".join(np.ascontiguousarray(c).tobytes() for c in (*points.T, fields["ring"], fields["intensity"]))
    assert uncompressed == len(image) > 4 * 2**20  # several blocks
    assert compressed <= len(lzf_compress(image)) * 1.01
    cloud = vantrel.read_pcd(io.BytesIO(data))
    assert cloud.fields["intensity"].tobytes() == fields["intensity"].tobytes()


@pytest.mark.parametrize(
    "value, error, match",
    [(0, ValueError, "1 or more threads, not 0"), (-2, ValueError, "not -2"), ("4", TypeError, "not str")],
)
def test_set_num_threads_refuses_what_is_no_count(value, error, match):
    before = vantrel.get_num_threads()
    with pytest.raises(error, match=match):
        vantrel.set_num_threads(value)
    assert vantrel.get_num_threads() == before


@pytest.mark.parametrize("setting, expected", [("3", 3), (None, len(os.sched_getaffinity(0))), ("lots", None)])
def test_the_default_and_the_environment(setting, expected):
    env = {k: v for k, v in os.environ.items() if k != "VANTREL_NUM_THREADS"}
    if setting is not None:
        env["VANTREL_NUM_THREADS"] = setting
    code = "import warnings, vantrel\nprint(vantrel.get_num_threads())"
    run = subprocess.run([sys.executable, "-W", "default", "-c", code], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    if expected is None:  # not a count: said so, and the default stands
        assert "VANTREL_NUM_THREADS=lots is not a number of threads" in run.stderr
        assert int(run.stdout) == len(os.sched_getaffinity(0))
    else:
        assert int(run.stdout) == expected


# ---------------------------------------------------------------- one writer, several threads


@pytest.mark.parametrize("encoding", ["ascii", "binary", "binary_compressed"])
def test_a_writer_shared_by_threads_takes_whole_pieces(tmp_path, encoding):
    path, pieces, size = tmp_path / "shared.pcd", 64, 3000

    def piece(p):
        ids = np.arange(p * size, (p + 1) * size)
        return {"id": ids.astype(np.uint32), "v": ids.astype(np.float64) / 7}

    with vantrel.open_pcd_writer(path, data=encoding) as writer, ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda p: writer.write(piece(p)), range(pieces)))
    ids = vantrel.read_pcd(path).fields["id"]
    starts = ids[::size]
    assert len(ids) == pieces * size and sorted(starts.tolist()) == [p * size for p in range(pieces)]
    for first in range(0, len(ids), size):  # each piece whole, in its own order
        assert np.array_equal(ids[first : first + size], np.arange(ids[first], ids[first] + size))


@pytest.mark.parametrize("encoding", ["ascii", "binary", "binary_compressed"])
def test_close_from_another_thread_ends_the_file_between_pieces(tmp_path, encoding):
    path, n = tmp_path / "closing.pcd", 2_000_000
    writer = vantrel.open_pcd_writer(path, data=encoding)
    writer.write({"v": np.arange(10, dtype=np.float32)})
    started = threading.Event()

    def write():
        started.set()
        writer.write({"v": np.arange(n, dtype=np.float32)})

    with ThreadPoolExecutor(1) as pool:
        running = pool.submit(write)
        started.wait()
        writer.close()  # waits for a write that runs; a write that comes later finds the file closed
        error = running.exception()
    v = vantrel.read_pcd(path).fields["v"]
    if error is None:
        assert len(v) == 10 + n and v[-1] == n - 1
    else:
        assert isinstance(error, ValueError) and "closed file" in str(error) and len(v) == 10


def test_one_voxel_grid_fed_from_four_threads_counts_every_point():
    """downsample's voxel table adds without the GIL: calls on one table from several threads take
    turns, and the sums are those of the points whatever the turns."""
    n, voxels = 20_000, 97
    ijk = np.repeat(np.arange(n, dtype=np.int64) % voxels, 3).reshape(n, 3)
    values = np.ones((2, n))
    firsts = np.zeros((n, 1), np.uint8)
    grid = vantrel._VoxelGrid(2, 1)
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda _: grid.add(ijk, values, firsts), range(16)))
    assert len(grid) == voxels
    records = grid.result()  # key (3 int64), count, 2 sums, 1 first byte padded to 8
    assert records.shape == (voxels, 56) and len(grid) == 0  # drained
    counts, sums = records[:, 24:32].view(np.int64)[:, 0], records[:, 32:48].view(np.float64)
    assert counts.sum() == 16 * n and np.array_equal(sums[:, 0], counts) and np.array_equal(sums[:, 1], counts)


def test_tile_records_from_two_threads_on_a_pool_of_two_come_in_one_order():
    """tile's ordering splits a chunk among the pool's threads: from two Python threads at once,
    each call gives the records in the order of one thread alone."""
    n = 150_000
    rng = np.random.default_rng(2)
    records = rng.uniform(-40, 40, (n, 4)).astype(np.float32)
    records[::777, 1] = np.nan
    rows = records.view(np.uint8).reshape(n, 16)
    xyz = [(0, "F", 4), (4, "F", 4), (8, "F", 4)]
    with threads(1):
        expected = vantrel._tile_records(rows, xyz, (0, 0), (10, 10))
    with threads(2), ThreadPoolExecutor(2) as pool:
        got = list(pool.map(lambda _: vantrel._tile_records(rows, xyz, (0, 0), (10, 10)), range(4)))
    for tiled, runs, nan in got:
        assert tiled.tobytes() == expected[0].tobytes() and runs == expected[1] and nan == expected[2] == 194


def test_one_outline_swept_from_four_threads_at_once_finds_what_each_finds_alone():
    """crop makes an outline's order once and sweeps it for every chunk, on a cluster's threads
    too, without the GIL: four sweeps at once of one outline (made lazily by whichever comes
    first) each find the points one sweep alone finds."""
    from vantrel._polygons import Area, inside_polygon

    rng = np.random.default_rng(4)
    turn = np.linspace(0, 2 * np.pi, 5000, endpoint=False)
    radius = 10 + rng.uniform(-1, 1, 5000)
    rings = [np.column_stack([radius * np.cos(turn), radius * np.sin(turn)])]
    chunks = [rng.uniform(-12, 12, (2, 100_000)) for _ in range(8)]
    expected = [inside_polygon(x, y, Area(rings)) for x, y in chunks]
    shared = Area(rings)
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda chunk: inside_polygon(chunk[0], chunk[1], shared), chunks))
    assert all(np.array_equal(g, e) for g, e in zip(got, expected, strict=True))
    assert 0.2 < np.mean(expected) < 0.8


def test_an_outline_swept_on_the_pools_threads_flips_what_one_sweep_flips():
    """Points enough for a band of the sweep on each of the pool's threads, and the two orders of
    the edges made side by side: the points one sweep on one thread flips."""
    from vantrel._polygons import Area

    rng = np.random.default_rng(5)
    turn = np.linspace(0, 2 * np.pi, 70_000, endpoint=False)
    radius = 10 + rng.uniform(-1, 1, len(turn))
    rings = [np.column_stack([radius * np.cos(turn), radius * np.sin(turn)])]
    x, y = rng.uniform(-12, 12, (2, 300_000))
    alone = np.zeros(len(x), np.uint8)
    Area(rings).outline().flip(x, y, alone, 1)
    with threads(2):
        shared = np.zeros(len(x), np.uint8)
        Area(rings).outline().flip(x, y, shared)
    assert np.array_equal(shared, alone) and 0.2 < alone.mean() < 0.8


@pytest.mark.parametrize("data", ["binary", "binary_compressed"])
def test_tiles_written_on_two_threads_are_the_bytes_of_one(tmp_path, data):
    """tile writes its tiles on the pool's threads, each a writer of its own: the same files, and
    the same again from two tiles at once on two Python threads."""
    from vantrel import tools

    rng = np.random.default_rng(4)
    points = rng.uniform(-40, 40, (20_000, 3)).astype(np.float32)
    points[::501] = np.nan
    vantrel.write_pcd(tmp_path / "map.pcd", {"i": rng.random(20_000).astype(np.float32)}, points=points, data="binary")
    for n in (1, 2):
        with threads(n):
            tools.tile(tmp_path / "map.pcd", tmp_path / f"t{n}", size=10, data=data)
    with threads(2), ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda n: tools.tile(tmp_path / "map.pcd", tmp_path / f"t{n}", size=10, data=data), (3, 4)))
    one, *others = (sorted((p.name, p.read_bytes()) for p in (tmp_path / f"t{n}").iterdir()) for n in (1, 2, 3, 4))
    assert len(one) == 66 and all(other == one for other in others)  # 64 tiles, the NaN points, the metadata
