"""Rules that hold across the package: one expansion of a folder for every command, map tool and
read_pcds; the library never imports the command line."""

import importlib.util
import pathlib

import numpy as np
import pytest

import vantrel
from vantrel import cli, tools

ROOT = pathlib.Path(__file__).parents[1]


def make_maps(root):
    """Three clouds at three depths, and what must never be taken for one: a run's scratch file,
    a hidden folder's cloud, another kind of file, a link back up (a loop)."""
    for k, name in enumerate(["b.pcd", "a/c.pcd", "a/b/d.pcd", "a-z.pcd"]):
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        vantrel.write_pcd(path, {"k": np.full(2, k, np.int32)}, points=np.full((2, 3), k, np.float32))
    for stray in [".b.pcd.123.abcd.pcd", ".git/x.pcd", "notes.txt"]:
        (root / stray).parent.mkdir(parents=True, exist_ok=True)
        (root / stray).write_bytes(b"not a cloud")
    (root / "a" / "up").symlink_to(root, target_is_directory=True)
    return [root / name for name in ["a/b/d.pcd", "a/c.pcd", "a-z.pcd", "b.pcd"]]


def test_a_folder_is_the_same_files_for_every_command_tool_and_read_pcds(tmp_path, capsys):
    expected = make_maps(tmp_path / "maps")
    assert cli.main(["check", str(tmp_path / "maps")]) == 0
    assert [line.split(": ")[0] for line in capsys.readouterr().out.splitlines()] == list(map(str, expected))
    tools.merge(tmp_path / "maps", tmp_path / "all.pcd")
    assert vantrel.read_pcd(tmp_path / "all.pcd")["k"].tolist() == [2, 2, 1, 1, 3, 3, 0, 0]
    pytest.importorskip("dask.dataframe")
    from vantrel import dask as vdask

    frame = vdask.read_pcds(str(tmp_path / "maps")).compute()
    assert frame["k"].tolist() == [2, 2, 1, 1, 3, 3, 0, 0]


def test_the_layer_check_finds_an_import_of_the_command_line(tmp_path):
    spec = importlib.util.spec_from_file_location("check_layers", ROOT / "scripts" / "check_layers.py")
    check = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(check)
    assert check.main() == 0
    module = tmp_path / "m.py"
    module.write_text("import os\n\ndef f():\n    from vantrel.cli import main\n    from vantrel import cli, tools\n")
    assert check.cli_imports(module) == [4, 5]
