"""LAS, LAZ and PLY both ways: what peers read of vantrel's files, and every field back."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import vantrel

laspy = pytest.importorskip("laspy")
plyfile = pytest.importorskip("plyfile")
from vantrel import _chunks, las, ply  # noqa: E402


def cloud_of(arrays):
    records = np.zeros(len(next(iter(arrays.values()))), [(n, a.dtype, a.shape[1:]) for n, a in arrays.items()])
    for name, array in arrays.items():
        records[name] = array
    return vantrel.PointCloud.from_records(records)


def lidar(n=500, seed=0, **extra):
    rng = np.random.default_rng(seed)
    arrays = {
        "x": (rng.random(n) * 200 + 650_000).astype(np.float64),
        "y": (rng.random(n) * 200 - 80).astype(np.float32),
        "z": (rng.random(n) * 30).astype(np.float32),
        "intensity": rng.random(n).astype(np.float32),
        "ring": rng.integers(0, 128, n).astype(np.uint16),
        "t": rng.random(n),
        "rgb": vantrel.pack_rgb(rng.integers(0, 256, (n, 3)), dtype="float32"),
        "normal": rng.normal(size=(n, 3)).astype(np.float32),
        "classification": rng.integers(0, 32, n).astype(np.int32),  # LAS's classification: any type, if it fits
    }
    arrays.update(extra)
    return arrays


def same(name, got, want, step=0.0):
    """Equal values, bit for bit for packed colors; coordinates within half a scale step."""
    if name in ("rgb", "rgba"):
        np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
    elif step:
        assert np.abs(got.astype(np.float64) - want.astype(np.float64)).max() <= step / 2 + 1e-9
    else:
        np.testing.assert_array_equal(got, want)


INTENSITIES = {
    "float from 0 to 1": (np.linspace(0, 1, 500, dtype=np.float32), "intensity", 1 / 131070),
    "uint16": (np.arange(500, dtype=np.uint16) * 131, "intensity", 0),
    "int8": (np.arange(500).astype(np.int8) % 100, "intensity", 0),
    "integer-valued float": (np.arange(500, dtype=np.float32) % 256, "intensity", 0),
    "float beyond 1": (np.linspace(0, 4000, 500, dtype=np.float32), "pcd_intensity", 0),
    "negative integers": (np.arange(500, dtype=np.int32) - 250, "pcd_intensity", 0),
}


@pytest.mark.parametrize("suffix", [".las", ".laz"])
@pytest.mark.parametrize("intensity", INTENSITIES, ids=list(INTENSITIES))
def test_las_keeps_every_field_and_laspy_reads_every_value(tmp_path, suffix, intensity):
    values, dimension, tolerance = INTENSITIES[intensity]
    arrays = lidar(intensity=values)
    cloud = cloud_of(arrays)
    path = tmp_path / f"map{suffix}"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        las.write_las(path, cloud)
    assert [str(w.message).split(":")[0] for w in caught] == (
        ["field 'intensity' goes to the extra-bytes dimension pcd_intensity, not LAS's intensity"]
        if dimension == "pcd_intensity"
        else []
    )
    peer = laspy.read(path)
    assert peer.header.point_format.id == 7 and max(peer.header.scales) <= 1e-6
    assert tuple(peer.header.offsets) == (650_000.0, -80.0, 0.0)
    for axis, scale in zip("xyz", peer.header.scales, strict=True):
        same(axis, np.asarray(peer[axis]), arrays[axis], scale)
    channels = vantrel.unpack_rgb(arrays["rgb"]).astype(np.uint16) * 257
    for k, color in enumerate(("red", "green", "blue")):
        np.testing.assert_array_equal(peer[color], channels[:, k])
    if dimension == "intensity":
        scale = 65535 if tolerance else 1
        np.testing.assert_array_equal(peer["intensity"], np.round(values * scale).astype(np.uint16))
    else:
        np.testing.assert_array_equal(peer[dimension], values)
        assert not np.asarray(peer["intensity"]).any()
    np.testing.assert_array_equal(peer["normal_2"], arrays["normal"][:, 2])
    np.testing.assert_array_equal(peer["classification"], arrays["classification"])
    back = las.read_las(path)
    assert list(back.fields) == list(arrays)
    for name, array in arrays.items():
        if name == "intensity" and tolerance:
            assert np.abs(back[name] - array).max() <= tolerance
        else:
            same(name, back[name], array, peer.header.scales["xyz".index(name)] if name in "xyz" else 0)
        assert back[name].dtype == (np.float64 if name in "xyz" else array.dtype)
    with pytest.warns(UserWarning, match=r"x, y and z as float32 moved by up to 0.0\d+ \(at 650,"):  # x: 650,000
        assert las.read_las(path, float32=True)["y"].dtype == np.float32


def test_las_from_other_writers_gives_every_dimension(tmp_path):
    header = laspy.LasHeader(point_format=3, version="1.2")
    header.add_extra_dims([laspy.ExtraBytesParams("range", np.float32)])
    header.scales, header.offsets = [0.01] * 3, [100, 200, 0]
    points = laspy.LasData(header)
    points.x, points.y, points.z = np.array([100.5, 101.25]), np.array([200.0, 210.5]), np.array([1.0, 2.0])
    points.intensity, points.classification = np.uint16([7, 9]), np.uint8([2, 5])
    points.red, points.return_number = np.uint16([65535, 257]), np.uint8([1, 2])
    points["range"] = np.float32([3.5, 4.5])
    points.write(tmp_path / "peer.las")
    cloud = las.read_las(tmp_path / "peer.las")
    assert list(cloud.fields)[:4] == ["x", "y", "z", "intensity"] and "range" in cloud.fields
    np.testing.assert_array_equal(cloud["x"], [100.5, 101.25])
    for name, want in [
        ("intensity", [7, 9]),
        ("classification", [2, 5]),
        ("red", [65535, 257]),
        ("return_number", [1, 2]),
        ("range", [3.5, 4.5]),
    ]:
        np.testing.assert_array_equal(cloud[name], want)


def test_las_chooses_a_scale_that_holds_the_extent(tmp_path):
    arrays = {"x": np.array([0.0, 5e6 + 0.5]), "y": np.zeros(2), "z": np.zeros(2)}
    las.write_las(tmp_path / "wide.las", cloud_of(arrays))
    assert tuple(laspy.read(tmp_path / "wide.las").header.scales) == (0.1, 1, 1)  # the steps they lie on
    with pytest.raises(las.LasError, match="scale 0.0001 cannot hold x"):
        las.write_las(tmp_path / "fine.las", cloud_of(arrays), scale=0.0001)
    assert not list(tmp_path.glob("*fine*"))


def test_las_leaves_out_nan_points_with_a_warning(tmp_path):
    arrays = lidar(n=10)
    arrays["z"][[2, 5]] = np.nan
    with pytest.warns(UserWarning, match="2 points with a NaN coordinate were left out"):
        las.write_las(tmp_path / "a.las", cloud_of(arrays))
    back = las.read_las(tmp_path / "a.las")
    same("t", back["t"], np.delete(arrays["t"], [2, 5]))


def test_pcd_to_las_in_chunks_equals_a_whole_write(tmp_path, monkeypatch):
    arrays = lidar(n=1000, seed=4)
    vantrel.write_pcd(tmp_path / "map.pcd", arrays)
    las.write_las(tmp_path / "whole.laz", vantrel.read_pcd(tmp_path / "map.pcd"))
    monkeypatch.setattr(_chunks, "CHUNK_BYTES", 64 * 40)  # a few dozen points a chunk, either way
    las.pcd_to_las(tmp_path / "map.pcd", tmp_path / "chunks.laz")
    las.las_to_pcd(tmp_path / "chunks.laz", tmp_path / "back.pcd", data="binary")
    whole, back = las.read_las(tmp_path / "whole.laz"), vantrel.read_pcd(tmp_path / "back.pcd")
    for name in arrays:
        same(name, back[name], whole[name])


# ---------------------------------------------------------------- PLY


@pytest.mark.parametrize(("text", "order"), [(False, "<"), (True, "<"), (False, ">")], ids=["binary", "ascii", "big"])
def test_ply_keeps_every_field_and_plyfile_reads_every_value(tmp_path, text, order):
    arrays = lidar(n=50, rgba=vantrel.pack_rgb(np.arange(200).reshape(50, 4) % 256))
    del arrays["rgb"]
    path = tmp_path / "scan.ply"
    ply.write_ply(path, cloud_of(arrays), text=text)
    if order == ">":  # re-saved by another tool in the other byte order, our comment kept
        resaved = plyfile.PlyData.read(path)
        resaved.byte_order = ">"
        path = tmp_path / "big.ply"  # not over the file plyfile has mapped
        resaved.write(path)
    vertex = plyfile.PlyData.read(path)["vertex"].data
    assert plyfile.PlyData.read(path).text == text
    for k, color in enumerate(("red", "green", "blue", "alpha")):
        assert vertex[color].dtype == np.uint8
        np.testing.assert_array_equal(vertex[color], vantrel.unpack_rgb(arrays["rgba"], alpha=True)[:, k])
    np.testing.assert_array_equal(vertex["normal_1"], arrays["normal"][:, 1])
    back = ply.read_ply(path)
    assert back.header.fields == cloud_of(arrays).header.fields
    for name, array in arrays.items():
        same(name, back[name], array)


def test_ply_has_no_64_bit_integers(tmp_path):
    cloud = cloud_of({"x": np.zeros(3, np.float32), "id": np.array([1, 2**60 + 1, 3], np.int64)})
    with pytest.raises(ply.PlyError, match="field 'id' holds 64-bit integers"):
        ply.write_ply(tmp_path / "a.ply", cloud)
    assert not list(tmp_path.iterdir())
    with pytest.warns(UserWarning, match="1 values of field 'id' changed"):
        ply.write_ply(tmp_path / "a.ply", cloud, lossy=True)
    np.testing.assert_array_equal(ply.read_ply(tmp_path / "a.ply")["id"], [1.0, 2.0**60, 3.0])


@pytest.mark.parametrize(
    ("arrays", "write", "words"),
    [
        (
            {"x": np.zeros(2), "rgb": np.zeros(2, np.uint32), "red": np.zeros(2)},
            "ply",
            "'red' would be PLY property 'red'",
        ),
        ({"x": np.zeros((2, 2)), "x_1": np.zeros(2)}, "ply", "'x_1' would be PLY property 'x_1'"),
        ({"x": np.zeros(2), "y": np.zeros(2), "z": np.zeros(2), "n" * 33: np.zeros(2)}, "las", "longer than LAS's 32"),
    ],
)
def test_fields_a_format_cannot_name_apart_are_refused(tmp_path, arrays, write, words):
    target = tmp_path / f"a.{write}"
    with pytest.raises(ply.PlyError if write == "ply" else las.LasError, match=words):
        (ply.write_ply if write == "ply" else las.write_las)(target, cloud_of(arrays))
    assert not list(tmp_path.iterdir())


def test_ply_from_other_writers_gives_every_vertex_property(tmp_path):
    vertex = np.array(
        [(1.0, 2.0, 3.0, 200), (4.0, 5.0, 6.0, 100)], [("x", ">f4"), ("y", ">f4"), ("z", ">f8"), ("red", "u1")]
    )
    face = np.array([([0, 1, 1],)], [("vertex_indices", "i4", (3,))])
    data = plyfile.PlyData(
        [plyfile.PlyElement.describe(vertex, "vertex"), plyfile.PlyElement.describe(face, "face")], byte_order=">"
    )
    data.write(tmp_path / "mesh.ply")
    with pytest.warns(UserWarning, match="the face of this PLY file are left out"):
        cloud = ply.read_ply(tmp_path / "mesh.ply")
    assert list(cloud.fields) == ["x", "y", "z", "red"]
    np.testing.assert_array_equal(cloud["z"], [3.0, 6.0])
    np.testing.assert_array_equal(cloud["red"], [200, 100])


@pytest.mark.parametrize("suffix", [".las", ".laz", ".ply"])
@pytest.mark.parametrize("cut", [10, 0.5, 0.97])
def test_damaged_files_are_errors_naming_them(tmp_path, suffix, cut):
    path = tmp_path / f"a{suffix}"
    cloud = cloud_of(lidar(n=2000))
    las.write_las(path, cloud) if suffix != ".ply" else ply.write_ply(path, cloud)
    whole = path.read_bytes()
    path.write_bytes(whole[: cut if isinstance(cut, int) else int(len(whole) * cut)])
    error = ply.PlyError if suffix == ".ply" else las.LasError
    with pytest.raises(error, match=str(path)), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # laspy's own warnings of what it found
        (ply.read_ply if suffix == ".ply" else las.read_las)(path)


def test_a_missing_extra_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "plyfile", None)
    with pytest.raises(ImportError, match=r"PLY needs plyfile: pip install 'vantrel\[ply\]'"):
        ply.read_ply("any.ply")


# ---------------------------------------------------------------- convert


def vantrel_cli(*args):
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True)


def convert_through(path, trip, options):
    """path converted by the command line to each suffix of trip in turn (options for a PCD); the last file."""
    for k, suffix in enumerate(trip):
        target = path.parent / f"{k}{suffix}"
        run = vantrel_cli("convert", path, target, *(options if suffix == ".pcd" else []))
        assert run.returncode == 0, run.stderr
        path = target
    return path


@pytest.mark.parametrize(
    ("trip", "options"),
    [((".laz", ".pcd"), []), ((".las", ".ply"), []), ((".ply", ".las"), []), ((".ply", ".pcd"), ["--data", "ascii"])],
)
def test_convert_picks_formats_by_extension(tmp_path, trip, options):
    arrays = lidar(n=300, seed=9)
    vantrel.write_pcd(tmp_path / "a.pcd", arrays)
    path = convert_through(tmp_path / "a.pcd", trip, options)
    back = {".pcd": vantrel.read_pcd, ".ply": ply.read_ply}.get(path.suffix, las.read_las)(path)
    through_las = any(suffix in (".las", ".laz") for suffix in trip)
    for name, array in arrays.items():
        if through_las and name == "intensity":
            assert np.abs(back[name] - array).max() <= 1 / 131070
        else:
            same(name, back[name], array, 0.001 if through_las and name in "xyz" else 0.0)


@pytest.mark.parametrize(
    ("trip", "options", "fields"),
    [
        ((".pcd",), ["--data", "ascii"], ["x", "y", "z", "intensity", "ring"]),
        ((".pcd",), ["--fields", "x,ring"], ["x", "ring"]),
        ((".las", ".pcd"), [], ["x", "y", "z", "intensity", "ring"]),
        ((".ply", ".pcd"), [], ["x", "y", "z", "intensity", "ring"]),
    ],
    ids=["pcd", "pcd-fields", "las", "ply"],
)
def test_convert_of_no_points_writes_a_cloud_of_none_with_every_field(tmp_path, trip, options, fields):
    columns = {"intensity": np.zeros(0, np.float32), "ring": np.zeros(0, np.uint16)}
    vantrel.write_pcd(tmp_path / "e.pcd", columns, points=np.zeros((0, 3), np.float32), data="binary")
    path = convert_through(tmp_path / "e.pcd", trip, options)
    back = vantrel.read_pcd(path)
    assert (len(back), list(back.fields)) == (0, fields)


@pytest.mark.parametrize(
    ("args", "words"),
    [
        (["a.pcd", "b.txt"], "the format is chosen by the extension"),
        (["a.pcd", "b.las", "--data", "ascii"], "data= is no option of reading PCD or writing LAS/LAZ"),
        (["a.pcd", "b.ply"], "field 'big' holds 64-bit integers"),
    ],
)
def test_convert_refuses_with_one_line(tmp_path, args, words):
    vantrel.write_pcd(tmp_path / "a.pcd", {"x": np.zeros(2), "big": np.zeros(2, np.int64)})
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "convert", *args], capture_output=True, text=True, cwd=tmp_path
    )
    assert run.returncode == 1 and words in run.stderr and len(run.stderr.splitlines()) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.pcd"]
