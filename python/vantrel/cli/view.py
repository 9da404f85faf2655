"""vantrel view: a cloud drawn to a picture (matplotlib), two panels along its largest spans, or a
range image and a top view for an organized cloud."""

from __future__ import annotations

import argparse
import warnings
from typing import Any

import vantrel
from vantrel._chunks import damage_is_an_error
from vantrel.cli._common import Refused, local


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


def sample(n: int, limit: int = 1_000_000) -> Any:
    """Which points to draw: all of them, or an even spread of `limit` of them."""
    import numpy as np

    return slice(None) if n <= limit else np.linspace(0, n - 1, limit).astype(np.int64)


def marker_size(ax: Any, n: int, dpi: float) -> float:
    """Points sized by their density on the panel: together they cover about its area, so a sparse
    cloud is not faint specks and a dense one is not a blot."""
    ax.apply_aspect()
    box = ax.get_window_extent()
    area = (box.width * 72 / dpi) * (box.height * 72 / dpi)  # in points squared, as scatter's sizes are
    return float(min(25.0, max(0.05, 1.5 * area / max(n, 1))))


def scatter_panel(
    ax: Any, points: Any, colors: dict[str, Any], axes: tuple[int, int], title: str, dpi: float, from_above: bool
) -> Any:
    """One view along the axis not drawn: its own tight limits, equal aspect, nearer points on top
    (the highest, seen from above; the lowest along the hidden axis, seen from its side)."""
    import numpy as np

    a, b = axes
    hidden = 3 - a - b
    order = np.argsort(points[:, hidden] if from_above else -points[:, hidden], kind="stable")
    low, high = points[:, [a, b]].min(axis=0), points[:, [a, b]].max(axis=0)
    pad = np.maximum((high - low) * 0.02, 1e-6)
    ax.set_xlim(low[0] - pad[0], high[0] + pad[0])
    ax.set_ylim(low[1] - pad[1], high[1] + pad[1])
    ax.set_aspect("equal", adjustable="box")
    ax.set_xlabel("xyz"[a])
    ax.set_ylabel("xyz"[b])
    ax.set_title(title)
    drawn = {key: value[order] if key == "c" else value for key, value in colors.items()}
    size = marker_size(ax, len(points), dpi)
    return ax.scatter(points[order, a], points[order, b], s=size, linewidths=0, rasterized=True, **drawn)


def range_panel(ax: Any, points: Any, header: vantrel.PcdHeader) -> Any:
    """An organized cloud as the image it was taken as: each pixel's distance, NaN left transparent."""
    import numpy as np

    distance = np.linalg.norm(points.astype(np.float64), axis=1).reshape(header.height, header.width)
    drawn = ax.imshow(np.ma.masked_invalid(distance), cmap="viridis", interpolation="nearest")
    ax.set_title(f"range image, {header.width} x {header.height}")
    ax.set_xlabel("column")
    ax.set_ylabel("row")
    return drawn


def color_field(path: Any, header: vantrel.PcdHeader, color: str) -> str:
    """The field --color names (rgb may be an rgba field), refused unless it is one value a point."""
    counts = {field.name: field.count for field in header.fields if field.count >= 1}
    if not {"x", "y", "z"} <= counts.keys():
        raise Refused(f"{path} has no x, y and z to draw (its fields: {', '.join(sorted(counts))})")
    if color not in counts and not (color == "rgb" and "rgba" in counts):
        raise Refused(f"--color {color}: {path} has no such field (its fields: {', '.join(sorted(counts))})")
    field = color if color in counts else "rgba"
    if counts[field] > 1:
        raise Refused(f"--color {color}: field {field!r} holds {counts[field]} values a point; choose one of one")
    return field


def top_view_axes(every: Any, header: vantrel.PcdHeader, spans: Any) -> tuple[int, int]:
    """An organized cloud seen from above: along the axis that changes most from one row of the
    image to the next (y of a depth camera, z of a spinning lidar), the other two by their spans."""
    import numpy as np

    grid = every.reshape(header.height, header.width, 3)
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # rows of NaN only
        change = np.nan_to_num(np.nanmean(np.abs(np.diff(grid, axis=0)), axis=(0, 1)))
    up = int(np.argmax(change))
    shown = sorted((k for k in range(3) if k != up), key=lambda k: -spans[k])
    return shown[0], shown[1]


def view(args: argparse.Namespace) -> int:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise Refused("vantrel view needs matplotlib: pip install 'vantrel[view]'") from None
    import numpy as np

    path = local(args.file)
    color = args.color
    field = color_field(path, vantrel.read_pcd_header(path), color)
    with damage_is_an_error():
        cloud = vantrel.read_pcd(path, fields=sorted({"x", "y", "z", field}))
    every = cloud.points.astype(np.float64)
    keep = np.isfinite(every).all(axis=1)
    points, values = every[keep], cloud.fields[field][keep]
    if not len(points):
        raise Refused(f"{path} has no point with finite x, y and z to draw")
    chosen = sample(len(points))
    points, values = points[chosen], values[chosen]
    if color in ("rgb", "rgba"):
        colors: dict[str, Any] = {"c": vantrel.unpack_rgb(values) / 255.0}
    else:
        colors = {"c": values.astype(np.float64), "cmap": "viridis"}
    # The panels follow the cloud's extent: its two largest spans, then the largest and the smallest.
    spans = np.ptp(points, axis=0)
    largest, middle, smallest = (int(k) for k in np.argsort(-spans, kind="stable"))
    width, height = args.size
    dpi = 100
    # Long, flat panels (a street) go one above the other; others side by side.
    shapes = [spans[largest] / max(spans[other], 1e-9) for other in (middle, smallest)]
    stacked = not cloud.header.organized and min(shapes) * height / width > 1.5
    figure, axes = plt.subplots(
        2 if stacked else 1, 1 if stacked else 2, figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained"
    )
    if cloud.header.organized:
        image = range_panel(axes[0], every, cloud.header)
        figure.colorbar(image, ax=axes[0], label="distance", shrink=0.7)
        above = top_view_axes(every, cloud.header, spans)
        drawn = scatter_panel(axes[1], points, colors, above, "top view", dpi, True)
    else:
        scatter_panel(axes[0], points, colors, (largest, middle), "plan", dpi, True)
        drawn = scatter_panel(axes[1], points, colors, (largest, smallest), "side", dpi, False)
    if color not in ("rgb", "rgba"):
        figure.colorbar(drawn, ax=list(axes) if stacked else axes[1], label=color, shrink=0.7)
    figure.suptitle(
        f"{path.name}: {len(cloud):,} points" + (f", {len(points):,} drawn" if len(points) < len(cloud) else "")
    )
    figure.savefig(args.output, dpi=dpi)  # exactly WIDTH x HEIGHT pixels
    plt.close(figure)
    return 0


def add(commands: Any) -> None:
    view_ = commands.add_parser(
        "view",
        help="draw the cloud into a PNG file: a plan and a side view (an organized cloud: its range image and a plan)",
    )
    view_.add_argument("file", metavar="FILE")
    view_.add_argument("-o", "--output", required=True, metavar="PICTURE.png", help="the picture to write (required)")
    view_.add_argument(
        "--color", default="z", metavar="z|intensity|rgb|FIELD", help="the field that colors points (default: z)"
    )
    view_.add_argument(
        "--size", type=picture_size, default=(1600, 1200), metavar="WxH", help="pixels (default: 1600x1200)"
    )
    view_.set_defaults(run=view)
