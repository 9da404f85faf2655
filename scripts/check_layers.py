"""The Python side's one layering rule, checked by `make lint`: the library never imports the
command line (vantrel.cli), at the top of a module or inside a function; only the command line
itself and `python -m vantrel` do."""

from __future__ import annotations

import ast
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "vantrel"
ALLOWED = {PACKAGE / "__main__.py"}


def cli_imports(path: Path) -> list[int]:
    """The lines of `path` that import vantrel.cli or anything in it."""
    lines = []
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            named = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            named = [node.module, *(f"{node.module}.{alias.name}" for alias in node.names)]
        else:
            continue
        if any(name == "vantrel.cli" or name.startswith("vantrel.cli.") for name in named):
            lines.append(node.lineno)
    return lines


def main() -> int:
    found = [
        f"{path.relative_to(PACKAGE.parents[1])}:{line}: the library imports the command line (vantrel.cli)"
        for path in sorted(PACKAGE.rglob("*.py"))
        if path not in ALLOWED and (PACKAGE / "cli") not in path.parents
        for line in cli_imports(path)
    ]
    print("\n".join(found) or "layers: the library never imports vantrel.cli")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
