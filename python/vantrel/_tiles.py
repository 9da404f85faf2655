"""The tiles of tile: a map's records spooled per grid tile into a scratch folder, then written
as one PCD per tile, with Autoware's metadata."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import shutil
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any, NamedTuple

import vantrel
from vantrel._chunks import counted
from vantrel._tool_error import ToolError
from vantrel._types import Data

SPOOL_MEMORY = 96 << 20  # bytes of records held per run before they go to the spool files
# A tile's records are gathered and written this many bytes at a time, into a buffer that each
# writing thread reuses: small enough for the cache to keep it between the gather and the write.
BLOCK_BYTES = 1 << 20


class Grid(NamedTuple):
    origin: tuple[float, float]
    sizes: tuple[float, float]
    given: Any  # the size as given, for messages

    def farthest(self, part: vantrel.PointCloud) -> str:
        """How far a chunk's points lie from the origin, at most, for a message."""
        import numpy as np

        x, y = (np.asarray(part[a], np.float64) - o for a, o in zip("xy", self.origin, strict=True))
        finite = np.isfinite(x) & np.isfinite(y)
        far = max(np.abs(x[finite]).max(initial=0), np.abs(y[finite]).max(initial=0))
        return f"coordinates as large as {far:g}" + ("" if self.origin == (0, 0) else f" from the origin {self.origin}")


Tile = tuple[int, int] | None  # a tile's (ix, iy), or None for points with a NaN coordinate


def spool_name(tile: Tile) -> str:
    return "nan" if tile is None else f"{tile[0]}_{tile[1]}"


class Spool:
    """The records of each tile, held in memory up to SPOOL_MEMORY bytes in all (each chunk's
    records in tile order, a tile's side by side) and appended to the tile's file in the scratch
    folder beyond that: a map that fits is never written twice, and a larger one costs a few open
    files at a time."""

    def __init__(self, scratch: Path) -> None:
        self.scratch = scratch
        self.held: dict[Tile, list[Any]] = {}  # each tile's records in the chunks held, by chunk
        self.bytes = 0
        self.counts: dict[Tile, int] = {}
        self.spooled: set[Tile] = set()  # the tiles with a file in the scratch folder
        self.dtype: Any = None
        self.buffers = threading.local()  # each thread's block

    def add(self, records: Any, runs: Iterable[tuple[Tile, int, int]]) -> None:
        """A chunk's records (n, record bytes) in tile order, and each tile's (start, stop) in them."""
        for tile, start, stop in runs:
            self.held.setdefault(tile, []).append(records[start:stop])
            self.counts[tile] = self.counts.get(tile, 0) + stop - start
        self.bytes += records.nbytes
        if self.bytes > SPOOL_MEMORY:
            self.flush()

    def flush(self) -> None:
        """Every held tile appended to its file, on as many threads as a write may use."""

        def append(job: tuple[Tile, list[Any]]) -> None:
            with open(self.scratch / spool_name(job[0]), "ab") as f:
                f.writelines(self.pieces(job[1]))
            self.spooled.add(job[0])

        on_threads(append, self.held.items(), len(self.held))
        self.held, self.bytes = {}, 0

    def block(self) -> Any:
        """The calling thread's block: BLOCK_BYTES of records, reused by every spool file read on it."""
        if not hasattr(self.buffers, "out"):
            import numpy as np

            size = self.dtype.itemsize
            self.buffers.out = np.empty((max(BLOCK_BYTES // size, 1), size), np.uint8)
        return self.buffers.out

    def pieces(self, parts: Iterable[Any]) -> Iterable[Any]:
        """Held records of a tile, BLOCK_BYTES or fewer at a time: views, never copies, so that what
        a writer makes of a piece stays small whatever the tile's size."""
        rows = max(BLOCK_BYTES // self.dtype.itemsize, 1)
        for records in parts:
            for at in range(0, len(records), rows):
                yield records[at : at + rows]

    def blocks(self, tile: Tile) -> Iterable[Any]:
        """The tile's records, in input order, a block at a time: the spooled file's in the calling
        thread's block, then those still held. Tiles may be read from several threads at once,
        each tile by one."""
        if tile in self.spooled:
            path = self.scratch / spool_name(tile)
            yield from spooled(path, self.block())
            path.unlink()
        yield from self.pieces(self.held.pop(tile, []))


def spooled(path: Path, out: Any) -> Iterator[Any]:
    """A spool file's records, a block at a time in `out`, each overwritten by the next."""
    with open(path, "rb") as f:
        while got := f.readinto(out.data):
            if got % out.shape[1]:  # cut short by something other than this process
                raise OSError(f"{path}: a spooled record is cut short")
            yield out[: got // out.shape[1]]


def spool_tiles(parts: Iterable[vantrel.PointCloud], scratch: Path, grid: Grid) -> Spool:
    """Every chunk's records, by tile: the engine gives a copy of the chunk in tile order (input
    order within a tile, points with a coordinate that is not finite last) and each tile's run in
    it. The chunk itself is let go before the next is read, so that the reader reads into it."""
    import numpy as np

    spool = Spool(scratch)
    for part in parts:
        records = np.ascontiguousarray(part.records)
        spool.dtype = records.dtype
        size = records.dtype.itemsize
        places: Any = records.dtype.fields  # name: (dtype, offset)
        xyz = [(places[a][1], places[a][0].kind.upper(), places[a][0].itemsize) for a in "xyz"]
        try:
            tiled, runs, nan = vantrel._tile_records(
                records.view(np.uint8).reshape(-1, size), xyz, grid.origin, grid.sizes
            )
        except OverflowError:
            raise ToolError(f"size {grid.given!r} is too small for {grid.farthest(part)}") from None
        del part, records
        tiles: list[tuple[Tile, int, int]] = [((ix, iy), start, stop) for ix, iy, start, stop in runs]
        if nan:
            tiles.append((None, len(tiled) - nan, len(tiled)))
        spool.add(tiled, tiles)
        del tiled
    return spool


def write_tiles(
    spool: Spool, out: Path, prefix: str, grid: Grid, data: Data, header: vantrel.PcdHeader
) -> tuple[list[Path], list[tuple[str, float, float]]]:
    """Each tile written as a PCD under its name, the NaN points under theirs; the files in grid
    order, the NaN points' last, and each tile's (file name, x_min, y_min). Tiles are written on as
    many threads as a write may use: each file's creation and encoding is work of its own."""
    tiles, written, entries = tile_names(spool.counts, out, prefix, grid)
    jobs = counted(zip(tiles, written, strict=True), len(tiles), "writing tiles", " files")
    on_threads(lambda job: write_tile(spool, job[0], job[1], data, header.viewpoint), jobs, len(tiles))
    return written, entries


def tile_names(
    counts: Iterable[Tile], out: Path, prefix: str, grid: Grid
) -> tuple[list[Tile], list[Path], list[tuple[str, float, float]]]:
    """The tiles in grid order, the NaN points' last; each one's file; and each tile's (file name,
    x_min, y_min). Refused when two tiles would share a name."""
    tiles = sorted(counts, key=lambda k: (k is None, k or (0, 0)))
    written: list[Path] = []
    entries: list[tuple[str, float, float]] = []
    for name in tiles:
        if name is None:
            final = out / f"{prefix}nan.pcd"
        else:
            x_min, y_min = grid.origin[0] + name[0] * grid.sizes[0], grid.origin[1] + name[1] * grid.sizes[1]
            final = out / f"{prefix}{corner(x_min)}_{corner(y_min)}.pcd"
            entries.append((final.name, x_min, y_min))
        written.append(final)
    _refuse_shared_names(tiles, written, grid)
    return tiles, written, entries


def _refuse_shared_names(tiles: list[Tile], written: list[Path], grid: Grid) -> None:
    """Tiles whose corners are one number, at a size finer than the coordinates' precision there,
    refused before any is written: they would take each other's name."""
    seen: dict[Path, Tile] = {}
    for tile, path in zip(tiles, written, strict=True):
        other = seen.setdefault(path, tile)
        if other != tile and tile is not None and other is not None:
            import numpy as np

            far = max(abs(grid.origin[0] + tile[0] * grid.sizes[0]), abs(grid.origin[1] + tile[1] * grid.sizes[1]))
            raise ToolError(
                f"size {grid.given!r} is finer than the coordinates' precision: tiles {other} and {tile} would both be "
                f"{path.name} (numbers near {far:g} are {float(np.spacing(far)):g} apart)"
            )


def on_threads(work: Callable[[Any], None], jobs: Iterable[Any], count: int) -> None:
    """work(job) for each of the `count` jobs, on the calling thread and as many others as a write
    may use, up to one a job, each taking the next job as it ends one (under a lock: a generator
    will do). The first failure (Ctrl-C included) stops the rest from starting and is raised once
    every thread has ended the job it was on."""
    lock = threading.Lock()
    pending = iter(jobs)
    failures: list[BaseException] = []

    def take() -> Any:
        with lock:
            return None if failures else next(pending, None)

    def loop() -> None:
        try:
            while (job := take()) is not None:
                work(job)
        except BaseException as failure:  # raised on the calling thread, below
            with lock:
                failures.append(failure)

    helpers = [
        threading.Thread(target=loop, name="vantrel-tile", daemon=True)
        for _ in range(min(vantrel.get_num_threads(), count) - 1)
    ]
    try:
        for helper in helpers:
            helper.start()
        loop()
    except BaseException as failure:  # Ctrl-C before the loop took over: the helpers stop as well
        with lock:
            failures.append(failure)
    for helper in helpers:
        while helper.is_alive():
            try:
                helper.join()
            except BaseException as failure:  # Ctrl-C while waiting: the others end their job first
                with lock:
                    failures.append(failure)
    if failures:
        raise failures[0]


METADATA = "pointcloud_map_metadata.yaml"


def write_metadata(out: Path, grid: Grid, entries: list[tuple[str, float, float]]) -> Path:
    """pointcloud_map_metadata.yaml, by PyYAML: a name of any characters is quoted as it needs, and
    any but ASCII escaped (a raw U+0085 would be read back as a line break). libyaml's emitter,
    when PyYAML has it, writes the same text several times faster (a map of thousands of tiles)."""
    import yaml

    content: dict[str, Any] = {"x_resolution": grid.sizes[0], "y_resolution": grid.sizes[1]}
    content.update({file: [corner_value(x), corner_value(y)] for file, x, y in entries})
    meta = out / METADATA
    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    meta.write_text(yaml.dump(content, Dumper=dumper, sort_keys=False, default_flow_style=None, width=1 << 30))
    return meta


def check_outdir(out: Path, overwrite: bool) -> None:
    """OUTDIR refused, before anything is read, when it is a file or holds anything: unless
    overwrite, and then only when it holds nothing but PCD files and the metadata, so that no
    other file of anyone's is ever removed."""
    if out.exists() and not out.is_dir():
        raise ToolError(f"{out} is a file; the tiles go to a folder")
    held = sorted(p.name for p in out.iterdir()) if out.is_dir() else []
    if not held:
        return
    shown = ", ".join(held[:5]) + (f" and {len(held) - 5:,} more" if len(held) > 5 else "")
    if not overwrite:
        raise ToolError(
            f"{out} holds {len(held):,} files already ({shown}); tile writes into a new or empty folder, "
            "or replaces an earlier run's tiles with overwrite (--overwrite)"
        )
    others = [name for name in held if not ((out / name).is_file() and (name.endswith(".pcd") or name == METADATA))]
    if others:
        raise ToolError(
            f"{out} holds {', '.join(others[:5])}, which are not tiles: overwrite replaces a folder of tiles "
            "and their metadata only"
        )


@contextlib.contextmanager
def building_beside(out: Path, overwrite: bool) -> Iterator[Path]:
    """A folder beside OUTDIR to make the set in (with a scratch folder .spool in it), which takes
    OUTDIR's place when the block ends, so OUTDIR holds one run's tiles, all of them or none;
    removed, whatever it holds, when the block fails."""
    out.parent.mkdir(parents=True, exist_ok=True)
    build = out.parent / f".{out.name}.vantrel-tile-{uuid.uuid4().hex[:12]}"
    build.mkdir()  # as any new folder: the permissions OUTDIR gets when it is new
    try:
        (build / ".spool").mkdir()
        yield build
        (build / ".spool").rmdir()
        swap_in(build, out, overwrite)
    finally:
        remove(build)  # on success, the set it replaced, if any


def remove(folder: Path) -> None:
    """A folder removed with all it holds, again while a task that has not yet seen it go (on a
    cluster) puts a file in it: once it is gone, nothing makes it again."""
    for _ in range(100):
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.lexists(folder):
            return
        time.sleep(0.05)


def swap_in(build: Path, out: Path, overwrite: bool) -> None:
    """The folder of a complete set of tiles put at OUTDIR in one step: renamed there when OUTDIR
    is new or empty, exchanged with it otherwise (the earlier set is then at `build`)."""
    if out.is_dir():
        os.chmod(build, out.stat().st_mode & 0o7777)
    try:
        os.rename(build, out)
        return
    except OSError as error:
        if error.errno not in (errno.ENOTEMPTY, errno.EEXIST):
            raise
        if not overwrite:
            raise ToolError(f"{out} was given files by another run meanwhile; nothing was written there") from None
    _exchange(build, out)


def _exchange(a: Path, b: Path) -> None:
    """renameat2(RENAME_EXCHANGE): two folders swapped at once, so that b is never missing; two
    renames where the system has no such call."""
    libc = ctypes.CDLL(None, use_errno=True)
    exchange = getattr(libc, "renameat2", None)
    if exchange is not None:
        at_fdcwd, rename_exchange = -100, 2
        if exchange(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0:
            return
        code = ctypes.get_errno()
        if code not in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP):
            raise OSError(code, os.strerror(code), str(b))
    old = a.with_name(a.name + ".old")
    os.rename(b, old)
    os.rename(a, b)
    os.rename(old, a)


def write_tile(spool: Any, tile: Tile, final: Path, data: Data, viewpoint: Any) -> None:
    """A tile's records written as a PCD, a block at a time: `spool` gives their dtype, each tile's
    count and its blocks (a Spool, or a cluster's parts)."""
    import numpy as np

    names = [n for n in spool.dtype.names if n != "_"]
    with vantrel.open_pcd_writer(final, data=data, points=spool.counts[tile], viewpoint=viewpoint) as writer:
        for part in spool.blocks(tile):
            records = np.frombuffer(part, dtype=spool.dtype)
            writer.write({name: records[name] for name in names})


def corner_value(value: float) -> int | float:
    """A tile corner: an integer where the grid allows."""
    return int(value) if float(value).is_integer() else float(value)


def corner(value: float) -> str:
    """A tile corner in a file name."""
    return repr(corner_value(value))
