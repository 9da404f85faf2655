"""The commands that carry clouds between formats: convert (PCD, LAS/LAZ and PLY, by extension)
and bag-to-pcd (ROS bags)."""

from __future__ import annotations

import argparse
import json
import time
import warnings
from pathlib import Path
from typing import Any

import vantrel
from vantrel import _crs
from vantrel._commands import Refused, chunk_points, damage_is_an_error, local, no_points, point_progress, report
from vantrel._types import ENCODINGS, as_data

FORMATS = {".pcd": "pcd", ".las": "las", ".laz": "las", ".ply": "ply"}


def format_of(path: Path) -> str:
    """pcd, las or ply, by the file's extension."""
    kind = FORMATS.get(path.suffix.lower())
    if kind is None:
        raise Refused(f"{path}: the format is chosen by the extension, which must be .pcd, .las, .laz or .ply")
    return kind


def _progress(name: str) -> Any:
    return lambda chunks, total: point_progress(chunks, total, name)


def pcd_to_pcd(source: Path, target: Path, data: str | None, fields: list[str] | None) -> int:
    with damage_is_an_error(), vantrel.open_pcd(source) as reader:  # nothing is written from a damaged file
        header = reader.header
        options = {"width": header.width, "height": header.height} if header.organized else {}
        with vantrel.open_pcd_writer(
            target, data=as_data(data or header.data), points=header.points, viewpoint=header.viewpoint, **options
        ) as writer:
            for chunk in point_progress(
                reader.chunks(chunk_points(header.point_step), fields=fields), header.points, source.name
            ):
                writer.write(chunk)
            if writer.written == 0:
                writer.write(no_points(source, fields))
    return int(header.points)


def read_any(source: Path, kind: str, fields: list[str] | None, float32: bool) -> vantrel.PointCloud:
    """A whole cloud of any of the formats, its fields chosen."""
    if kind == "pcd":
        with damage_is_an_error():
            return vantrel.read_pcd(source, fields=fields)
    if kind == "las":
        from vantrel import las

        with damage_is_an_error():  # a file that ends early is not converted, as for PCD
            cloud = las.read_las(source, float32=float32)
    else:
        from vantrel import ply

        with damage_is_an_error():
            cloud = ply.read_ply(source)
    if fields is None:
        return cloud
    missing = [name for name in fields if name not in cloud.fields]
    if missing:
        raise Refused(f"{source}: no field {missing[0]!r}; its fields are: {', '.join(cloud.fields)}")
    return vantrel.PointCloud.from_records(cloud.records[fields])


def convert(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    points = _convert(args)
    target = local(args.output)
    summary = {"points_in": points[0], "points_out": points[1], "files": [str(target)]}
    return report(args, {**summary, "seconds": round(time.perf_counter() - start, 3)})


def _convert(args: argparse.Namespace) -> tuple[int, int]:
    """IN converted to OUT: the points read and written."""
    source, target = local(args.input), local(args.output)
    given, wanted = format_of(source), format_of(target)
    fields = [name.strip() for name in args.fields.split(",") if name.strip()] if args.fields else None
    if args.data and wanted != "pcd":
        raise Refused(f"--data chooses a PCD encoding; {target} is {wanted.upper()}")
    crs = _crs.as_crs(args.crs) if args.crs else None
    if given == wanted == "pcd":
        points = pcd_to_pcd(source, target, args.data, fields)
        _pcd_crs(target, crs if crs is not None else _crs.of_pcd(source))
        return points, points
    if given == "pcd" and wanted == "las":  # in chunks: maps larger than memory
        from vantrel import las

        with damage_is_an_error():
            done = las.pcd_to_las(
                source, target, scale=args.scale, fields=fields, progress=_progress(source.name), crs=crs
            )
    elif given == wanted == "las" and fields is None:  # as it is: point format, scales, VLRs, records
        from vantrel import las

        with damage_is_an_error():
            done = las.las_to_las(source, target, progress=_progress(source.name), crs=crs)
    elif given == "las" and wanted == "pcd":
        from vantrel import las

        with damage_is_an_error():
            done = las.las_to_pcd(
                source,
                target,
                data=as_data(args.data or "binary_compressed"),
                float32=args.float32,
                fields=fields,
                progress=_progress(source.name),
                crs=crs,
            )
    else:
        cloud = read_any(source, given, fields, args.float32)
        write_any(target, wanted, cloud, args, crs if crs is not None else _source_crs(source, given))
        return len(cloud), len(cloud)
    return done["points_in"], done["points_out"]


def _source_crs(source: Path, kind: str) -> Any:
    """The CRS a source carries: a LAS file's, a PCD file's sidecar's; a PLY file has none."""
    if kind == "pcd":
        return _crs.of_pcd(source)
    if kind == "las":
        from vantrel import las

        with las._open(source) as reader:
            return _crs.of_las(reader.header, str(source))
    return None


def _pcd_crs(target: Path, crs: Any) -> None:
    """A PCD file's CRS in its sidecar; a sidecar left from before, which would describe another
    cloud, said so."""
    if crs is not None:
        _crs.write_sidecar(target, crs)
    elif _crs.sidecar(target).exists():
        warnings.warn(f"{_crs.sidecar(target)} is from before: this cloud has no CRS", stacklevel=2)


def write_any(target: Path, kind: str, cloud: vantrel.PointCloud, args: argparse.Namespace, crs: Any) -> None:
    if kind == "pcd":
        vantrel.write_pcd(target, cloud, data=as_data(args.data or "binary_compressed"))
        _pcd_crs(target, crs)
    elif kind == "las":
        from vantrel import las

        las.write_las(target, cloud, scale=args.scale, crs=crs)
    else:
        from vantrel import ply

        ply.write_ply(target, cloud, text=args.text, lossy=args.lossy)
        if crs is not None:
            warnings.warn(f"{target}: PLY has no place for a CRS, so {crs.name!r} is not carried", stacklevel=2)


def bag_to_pcd(args: argparse.Namespace) -> int:
    from vantrel import ros

    summary = ros.bag_to_pcd(
        local(args.bag),
        local(args.outdir),
        topics=args.topic,
        data=as_data(args.data),
        progress=True,
        overwrite=args.overwrite,
    )
    if args.json:
        print(json.dumps(summary))
    else:
        skipped = f", {summary['skipped']:,} converted before" if summary["skipped"] else ""
        print(
            f"bag-to-pcd: {summary['messages']:,} messages, {summary['points']:,} points; "
            f"{len(summary['files']):,} files written in {summary['seconds']:.2f} s{skipped}"
        )
    return 1 if summary["missing"] else 0  # a damaged bag, as check says of a damaged file


def add_commands(commands: Any) -> None:
    """convert and bag-to-pcd."""
    convert_ = commands.add_parser(
        "convert", help="write IN again as OUT: PCD, LAS/LAZ or PLY by extension (OUT appears only when done)"
    )
    convert_.add_argument("input", metavar="IN", help="a .pcd, .las, .laz or .ply file")
    convert_.add_argument("output", metavar="OUT", help="a .pcd, .las, .laz or .ply file")
    convert_.add_argument("--data", choices=ENCODINGS, help="the encoding of a PCD OUT (default: IN's, or compressed)")
    convert_.add_argument("--fields", metavar="a,b,c", help="the fields to keep, comma-separated (default: all)")
    convert_.add_argument("--float32", action="store_true", help="LAS/LAZ IN: x, y and z as F 4 (default: F 8)")
    convert_.add_argument(
        "--scale",
        type=float,
        help="LAS/LAZ OUT: the coordinates' step (default: the step they lie on, or the finest that holds them)",
    )
    convert_.add_argument(
        "--crs",
        metavar="CRS",
        help="the coordinates' CRS, an EPSG code or WKT (default: IN's: a LAS file's, or a PCD file's .prj beside it)",
    )
    convert_.add_argument("--text", action="store_true", help="PLY OUT: ascii (default: binary little-endian)")
    convert_.add_argument("--lossy", action="store_true", help="PLY OUT: 64-bit integers as float64 (default: refused)")
    convert_.add_argument("--json", action="store_true", help="the summary as one JSON object")
    convert_.set_defaults(run=convert)

    bag = commands.add_parser(
        "bag-to-pcd", help="one PCD file per PointCloud2 message of a ROS bag, every field kept, and index.csv"
    )
    bag.add_argument("bag", metavar="BAG", help="a ROS 1 .bag, or a ROS 2 bag folder (sqlite3 or MCAP)")
    bag.add_argument("outdir", metavar="OUTDIR")
    bag.add_argument("--topic", action="append", metavar="T", help="a PointCloud2 topic (default: all of them)")
    bag.add_argument("--data", choices=ENCODINGS, default="binary_compressed", help="(default: %(default)s)")
    bag.add_argument(
        "--overwrite",
        action="store_true",
        help="remove the files index.csv lists and convert every message again (default: convert only those "
        "whose file is not in OUTDIR yet)",
    )
    bag.add_argument("--json", action="store_true", help="the summary as one JSON object")
    bag.set_defaults(run=bag_to_pcd)
