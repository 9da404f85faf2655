"""The voxels of downsample: the occupied voxels' sums, counts and first values, in blocks of
points summed in file order, so that the output is the same for any chunk size."""

from __future__ import annotations

from typing import Any

import vantrel

_BITS = 21  # per axis, in a packed key: 2 million voxels along each axis around the first point
_BLOCK = 1 << 20  # points summed at a time: the same sums for any chunk size


class _VoxelTable:
    """The occupied voxels: their keys in sorted order, each with the slot where its sums, count and
    first values are stored (in order of first appearance, grown by doubling, so that a new voxel
    moves only the keys). Keys are three 64-bit voxel indices, packed into one 64-bit number while
    they fit around the first point, and kept as three otherwise; both sort alike, so the output
    never depends on which."""

    def __init__(self, float_columns: int, firsts: list[Any], colors: int) -> None:
        import numpy as np

        self.np = np
        self.base: Any = None
        self.packed = True
        self.keys = np.zeros(0, np.int64)
        self.slots = np.zeros(0, np.int64)
        self.size = 0
        # Column by column, each contiguous: the sums of one field's element over the slots.
        self.sums = [np.zeros(0) for _ in range(float_columns)]
        self.color_sums = [np.zeros(0) for _ in range(colors)]
        self.counts = np.zeros(0, np.int64)
        self.firsts = [np.zeros((0, *f.shape[1:]), f.dtype) for f in firsts]
        self.pending: list[list[Any]] = []
        self.pending_points = 0

    def _keys(self, ijk: Any) -> Any:
        if self.base is None:
            self.base = ijk[0].copy()
        if self.packed:
            rel = ijk - self.base + (1 << (_BITS - 1))
            if len(rel) == 0 or (rel.min() >= 0 and rel.max() < (1 << _BITS)):
                return (rel[:, 0] << (2 * _BITS)) | (rel[:, 1] << _BITS) | rel[:, 2]
            self.packed = False
            self.keys = self._structured(self._unpack(self.keys))
        return self._structured(ijk)

    def _structured(self, ijk: Any) -> Any:
        np = self.np
        out = np.empty(len(ijk), [("i", "<i8"), ("j", "<i8"), ("k", "<i8")])
        out["i"], out["j"], out["k"] = ijk[:, 0], ijk[:, 1], ijk[:, 2]
        return out

    def _unpack(self, keys: Any) -> Any:
        np = self.np
        mask = (1 << _BITS) - 1
        rel = np.column_stack([keys >> (2 * _BITS), (keys >> _BITS) & mask, keys & mask])
        return rel + self.base - (1 << (_BITS - 1))

    def add(self, ijk: Any, floats: Any, colors: Any, firsts: list[Any]) -> None:
        """Points in file order; summed in blocks of a fixed size, whatever the chunks were."""
        self.pending.append([ijk, floats, colors, *firsts])
        self.pending_points += len(ijk)
        while self.pending_points >= _BLOCK:
            self._sum_block(_BLOCK)

    def finish(self) -> None:
        while self.pending_points:
            self._sum_block(min(self.pending_points, _BLOCK))

    def in_key_order(self, values: Any) -> Any:
        return values[self.slots]

    def _reserve(self, size: int) -> None:
        if size <= len(self.counts):
            return
        capacity = max(size, 2 * len(self.counts), 1024)
        self.sums = [_grown(self.np, column, capacity) for column in self.sums]
        self.color_sums = [_grown(self.np, column, capacity) for column in self.color_sums]
        self.counts = _grown(self.np, self.counts, capacity)
        self.firsts = [_grown(self.np, f, capacity) for f in self.firsts]

    def _sum_block(self, n: int) -> None:
        np = self.np
        joined = [np.concatenate(parts) for parts in zip(*self.pending, strict=True)]
        block = [part[:n] for part in joined]
        rest = [part[n:] for part in joined]
        self.pending = [rest] if len(rest[0]) else []
        self.pending_points = len(rest[0])
        ijk, floats, colors, *firsts = block
        keys = self._keys(ijk)
        # The block's voxels (one sort), then the slot of each: found in the table, or a new one.
        voxels, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
        inverse = inverse.reshape(-1)
        at = np.searchsorted(self.keys, voxels)
        known = np.zeros(len(voxels), bool)
        inside = at < len(self.keys)
        known[inside] = self.keys[at[inside]] == voxels[inside]
        where = np.empty(len(voxels), np.int64)
        where[known] = self.slots[at[known]]
        fresh = np.arange(self.size, self.size + int((~known).sum()))
        where[~known] = fresh
        if len(fresh):
            self._reserve(self.size + len(fresh))
            self.keys = np.insert(self.keys, at[~known], voxels[~known])
            self.slots = np.insert(self.slots, at[~known], fresh)
            self.size += len(fresh)
            # A voxel's first point in file order gives its integer values.
            for table_values, values in zip(self.firsts, firsts, strict=True):
                table_values[fresh] = values[first[~known]]
        u = len(voxels)
        self.counts[where] += np.bincount(inverse, minlength=u)
        for column, values in zip(self.sums, floats.T, strict=True):
            column[where] += np.bincount(inverse, weights=values, minlength=u)
        for column, values in zip(self.color_sums, colors.T, strict=True):
            column[where] += np.bincount(inverse, weights=values, minlength=u)


def _grown(np: Any, values: Any, capacity: int) -> Any:
    grown = np.zeros((capacity, *values.shape[1:]), values.dtype)
    grown[: len(values)] = values
    return grown


class VoxelSums:
    """What downsample keeps of a cloud's fields, voxel by voxel: x, y, z and float fields summed,
    packed rgb/rgba summed per channel, integer fields the voxel's first value."""

    def __init__(self, header: vantrel.PcdHeader) -> None:
        self.header = header
        self.table: _VoxelTable | None = None
        self.plan: list[tuple[str, str]] = []  # (field, how): "float", "color" or "first"

    def add(self, ijk: Any, chunk: vantrel.PointCloud, finite: Any) -> None:
        """The points of a chunk that `finite` keeps, in voxels `ijk`."""
        import numpy as np

        if self.table is None:
            for name, values in chunk.fields.items():
                if name in {field.name for field in self.header.fields if field.padding}:
                    continue
                color = name in ("rgb", "rgba") and values.ndim == 1 and values.dtype.itemsize == 4
                self.plan.append((name, "color" if color else "float" if values.dtype.kind == "f" else "first"))
        plan = self.plan
        float_parts = [_columns(chunk.fields[n][finite]) for n, how in plan if how == "float"]
        color_parts = [
            vantrel.unpack_rgb(chunk.fields[n][finite], alpha=n == "rgba").astype(np.float64)
            for n, how in plan
            if how == "color"
        ]
        firsts = [chunk.fields[n][finite] for n, how in plan if how == "first"]
        floats = np.concatenate(float_parts, axis=1) if float_parts else np.zeros((len(ijk), 0))
        colors = np.concatenate(color_parts, axis=1) if color_parts else np.zeros((len(ijk), 0))
        if self.table is None:
            self.table = _VoxelTable(floats.shape[1], firsts, colors.shape[1])
        self.table.add(ijk, floats, colors, firsts)

    def result(self) -> dict[str, Any]:
        """One point per voxel, in voxel order, as the fields to write."""
        import numpy as np

        table = self.table
        assert table is not None
        table.finish()
        counts = np.maximum(table.in_key_order(table.counts), 1)
        means = np.column_stack([table.in_key_order(column) / counts for column in table.sums] or [counts[:0]])
        color_means = np.column_stack(
            [np.rint(table.in_key_order(column) / counts).astype(np.uint8) for column in table.color_sums]
            or [counts[:0]]
        )
        out: dict[str, Any] = {}
        f = c = k = 0
        for name, how in self.plan:
            field = next(field for field in reversed(self.header.fields) if field.name == name)
            if how == "float":
                values = means[:, f : f + field.count].astype(field.dtype)
                out[name] = values[:, 0] if field.count == 1 else values
                f += field.count
            elif how == "color":
                channels = 4 if name == "rgba" else 3
                out[name] = vantrel.pack_rgb(color_means[:, c : c + channels]).view(field.dtype)  # the same bits
                c += channels
            else:
                out[name] = table.in_key_order(table.firsts[k])
                k += 1
        return out


def _columns(values: Any) -> Any:
    """A field's values as float64 columns, one per element."""
    import numpy as np

    return values.reshape(len(values), int(np.prod(values.shape[1:]))).astype(np.float64)
