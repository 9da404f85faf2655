"""The voxels of downsample: the occupied voxels' sums, counts and first values, kept by the
engine's voxel table (vantrel._VoxelGrid), which adds each point to its voxel in file order, so
that the output is the same for any chunk size."""

from __future__ import annotations

from typing import Any

import vantrel


class VoxelSums:
    """What downsample keeps of a cloud's fields, voxel by voxel: x, y, z and float fields summed,
    packed rgb/rgba summed per channel, integer fields the voxel's first value."""

    def __init__(self, header: vantrel.PcdHeader) -> None:
        self.header = header
        self.grid: Any = None
        self.plan: list[tuple[str, str]] = []  # (field, how): "float", "color" or "first"
        self.firsts: Any = None  # the dtype of the first values' records

    def add(self, ijk: Any, chunk: vantrel.PointCloud, finite: Any) -> None:
        """The points of a chunk that `finite` keeps (all of them when it is None), in voxels `ijk`."""
        import numpy as np

        if self.grid is None:
            self._plan(chunk)

        def kept(name: str) -> Any:
            values = chunk.fields[name]
            return values if finite is None else values[finite]

        n = len(ijk)
        # One row per summed value, filled straight from the fields' views (cast on the way).
        fields = chunk.fields
        rows = sum(int(np.prod(fields[name].shape[1:])) for name, how in self.plan if how == "float")
        rows += sum(4 if name == "rgba" else 3 for name, how in self.plan if how == "color")
        values = np.empty((rows, n))
        row = 0
        for name, how in self.plan:
            if how == "float":
                columns = kept(name).reshape(n, int(np.prod(fields[name].shape[1:])))
                values[row : row + columns.shape[1]] = columns.T
                row += columns.shape[1]
        for name, how in self.plan:
            if how == "color":
                channels = vantrel.unpack_rgb(kept(name), alpha=name == "rgba")
                values[row : row + channels.shape[1]] = channels.T
                row += channels.shape[1]
        firsts = np.empty(n, self.firsts)
        for name, how in self.plan:
            if how == "first":
                firsts[name] = kept(name)
        if self.grid is None:
            self.grid = vantrel._VoxelGrid(rows, self.firsts.itemsize)
        self.grid.add(ijk, values, firsts.view(np.uint8).reshape(n, self.firsts.itemsize))

    def _plan(self, chunk: vantrel.PointCloud) -> None:
        import numpy as np

        padding = {field.name for field in self.header.fields if field.padding}
        for name, values in chunk.fields.items():
            if name in padding:
                continue
            color = name in ("rgb", "rgba") and values.ndim == 1 and values.dtype.itemsize == 4
            self.plan.append((name, "color" if color else "float" if values.dtype.kind == "f" else "first"))
        self.firsts = np.dtype(
            [(n, chunk.fields[n].dtype, chunk.fields[n].shape[1:]) for n, how in self.plan if how == "first"]
        )

    def result(self) -> dict[str, Any]:
        """One point per voxel, in voxel order, as the fields to write."""
        import numpy as np

        assert self.grid is not None
        _, counts, sums, firsts = self.grid.result()
        firsts = firsts.reshape(-1).view(self.firsts) if self.firsts.itemsize else {}
        means = sums / np.maximum(counts, 1)[:, None]
        out: dict[str, Any] = {}
        column = 0
        fields = {field.name: field for field in self.header.fields}  # a repeated name: its last field
        for name, how in self.plan:
            field = fields[name]
            if how == "float":
                values = means[:, column : column + field.count].astype(field.dtype)
                out[name] = values[:, 0] if field.count == 1 else values
                column += field.count
        for name, how in self.plan:
            field = fields[name]
            if how == "color":
                channels = 4 if name == "rgba" else 3
                rounded = np.rint(means[:, column : column + channels]).astype(np.uint8)
                out[name] = vantrel.pack_rgb(rounded).view(field.dtype)  # the same bits
                column += channels
            elif how == "first":
                out[name] = firsts[name]
        return {name: out[name] for name, _ in self.plan}
