"""Untrusted input: size claims the file cannot back, and malformed variants of real files."""

import io
import json
import pathlib
import random
import re
import subprocess
import sys
import textwrap
import warnings

import pytest

import vantrel
from conftest import FIXTURES
from pcdfile import block, header, lzf_literal

ALLOWED = (RuntimeError, ValueError, MemoryError)  # UnicodeDecodeError is a ValueError

# Runaway work is caught by a CPU limit, not by timing: a child killed by it
# exits with SIGXCPU. A load here takes well under a second of CPU, even under
# the sanitizers; a loop over every claimed point takes far more than the limit.
CPU_SECONDS = 10

MEASURE = textwrap.dedent(f"""
    import json, resource, sys, time
    resource.setrlimit(resource.RLIMIT_CPU, ({CPU_SECONDS}, {CPU_SECONDS}))
    import numpy, vantrel
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    class Stream:  # a file object that cannot seek, like a pipe or a socket
        def __init__(self, f):
            self.readinto = f.readinto
    try:
        if sys.argv[2] == "load_pcd":
            outcome = ["ok", len(vantrel.load_pcd(sys.argv[1])[0])]
        else:
            with open(sys.argv[1], "rb") as f:
                outcome = ["ok", len(vantrel.read_pcd(Stream(f)))]
    except Exception as e:
        outcome = [type(e).__name__, str(e)]
    elapsed = time.perf_counter() - start
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(json.dumps({{"outcome": outcome, "seconds": elapsed, "rss_kb": grown}}))
""")

BIG = 2147483647
LARGE = 300_000_000  # a claim that this machine can map, so that the reader really runs


@pytest.mark.parametrize(
    "head, body, outcomes",
    [
        (header(points=BIG, data="binary"), b"\0" * 24, {"ok", "MemoryError"}),
        (header(points=BIG), "1 2 3 4 5 6\n", {"ok", "MemoryError"}),
        (header(points=BIG), "abc", {"ok", "MemoryError"}),
        (header(points=LARGE, data="binary"), b"\0" * 24, {"ok", "MemoryError"}),
        (header(points=LARGE), "1 2 3 4 5 6\n" * 100, {"ok", "MemoryError"}),
        (header(points=LARGE), "1 2 abc", {"ok", "MemoryError"}),
        # 3-byte records, so that the claim maps and the reader meets "abc" 2^31 times unless it stops.
        (header(size="1 1 1", type="I I I", points=BIG), "abc", {"ok", "MemoryError"}),
        (header(points=3, data="binary_compressed"), block(b"\0" * 16, 36, compressed=0xFFFFFFFF), {"RuntimeError"}),
        (
            header(points=400_000_000, data="binary_compressed"),
            block(lzf_literal(b"\1" * 12), 0xFFFFFFFF),
            {"RuntimeError", "MemoryError"},
        ),
        (
            header("x y z h", size="4 4 4 1", type="F F F U", count="1 1 1 2000000000", points=1),
            "1 2 3 " + "7 " * 1000,
            {"ok", "MemoryError"},
        ),
        (
            header("x y z h", size="4 4 4 0", count="1 1 1 2147483647", points=1),
            "1 2 3 4 " * 100,
            {"RuntimeError", "MemoryError"},
        ),
        (header("x y z h", size="4 4 4 4", count="1 1 1 2147483647", points=1), "1", {"RuntimeError"}),
    ],
    ids=[
        "binary-points",
        "ascii-points",
        "ascii-stuck",
        "binary-large",
        "ascii-large",
        "ascii-stuck-large",
        "ascii-stuck-small-records",
        "compressed-payload",
        "compressed-image",
        "huge-count",
        "huge-count-size-0",
        "count-beyond-32-bits",
    ],
)
@pytest.mark.parametrize("reader", ["load_pcd", "read_pcd-stream"])
def test_size_claims_cost_in_proportion_to_the_file(pcd, head, body, outcomes, reader):
    path = pcd(head, body)
    run = subprocess.run(
        [sys.executable, "-W", "ignore::vantrel.DataWarning", "-c", MEASURE, path, reader],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, (run.returncode, run.stderr)
    result = json.loads(run.stdout)
    assert result["outcome"][0] in outcomes, result
    assert result["rss_kb"] < 300 * 1024, result
    assert result["seconds"] < 10, result  # a guard against runaway work, not a speed test


def read_end_to_end(array):
    if array.nbytes <= 64 << 20:
        array.tobytes()
    elif len(array):
        array[0].tobytes(), array[-1].tobytes()


def load_arrays(data, path):
    points, fields = vantrel.load_pcd(str(path))
    assert points.ndim == 2 and points.shape[1] == 3
    return [points, *fields.values()]


def read_arrays(data, path):
    # From memory: the same engine behind another stream.
    repr(vantrel.read_pcd_header(io.BytesIO(data)))
    cloud = vantrel.read_pcd(io.BytesIO(data))
    arrays = [*cloud.fields.values(), cloud.records]
    try:
        arrays.append(cloud.points)
    except RuntimeError as e:
        assert str(e) in ("PCD must contain x, y, z fields", "Unsupported PCD type/size")
    return arrays


def check(data, tmp_path, label):
    path = tmp_path / "v.pcd"
    path.write_bytes(data)
    for read in (load_arrays, read_arrays):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", vantrel.DataWarning)  # damaged data is what these files hold
                arrays = read(data, path)
        except ALLOWED:
            continue
        except Exception as e:  # pragma: no cover - the message names the variant
            raise AssertionError(f"{label}: {read.__name__}: {type(e).__name__}: {e}") from e
        for array in arrays:
            read_end_to_end(array)


NUMBER = re.compile(rb"(?<=[ \t])-?\d+")


def variants(raw):
    head_end = raw.index(b"\nDATA") + 1
    data_start = raw.index(b"\n", head_end) + 1
    cuts = {
        0,
        1,
        head_end - 1,
        head_end,
        head_end + 3,
        data_start - 1,
        data_start,
        data_start + 1,
        data_start + 4,
        data_start + 8,
        (data_start + len(raw)) // 2,
        len(raw) - 1,
    }
    cuts |= {m.start() for m in re.finditer(rb"\n", raw[:head_end])}
    for cut in sorted(cuts):
        yield f"cut at {cut}", raw[:cut]
    for m in NUMBER.finditer(raw, 0, head_end):
        for value in (b"0", b"-1", b"2147483647", b"-2147483648", b"abc"):
            yield f"number at {m.start()} -> {value!r}", raw[: m.start()] + value + raw[m.end() :]
    data_line = raw[head_end:data_start]
    for encoding in (b"ascii", b"binary", b"binary_compressed"):
        if encoding not in data_line:
            yield f"DATA {encoding!r}", raw[:head_end] + b"DATA " + encoding + b"\n" + raw[data_start:]
    rng = random.Random(len(raw))
    for i in range(40):
        flipped = bytearray(raw)
        lo, hi = (0, head_end) if i % 2 else (data_start, len(raw))
        for _ in range(1 + i % 4):
            at = rng.randrange(lo, hi)
            flipped[at] ^= 1 << rng.randrange(8)
        yield f"bit flips {i}", bytes(flipped)


@pytest.mark.parametrize("name", sorted(p.name for p in FIXTURES.glob("*.pcd")))
def test_malformed_variants_load_or_raise(tmp_path, name):
    raw = (FIXTURES / name).read_bytes()
    count = 0
    for label, data in variants(raw):
        check(data, tmp_path, label)
        count += 1
    assert count > 60


def replay_program():
    """The fuzz target's replay build: beside the imported package (the sanitizer
    build), or else in the build tree that the install used."""
    root = FIXTURES.parent.parent.parent
    beside = pathlib.Path(vantrel.__file__).parent.parent / "fuzz_load_replay"
    if beside.exists():
        return beside
    found = sorted((root / "build").glob("cp312*/fuzz_load_replay"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


@pytest.mark.skipif(replay_program() is None, reason="no build tree with the fuzz target")
def test_fuzz_target_replays_the_regressions_and_real_files():
    root = FIXTURES.parent.parent.parent
    run = subprocess.run(
        [str(replay_program()), str(root / "fuzz" / "regressions"), str(FIXTURES)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("replayed ")


def test_a_claim_beyond_memory_gives_its_figures(pcd):
    path = pcd(
        b"FIELDS x y z h\nSIZE 4 4 4 8\nTYPE F F F F\nCOUNT 1 1 1 100\nPOINTS 2147483647\nDATA binary\n", b"\0" * 1000
    )
    claim = "the header claims 2147483647 points of 812 bytes, 1743756721364 bytes in all"
    with pytest.raises(MemoryError, match=claim + r".*the file holds 1000 bytes of data"):
        vantrel.read_pcd(path)
    with pytest.raises(MemoryError) as caught:
        vantrel.load_pcd(path)
    assert str(caught.value) == "std::bad_alloc"  # load_pcd's text stays its own; the figures are a note
    assert any(claim in note for note in caught.value.__notes__)
