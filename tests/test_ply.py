"""PLY files of other projects read as plyfile reads them, and hostile or forged files refused or
read plainly, never allocated for beyond their size."""

import json
import pathlib
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

plyfile = pytest.importorskip("plyfile")
from test_formats import cloud_of  # noqa: E402

from vantrel import ply  # noqa: E402

FILES = pathlib.Path(__file__).parent / "data" / "ply"


def plyfile_read(path):
    try:
        return plyfile.PlyData.read(path)
    except Exception:
        return None


@pytest.mark.parametrize("name", sorted(p.name for p in FILES.glob("*.ply")))
def test_other_projects_files_give_every_vertex_property_plyfile_gives(name):
    peer = plyfile_read(FILES / name)
    if peer is None:
        with pytest.raises(ply.PlyError, match=name):
            ply.read_ply(FILES / name)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # faces and lists left out, as each says
        cloud = ply.read_ply(FILES / name)
    vertex = peer["vertex"].data
    scalars = [n for n in vertex.dtype.names if vertex.dtype[n].kind != "O"]
    assert list(cloud.fields) == scalars
    for prop in scalars:
        np.testing.assert_array_equal(cloud[prop], vertex[prop], err_msg=prop)


@pytest.mark.parametrize(
    ("head", "body", "words"),
    [
        (
            "format binary_little_endian 1.0\nelement vertex 1000000000\nproperty float x\n",
            b"\0" * 12,
            "1,000,000,000 vertex",
        ),
        (
            "format ascii 1.0\nelement vertex 30000000\nproperty float x\nproperty float y\n",
            b"1 2\n",
            "30,000,000 vertex",
        ),
        (
            "format binary_little_endian 1.0\nelement vertex 1\nproperty float x\nelement face 99999999\n"
            "property list uchar int vertex_indices\n",
            b"\0" * 8,
            "99,999,999 face",
        ),
    ],
    ids=["binary", "ascii", "faces"],
)
def test_counts_beyond_the_file_are_refused_before_anything_is_allocated(tmp_path, head, body, words):
    (tmp_path / "a.ply").write_bytes(f"ply\n{head}end_header\n".encode() + body)
    with pytest.raises(ply.PlyError, match=words):
        ply.read_ply(tmp_path / "a.ply")


RECORD_ENTRY = st.fixed_dictionaries(
    {
        "name": st.sampled_from(["x", "n", "rgb", "", "t"]),
        "type": st.sampled_from(["F", "U", "Q"]),
        "size": st.sampled_from([1, 4, 8, 3]),
        "count": st.sampled_from([1, 2, 3, 0, 30_000_000, True, "2"]),
        "kind": st.sampled_from(["plain", "float64", "rgb", "rgba", "nope"]),
    }
)


@given(st.one_of(st.lists(RECORD_ENTRY, max_size=4), st.just({"a": 1}), st.just("[[")))
@settings(max_examples=150, deadline=None)
def test_a_forged_comment_gives_a_plain_reading_or_the_fields_never_a_crash(tmp_path_factory, record):
    arrays = {"x": np.arange(3, dtype=np.float32), "n": np.ones((3, 2), np.float32), "t": np.zeros(3)}
    path = tmp_path_factory.mktemp("forged") / "a.ply"
    ply.write_ply(path, cloud_of(arrays))
    data = path.read_bytes()
    comment = b"comment vantrel fields "
    start = data.index(comment) + len(comment)
    forged = (record if isinstance(record, str) else json.dumps(record)).encode()
    path.write_bytes(data[:start] + forged + data[data.index(b"\n", start) :])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cloud = ply.read_ply(path)
    assert len(cloud) == 3 and cloud.records.nbytes < 1000
    if any("does not agree" in str(w.message) for w in caught):
        assert list(cloud.fields) == ["x", "n_0", "n_1", "t"]
    np.testing.assert_array_equal(cloud["x"], arrays["x"])


def test_a_property_another_tool_added_is_read_too(tmp_path):
    arrays = {"x": np.arange(3, dtype=np.float32), "n": np.ones((3, 2), np.float32)}
    ply.write_ply(tmp_path / "a.ply", cloud_of(arrays))
    peer = plyfile.PlyData.read(tmp_path / "a.ply")
    vertex = peer["vertex"].data
    added = np.empty(3, vertex.dtype.descr + [("label", "u1")])
    for name in vertex.dtype.names:
        added[name] = vertex[name]
    added["label"] = [7, 8, 9]
    plyfile.PlyData([plyfile.PlyElement.describe(added, "vertex")], comments=peer.comments).write(tmp_path / "b.ply")
    cloud = ply.read_ply(tmp_path / "b.ply")
    assert list(cloud.fields) == ["x", "n", "label"]
    np.testing.assert_array_equal(cloud["label"], [7, 8, 9])
    np.testing.assert_array_equal(cloud["n"], arrays["n"])
