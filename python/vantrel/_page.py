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
    low = xyz.min(axis=0) if len(xyz) else np.zeros(3)
    span = np.maximum(np.ptp(xyz, axis=0) if len(xyz) else np.ones(3), 1e-9)
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
    """A PCD file's 3D page, at most `most` points, written whole or not at all."""
    header = vantrel.read_pcd_header(source)
    parts, values = [], []
    for xyz, value in _scene.chunks(source, field, "reading"):
        parts.append(xyz)
        values.append(value if value is not None else np.zeros(0))
    xyz = np.concatenate(parts) if parts else np.zeros((0, 3))
    found = _scene.find_up(header, xyz[:: max(1, len(xyz) // _scene.SAMPLE)], up)
    kept = _scene.decimate(xyz, max(1, most))
    colors = None
    if field is not None:
        shown = np.concatenate(values)[kept]
        packed = field in ("rgb", "rgba")
        colors = _colors(shown.view(np.uint32) if packed else shown.astype(np.float64), packed)
    title = f"{source.name}: {len(xyz):,} points" + (f", {len(kept):,} shown" if len(kept) < len(xyz) else "")
    text = page(xyz[kept], colors, found, title, field if color not in (None, "height") else None)
    with replacing(target) as partial:
        partial.write_text(text)


def notebook(cloud: Any) -> str:
    """A cloud in a notebook cell: a small page of it (NOTEBOOK_POINTS at most) in an iframe."""
    xyz = np.column_stack([np.asarray(cloud[a], np.float64).reshape(-1) for a in "xyz"])
    xyz = xyz[np.isfinite(xyz).all(axis=1)]
    found = _scene.find_up(cloud.header, xyz[:: max(1, len(xyz) // _scene.SAMPLE)])
    kept = _scene.decimate(xyz, NOTEBOOK_POINTS)
    text = page(xyz[kept], None, found, f"{len(cloud):,} points", None)
    return f'<iframe srcdoc="{html.escape(text)}" style="width:100%;height:480px;border:0"></iframe>'
