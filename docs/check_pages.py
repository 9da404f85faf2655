"""The built manual seen in a real browser: headless Chromium opens every page of it and takes a
screenshot, and this fails on a blank or broken page.

    python docs/check_pages.py [docs/_build/html]

A page passes when Chromium renders it, its DOM holds its title (the first heading of its source)
and the text it must show, and its screenshot is
neither blank nor one colour (at least 2% of its pixels differ from the background). Screenshots
are left in docs/_build/shots for a look.
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from matplotlib import image

HERE = pathlib.Path(__file__).parent
SHOWN = {  # page, what its DOM must hold beside its title
    "index.html": ["Fast, careful reading and writing of PCD", "pip install", "The manual"],
    "api.html#vantrel.read_pcd": ["vantrel.read_pcd", "Parameters", "Returns", "Raises", "Examples", "PcdOpenError"],
    "formats.html": ["vantrel.convert", "Parquet"],
}


def pages() -> list[tuple[str, list[str]]]:
    """Every page of the manual, each with its title and what SHOWN adds."""
    found = []
    for source in sorted(HERE.glob("*.md")) + sorted(HERE.glob("*.rst")):
        lines = source.read_text().splitlines()
        if source.suffix == ".rst":  # a title is the line above its underline
            heading = next((lines[k - 1] for k in range(1, len(lines)) if set(lines[k]) == {"="}), None)
        else:
            heading = next((line for line in lines if line.startswith("# ")), None)
        page = f"{source.stem}.html"
        anchor = next((name for name in SHOWN if name.startswith(page + "#")), page)
        title = [] if heading is None or source.stem == "index" else [heading.lstrip("# ").strip()]
        found.append((anchor, title + SHOWN.get(anchor, [])))
    return found


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    sys.exit("docs-check needs Chromium: sudo apt-get install chromium")


def browse(page: str, *options: str) -> subprocess.CompletedProcess:
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [
                chromium(),
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--hide-scrollbars",
                f"--user-data-dir={profile}",
                *options,
                page,
            ],
            capture_output=True,
            text=True,
            timeout=120,
        )


def check(html: pathlib.Path, page: str, texts: list[str], shots: pathlib.Path) -> list[str]:
    url = (html / page.split("#")[0]).resolve().as_uri() + ("#" + page.split("#")[1] if "#" in page else "")
    problems = []
    dom = browse(url, "--dump-dom")
    if dom.returncode:
        return [f"{page}: Chromium failed: {dom.stderr.strip()[-300:]}"]
    problems += [f"{page}: the page does not show {text!r}" for text in texts if text not in dom.stdout]
    shot = shots / (page.split("#")[0].replace(".html", "") + ".png")
    browse(url, f"--screenshot={shot}", "--window-size=1280,1400")
    if not shot.exists():
        return [*problems, f"{page}: no screenshot"]
    pixels = image.imread(shot)[..., :3]
    background = np.median(pixels.reshape(-1, 3), axis=0)
    differ = np.abs(pixels - background).max(axis=-1) > 0.1
    if differ.mean() < 0.02:
        problems.append(f"{page}: the screenshot is blank ({differ.mean():.1%} of its pixels differ)")
    return problems


def main() -> int:
    html = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "_build" / "html"
    shots = html.parent / "shots"
    shots.mkdir(parents=True, exist_ok=True)
    every = pages()
    problems = [problem for page, texts in every for problem in check(html, page, texts, shots)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{len(every)} pages rendered and drawn: screenshots in {shots}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
