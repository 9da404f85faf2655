"""The optional libraries that some modules build on, imported when first used."""

from __future__ import annotations

import contextlib
import importlib
import os
import uuid
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import Any


def require(module: str, extra: str, what: str) -> ModuleType:
    """The module, or an ImportError that says which extra to install for `what`."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{what} needs {module.split('.')[0]}: pip install 'vantrel[{extra}]'", name=error.name
        ) from error


@contextlib.contextmanager
def replacing(target: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary path beside `target`, renamed to it when the block ends without an error and
    removed when it does not: nothing partial is ever left at `target`."""
    target = Path(target)
    # Named, not made: the writer creates it with the permissions any new file gets.
    partial = target.with_name(f".{target.name}.{os.getpid()}.{uuid.uuid4().hex[:8]}{target.suffix}")
    try:
        yield partial
        partial.replace(target)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def source_name(source: Any) -> str:
    """A path, or a file object's name, for messages."""
    return os.fsdecode(source) if isinstance(source, (str, bytes, os.PathLike)) else getattr(source, "name", "<file>")


def size_and_head(source: Any, count: int) -> tuple[int, bytes] | None:
    """A file's size and its first `count` bytes, for checking a header's claims against the file
    before a library allocates for them; None for a file object that cannot seek (left as it was)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as f:
            return os.fstat(f.fileno()).st_size, f.read(count)
    try:
        start = source.tell()
        size = source.seek(0, os.SEEK_END) - start
        source.seek(start)
        head = source.read(count)
        source.seek(start)
    except (AttributeError, OSError, ValueError):
        return None
    return size, head
