import json
import pathlib

import pytest

FIXTURES = pathlib.Path(__file__).parent / "data" / "written"


@pytest.fixture
def pcd(tmp_path):
    """pcd(header_bytes, body=b"", name="t.pcd") writes a file and returns its path."""
    import pcdfile

    def make(head, body=b"", name="t.pcd"):
        return pcdfile.write(tmp_path / name, head, body)

    return make


def fixture_manifest():
    return json.loads((FIXTURES / "manifest.json").read_text())
