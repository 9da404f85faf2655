// The compiled module's docstrings for writing (NumPy's style), whose examples run as doctests in
// make docs.
#include "module/docstrings.h"

namespace vantrel::doc {

const char* const write_pcd = R"doc(
Write a PCD file.

Every file written reads back bit for bit with read_pcd and load_pcd (in
ascii, NaN payloads other than the sign are not kept).

Parameters
----------
target : str, bytes, os.PathLike or binary file object
    A path, replaced only once the new file is complete (on any failure it
    keeps its old content, or stays absent), or a binary file object with
    ``write()``.
fields : mapping of str to array, PointCloud, pandas.DataFrame or structured array, optional
    A mapping from name to array, written in the mapping's order, or a
    PointCloud (whose header also gives WIDTH, HEIGHT and VIEWPOINT). Arrays
    are (N,) or (N, COUNT), of dtype float32, float64, int8, int16, int32,
    int64, uint8, uint16, uint32 or uint64. Fields named "_" are padding in
    PCD files and are not written.
points : array of shape (N, 3), optional
    float32 or float64, written first as x, y and z.
data : {"binary_compressed", "binary", "ascii"}
    The encoding of the data section.
width, height : int, optional
    The grid of an organized cloud; WIDTH x HEIGHT must be N. By default
    WIDTH N and HEIGHT 1.
viewpoint : sequence of 7 float, optional
    tx ty tz qw qx qy qz, each finite; by default 0 0 0 1 0 0 0.
group : bool, default True
    A DataFrame's consecutive columns name_0 .. name_{k-1} of one dtype are
    one field `name` of COUNT k, as PointCloud.to_pandas splits such a field;
    False writes every column as a field of its own.

Raises
------
TypeError
    Fields of a type or dtype PCD cannot hold (an (N, 3) array goes to
    ``points=``).
ValueError
    Fields of different lengths, a name given twice or holding whitespace, a
    grid that does not hold the points, an unknown encoding.
OSError
    The target cannot be written.

Warns
-----
DataWarning
    ascii cannot keep the bits of NaNs with a payload (packed colors as F 4).

Examples
--------
>>> xyz = np.zeros((4, 3), np.float32)
>>> vantrel.write_pcd("out.pcd", {"intensity": np.arange(4, dtype=np.uint16)}, points=xyz, data="binary")
>>> vantrel.read_pcd_header("out.pcd").fields[-1]
PcdField(name='intensity', type='U', size=2, count=1, offset=12)
)doc";

const char* const open_pcd_writer = R"doc(
Open a PCD file for writing a piece at a time.

binary and ascii stream each piece out: memory stays at a piece and a few
MiB. binary_compressed is one LZF stream of field-major planes, so its planes
are held until close() (at most the format's 4 GiB). With points= given, the
file is byte for byte what write_pcd writes for the whole cloud.

Parameters
----------
target : str, bytes, os.PathLike or binary file object
    A path, replaced only once close() succeeds, or a binary file object with
    ``write()``.
data : {"binary_compressed", "binary", "ascii"}
    The encoding of the data section.
points : int, optional
    The number of points the pieces will add up to. Without it, the counts
    are written at close(), over room the header keeps for them, so the
    target must be able to seek (binary_compressed, which writes its header
    at close(), needs no seeking).
width, height : int, optional
    The grid of an organized cloud, as for write_pcd, checked against the
    total at close().
viewpoint : sequence of 7 float, optional
    tx ty tz qw qx qy qz.
like : PcdHeader, PointCloud, structured dtype or array, optional
    The fields the file will have, fixed now as a first piece of no points
    would fix them: a file closed with no point written still has them.

Returns
-------
PcdWriter
    ``write(fields=None, *, points=None)`` takes a piece as write_pcd takes a
    cloud (the first piece fixes the fields, their dtypes and COUNTs);
    ``close()`` finishes the file.

Raises
------
ValueError
    An unknown encoding, or a grid or viewpoint write_pcd would refuse.

Examples
--------
>>> with vantrel.open_pcd("map.pcd") as reader:
...     with vantrel.open_pcd_writer("copy.pcd", data="binary", points=len(reader)) as writer:
...         for chunk in reader.chunks(500):
...             writer.write(chunk)
>>> len(vantrel.read_pcd("copy.pcd"))
2000
>>> with vantrel.open_pcd_writer("none.pcd", like=vantrel.read_pcd_header("map.pcd")):
...     pass
>>> list(vantrel.read_pcd("none.pcd").fields)
['x', 'y', 'z', 'intensity']
)doc";

const char* const writer = R"doc(A PCD file written a piece at a time, made by open_pcd_writer.

write(fields, points=...) appends a piece; close() finishes the file. A
context manager: leaving the with block by an exception, or dropping the
writer unclosed, leaves a path target as it was (old content, or absent).
``written`` is the number of points written so far.
)doc";

const char* const writer_write = R"doc(
Append a piece.

Parameters
----------
fields : mapping of str to array, PointCloud, pandas.DataFrame or structured array, optional
    As write_pcd takes them; a PointCloud's grid and viewpoint are the
    writer's, not the piece's.
points : array of shape (N, 3), optional
    Written first as x, y and z.
group : bool, default True
    As for write_pcd.

Raises
------
ValueError
    The first piece fixes the fields (names, dtypes, COUNTs, in order); a
    later piece that differs is refused naming the first field that differs,
    before any of it is written.
)doc";

}  // namespace vantrel::doc
