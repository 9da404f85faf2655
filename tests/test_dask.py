"""vantrel.dask: many files, and maps larger than one machine, as one Dask DataFrame."""

import subprocess
import sys

import numpy as np
import pytest

ENCODINGS = ["ascii", "binary", "binary_compressed"]
N = 1000
RNG = np.random.default_rng(4)
POINTS = RNG.standard_normal((N, 3)).astype(np.float32)
FIELDS = {"i": RNG.integers(0, 2**16, N).astype(np.uint16), "n": RNG.standard_normal((N, 3))}


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("dask.distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()


def test_import_vantrel_does_not_import_dask_and_vantrel_dask_names_its_extra():
    code = (
        "import sys, vantrel\n"
        "assert 'dask' not in sys.modules\n"
        "sys.modules['dask'] = None  # as if Dask were not installed\n"
        "try:\n    import vantrel.dask\nexcept ImportError as e:\n    print(e)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'vantrel[dask]'" in run.stdout


def test_read_pcds_on_a_cluster_sums_as_local_reads(tmp_path, client):
    import vantrel.dask

    for i, encoding in enumerate(ENCODINGS):
        vantrel.write_pcd(tmp_path / f"c{i}.pcd", FIELDS, points=POINTS + i, data=encoding)
    frame = vantrel.dask.read_pcds(tmp_path, fields=["x", "n", "i"])
    assert list(frame.columns) == ["x", "i", "n_0", "n_1", "n_2", "file"]
    sums = frame.drop(columns="file").sum().compute()
    assert sums["x"] == pytest.approx(sum(float((POINTS[:, 0] + i).sum()) for i in range(3)), rel=1e-5)
    assert sums["i"] == 3 * int(FIELDS["i"].sum()) and sums["n_2"] == pytest.approx(3 * FIELDS["n"][:, 2].sum())
    counts = frame.groupby("file", observed=True).size().compute()
    assert sorted(counts.index) == sorted(str(tmp_path / f"c{i}.pcd") for i in range(3))


def test_one_binary_map_split_by_chunk_points(tmp_path, client):
    import vantrel.dask

    vantrel.write_pcd(tmp_path / "map.pcd", FIELDS, points=POINTS, data="binary")
    frame = vantrel.dask.read_pcds(str(tmp_path / "map.pcd"), chunk_points=300)
    assert frame.npartitions == 4
    local = frame.compute()
    assert local["i"].to_numpy().tobytes() == FIELDS["i"].tobytes()
    assert local["z"].sum() == pytest.approx(float(POINTS[:, 2].sum()), rel=1e-5)


@pytest.mark.parametrize(
    "make, error, match",
    [
        (lambda p: str(p / "*.nope"), FileNotFoundError, r"no PCD file matches '.*\*\.nope'"),
        (lambda p: [str(p / "a.pcd"), str(p / "b.pcd")], ValueError, "b.pcd: field 'i' is .* where the first"),
    ],
    ids=["no-match", "schema"],
)
def test_read_pcds_refusals(tmp_path, make, error, match):
    import vantrel.dask

    vantrel.write_pcd(tmp_path / "a.pcd", {"i": np.arange(3, dtype=np.uint8)}, data="binary")
    vantrel.write_pcd(tmp_path / "b.pcd", {"i": np.arange(3, dtype=np.int32)}, data="binary")
    with pytest.raises(error, match=match):
        vantrel.dask.read_pcds(make(tmp_path), chunk_points=2).compute()
