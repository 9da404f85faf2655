"""pandas DataFrames and structured arrays: to_pandas, and frames written as the fields they were."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES


def cloud_with_counts():
    out = io.BytesIO()
    vantrel.write_pcd(
        out, {"n": np.arange(6.0).reshape(3, 2), "i": np.arange(3, dtype=np.int8)}, points=np.ones((3, 3), np.float32)
    )
    return vantrel.read_pcd(io.BytesIO(out.getvalue()))


def test_to_pandas_and_back():
    cloud = cloud_with_counts()
    frame = cloud.to_pandas()
    assert list(frame.columns) == ["x", "y", "z", "n_0", "n_1", "i"]
    assert frame["n_1"].tolist() == [1, 3, 5] and frame["i"].dtype == np.int8
    out = io.BytesIO()
    vantrel.write_pcd(out, frame.set_index("i", drop=False), data="binary")  # the index is not written
    again = vantrel.read_pcd(io.BytesIO(out.getvalue()))
    assert list(again.fields) == ["x", "y", "z", "n", "i"]  # the columns of n are its COUNT again
    assert again.fields["n"].tolist() == cloud.fields["n"].tolist()
    out = io.BytesIO()
    vantrel.write_pcd(out, cloud.records)  # a structured array: a subarray field is a COUNT
    assert vantrel.read_pcd(io.BytesIO(out.getvalue())).fields["n"].tolist() == cloud.fields["n"].tolist()


def test_padding_is_left_out_and_repeated_names_are_refused(pcd):
    padded = vantrel.read_pcd(
        pcd("FIELDS x _ y\nSIZE 4 1 4\nTYPE F U F\nCOUNT 1 4 1\nPOINTS 1\nDATA binary\n", b"\1" * 12)
    )
    assert list(padded.to_pandas().columns) == ["x", "y"]
    twice = vantrel.read_pcd(pcd("FIELDS a b a\nPOINTS 1\nDATA binary\n", b"\1" * 12))
    with pytest.raises(ValueError, match="two fields named 'a'"):
        twice.to_pandas()


@pytest.mark.parametrize("dtype", ["object", "bool", "category", "Int64", "string"])
def test_a_frame_column_of_no_number_is_refused_naming_it(tmp_path, dtype):
    import pandas as pd

    frame = pd.DataFrame({"x": np.zeros(2, np.float32), "label": pd.Series([1, 0], dtype=dtype)})
    with pytest.raises(TypeError, match=f"column 'label' has dtype {dtype}"):
        vantrel.write_pcd(tmp_path / "f.pcd", frame)
    assert os.listdir(tmp_path) == []


def test_pandas_is_named_when_missing():
    code = (
        "import sys, vantrel, io\nsys.modules['pandas'] = None\ntry:\n    vantrel.read_pcd(sys.argv[1]).to_pandas()\n"
    )
    code += "except ImportError as e:\n    print(e)\n"
    run = subprocess.run(
        [sys.executable, "-c", code, str(FIXTURES / "xyz.binary.pcd")], capture_output=True, text=True, check=True
    )
    assert "pip install pandas" in run.stdout


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
