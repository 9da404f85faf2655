"""pandas DataFrames and NumPy structured arrays, to and from point clouds."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas

    from vantrel import PointCloud

    Column = npt.NDArray[Any]


def column_names(name: str, count: int) -> list[str]:
    """A field's columns where there is no COUNT (a DataFrame, LAS extra bytes, PLY properties):
    the field itself, or for COUNT above 1 one column per element, name_0 to name_{COUNT-1}."""
    return [name] if count == 1 else [f"{name}_{k}" for k in range(count)]


def element_columns(name: str, values: Column) -> dict[str, Column]:
    """A field's values as its columns (column_names), (N,) each."""
    if values.ndim == 1:
        return {name: values}
    return dict(zip(column_names(name, values.shape[1]), values.T, strict=True))


def to_pandas(self: PointCloud) -> pandas.DataFrame:
    """The cloud as a pandas DataFrame (a copy): one column per field in header order, with the
    field's dtype; a field of COUNT above 1 is the columns name_0 to name_{COUNT-1}; padding fields
    "_" are left out. Two fields of one name are a ValueError. Needs pandas.

    Examples:
        >>> vantrel.read_pcd("scan.pcd").to_pandas().columns.tolist()
        ['x', 'y', 'z', 'intensity']
    """
    cloud = self
    try:
        import pandas
    except ImportError:
        raise ImportError("PointCloud.to_pandas needs pandas: pip install pandas") from None
    seen: set[str] = set()
    for field in cloud.header.fields:
        if field.count < 1 or field.padding:
            continue
        if field.name in seen:
            raise ValueError(f"this cloud has two fields named {field.name!r}, and a frame holds one column of a name")
        seen.add(field.name)
    columns: dict[str, Column] = {}
    padding = {field.name for field in cloud.header.fields if field.padding}
    for name, values in cloud.fields.items():
        if name in padding:
            continue
        for column, data in element_columns(name, values).items():
            if column in columns:
                raise ValueError(
                    f"the column {column!r} would stand twice in the frame (a field and a field's element)"
                )
            columns[column] = data
    return pandas.DataFrame(columns, copy=True)


# The kinds of pandas columns that are no NumPy numbers: refused, naming the column.
_NOT_NUMBERS = "object, string, category, nullable, bool"


def grouped(columns: dict[str, Column]) -> dict[str, Column]:
    """Consecutive columns name_0 .. name_{k-1} (k of 2 or more) of one dtype as one field of COUNT
    k, as element_columns split it; a name that is a column too keeps them apart."""
    import numpy as np

    names = list(columns)
    fields: dict[str, Column] = {}
    i = 0
    while i < len(names):
        base = names[i][:-2] if names[i].endswith("_0") else None
        k = 0
        while (
            base is not None
            and i + k < len(names)
            and names[i + k] == column_names(base, k + 2)[k]
            and columns[names[i + k]].dtype == columns[names[i]].dtype
        ):
            k += 1
        if k >= 2 and base and base not in columns and base not in fields:
            fields[base] = np.stack([columns[names[i + j]] for j in range(k)], axis=1)
            i += k
        else:
            fields[names[i]] = columns[names[i]]
            i += 1
    return fields


def as_fields(value: object, group: bool = True) -> dict[str, Column] | None:
    """The fields write_pcd takes from a pandas DataFrame (each column a field of COUNT 1, or with
    `group` a run of columns name_0 .. name_{k-1} one field of COUNT k; the index is not written)
    or a NumPy structured array (each named field a field, a subarray field a COUNT), or None for
    anything else."""
    import numpy as np

    if isinstance(value, np.ndarray) and value.dtype.names is not None:
        if value.ndim != 1:
            raise ValueError(f"a structured array is written as (N,) records, not {value.shape}")
        return {name: value[name] for name in value.dtype.names}
    if type(value).__module__.split(".")[0] == "pandas" and hasattr(value, "columns") and hasattr(value, "dtypes"):
        frame: pandas.DataFrame = value
        fields: dict[str, Column] = {}
        for column in frame.columns:
            if not isinstance(column, str):
                raise TypeError(f"field names must be str, not {type(column).__name__} ({column!r})")
            dtype = frame[column].dtype
            if not isinstance(dtype, np.dtype) or dtype.kind not in "fiu":
                raise TypeError(
                    f"column {column!r} has dtype {dtype}; a PCD field holds NumPy numbers (float, int or "
                    f"uint), not {_NOT_NUMBERS} columns: convert it first (for example .astype('float32'))"
                )
            fields[column] = frame[column].to_numpy()
        return grouped(fields) if group else fields
    return None


def copy_runs(target: Any, source: Any, moves: list[tuple[int, int, int]]) -> None:
    """Bytes of one structured array's rows copied into another's, of as many rows: `moves` are
    (target offset, source offset, size) within a row; moves that continue each other in both are
    joined, and each run is copied in one pass as an opaque item (a field at a time costs a pass
    a field, converting)."""
    import numpy as np

    def run(array: Any, offset: int, size: int) -> Any:
        layout = {"names": ["run"], "formats": [f"V{size}"], "offsets": [offset], "itemsize": array.dtype.itemsize}
        return array.view(np.dtype(layout))["run"]  # type: ignore[call-overload]

    joined: list[list[int]] = []
    for to, at, size in sorted(moves):
        if joined and joined[-1][0] + joined[-1][2] == to and joined[-1][1] + joined[-1][2] == at:
            joined[-1][2] += size
        else:
            joined.append([to, at, size])
    for to, at, size in joined:
        run(target, to, size)[...] = run(source, at, size)
