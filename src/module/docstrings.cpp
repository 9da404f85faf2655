// The compiled module's docstrings (NumPy's style), whose examples run as doctests in make docs:
// reading and the types here, writing in docstrings_write.cpp.
#include "module/docstrings.h"

namespace vantrel::doc {

const char* const chunks = R"doc(
Iterate over the points from the current position to the end.

Parameters
----------
size : int
    Points a chunk (the last chunk may be shorter).
fields : sequence of str, optional
    The names of the fields to read; all when None.

Yields
------
PointCloud
    Each chunk, as read() gives it.
)doc";

const char* const open_pcd = R"doc(
Open a PCD file for reading in parts, reading its header and nothing more.

Parameters
----------
source : str, bytes, os.PathLike or binary file object
    A path, or a binary file object read from its current position (pipes
    included).

Returns
-------
PcdReader
    ``.header``, then ``read(count)``, ``chunks(size)``, ``seek(point)`` and
    ``tell()``; use it in a with block, or call ``close()``.

Raises
------
PcdOpenError
    The file cannot be opened.
RuntimeError
    A header that read_pcd refuses, with the same message.

Examples
--------
>>> with vantrel.open_pcd("scan.pcd") as reader:
...     sizes = [len(chunk) for chunk in reader.chunks(800)]
>>> sizes
[800, 800, 400]
)doc";

const char* const read = R"doc(
Read the next points.

Parameters
----------
count : int, optional
    How many; all that remain when None or negative, as io's read(-1).
fields : sequence of str, optional
    The names of the fields to read; all when None.

Returns
-------
PointCloud
    The points read (fewer at the end; an empty cloud at the end), whose
    header describes them: points and width their number, height 1, the
    fields and point_step of its records.
)doc";

const char* const read_pcd = R"doc(
Read a whole PCD file, whatever its fields.

Parameters
----------
source : str, bytes, os.PathLike or binary file object
    A path, or a binary file object (``open(path, "rb")``, ``io.BytesIO``, a
    tarfile member, an fsspec file) read from its current position; a
    seekable one is left just after the data that was read.
fields : sequence of str, optional
    The names of the fields to read; all when None. Only those are decoded
    and held; ``.fields`` and ``.records`` hold them, in header order, and
    ``.points`` works when x, y and z are among them.
mmap : bool, default False
    Map the file instead of reading it (a path whose DATA is binary): the
    arrays are views over a private, copy-on-write mapping, so opening costs
    the same for any size, pages are read as they are touched, and writes to
    the arrays never reach the file. As with numpy.memmap, another process
    that truncates the file while it is mapped makes access to the lost pages
    fail (the process gets SIGBUS).

Returns
-------
PointCloud
    ``.header``, ``.fields`` (every field, x, y and z included), ``.points``
    and ``.records``, all views into one decoded buffer.

Raises
------
PcdOpenError
    The file cannot be opened (also a FileNotFoundError, IsADirectoryError
    or PermissionError as the cause is).
RuntimeError
    The header is not a PCD header vantrel can read, or the file is not PCD.
ValueError
    A field asked for is not in the file, or is asked for twice.
TypeError
    The source is neither a path nor a binary file object.

Warns
-----
DataWarning
    The data section holds fewer points than POINTS, or an ascii value cannot
    be read; what the file lacks reads as zero.

Examples
--------
>>> cloud = vantrel.read_pcd("scan.pcd")
>>> len(cloud), list(cloud.fields)
(2000, ['x', 'y', 'z', 'intensity'])
>>> vantrel.read_pcd("scan.pcd", fields=["intensity"]).fields["intensity"].dtype
dtype('float32')
)doc";

const char* const reader = R"doc(A PCD file opened by open_pcd: its header is read, its data is read on demand.

Read points with read(count) or chunks(size), each a PointCloud of the points
read (of chosen fields, with fields=); move with seek(point) and tell(). A
context manager: close() closes a path the reader opened, and leaves a file
object open (a seekable one just after what was read). len(reader) is POINTS.

Examples
--------
>>> with vantrel.open_pcd("map.pcd") as reader:
...     first = reader.read(10)
...     _ = reader.seek(-5, os.SEEK_END)
...     last = reader.read()
>>> len(first), len(last)
(10, 5)
)doc";

const char* const seek = R"doc(
Move to a point and return it.

Binary data on a seekable source moves at once; ascii and binary_compressed
data go back by reading the section again (decoded planes are reused).

Parameters
----------
point : int
    Counted from the first point (whence os.SEEK_SET, the default), from the
    current one (os.SEEK_CUR) or from the end (os.SEEK_END), as io's seek
    counts bytes. The target must lie from 0 to the number of points.
whence : int, default os.SEEK_SET

Returns
-------
int
    The new position.

Raises
------
ValueError
    A point out of range; the position is kept.
io.UnsupportedOperation
    Going back on a source that cannot seek.
)doc";

const char* const read_pcd_header = R"doc(
Read the header of a PCD file, and nothing more.

Parameters
----------
source : str, bytes, os.PathLike or binary file object
    A path, or a binary file object read from its current position; a
    seekable one is left at the first byte of data.

Returns
-------
PcdHeader
    version, fields, width, height, points, viewpoint, data, point_step,
    data_offset and organized.

Raises
------
PcdOpenError
    The file cannot be opened.
RuntimeError
    The header is not a PCD header vantrel can read.

Examples
--------
>>> header = vantrel.read_pcd_header("kinect.pcd")
>>> header.width, header.height, header.organized
(50, 40, True)
)doc";

const char* const set_num_threads = R"doc(
Set how many threads a load or a write may use, its caller's included.

Workers come from one pool that every load and write shares. The default is
the CPUs this process may run on, or the environment variable
VANTREL_NUM_THREADS, read when vantrel is imported. Small files use one
thread whatever this says.

Parameters
----------
n : int
    1 or more; more than the CPUs is allowed.

Raises
------
ValueError
    n is less than 1.

Examples
--------
>>> before = vantrel.get_num_threads()
>>> vantrel.set_num_threads(1)
>>> vantrel.get_num_threads()
1
>>> vantrel.set_num_threads(before)
)doc";

const char* const cloud = R"doc(A whole PCD file, as read_pcd gives it.

len(cloud) is POINTS. Every array shares the one decoded buffer.
``cloud['x']`` is ``cloud.fields['x']``; ``cloud[i:j]``, ``cloud[mask]`` and
``cloud[indices]`` are a PointCloud of those points; ``np.asarray(cloud)`` is
``cloud.records``.

Attributes
----------
header : PcdHeader
fields : dict of str to numpy.ndarray
    Every field, x, y and z included, in header order: zero-copy views of
    shape (N,), or (N, COUNT) for COUNT above 1.
points : numpy.ndarray
    (N, 3) x, y, z exactly as load_pcd gives it; RuntimeError when the file
    lacks one of them.
records : numpy.ndarray
    Structured array over the whole buffer (itemsize point_step), zero-copy;
    fields NumPy cannot place (a repeated name's earlier fields, overlapping
    bytes, COUNT below 1) are left out.

Examples
--------
>>> cloud = vantrel.read_pcd("scan.pcd")
>>> cloud.points.shape, cloud["intensity"].dtype
((2000, 3), dtype('float32'))
>>> near = cloud[np.linalg.norm(cloud.points, axis=1) < 1]
>>> len(near) < len(cloud)
True
)doc";

const char* const field = R"doc(One field of a PCD header: name, TYPE letter, SIZE, COUNT and byte offset.

Immutable; equal fields compare equal and hash alike.

Attributes
----------
name : str
type : str
    "F", "I" or "U" (as the file says).
size, count, offset : int
    SIZE and COUNT, and where the field's first element lies in a record.

Examples
--------
>>> [(f.name, f.type, f.size, f.count) for f in vantrel.read_pcd_header("scan.pcd").fields]
[('x', 'F', 4, 1), ('y', 'F', 4, 1), ('z', 'F', 4, 1), ('intensity', 'F', 4, 1)]
)doc";

const char* const header = R"doc(The header of a PCD file, as read_pcd_header and PointCloud.header give it.

Immutable; equal headers compare equal and hash alike.

Attributes
----------
version : str
    The first word of the VERSION line ("" when there is none).
fields : tuple of PcdField
    In header order, with the offsets the loader lays out.
width, height, points : int
    WIDTH, HEIGHT and POINTS.
viewpoint : tuple of 7 float
    The VIEWPOINT values (tx ty tz qw qx qy qz); (0, 0, 0, 1, 0, 0, 0) stands
    in for a missing line or missing values.
data : str
    The DATA value, lower-cased.
point_step : int
    Bytes in one point record.
data_offset : int
    Where the data section starts, in bytes from the start of the PCD.
organized : bool
    True when HEIGHT > 1 and WIDTH x HEIGHT == POINTS.

Examples
--------
>>> header = vantrel.read_pcd_header("scan.pcd")
>>> header.points, header.data, header.viewpoint
(2000, 'binary_compressed', (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0))
)doc";

const char* const from_records = R"doc(A PointCloud over records already in memory: a NumPy structured array.

Each named member of the dtype is a field (a (COUNT,) subarray a field of
COUNT elements) at its offset; the record's itemsize is the point step, so
gaps stay gaps, and members named "_" are padding.

Parameters
----------
records : numpy.ndarray
    Structured, of shape (N,), or (HEIGHT, WIDTH) for an organized cloud. The
    cloud's arrays are views of it when it is contiguous (a copy is made
    otherwise).
width, height : int, optional
    The grid, as write_pcd takes them (WIDTH x HEIGHT must be N).
viewpoint : sequence of 7 float, optional
    tx ty tz qw qx qy qz.

Returns
-------
PointCloud

Raises
------
TypeError
    A dtype that is not structured, or a member PCD has no type for.
ValueError
    Members that share bytes or are not in native byte order, names a PCD
    file cannot hold, or a grid that does not hold the points.

Examples
--------
>>> records = np.zeros(4, [("x", "f4"), ("y", "f4"), ("z", "f4"), ("ring", "u2")])
>>> cloud = vantrel.PointCloud.from_records(records.reshape(2, 2))
>>> cloud.header.organized, np.shares_memory(cloud["ring"], records)
(True, True)
)doc";

}  // namespace vantrel::doc
