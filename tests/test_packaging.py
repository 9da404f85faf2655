"""The package as users install it: types, a fresh environment, and the examples."""

import os
import pathlib
import subprocess
import sys
import venv

import numpy as np
import pytest

import vantrel
from pcdfile import header

ROOT = pathlib.Path(__file__).parent.parent


def test_version_is_the_package_version():
    from importlib.metadata import version

    assert vantrel.__version__ == version("vantrel")


def test_stub_matches_module_and_typed_example_checks():
    stubtest = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "vantrel",
            "--allowlist",
            str(ROOT / "tests" / "typing" / "stubtest-allowlist.txt"),
        ],
        capture_output=True,
        text=True,
    )
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(ROOT / "tests" / "typing")], capture_output=True, text=True
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr


def make_folder(tmp_path, files=6):
    for i in range(files):
        body = "".join(f"{i} {j} {j * 2} {j % 7}\n" for j in range(100 + i))
        (tmp_path / f"c{i}.pcd").write_bytes(header("x y z intensity", points=100 + i) + body.encode())
    return tmp_path


def test_dask_example_on_a_two_worker_local_cluster(tmp_path):
    pytest.importorskip("dask.distributed")
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "dask_batch.py"), str(make_folder(tmp_path)), "--workers", "2"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    lines = run.stdout.splitlines()
    assert lines[0].endswith("c0.pcd: 100 points, fields {'intensity': 'float32'}")
    assert lines[-1].startswith("6 files, 615 points in ")


def test_thread_example_prints_throughput(tmp_path):
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "batch_threads.py"), str(make_folder(tmp_path)), "--threads", "2"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert out.startswith("6 files, 615 points")


@pytest.mark.index
@pytest.mark.skipif("build" in vantrel.__file__, reason="checks the installed package, not a build tree")
def test_wheel_installs_into_a_fresh_environment(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", str(ROOT), "-w", str(wheels)],
        check=True,
        cwd=ROOT,
    )
    wheel = next(wheels.glob("vantrel-*.whl"))
    import zipfile

    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("vantrel.cpython-312") for n in names) and "vantrel-stubs/__init__.pyi" in names
    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", str(wheel)], check=True)
    sample = tmp_path / "s.pcd"
    sample.write_bytes(header(points=2) + b"1 2 3\n4 5 6\n")
    code = f"import vantrel; p, f = vantrel.load_pcd({str(sample)!r}); print(p.sum(), vantrel.__version__)"
    out = subprocess.run(
        [str(python), "-c", code],
        capture_output=True,
        text=True,
        check=True,
        env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
    ).stdout
    assert out.split() == ["21.0", vantrel.__version__]


def test_sdist_builds(tmp_path):
    code = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    name = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path)], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()[-1]
    import tarfile

    members = tarfile.open(tmp_path / name).getnames()
    assert any(m.endswith("src/pcd/ascii_reader.cpp") for m in members)
    assert not any("/build/" in m or "/.venv" in m for m in members)
    np.testing.assert_equal(len(members) > 10, True)
