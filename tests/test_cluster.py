"""The map tools on a Dask cluster: the same bytes as on one machine, a lost worker included."""

import filecmp
import os
import signal

import numpy as np
import pytest

import vantrel
from vantrel import tools

distributed = pytest.importorskip("dask.distributed")
import vantrel.dask  # noqa: E402  (after the skip: needs Dask)

N = 9000


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()


@pytest.fixture
def small_tasks(monkeypatch):
    """Ranges of a few thousand points and blocks of 5,000, so that a small map makes many tasks."""
    import vantrel._cluster
    import vantrel._voxels

    monkeypatch.setattr(vantrel._cluster, "RANGE_BYTES", 2000 * 40)
    monkeypatch.setattr(vantrel._voxels, "BLOCK_POINTS", 5000)


@pytest.fixture
def maps(tmp_path):
    """Four files of every encoding, NaN points, floats of several types, integers, packed colours
    and a field of COUNT 3; one organized."""
    rng = np.random.default_rng(7)
    paths = []
    for i, data in enumerate(["binary", "binary_compressed", "ascii", "binary"]):
        fields = {
            "x": rng.uniform(-40, 40, N).astype(np.float32),
            "y": rng.uniform(-40, 40, N).astype(np.float32),
            "z": rng.normal(0, 2, N),
            "intensity": rng.uniform(0, 255, N).astype(np.float32),
            "ring": rng.integers(0, 64, N).astype(np.uint16),
            "rgb": rng.integers(0, 2**24, N).astype(np.uint32).view(np.float32),
            "normal": rng.normal(size=(N, 3)).astype(np.float32),
        }
        fields["y"][i::101] = np.nan
        paths.append(tmp_path / f"map{i}.pcd")
        shape = {"width": 90, "height": 100} if i == 3 else {}
        vantrel.write_pcd(paths[-1], fields, data=data, **shape)
    return paths


TOOLS = {
    "tile": ("tile", {"size": 7.5, "origin": (1, -2), "data": "binary"}),
    "downsample": ("downsample", {"voxel": 1.5}),
    "crop box": ("crop", {"box": (-20, -30, -3, 25, 10, 3)}),
    "crop polygon": ("crop", {"polygon": [[(-30, -30), (30, -20), (0, 35)], [(-5, -5), (5, -5), (0, 5)]]}),
    "merge": ("merge", {"data": "binary_compressed"}),
    "merge fields": ("merge", {"fields": ["z", "ring", "x", "y"]}),
}


def same(a, b):
    if a.is_dir():
        names = sorted(os.listdir(a))
        assert names == sorted(os.listdir(b))
        return all(filecmp.cmp(a / n, b / n, shallow=False) for n in names)
    return filecmp.cmp(a, b, shallow=False)


def run_both(name, maps, tmp_path, **cluster):
    tool, kwargs = TOOLS[name]
    one = getattr(tools, tool)(maps, tmp_path / "one", **kwargs)
    many = getattr(vantrel.dask, tool)(maps, tmp_path / "many", **kwargs, **cluster)
    assert same(tmp_path / "one", tmp_path / "many")
    keys = ("points_in", "points_out", "nan_dropped", "nan_points", "tiles")
    assert {k: one.get(k) for k in keys} == {k: many.get(k) for k in keys}
    return one


@pytest.mark.parametrize("name", TOOLS)
def test_the_same_bytes_as_one_machine(name, maps, tmp_path, client, small_tasks):
    summary = run_both(name, maps, tmp_path, client=client)
    assert summary["points_out"] > 0
    leftovers = {p.name for p in tmp_path.iterdir()} - {p.name for p in maps} - {"one", "many"}
    assert not leftovers  # the scratch folder went with the run


def test_downsample_blocks_are_summed_as_one_machine_sums_them(maps, tmp_path, monkeypatch):
    """Blocks change the last bits of some means: the local scheduler's blocks are the single
    machine's, whatever the block size."""
    import vantrel._voxels

    for size in (3000, 7777):
        monkeypatch.setattr(vantrel._voxels, "BLOCK_POINTS", size)
        tools.downsample(maps, tmp_path / "one.pcd", voxel=0.9)
        vantrel.dask.downsample(maps, tmp_path / "many.pcd", voxel=0.9)
        assert same(tmp_path / "one.pcd", tmp_path / "many.pcd")


class KillOnce(distributed.WorkerPlugin):
    """Kills its worker's process, once in the whole cluster, a moment after a task of ours starts."""

    def __init__(self, marker):
        self.marker = str(marker)

    def transition(self, key, start, finish, **kwargs):
        name = key[0] if isinstance(key, tuple) else str(key)
        if finish == "executing" and name.startswith("vantrel-") and not name.startswith("vantrel-join"):
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
            import threading

            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGKILL)).start()


@pytest.mark.parametrize("name", ["tile", "downsample", "crop box"])
def test_a_worker_killed_part_way_changes_nothing(name, maps, tmp_path, small_tasks):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with cluster, distributed.Client(cluster) as client:
        client.register_plugin(KillOnce(tmp_path / "killed"))
        run_both(name, maps, tmp_path, client=client)
    assert (tmp_path / "killed").exists()


@pytest.mark.parametrize("name", ["tile", "downsample", "merge"])
def test_a_failed_run_leaves_no_output_and_no_scratch(name, maps, tmp_path, client, small_tasks):
    damaged = tmp_path / "map1.pcd"
    data = damaged.read_bytes()
    damaged.write_bytes(data[: len(data) - 100])  # a compressed block cut short
    tool, kwargs = TOOLS[name]
    with pytest.raises(Exception) as one:
        getattr(tools, tool)(maps, tmp_path / "out", **kwargs)
    with pytest.raises(type(one.value), match=str(one.value)):
        getattr(vantrel.dask, tool)(maps, tmp_path / "out", client=client, **kwargs)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in maps)


def test_a_second_tile_run_follows_the_one_machine_rules(maps, tmp_path, client):
    vantrel.dask.tile(maps, tmp_path / "tiles", size=20, client=client)
    with pytest.raises(tools.ToolError, match="holds [0-9]+ files already"):
        vantrel.dask.tile(maps, tmp_path / "tiles", size=20, client=client)
    (tmp_path / "tiles" / "notes.txt").write_text("mine")
    with pytest.raises(tools.ToolError, match="notes.txt, which are not tiles"):
        vantrel.dask.tile(maps, tmp_path / "tiles", size=20, overwrite=True, client=client)


def test_the_commands_run_on_dask(maps, tmp_path, client, capsys):
    from vantrel import cli

    address = client.scheduler.address
    paths = [str(p) for p in maps]
    assert cli.main(["downsample", *paths[:1], str(tmp_path / "one.pcd"), "--voxel", "2"]) == 0
    assert cli.main(["downsample", *paths[:1], str(tmp_path / "many.pcd"), "--voxel", "2", "--scheduler", address]) == 0
    assert same(tmp_path / "one.pcd", tmp_path / "many.pcd")
    assert cli.main(["merge", *paths, "-o", str(tmp_path / "merged.pcd"), "--dask", "--json"]) == 0
    assert '"points_out": 36000' in capsys.readouterr().out


def test_globs_are_read_as_their_sorted_matches_and_urls_refused(maps, tmp_path):
    vantrel.dask.merge([str(tmp_path / "map[0-3].pcd")], tmp_path / "glob.pcd", data="binary")
    tools.merge(maps, tmp_path / "list.pcd", data="binary")
    assert same(tmp_path / "glob.pcd", tmp_path / "list.pcd")
    for source, refusal in [("s3://bucket/map.pcd", "not URLs"), (str(tmp_path / "nothing*.pcd"), "no file matches")]:
        with pytest.raises(tools.ToolError, match=refusal):
            vantrel.dask.merge([source], tmp_path / "out.pcd")
