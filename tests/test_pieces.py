"""Writing in pieces (open_pcd_writer), and streaming conversion."""

import io
import os
import threading

import numpy as np
import pytest

import vantrel

ENCODINGS = ["ascii", "binary", "binary_compressed"]
N = 1000
RNG = np.random.default_rng(4)
POINTS = RNG.standard_normal((N, 3)).astype(np.float32)
FIELDS = {"i": RNG.integers(0, 2**16, N).astype(np.uint16), "n": RNG.standard_normal((N, 3))}


def whole(encoding, **kwargs):
    out = io.BytesIO()
    vantrel.write_pcd(out, FIELDS, points=POINTS, data=encoding, **kwargs)
    return out.getvalue()


def pieces(writer, size):
    for a in range(0, N, size):
        writer.write({name: values[a : a + size] for name, values in FIELDS.items()}, points=POINTS[a : a + size])


class Pipe:
    """The write end of a pipe, drained by a thread: a target that cannot seek."""

    def __init__(self):
        read, write = os.pipe()
        self.file = open(write, "wb")
        self.data = bytearray()
        self.reader = threading.Thread(target=self.drain, args=(read,), daemon=True)
        self.reader.start()

    def drain(self, fd):
        with open(fd, "rb") as f:
            self.data.extend(f.read())

    def finish(self):
        self.file.close()
        self.reader.join()
        return bytes(self.data)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("size", [1, 97, N, 5000])
@pytest.mark.parametrize(
    "target, total",
    [("path", N), ("bytesio", N), ("pipe", N), ("path", None), ("bytesio", None)],
    ids=["path", "bytesio", "pipe", "path-points-unknown", "bytesio-points-unknown"],
)
def test_pieces_make_the_file_write_pcd_makes(tmp_path, encoding, size, target, total):
    sink = {"path": lambda: tmp_path / "p.pcd", "bytesio": io.BytesIO, "pipe": Pipe}[target]()
    with vantrel.open_pcd_writer(getattr(sink, "file", sink), data=encoding, points=total) as writer:
        pieces(writer, size)
        assert writer.written == N
    data = sink.read_bytes() if target == "path" else sink.getvalue() if target == "bytesio" else sink.finish()
    if total is not None or encoding == "binary_compressed":
        assert data == whole(encoding)
        return
    cloud = vantrel.read_pcd(io.BytesIO(data))  # only the room kept for the counts differs
    assert cloud.header.points == cloud.header.width == N and cloud.points.tobytes() == POINTS.tobytes()
    for name, values in FIELDS.items():
        assert cloud.fields[name].tobytes() == values.tobytes()


def test_grid_and_viewpoint_are_the_writers(tmp_path):
    cloud = vantrel.read_pcd(io.BytesIO(whole("binary")))
    path = tmp_path / "g.pcd"
    with vantrel.open_pcd_writer(path, data="binary", height=10, viewpoint=(1, 2, 3, 1, 0, 0, 0)) as writer:
        writer.write(cloud)  # its own grid and viewpoint are ignored
    h = vantrel.read_pcd_header(path)
    assert (h.width, h.height, h.viewpoint) == (100, 10, (1, 2, 3, 1, 0, 0, 0))
    assert vantrel.read_pcd(path).fields["i"].tobytes() == FIELDS["i"].tobytes()


@pytest.mark.parametrize(
    "piece, match",
    [
        ({"i": FIELDS["i"][:5].astype(np.int32), "n": FIELDS["n"][:5]}, "field 3 of this piece is 'i' \\(I4\\)"),
        ({"n": FIELDS["n"][:5], "i": FIELDS["i"][:5]}, "field 3 of this piece is 'n'"),
        (
            {"j": FIELDS["i"][:5], "n": FIELDS["n"][:5]},
            "field 3 of this piece is 'j' \\(U2\\), where the first piece has 'i'",
        ),
        (
            {"i": FIELDS["i"][:5], "n": FIELDS["n"][:5, :2]},
            "'n' \\(F8 x 2\\), where the first piece has 'n' \\(F8 x 3\\)",
        ),
        ({"i": FIELDS["i"][:5]}, "this piece has 4 fields and the first 5: field 'n' \\(F8 x 3\\) is missing"),
    ],
    ids=["dtype", "order", "name", "count", "missing"],
)
def test_a_piece_that_differs_is_refused_and_the_writer_goes_on(piece, match):
    out = io.BytesIO()
    with vantrel.open_pcd_writer(out, data="binary", points=10) as writer:
        writer.write({"i": FIELDS["i"][:5], "n": FIELDS["n"][:5]}, points=POINTS[:5])
        size = len(out.getvalue())
        with pytest.raises(ValueError, match=match):
            writer.write(piece, points=POINTS[:5])
        assert len(out.getvalue()) == size  # nothing of it was written
        writer.write({"i": FIELDS["i"][5:10], "n": FIELDS["n"][5:10]}, points=POINTS[5:10])
    assert len(vantrel.read_pcd(io.BytesIO(out.getvalue()))) == 10


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"points": -1}, ValueError, "the number of points cannot be negative"),
        ({"points": 10, "width": 3}, ValueError, r"width x height \(3 x 1\) must equal the number of points \(10\)"),
        ({"height": -2}, ValueError, "height must be between 0 and 2147483647"),
        ({"points": 1.5}, TypeError, "points must be an integer"),
        ({"data": "lzf"}, ValueError, "data must be 'ascii', 'binary' or 'binary_compressed'"),
        ({"viewpoint": (1, 2)}, ValueError, "viewpoint must be 7 finite numbers"),
    ],
    ids=["negative", "grid", "height", "float", "data", "viewpoint"],
)
def test_bad_options_are_refused_at_open(tmp_path, kwargs, error, match):
    with pytest.raises(error, match=match):
        vantrel.open_pcd_writer(tmp_path / "x.pcd", **kwargs)
    assert os.listdir(tmp_path) == []


def test_a_target_that_cannot_seek_needs_points():
    pipe = Pipe()
    with pytest.raises(ValueError, match="needs points= for a target that cannot seek"):
        vantrel.open_pcd_writer(pipe.file, data="binary")
    assert pipe.finish() == b""


@pytest.mark.parametrize(
    "finish, match",
    [
        ("raise", None),
        ("drop", None),
        ("short", "the writer was opened for 1000 points and given 97; the file was left as it was"),
        ("grid", r"width x height \(7 x 1\) must equal the number of points \(97\)"),
        ("empty", "no piece was written"),
    ],
)
def test_nothing_partial_is_left_at_a_path(tmp_path, finish, match):
    path = tmp_path / "old.pcd"
    path.write_bytes(b"old content")
    kwargs = {"points": N} if finish == "short" else {"width": 7} if finish == "grid" else {}
    writer = vantrel.open_pcd_writer(path, data="binary", **kwargs)
    if finish != "empty":
        writer.write({"i": FIELDS["i"][:97]})
    if finish == "raise":
        with pytest.raises(KeyError), writer:
            raise KeyError("while writing")
    elif finish == "drop":
        del writer
    else:
        with pytest.raises(ValueError, match=match):
            writer.close()
    assert path.read_bytes() == b"old content" and os.listdir(tmp_path) == ["old.pcd"]


def test_a_file_object_keeps_what_was_written_and_is_told_so():
    out = io.BytesIO()
    writer = vantrel.open_pcd_writer(out, data="binary", points=10)
    writer.write({"v": np.arange(4.0)})
    with pytest.raises(ValueError, match="holds the 4 points written, under a header that claims 10"):
        writer.close()
    with pytest.raises(ValueError, match="^I/O operation on closed file.$"):
        writer.write({"v": np.arange(4.0)})


def test_streaming_conversion_holds_one_chunk(tmp_path):
    source, target = tmp_path / "a.pcd", tmp_path / "b.pcd"
    vantrel.write_pcd(source, FIELDS, points=POINTS, data="ascii")
    with (
        vantrel.open_pcd(source) as reader,
        vantrel.open_pcd_writer(target, data="binary", points=reader.header.points) as writer,
    ):
        for chunk in reader.chunks(300):
            writer.write(chunk)
    assert target.read_bytes() == whole("binary")


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("kind", ["header", "cloud", "dtype", "array"])
def test_like_gives_an_empty_output_its_fields_and_holds_later_pieces_to_them(tmp_path, encoding, kind):
    vantrel.write_pcd(tmp_path / "a.pcd", FIELDS, points=POINTS, data="binary")
    cloud = vantrel.read_pcd(tmp_path / "a.pcd")
    like = {"header": cloud.header, "cloud": cloud, "dtype": cloud.records.dtype, "array": cloud.records}[kind]
    with vantrel.open_pcd_writer(tmp_path / "none.pcd", data=encoding, like=like):
        pass
    assert vantrel.read_pcd_header(tmp_path / "none.pcd").fields == cloud.header.fields
    with vantrel.open_pcd_writer(tmp_path / "all.pcd", data=encoding, points=N, like=like) as writer:
        pieces(writer, 300)
    assert (tmp_path / "all.pcd").read_bytes() == whole(encoding)
    with pytest.raises(ValueError, match="field"), vantrel.open_pcd_writer(tmp_path / "b.pcd", like=like) as writer:
        writer.write({"i": FIELDS["i"]}, points=POINTS)  # not like's fields: refused, and no file
    assert not (tmp_path / "b.pcd").exists()


def test_a_like_that_is_no_layout_is_refused_before_the_target_is_made(tmp_path):
    with pytest.raises(TypeError):
        vantrel.open_pcd_writer(tmp_path / "a.pcd", like="no dtype at all")
    assert not list(tmp_path.iterdir())
