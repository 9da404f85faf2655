import errno
import io
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES
from pcdfile import header

DOC = (
    "\n        Load a PCD file into NumPy arrays.\n\n        Returns:\n"
    "            points: np.ndarray of shape (N,3) with x,y,z\n"
    "            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes\n    "
)


def test_docstrings():
    assert vantrel.__doc__ == "Fast PCD loading (ASCII, binary, binary_compressed)"
    doc = vantrel.load_pcd.__doc__
    assert doc.startswith("load_pcd(filename: str) -> tuple[numpy.ndarray, dict]\n")
    assert DOC in doc


def test_import_does_not_import_numpy_and_reimport_is_same_object():
    code = (
        "import sys, vantrel\n"
        "assert 'numpy' not in sys.modules\n"
        "m = sys.modules.pop('vantrel')\n"
        "import vantrel as again\n"
        "assert again is m\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_the_python_side_is_attached_and_test_switches_stay_out_of_sight():
    assert callable(vantrel.unpack_rgb) and callable(vantrel.PointCloud.to_pandas)
    assert not [name for name in dir(vantrel) if "testing" in name or "threshold" in name]
    from vantrel._testing import set_parallel_threshold

    before = set_parallel_threshold(123)
    assert set_parallel_threshold(before) == 123


class StrPath(str):
    pass


@pytest.mark.parametrize(
    "convert",
    [str, str.encode, lambda s: bytearray(s.encode()), StrPath],
    ids=["str", "bytes", "bytearray", "str-subclass"],
)
def test_path_kinds_give_the_same_result(pcd, convert):
    path = pcd(header(points=2), "1 2 3\n4 5 6\n")
    result = vantrel.load_pcd(convert(path))
    assert type(result) is tuple
    points, fields = result
    np.testing.assert_array_equal(points, [[1, 2, 3], [4, 5, 6]])
    assert fields == {}
    by_keyword = vantrel.load_pcd(filename=convert(path))
    np.testing.assert_array_equal(by_keyword[0], points)


@pytest.mark.parametrize(
    "args, match",
    [
        ((pathlib.Path("x.pcd"),), "not PosixPath; read_pcd\\(\\) takes pathlib.Path and binary file objects"),
        ((None,), "takes a path as str, bytes or bytearray, not NoneType"),
        ((1,), "not int"),
        ((), "incompatible function arguments"),
        (("a", "b"), "incompatible function arguments"),
        (("\udc80",), "this str has no UTF-8 form"),
    ],
    ids=["path", "none", "int", "no-arg", "two-args", "lone-surrogate"],
)
def test_refused_arguments(args, match):
    with pytest.raises(TypeError, match=match):
        vantrel.load_pcd(*args)


@pytest.mark.parametrize(
    "name, shown, kind, errno_",
    [
        ("/no/such/file.pcd", "/no/such/file.pcd", FileNotFoundError, errno.ENOENT),
        (b"/no/such/\xc3\xa9.pcd", "/no/such/\u00e9.pcd", FileNotFoundError, errno.ENOENT),
        # not UTF-8: still a RuntimeError with a readable message
        (b"/no/such/\xff.pcd", "/no/such/\\xff.pcd", FileNotFoundError, errno.ENOENT),
        ("/", "/", IsADirectoryError, errno.EISDIR),  # a directory is not a PCD file
        ("/no/such\0file", "/no/such\0file", OSError, errno.EINVAL),  # never opens its prefix
    ],
    ids=["str", "utf8-bytes", "latin1-bytes", "directory", "nul-byte"],
)
def test_unopenable_file_is_named_as_passed(name, shown, kind, errno_):
    with pytest.raises(RuntimeError) as err:
        vantrel.load_pcd(name)
    assert isinstance(err.value, kind) and isinstance(err.value, vantrel.PcdOpenError)
    assert str(err.value) == "Cannot open PCD file: " + shown
    assert err.value.errno == errno_ and err.value.strerror == os.strerror(errno_)
    assert err.value.filename == (os.fsdecode(name) if isinstance(name, bytes) else name)
    kept = pickle.loads(pickle.dumps(err.value))  # as a process pool hands it back
    assert type(kept) is type(err.value) and str(kept) == str(err.value) and kept.errno == errno_


def test_name_with_nul_byte_never_opens_its_prefix(pcd):
    path = pcd(header(), "1 2 3\n")
    with pytest.raises(RuntimeError, match="^Cannot open PCD file: "):
        vantrel.load_pcd(path.encode() + b"\0junk")


@pytest.mark.parametrize("fake", ["3.99.0 (main, fake)", f"3.{sys.version_info.minor}0.1 (main, fake)"])
def test_import_under_another_python_version_is_refused(tmp_path, fake):
    # The interpreter's version string is interposed, since a module built for
    # one version cannot even be linked into another interpreter.
    shim = tmp_path / "version.c"
    shim.write_text(f'const char *Py_GetVersion(void) {{ return "{fake}"; }}\n')
    lib = tmp_path / "libversion.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(shim)], check=True)
    code = "try:\n    import vantrel\nexcept ImportError as e:\n    print(e)\n"
    # Sanitizer runtimes, when preloaded, must stay first.
    env = dict(os.environ, LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {lib}".strip())
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == (
        f"Python version mismatch: module was compiled for Python {sys.version_info.major}.{sys.version_info.minor}, "
        "but the "
        f"interpreter version is incompatible: {fake}."
    )


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: vantrel.write_pcd(io.BytesIO(), np.zeros((4, 3))), TypeError, r"goes to points=, as in write_pcd"),
        (lambda: vantrel.read_pcd((FIXTURES / "xyz.binary.pcd").read_bytes()), ValueError, "wrap it in a file object"),
        (lambda: vantrel.open_pcd(b"/" * 5000), ValueError, "5000 bytes are longer than any path"),
        (lambda: vantrel.load_pcd(b"/" * 50_000_000), RuntimeError, r"^Cannot open PCD file: /{64}\.\.\. \(50000000"),
    ],
    ids=["array-as-fields", "data-as-path", "long-path", "load_pcd-long-name"],
)
def test_errors_say_what_to_type_instead_and_stay_short(call, error, match):
    with pytest.raises(error, match=match) as caught:
        call()
    assert len(str(caught.value)) < 400


def test_a_url_is_pointed_to_fsspec():
    with pytest.raises(vantrel.PcdFileNotFoundError) as caught:
        vantrel.read_pcd("s3://bucket/map.pcd")
    assert any("fsspec.open(url, 'rb')" in note for note in caught.value.__notes__)


def test_every_error_of_ours_is_a_vantrel_error_and_keeps_its_builtin_base():
    from vantrel import las, ply, ros, tools

    builtin = {
        vantrel.PcdOpenError: (OSError, RuntimeError),
        vantrel.PcdFileNotFoundError: (FileNotFoundError,),
        vantrel.FieldNotFoundError: (KeyError, ValueError),
        tools.ToolError: (ValueError,),
        las.LasError: (ValueError,),
        ply.PlyError: (ValueError,),
        ros.MessageError: (ValueError,),
        ros.OutdirError: (ValueError,),
    }
    for error, bases in builtin.items():
        assert issubclass(error, vantrel.Error) and all(issubclass(error, base) for base in bases), error
    exported = [getattr(m, n) for m in (vantrel, las, ply, ros, tools) for n in dir(m) if n.endswith("Error")]
    assert all(issubclass(e, vantrel.Error) for e in exported if isinstance(e, type)), exported
