"""Any sequence of calls on a reader (read, chunks, seek, tell, chosen fields, close; from one thread or two)
gives slices of the whole read, and a writer given pieces of any sizes writes what write_pcd writes for the
whole. Hypothesis draws the sequences: a few hundred in the suite, many more under `make fuzz-py`."""

import io
import itertools
import os
import threading

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import vantrel
from pcdfile import Unseekable

N = 700
ENCODINGS = ["ascii", "binary", "binary_compressed"]
EXAMPLES = int(os.environ.get("VANTREL_STATEFUL_EXAMPLES", "300"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    stateful_step_count=12,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)


def cloud():
    rng = np.random.default_rng(7)
    return {
        "x": rng.standard_normal(N).astype(np.float32),
        "y": rng.standard_normal(N).astype(np.float32),
        "z": rng.standard_normal(N).astype(np.float32),
        "n": rng.standard_normal((N, 3)).astype(np.float32),
        "r": rng.integers(0, 2**16, N).astype(np.uint16),
        "t": rng.random(N),
    }


CLOUD = cloud()
NAMES = list(CLOUD)
FILES = {}
for _encoding in ENCODINGS:
    _out = io.BytesIO()
    vantrel.write_pcd(_out, CLOUD, data=_encoding)
    FILES[_encoding] = _out.getvalue()

field_sets = st.none() | st.lists(st.sampled_from(NAMES), min_size=1, max_size=3, unique=True)
counts = st.integers(0, 40) | st.integers(0, N + 5)  # mostly small: later calls start inside


class Reading(RuleBasedStateMachine):
    @initialize(encoding=st.sampled_from(ENCODINGS), seekable=st.booleans())
    def open(self, encoding, seekable):
        data = FILES[encoding]
        self.seekable = seekable
        self.planes_fixed = encoding == "binary_compressed" and not seekable  # planes cannot be decoded again
        self.reader = vantrel.open_pcd(io.BytesIO(data) if seekable else io.BufferedReader(Unseekable(data)))
        self.at = 0

    def fields(self, fields):
        return None if self.planes_fixed else fields

    def check(self, part, first, fields):
        names = fields or NAMES
        assert sorted(part.fields) == sorted(names) and len(part) == min(N, first + len(part)) - first
        for name in names:
            assert part.fields[name].tobytes() == CLOUD[name][first : first + len(part)].tobytes(), name

    @precondition(lambda self: not self.reader.closed)
    @rule(n=counts, fields=field_sets)
    def read(self, n, fields):
        fields = self.fields(fields)
        part = self.reader.read(n, fields=fields)
        assert len(part) == min(n, N - self.at)
        self.check(part, self.at, fields)
        self.at += len(part)

    @precondition(lambda self: not self.reader.closed)
    @rule(size=st.integers(1, 40) | st.integers(1, N + 5), fields=field_sets, take=st.integers(1, 3))
    def chunks(self, size, fields, take):
        fields = self.fields(fields)
        for part in itertools.islice(self.reader.chunks(size, fields=fields), take):
            self.check(part, self.at, fields)
            self.at += len(part)

    @precondition(lambda self: not self.reader.closed)
    @rule(point=st.integers(0, N))
    def seek(self, point):
        if point < self.at and not self.seekable:
            try:
                self.reader.seek(point)
            except io.UnsupportedOperation:
                return
            raise AssertionError("a stream went back")
        assert self.reader.seek(point) == point
        self.at = point

    @precondition(lambda self: not self.reader.closed)
    @rule(a=counts, b=counts, fields=field_sets)
    def read_from_two_threads(self, a, b, fields):
        fields = self.fields(fields)
        parts = [None, None]

        def read(k, n):
            parts[k] = self.reader.read(n, fields=fields)

        threads = [threading.Thread(target=read, args=(k, n)) for k, n in enumerate((a, b))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        # Reads are serialized: one came first, and each is a slice of the whole.
        first = 0 if len(parts[0]) == min(a, N - self.at) else 1
        self.check(parts[first], self.at, fields)
        self.check(parts[1 - first], self.at + len(parts[first]), fields)
        self.at += len(parts[0]) + len(parts[1])

    @invariant()
    def tells_where_it_is(self):
        if not self.reader.closed:
            assert self.reader.tell() == self.at

    @precondition(lambda self: self.at >= N // 2)  # late in a run, so that most runs go on reading
    @rule()
    def close(self):
        self.reader.close()
        try:
            self.reader.read(1)
        except ValueError:
            return
        raise AssertionError("a closed reader read")

    def teardown(self):
        self.reader.close()


def likes():
    """What a writer may take its fields from before any piece: a header, a cloud of no points, a
    structured dtype, or nothing."""
    whole = io.BytesIO()
    vantrel.write_pcd(whole, CLOUD, data="binary")
    header = vantrel.read_pcd_header(io.BytesIO(whole.getvalue()))
    dtype = np.dtype([(name, values.dtype, values.shape[1:]) for name, values in CLOUD.items()])
    return [None, header, vantrel.PointCloud.from_records(np.zeros(0, dtype)), dtype]


class Writing(RuleBasedStateMachine):
    @initialize(encoding=st.sampled_from(ENCODINGS), known=st.booleans(), like=st.sampled_from(range(4)))
    def open(self, encoding, known, like):
        self.encoding, self.known = encoding, known
        self.out = io.BytesIO()
        self.writer = vantrel.open_pcd_writer(self.out, data=encoding, points=N if known else None, like=likes()[like])
        self.at = 0
        self.groups = []  # the pieces written, each group in an order that only the file tells

    def piece(self, n):
        first, self.at = self.at, min(N, self.at + n)
        return (first, self.at), {name: values[first : self.at] for name, values in CLOUD.items()}

    @precondition(lambda self: not self.writer.closed)
    @rule(n=st.integers(0, N // 2))
    def write(self, n):
        span, piece = self.piece(n)
        self.writer.write(piece)
        self.groups.append([span] if span[1] > span[0] else [])
        assert self.writer.written == self.at

    @precondition(lambda self: not self.writer.closed)
    @rule(a=st.integers(0, N // 4), b=st.integers(0, N // 4))
    def write_from_two_threads(self, a, b):
        pieces = [self.piece(a), self.piece(b)]
        threads = [threading.Thread(target=self.writer.write, args=(piece,)) for _, piece in pieces]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.groups.append([span for span, _ in pieces if span[1] > span[0]])
        assert self.writer.written == self.at

    @precondition(lambda self: not self.writer.closed)
    @rule()
    def finish(self):
        if self.at < N:
            self.write(N - self.at)
        self.writer.close()
        got = vantrel.read_pcd(io.BytesIO(self.out.getvalue())).fields
        at = 0
        for group in self.groups:  # each piece whole, the pieces of a group in either order
            for first, end in sorted(group, key=lambda span: got["t"][at] != CLOUD["t"][span[0]]):
                for name, values in CLOUD.items():
                    assert got[name][at : at + end - first].tobytes() == values[first:end].tobytes(), name
                at += end - first
        if all(len(group) <= 1 for group in self.groups) and (self.known or self.encoding == "binary_compressed"):
            whole = io.BytesIO()
            vantrel.write_pcd(whole, CLOUD, data=self.encoding)
            assert self.out.getvalue() == whole.getvalue()  # byte for byte what one write gives

    @rule()
    def count(self):
        assert self.writer.closed or self.writer.written == self.at

    def teardown(self):
        if not self.writer.closed:
            self.writer.close() if self.at == N else self.writer.__exit__(ValueError, None, None)


TestReading = Reading.TestCase
TestReading.settings = SETTINGS
TestWriting = Writing.TestCase
TestWriting.settings = SETTINGS
