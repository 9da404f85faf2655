"""vantrel view: a cloud drawn to a PNG picture (matplotlib), or to a 3D page (.html) that any browser
opens. A picture has a plan (from above) and a side view, or for an organized cloud its range image
and a plan; every point is rasterised into the pixels, each pixel showing the point nearest the
viewer. Axes are right-handed (a plan of a z-up cloud has x to the right and y up), and the up axis
is found, then named in the title."""

from __future__ import annotations

import argparse
import math
import os
from pathlib import Path
from typing import Any

import numpy as np

import vantrel
from vantrel import _scene
from vantrel._chunks import damage_is_an_error
from vantrel.cli._common import Refused, local

DPI = 100


def picture_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"--size takes WIDTHxHEIGHT in pixels, such as 1600x1200, not {text!r}"
        ) from None
    if not (16 <= width <= 20000 and 16 <= height <= 20000):
        raise argparse.ArgumentTypeError(f"--size takes 16 to 20000 pixels a side, not {text!r}")
    return width, height


def color_field(path: Any, header: vantrel.PcdHeader, color: str | None) -> str | None:
    """The field --color names (rgb may be an rgba field), refused unless it is one value a point;
    None for height, range and density, which every cloud has."""
    counts = {field.name: field.count for field in header.fields if field.count >= 1}
    if not {"x", "y", "z"} <= counts.keys():
        raise Refused(f"{path} has no x, y and z to draw (its fields: {', '.join(sorted(counts))})")
    if color in (None, "height", "range", "density"):
        return None
    if color not in counts and not (color == "rgb" and "rgba" in counts):
        raise Refused(f"--color {color}: {path} has no such field (its fields: {', '.join(sorted(counts))})")
    field = color if color in counts else "rgba"
    if counts[field] > 1:
        raise Refused(f"--color {color}: field {field!r} holds {counts[field]} values a point; choose one of one")
    return field


class Coloring:
    """A value per point (height along up, a field, a packed color) and how it becomes a color."""

    def __init__(self, color: str | None, field: str | None, up: np.ndarray, extent: _scene.Extent) -> None:
        import matplotlib

        self.name = "density" if color == "density" else field or "height"  # a plan of range: its height
        self.field, self.up = field, up
        self.packed = field in ("rgb", "rgba")
        sample = extent.sample @ up if field is None else extent.values.astype(np.float64)
        finite = sample[np.isfinite(sample)] if not self.packed else sample
        low, high = np.percentile(finite, [1, 99]) if len(finite) else (0.0, 1.0)
        self.norm = matplotlib.colors.Normalize(float(low), float(high) if high > low else float(low) + 1)
        self.cmap = matplotlib.colormaps["viridis"]

    def values(self, xyz: np.ndarray, values: np.ndarray | None) -> np.ndarray:
        if self.field is None:
            return np.asarray(xyz @ self.up)
        if self.packed:
            return values.view(np.uint32).astype(np.float64)  # type: ignore[union-attr]
        return values.astype(np.float64)  # type: ignore[union-attr]

    def colors(self, raster: _scene.Raster) -> np.ndarray:
        if self.name == "density":
            counts = np.log1p(raster.count.astype(np.float64))
            return np.asarray(self.cmap(counts / max(counts.max(), 1e-9)))
        if self.packed:
            rgb = vantrel.unpack_rgb(raster.value.astype(np.uint32)) / 255.0
            return np.column_stack([rgb, np.ones(len(rgb))])
        return np.asarray(self.cmap(self.norm(raster.value)))


def _layout(views: list[_scene.Raster], width: int, height: int) -> bool:
    """Stacked (True) or side by side: whichever shows the two panels larger. The axes never change."""

    def shown(box_w: float, box_h: float) -> float:
        return float(
            sum(
                min(box_w, box_h * r.spans[0] / r.spans[1]) * min(box_h, box_w * r.spans[1] / r.spans[0]) for r in views
            )
        )

    return shown(width * 0.85, height * 0.4) > shown(width * 0.42, height * 0.8)


def _panel(ax: Any, raster: _scene.Raster, coloring: Coloring) -> None:
    ax.imshow(
        raster.image(coloring.colors(raster)),
        origin="lower",
        extent=raster.extent(),
        interpolation="nearest",
        aspect="equal",
    )
    view = raster.view
    ax.set_xlabel(f"{view.label(view.right)} (m)")
    ax.set_ylabel(f"{view.label(view.up)} (m)")
    ax.set_title(view.title)


def _range_panel(ax: Any, values: np.ndarray, header: vantrel.PcdHeader, rings: bool) -> Any:
    """An organized cloud as the image it was taken as, each row repeated so that a frame of few
    rings (16, 64) is tall enough to read."""
    image = values.reshape(header.height, header.width)
    repeat = max(1, math.ceil(160 / header.height))
    drawn = ax.imshow(
        np.ma.masked_invalid(np.repeat(image, repeat, axis=0)),
        cmap="viridis",
        interpolation="nearest",
        aspect="auto",
        extent=(0, header.width, header.height, 0),
    )
    ax.set_title(f"range image, {header.width} x {header.height}" + (f" (rows x{repeat})" if repeat > 1 else ""))
    ax.set_xlabel("column")
    ax.set_ylabel("ring" if rings else "row")
    return drawn


def _rasters(
    path: Path,
    views: list[_scene.View],
    extent: _scene.Extent,
    coloring: Coloring,
    width: int,
    height: int,
    stacked: bool,
) -> list[_scene.Raster]:
    """Every point into each view's pixels, a chunk at a time."""
    box = (int(width * 0.85), int(height * 0.42)) if stacked else (int(width * 0.42), int(height * 0.8))
    rasters = [_scene.Raster(view, extent, *box) for view in views]
    for xyz, values in _scene.chunks(path, coloring.field, "drawing"):
        shown = coloring.values(xyz, values)
        for raster in rasters:
            raster.add(xyz, shown)
    return rasters


def picture(args: argparse.Namespace, path: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise Refused("vantrel view needs matplotlib: pip install 'vantrel[view]'") from None
    header = vantrel.read_pcd_header(path)
    field = color_field(path, header, args.color)
    extent = _scene.read_extent(path, field)
    if not extent.points:
        raise Refused(f"{path} has no point with finite x, y and z to draw")
    up = _scene.find_up(header, extent.sample, args.up)
    coloring = Coloring(args.color, field, up.direction.vector(), extent)
    spans = extent.high - extent.low
    width, height = args.size
    figure = plt.figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    if header.organized:
        grid = figure.add_gridspec(2, 1, height_ratios=[1, 2])
        with damage_is_an_error():
            cloud = vantrel.read_pcd(path, fields=sorted({"x", "y", "z", *([field] if field else [])}))
        every = cloud.points.astype(np.float64)
        shown = np.linalg.norm(every, axis=1) if field is None else coloring.values(every, cloud[field])
        rings = up.reason == _scene.LIDAR
        image = _range_panel(figure.add_subplot(grid[0]), shown, header, rings)
        figure.colorbar(image, ax=figure.axes[0], label="range (m)" if field is None else field, shrink=0.8)
        rasters = _rasters(path, [_scene.plan(up.direction, spans)], extent, coloring, width, height * 2 // 3, True)
        axes = [figure.add_subplot(grid[1])]
    else:
        views = [_scene.plan(up.direction, spans), _scene.side(up.direction, spans)]
        probe = [_scene.Raster(view, extent, 100, 100) for view in views]
        stacked = _layout(probe, width, height)
        rasters = _rasters(path, views, extent, coloring, width, height, stacked)
        axes = list(figure.subplots(2, 1) if stacked else figure.subplots(1, 2))
    for ax, raster in zip(axes, rasters, strict=True):
        _panel(ax, raster, coloring)
    if not coloring.packed:
        mappable = matplotlib.cm.ScalarMappable(norm=coloring.norm, cmap=coloring.cmap)
        if coloring.name == "density":
            mappable = matplotlib.cm.ScalarMappable(cmap=coloring.cmap)
        figure.colorbar(mappable, ax=axes, label=_color_label(coloring, up), shrink=0.7)
    figure.suptitle(f"{path.name}: {extent.points:,} points, up {up.direction.name} ({up.reason})")
    figure.savefig(args.output, dpi=DPI)  # exactly WIDTH x HEIGHT pixels
    plt.close(figure)


def _color_label(coloring: Coloring, up: _scene.Up) -> str:
    if coloring.name == "density":
        return "points a pixel (log scale)"
    return f"height along {up.direction.name} (m)" if coloring.field is None else coloring.name


def view(args: argparse.Namespace) -> int:
    path, output = local(args.file), local(args.output)
    if output.suffix.lower() in (".html", ".htm"):
        from vantrel import _page

        header = vantrel.read_pcd_header(path)
        field = color_field(path, header, args.color)
        _page.write_page(path, output, field=field, color=args.color, up=args.up, most=args.max_points)
    else:
        picture(args, path)
    size = os.path.getsize(output)
    print(f"view: {output} written, {size / 1e6:.1f} MB" if size >= 1e6 else f"view: {output} written, {size:,} bytes")
    return 0


def add(commands: Any) -> None:
    view_ = commands.add_parser(
        "view",
        help="draw the cloud: a PNG picture (a plan and a side view; an organized cloud's range image and a plan), "
        "or a 3D page to turn around in any browser (.html)",
    )
    view_.add_argument("file", metavar="FILE")
    view_.add_argument(
        "-o", "--output", required=True, metavar="PICTURE.png|SCENE.html", help="what to write, by extension (required)"
    )
    view_.add_argument(
        "--color",
        metavar="height|density|range|intensity|rgb|FIELD",
        help="what colors the points (default: height along the up axis; a range image: the range)",
    )
    view_.add_argument("--up", choices=_scene.UPS, help="the up axis (default: found: VIEWPOINT, else the points)")
    view_.add_argument(
        "--size", type=picture_size, default=(1600, 1200), metavar="WxH", help="pixels of a PNG (default: 1600x1200)"
    )
    view_.add_argument(
        "--max-points",
        type=int,
        default=2_000_000,
        metavar="N",
        help="points in a 3D page, decimated by voxel (default: %(default)s)",
    )
    view_.set_defaults(run=view)
