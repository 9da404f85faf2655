"""The package as users install it: types, a fresh environment, and the examples."""

import io
import os
import pathlib
import shutil
import subprocess
import sys
import venv

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES
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
            "--mypy-config-file",
            str(ROOT / "pyproject.toml"),
        ],
        capture_output=True,
        text=True,
    )
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"), str(ROOT / "tests" / "typing")],
        capture_output=True,
        text=True,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr


def make_folder(tmp_path, files=6):
    for i in range(files):
        body = "".join(f"{i} {j} {j * 2} {j % 7}\n" for j in range(100 + i))
        (tmp_path / f"c{i}.pcd").write_bytes(header("x y z intensity", points=100 + i) + body.encode())
    # Two that fail: one in an unknown encoding, one whose data falls short.
    (tmp_path / "lzma.pcd").write_bytes(header(data="lzma") + b"1 2 3\n")
    (tmp_path / "short.pcd").write_bytes(header(points=5) + b"1 2 3\n")
    return tmp_path


@pytest.mark.parametrize(
    "example, args, summary",
    [
        ("dask_batch.py", ["--workers", "2"], "6 files, 615 points in "),
        ("batch_threads.py", ["--threads", "2"], "6 files, 615 points, "),
    ],
    ids=["dask", "threads"],
)
def test_batch_examples_report_failures_and_go_on(tmp_path, example, args, summary):
    if example == "dask_batch.py":
        pytest.importorskip("dask.distributed")
    folder = make_folder(tmp_path)
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / example), str(folder), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 1, run.stderr[-2000:]
    lines = run.stdout.splitlines()
    assert lines[-1].startswith(summary) and lines[-1].endswith("; 2 failed")
    if example == "dask_batch.py":
        assert lines[0].endswith("c0.pcd: 100 points, fields {'intensity': 'float32'}")
    assert "lzma.pcd: RuntimeError: Unsupported PCD DATA type: lzma" in run.stderr
    assert (
        "DataWarning: " in run.stderr and "short.pcd: PCD data ends early: the file holds 1 of 5 points" in run.stderr
    )


SYSTEM_LZF = pathlib.Path("/usr/lib/x86_64-linux-gnu/liblzf.so.1")


def can_hide_system_lzf():
    """A private mount namespace lets /dev/null stand in for the system's liblzf."""
    if not SYSTEM_LZF.exists() or shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0


@pytest.mark.index
@pytest.mark.skipif("build" in vantrel.__file__, reason="checks the installed package, not a build tree")
@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="make wheel builds for the development venv's 3.12")
def test_repaired_wheel_installs_into_a_fresh_environment_with_its_own_liblzf(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run(["make", "-s", "-C", str(ROOT), "wheel", f"DIST={dist}"], check=True, capture_output=True)
    wheel = next(dist.glob("vantrel-*-manylinux_*.whl"))
    assert next(dist.glob("vantrel-*.tar.gz"))
    import zipfile

    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("vantrel/__init__.cpython-312") for n in names) and "vantrel/__init__.pyi" in names
    assert "vantrel/py.typed" in names
    assert "vantrel/cli/__init__.py" in names
    assert any(n.startswith("vantrel.libs/liblzf") for n in names)
    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", str(wheel)], check=True)
    sample = FIXTURES / "lidar.binary_compressed.pcd"
    code = (
        "import subprocess, vantrel\n"
        f"p, f = vantrel.load_pcd({str(sample)!r})\n"
        "print(float(p.astype('f8').sum()), vantrel.__version__)\n"
        "print(subprocess.run(['ldd', vantrel.__file__], capture_output=True, text=True).stdout)\n"
    )
    command = [str(python), "-c", code]
    if can_hide_system_lzf():
        mount = f"mount --bind /dev/null {SYSTEM_LZF.resolve()}"
        command = ["unshare", "-m", "sh", "-c", f'{mount} && exec "$@"', "hide", *command]
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    out = subprocess.run(command, capture_output=True, text=True, check=True, env=env).stdout.splitlines()
    expected = float(vantrel.load_pcd(str(sample))[0].astype("f8").sum())
    assert out[0].split() == [str(expected), vantrel.__version__]
    resolved = next(line for line in out if "liblzf" in line)
    assert "/site-packages/" in resolved and "vantrel.libs/liblzf-" in resolved, resolved


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


def test_a_build_without_the_libraries_says_what_to_install(tmp_path):
    # The find root hides every package, header and library CMake would find.
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    hidden = [f"-DCMAKE_FIND_ROOT_PATH_MODE_{kind}=ONLY" for kind in ("PACKAGE", "INCLUDE", "LIBRARY")]
    run = subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DCMAKE_FIND_ROOT_PATH={tmp_path}", *hidden],
        capture_output=True,
        text=True,
    )
    assert run.returncode != 0
    message = " ".join(run.stderr.split())
    assert "not found: fast_float liblzf" in message
    assert "sudo apt-get install libfast-float-dev liblzf-dev" in message


ORGANIZED = FIXTURES / "organized_nan.binary.pcd"  # 64 x 32


@pytest.fixture(scope="module")
def cloud():
    return vantrel.read_pcd(ORGANIZED)


def stub_signatures():
    """name -> [(parameter, kind, default source)] of every public function and method in the stubs."""
    import ast
    import pathlib

    tree = ast.parse((pathlib.Path(__file__).parents[1] / "python/vantrel/__init__.pyi").read_text())
    found = {}

    def params(node, method):
        a = node.args
        rows = [(p.arg, "POSITIONAL_ONLY", None) for p in a.posonlyargs]
        defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
        rows += [(p.arg, "POSITIONAL_OR_KEYWORD", d) for p, d in zip(a.args, defaults, strict=True)]
        rows += [
            (p.arg, "KEYWORD_ONLY", ast.unparse(d) if d else None)
            for p, d in zip(a.kwonlyargs, a.kw_defaults, strict=True)
        ]
        return rows[1:] if method else rows

    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            found[node.name] = params(node, False)
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                public = not item.name.startswith("_") if isinstance(item, ast.FunctionDef) else False
                decorators = {getattr(d, "id", "") for d in getattr(item, "decorator_list", ())}
                if public and "property" not in decorators:
                    found[f"{node.name}.{item.name}"] = params(item, "staticmethod" not in decorators)
    return found


def instances():
    cloud = vantrel.read_pcd(FIXTURES / "xyz.binary.pcd")
    return {
        "PcdReader": vantrel.open_pcd(FIXTURES / "xyz.binary.pcd"),
        "PcdWriter": vantrel.open_pcd_writer(io.BytesIO(), points=0),
        "PointCloud": cloud,
    }


@pytest.mark.parametrize("name", sorted(n for n in stub_signatures() if n != "load_pcd"))
def test_every_public_signature_is_the_stubs(name):
    import inspect

    owner, _, attribute = name.rpartition(".")
    target = getattr(instances()[owner], attribute) if owner else getattr(vantrel, name)
    runtime = [
        (p.name, p.kind.name, None if p.default is p.empty else repr(p.default))
        for p in inspect.signature(target).parameters.values()
    ]
    assert runtime == stub_signatures()[name]


def test_the_manual_documents_every_public_name():
    import pathlib

    api = (pathlib.Path(__file__).parents[1] / "docs" / "api.rst").read_text()
    import types

    public = [
        n for n in dir(vantrel) if not n.startswith("_") and not isinstance(getattr(vantrel, n), types.ModuleType)
    ]
    assert [name for name in public if f"vantrel.{name}\n" not in api] == []
    for module in ("tools", "dask", "ros", "las", "ply"):
        assert f".. automodule:: vantrel.{module}\n" in api
