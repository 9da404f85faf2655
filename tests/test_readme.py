"""Every Python block of the README runs as written, against files made under the names it uses
(the manual's examples run as doctests when it is built: make docs)."""

import pathlib
import re
import shutil
import warnings

import pytest

import vantrel

README = pathlib.Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def samples():
    """docs/_samples.py, which makes the files the examples read."""
    import importlib.util

    path = README.parent / "docs" / "_samples.py"
    spec = importlib.util.spec_from_file_location("samples", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block-{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(tmp_path, monkeypatch, code):
    samples().make_files(tmp_path)
    shutil.copytree(README.parent / "examples" / "data", tmp_path / "examples" / "data")  # as in a clone
    monkeypatch.chdir(tmp_path)
    threads = vantrel.get_num_threads()
    try:
        with warnings.catch_warnings():
            exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    finally:
        vantrel.set_num_threads(threads)


def test_every_python_block_is_found():
    assert BLOCKS and all("import vantrel" in block for block in BLOCKS)
