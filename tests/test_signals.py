"""Ctrl-C during long reads and writes: the call raises KeyboardInterrupt within a fraction of a second,
replaces nothing, leaves no temporary file, and the module (and a reader) go on working."""

import io
import os
import signal
import threading
import time

import numpy as np
import pytest

import vantrel

N = 8_000_000  # a few seconds of ascii on one thread: the signal comes long before the end
# Within 0.2 s; the sanitizer builds run every block a few times slower.
LIMIT = 1.0 if "ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ else 0.2


@pytest.fixture(scope="module")
def cloud():
    return np.random.default_rng(0).standard_normal((N, 3)).astype(np.float32)


@pytest.fixture(scope="module")
def ascii_file(tmp_path_factory, cloud):
    path = tmp_path_factory.mktemp("signals") / "big.ascii.pcd"
    vantrel.write_pcd(path, points=cloud, data="ascii")
    return path


@pytest.fixture(params=[1, 2], ids=["1-thread", "2-threads"])
def threads(request):
    before = vantrel.get_num_threads()
    vantrel.set_num_threads(request.param)
    yield request.param
    vantrel.set_num_threads(before)


class Slow(io.RawIOBase):
    """A source that gives 64 KiB per read, slowly: a network file system."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        time.sleep(0.001)
        n = min(len(buffer), 65536, len(self.data) - self.at)
        buffer[:n] = self.data[self.at : self.at + n]
        self.at += n
        return n


class Bytes(bytes):
    """Bytes that stand in for a path whose read_bytes() they are, read before the clock starts."""

    def read_bytes(self):
        return self


def interrupted(call, delay=0.05):
    """Sends SIGINT `delay` seconds into call(); returns the seconds from the signal to KeyboardInterrupt."""
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, send)
    finished = False
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)  # whatever another test installed
    timer.start()
    try:
        call()
        finished = True
        time.sleep(5)  # the call ended before the signal: it is raised here instead
    except KeyboardInterrupt:
        ended = time.monotonic()
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, handler)
    assert not finished, "the call ended before the signal came: give it more work"
    return ended - sent[0]


def still_works(tmp_path):
    path = tmp_path / "after.pcd"
    vantrel.write_pcd(path, points=np.ones((3, 3), np.float32), data="ascii")
    assert vantrel.read_pcd(path).points.sum() == 9


@pytest.mark.parametrize("data", ["ascii", "binary_compressed"])
@pytest.mark.parametrize("target", ["path", "BytesIO"])
def test_ctrl_c_stops_a_write_and_replaces_nothing(tmp_path, cloud, threads, data, target):
    points = np.tile(cloud, (4, 1)) if data == "binary_compressed" else cloud
    path = tmp_path / "map.pcd"
    path.write_bytes(b"old")
    out = path if target == "path" else io.BytesIO()
    assert interrupted(lambda: vantrel.write_pcd(out, points=points, data=data)) < LIMIT
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["map.pcd"]
    still_works(tmp_path)


@pytest.mark.parametrize(
    "read",
    [
        lambda path: vantrel.load_pcd(str(path)),
        lambda path: vantrel.read_pcd(path),
        lambda path: vantrel.read_pcd(path, fields=["y"]),
        lambda path: vantrel.read_pcd(Slow(path.read_bytes())),
    ],
    ids=["load_pcd", "read_pcd", "read_pcd-fields", "slow-source"],
)
def test_ctrl_c_stops_a_read(tmp_path, ascii_file, threads, read):
    source = ascii_file if read.__code__.co_names[-1] != "read_bytes" else Bytes(ascii_file.read_bytes())
    assert interrupted(lambda: read(source)) < LIMIT
    still_works(tmp_path)


def test_ctrl_c_stops_a_compressed_read_from_a_slow_source(tmp_path, cloud):
    out = io.BytesIO()
    vantrel.write_pcd(out, points=cloud, data="binary_compressed")
    assert interrupted(lambda: vantrel.read_pcd(Slow(out.getvalue()))) < LIMIT
    still_works(tmp_path)


@pytest.mark.parametrize("source", ["path", "slow"])
def test_a_reader_goes_on_where_it_was_after_ctrl_c(ascii_file, source):
    whole = vantrel.read_pcd(ascii_file, fields=["x"]).fields["x"][:2000]
    with vantrel.open_pcd(ascii_file if source == "path" else Slow(ascii_file.read_bytes())) as reader:
        reader.read(1000)
        if source == "path":
            assert interrupted(reader.read) < LIMIT
            assert reader.tell() == 1000
            assert reader.read(1000).fields["x"].tobytes() == whole[1000:].tobytes()
        else:  # it cannot seek back to where it was
            assert interrupted(reader.read) < LIMIT
            with pytest.raises(io.UnsupportedOperation, match="open it again"):
                reader.read(5)


def test_ctrl_c_stops_a_piece_and_the_writer(tmp_path, cloud):
    path = tmp_path / "map.pcd"
    path.write_bytes(b"old")
    with vantrel.open_pcd_writer(path, data="ascii") as writer:
        writer.write(points=cloud[:10])
        assert interrupted(lambda: writer.write(points=cloud)) < LIMIT
        with pytest.raises(ValueError, match="the writer stopped: a piece's write was interrupted"):
            writer.write(points=cloud[:10])
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["map.pcd"]


class Raises:
    """Raises KeyboardInterrupt from whatever vantrel asks of it, as Ctrl-C does at that moment."""

    def __getattr__(self, name):
        raise KeyboardInterrupt

    def __index__(self):
        raise KeyboardInterrupt

    def __float__(self):
        raise KeyboardInterrupt


class NamedByInterrupt(io.BytesIO):
    @property
    def name(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize(
    "call",
    [
        lambda: vantrel.read_pcd(NamedByInterrupt(b"")),
        lambda: vantrel.read_pcd(Raises()),
        lambda: vantrel.open_pcd(io.BytesIO(b"FIELDS x\nDATA ascii\n")).read(Raises()),
        lambda: vantrel.write_pcd(io.BytesIO(), points=np.zeros((1, 3)), viewpoint=[Raises()] * 7),
        lambda: vantrel.write_pcd(io.BytesIO(), points=np.zeros((1, 3)), width=Raises()),
    ],
    ids=["file-name", "source", "count", "viewpoint", "width"],
)
def test_an_interrupt_while_arguments_are_read_is_never_swallowed(call):
    with pytest.raises(KeyboardInterrupt):
        call()


def test_ctrl_c_stops_a_laz_conversion_and_the_thread_that_reads_ahead(tmp_path, monkeypatch):
    """A LAZ file is decompressed a chunk ahead on a thread of its own while the last chunk is
    converted: Ctrl-C then (sent as the first chunk comes) ends the conversion once the chunk
    being decompressed is done, and leaves no output and no thread behind."""
    from vantrel import _las_read, las

    n = 3_000_000
    records = np.zeros(n, [("x", "f8"), ("y", "f8"), ("z", "f8")])
    records["x"] = np.random.default_rng(1).uniform(0, 100, n)
    path = tmp_path / "big.laz"
    las.write_las(path, vantrel.PointCloud.from_records(records))
    real, sent = _las_read.ahead, []

    def interrupt_at_the_first(items):
        for item in real(items):
            if not sent:
                sent.append(time.monotonic())
                os.kill(os.getpid(), signal.SIGINT)
            yield item

    monkeypatch.setattr(_las_read, "ahead", interrupt_at_the_first)
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            vantrel.convert(path, tmp_path / "out.pcd")
    finally:
        signal.signal(signal.SIGINT, handler)
    assert time.monotonic() - sent[0] < 2.0  # a chunk's decompression at most
    assert not [t.name for t in threading.enumerate() if t.name.startswith("vantrel-ahead")]
    assert [p.name for p in tmp_path.iterdir()] == ["big.laz"]
    still_works(tmp_path)
