"""The habits of NumPy, io and pandas users: a cloud indexed as an array, a reader read as a file,
errors that say what to type instead, and frames that come back as the fields they were."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES

ORGANIZED = FIXTURES / "organized_nan.binary.pcd"  # 64 x 32


@pytest.fixture(scope="module")
def cloud():
    return vantrel.read_pcd(ORGANIZED)


@pytest.mark.parametrize(
    "key, rows, grid, view",
    [
        (slice(2, 5), np.arange(2, 5), (3, 1), True),
        (slice(64, 192), np.arange(64, 192), (64, 2), True),  # whole rows: still a grid
        (slice(60, 130), np.arange(60, 130), (70, 1), True),
        (slice(None, None, 2), np.arange(0, 2048, 2), (1024, 1), False),
        (slice(-3, None), np.arange(2045, 2048), (3, 1), True),
        (slice(5, 5), np.arange(0), (0, 1), True),
        ([0, 5, 3], np.array([0, 5, 3]), (3, 1), False),
        (np.array([2047, 0]), np.array([2047, 0]), (2, 1), False),
        ("mask", None, None, False),
    ],
    ids=["run", "rows", "not-rows", "stride", "negative", "empty", "list", "array", "mask"],
)
def test_a_cloud_is_indexed_as_its_records_are(cloud, key, rows, grid, view):
    if isinstance(key, str):
        key = np.isfinite(cloud["x"])
        rows = np.flatnonzero(key)
        grid = (len(rows), 1)
    part = cloud[key]
    assert isinstance(part, vantrel.PointCloud) and len(part) == len(rows)
    assert (part.header.width, part.header.height, part.header.points) == (*grid, len(rows))
    assert list(part.fields) == list(cloud.fields)
    for name, values in cloud.fields.items():
        assert part[name].tobytes() == values[rows].tobytes(), name
    assert part.records.dtype == cloud.records.dtype and len(part.records) == len(rows)
    assert np.shares_memory(part["x"], cloud["x"]) == (view and len(rows) > 0)


@pytest.mark.parametrize(
    "key, error, match",
    [
        ("q", KeyError, "no field 'q' in this cloud; its fields are: x, y, z, _, intensity"),
        (np.zeros(3, bool), IndexError, "boolean index did not match"),
        ([5000], IndexError, "out of bounds"),
        ((0, 1), IndexError, "too many indices"),
    ],
    ids=["name", "mask-length", "index", "tuple"],
)
def test_bad_keys_are_refused_as_numpy_refuses_them(cloud, key, error, match):
    with pytest.raises(error, match=match):
        cloud[key]


def test_a_point_and_the_array_interface(cloud):
    assert cloud[3] == cloud.records[3] and cloud[-1] == cloud.records[-1]
    assert np.asarray(cloud) is cloud.records
    assert np.shares_memory(np.array(cloud, copy=False), cloud.records)
    copied = np.array(cloud, copy=True)
    assert not np.shares_memory(copied, cloud.records) and copied["y"].tobytes() == cloud["y"].tobytes()
    with pytest.raises(ValueError, match="without a copy"):
        np.asarray(cloud, dtype=[("x", "<f8")], copy=False)
    assert "2048 points" in repr(cloud) and "binary" in repr(cloud) and "intensity" in repr(cloud)


# ---------------------------------------------------------------- a reader as a file


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([("read", 5), ("seek", 2, os.SEEK_CUR)], 7),
        ([("seek", -3, os.SEEK_END)], 1497),
        ([("seek", 0, os.SEEK_END)], 1500),
        ([("read", 10), ("seek", -4, os.SEEK_CUR)], 6),
        ([("seek", 7)], 7),
        ([("read", 4), ("read", -1)], 1500),
        ([("read", 4), ("read", None)], 1500),
    ],
    ids=["cur", "end", "end-0", "cur-back", "set", "read-minus-1", "read-none"],
)
def test_a_reader_moves_as_a_file_does(steps, expected):
    timestamps = vantrel.read_pcd(FIXTURES / "lidar.binary.pcd").fields["timestamp"]
    with vantrel.open_pcd(FIXTURES / "lidar.binary.pcd") as reader:
        for step in steps:
            getattr(reader, step[0])(*step[1:])
        assert reader.tell() == expected
        if expected < 1500:
            assert reader.read(1).fields["timestamp"][0] == timestamps[expected]


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: r.seek(1, 3), ValueError, "whence must be os.SEEK_SET"),
        (lambda r: r.seek(-1, os.SEEK_SET), ValueError, "point -1 is out of range"),
        (lambda r: r.seek(1, os.SEEK_END), ValueError, "point 1501 is out of range"),
    ],
    ids=["whence", "before-start", "past-end"],
)
def test_seeks_out_of_range_are_refused(call, error, match):
    with vantrel.open_pcd(FIXTURES / "lidar.binary.pcd") as reader:
        with pytest.raises(error, match=match):
            call(reader)
        assert reader.tell() == 0


def test_a_reader_is_iterable_and_has_a_length():
    with vantrel.open_pcd(FIXTURES / "lidar.binary_compressed.pcd") as reader:
        assert len(reader) == 1500
        reader.seek(1000)
        assert [len(chunk) for chunk in reader] == [500]


# ---------------------------------------------------------------- errors that point the right way


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


def test_the_command_line_prints_the_notes(tmp_path):
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "convert", "https://example.org/a.pcd", tmp_path / "o.pcd"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1 and "fsspec" in run.stderr and "Traceback" not in run.stderr
    assert run.stderr.count("\n") == 1  # one line


# ---------------------------------------------------------------- frames


@pytest.mark.parametrize("group, fields", [(True, 6), (False, 40)], ids=["grouped", "apart"])
def test_a_frame_of_a_counted_field_comes_back_as_that_field(group, fields):
    pytest.importorskip("pandas")
    cloud = vantrel.read_pcd(FIXTURES / "counts.binary.pcd")
    out = io.BytesIO()
    vantrel.write_pcd(out, cloud.to_pandas(), data="binary", group=group)
    back = vantrel.read_pcd(io.BytesIO(out.getvalue()))
    assert len(back.header.fields) == fields
    if group:
        assert back.header.fields == cloud.header.fields and back.records.tobytes() == cloud.records.tobytes()


def test_columns_that_only_look_alike_stay_apart():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a_0": np.zeros(2, "f4"), "a_1": np.zeros(2, "f8"), "b_0": [1, 2], "c_1": [1, 2]})
    out = io.BytesIO()
    vantrel.write_pcd(out, frame, data="ascii")
    assert [f.name for f in vantrel.read_pcd(io.BytesIO(out.getvalue())).header.fields] == ["a_0", "a_1", "b_0", "c_1"]


# ---------------------------------------------------------------- the command line


def test_stats_of_a_packed_color_are_per_channel(tmp_path):
    path = tmp_path / "c.pcd"
    colors = np.array([0xFF0A141E, 0x7F000000 | 0x28323C], np.uint32).view(np.float32)  # NaN bits, F 4
    vantrel.write_pcd(path, {"x": np.zeros(2, "f4"), "rgba": colors}, data="binary")
    run = subprocess.run(
        [sys.executable, "-W", "error", "-m", "vantrel", "info", "--stats", "--json", path],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    stats = __import__("json").loads(run.stdout)["stats"]
    assert "rgba" not in stats
    assert [stats[f"rgba.{c}"]["min"] for c in "rgba"] == [10, 20, 30, 127]
    assert [stats[f"rgba.{c}"]["max"] for c in "rgba"] == [40, 50, 60, 255]


@pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "without-tqdm"])
def test_convert_counts_points_on_a_terminal(tmp_path, monkeypatch, capsys, tqdm):
    from vantrel import cli

    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    if not tqdm:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # not installed
    monkeypatch.setattr(cli, "CHUNK", 400)
    assert cli.main(["convert", str(FIXTURES / "lidar.binary.pcd"), str(tmp_path / "o.pcd")]) == 0
    err = capsys.readouterr().err
    assert ("/1.50k [" in err and "pts/s" in err) == tqdm and "Traceback" not in err
    assert len(vantrel.read_pcd(tmp_path / "o.pcd")) == 1500


# ---------------------------------------------------------------- signatures


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
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                public = not item.name.startswith("_") if isinstance(item, ast.FunctionDef) else False
                if public and not any(getattr(d, "id", "") == "property" for d in item.decorator_list):
                    found[f"{node.name}.{item.name}"] = params(item, True)
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


# ---------------------------------------------------------------- the picture


def scenes():
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).parents[1] / "examples" / "scenes.py"
    spec = importlib.util.spec_from_file_location("scenes", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "scene, grid, stacked",
    [("street", None, True), ("depth", (160, 120), False)],
    ids=["street-plan-and-side", "depth-range-image-and-top"],
)
def test_view_fills_each_panel(tmp_path, scene, grid, stacked):
    image = pytest.importorskip("matplotlib.image")
    fields, points = getattr(scenes(), scene)()
    path, picture = tmp_path / f"{scene}.pcd", tmp_path / "v.png"
    width, height = grid or (None, None)
    vantrel.write_pcd(path, fields, points=points, width=width, height=height)
    run = subprocess.run(
        [sys.executable, "-W", "error", "-m", "vantrel", "view", path, "-o", picture, "--size", "800x500"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    pixels = image.imread(picture)
    assert pixels.shape[:2] == (500, 800)
    ink = pixels[..., :3].min(axis=-1) < 0.9  # anything but the white background
    panels = (ink[60:260], ink[260:480]) if stacked else (ink[60:480, :380], ink[60:480, 400:760])
    for panel in panels:  # each view fills much of its place, not a thin strip of it
        assert panel.mean() > 0.12, [p.mean() for p in panels]


def test_view_refuses_a_color_of_several_values(tmp_path):
    path = tmp_path / "n.pcd"
    vantrel.write_pcd(path, {"normal": np.zeros((3, 3), np.float32)}, points=np.zeros((3, 3), np.float32))
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "view", path, "-o", tmp_path / "v.png", "--color", "normal"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1 and "field 'normal' holds 3 values a point" in run.stderr


def test_a_claim_beyond_memory_gives_its_figures(pcd):
    path = pcd(
        b"FIELDS x y z h\nSIZE 4 4 4 8\nTYPE F F F F\nCOUNT 1 1 1 100\nPOINTS 2147483647\nDATA binary\n", b"\0" * 1000
    )
    claim = "the header claims 2147483647 points of 812 bytes, 1743756721364 bytes in all"
    with pytest.raises(MemoryError, match=claim + r".*the file holds 1000 bytes of data"):
        vantrel.read_pcd(path)
    with pytest.raises(MemoryError) as caught:
        vantrel.load_pcd(path)
    assert str(caught.value) == "std::bad_alloc"  # load_pcd's text stays its own; the figures are a note
    assert any(claim in note for note in caught.value.__notes__)
