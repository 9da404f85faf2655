"""A cloud seen as a scene, for pictures and the 3D page: which way is up (found, never assumed),
the right-handed screen axes of a plan and a side view, the points read in chunks with their
extent, and points rasterised into pixels (each pixel the point nearest the viewer) or decimated
by voxel.

Right-handed means the screen's right, its up and the direction toward the viewer are a right-
handed triple: a plan of a z-up map has x to the right and y up, so nothing is ever mirrored."""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import vantrel
from vantrel._chunks import chunk_points, damage_is_an_error, point_progress

UPS = ("x", "y", "z", "-x", "-y", "-z")
SAMPLE = 200_000  # points kept to find the up axis and the color range
LIDAR = "a lidar's rings"
# ufunc.at took a fast path in NumPy 1.25: before it, a sort is many times faster.
FAST_AT = np.lib.NumpyVersion(np.__version__) >= "1.25.0"


@dataclass(frozen=True)
class Direction:
    """A signed axis: x, -y ..."""

    axis: int
    sign: int

    @classmethod
    def named(cls, name: str) -> Direction:
        if name not in UPS:
            raise ValueError(f"up must be one of {', '.join(UPS)}, not {name!r}")
        return cls("xyz".index(name[-1]), -1 if name.startswith("-") else 1)

    @property
    def name(self) -> str:
        return ("-" if self.sign < 0 else "+") + "xyz"[self.axis]

    def vector(self) -> np.ndarray:
        v = np.zeros(3)
        v[self.axis] = self.sign
        return v

    @classmethod
    def of(cls, vector: np.ndarray) -> Direction:
        axis = int(np.argmax(np.abs(vector)))
        return cls(axis, 1 if vector[axis] > 0 else -1)


@dataclass(frozen=True)
class Up:
    direction: Direction
    reason: str  # what the title says it came from


def _rotation(q: tuple[float, ...]) -> np.ndarray:
    w, x, y, z = q
    n = math.sqrt(w * w + x * x + y * y + z * z) or 1.0
    w, x, y, z = w / n, x / n, y / n, z / n
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def find_up(header: vantrel.PcdHeader, sample: np.ndarray, given: str | None = None) -> Up:
    """The up axis: as given; else from VIEWPOINT's rotation when it is not the identity (the
    world's z in the sensor's frame); else from the points: a depth camera's optical frame (an
    organized cloud all in front of it, z forward) has y down, a lidar's rings z up, and a map is
    flattest along its up axis."""
    if given is not None:
        return Up(Direction.named(given), "--up")
    q = tuple(header.viewpoint[3:])
    if any(abs(a - b) > 1e-9 for a, b in zip(q, (1.0, 0.0, 0.0, 0.0), strict=True)) and math.isfinite(sum(q)):
        return Up(Direction.of(_rotation(q).T @ np.array([0.0, 0.0, 1.0])), "VIEWPOINT")
    if header.organized and len(sample):
        x, y, z = sample[:, 0], sample[:, 1], sample[:, 2]
        ahead = z > 0
        framed = ahead & (np.abs(x) < 3 * z) & (np.abs(y) < 3 * z)
        if framed.mean() > 0.95:
            return Up(Direction(1, -1), "a depth camera's frame")
        return Up(Direction(2, 1), LIDAR)
    if len(sample) > 10:
        spread = np.percentile(sample, 98, axis=0) - np.percentile(sample, 2, axis=0)
        flattest = int(np.argmin(spread))
        if spread[flattest] < 0.5 * np.sort(spread)[1]:
            return Up(Direction(flattest, 1), "the flattest axis")
    return Up(Direction(2, 1), "z, by default")


@dataclass(frozen=True)
class View:
    """A panel's screen axes: right and up on the screen, and the depth toward the viewer, which
    decides which point a pixel shows (the nearest)."""

    title: str
    right: np.ndarray
    up: np.ndarray
    toward: np.ndarray

    def label(self, vector: np.ndarray) -> str:
        return Direction.of(vector).name.lstrip("+")


def plan(up: Direction, spans: np.ndarray) -> View:
    """From above, up toward the viewer: the first other axis to the right (x, or y when x is up),
    so a z-up plan has x to the right and y up whatever the cloud's shape."""
    u = up.vector()
    right = np.zeros(3)
    right[min(k for k in range(3) if k != up.axis)] = 1.0
    return View(f"plan, from above ({up.name} up)", right, np.cross(u, right), u)


def side(up: Direction, spans: np.ndarray) -> View:
    """From the side: the widest horizontal axis to the right, up up; it looks along up x right."""
    u = up.vector()
    right = _widest_horizontal(up, spans)
    toward = np.cross(right, u)
    return View(f"side, looking along {Direction.of(-toward).name}", right, u, toward)


def _widest_horizontal(up: Direction, spans: np.ndarray) -> np.ndarray:
    others = [k for k in range(3) if k != up.axis]
    widest = max(others, key=lambda k: (spans[k], -k))
    v = np.zeros(3)
    v[widest] = 1.0
    return v


# ---------------------------------------------------------------- reading


@dataclass
class Extent:
    low: np.ndarray
    high: np.ndarray
    sample: np.ndarray  # xyz of an even spread of points
    values: np.ndarray  # the color field's, at the same points
    points: int  # with finite x, y and z


def bounds(xyz: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The least and the greatest of each column of points (n > 0 rows): a column at a time, which
    NumPy reduces several times as fast as it reduces rows this narrow along axis 0."""
    return np.array([column.min() for column in xyz.T]), np.array([column.max() for column in xyz.T])


def read_extent(path: Path, field: str | None) -> Extent:
    """A first pass, in chunks: the extent of the finite points and a sample of them."""
    low, high = np.full(3, np.inf), np.full(3, -np.inf)
    samples, values, finite = [], [], 0
    header = vantrel.read_pcd_header(path)
    every = max(1, header.points // SAMPLE)
    for xyz, value in chunks(path, field, "reading"):
        if len(xyz):
            least, most = bounds(xyz)
            low, high = np.minimum(low, least), np.maximum(high, most)
            samples.append(xyz[::every])
            values.append(value[::every] if value is not None else np.zeros(0))
            finite += len(xyz)
    sample = np.concatenate(samples) if samples else np.zeros((0, 3))
    return Extent(low, high, sample, np.concatenate(values) if values else np.zeros(0), finite)


def chunks(path: Path, field: str | None, what: str) -> Iterator[tuple[np.ndarray, np.ndarray | None]]:
    """The points with finite x, y and z as float64 (n, 3), and the field's values at them."""
    names = ["x", "y", "z"] + ([field] if field not in (None, "x", "y", "z") else [])
    with damage_is_an_error(), vantrel.open_pcd(path) as reader:
        total = reader.header.points
        for chunk in point_progress(reader.chunks(chunk_points(reader.header.point_step), fields=names), total, what):
            xyz = np.column_stack([chunk[a].astype(np.float64) for a in "xyz"])
            keep = np.isfinite(xyz).all(axis=1)
            value = chunk[field].reshape(len(chunk))[keep] if field is not None else None
            del chunk  # copied out: not held while the next is read, which then takes its memory
            yield xyz[keep], value


# ---------------------------------------------------------------- pixels


class Raster:
    """A view's pixels over an extent, at one scale both ways: each pixel keeps the point nearest
    the viewer (its depth quantized to 2^20 steps over the extent) and that point's value, and
    counts the points that fall in it. Added in chunks: memory is the picture's."""

    LEVELS = 1 << 20

    def __init__(self, view: View, extent: Extent, width: int, height: int) -> None:
        self.view = view
        corners = np.array(
            [[extent.low[k] if b == 0 else extent.high[k] for k, b in enumerate(bits)] for bits in np.ndindex(2, 2, 2)]
        )
        self.origin = np.array([(corners @ view.right).min(), (corners @ view.up).min()])
        spans = np.array([np.ptp(corners @ view.right), np.ptp(corners @ view.up)])
        spans = np.maximum(spans, max(spans.max() * 1e-3, 1e-9))  # a flat cloud is a line, not nothing
        self.scale = min(width / spans[0], height / spans[1])  # pixels a metre, both ways
        # Fewer pixels than points, or a sparse cloud is specks on white: two points a pixel at least.
        self.scale *= min(1.0, math.sqrt(max(extent.points, 1) / (2.0 * width * height)))
        self.shape = (
            max(1, min(height, math.ceil(spans[1] * self.scale))),
            max(1, min(width, math.ceil(spans[0] * self.scale))),
        )
        self.spans = spans
        depths = corners @ view.toward
        self.depth = (depths.min(), max(np.ptp(depths), 1e-9))
        pixels = self.shape[0] * self.shape[1]
        self.best = np.full(pixels, -1, np.int64)
        self.value = np.zeros(pixels)
        self.count = np.zeros(pixels, np.int64)

    def add(self, xyz: np.ndarray, values: np.ndarray | None) -> None:
        rows, cols = self.shape
        col = np.clip(((xyz @ self.view.right - self.origin[0]) * self.scale).astype(np.int64), 0, cols - 1)
        row = np.clip(((xyz @ self.view.up - self.origin[1]) * self.scale).astype(np.int64), 0, rows - 1)
        pixel = row * cols + col
        self.count += np.bincount(pixel, minlength=len(self.count))
        depth = ((xyz @ self.view.toward - self.depth[0]) / self.depth[1] * (self.LEVELS - 1)).astype(np.int64)
        if FAST_AT:  # each pixel's nearest by a maximum in place: a fifth of a sort's time
            before = self.best[pixel]
            np.maximum.at(self.best, pixel, depth)
            won = (depth == self.best[pixel]) & (depth > before)  # nearer than any point of an earlier chunk
            if values is not None:
                self.value[pixel[won]] = values[won]
            return
        order = np.argsort(pixel * self.LEVELS + depth)  # by pixel, then depth: each pixel's last is nearest
        ordered = pixel[order]
        last = np.flatnonzero(np.append(ordered[1:] != ordered[:-1], True))
        winners, at = order[last], ordered[last]
        nearer = depth[winners] > self.best[at]
        self.best[at[nearer]] = depth[winners[nearer]]
        if values is not None:
            self.value[at[nearer]] = values[winners[nearer]]

    def image(self, colors: np.ndarray) -> np.ndarray:
        """RGBA rows, bottom row first, from an (rows*cols, 4) color per pixel; empty pixels clear."""
        rgba = colors.copy()
        rgba[self.best < 0] = 0.0
        return rgba.reshape(*self.shape, 4)

    def extent(self) -> tuple[float, float, float, float]:
        """The image's corners in metres along the screen's axes, for imshow."""
        rows, cols = self.shape
        return (self.origin[0], self.origin[0] + cols / self.scale, self.origin[1], self.origin[1] + rows / self.scale)


# ---------------------------------------------------------------- fewer points


def firsts(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct keys, sorted, and where each first occurs: by a stable sort, as np.unique
    hashes in NumPy 2.3 on, several times slower for keys this many."""
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    starts = np.empty(len(keys), bool)
    starts[:1] = True
    np.not_equal(ordered[1:], ordered[:-1], out=starts[1:])
    return ordered[starts], order[starts]


def voxel_keys(xyz: np.ndarray, low: np.ndarray, size: float) -> np.ndarray:
    """Each point's voxel of `size` from `low`, as one integer."""
    cells = np.floor((xyz - low) / size).astype(np.int64)
    keys: np.ndarray = (cells[:, 0] * (1 << 21) + cells[:, 1]) * (1 << 21) + cells[:, 2]
    return keys


def first_size(sample: np.ndarray, low: np.ndarray, span: float, most: int) -> float:
    """A voxel whose occupied count is near 3/4 of `most`, judged from an even sample of the points:
    the size at which the sample occupies a tenth as many voxels as it has points (where few of the
    cloud's voxels hold no sampled point), made finer as on a surface, the square of the size."""
    size = span / 16
    target = min(len(sample) // 10, most)
    occupied = 0
    while target and size > span * 1e-6:
        occupied = len(np.unique(voxel_keys(sample, low, size)))
        if occupied >= target:
            break
        size /= 2
    if not occupied:
        return span / max(math.sqrt(most), 1.0) / 4
    # No finer than 2^20 voxels across the extent: a key holds 21 bits an axis.
    return max(size * min(math.sqrt(occupied / (0.75 * most)), 1.0), span / (1 << 20))


def thin(
    parts: Iterable[tuple[np.ndarray, np.ndarray | None]],
    low: np.ndarray,
    span: float,
    most: int,
    sample: np.ndarray,
) -> tuple[np.ndarray, np.ndarray | None]:
    """At most `most` of the points (and their values) that come in parts, in order, within an
    extent from `low` of `span` at most: the first point of each voxel, the voxel grown (to 3/4 of
    `most`, so that it grows seldom) whenever more are occupied, so that memory stays at `most`
    points whatever the cloud."""
    size = first_size(sample, low, max(span, 1e-9), most)
    seen = np.zeros(0, np.int64)  # the kept points' voxels, sorted
    kept: list[np.ndarray] = []
    values: list[np.ndarray] = []
    count = 0
    valued = False
    dimension = 2.0

    for xyz, value in parts:
        valued = value is not None
        keys, first = firsts(voxel_keys(xyz, low, size))
        at = np.minimum(np.searchsorted(seen, keys), max(len(seen) - 1, 0))
        new = seen[at] != keys if len(seen) else np.ones(len(keys), bool)
        order = np.sort(first[new])
        kept.append(xyz[order])
        values.append(value[order] if value is not None else np.zeros(0))
        seen = np.sort(np.concatenate([seen, keys[new]]), kind="stable")  # two sorted runs: merged
        count += len(order)
        while count > most:
            # Occupied voxels fall with the size to the power of the points' dimension: 2 on a
            # surface, 3 in a volume; each growth measures it for the next.
            grow = max(1.05, (count / (most * 0.75)) ** (1 / dimension))
            size *= grow
            xyz_all, values_all = np.concatenate(kept), np.concatenate(values)
            seen, first = firsts(voxel_keys(xyz_all, low, size))
            order = np.sort(first)
            if len(order) < count:
                dimension = min(max(math.log(count / len(order)) / math.log(grow), 1.0), 3.0)
            kept, count = [xyz_all[order]], len(order)
            values = [values_all[order] if len(values_all) else values_all]
    shown = np.concatenate(values) if values else np.zeros(0)
    return (np.concatenate(kept) if kept else np.zeros((0, 3))), (shown if valued else None)
