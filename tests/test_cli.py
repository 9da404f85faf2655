"""The command line: info, check, convert and view, their errors, progress and pictures."""

import json
import subprocess
import sys

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES
from pcdfile import header


def vantrel_cli(*args, check=None):
    run = subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True)
    if check is not None:
        assert run.returncode == check, run.stderr
    return run


def scenes():
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).parents[1] / "examples" / "scenes.py"
    spec = importlib.util.spec_from_file_location("scenes", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_info_table_json_and_stats(tmp_path):
    path = FIXTURES / "counts.binary.pcd"
    table = vantrel_cli("info", path, check=0).stdout
    assert "normal" in table and "grid        " in table and f"file size   {path.stat().st_size:,} bytes" in table
    line = vantrel_cli("info", "--json", "--stats", path, check=0).stdout.splitlines()
    record = json.loads(line[0])
    cloud = vantrel.read_pcd(path)
    assert record["path"] == str(path) and record["points"] == len(cloud) and record["size_bytes"] > 0
    assert record["fields"][0] == {"name": "x", "type": "F", "size": 4, "count": 1, "offset": 0}
    x = cloud.fields["x"].astype(np.float64)
    assert record["stats"]["x"] == pytest.approx({"min": x.min(), "max": x.max(), "mean": x.mean(), "nan": 0})
    assert record["stats"]["hist"]["nan"] == 0


def test_check_says_which_files_are_damaged(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "good.pcd").write_bytes((FIXTURES / "xyz.ascii.pcd").read_bytes())
    (tmp_path / "short.pcd").write_bytes(header(points=5) + b"1 2 3\n")
    (tmp_path / "lzma.pcd").write_bytes(header(data="lzma"))
    run = vantrel_cli("check", tmp_path, check=1)
    assert run.stdout.splitlines() == [
        f"{tmp_path / 'lzma.pcd'}: RuntimeError: Unsupported PCD DATA type: lzma",
        f"{tmp_path / 'short.pcd'}: DataWarning: PCD data ends early: the file holds 1 of 5 points; the rest are zero",
        f"{tmp_path / 'sub' / 'good.pcd'}: ok",
    ]
    assert vantrel_cli("check", tmp_path / "sub", check=0).stdout.endswith(": ok\n")


@pytest.mark.parametrize("data", ["ascii", "binary", "binary_compressed"])
def test_convert_writes_the_chosen_fields(tmp_path, data):
    source = FIXTURES / "organized_nan.binary.pcd"
    target = tmp_path / "out.pcd"
    vantrel_cli("convert", source, target, "--data", data, "--fields", "x,z", check=0)
    cloud, original = vantrel.read_pcd(target), vantrel.read_pcd(source)
    assert cloud.header.data == data and list(cloud.fields) == ["x", "z"]
    assert (cloud.header.width, cloud.header.height) == (original.header.width, original.header.height)
    assert cloud.fields["z"].tobytes() == original.fields["z"].tobytes()


def test_view_draws_a_picture_of_the_asked_size(tmp_path):
    picture = tmp_path / "v.png"
    vantrel_cli(
        "view", FIXTURES / "lidar.binary.pcd", "-o", picture, "--color", "intensity", "--size", "640x360", check=0
    )
    header = picture.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert (int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")) == (640, 360)


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["info", "/no/such.pcd"], 1, "vantrel: error: /no/such.pcd: Cannot open PCD file: /no/such.pcd"),
        (
            ["convert", FIXTURES / "xyz.binary.pcd", "o.pcd", "--fields", "q"],
            1,
            "vantrel: error: FieldNotFoundError: no field 'q' in this PCD",
        ),
        (["view", FIXTURES / "xyz.binary.pcd", "-o", "v.png", "--color", "rgb"], 1, "--color rgb: "),
        (["view", FIXTURES / "xyz.binary.pcd", "-o", "v.png", "--size", "big"], 2, "--size takes WIDTHxHEIGHT"),
        (["convert", FIXTURES / "xyz.binary.pcd"], 2, "the following arguments are required: OUT"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ],
    ids=["missing-file", "unknown-field", "no-rgb", "bad-size", "missing-argument", "unknown-command"],
)
def test_errors_are_one_line_and_no_traceback(tmp_path, args, code, message):
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True, cwd=tmp_path
    )
    assert run.returncode == code and message in run.stderr and "Traceback" not in run.stderr, run.stderr
    assert not (tmp_path / "o.pcd").exists()


def test_every_command_has_help_and_view_names_its_extra():
    for command in ("info", "check", "convert", "view"):
        assert "usage: vantrel " + command in vantrel_cli(command, "--help", check=0).stdout
    code = "import sys\nsys.modules['matplotlib'] = None\nfrom vantrel.cli import main\nsys.exit(main(sys.argv[1:]))"
    run = subprocess.run(
        [sys.executable, "-c", code, "view", str(FIXTURES / "xyz.binary.pcd"), "-o", "/dev/null"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1 and "pip install 'vantrel[view]'" in run.stderr


def test_the_command_line_prints_the_notes(tmp_path):
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "convert", "https://example.org/a.pcd", tmp_path / "o.pcd"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1 and "fsspec" in run.stderr and "Traceback" not in run.stderr
    assert run.stderr.count("\n") == 1  # one line


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
    step = vantrel.read_pcd_header(FIXTURES / "lidar.binary.pcd").point_step
    monkeypatch.setattr("vantrel._chunks.CHUNK_BYTES", 400 * step)
    assert cli.main(["convert", str(FIXTURES / "lidar.binary.pcd"), str(tmp_path / "o.pcd")]) == 0
    err = capsys.readouterr().err
    assert ("/1.50k [" in err and "pts/s" in err) == tqdm and "Traceback" not in err
    assert len(vantrel.read_pcd(tmp_path / "o.pcd")) == 1500


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


@pytest.mark.parametrize(
    ("box", "kept"),
    [
        (["-1e9", "-inf", "1.5", "inf"], [0, 1]),  # 4 numbers: any z; exponents and infinities are numbers
        (["-inf", "-inf", "-inf", "inf", "inf", "0.5"], [0, 2]),
        (["1", "-1e-9", "-1E+3", "2", "0", "1e3"], [1]),
    ],
)
def test_crop_box_takes_any_z_infinities_and_exponents(tmp_path, box, kept):
    points = np.array([[0, 0, 0], [1, 0, 100], [5, 0, -7]], np.float64)
    vantrel.write_pcd(tmp_path / "a.pcd", {"id": np.arange(3, dtype=np.int32)}, points=points)
    vantrel_cli("crop", tmp_path / "a.pcd", tmp_path / "b.pcd", "--box", *box, check=0)
    assert vantrel.read_pcd(tmp_path / "b.pcd")["id"].tolist() == kept


def test_stats_show_every_digit_of_a_time_or_a_coordinate(tmp_path):
    t = np.array([1_700_000_000.25, 1_700_000_000.75])
    points = np.array([[4_000_000.125, 0, 0], [4_000_000.5, 0, 0]])
    vantrel.write_pcd(tmp_path / "a.pcd", {"t": t}, points=points)
    run = vantrel_cli("info", "--stats", tmp_path / "a.pcd", check=0)
    assert "1700000000.25" in run.stdout and "1700000000.75" in run.stdout and "4000000.125" in run.stdout
