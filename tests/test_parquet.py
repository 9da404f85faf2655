"""Parquet both ways, and vantrel.convert's table: PCD to Parquet and back byte for byte, what
DuckDB reads of our files, other writers' files, damaged files, options and fields refused."""

import json
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantrel

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
from vantrel import _chunks, parquet  # noqa: E402

TYPES = ["f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"]


def every_type(n, seed=0):
    rng = np.random.default_rng(seed)
    dtype = [("x", "f4"), ("y", "f4"), ("z", "f8")] + [
        (f"{t}_{c}", t, (c,) if c > 1 else ()) for t in TYPES for c in (1, 3)
    ]
    records = np.zeros(n, dtype)
    raw = records.view(np.uint8).reshape(n, records.dtype.itemsize)
    raw[...] = rng.integers(0, 256, raw.shape, dtype=np.uint8)  # every bit pattern, NaN payloads included
    return records


@pytest.mark.parametrize("data", ["ascii", "binary", "binary_compressed"])
@pytest.mark.parametrize("shape", ["cloud", "organized", "empty", "chunked"])
def test_pcd_to_parquet_and_back_is_the_same_file(tmp_path, monkeypatch, data, shape):
    records = every_type(0 if shape == "empty" else 60)
    grid = {"width": 12, "height": 5, "viewpoint": [1, 2, 3, 0.5, 0.5, 0.5, 0.5]} if shape == "organized" else {}
    if shape == "chunked":  # several row groups, each a chunk
        monkeypatch.setattr(_chunks, "CHUNK_BYTES", 7 * records.dtype.itemsize)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vantrel.DataWarning)  # ascii and NaN payloads: the file is what it is
        vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(records, **grid), data=data)
    vantrel.convert(tmp_path / "a.pcd", tmp_path / "a.parquet")
    vantrel.convert(tmp_path / "a.parquet", tmp_path / "b.pcd")
    assert (tmp_path / "b.pcd").read_bytes() == (tmp_path / "a.pcd").read_bytes()
    file = pq.ParquetFile(tmp_path / "a.parquet")
    assert file.metadata.num_row_groups == (9 if shape == "chunked" else 1)
    assert file.schema_arrow.field("u2_3").type == pa.list_(pa.uint16(), 3)


def test_duckdb_reads_our_file_and_its_sums_are_numpys(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    records = every_type(1000, seed=3)
    records["f8_1"] = np.linspace(1, 1e6, 1000)
    records["i8_1"] = np.arange(1000) * 1_000_003
    vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(records), data="binary")
    vantrel.convert(tmp_path / "a.pcd", tmp_path / "a.parquet")
    sums = duckdb.sql(f"select sum(f8_1), sum(i8_1), sum(u1_1), count(*) from '{tmp_path / 'a.parquet'}'").fetchall()[0]
    assert sums == (pytest.approx(records["f8_1"].sum()), int(records["i8_1"].sum()), int(records["u1_1"].sum()), 1000)


def test_to_arrow_views_contiguous_columns_and_copies_strided_ones():
    one = np.zeros(5, [("t", "f8")])
    one["t"] = np.arange(5)
    columns = vantrel.PointCloud.from_records(one)
    table = columns.to_arrow()
    assert table.column("t").chunks[0].buffers()[1].address == columns["t"].ctypes.data
    records = every_type(5)
    cloud = vantrel.PointCloud.from_records(records)
    table = cloud.to_arrow()
    assert table.column("i4_3").to_pylist() == records["i4_3"].tolist()
    assert json.loads(table.schema.metadata[b"vantrel.pcd"])["fields"][3] == ["f4_1", "F", 4, 1]


def test_another_writers_file_gives_its_numeric_columns(tmp_path):
    table = pa.table(
        {
            "x": pa.array([1.0, 2.0], pa.float64()),
            "label": pa.array(["a", "b"]),
            "n": pa.array([[1, 2], [3, 4]], pa.list_(pa.int32(), 2)),
            "ok": pa.array([True, False]),
        }
    )
    pq.write_table(table, tmp_path / "other.parquet")
    with pytest.warns(vantrel.DataWarning, match="2 columns PCD has no type for are left out: label, ok"):
        cloud = parquet.read_parquet(tmp_path / "other.parquet")
    assert list(cloud.fields) == ["x", "n"] and cloud["n"].tolist() == [[1, 2], [3, 4]]
    pq.write_table(pa.table({"x": pa.array([1.0, None])}), tmp_path / "null.parquet")
    with pytest.raises(parquet.ParquetError, match="'x' has 1 nulls"):
        vantrel.convert(tmp_path / "null.parquet", tmp_path / "null.pcd")
    assert not (tmp_path / "null.pcd").exists()


@pytest.mark.parametrize(
    ("record", "warns", "organized"),
    [
        ({"width": 2, "height": 3, "viewpoint": [0, 0, 0, 1, 0, 0, 0], "data": "binary"}, None, True),
        ({"width": 4, "height": 3, "viewpoint": [0, 0, 0, 1, 0, 0, 0], "data": "binary"}, None, False),  # 12 != 6
        ({"width": 2, "height": 3, "viewpoint": [0, "nan", 0, 1, 0, 0, 0], "data": "binary"}, "no valid", False),
        ({"width": "many"}, "damaged", False),
        ("not json", "damaged", False),
    ],
)
def test_our_own_metadata_is_checked_against_the_file(tmp_path, record, warns, organized):
    raw = record.encode() if isinstance(record, str) else json.dumps(record).encode()
    table = pa.table({"x": np.arange(6, dtype=np.float32)}).replace_schema_metadata({b"vantrel.pcd": raw})
    pq.write_table(table, tmp_path / "m.parquet")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if warns:
            with pytest.warns(vantrel.DataWarning, match=warns):
                cloud = parquet.read_parquet(tmp_path / "m.parquet")
        else:
            cloud = parquet.read_parquet(tmp_path / "m.parquet")
    assert cloud.header.organized == organized and len(cloud) == 6


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_a_damaged_parquet_file_is_a_parquet_error_never_a_crash(tmp_path, data):
    if not (tmp_path / "good.parquet").exists():
        vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(every_type(40)), data="binary")
        vantrel.convert(tmp_path / "a.pcd", tmp_path / "good.parquet")
    good = bytearray((tmp_path / "good.parquet").read_bytes())
    if data.draw(st.booleans()):
        damaged = good[: data.draw(st.integers(0, len(good) - 1))]
    else:
        at = data.draw(st.integers(0, len(good) - 1))
        good[at] ^= 1 << data.draw(st.integers(0, 7))
        damaged = good
    (tmp_path / "bad.parquet").write_bytes(bytes(damaged))
    (tmp_path / "out.pcd").unlink(missing_ok=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vantrel.DataWarning)
            vantrel.convert(tmp_path / "bad.parquet", tmp_path / "out.pcd")
    except (parquet.ParquetError, vantrel.DataWarning):  # damaged metadata: an error, as any damage in convert
        assert not (tmp_path / "out.pcd").exists()


@pytest.mark.parametrize(
    ("target", "options", "error", "match"),
    [
        ("b.txt", {}, vantrel.ConvertError, "chosen by the extension"),
        ("b.las", {"data": "ascii"}, vantrel.ConvertError, r"data= is no option .* \(its options: scale\)"),
        ("b.ply", {"scale": 0.01}, vantrel.ConvertError, "scale= is no option"),
        ("b.parquet", {"fields": ["x", "nope"]}, vantrel.Error, "nope"),
        ("b.ply", {"fields": "x,y"}, TypeError, "not a string"),
    ],
)
def test_convert_refuses_what_it_cannot_do_and_writes_nothing(tmp_path, target, options, error, match):
    vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(every_type(4)))
    with pytest.raises(error, match=match):
        vantrel.convert(tmp_path / "a.pcd", tmp_path / target, **options)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.pcd"]


@pytest.mark.parametrize("middle", [".las", ".laz", ".ply", ".parquet", ".pcd"])
def test_every_row_of_the_table_carries_a_cloud_there_and_back(tmp_path, middle):
    pytest.importorskip({".las": "laspy", ".laz": "lazrs", ".ply": "plyfile"}.get(middle, "pyarrow"))
    records = np.zeros(50, [("x", "f8"), ("y", "f8"), ("z", "f8"), ("ring", "u2")])
    records["x"], records["y"], records["ring"] = np.arange(50) * 0.25, 7.5, np.arange(50)
    vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(records), data="binary")
    summary = vantrel.convert(tmp_path / "a.pcd", tmp_path / f"b{middle}")
    assert (summary["points_in"], summary["points_out"], summary["files"]) == (50, 50, [str(tmp_path / f"b{middle}")])
    vantrel.convert(tmp_path / f"b{middle}", tmp_path / "c.pcd", fields=["x", "y", "z", "ring"], data="binary")
    back = vantrel.read_pcd(tmp_path / "c.pcd")
    for name in ("x", "y", "z", "ring"):
        np.testing.assert_array_equal(back[name], records[name])


def test_the_crs_goes_from_a_pcd_sidecar_through_parquet_into_las(tmp_path):
    pytest.importorskip("laspy")
    pyproj = pytest.importorskip("pyproj")
    vantrel.write_pcd(tmp_path / "a.pcd", vantrel.PointCloud.from_records(every_type(3)), data="binary")
    (tmp_path / "a.prj").write_text(pyproj.CRS.from_epsg(25832).to_wkt())
    vantrel.convert(tmp_path / "a.pcd", tmp_path / "b.parquet", fields=["x", "y", "z"])
    vantrel.convert(tmp_path / "b.parquet", tmp_path / "c.las")
    from vantrel import las

    with las.open_reader(tmp_path / "c.las") as reader:
        assert reader.header.parse_crs().to_epsg() == 25832
