"""Reading in parts: open_pcd and its chunks, chosen fields, seeking, and memory-mapped binary data."""

import gc
import io
import json
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import vantrel
from conftest import FIXTURES, expect_data_warning
from pcdfile import Unseekable, block, header, lzf_compress, planes, records

ENCODINGS = ["ascii", "binary", "binary_compressed"]
N = 50
ROWS = [(i + 0.5, -i, 2 * i, (i, i + 1, i + 2), 100 + i, 1.7e9 + i) for i in range(N)]
DTYPE = [("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("n", "<f4", (3,)), ("r", "<u2"), ("t", "<f8")]
HEAD = dict(fields="x y z n r t", size="4 4 4 4 2 8", type="F F F F U F", count="1 1 1 3 1 1")


def body(encoding, rows=ROWS):
    if encoding == "binary":
        return records(DTYPE, rows)
    if encoding == "binary_compressed":
        image = planes(DTYPE, rows)
        return block(lzf_compress(image), len(image))
    text = [f"{x} {y} {z} {n[0]} {n[1]} {n[2]} {r} {t!r}" for x, y, z, n, r, t in rows]
    return "\n".join(text).encode()


def damaged(encoding):
    """A file whose data falls short, as each encoding does: cut, or an unreadable value."""
    if encoding == "binary":
        return body(encoding)[: 30 * 34 + 5], "holds 30 of 50 points"
    if encoding == "binary_compressed":
        image = planes(DTYPE, ROWS)[:-100]  # the last plane ends early
        return block(lzf_compress(image), len(image)), "image holds 37 of 50 points in full"
    text = body(encoding).replace(b"\n20.5 ", b"\n20.5 abc ", 1)
    return text, "from field y of point 20 on, the values are zero"


def make(encoding, damage):
    data, warns = damaged(encoding) if damage else (body(encoding), None)
    return header(points=N, data=encoding, **HEAD) + data, warns


def same_cloud(a, b):
    assert list(a.fields) == list(b.fields) and len(a) == len(b)
    for name in a.fields:
        assert a.fields[name].dtype == b.fields[name].dtype and a.fields[name].tobytes() == b.fields[name].tobytes()


def whole(data, warns, fields=None):
    with expect_data_warning(warns):
        return vantrel.read_pcd(io.BytesIO(data), fields=fields)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("damage", [False, True], ids=["sound", "damaged"])
@pytest.mark.parametrize("size", [1, 7, N + 3])
@pytest.mark.parametrize("fields", [None, ["x", "y", "z"], ["t", "n"]], ids=["all", "xyz", "t-n"])
def test_chunks_put_together_are_the_whole_read(encoding, damage, size, fields):
    data, warns = make(encoding, damage)
    full = whole(data, warns)
    expected = whole(data, warns, fields) if fields else full
    for name, values in expected.fields.items():  # the chosen fields are those of the full read
        assert values.tobytes() == full.fields[name].tobytes()
    with vantrel.open_pcd(io.BytesIO(data)) as reader, expect_data_warning(warns):  # once per pass
        chunks = list(reader.chunks(size, fields=fields))
        assert reader.tell() == N and len(reader.read()) == 0
    assert [len(c) for c in chunks] == [min(size, N - i) for i in range(0, N, size)]
    for name, values in expected.fields.items():
        joined = np.concatenate([c.fields[name] for c in chunks])
        assert joined.dtype == values.dtype and joined.tobytes() == values.tobytes(), name
    first = chunks[0].header
    assert (first.points, first.width, first.height) == (len(chunks[0]), len(chunks[0]), 1)
    assert [f.name for f in first.fields] == list(expected.fields)
    assert first.point_step == chunks[0].records.dtype.itemsize == expected.header.point_step
    if fields is None or {"x", "y", "z"} <= set(fields):
        assert np.concatenate([c.points for c in chunks]).tobytes() == expected.points.tobytes()


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_chosen_fields_are_those_of_the_whole_read(encoding):
    data, _ = make(encoding, False)
    every = vantrel.read_pcd(io.BytesIO(data))
    chosen = vantrel.read_pcd(io.BytesIO(data), fields=["t", "x"])
    assert list(chosen.fields) == ["x", "t"]  # header order
    assert chosen.records.dtype.names == ("x", "t") and chosen.header.point_step == 12
    assert (chosen.header.width, chosen.header.height, chosen.header.points) == (N, 1, N)
    for name in ("x", "t"):
        assert chosen.fields[name].tobytes() == every.fields[name].tobytes()
    with pytest.raises(RuntimeError, match="PCD must contain x, y, z fields"):
        _ = chosen.points


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("seekable", [True, False], ids=["seekable", "stream"])
def test_seek_and_tell(encoding, seekable):
    data, _ = make(encoding, False)
    expected = vantrel.read_pcd(io.BytesIO(data)).fields["r"]
    source = io.BytesIO(data) if seekable else io.BufferedReader(Unseekable(data))
    reader = vantrel.open_pcd(source)
    assert reader.seek(30) == 30 and reader.tell() == 30
    assert reader.read(5, fields=["r"]).fields["r"].tolist() == expected[30:35].tolist()
    with pytest.raises(ValueError, match="out of range"):
        reader.seek(N + 1)
    assert reader.tell() == 35  # kept
    if seekable:
        assert reader.seek(3) == 3 and reader.read(2).fields["r"].tolist() == expected[3:5].tolist()
    else:
        with pytest.raises(io.UnsupportedOperation, match="can only move forward"):
            reader.seek(3)
    assert reader.seek(N) == N and len(reader.read(10)) == 0
    reader.close()


def test_a_backward_seek_that_reads_again_warns_again():
    data, warns = make("ascii", True)
    reader = vantrel.open_pcd(io.BytesIO(data))
    for _ in range(2):
        with expect_data_warning(warns):
            reader.read()
        reader.seek(0)


def test_paths_are_closed_and_file_objects_left_open(tmp_path):
    data, _ = make("binary", False)
    path = tmp_path / "c.pcd"
    path.write_bytes(data + b"tail")
    with vantrel.open_pcd(path) as reader:
        assert reader.header == vantrel.read_pcd_header(path) and not reader.closed
        reader.read(10)
    assert reader.closed
    with open(path, "rb") as f:
        with vantrel.open_pcd(f) as reader:
            assert len(reader.read()) == N
        assert not f.closed and f.read() == b"tail"  # left just after what was read
    with pytest.raises(ValueError, match="^I/O operation on closed file.$"):
        reader.read()


def test_a_pipe_is_read_forward_in_chunks(tmp_path):
    data, _ = make("binary_compressed", False)
    fifo = tmp_path / "pipe.pcd"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(data))
    writer.start()
    with open(fifo, "rb") as f, vantrel.open_pcd(f) as reader:
        sizes = [len(c) for c in reader.chunks(20, fields=["x", "r"])]
        with pytest.raises(io.UnsupportedOperation):  # other planes would need the stream again
            reader.seek(0)
    writer.join()
    assert sizes == [20, 20, 10]


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: r.read(1.5), TypeError, "count must be an integer, not float"),
        (lambda r: r.chunks(0), ValueError, "size must be 1 or more"),
        (lambda r: r.chunks("3"), TypeError, "size must be an integer"),
        (lambda r: r.read(fields="x"), TypeError, "fields must be a sequence of field names"),
        (lambda r: r.read(fields=[]), ValueError, "fields must name at least one field"),
        (lambda r: r.read(fields=["x", "x"]), ValueError, "field 'x' is named twice"),
        (lambda r: r.read(fields=["x", "q"]), KeyError, "no field 'q' in this PCD; its fields are: x, y, z, n, r, t"),
        (lambda r: r.seek(-1), ValueError, "point -1 is out of range"),
        (lambda r: r.seek(None), TypeError, "point must be an integer"),
    ],
    ids=[
        "float",
        "size-0",
        "size-str",
        "fields-str",
        "fields-empty",
        "repeat",
        "unknown",
        "seek",
        "seek-none",
    ],
)
def test_bad_arguments_are_refused_before_anything_is_read(call, error, match):
    data, _ = make("ascii", False)
    reader = vantrel.open_pcd(io.BytesIO(data))
    with pytest.raises(error, match=match):
        call(reader)
    assert reader.tell() == 0


def test_open_pcd_refuses_what_read_pcd_refuses(pcd):
    path = pcd(header(data="lzma"))
    for read in (vantrel.read_pcd, vantrel.open_pcd):
        with pytest.raises(RuntimeError, match=r"^Unsupported PCD DATA type: lzma(\n|$)"):
            read(path)
    with pytest.raises(vantrel.PcdFileNotFoundError):
        vantrel.open_pcd(path + ".missing")


# ---------------------------------------------------------------- mmap


def test_mmap_views_the_file_and_writes_stay_in_memory(tmp_path):
    data, _ = make("binary", False)
    path = tmp_path / "m.pcd"
    path.write_bytes(data)
    mapped = vantrel.read_pcd(path, mmap=True)
    same_cloud(mapped, vantrel.read_pcd(path))
    mapped.fields["r"][0] = 999  # copy on write
    assert vantrel.read_pcd(path).fields["r"][0] == 100 and path.read_bytes() == data
    chosen = vantrel.read_pcd(path, mmap=True, fields=["r"])
    assert list(chosen.fields) == ["r"] and chosen.records.dtype.names == ("r",)


@pytest.mark.parametrize(
    "read",
    [
        lambda p: vantrel.load_pcd(str(p))[0],
        lambda p: vantrel.read_pcd(p).points,
        lambda p: vantrel.open_pcd(p).read().points,
        lambda p: next(vantrel.open_pcd(p).chunks(10**6)).points,
    ],
    ids=["load_pcd", "read_pcd", "open_pcd", "chunks"],
)
def test_a_short_file_read_into_memory_a_cloud_left_reads_zero_past_its_end(tmp_path, read):
    """Memory a cloud of several MB released is taken again by the next: what the file lacks reads
    as zero, not as that cloud's values."""
    n = 400_000  # 6.4 MB of records
    for name, value in (("sevens", 7), ("short", 1)):  # the same records, so the same memory
        values = np.full((n, 3), value, np.float32)
        vantrel.write_pcd(tmp_path / f"{name}.pcd", {"v": values[:, 0]}, points=values, data="binary")
    os.truncate(tmp_path / "short.pcd", os.path.getsize(tmp_path / "short.pcd") - n * 8)
    assert read(tmp_path / "sevens.pcd").max() == 7
    gc.collect()  # the cloud's memory released, its reader's too
    with expect_data_warning("the file holds 200000 of 400000 points"):
        points = read(tmp_path / "short.pcd")
    assert (points[:200_000] == 1).all() and not points[200_000:].any()


def test_mmap_of_a_short_file_reads_zero_and_warns(tmp_path):
    data, _ = make("binary", False)
    path = tmp_path / "short.pcd"
    path.write_bytes(data[: -34 * 20 - 3])
    with expect_data_warning("the file holds 29 of 50 points"):
        mapped = vantrel.read_pcd(path, mmap=True)
    assert mapped.fields["r"][29] == 129 and not mapped.fields["t"][30:].any()  # point 29 is cut inside t


@pytest.mark.parametrize(
    "source, match",
    [
        (lambda p: open(p, "rb"), "mmap=True needs a path: a file object"),
        (lambda p: p.with_suffix(".ascii"), "only DATA binary can be memory-mapped, and this file's DATA is 'ascii'"),
    ],
    ids=["file-object", "ascii"],
)
def test_mmap_where_it_cannot_be(tmp_path, source, match):
    (tmp_path / "m.pcd").write_bytes(make("binary", False)[0])
    (tmp_path / "m.ascii").write_bytes(make("ascii", False)[0])
    target = source(tmp_path / "m.pcd")
    with pytest.raises(ValueError, match=match):
        vantrel.read_pcd(target, mmap=True)
    if hasattr(target, "close"):
        target.close()


# ---------------------------------------------------------------- memory

# A child reads the file its way and reports its peak resident memory before
# and after, as the kernel counts it.
MEASURE = textwrap.dedent("""
    import json, sys
    import numpy, vantrel

    def peak():
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

    before, held = peak(), 0
    path, how = sys.argv[1], sys.argv[2]
    if how == "mmap":
        cloud = vantrel.read_pcd(path, mmap=True)
        values = [cloud.fields["v"][i].tolist() for i in (0, len(cloud) // 2, len(cloud) - 1)]
    else:
        fields = json.loads(sys.argv[3])
        with vantrel.open_pcd(path) as reader:
            for chunk in reader.chunks(int(sys.argv[4]), fields=fields):
                held = max(held, chunk.records.nbytes)
        values = None
    print(json.dumps({"grown": peak() - before, "held": held, "values": values}))
""")


def measure(*args):
    # Under AddressSanitizer, freed memory waits in a quarantine that counts as resident.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    run = subprocess.run([sys.executable, "-c", MEASURE, *map(str, args)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize(
    "encoding, fields, limit_mb",
    [("binary", None, 16), ("ascii", None, 16), ("binary_compressed", ["x"], 8 + 8)],
    ids=["binary", "ascii", "compressed-x"],
)
def test_chunks_hold_a_chunk_and_a_few_mib(tmp_path, encoding, fields, limit_mb):
    n = 2_000_000 if encoding != "ascii" else 400_000
    rng = np.random.default_rng(2)
    cloud = {name: rng.standard_normal(n).astype(np.float32) for name in ("x", "y", "z", "i")}
    path = tmp_path / f"big.{encoding}"
    vantrel.write_pcd(path, cloud, data=encoding)
    got = measure(path, "chunks", json.dumps(fields), 50_000)
    # The file's records are 16 bytes a point: 32 MB for binary, all of which a whole read holds.
    assert got["grown"] < got["held"] + limit_mb * 2**20, got


def test_mmap_of_a_30_gb_map_costs_what_a_small_one_costs(tmp_path):
    step = 16  # v as uint64, then 8 bytes that make records large
    points = 30 * 2**30 // step
    text = header("v pad", size="8 8", type="U U", points=points, data="binary")
    path = tmp_path / "sparse.pcd"
    with open(path, "wb") as f:
        f.write(text)
        for i in (0, points // 2, points - 1):  # known points at the start, middle and end; holes between
            f.seek(len(text) + i * step)
            f.write(np.array([i + 7, 0], "<u8").tobytes())
    got = measure(path, "mmap")
    assert got["values"] == [7, points // 2 + 7, points - 1 + 7]
    assert got["grown"] < 50 * 2**20, got


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_fields_that_share_bytes_read_as_the_whole_read_shows_them(pcd, encoding):
    # A writer's padding layout: the second '_' covers bytes 28 to 36, rgb's too, and comes later.
    text = (
        "FIELDS x y z _ rgb _ nx ny nz _ c _\nSIZE 4 4 4 1 4 1 4 4 4 1 4 1\nTYPE F F F U U U F F F U F U\n"
        f"COUNT 1 1 1 20 1 -20 1 1 1 8 1 8\nPOINTS 2\nDATA {encoding}\n"
    )
    values = list(range(1, 45))
    if encoding == "ascii":
        data = (" ".join(map(str, values)) + "\n" + " ".join(map(str, values))).encode()
    elif encoding == "binary":
        data = bytes(range(96))
    else:
        image = bytes(range(1, 65))  # eight planes of 2 x 4 bytes: padding has none
        data = block(lzf_compress(image), len(image))
    path = pcd(text, data)
    full = vantrel.read_pcd(path)
    for fields in (["rgb"], ["nz", "rgb"], ["x", "c"]):
        part = vantrel.read_pcd(path, fields=fields)
        for name in fields:
            assert part.fields[name].tobytes() == full.fields[name].tobytes(), (fields, name)


# ---------------------------------------------------------------- sequences of calls

BIG = 3 * 2**20 // 34 + 5  # more points than the chosen-fields window holds at once


def big(encoding, tmp_path):
    rows = [(i, -i, 2 * i, (i, 0, 1), i % 65536, i / 3) for i in range(BIG)]
    path = tmp_path / f"big.{encoding}.pcd"
    path.write_bytes(header(points=BIG, data=encoding, **HEAD) + body(encoding, rows))
    return path, vantrel.read_pcd(path)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("seekable", [True, False], ids=["seekable", "stream"])
@pytest.mark.parametrize(
    "steps",
    [
        [("read", 3, ["x"]), ("read", 5, ["r"]), ("read", BIG, ["t", "n"])],  # windows sized by an earlier read
        [("read", 1, ["r"]), ("chunks", 997, ["x", "r"])],
        [("read", 3, None), ("seek", 6), ("read", 2, ["r"]), ("seek", BIG - 4), ("read", 9, None)],
        [("seek", 1000), ("read", 10, ["t"]), ("seek", 30000), ("read", 40000, ["x"])],
    ],
    ids=["growing-reads", "read-then-chunks", "forward-seeks", "far-seeks"],
)
def test_a_sequence_of_calls_gives_slices_of_the_whole_read(tmp_path, encoding, seekable, steps):
    path, full = big(encoding, tmp_path)
    if not seekable and encoding == "binary_compressed":  # other planes would need the stream again
        steps = [step if step[0] == "seek" else (*step[:2], None) for step in steps]
    source = open(path, "rb") if seekable else io.BufferedReader(Unseekable(path.read_bytes()))
    with source, vantrel.open_pcd(source) as reader:
        at = 0
        for step in steps:
            if step[0] == "seek":
                at = reader.seek(step[1])
                continue
            n, fields = step[1], step[2]
            got = reader.read(n, fields=fields) if step[0] == "read" else list(reader.chunks(n, fields=fields))
            parts = got if isinstance(got, list) else [got]
            for name in fields or full.fields:
                joined = np.concatenate([p.fields[name] for p in parts])
                assert joined.tobytes() == full.fields[name][at : at + n if step[0] == "read" else None].tobytes()
            at = reader.tell()


def test_a_file_cut_short_while_it_is_read_warns(tmp_path):
    path, _ = big("binary", tmp_path)
    with open(path, "rb") as source, vantrel.open_pcd(source) as reader:
        reader.read(10)
        os.truncate(path, os.path.getsize(path) - 100 * 34)  # as another process might
        with expect_data_warning(f"holds {BIG - 100} of {BIG} points"):
            rest = reader.read()
    assert len(rest) == BIG - 10 and not rest.fields["r"][-100:].any()


@pytest.mark.parametrize(
    "head",
    [
        dict(fields="x y z", size="4 4 2", type="F F F", count="1 1 1"),
        dict(fields="x y z q", size="4 4 4 0", type="F F F U", count="1 1 1 1"),
        dict(fields="x y z q", size="4 4 4 3", type="F F F U", count="1 1 1 1"),
    ],
    ids=["F2", "size-0", "U3"],
)
def test_open_pcd_refuses_at_once_the_types_that_read_pcd_refuses(head):
    data = header(points=0, data="binary", **head)
    with pytest.raises(RuntimeError, match="^Unsupported PCD type/size"):
        vantrel.read_pcd(io.BytesIO(data))
    with pytest.raises(RuntimeError, match="^Unsupported PCD type/size"):
        vantrel.open_pcd(io.BytesIO(data))


@pytest.mark.parametrize("fields", [[], "x", ["x", "x"], 3], ids=["empty", "str", "repeat", "int"])
def test_read_pcd_checks_fields_before_reading_a_byte(fields):
    source = io.BufferedReader(io.BytesIO(make("binary", False)[0]))
    with pytest.raises((TypeError, ValueError)):
        vantrel.read_pcd(source, fields=fields)
    assert source.tell() == 0


def test_seeks_past_the_end_of_a_cut_file_read_zeros_not_earlier_points():
    data, warns = make("binary", True)  # holds 30 of 50 points
    full = whole(data, warns)
    with vantrel.open_pcd(io.BytesIO(data)) as reader, pytest.warns(vantrel.DataWarning, match=warns):  # each pass
        reader.seek(45)
        reader.read(2)
        reader.seek(35)  # back, and still past the end
        parts = [reader.read(3, fields=["r"]), reader.read(3, fields=["r"])]
    assert np.concatenate([p.fields["r"] for p in parts]).tolist() == full.fields["r"][35:41].tolist() == [0] * 6


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([("read", 5), ("seek", 2, os.SEEK_CUR)], 7),
        ([("seek", -3, os.SEEK_END)], 1497),
        ([("seek", 0, os.SEEK_END)], 1500),
        ([("read", 10), ("seek", -4, os.SEEK_CUR)], 6),
        ([("seek", 7)], 7),
        ([("read", 4), ("read", -1)], 1500),
        ([("read", 4), ("read", None)], 1500),
    ],
    ids=["cur", "end", "end-0", "cur-back", "set", "read-minus-1", "read-none"],
)
def test_a_reader_moves_as_a_file_does(steps, expected):
    timestamps = vantrel.read_pcd(FIXTURES / "lidar.binary.pcd").fields["timestamp"]
    with vantrel.open_pcd(FIXTURES / "lidar.binary.pcd") as reader:
        for step in steps:
            getattr(reader, step[0])(*step[1:])
        assert reader.tell() == expected
        if expected < 1500:
            assert reader.read(1).fields["timestamp"][0] == timestamps[expected]


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: r.seek(1, 3), ValueError, "whence must be os.SEEK_SET"),
        (lambda r: r.seek(-1, os.SEEK_SET), ValueError, "point -1 is out of range"),
        (lambda r: r.seek(1, os.SEEK_END), ValueError, "point 1501 is out of range"),
    ],
    ids=["whence", "before-start", "past-end"],
)
def test_seeks_out_of_range_are_refused(call, error, match):
    with vantrel.open_pcd(FIXTURES / "lidar.binary.pcd") as reader:
        with pytest.raises(error, match=match):
            call(reader)
        assert reader.tell() == 0


def test_a_reader_is_iterable_and_has_a_length():
    with vantrel.open_pcd(FIXTURES / "lidar.binary_compressed.pcd") as reader:
        assert len(reader) == 1500
        reader.seek(1000)
        assert [len(chunk) for chunk in reader] == [500]


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("hold", ["every chunk", "the last chunk", "none"])
def test_chunks_of_reused_memory_never_overwrite_a_chunk_held(tmp_path, encoding, hold):
    """Chunks of 6 MB come from the blocks the process keeps once released: a chunk still held,
    however it is held, keeps its values while later chunks are read."""
    rng = np.random.default_rng(9)
    cloud = {name: rng.standard_normal(1_200_000).astype(np.float32) for name in ("x", "y", "z", "i")}
    path = tmp_path / f"reuse.{encoding}"
    vantrel.write_pcd(path, cloud, data=encoding)
    held, copies = [], []
    with vantrel.open_pcd(path) as reader:
        for chunk in reader.chunks(400_000):
            copies.append(chunk.fields["i"].copy())
            if hold == "every chunk":
                held.append(chunk)
            elif hold == "the last chunk":
                held[:] = [chunk]
            del chunk
    assert np.concatenate(copies).tobytes() == cloud["i"].tobytes()
    for chunk, copy in zip(held, copies[-len(held) :] if held else [], strict=True):
        assert chunk.fields["i"].tobytes() == copy.tobytes()
