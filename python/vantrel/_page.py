"""A cloud as one self-contained HTML page to turn around in any browser, over SSH or offline: the
page holds its own WebGL code and the points (decimated by voxel to a chosen number, positions as
16-bit steps over the extent, colors as bytes, base64 in the page). Orbit with the left button,
pan with the right one (or shift), zoom with the wheel; point size, coloring (height along the up
axis, or the field it was written with) and a scale bar. Also a notebook's picture of a cloud
(PointCloud._repr_html_)."""

from __future__ import annotations

import base64
import html
import json
from pathlib import Path
from typing import Any

import numpy as np

import vantrel
from vantrel import _scene
from vantrel._extras import replacing

NOTEBOOK_POINTS = 200_000


def _colors(values: np.ndarray, packed: bool) -> np.ndarray:
    """uint8 RGB per point: a packed color's channels, or viridis over the values' 1st to 99th
    percentile."""
    if packed:
        return vantrel.unpack_rgb(values)[:, :3].astype(np.uint8)
    from matplotlib import colormaps

    finite = values[np.isfinite(values)]
    low, high = np.percentile(finite, [1, 99]) if len(finite) else (0.0, 1.0)
    scaled = np.clip((values - low) / (high - low if high > low else 1.0), 0, 1)
    return (np.asarray(colormaps["viridis"](np.nan_to_num(scaled)))[:, :3] * 255).astype(np.uint8)


def page(xyz: np.ndarray, colors: np.ndarray | None, up: _scene.Up, title: str, field: str | None) -> str:
    """The page's HTML for these points (float64, finite) and their colors (uint8 RGB, or None)."""
    low, high = _scene.bounds(xyz) if len(xyz) else (np.zeros(3), np.ones(3))
    span = np.maximum(high - low, 1e-9)
    steps = np.round((xyz - low) / span * 65535).astype("<u2")
    scene = {
        "title": title,
        "points": len(xyz),
        "low": low.tolist(),
        "span": span.tolist(),
        "up": up.direction.vector().tolist(),
        "upName": f"{up.direction.name} ({up.reason})",
        "field": field,
    }
    xyz64 = base64.b64encode(steps.tobytes()).decode()
    rgb64 = base64.b64encode(colors.tobytes()).decode() if colors is not None else ""
    template = (Path(__file__).parent / "_page.html").read_text()
    return (
        template.replace("__TITLE__", html.escape(title))
        .replace("__SCENE__", json.dumps(scene))
        .replace("__XYZ__", xyz64)
        .replace("__RGB__", rgb64)
    )


def write_page(source: Path, target: Path, *, field: str | None, color: str | None, up: str | None, most: int) -> None:
    """A PCD file's 3D page, at most `most` points, written whole or not at all. A cloud of up to
    4 x `most` points is read once and held; a larger one is read twice (its extent and a sample,
    then the points kept), so that memory stays at a few times `most` points."""
    header = vantrel.read_pcd_header(source)
    most = max(1, most)
    points: Any
    if header.points <= 4 * most:
        parts = list(_scene.chunks(source, field, "reading"))
        xyz = np.concatenate([p[0] for p in parts]) if parts else np.zeros((0, 3))
        values = np.concatenate([p[1] for p in parts]) if parts and field is not None else None
        sample = xyz[:: max(1, len(xyz) // _scene.SAMPLE)]
        found = _scene.find_up(header, sample, up)
        low, high = _scene.bounds(xyz) if len(xyz) else (np.zeros(3), np.ones(3))
        finite, points = len(xyz), [(xyz, values)]
    else:
        extent = _scene.read_extent(source, field)
        found, sample = _scene.find_up(header, extent.sample, up), extent.sample
        low, high, finite = extent.low, extent.high, extent.points
        points = _scene.chunks(source, field, "reading")
    if finite <= most and header.points <= 4 * most:
        shown = points[0]
    else:
        shown = _scene.thin(points, low, float((high - low).max()), most, sample)
    colors = None
    if field is not None and shown[1] is not None:
        packed = field in ("rgb", "rgba")
        colors = _colors(shown[1].view(np.uint32) if packed else shown[1].astype(np.float64), packed)
    kept = len(shown[0])
    title = f"{source.name}: {finite:,} points" + (f", {kept:,} shown" if kept < finite else "")
    text = page(shown[0], colors, found, title, field if color not in (None, "height") else None)
    with replacing(target) as partial:
        partial.write_text(text)


def notebook(cloud: Any) -> str:
    """A cloud in a notebook cell: a small page of it (NOTEBOOK_POINTS at most) in an iframe."""
    xyz = np.column_stack([np.asarray(cloud[a], np.float64).reshape(-1) for a in "xyz"])
    xyz = xyz[np.isfinite(xyz).all(axis=1)]
    found = _scene.find_up(cloud.header, xyz[:: max(1, len(xyz) // _scene.SAMPLE)])
    shown = xyz
    if len(xyz) > NOTEBOOK_POINTS:
        low, high = _scene.bounds(xyz)
        span, sample = float((high - low).max()), xyz[:: max(1, len(xyz) // _scene.SAMPLE)]
        shown, _ = _scene.thin([(xyz, None)], low, span, NOTEBOOK_POINTS, sample)
    text = page(shown, None, found, f"{len(cloud):,} points", None)
    return f'<iframe srcdoc="{html.escape(text)}" style="width:100%;height:480px;border:0"></iframe>'
