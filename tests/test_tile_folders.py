"""tile's output folder: one run's whole set or what was there before, never a mix; the metadata
parsed back for any prefix; names that would be shared refused."""

import itertools
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_tools import lidar  # noqa: F401  (a fixture)

import vantrel
from vantrel import _tiles, tools

yaml = pytest.importorskip("yaml")


def contents(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def test_a_folder_of_an_earlier_run_is_refused_then_replaced_whole(lidar, tmp_path):  # noqa: F811
    path, _ = lidar
    out = tmp_path / "tiles"
    tools.tile(path, out, size=10)
    before = contents(out)
    with pytest.raises(tools.ToolError, match=r"tiles holds \d+ files already \(-10_-10.pcd, .*overwrite"):
        tools.tile(path, out, size=40)
    assert contents(out) == before
    summary = tools.tile(path, out, size=40, overwrite=True)
    tools.tile(path, tmp_path / "fresh", size=40)
    assert contents(out) == contents(tmp_path / "fresh")  # the new set alone
    assert sorted(summary["files"]) == sorted(str(out / name) for name in contents(out))
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_overwrite_never_removes_what_is_not_a_tile(lidar, tmp_path):  # noqa: F811
    path, _ = lidar
    out = tmp_path / "tiles"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    (out / "old.pcd").write_bytes(b"")
    with pytest.raises(tools.ToolError, match=r"holds notes.txt, which are not tiles"):
        tools.tile(path, out, size=10, overwrite=True)
    assert sorted(contents(out)) == ["notes.txt", "old.pcd"]
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "tile", path, out, "--size", "10"], capture_output=True, text=True
    )
    assert run.returncode == 1 and "Traceback" not in run.stderr and "holds 2 files already" in run.stderr


@pytest.mark.parametrize("at", [0, 7])
@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()], ids=repr)
def test_an_overwrite_stopped_part_way_leaves_the_earlier_set(lidar, tmp_path, monkeypatch, at, failure):  # noqa: F811
    path, _ = lidar
    out = tmp_path / "tiles"
    tools.tile(path, out, size=25)
    before = contents(out)
    calls, real = itertools.count(), _tiles.write_tile

    def write_tile(*args):
        if next(calls) == at:
            raise failure
        real(*args)

    monkeypatch.setattr(_tiles, "write_tile", write_tile)
    with pytest.raises(type(failure)):
        tools.tile(path, out, size=10, overwrite=True)
    assert contents(out) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["tiles"]


@given(st.text(st.characters(blacklist_characters="/\0", blacklist_categories=("Cs",)), max_size=8))
@settings(max_examples=40, deadline=None)
def test_the_metadata_lists_every_tile_whatever_the_prefix(tmp_path_factory, prefix):
    folder = tmp_path_factory.mktemp("prefix")
    points = np.array([[0.5, 0.5, 0], [1.5, 0.5, 0], [0.5, -1.5, 0], [np.nan, 0, 0]], np.float32)
    vantrel.write_pcd(folder / "map.pcd", {}, points=points)
    try:
        summary = tools.tile(folder / "map.pcd", folder / "tiles", size=1, prefix=prefix)
    except OSError:  # a name the file system refuses (too long in bytes): nothing left
        assert sorted(p.name for p in folder.iterdir()) == ["map.pcd"]
        return
    meta = yaml.safe_load((folder / "tiles" / "pointcloud_map_metadata.yaml").read_text(encoding="utf-8"))
    assert meta.pop("x_resolution") == meta.pop("y_resolution") == 1
    assert meta == {f"{prefix}0_0.pcd": [0, 0], f"{prefix}1_0.pcd": [1, 0], f"{prefix}0_-2.pcd": [0, -2]}
    assert len(summary["files"]) == 5 and all((folder / "tiles" / name).is_file() for name in meta)


def test_a_size_finer_than_the_coordinates_precision_is_refused(tmp_path):
    x = 1e6 + np.arange(10) * 1e-10
    vantrel.write_pcd(tmp_path / "map.pcd", {}, points=np.column_stack([x, x * 0, x * 0]))
    with pytest.raises(tools.ToolError, match=r"finer than the coordinates' precision: .* near 1e\+06 are 1.16415e-10"):
        tools.tile(tmp_path / "map.pcd", tmp_path / "tiles", size=8e-11, origin=(1e6, 0))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["map.pcd"]
