"""Files written by another library's PCD writer load with exactly the values it wrote."""

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES, fixture_manifest

MANIFEST = fixture_manifest()


def written(entry, field):
    values = np.fromfile(FIXTURES / field["bin"], dtype="<" + field["dtype"])
    return values.reshape(entry["points"], field["count"]) if field["count"] > 1 else values


def text_columns(entry):
    """The ascii data section as Python floats, one column per field element."""
    text = (FIXTURES / entry["file"]).read_bytes().split(b"\nDATA ascii\n", 1)[1]
    width = sum(f["count"] for f in entry["fields"])
    return np.array([float(t) for t in text.split()], dtype=np.float64).reshape(-1, width)


@pytest.mark.parametrize("entry", MANIFEST, ids=[e["file"] for e in MANIFEST])
def test_fixture_loads_with_the_written_values(entry):
    points, fields = vantrel.load_pcd(str(FIXTURES / entry["file"]))
    ascii = entry["file"].endswith(".ascii.pcd")
    assert points.shape == (entry["points"], 3)
    names = [f["name"] for f in entry["fields"] if f["name"] not in "xyz"]
    # The writer pads binary records with fields named "_"; they are fields like any other.
    assert [name for name in fields if name != "_"] == names
    column = 0
    for field in entry["fields"]:
        expected = written(entry, field)
        actual = points[:, "xyz".index(field["name"])] if field["name"] in ("x", "y", "z") else fields[field["name"]]
        assert actual.dtype == expected.dtype and actual.shape == expected.shape
        if ascii and field["dtype"] == "f8":
            # The writer printed doubles with fewer digits than they hold: the
            # load must give exactly what the text says, and that is close.
            in_text = text_columns(entry)[:, column]
            np.testing.assert_array_equal(actual, in_text)
            np.testing.assert_allclose(actual, expected, rtol=1e-6)
        elif ascii:
            np.testing.assert_array_equal(actual, expected)
        else:
            assert actual.tobytes() == np.ascontiguousarray(expected).tobytes()
        column += field["count"]
