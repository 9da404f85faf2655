# Types of vantrel: reading PCD files (whole, in parts, or the header alone) and writing them (whole or
# in pieces).
"""Fast PCD loading (ASCII, binary, binary_compressed)"""

from collections.abc import Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, final, overload

import numpy as np
import numpy.typing as npt
from _typeshed import StrOrBytesPath, SupportsRead, SupportsWrite

from vantrel._colors import pack_rgb as pack_rgb
from vantrel._colors import unpack_rgb as unpack_rgb
from vantrel._convert import ConvertError as ConvertError
from vantrel._convert import convert as convert
from vantrel._types import Data

__version__: str

# A path, or a binary file object read from its current position.
_Source = StrOrBytesPath | SupportsRead[bytes]

class DataWarning(UserWarning):
    """A PCD data section that holds fewer points than its header declares, or a value that
    cannot be read. What the file lacks reads as zero."""

class Error(Exception):
    """The base of vantrel's own errors, beside the built-in one each also is (OSError,
    ValueError, KeyError): except vantrel.Error catches them all. The engine's other refusals of a
    file are RuntimeError."""

class PcdOpenError(Error, OSError, RuntimeError):
    """A PCD file that cannot be opened: an OSError with errno, strerror and filename, and a
    RuntimeError with the message 'Cannot open PCD file: <name>'."""

class FieldNotFoundError(Error, KeyError, ValueError): ...
class PcdFileNotFoundError(PcdOpenError, FileNotFoundError): ...
class PcdIsADirectoryError(PcdOpenError, IsADirectoryError): ...
class PcdPermissionError(PcdOpenError, PermissionError): ...

@final
class PcdField:
    """One field of a PCD header: name, TYPE letter, SIZE, COUNT and byte offset."""

    @property
    def name(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def dtype(self) -> np.dtype[Any] | None:
        """The NumPy dtype of one element, or None for a TYPE and SIZE that PCD has no element type for."""
    @property
    def padding(self) -> bool:
        """True for a padding field (named "_"), whose bytes hold nothing: frames and writes leave it out."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class PcdHeader:
    """The header of a PCD file, as read_pcd_header and PointCloud.header give it."""

    @property
    def version(self) -> str: ...
    @property
    def fields(self) -> tuple[PcdField, ...]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def points(self) -> int: ...
    @property
    def viewpoint(self) -> tuple[float, float, float, float, float, float, float]: ...
    @property
    def data(self) -> str: ...
    @property
    def point_step(self) -> int: ...
    @property
    def data_offset(self) -> int: ...
    @property
    def organized(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class PointCloud:
    """A whole PCD file, as read_pcd gives it."""

    @property
    def header(self) -> PcdHeader: ...
    @property
    def fields(self) -> dict[str, npt.NDArray[Any]]: ...
    @property
    def points(self) -> npt.NDArray[np.float32] | npt.NDArray[np.float64]: ...
    @property
    def records(self) -> npt.NDArray[np.void]: ...
    def to_pandas(self) -> Any:
        """The cloud as a pandas DataFrame (a copy): one column per field in header order."""
    def to_arrow(self, crs: Any = None) -> Any:
        """The cloud as a pyarrow.Table (see vantrel.parquet.to_arrow)."""
    def _repr_html_(self) -> str:
        """A notebook's picture of the cloud: a small 3D page of it (see vantrel view)."""
    @staticmethod
    def from_records(
        records: npt.ArrayLike,
        *,
        width: int | None = None,
        height: int | None = None,
        viewpoint: Sequence[float] | None = None,
    ) -> PointCloud:
        """A PointCloud over records already in memory: a NumPy structured array."""
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
    @overload
    def __getitem__(self, key: str) -> npt.NDArray[Any]: ...
    @overload
    def __getitem__(self, key: int | np.integer[Any]) -> np.void: ...
    @overload
    def __getitem__(
        self, key: slice | Sequence[int] | npt.NDArray[np.bool_] | npt.NDArray[np.integer[Any]]
    ) -> PointCloud: ...
    def __array__(self, dtype: npt.DTypeLike | None = None, *, copy: bool | None = None) -> npt.NDArray[Any]: ...

@final
class _VoxelGrid:
    """The occupied voxels of vantrel.tools.downsample (private)."""

    def __init__(self, sums: int, first_bytes: int, capacity: int = ...) -> None: ...
    def add(
        self,
        ijk: npt.NDArray[np.int64],
        values: npt.NDArray[np.float64],
        firsts: npt.NDArray[np.uint8],
        start: int = 0,
    ) -> int: ...
    def plan(
        self,
        record_bytes: int,
        xyz: Sequence[tuple[int, str, int]],
        size: Sequence[float],
        sums: Sequence[tuple[int, str, int]],
        colors: Sequence[tuple[int, int]],
        firsts: Sequence[tuple[int, int]],
    ) -> None: ...
    def add_records(self, records: npt.NDArray[np.uint8], start: int = 0) -> tuple[int, int]: ...
    def means(
        self,
        parts: list[npt.NDArray[np.uint8]],
        out_bytes: int,
        floats: Sequence[tuple[int, str, int, int]],
        colors: Sequence[tuple[int, int, int]],
        firsts: Sequence[tuple[int, int, int]],
    ) -> npt.NDArray[np.uint8]: ...
    def sort(self) -> None: ...
    def drain(self, count: int) -> npt.NDArray[np.uint8]: ...
    def result(self) -> npt.NDArray[np.uint8]: ...
    @property
    def record_bytes(self) -> int: ...
    @property
    def full(self) -> bool: ...
    def __len__(self) -> int: ...

def _tile_records(
    records: npt.NDArray[np.uint8],
    xyz: Sequence[tuple[int, str, int]],
    origin: tuple[float, float],
    size: tuple[float, float],
) -> tuple[npt.NDArray[np.uint8], list[tuple[int, int, int, int]], int]:
    """A chunk's records (n, record bytes) in tile order (private)."""

class _Outline:
    """A polygon's rings, their edges ordered once for crop's sweeps (private)."""
    def __init__(self, vertices: npt.NDArray[np.float64], starts: npt.NDArray[np.int64]) -> None: ...
    def flip(self, xs: npt.ArrayLike, ys: npt.ArrayLike, hits: npt.NDArray[Any], bands: int = 0) -> None:
        """Flips hits of the points within the vertices' bounding box whose ray to the right crosses an odd number
        of the edges, swept in bands of heights side by side (0: as the threads allow) (private)."""

def load_pcd(
    filename: str | bytes | bytearray,
) -> tuple[npt.NDArray[np.float32] | npt.NDArray[np.float64], dict[str, npt.NDArray[Any]]]:
    """Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N, 3) with x, y, z: float32, or float64
            when the file stores them as doubles or as 32- or 64-bit integers
        fields: dict of every other field's values, keyed by name, in header
            order: shape (N,) for COUNT 1 and (N, COUNT) above, with the dtype
            that the field's TYPE and SIZE give
    """

def read_pcd(source: _Source, *, fields: Sequence[str] | None = None, mmap: bool = False) -> PointCloud:
    """Read a whole PCD file, whatever its fields, from a path or a binary file object: every field,
    or only those named; mmap=True maps the binary data of a path instead of reading it."""

@final
class PcdReader:
    """A PCD file opened by open_pcd: its header is read, its data is read on demand."""

    @property
    def header(self) -> PcdHeader: ...
    @property
    def closed(self) -> bool: ...
    def read(self, count: int | None = None, *, fields: Sequence[str] | None = None) -> PointCloud: ...
    def chunks(self, size: int, *, fields: Sequence[str] | None = None) -> Iterator[PointCloud]: ...
    def tell(self) -> int: ...
    def seek(self, point: int, whence: int = 0) -> int: ...
    def close(self) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[PointCloud]: ...
    def __enter__(self) -> PcdReader: ...
    def __exit__(
        self, type: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def open_pcd(source: _Source) -> PcdReader:
    """Open a PCD file for reading in parts, reading its header and nothing more."""

def read_pcd_header(source: _Source) -> PcdHeader:
    """Read the header of a PCD file, and nothing more."""

def set_num_threads(n: int) -> None:
    """Set how many threads a load or a write may use, its caller's included (1 or more)."""

def get_num_threads() -> int:
    """The number of threads a load or a write may use, its caller's included."""

# A pandas DataFrame or a NumPy structured array is taken too.
_Fields = Mapping[str, npt.ArrayLike] | PointCloud | npt.NDArray[np.void] | Any

def write_pcd(
    target: StrOrBytesPath | SupportsWrite[bytes],
    fields: _Fields | None = None,
    *,
    points: npt.ArrayLike | None = None,
    data: Data = "binary_compressed",
    width: int | None = None,
    height: int | None = None,
    viewpoint: Sequence[float] | None = None,
    group: bool = True,
) -> None:
    """Write a PCD file to a path (replaced only once complete) or a binary file object."""

@final
class PcdWriter:
    """A PCD file written a piece at a time, made by open_pcd_writer."""

    @property
    def closed(self) -> bool: ...
    @property
    def written(self) -> int: ...
    def write(
        self, fields: _Fields | None = None, *, points: npt.ArrayLike | None = None, group: bool = True
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> PcdWriter: ...
    def __exit__(
        self, type: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def open_pcd_writer(
    target: StrOrBytesPath | SupportsWrite[bytes],
    *,
    data: Data = "binary_compressed",
    points: int | None = None,
    width: int | None = None,
    height: int | None = None,
    viewpoint: Sequence[float] | None = None,
    like: PcdHeader | PointCloud | npt.DTypeLike | npt.NDArray[Any] | None = None,
) -> PcdWriter:
    """Open a PCD file for writing a piece at a time."""
