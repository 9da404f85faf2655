"""The voxels of downsample: the occupied voxels' sums, counts and first values, kept by the
engine's voxel table (vantrel._VoxelGrid), which adds each point to its voxel in file order. A
table that reaches its memory goes to a sorted run file and starts again; the runs are merged in
voxel order at the end. Where a table fills depends on the points alone, so the output is the same
for any chunk size."""

from __future__ import annotations

import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import vantrel
from vantrel._colors import is_packed

VOXEL_MEMORY = 200 << 20  # bytes of voxel table before its voxels go to a run file
TABLE_BYTES = 52  # a voxel's share of the table's cells and of its sort, beside its record
BLOCK = 1 << 16  # voxels drained at a time, and read from each run at most
MERGE_MEMORY = 16 << 20  # bytes of the runs' blocks in the merge (and as much again merged), however many runs
# The table starts a new run every this many points of the map, whether full or not: so that a
# block's sums depend on its points alone, and tasks on a cluster sum blocks apart to the same bits.
BLOCK_POINTS = 1 << 24


class VoxelSums:
    """What downsample keeps of a cloud's fields, voxel by voxel: x, y, z and float fields summed,
    packed rgb/rgba summed per channel, integer fields the voxel's first value. Run files go to
    a scratch folder made in `beside` at the first run (removed by close()), or to `scratch` when
    given (kept: its owner removes it)."""

    def __init__(self, header: vantrel.PcdHeader, beside: Path, scratch: Path | None = None) -> None:
        self.header = header
        self.beside = beside
        self.scratch = scratch
        self.owned = scratch is None
        self.block = BLOCK_POINTS
        self.seen = 0  # points added, to find the blocks' ends
        self.grid: Any = None
        self.plan: list[tuple[str, str]] = []  # (field, how): "float", "color" or "first"
        self.firsts: Any = None  # the dtype of the first values' records
        self.rows = 0  # values summed a point
        self.output: Any = None  # the output records' dtype and places, made once
        self.runs: list[Path] = []
        self.voxels = 0  # after blocks(): how many there were

    def add(self, chunk: vantrel.PointCloud, voxel: tuple[float, float, float]) -> int:
        """A chunk's points, each in its voxel of size `voxel`, in order; returns how many were left
        out for a coordinate that is not finite. OverflowError: a voxel index reaches 2^62."""
        import numpy as np

        records = chunk.records
        if not records.flags.c_contiguous:
            records = np.ascontiguousarray(records)  # the same layout, so the same plan
        if self.grid is None:
            self._plan(chunk, records, voxel)
        raw = records.view(np.uint8).reshape(len(records), records.dtype.itemsize)
        skipped = at = 0
        while at < len(raw):
            part = raw[at : at + self.block - self.seen % self.block]
            start, more = self.grid.add_records(part, 0)
            while start < len(part):
                self._spill()
                start, left = self.grid.add_records(part, start)
                more += left
            skipped += more
            at += len(part)
            self.seen += len(part)
            if self.seen % self.block == 0:
                self.end_block()
        return int(skipped)

    def end_block(self) -> None:
        """The table's voxels to a run, if it holds any: a block's end, or a cluster task's."""
        if self.grid is not None and len(self.grid):
            self._spill()

    def _plan(self, chunk: vantrel.PointCloud, records: Any, voxel: tuple[float, float, float]) -> None:
        """What each field keeps, and where the engine finds it in a record (its views' offsets)."""
        import numpy as np

        padding = {field.name for field in self.header.fields if field.padding}
        base = records.ctypes.data
        where: dict[str, list[tuple[int, str, int]]] = {}  # each element's (offset, TYPE, SIZE)
        for name, values in chunk.fields.items():
            if name in padding:
                continue
            color = values.ndim == 1 and is_packed(name, values.dtype.itemsize)
            self.plan.append((name, "color" if color else "float" if values.dtype.kind == "f" else "first"))
            size, offset = values.dtype.itemsize, values.ctypes.data - base
            count = int(np.prod(values.shape[1:]))
            where[name] = [(offset + k * size, values.dtype.kind.upper(), size) for k in range(count)]
        self.firsts = np.dtype(
            [(n, chunk.fields[n].dtype, chunk.fields[n].shape[1:]) for n, how in self.plan if how == "first"]
        )
        sums = [element for name, how in self.plan if how == "float" for element in where[name]]
        colors = [(where[name][0][0], 4 if name == "rgba" else 3) for name, how in self.plan if how == "color"]
        firsts = [(where[name][0][0], self.firsts[name].itemsize) for name, how in self.plan if how == "first"]
        self.rows = len(sums) + sum(channels for _, channels in colors)
        record = 8 * (4 + self.rows) + -(-self.firsts.itemsize // 8) * 8
        self.grid = vantrel._VoxelGrid(self.rows, self.firsts.itemsize, max(VOXEL_MEMORY // (record + TABLE_BYTES), 1))
        xyz = [where[axis][0] for axis in "xyz"]
        self.grid.plan(records.dtype.itemsize, xyz, voxel, sums, colors, firsts)

    def _spill(self) -> None:
        """The table's voxels, in voxel order, to a new run file; the table empty again."""
        if self.scratch is None:
            self.scratch = Path(tempfile.mkdtemp(prefix=".vantrel-downsample-", dir=self.beside))
        self.scratch.mkdir(exist_ok=True)
        path = self.scratch / f"run{len(self.runs)}"
        with open(path, "wb") as f:
            for records in self._sorted_records():
                records.tofile(f)
        self.runs.append(path)

    def close(self) -> None:
        """The run files and their folder removed."""
        if self.scratch is not None and self.owned:
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None

    def _sorted_records(self, block: int = 0) -> Iterator[Any]:
        """The table's records in voxel order, as (n, record bytes) arrays, `block` (or BLOCK) at a
        time."""
        self.grid.sort()
        while len(self.grid):
            yield self.grid.drain(block or BLOCK)

    def blocks(self) -> Iterator[vantrel.PointCloud]:
        """One point per voxel, in voxel order, as the fields to write, a block of voxels at a time."""
        assert self.grid is not None
        if self.runs:
            # The table's voxels join the merge straight from the table, as the last run.
            # A block a run, so that the merge's memory stays the same for any number of runs.
            block = min(BLOCK, max(MERGE_MEMORY // ((len(self.runs) + 1) * self.grid.record_bytes), 64))
            source = merged(self.runs, self._sorted_records(block), self.grid.record_bytes, block)
        else:
            source = ([records] for records in self._sorted_records())
        empty = True
        for parts in source:
            cloud = self._fields(parts)
            self.voxels += len(cloud)
            empty = False
            yield cloud
        if empty:  # every point had a NaN coordinate: a cloud of no points, its fields kept
            yield self._fields([self.grid.drain(0)])

    def _fields(self, parts: list[Any]) -> vantrel.PointCloud:
        """The output cloud of sorted parts of runs of drained records, a voxel in several parts
        merged (its counts and sums added in the parts' order, its first values the first part's):
        the engine writes each field's means or first values into records of the fields packed in
        their order, without the merged records themselves."""
        if self.output is None:
            self.output = self._output()
        dtype, floats, colors, firsts = self.output
        out = self.grid.means(parts, dtype.itemsize, floats, colors, firsts)
        return vantrel.PointCloud.from_records(out.view(dtype).reshape(-1))

    def _output(self) -> tuple[Any, list[Any], list[Any], list[Any]]:
        """The output records' dtype, and where each field's values go: floats (offset, TYPE,
        SIZE, sum), colors (offset, channels, first sum), firsts (offset, offset in the first
        bytes, bytes)."""
        import numpy as np

        fields = {field.name: field for field in self.header.fields}  # a repeated name: its last field
        dtype = np.dtype(
            [
                (name, self.firsts[name]) if how == "first" else (name, fields[name].dtype, shape(fields[name]))
                for name, how in self.plan
            ]
        )
        places: Any = dtype.fields  # name: (dtype, offset)
        floats: list[Any] = []
        colors: list[Any] = []
        firsts: list[Any] = []
        row = 0
        for name, how in self.plan:
            offset, size = places[name][1], fields[name].size
            if how == "float":
                floats += [(offset + k * size, "F", size, row + k) for k in range(fields[name].count)]
                row += fields[name].count
        for name, how in self.plan:
            offset = places[name][1]
            if how == "color":
                channels = 4 if name == "rgba" else 3
                colors.append((offset, channels, row))
                row += channels
            elif how == "first":
                firsts.append((offset, self.firsts.fields[name][1], self.firsts[name].itemsize))
        return dtype, floats, colors, firsts


def shape(field: vantrel.PcdField) -> tuple[int, ...]:
    return (field.count,) if field.count > 1 else ()


def merged(paths: list[Path], last: Iterator[Any], record_bytes: int, block: int) -> Iterator[list[Any]]:
    """The records of sorted runs (the files, then `last`) in voxel order, as lists of parts, one a
    run, that hold every record of the voxels they hold (for the engine to merge)."""
    import bisect
    import functools

    import numpy as np

    def key(records: Any, r: int) -> tuple[int, ...]:
        """Record r's (i, j, k), which order as the voxels do."""
        return tuple(records[r, :24].view("<i8").tolist())

    def read(path: Path) -> Iterator[Any]:
        with open(path, "rb") as f:
            while len(records := np.fromfile(f, np.uint8, block * record_bytes)):
                yield records.reshape(-1, record_bytes)

    runs = [read(path) for path in paths] + [last]
    buffers = [next(run, None) for run in runs]
    while any(b is not None for b in buffers):
        # Every voxel up to the least of the unfinished runs' last buffered keys is buffered.
        bound = min(key(b, -1) for b in buffers if b is not None)
        parts = []
        for r, b in enumerate(buffers):
            if b is None:
                continue
            # A binary search of a few keys: NumPy's of a structured key compares field by field
            # through its generic paths, a millisecond a block.
            cut = bisect.bisect_right(range(len(b)), bound, key=functools.partial(key, b))
            parts.append(b[:cut])
            buffers[r] = b[cut:] if cut < len(b) else next(runs[r], None)
        yield parts
