"""Small PCD files for tests: a header, then whatever data section a test needs."""

import ctypes
import ctypes.util
import io
import struct

import numpy as np


def header(fields="x y z", size=None, type=None, count=None, points=1, data="ascii", extra=(), newline="\n"):
    """Header text in the usual line order. SIZE/TYPE/COUNT default to 4/F/1
    per field; pass False to leave a line out, or a string to write it as is."""
    names = fields.split()
    n = len(names)

    def line(key, value, default):
        if value is False:
            return []
        if value is None:
            value = " ".join([default] * n)
        return [f"{key} {value}"]

    lines = ["# .PCD v0.7 - Point Cloud Data file format", "VERSION 0.7", f"FIELDS {fields}"]
    lines += line("SIZE", size, "4") + line("TYPE", type, "F") + line("COUNT", count, "1")
    lines += [f"WIDTH {points}", "HEIGHT 1", "VIEWPOINT 0 0 0 1 0 0 0", f"POINTS {points}"]
    lines += list(extra)
    lines.append(f"DATA {data}")
    return (newline.join(lines) + newline).encode()


def write(path, head, body=b""):
    """Writes header bytes (or text) and a data section; returns the path as str."""
    if isinstance(head, str):
        head = head.encode()
    if isinstance(body, str):
        body = body.encode()
    path.write_bytes(head + body)
    return str(path)


def records(dtype, rows):
    """Packed little-endian records: the record image of the binary encoding."""
    return np.array(rows, dtype=np.dtype(dtype)).tobytes()


def planes(dtype, rows):
    """The field-major image of the binary_compressed encoding."""
    array = np.array(rows, dtype=np.dtype(dtype))
    return b"".join(np.ascontiguousarray(array[name]).tobytes() for name in array.dtype.names)


_lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")


def lzf_compress(raw):
    out = ctypes.create_string_buffer(len(raw) + 64)
    n = _lzf.lzf_compress(raw, len(raw), out, len(out))
    assert n > 0
    return out.raw[:n]


def lzf_literal(raw):
    """An LZF stream of literal runs only: a control byte (length - 1) per run of up to 32."""
    out = bytearray()
    for i in range(0, len(raw), 32):
        chunk = raw[i : i + 32]
        out.append(len(chunk) - 1)
        out += chunk
    return bytes(out)


def block(payload, uncompressed, compressed=None):
    """A binary_compressed data section: the two sizes, then the payload."""
    if compressed is None:
        compressed = len(payload)
    return struct.pack("<II", compressed, uncompressed) + payload


class Unseekable(io.RawIOBase):
    """A stream over bytes that cannot seek, as a pipe or a socket."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)
