import contextlib
import json
import pathlib
import re

import pytest

import vantrel

FIXTURES = pathlib.Path(__file__).parent / "data" / "written"


@pytest.fixture
def pcd(tmp_path):
    """pcd(header_bytes, body=b"", name="t.pcd") writes a file and returns its path."""
    import pcdfile

    def make(head, body=b"", name="t.pcd"):
        return pcdfile.write(tmp_path / name, head, body)

    return make


@contextlib.contextmanager
def expect_data_warning(text):
    """Expects one DataWarning containing `text`, or (for None) none at all: the strict
    warning filter turns any other warning into a failure."""
    if text is None:
        yield
        return
    with pytest.warns(vantrel.DataWarning, match=re.escape(text)) as record:
        yield
    assert len(record) == 1, [str(w.message) for w in record]


@pytest.fixture
def load(pcd):
    """load(header_bytes, body=b"", warns=None) writes a file and returns what load_pcd gives for it,
    expecting one DataWarning that contains `warns` (or none)."""

    def run(head, body=b"", warns=None):
        path = pcd(head, body)
        with expect_data_warning(warns):
            return vantrel.load_pcd(path)

    return run


def fixture_manifest():
    return json.loads((FIXTURES / "manifest.json").read_text())
