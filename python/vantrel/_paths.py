"""The PCD files that a list of paths names: one rule for every command, map tool and read_pcds.

A file stands for itself; a folder for every *.pcd under it, at any depth, in the order of their
paths' parts, hidden files and folders (a run's scratch files, .git) left out, links to folders
not followed (a loop would never end)."""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path
from typing import Any


def _wanted(relative: str) -> bool:
    parts = relative.split("/")
    return parts[-1].endswith(".pcd") and not any(part.startswith(".") for part in parts)


def _ordered(names: Iterable[str]) -> list[str]:
    return sorted(names, key=lambda name: name.split("/"))  # by parts: "a/b" before "a-b"


def under(folder: Path) -> list[Path]:
    """The *.pcd files under a local folder."""
    found = []
    for top, folders, files in os.walk(folder):
        folders[:] = [name for name in folders if not name.startswith(".")]
        relative = Path(top).relative_to(folder).as_posix()
        found += [name if relative == "." else f"{relative}/{name}" for name in files]
    return [folder / name for name in _ordered(name for name in found if _wanted(name))]


def under_url(fs: Any, folder: str) -> list[str]:
    """The *.pcd files under a folder of an fsspec file system."""
    root = folder.rstrip("/")
    relative = [str(path)[len(root) + 1 :] for path in fs.find(root) if str(path).startswith(f"{root}/")]
    return [f"{root}/{name}" for name in _ordered(name for name in relative if _wanted(name))]


def pcd_files(items: Iterable[str | os.PathLike[str]]) -> list[Path]:
    """The files named, each folder replaced by the *.pcd files under it."""
    found: list[Path] = []
    for item in items:
        path = Path(item)
        found += under(path) if path.is_dir() else [path]
    return found
