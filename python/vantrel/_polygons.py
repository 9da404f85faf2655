"""crop's areas: polygons as rings of x-y vertices, read from CSV or GeoJSON, and which points lie
inside them by the even-odd rule."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import vantrel
from vantrel._tool_error import ToolError

Source = str | os.PathLike[str]

# Edges up to which crop tests every point against every edge; beyond, a sweep up the points in y
# order, whose ordering costs about what 8 edges do.
DIRECT_EDGES = 8


class Area:
    """crop's polygon: its rings of x-y vertices, and the engine's order of their edges, made at
    its first use and kept for every chunk (left out when pickled: a worker makes its own)."""

    def __init__(self, rings: list[Any]) -> None:
        import numpy as np

        self.rings = rings
        # left, bottom, right, top: a column at a time, which NumPy reduces many times as fast as
        # rows of two along axis 0 (25 ms each for 10^6 vertices)
        x, y = (np.concatenate([ring[:, k] for ring in rings]) for k in (0, 1))
        self.bounds = (x.min(), y.min(), x.max(), y.max())
        self._outline: Any = None

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_outline": None}

    def outline(self) -> Any:
        import numpy as np

        if self._outline is None:
            starts = np.cumsum([0] + [len(ring) for ring in self.rings])
            vertices = self.rings[0] if len(self.rings) == 1 else np.concatenate(self.rings)  # one ring: no copy
            self._outline = vantrel._Outline(vertices, starts)
        return self._outline


def inside_polygon(x: Any, y: Any, area: Area | list[Any]) -> Any:
    """Even-odd rule: a point is inside when a ray from it crosses the rings' edges an odd number of
    times, so that a ring within another is a hole in it. The ray to the right of a point crosses
    the edge from (x0, y0) to (x1, y1) when y0 <= y < y1 or y1 <= y < y0 and the edge lies to its
    right at y. Only the points within the rings' bounding box are tested (those beyond cross no
    edge, or every edge at their y, an even number); with many edges, a sweep up the points in y
    order (in the engine) tests each against the edges beside it and counts those wholly to its
    right at once, so that the work grows with the points and the edges, not with their product."""
    import numpy as np

    area = area if isinstance(area, Area) else Area(area)
    if sum(len(ring) for ring in area.rings) <= DIRECT_EDGES:
        x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
        left, bottom, right, top = area.bounds
        near = np.flatnonzero((x >= left) & (x <= right) & (y >= bottom) & (y <= top))  # NaN: never
        inside = np.zeros(len(x), bool)
        inside[near] = _each_edge(x[near], y[near], area)
        return inside
    hits = np.zeros(len(x), np.uint8)
    # A sweep up the points within the bounding box, in bands on the threads, in the engine, which
    # reads float or double columns where they lie (a chunk's x and y within its records).
    area.outline().flip(x, y, hits)
    return hits.view(bool)


def _each_edge(x: Any, y: Any, area: Area) -> Any:
    """The rule, every point against every edge: for the few edges of a box or a triangle."""
    import numpy as np

    edges = np.concatenate([np.column_stack([np.roll(ring, 1, axis=0), ring]) for ring in area.rings])
    inside = np.zeros(len(x), bool)
    with np.errstate(divide="ignore", invalid="ignore"):
        for x0, y0, x1, y1 in edges:
            inside ^= ((y0 > y) != (y1 > y)) & (x < x0 + (y - y0) * (x1 - x0) / (y1 - y0))
    return inside


def rings_of(polygon: Any) -> Area:
    """crop's polygon (one ring of x-y vertices (N, 2), or a sequence of them) as an Area."""
    import numpy as np

    try:
        whole = np.asarray(polygon, np.float64)
        rings = [whole] if whole.ndim == 2 else list(whole) if whole.ndim == 3 else None
    except (ValueError, TypeError):  # rings of different lengths
        try:
            rings = [np.asarray(ring, np.float64) for ring in polygon]
        except (ValueError, TypeError):
            rings = None
    if not rings or any(r.ndim != 2 or r.shape[1] < 2 or len(r) < 3 or not np.isfinite(r).all() for r in rings):
        raise ToolError("polygon must be at least 3 finite x-y vertices, or a sequence of such rings")
    return Area([np.ascontiguousarray(r[:, :2]) for r in rings])


def _ring(values: Any) -> Any:
    """A GeoJSON ring's x and y (z, if any, left out); ValueError unless it is positions."""
    import numpy as np

    ring = np.array(values, np.float64)
    if ring.ndim != 2 or ring.shape[1] < 2:
        raise ValueError(f"a ring of shape {ring.shape}")
    return ring[:, :2]


def read_polygon(path: Source) -> Any:
    """x-y vertices from a CSV file (x,y a line; a header line is skipped), or the rings of the
    Polygon or MultiPolygon in a GeoJSON file (a geometry, a Feature, or a FeatureCollection with
    one polygonal feature): an (N, 2) array for one ring, a list of them for a polygon with holes
    or of several parts, which crop combines by the even-odd rule."""
    import json

    import numpy as np

    text = Path(path).read_text()
    if text.lstrip().startswith("{"):
        try:
            document = json.loads(text)
            found = []
            for feature in document.get("features", [document]):
                geometry = feature.get("geometry") or feature
                kind, coordinates = geometry.get("type"), geometry.get("coordinates")
                if kind in ("Polygon", "MultiPolygon"):
                    polygons = [coordinates] if kind == "Polygon" else coordinates
                    found.append([_ring(ring) for rings in polygons for ring in rings])
                    if not found[-1]:
                        raise ValueError(f"a {kind} without a ring")
        except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:
            raise ToolError(f"{path}: not a GeoJSON polygon this can read ({error})") from None
        if not found:
            raise ToolError(f"{path}: no Polygon in this GeoJSON")
        if len(found) > 1:
            raise ToolError(f"{path}: {len(found)} polygonal features; crop takes one area (dissolve them into one)")
        return found[0][0] if len(found[0]) == 1 else found[0]
    rows = []
    for line in text.splitlines():
        parts = [p for p in line.replace(";", ",").split(",") if p.strip()]
        if len(parts) < 2:
            continue
        try:
            rows.append((float(parts[0]), float(parts[1])))
        except ValueError:
            if rows:
                raise ToolError(f"{path}: {line!r} is no x,y pair") from None
    return np.array(rows, np.float64).reshape(-1, 2)
