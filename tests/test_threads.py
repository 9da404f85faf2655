"""Loads from several threads at once give what loads one after another give."""

from concurrent.futures import ThreadPoolExecutor

import vantrel
from conftest import FIXTURES
from pcdfile import block, header


def outcome(path):
    try:
        points, fields = vantrel.load_pcd(path)
    except Exception as e:  # failures must match too
        return (type(e), str(e))
    return (points.tobytes(), points.dtype, {k: (v.tobytes(), v.dtype, v.shape) for k, v in fields.items()})


def test_concurrent_loads_match_sequential(pcd):
    paths = sorted(str(p) for p in FIXTURES.glob("*.pcd"))
    paths += [
        pcd(header(data="foo"), name="bad-data.pcd"),
        pcd(header(points=2, data="binary_compressed"), block(b"\x20\x00", 24), name="bad-lzf.pcd"),
        pcd(header("x y"), name="no-z.pcd"),
        "/no/such/file.pcd",
    ]
    work = paths * 8
    expected = [outcome(p) for p in work]
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(outcome, work))
    assert got == expected
    assert sum(isinstance(e[0], bytes) for e in expected) == 8 * len(list(FIXTURES.glob("*.pcd")))
