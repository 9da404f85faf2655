import json
import pathlib

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


@pytest.fixture
def load(pcd):
    """load(header_bytes, body=b"") writes a file and returns what load_pcd gives for it."""

    def run(head, body=b""):
        return vantrel.load_pcd(pcd(head, body))

    return run


def fixture_manifest():
    return json.loads((FIXTURES / "manifest.json").read_text())
