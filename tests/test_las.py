"""LAS and LAZ as their writers meant them: other projects' files read as laspy reads them, standard
dimensions in their slots, coordinates on their own grid, LAS to LAS as it is, and hostile files
refused in bounded time and memory."""

import io
import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

laspy = pytest.importorskip("laspy")
pytest.importorskip("lazrs")
from test_formats import cloud_of  # noqa: E402

from vantrel import las  # noqa: E402

FILES = pathlib.Path(__file__).parent / "data" / "las"
HOSTILE = {  # refused by laspy too: each must be a LasError in bounded time and memory
    "PDAL__test_data_las_garbage_nVariableLength.las": "claims 1,069,128,089 VLRs",
    "PDAL__test_data_apps_simple-laszip-compressor-version-1.2r0.laz": "damaged or cut short",
}
READABLE = sorted(p.name for p in FILES.glob("*.la[sz]") if p.name not in HOSTILE)
# Fewer points than their header gives: read with a DataWarning, and not converted.
SHORT = {"PDAL__test_data_las_1.2-with-color-clipped.las": "1,064 of the 1,065 points"}
WHOLE = [n for n in READABLE if n not in SHORT and "no-points" not in n]


def convert(source, target, capsys):
    """The command line's convert, in this process: its exit status and what it printed on stderr."""
    from vantrel import cli

    capsys.readouterr()
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        status = cli.main(["convert", str(source), str(target)])
    return status, capsys.readouterr().err


def laspy_read(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return laspy.read(path)


def quietly(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


# ---------------------------------------------------------------- other projects' files


@pytest.mark.parametrize("name", READABLE)
def test_other_projects_files_give_every_dimension_laspy_gives(name):
    peer = laspy_read(FILES / name)
    cloud = quietly(las.read_las, FILES / name)
    assert len(cloud) == len(peer.points)
    for dim in peer.point_format.dimension_names:
        want = np.asarray(getattr(peer, dim.lower()) if dim in "XYZ" else peer[dim])
        got = cloud[dim.lower() if dim in "XYZ" else dim]
        np.testing.assert_array_equal(got, want, err_msg=dim)


@pytest.mark.parametrize("name", list(HOSTILE))
def test_files_laspy_refuses_are_a_las_error_in_bounded_time_and_memory(name):
    # A CPU limit, not an address-space one (the sanitizer build reserves terabytes), and the
    # growth of the peak resident memory measured.
    script = textwrap.dedent("""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_CPU, (20, 20))
        from vantrel import las
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            las.read_las(sys.argv[1])
        except las.LasError as error:
            print("LasError:", error)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    run = subprocess.run([sys.executable, "-c", script, FILES / name], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    said, grown_kb = run.stdout.rsplit("\n", 2)[0], int(run.stdout.split()[-1])
    assert said.startswith("LasError:") and HOSTILE[name] in said and name in said
    assert grown_kb < 300_000


@pytest.mark.parametrize(
    "failure",
    [type("PanicException", (BaseException,), {})("a panic of lazrs"), ValueError("laspy's"), KeyboardInterrupt()],
    ids=["panic", "exception", "ctrl-c"],
)
def test_any_failure_of_the_decoder_is_a_las_error_but_ctrl_c(failure):
    from vantrel._las_input import decoder_failures

    expected = KeyboardInterrupt if isinstance(failure, KeyboardInterrupt) else las.LasError
    with pytest.raises(expected) as raised, decoder_failures("a.laz", "damaged"):
        raise failure
    assert expected is KeyboardInterrupt or "a.laz: damaged" in str(raised.value)


@pytest.mark.parametrize("name", WHOLE)
@pytest.mark.parametrize("suffix", [".las", ".laz"])
def test_las_to_las_keeps_the_file_as_it_is(tmp_path, capsys, name, suffix):
    source = FILES / name
    status, stderr = convert(source, tmp_path / f"b{suffix}", capsys)
    assert status == 0, stderr
    peer, back = laspy_read(source), laspy_read(tmp_path / f"b{suffix}")
    assert back.point_format.id == peer.point_format.id and list(back.point_format.dimension_names) == list(
        peer.point_format.dimension_names
    )
    assert list(back.header.scales) == list(peer.header.scales) and list(back.header.offsets) == list(
        peer.header.offsets
    )
    kept = [(v.user_id, v.record_id) for v in peer.header.vlrs if v.user_id != "copc"]  # its index: not the new file's
    assert [(v.user_id, v.record_id) for v in back.header.vlrs] == kept
    assert ("COPC index is left out" in stderr) == (len(kept) < len(peer.header.vlrs))
    for dim in peer.point_format.dimension_names:
        np.testing.assert_array_equal(np.asarray(back[dim]), np.asarray(peer[dim]), err_msg=dim)


STANDARD = ["intensity", "return_number", "number_of_returns", "classification", "user_data", "point_source_id"]


@pytest.mark.parametrize("name", WHOLE)
def test_las_through_pcd_and_back_keeps_each_standard_dimension_in_its_slot(tmp_path, capsys, name):
    source = FILES / name
    for target in ("a.pcd", "b.las"):
        status, stderr = convert(source, tmp_path / target, capsys)
        assert status == 0, stderr
        source = tmp_path / target
    peer, back = laspy_read(FILES / name), laspy_read(tmp_path / "b.las")
    for dim in [*STANDARD, "gps_time", "red", "green", "blue", "nir"]:
        if dim in peer.point_format.dimension_names and np.asarray(peer[dim]).any():
            np.testing.assert_array_equal(np.asarray(back[dim]), np.asarray(peer[dim]), err_msg=dim)
    for axis, step in zip("xyz", peer.header.scales, strict=True):
        assert np.abs(np.asarray(back[axis]) - np.asarray(peer[axis])).max(initial=0) <= step / 2 * (1 + 1e-6)


@pytest.mark.parametrize("name", list(SHORT))
def test_files_shorter_than_their_header_are_read_with_a_warning_and_not_converted(tmp_path, name):
    with pytest.warns(vantrel.DataWarning, match=SHORT[name]):
        assert len(las.read_las(FILES / name)) == len(laspy_read(FILES / name).points)
    run = subprocess.run(
        [sys.executable, "-m", "vantrel", "convert", FILES / name, tmp_path / "a.las"], capture_output=True, text=True
    )
    assert run.returncode == 1 and SHORT[name] in run.stderr and not (tmp_path / "a.las").exists()


def test_scaled_extra_bytes_are_read_as_their_scaled_values():
    peer = laspy_read(FILES / "PDAL__test_data_las_1.2-empty-geotiff-vlrs.las")
    cloud = las.read_las(FILES / "PDAL__test_data_las_1.2-empty-geotiff-vlrs.las")
    assert cloud["Amplitude"].dtype == np.float64 and cloud["Amplitude"][0] == pytest.approx(16.84)
    np.testing.assert_array_equal(cloud["Reflectance"], np.asarray(peer["Reflectance"]))


# ---------------------------------------------------------------- fields by meaning


def test_fields_named_as_las_dimensions_fill_their_slots_when_they_fit(tmp_path):
    n = 40
    rng = np.random.default_rng(1)
    arrays = {
        "x": rng.random(n) * 10,
        "y": rng.random(n),
        "z": rng.random(n),
        "intensity": np.arange(n, dtype=np.float32),  # integers as floats: as they are
        "return_number": (np.arange(n) % 5 + 1).astype(np.uint8),
        "number_of_returns": np.full(n, 5, np.int32),
        "classification": (np.arange(n) % 20).astype(np.float64),
        "gps_time": rng.random(n).astype(np.float32) + 1e5,
        "synthetic": (np.arange(n) % 2).astype(np.uint8),
        "scan_angle": (np.arange(n) - 20).astype(np.int16),
        "nir": np.arange(n, dtype=np.uint16) * 1000,
        "user_data": np.full(n, 300, np.uint16),  # beyond 255: an extra-bytes dimension
    }
    with pytest.warns(UserWarning, match=r"'user_data' goes to the extra-bytes dimension pcd_user_data.*300"):
        las.write_las(tmp_path / "a.las", cloud_of(arrays))
    peer = laspy_read(tmp_path / "a.las")
    assert peer.point_format.id == 8  # nir
    for name, values in arrays.items():
        if name in "xyz":
            continue
        dim = "pcd_user_data" if name == "user_data" else name
        np.testing.assert_array_equal(np.asarray(peer[dim]), values.astype(np.float64), err_msg=name)
    assert not np.asarray(peer["user_data"]).any()
    back = las.read_las(tmp_path / "a.las")
    assert list(back.fields) == list(arrays)
    for name, values in arrays.items():
        if name not in "xyz":
            assert back[name].dtype == values.dtype
            np.testing.assert_array_equal(back[name], values)


@pytest.mark.parametrize("count", [33, 341])  # an FPFH descriptor; as many as LAS can describe
def test_a_field_of_many_elements_keeps_their_order(tmp_path, count):
    descriptor = np.arange(3 * count, dtype=np.float32).reshape(3, count)
    arrays = {"x": np.zeros(3), "y": np.ones(3), "z": np.zeros(3), "d": descriptor}
    las.write_las(tmp_path / "a.laz", cloud_of(arrays))
    peer = laspy_read(tmp_path / "a.laz")
    np.testing.assert_array_equal(np.asarray(peer["d_10"]), descriptor[:, 10])
    np.testing.assert_array_equal(las.read_las(tmp_path / "a.laz")["d"], descriptor)
    from vantrel import ply

    ply.write_ply(tmp_path / "a.ply", cloud_of(arrays))
    np.testing.assert_array_equal(ply.read_ply(tmp_path / "a.ply")["d"], descriptor)


@pytest.mark.parametrize("suffix", [".las", ".laz"])
def test_more_elements_than_las_can_describe_go_three_to_a_dimension(tmp_path, suffix):
    shot = np.arange(3 * 352, dtype=np.float32).reshape(3, 352)  # a SHOT descriptor
    arrays = {"x": np.zeros(3), "y": np.ones(3), "z": np.zeros(3), "shot": shot, "fpfh": shot[:, :33] + 0.5}
    with pytest.warns(UserWarning, match="its 352 elements go to 118 extra-bytes dimensions of up to 3"):
        las.write_las(tmp_path / f"a{suffix}", cloud_of(arrays))
    peer = laspy_read(tmp_path / f"a{suffix}")
    np.testing.assert_array_equal(np.asarray(peer["shot_348to350"]), shot[:, 348:351])
    np.testing.assert_array_equal(np.asarray(peer["shot_351to351"]), shot[:, 351])
    np.testing.assert_array_equal(np.asarray(peer["fpfh_10"]), arrays["fpfh"][:, 10])  # one to a dimension
    back = las.read_las(tmp_path / f"a{suffix}")
    assert [(f.name, f.count) for f in back.header.fields][3:] == [("shot", 352), ("fpfh", 33)]
    for name in ("shot", "fpfh"):
        np.testing.assert_array_equal(back[name], arrays[name])
    too_many = {"x": np.zeros(3), "y": np.ones(3), "z": np.zeros(3), "d": np.zeros((3, 1100), np.float32)}
    with pytest.raises(las.LasError, match="needs 367 extra-bytes dimensions, even with 3"), pytest.warns(UserWarning):
        las.write_las(tmp_path / "b.las", cloud_of(too_many))
    assert not (tmp_path / "b.las").exists()


# ---------------------------------------------------------------- coordinates on their grid


@given(
    st.sampled_from([1.0, 1e3, 1e5, 1e7]),
    st.sampled_from(["f4", "f8"]),
    st.sampled_from([None, 0, -2, -7]),
    st.integers(0, 2**32 - 1),
)
@settings(max_examples=60, deadline=None)
def test_no_coordinate_moves_by_more_than_half_the_chosen_step(tmp_path_factory, extent, dtype, grid, seed):
    rng = np.random.default_rng(seed)
    values = rng.uniform(-extent, extent, (50, 3)) + rng.choice([0, 4e5, -7e6])
    if grid is not None:  # values that lie on a decimal step, as a LAS file's do
        values = np.round(values / 10.0**grid) * 10.0**grid
    values = values.astype(dtype)
    path = tmp_path_factory.mktemp("grid") / "a.las"
    las.write_las(path, cloud_of({axis: values[:, k] for k, axis in enumerate("xyz")}))
    peer = laspy_read(path)
    for k, axis in enumerate("xyz"):
        step = peer.header.scales[k]
        moved = np.abs(np.asarray(peer[axis]) - values[:, k].astype(np.float64)).max()
        assert moved <= step / 2 * (1 + 1e-6) + np.spacing(np.abs(values[:, k]).max().astype(np.float64)), axis
        span = values[:, k].max() - np.floor(values[:, k].min())
        if grid is not None and dtype == "f8" and span / 10.0**grid <= 2**31 - 1:
            assert step <= 10.0**grid  # never coarser than the grid the values lie on


# ---------------------------------------------------------------- hostile and damaged files


def las_bytes(n=1000):
    arrays = {"x": np.arange(n) * 0.01, "y": np.zeros(n), "z": np.zeros(n), "t": np.arange(n, dtype=np.float64)}
    out = io.BytesIO()
    las.write_las(out, cloud_of(arrays))
    return out.getvalue()


def test_a_file_cut_at_a_record_reads_what_is_there_and_convert_exits_1(tmp_path):
    data = las_bytes()
    peer = laspy.read(io.BytesIO(data))
    record = peer.header.point_format.size
    start = peer.header.offset_to_point_data
    (tmp_path / "cut.las").write_bytes(data[: start + 500 * record])
    with pytest.warns(vantrel.DataWarning, match=r"cut.las: LAS data ends early: 500 of the 1,000 points"):
        assert len(las.read_las(tmp_path / "cut.las")) == 500
    for target in ("a.pcd", "a.ply", "a.laz"):
        run = subprocess.run(
            [sys.executable, "-m", "vantrel", "convert", tmp_path / "cut.las", tmp_path / target],
            capture_output=True,
            text=True,
        )
        assert run.returncode == 1 and "500 of the 1,000 points" in run.stderr and "Traceback" not in run.stderr
        assert not (tmp_path / target).exists()


@pytest.mark.parametrize("chunks_held", [4.5, 3], ids=["mid-chunk", "at-a-chunk"])
def test_a_file_cut_short_by_another_process_during_the_read_ends_it_with_the_warning(
    tmp_path, monkeypatch, chunks_held
):
    """The file is cut, in the middle of a record, after its first chunk was read: the read ends
    there with the DataWarning and keeps the whole records before the cut, nothing past them."""
    from vantrel import _chunks, _las_read

    data = las_bytes()
    peer = laspy.read(io.BytesIO(data))
    record, start = peer.header.point_format.size, peer.header.offset_to_point_data
    monkeypatch.setattr(_chunks, "CHUNK_BYTES", 100 * record)
    path = tmp_path / "a.las"
    path.write_bytes(data)
    real, kept = _las_read._read_reused, []

    def cut_after_the_first(source, header, n):
        chunks = real(source, header, n)
        first = next(chunks)
        kept.append(int(chunks_held * len(first)))
        yield first
        os.truncate(source, start + kept[0] * record + record // 2)
        yield from chunks

    monkeypatch.setattr(_las_read, "_read_reused", cut_after_the_first)
    with pytest.warns(vantrel.DataWarning, match=r"LAS data ends early: \d+ of the 1,000 points") as caught:
        cloud = las.read_las(path)
    assert f"{kept[0]} of the 1,000" in str(caught[0].message)
    np.testing.assert_array_equal(cloud["t"], np.arange(kept[0], dtype=np.float64))


@pytest.mark.parametrize(
    ("at", "value", "words"),
    [
        (131, 0.0, "x's scale 0.0"),
        (139, float("nan"), "y's scale nan"),
        (147, float("inf"), "z's scale inf"),
        (155, float("nan"), "offset nan"),
    ],
)
def test_bogus_scales_and_offsets_are_a_las_error(tmp_path, at, value, words):
    data = bytearray(las_bytes(10))
    struct.pack_into("<d", data, at, value)
    (tmp_path / "a.las").write_bytes(bytes(data))
    with pytest.raises(las.LasError, match=words):
        las.read_las(tmp_path / "a.las")


def test_an_extent_las_cannot_hold_is_refused(tmp_path):
    arrays = {"x": np.array([-1.7e308, 1.7e308]), "y": np.zeros(2), "z": np.zeros(2)}
    with pytest.raises(las.LasError, match="beyond what LAS's integers can hold"):
        las.write_las(tmp_path / "a.las", cloud_of(arrays))
    assert not list(tmp_path.iterdir())


RECORD_ENTRY = st.fixed_dictionaries(
    {
        "name": st.sampled_from(["x", "y", "z", "t", "i", ""]),
        "type": st.sampled_from(["F", "U", "I", "Q", 4]),
        "size": st.sampled_from([1, 2, 4, 8, 3, -1, 10**9]),
        "count": st.sampled_from([1, 2, 3, 0, -1, 10**9, True, "1"]),
        "kind": st.sampled_from(["x", "y", "z", "extra", "rgb", "standard", "intensity", "nope"]),
        "dims": st.lists(
            st.sampled_from(["X", "Y", "Z", "t", "intensity", "red", "green", "blue", "nope"]), max_size=4
        ),
    }
)


@given(st.one_of(st.lists(RECORD_ENTRY, max_size=5), st.just({"a": 1}), st.just("[[[")))
@settings(max_examples=150, deadline=None)
def test_a_forged_record_of_fields_gives_a_plain_reading_or_the_fields_never_a_crash(tmp_path_factory, record):
    header = laspy.LasHeader(point_format=6, version="1.4")
    header.add_extra_dims([laspy.ExtraBytesParams("t", np.float64)])
    header.scales, header.offsets = [0.01] * 3, [0, 0, 0]
    data = record if isinstance(record, str) else json.dumps(record)
    header.vlrs.append(laspy.VLR("vantrel", 1, "PCD fields", data.encode()))
    points = laspy.LasData(header)
    points.x, points.y, points.z = np.array([1.0, 2.0]), np.array([3.0, 4.0]), np.array([5.0, 6.0])
    points["t"] = np.array([7.0, 8.0])
    path = tmp_path_factory.mktemp("forged") / "a.las"
    points.write(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cloud = las.read_las(path)
    assert len(cloud) == 2 and cloud.records.nbytes < 10_000
    plain = any("does not agree with its dimensions" in str(w.message) for w in caught)
    if plain:
        assert list(cloud.fields)[:3] == ["x", "y", "z"] and "t" in cloud.fields
    np.testing.assert_array_equal(cloud["x"], [1.0, 2.0])


# ---------------------------------------------------------------- the CRS


@pytest.mark.parametrize("suffix", [".las", ".laz"])
def test_standard_dimensions_another_tool_set_in_our_file_are_read(tmp_path, monkeypatch, suffix):
    """A file vantrel wrote leaves the slots it had no field for 0, and its record names only its
    fields; another tool that sets a slot since (a classification, a flag, times) keeps our record:
    the slots it set are read, from whichever chunk first holds a value, the others still left
    out, whole and in chunks."""
    from vantrel import _chunks

    monkeypatch.setattr(_chunks, "CHUNK_BYTES", 40 * 128)  # a hundred-odd points a chunk
    n = 3000
    arrays = {"x": np.arange(n) * 0.01, "y": np.zeros(n), "z": np.ones(n), "intensity": np.arange(n, dtype=np.uint16)}
    ours = tmp_path / f"ours{suffix}"
    las.write_las(ours, cloud_of(arrays))
    edited = laspy.read(ours)
    edited.classification = (np.arange(n) % 7 == 6).astype(np.uint8) * 2  # ground, here and there
    edited.gps_time = np.where(np.arange(n) == n - 1, 123.5, 0.0)  # set at the last point only
    edited.synthetic = np.arange(n) >= n // 2  # a bit field, from the middle on
    edited.write(tmp_path / f"edited{suffix}")
    whole = las.read_las(tmp_path / f"edited{suffix}")
    vantrel.convert(tmp_path / f"edited{suffix}", tmp_path / "edited.pcd")
    chunked = vantrel.read_pcd(tmp_path / "edited.pcd")
    for cloud in (whole, chunked):
        assert list(cloud.fields) == ["x", "y", "z", "intensity", "synthetic", "classification", "gps_time"]
        for name in ("synthetic", "classification", "gps_time", "x", "intensity"):
            np.testing.assert_array_equal(cloud[name], np.asarray(edited[name]), err_msg=name)
    assert list(las.read_las(ours).fields) == list(arrays)  # as written: nothing added


def test_a_laz_file_compressed_far_below_its_records_size_is_read_whole(tmp_path):
    """LAZ holds a ramp of points in a few bytes each: the read grows its rows past what the
    file's size suggested, keeping those read."""
    n = 100_000
    records = np.zeros(n, [("x", "f8"), ("y", "f8"), ("z", "f8")])
    records["x"] = np.arange(n) * 0.01
    las.write_las(tmp_path / "ramp.laz", vantrel.PointCloud.from_records(records))
    assert (tmp_path / "ramp.laz").stat().st_size * 100 < n * 30
    np.testing.assert_array_equal(las.read_las(tmp_path / "ramp.laz")["x"], records["x"])


pyproj = pytest.importorskip("pyproj")


@pytest.mark.parametrize(
    "name",
    [
        "PDAL__test_data_las_epsg_4326.las",
        "PDAL__test_data_autzen_autzen-utm.las",
        "PDAL__test_data_autzen_autzen-bmx-2010.las",
    ],
)
def test_the_crs_stays_with_the_coordinates_through_pcd(tmp_path, capsys, name):
    want = laspy_read(FILES / name).header.parse_crs()
    assert convert(FILES / name, tmp_path / "a.pcd", capsys)[0] == 0
    assert pyproj.CRS.from_wkt((tmp_path / "a.prj").read_text()) == want  # the sidecar GIS tools read
    assert convert(tmp_path / "a.pcd", tmp_path / "b.pcd", capsys)[0] == 0  # PCD to PCD: the sidecar too
    assert convert(tmp_path / "b.pcd", tmp_path / "c.laz", capsys)[0] == 0
    assert laspy_read(tmp_path / "c.laz").header.parse_crs() == want
    status, stderr = convert(FILES / name, tmp_path / "d.ply", capsys)
    assert status == 0 and "PLY has no place for a CRS" in stderr


def test_a_crs_is_set_or_overridden_by_epsg_code_or_wkt(tmp_path, capsys):
    from vantrel import cli

    arrays = {"x": np.array([500000.0, 500010.0]), "y": np.array([4e6, 4e6 + 5]), "z": np.zeros(2)}
    las.write_las(tmp_path / "a.las", cloud_of(arrays), crs=32633)
    assert laspy_read(tmp_path / "a.las").header.parse_crs().to_epsg() == 32633
    vantrel.write_pcd(tmp_path / "a.pcd", arrays)
    assert cli.main(["convert", str(tmp_path / "a.pcd"), str(tmp_path / "b.las"), "--crs", "EPSG:25832"]) == 0
    assert laspy_read(tmp_path / "b.las").header.parse_crs().to_epsg() == 25832
    assert cli.main(["convert", str(tmp_path / "b.las"), str(tmp_path / "c.las"), "--crs", "4326"]) == 0
    assert laspy_read(tmp_path / "c.las").header.parse_crs().to_epsg() == 4326
    (tmp_path / "a.prj").write_text("not a CRS")
    capsys.readouterr()
    assert cli.main(["convert", str(tmp_path / "a.pcd"), str(tmp_path / "d.las")]) == 1
    assert "a.prj" in capsys.readouterr().err and not (tmp_path / "d.las").exists()
